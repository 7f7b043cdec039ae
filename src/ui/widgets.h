// Immediate-mode widgets: each lays itself out, registers its hit region and draws, in
// one call inside a paint callback. Only scroll_state_s and rate_series_s persist.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "ui/window.h"

constexpr const char* UI_FONT = "Microsoft Sans Serif";

// Palette (ARGB).
constexpr uint32_t COLOR_WHITE = 0xFFFFFFFF;
constexpr uint32_t COLOR_BLACK = 0xFF000000;
constexpr uint32_t COLOR_BODY = 0xFF707070;
constexpr uint32_t COLOR_LINK_HOVER = 0xFF0066CC;
constexpr uint32_t COLOR_ACCENT = 0xFF117DBB;
constexpr uint32_t COLOR_FACE = 0xFFE1E1E1;
constexpr uint32_t COLOR_FACE_HOVER = 0xFFE5F1FB;
constexpr uint32_t COLOR_FACE_DISABLED = 0xFFCCCCCC;
constexpr uint32_t COLOR_BORDER = 0xFFADADAD;
constexpr uint32_t COLOR_BORDER_HOVER = 0xFF0078D7;
constexpr uint32_t COLOR_LABEL_DISABLED = 0xFF7E859C;
constexpr uint32_t COLOR_GAUGE = 0xFF8B12AE;
constexpr uint32_t COLOR_GAUGE_FILL = 0xFFF4F2F4;
constexpr uint32_t COLOR_GAUGE_GRID = 0xFFECDEF0;

// Chart colour triples: outline and curve, grid, area.
struct chart_colors_s {
    uint32_t outline, grid, area;
};
constexpr chart_colors_s CHART_COMPUTE = {0xFF117DBB, 0xFFD9EAF4, 0xFFF1F6FA};
constexpr chart_colors_s CHART_WRITE = {0xFF4DA60C, 0xFFDBEDCE, 0xFFEFF7E9};
constexpr chart_colors_s CHART_MOVE = {0xFFA74F01, 0xFFEEDECF, 0xFFFCF3EB};

// One horizontal strip's scrolling, kept by its screen across paints.
struct scroll_state_s {
    float content_width = 0;  // total width of the items, set before each paint
    float offset = 0;         // between -(content width - visible width) and 0
};

// Registers an item's rectangle (cut to the visible strip where it scrolls); true when hovered.
using region_adder = std::function<bool(int32_t x, int32_t y, int32_t w, int32_t h, window_action action)>;
// Paints a strip's items starting at x; y is the strip's top.
using item_painter = std::function<void(int32_t x, int32_t y, const region_adder& add)>;

struct rate_sample_s {
    float time;    // seconds from time_now
    float rate;    // units per second
    double value;  // cumulative quantity
};

// A measured rate over time and its slowly following vertical scale.
struct rate_series_s {
    float scale_max = 0;                 // rate drawn at full chart height
    std::vector<rate_sample_s> samples;  // oldest first, pruned to about 125 s
};

void paint_button(window_s* window, const char* label, bool enabled, int32_t x, int32_t y, int32_t w, int32_t h,
                  window_action action, float font_size);
void paint_text_link(window_s* window, const char* text, int32_t x, int32_t y, window_action action);
void paint_scroll_horz(window_s* window, scroll_state_s* state, int32_t y, int32_t h, const item_painter& items);
void paint_scroll_arrow(window_s* window, scroll_state_s* state, int32_t x, int32_t y, int32_t w, int32_t h,
                        bool towards_start);
float rate_series_add(rate_series_s* series, int32_t window_count, float time, double value);
void rate_series_draw(rate_series_s* series, window_s* window, float x, float y, float w, float h);
void paint_chart(window_s* window, float x, float y, float w, float h, const char* caption, bool strong_percent,
                 rate_series_s* series, const chart_colors_s& colors, double fraction);
void paint_gauge(window_s* window, float y, float h, double value, double maximum);

// Text drawn centred on the 640-pixel window at row y.
void paint_text_centred(window_s* window, const char* text, float y);
