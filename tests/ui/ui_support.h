// Offscreen painting for the UI tests: a 640x480 image surface, its pixels, clicks and hit regions.
#pragma once
#include <cairo.h>

#include <cstdint>
#include <functional>

#include "ui/window.h"

using rect_s = cairo_rectangle_int_t;  // x, y, width, height

struct offscreen_s {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 640, 480);
    cairo_t* cr = cairo_create(surface);
    ~offscreen_s() {
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
    }
    void paint(window_s* window) {
        window_paint(window, cr);
        cairo_surface_flush(surface);
    }
    // 0xRRGGBB at (x, y).
    uint32_t pixel(int32_t x, int32_t y) const {
        const uint8_t* row = cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
        return reinterpret_cast<const uint32_t*>(row)[x] & 0xFFFFFF;
    }
    // Pixels clearly darker than the white background inside a rectangle: text drawn there.
    int32_t dark_pixels(rect_s r) const {
        int32_t count = 0;
        for (int32_t y = r.y; y < r.y + r.height; ++y)
            for (int32_t x = r.x; x < r.x + r.width; ++x) count += (pixel(x, y) & 0xFF) < 0xB0;
        return count;
    }
    // Press and release at one point, with a repaint before each as GTK would do.
    void click(window_s* window, int32_t x, int32_t y) {
        window_mouse_event(window, MOUSE_MOTION, x, y);
        paint(window);
        window_mouse_event(window, MOUSE_PRESS, x, y);
        window_mouse_event(window, MOUSE_RELEASE, x, y);
        paint(window);
    }
};

// A bare window whose paint callback runs draw.
struct test_window_s : window_s {
    std::function<void(window_s*)> draw;
    explicit test_window_s(std::function<void(window_s*)> d) : draw(std::move(d)) {
        user_data = this;
        paint = [](void* self) { static_cast<test_window_s*>(self)->draw(static_cast<window_s*>(self)); };
    }
};

// Whether a clickable region covers exactly r.
inline bool test_has_region(const window_s* window, rect_s r) {
    for (const hit_region_s& h : window->regions)
        if (h.action && h.x == r.x && h.y == r.y && h.w == r.width && h.h == r.height) return true;
    return false;
}
