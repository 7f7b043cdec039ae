// The window layer: one GTK window drawn by the program itself, hit regions for clicks,
// modal dialogs, text entries, timers, the main loop and the cairo drawing wrappers.
#pragma once
#include <cairo.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct _GtkWidget;

using window_action = std::function<void()>;
using window_close_fn = bool (*)(void* user_data);
using window_drop_fn = void (*)(void* user_data, int32_t count, char** paths, int32_t x, int32_t y);
using window_mouse_fn = void (*)(void* user_data, int32_t kind, int32_t x, int32_t y);
using window_paint_fn = void (*)(void* user_data);

constexpr int32_t WINDOW_HIT_REGIONS = 64;
// The wheel's kinds reach only the mouse callback; they press and click nothing.
enum window_mouse_e : int32_t { MOUSE_PRESS = 0, MOUSE_MOTION = 1, MOUSE_RELEASE = 2, MOUSE_WHEEL_UP = 3, MOUSE_WHEEL_DOWN = 4 };
// The keys the window answers itself: Tab, Shift+Tab, and Enter or space. Every other key,
// and Enter and space while a text entry has the keyboard focus, stay with GTK.
enum window_key_e : int32_t { KEY_NEXT = 0, KEY_PREVIOUS = 1, KEY_ACTIVATE = 2 };
// The dotted frame around the region with the keyboard focus: the hovered button border's blue.
constexpr uint32_t WINDOW_FOCUS_MARK = 0xFF0078D7;

// One clickable rectangle of the current paint; free while its action is empty.
struct hit_region_s {
    int32_t x = 0, y = 0, w = 0, h = 0;  // pixels; zero width or height contains nothing
    window_action action;                // run by a click inside the rectangle
};

// A GTK entry bound to a caller-owned buffer that receives every change of its text.
struct text_entry_s {
    _GtkWidget* entry = nullptr;  // the widget; none for an offscreen window
    char* buffer = nullptr;       // caller's buffer, kept alive while the entry exists
    uint32_t capacity = 0;        // the buffer's size in bytes
};

struct window_s {
    _GtkWidget* window = nullptr;         // application window; none offscreen
    _GtkWidget* fixed = nullptr;          // container of the drawing area and the entries
    _GtkWidget* area = nullptr;           // drawing area covering the window
    int32_t pointer_x = 0;                // last pointer position, drawing-area pixels
    int32_t pointer_y = 0;
    std::vector<text_entry_s> entries;    // entries shown over the drawing area
    bool repaint_timer = false;           // the periodic repaint is wanted
    window_close_fn close = nullptr;      // asked before the window closes
    window_drop_fn drop = nullptr;        // receives dropped local paths
    window_mouse_fn mouse = nullptr;      // sees every pointer event
    window_paint_fn paint = nullptr;      // draws the current screen; the screen itself
    void* user_data = nullptr;            // handed to every callback
    cairo_t* cr = nullptr;                // valid only while painting
    float width = 0, height = 0;          // drawing-area size in pixels
    uint32_t fill = 0;                    // ARGB fill and text colour; 0 = none
    uint32_t stroke = 0;                  // ARGB stroke colour; 0 = none
    bool path_start = true;               // the next window_path_point starts a sub-path
    hit_region_s regions[WINDOW_HIT_REGIONS];  // registered by the current paint
    int32_t pressed = -1;                 // slot pressed and not yet released
    int32_t hovered = -1;                 // slot under the pointer
    int32_t focused = -1;                 // slot with the keyboard focus, -1 when none
    int32_t clickable_slots = 0;          // clickable slots of the last paint
    std::vector<std::string>* texts = nullptr;  // when set, every text drawn is added (tests read screens)
};

// Process and loop. window_run_loop drains the UI call queue every 100 ms.
int window_main(int argc, char** argv, void (*activate)());
void window_run_loop();
void window_timer_add(uint32_t interval_ms, std::function<bool()> tick);
// True on the thread that runs the GTK main loop (the thread that created the window).
bool window_on_ui_thread();

// Window
window_s* window_create(const char* title, int32_t width, int32_t height);
// A window without GTK widgets: painted into any cairo context, used by tests.
window_s* window_create_offscreen(int32_t width, int32_t height);
void window_set_callbacks(window_s* window, void* user_data, window_close_fn close, window_drop_fn drop,
                          window_mouse_fn mouse, window_paint_fn paint);
void window_set_paint(window_s* window, window_paint_fn paint);
bool window_is_paint(const window_s* window, window_paint_fn paint);
void window_invalidate(window_s* window);
void window_set_repaint_interval(window_s* window, uint32_t interval_ms);
// One paint cycle into cr: clears the hit regions and runs the paint callback.
void window_paint(window_s* window, cairo_t* cr);
// What a pointer event does to the hit regions (see the table in window_linux.cpp).
void window_mouse_event(window_s* window, int32_t kind, int32_t x, int32_t y);
// What a key does: Tab and Shift+Tab move the keyboard focus through the clickable slots in
// the order the paint registered them, wrapping (through the text entry when the screen has
// one); KEY_ACTIVATE clicks the focused slot. False when the key did nothing.
bool window_key_event(window_s* window, int32_t key);
// Turns dropped URIs into local paths and hands them to the drop callback; URIs that
// name no local file are logged and left out.
void window_drop_uris(window_s* window, char** uris, int32_t x, int32_t y);

// Hit regions
void window_hit_regions_clear(window_s* window);
bool window_hit_region_add(window_s* window, int32_t x, int32_t y, int32_t w, int32_t h, window_action action);

// Dialogs. Each goes through a replaceable table so tests can answer without GTK.
struct window_dialogs_s {
    std::function<void(window_s* window, const char* title, const char* text)> message;
    std::function<bool(window_s* window, const char* title, const char* text)> ask;
    std::function<bool(window_s* window, const char* title, std::string* path)> choose_file;
    std::function<bool(window_s* window, const char* title, std::string* path)> choose_folder;
};
window_dialogs_s& window_dialogs();
void window_dialogs_reset();
void window_message_box(window_s* window, const char* title, const char* format, ...) __attribute__((format(printf, 3, 4)));
bool window_ask_yes_no(window_s* window, const char* title, const char* format, ...) __attribute__((format(printf, 3, 4)));
// The chosen path, whole and as the file system spells it; false (path untouched) on cancel.
bool window_choose_file(window_s* window, const char* title, std::string* path);
bool window_choose_folder(window_s* window, const char* title, std::string* path);
// A path as the user reads it: file names are bytes that need not be UTF-8, and every path
// drawn or shown goes through this one conversion (GLib's display name); the bytes
// themselves stay for file operations and config.yml.
std::string window_display_name(const char* path);

// Text entries
int32_t window_entry_add(window_s* window, int32_t x, int32_t y, int32_t w, int32_t h, int32_t max_length, char* buffer);
void window_entries_clear(window_s* window);
// Copies an entry's new text into its buffer, cut to capacity - 1 bytes and terminated.
void window_entry_text_changed(text_entry_s* entry, const char* text);

// Drawing, only inside a paint callback
void window_draw_clear(window_s* window, uint32_t rgb);
void window_clip_push(window_s* window, int32_t x, int32_t y, int32_t w, int32_t h);
void window_clip_pop(window_s* window);
void window_set_fill(window_s* window, uint32_t argb);
void window_no_fill(window_s* window);
void window_set_stroke(window_s* window, uint32_t argb);
void window_no_stroke(window_s* window);
void window_set_line_width(window_s* window, float width);
void window_draw_line(window_s* window, float x1, float y1, float x2, float y2);
void window_draw_rect(window_s* window, float x, float y, float w, float h);
void window_path_begin(window_s* window);
void window_path_point(window_s* window, float x, float y);
void window_path_end(window_s* window);
void window_set_font(window_s* window, const char* face, float size);
float window_text_width(window_s* window, const char* text);
// The text's extents height in the current font: window_draw_text puts its baseline that far below y.
float window_text_height(window_s* window, const char* text);
void window_draw_text(window_s* window, const char* text, float x, float y);
