// The widgets: buttons, text links, the scrolling strip and its arrows, rate series,
// charts and the fill gauge.
#include "ui/widgets.h"

#include <algorithm>
#include <cstdio>

#include "platform/util.h"

namespace {

void clamp_offset(scroll_state_s* state, int32_t visible) {
    state->offset = std::max(state->offset, -(state->content_width - (float)visible));
    state->offset = std::min(state->offset, 0.0f);
}

}  // namespace

void paint_text_centred(window_s* window, const char* text, float y) {
    window_draw_text(window, text, (float)((640 - (int32_t)window_text_width(window, text)) / 2), y);
}

void paint_button(window_s* window, const char* label, bool enabled, int32_t x, int32_t y, int32_t w, int32_t h,
                  window_action action, float font_size) {
    const bool hovered = enabled && window_hit_region_add(window, x, y, w, h, std::move(action));
    window_set_fill(window, !enabled ? COLOR_FACE_DISABLED : hovered ? COLOR_FACE_HOVER : COLOR_FACE);
    window_set_stroke(window, hovered ? COLOR_BORDER_HOVER : COLOR_BORDER);
    window_draw_rect(window, (float)x, (float)y, (float)w, (float)h);
    window_no_stroke(window);
    window_set_fill(window, enabled ? COLOR_BLACK : COLOR_LABEL_DISABLED);
    window_set_font(window, UI_FONT, font_size);
    const int32_t spare = (int32_t)((float)w - window_text_width(window, label));
    window_draw_text(window, label, (float)(x + spare / 2), (float)y + ((float)h - font_size - 8) * 0.5f);
}

void paint_text_link(window_s* window, const char* text, int32_t x, int32_t y, window_action action) {
    const bool hovered = window_hit_region_add(window, x, y, 320, 14, std::move(action));
    window_set_font(window, UI_FONT, 10);
    window_set_fill(window, hovered ? COLOR_LINK_HOVER : COLOR_BODY);
    window_draw_text(window, text, (float)x, (float)y);
}

void paint_scroll_horz(window_s* window, scroll_state_s* state, int32_t y, int32_t h, const item_painter& items) {
    const int32_t arrow = h / 2;
    const int32_t left = arrow + 8, right = 632 - arrow, visible = right - left;
    clamp_offset(state, visible);
    if (state->content_width <= (float)visible) {
        items(left, y, [window](int32_t x, int32_t ry, int32_t w, int32_t rh, window_action action) {
            return window_hit_region_add(window, x, ry, w, rh, std::move(action));
        });
        return;
    }
    window_clip_push(window, left, y, visible, h);
    items(left + (int32_t)state->offset, y,
          [window, left, right](int32_t x, int32_t ry, int32_t w, int32_t rh, window_action action) {
              const int32_t start = std::max(x, left);
              const int32_t width = std::min(x + w, right) - start;
              return width > 0 && window_hit_region_add(window, start, ry, width, rh, std::move(action));
          });
    window_clip_pop(window);
    if (state->offset < 0) paint_scroll_arrow(window, state, 0, y, arrow, h, true);
    if (state->offset > -(state->content_width - (float)visible))
        paint_scroll_arrow(window, state, 640 - arrow, y, arrow, h, false);
}

void paint_scroll_arrow(window_s* window, scroll_state_s* state, int32_t x, int32_t y, int32_t w, int32_t h,
                        bool towards_start) {
    const int32_t visible = 624 - 2 * w;
    const bool hovered = window_hit_region_add(window, x, y, w, h, [window, state, visible, towards_start] {
        state->offset += towards_start ? 100.0f : -100.0f;
        clamp_offset(state, visible);
        window_invalidate(window);
    });
    if (hovered) {
        window_set_fill(window, COLOR_ACCENT);
        window_no_stroke(window);
    } else {
        window_no_fill(window);
        window_set_stroke(window, COLOR_BODY);
    }
    window_set_line_width(window, 1);
    const float s = towards_start ? (float)w / 6 : -(float)w / 6;
    const float cx = (float)(x + w / 2), cy = (float)(y + h / 2);
    window_path_begin(window);
    window_path_point(window, cx - s, cy);
    window_path_point(window, cx + s, cy - s);
    window_path_point(window, cx + s, cy + s);
    window_path_point(window, cx - s, cy);
    window_path_end(window);
}

float rate_series_add(rate_series_s* series, int32_t window_count, float time, double value) {
    auto& samples = series->samples;
    if (samples.empty()) {
        samples.push_back({time, 0, value});
        return 0;
    }
    if (time < samples.back().time + 0.25f) return samples.back().rate;
    const rate_sample_s& reference = samples[std::max<int64_t>(0, (int64_t)samples.size() - window_count)];
    const float dt = time - reference.time;
    const float rate = std::max(dt != 0 ? (float)((value - reference.value) / dt) : 0.0f, 0.0f);
    samples.push_back({time, rate, value});
    series->scale_max = std::max(series->scale_max, rate);
    return rate;
}

void rate_series_draw(rate_series_s* series, window_s* window, float x, float y, float w, float h) {
    auto& samples = series->samples;
    if (series->scale_max == 0 || samples.empty()) return;
    const float span = (float)((int32_t)w / 4);
    const float start = samples.back().time - span;
    float highest = 0;
    bool first = true;
    window_path_begin(window);
    window_path_point(window, x, y + h);
    for (const rate_sample_s& sample : samples) {
        if (sample.time < start) continue;
        const float top = (y + h) - sample.rate / series->scale_max * h;
        if (first) window_path_point(window, x, top);
        first = false;
        window_path_point(window, x + (sample.time - start) / span * w, top);
        highest = std::max(highest, sample.rate);
    }
    window_path_point(window, x + w, y + h);
    window_path_end(window);
    int64_t old = -1;
    for (size_t i = 0; i < samples.size(); ++i)
        if (samples[i].time < samples.back().time - 125) old = (int64_t)i;
    if (old > 2) samples.erase(samples.begin(), samples.begin() + (old - 1));
    series->scale_max += (highest - series->scale_max) * 0.01f;
}

void paint_chart(window_s* window, float x, float y, float w, float h, const char* caption, bool strong_percent,
                 rate_series_s* series, const chart_colors_s& colors, double fraction) {
    window_set_stroke(window, colors.outline);
    window_no_fill(window);
    window_draw_rect(window, x, y, w, h);
    window_set_fill(window, colors.area);
    window_no_stroke(window);
    rate_series_draw(series, window, x, y, w, h);
    window_set_stroke(window, colors.grid);
    const int32_t step = (int32_t)h / 5;
    for (float gy = y + step; step > 0 && gy < y + h; gy += step) window_draw_line(window, x + 1, gy, x + w - 1, gy);
    for (float gx = x + 32; gx < x + w; gx += 32) window_draw_line(window, gx, y + 1, gx, y + h - 2);
    char percent[32];
    std::snprintf(percent, sizeof percent, "%0.1f%%", fraction * 100);
    window_set_font(window, UI_FONT, 18);
    window_set_fill(window, strong_percent ? colors.outline : colors.grid);
    window_draw_text(window, percent, x + 2, y + h - 28);
    window_set_stroke(window, colors.outline);
    window_no_fill(window);
    rate_series_draw(series, window, x, y, w, h);
    if (caption) {
        window_set_font(window, UI_FONT, 8);
        window_set_fill(window, colors.outline);
        window_draw_text(window, caption, x + w - window_text_width(window, caption) - 2, y + h - 16);
    }
}

void paint_gauge(window_s* window, float y, float h, double value, double maximum) {
    window_set_stroke(window, COLOR_GAUGE);
    window_no_fill(window);
    window_draw_rect(window, 472, y, 52, h);
    const float top = maximum > 0 ? (float)((y + h) - h * value / maximum) : y + h;
    window_set_fill(window, COLOR_GAUGE_FILL);
    window_no_stroke(window);
    window_draw_rect(window, 472, top, 52, y + h - top);
    window_set_stroke(window, COLOR_GAUGE_GRID);
    const int32_t step = (int32_t)h / 5;
    for (float gy = y + step; step > 0 && gy < y + h; gy += step) window_draw_line(window, 473, gy, 523, gy);
    window_set_stroke(window, COLOR_GAUGE);
    window_draw_line(window, 472, top, 524, top);
    char caption[32];
    fmt_size(sizeof caption, caption, (uint64_t)value, true, "");
    window_set_font(window, UI_FONT, 8);
    window_set_fill(window, COLOR_GAUGE);
    window_draw_text(window, caption, (52 - window_text_width(window, caption)) * 0.5f + 473, y + h - 16);
}
