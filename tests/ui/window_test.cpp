// The window layer without a display: pointer rules, the 64 hit regions, text limits and
// the widgets' looks, painted into an image surface. (Dropped URIs: the screens' drop table.)
#include <gtest/gtest.h>

#include <cstring>
#include <string_view>
#include <tuple>

#include "ui/widgets.h"
#include "ui_support.h"

// Regions A at (0, 0, 10, 10) and B at (20, 0, 10, 10), then 1x1 regions at x = 44, 46, ...
// that count as B: the 64th is clickable, the 65th is refused and never clickable.
TEST(Window, PointerRulesTable) {
    struct step_s {
        char event;  // 'p' press, 'm' motion, 'r' release, 'x' repaint
        int32_t x, y;
    };
    using row = std::tuple<const char*, int32_t, std::vector<step_s>, int, int, int>;
    const row cases[] = {  // name, regions, steps, then the clicks of A and B and the hovered slot
        {"press and release in A", 2, {{'p', 5, 5}, {'r', 5, 5}}, 1, 0, -1},
        {"press in A, release in B", 2, {{'p', 5, 5}, {'r', 25, 5}}, 0, 0, -1},
        {"press outside, release in A", 2, {{'p', 15, 5}, {'r', 5, 5}}, 0, 0, -1},
        {"repaint between press and release", 2, {{'p', 5, 5}, {'x', 0, 0}, {'r', 6, 6}}, 1, 0, -1},
        {"second release runs nothing", 2, {{'p', 25, 5}, {'r', 25, 5}, {'r', 25, 5}}, 0, 1, -1},
        {"motion into B hovers it", 2, {{'m', 25, 5}}, 0, 0, 1},
        {"motion out of B clears hover", 2, {{'m', 25, 5}, {'m', 15, 5}}, 0, 0, -1},
        {"64th region", 65, {{'p', 40 + 2 * 63, 0}, {'r', 40 + 2 * 63, 0}}, 0, 1, -1},
        {"65th region", 65, {{'p', 40 + 2 * 64, 0}, {'r', 40 + 2 * 64, 0}}, 0, 0, -1},
    };
    offscreen_s screen;
    for (const auto& [name, regions, steps, want_a, want_b, hovered] : cases) {
        int a = 0, b = 0, count = regions;  // a copy: lambdas cannot capture structured bindings
        test_window_s window([&](window_s* w) {
            hit_region_add(w, 0, 0, 10, 10, [&] { ++a; });
            hit_region_add(w, 20, 0, 10, 10, [&] { ++b; });
            for (int32_t i = 2; i < count; ++i) hit_region_add(w, 40 + 2 * i, 0, 1, 1, [&] { ++b; });
        });
        screen.paint(&window);
        for (const step_s& s : steps) {
            if (s.event == 'x') screen.paint(&window);
            else window_mouse_event(&window, (int32_t)std::string_view("pmr").find(s.event), s.x, s.y);
        }
        EXPECT_EQ(std::tuple(a, b, window.hovered), std::tuple(want_a, want_b, hovered)) << name;
    }
}

// Dialog texts stop at 1023 bytes, entry texts at their buffer's size less one; shorter ones
// come through whole. Lengths in turn: the dialog's text, then the entry's buffer.
TEST(Window, TextsAreCutToTheirBuffers) {
    std::vector<size_t> lengths;
    window_dialogs().message = [&](window_s*, const char*, const char* text) { lengths.push_back(std::strlen(text)); };
    char buffer[128];
    text_entry_s entry{nullptr, buffer, sizeof buffer};
    for (size_t length : {3, 200, 5000}) {
        message_box(nullptr, "Title", "%s", std::string(length, 'm').c_str());
        entry_text_changed(&entry, std::string(length, 'x').c_str());
        lengths.push_back(std::strlen(buffer));
    }
    window_dialogs_reset();
    EXPECT_EQ(lengths, (std::vector<size_t>{3, 3, 200, 127, 1023, 127}));
}

// Button faces: enabled, hovered, disabled (never hovered and not clickable). A strip of ten
// 100-pixel items 560 wide (arrows 32 wide): only the right arrow at first, both after one
// step, only the left one at the far end; a half-hidden item is clickable only where it shows.
TEST(Widgets, ButtonFacesAndScrollStrip) {
    bool enabled = true;
    scroll_state strip{1000, 0};
    test_window_s window([&](window_s* w) {
        paint_button(w, "OK", enabled, 100, 100, 100, 34, [] {}, 12);
        paint_scroll_horz(w, &strip, 300, 64, [](int32_t x, int32_t y, const region_adder& add) {
            for (int i = 0; i < 10; ++i, x += 100) add(x, y, 100, 64, [] {});
        });
    });
    offscreen_s screen;
    const std::tuple<bool, int32_t, uint32_t> faces[] = {
        {true, 0, 0xE1E1E1}, {true, 150, 0xE5F1FB}, {false, 150, 0xCCCCCC}};  // enabled, pointer x, face
    for (auto [enable, pointer_x, face] : faces) {
        enabled = enable;
        window.pointer_x = pointer_x;
        window.pointer_y = 110;
        screen.paint(&window);
        EXPECT_EQ(screen.pixel(105, 104), face) << enabled << pointer_x;
        EXPECT_EQ(test_has_region(&window, {100, 100, 100, 34}), enabled);
    }
    // Clicks on the right arrow, then the offset and whether each arrow shows.
    const std::tuple<int, int, bool, bool> steps[] = {
        {0, 0, false, true}, {1, -100, true, true}, {5, -440, true, false}};
    for (auto [clicks, offset, left, right] : steps) {
        screen.paint(&window);
        for (int i = 0; i < clicks; ++i) screen.click(&window, 620, 320);
        EXPECT_EQ(strip.offset, offset) << clicks;
        EXPECT_EQ(test_has_region(&window, {0, 300, 32, 64}), left) << clicks;
        EXPECT_EQ(test_has_region(&window, {608, 300, 32, 64}), right) << clicks;
    }
    strip.offset = -50;
    screen.paint(&window);
    EXPECT_TRUE(test_has_region(&window, {40, 300, 50, 64}));
}

// Time, value and the rate returned: the first sample has no rate; one under 0.25 s after the
// last is not recorded; a rate spans the last four samples ((400 - 0) / 2 s) and is never
// negative. The scale follows the highest rate.
TEST(Widgets, RateSeriesSamplesAndScale) {
    rate_series_s series;
    const std::tuple<float, double, float> samples[] = {
        {0, 0, 0}, {0.1f, 500, 0}, {1, 100, 100}, {2, 400, 200}, {3, -300, 0}};
    for (auto [time, value, rate] : samples) EXPECT_EQ(rate_series_add(&series, 4, time, value), rate) << time;
    EXPECT_EQ(series.samples.size(), 4u);
    EXPECT_EQ(series.scale_max, 200.0f);
}
