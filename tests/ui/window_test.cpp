// The window layer without a display: pointer rules, the 64 hit regions, dropped URIs,
// entry buffers and the widgets' looks, painted into an image surface.
#include <gtest/gtest.h>

#include <cstring>

#include "ui/widgets.h"
#include "ui_support.h"

namespace {

int clicks_a = 0, clicks_b = 0;
int32_t regions_to_add = 2;

window_s* test_window = nullptr;

// Region A at (0, 0, 10, 10), B at (20, 0, 10, 10), then further 1x1 regions from x = 44.
void regions_paint(void*) {
    hit_region_add(test_window, 0, 0, 10, 10, [] { ++clicks_a; });
    hit_region_add(test_window, 20, 0, 10, 10, [] { ++clicks_b; });
    for (int32_t i = 2; i < regions_to_add; ++i)
        hit_region_add(test_window, 40 + 2 * i, 0, 1, 1, [] { ++clicks_b; });
}

struct step_s {
    char event;  // 'p' press, 'm' motion, 'r' release, 'x' repaint
    int32_t x, y;
};

}  // namespace

// Regions A and B, or A, B and 63 more where the 65th is refused and never clickable.
TEST(Window, PointerRulesTable) {
    struct case_s {
        const char* name;
        int32_t regions;
        std::vector<step_s> steps;
        int a, b, hovered;
    } cases[] = {
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
    for (const auto& c : cases) {
        window_s window;
        test_window = &window;
        window.paint = regions_paint;
        regions_to_add = c.regions;
        clicks_a = clicks_b = 0;
        screen.paint(&window);
        for (const step_s& s : c.steps) {
            if (s.event == 'x') screen.paint(&window);
            if (s.event == 'p') window_mouse_event(&window, MOUSE_PRESS, s.x, s.y);
            if (s.event == 'm') window_mouse_event(&window, MOUSE_MOTION, s.x, s.y);
            if (s.event == 'r') window_mouse_event(&window, MOUSE_RELEASE, s.x, s.y);
        }
        EXPECT_EQ(clicks_a, c.a) << c.name;
        EXPECT_EQ(clicks_b, c.b) << c.name;
        EXPECT_EQ(window.hovered, c.hovered) << c.name;
    }
}

namespace {
std::vector<std::string> dropped;
void record_drop(void*, int32_t count, char** paths, int32_t, int32_t) {
    for (int32_t i = 0; i < count; ++i) dropped.push_back(paths[i]);
}
}  // namespace

// Percent escapes are decoded; URIs that are not local files are dropped, and a drop of
// nothing but those reaches nobody.
TEST(Window, DroppedUrisBecomeLocalPaths) {
    window_s window;
    window.drop = record_drop;
    char* uris[] = {const_cast<char*>("file:///tmp/two%20words/7_0_8"), const_cast<char*>("https://example.com/7_0_8"),
                    const_cast<char*>("file:///tmp/%C3%A9t%C3%A9/1_2_3"), nullptr};
    window_drop_uris(&window, uris, 0, 0);
    EXPECT_EQ(dropped, (std::vector<std::string>{"/tmp/two words/7_0_8", "/tmp/\xC3\xA9t\xC3\xA9/1_2_3"}));
    window.drop = [](void*, int32_t, char**, int32_t, int32_t) { FAIL() << "a drop of web addresses only"; };
    char* only_web[] = {uris[1], nullptr};
    window_drop_uris(&window, only_web, 0, 0);
}

TEST(Window, TextsAreCutToTheirBuffers) {
    std::vector<size_t> shown;
    window_dialogs().message = [&](window_s*, const char*, const char* text) { shown.push_back(std::strlen(text)); };
    const std::string medium(200, 'm'), huge(5000, 'h');
    message_box(nullptr, "Title", "%s", medium.c_str());
    message_box(nullptr, "Title", "%s", huge.c_str());
    window_dialogs_reset();
    EXPECT_EQ(shown, (std::vector<size_t>{200, 1023}));

    char buffer[128];
    text_entry_s entry;
    entry.buffer = buffer;
    entry.capacity = sizeof buffer;
    const std::string long_text(200, 'x');
    entry_text_changed(&entry, long_text.c_str());
    EXPECT_EQ(std::strlen(buffer), 127u);
    entry_text_changed(&entry, "2.5");
    EXPECT_STREQ(buffer, "2.5");
}

namespace {
bool button_enabled = true;
scroll_state strip;
void widgets_paint(void*) {
    paint_button(test_window, "OK", button_enabled, 100, 100, 100, 34, [] {}, 12);
    paint_scroll_horz(test_window, &strip, 300, 64, [](int32_t x, int32_t y, const region_adder& add) {
        for (int i = 0; i < 10; ++i, x += 100) add(x, y, 100, 64, [] {});
    });
}
}  // namespace

// Faces: enabled, hovered, disabled (never hovered and not clickable).
TEST(Widgets, ButtonLooksAndRegions) {
    struct case_s {
        bool enabled;
        int32_t px, py;
        uint32_t face;
        bool region;
    } cases[] = {
        {true, 0, 0, 0xE1E1E1, true},
        {true, 150, 110, 0xE5F1FB, true},
        {false, 150, 110, 0xCCCCCC, false},
    };
    offscreen_s screen;
    for (const auto& c : cases) {
        window_s window;
        test_window = &window;
        window.paint = widgets_paint;
        button_enabled = c.enabled;
        window.pointer_x = c.px;
        window.pointer_y = c.py;
        screen.paint(&window);
        EXPECT_EQ(screen.pixel(105, 104), c.face) << c.enabled << c.px;
        EXPECT_EQ(test_has_region(&window, {100, 100, 100, 34}), c.region);
    }
}

// Ten 100-pixel items in a strip 560 wide (arrows 32 wide): only the right arrow at first,
// both after one step, only the left one at the far end; a half-hidden item is clickable
// only where it shows.
TEST(Widgets, ScrollStripArrowsAndClipping) {
    offscreen_s screen;
    window_s window;
    test_window = &window;
    window.paint = widgets_paint;
    button_enabled = true;
    strip = scroll_state();
    strip.content_width = 1000;
    const auto arrows = [&] {
        return std::pair{test_has_region(&window, {0, 300, 32, 64}), test_has_region(&window, {608, 300, 32, 64})};
    };
    screen.paint(&window);
    EXPECT_EQ(arrows(), std::pair(false, true));
    test_click(&window, &screen, 620, 320);
    EXPECT_EQ(strip.offset, -100);
    EXPECT_EQ(arrows(), std::pair(true, true));
    strip.offset = -50;
    screen.paint(&window);
    EXPECT_TRUE(test_has_region(&window, {40, 300, 50, 64}));
    for (int i = 0; i < 5; ++i) test_click(&window, &screen, 620, 320);
    EXPECT_EQ(strip.offset, -440);
    EXPECT_EQ(arrows(), std::pair(true, false));
}

TEST(Widgets, RateSeriesSamplesAndScale) {
    rate_series_s series;
    EXPECT_EQ(rate_series_add(&series, 4, 0.0f, 0), 0.0f);
    EXPECT_EQ(rate_series_add(&series, 4, 0.1f, 500), 0.0f);  // under 0.25 s: not recorded
    EXPECT_EQ(series.samples.size(), 1u);
    EXPECT_EQ(rate_series_add(&series, 4, 1.0f, 100), 100.0f);
    EXPECT_EQ(rate_series_add(&series, 4, 2.0f, 400), 200.0f);  // (400 - 0) / 2 s over the window
    EXPECT_EQ(series.scale_max, 200.0f);
    rate_series_s flat;
    rate_series_add(&flat, 4, 0, 0);
    rate_series_add(&flat, 4, 1, 0);
    EXPECT_EQ(flat.scale_max, 0.0f);
}
