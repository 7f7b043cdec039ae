// The window layer on GTK 3 and cairo: the application, the window and its signals, hit
// regions, dialogs, entries, timers, the main loop and the drawing wrappers.
//
// [SECTION] Process and loop   [SECTION] Window   [SECTION] Hit regions, pointer and keys
// [SECTION] Drop   [SECTION] Dialogs   [SECTION] Entries   [SECTION] Drawing
//
// DESIGN: everything here runs on the UI thread. Other threads reach it only through
// sys_ui_post; window_run_loop drains that queue on a 100 ms timer.
//
// Pointer rules, event by event, for the slot under the pointer (S) and any other (O):
//   press   in S          -> S becomes the pressed slot (the highest containing slot wins)
//   motion  into S        -> S becomes the hovered slot, redraw
//   motion  out of hovered -> no hovered slot, redraw
//   release in S == pressed -> S's action runs once, no pressed slot
//   release in S != pressed -> no pressed slot, nothing runs
//   release outside every slot -> no pressed slot, nothing runs
//   press   outside every slot -> no pressed slot
// A press therefore only counts for the release that follows it: a press on a button,
// a release elsewhere, then a press on empty space and a release on the button is no click.
// Every paint registers its regions again in the same order, so a slot number survives
// the timer's repaints between press and release.
//
// Keyboard: Tab and Shift+Tab move a focus through the same slots in registration order, and
// Enter or space clicks the focused slot the way a press and release in it would. A disabled
// button registers no slot, so it can neither take the focus nor be clicked. The focus is
// dropped when the screen (the paint callback) changes or a paint registers fewer slots, so
// it never lands on a different element than the one marked.
#include <gtk/gtk.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/sys.h"
#include "platform/util.h"
#include "ui/window.h"

namespace {

GtkApplication* application = nullptr;
void (*activate_fn)() = nullptr;
std::thread::id ui_thread = std::this_thread::get_id();

void queue_redraw(window_s* window) {
    if (window->area) gtk_widget_queue_draw_area(window->area, 0, 0, (int)window->width, (int)window->height);
}

gboolean timer_tick(gpointer data) { return (*static_cast<std::function<bool()>*>(data))() ? TRUE : FALSE; }

void timer_free(gpointer data) { delete static_cast<std::function<bool()>*>(data); }

gboolean repaint_tick(gpointer data) {
    window_s* window = static_cast<window_s*>(data);
    if (!window->repaint_timer) return FALSE;
    queue_redraw(window);
    return TRUE;
}

gboolean on_draw(GtkWidget* widget, cairo_t* cr, gpointer data) {
    window_s* window = static_cast<window_s*>(data);
    const int width = gtk_widget_get_allocated_width(widget);
    const int height = gtk_widget_get_allocated_height(widget);
    gtk_render_background(gtk_widget_get_style_context(widget), cr, 0, 0, width, height);
    window->width = (float)width;
    window->height = (float)height;
    window_paint(window, cr);
    return FALSE;
}

gboolean on_configure(GtkWidget* widget, GdkEventConfigure*, gpointer data) {
    window_s* window = static_cast<window_s*>(data);
    window->width = (float)gtk_widget_get_allocated_width(widget);
    window->height = (float)gtk_widget_get_allocated_height(widget);
    return TRUE;
}

gboolean on_motion(GtkWidget*, GdkEventMotion* event, gpointer data) {
    window_mouse_event(static_cast<window_s*>(data), MOUSE_MOTION, (int32_t)event->x, (int32_t)event->y);
    return TRUE;
}

gboolean on_button(GtkWidget*, GdkEventButton* event, gpointer data) {
    const int32_t kind = event->type == GDK_BUTTON_RELEASE ? MOUSE_RELEASE : MOUSE_PRESS;
    window_mouse_event(static_cast<window_s*>(data), kind, (int32_t)event->x, (int32_t)event->y);
    return TRUE;
}

gboolean on_scroll(GtkWidget*, GdkEventScroll* event, gpointer data) {
    if (event->direction != GDK_SCROLL_UP && event->direction != GDK_SCROLL_DOWN) return FALSE;
    const int32_t kind = event->direction == GDK_SCROLL_UP ? MOUSE_WHEEL_UP : MOUSE_WHEEL_DOWN;
    window_mouse_event(static_cast<window_s*>(data), kind, (int32_t)event->x, (int32_t)event->y);
    return TRUE;
}

// Tab leaves a text entry for the regions; Enter and space stay the entry's.
gboolean on_key(GtkWidget* widget, GdkEventKey* event, gpointer data) {
    if (event->state & (GDK_CONTROL_MASK | GDK_MOD1_MASK | GDK_SUPER_MASK)) return FALSE;
    const bool in_entry = GTK_IS_ENTRY(gtk_window_get_focus(GTK_WINDOW(widget)));
    int32_t key;
    switch (event->keyval) {
        case GDK_KEY_Tab:
        case GDK_KEY_KP_Tab: key = event->state & GDK_SHIFT_MASK ? KEY_PREVIOUS : KEY_NEXT; break;
        case GDK_KEY_ISO_Left_Tab: key = KEY_PREVIOUS; break;
        case GDK_KEY_Return:
        case GDK_KEY_KP_Enter:
        case GDK_KEY_space:
        case GDK_KEY_KP_Space:
            if (in_entry) return FALSE;
            key = KEY_ACTIVATE;
            break;
        default: return FALSE;
    }
    return window_key_event(static_cast<window_s*>(data), key) ? TRUE : FALSE;
}

gboolean on_entry_focus_in(GtkWidget*, GdkEvent*, gpointer data) {
    window_s* window = static_cast<window_s*>(data);
    if (window->focused >= 0) {
        window->focused = -1;
        queue_redraw(window);
    }
    return FALSE;
}

// Gives the keyboard focus to the first text entry, or takes it from whichever has it.
void entry_focus(window_s* window, bool focus) {
    if (!window->window) return;
    if (!focus) gtk_window_set_focus(GTK_WINDOW(window->window), nullptr);
    else if (!window->entries.empty() && window->entries[0].entry) gtk_widget_grab_focus(window->entries[0].entry);
}

bool focusable(const hit_region_s& region) { return region.action && region.w > 0 && region.h > 0; }

// The first focusable slot after `from` in the direction `step` (1 or -1), wrapping; -1 when none.
int32_t next_focusable(const window_s* window, int32_t from, int32_t step) {
    for (int32_t i = 1; i <= WINDOW_HIT_REGIONS; ++i) {
        const int32_t slot = ((from + step * i) % WINDOW_HIT_REGIONS + WINDOW_HIT_REGIONS) % WINDOW_HIT_REGIONS;
        if (focusable(window->regions[slot])) return slot;
    }
    return -1;
}

// A press and a release in the same slot: its action runs once. A copy: the action may open
// a dialog, and repaints under it rebuild the regions.
void click_slot(window_s* window, int32_t slot) {
    window->pressed = -1;
    window_action(window->regions[slot].action)();
}

gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data) {
    window_s* window = static_cast<window_s*>(data);
    const bool may_close = !window->close || window->close(window->user_data);
    return may_close ? FALSE : TRUE;
}

void on_drag_data(GtkWidget*, GdkDragContext* context, gint x, gint y, GtkSelectionData* data, guint, guint time,
                  gpointer user) {
    gchar** uris = gtk_selection_data_get_uris(data);
    if (uris) {
        window_drop_uris(static_cast<window_s*>(user), uris, x, y);
        g_strfreev(uris);
        gtk_drag_finish(context, TRUE, FALSE, time);
        return;
    }
    gtk_drag_finish(context, FALSE, FALSE, time);
}

void on_entry_changed(GtkEditable* editable, gpointer data) {
    window_s* window = static_cast<window_s*>(data);
    const char* text = gtk_entry_get_text(GTK_ENTRY(editable));
    for (text_entry_s& entry : window->entries)
        if (entry.entry == GTK_WIDGET(editable)) window_entry_text_changed(&entry, text);
    // The prompts read their value while painting; without a redraw a button that the
    // new text enables would keep its disabled look and stay unclickable.
    queue_redraw(window);
}

void on_app_activate(GtkApplication* app, gpointer) {
    // A second start of the program while one runs activates this one again (same
    // application id): show its window instead of starting the program a second time.
    static bool started = false;
    if (started) {
        if (GtkWindow* window = gtk_application_get_active_window(app)) gtk_window_present(window);
        return;
    }
    started = true;
    if (activate_fn) activate_fn();
}

GtkWindow* parent_of(window_s* window) { return window && window->window ? GTK_WINDOW(window->window) : nullptr; }

void window_dialog_message(window_s* window, const char* title, const char* text) {
    GtkWidget* dialog = gtk_message_dialog_new(parent_of(window), GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_OTHER,
                                               GTK_BUTTONS_CLOSE, "%s", text);
    gtk_window_set_title(GTK_WINDOW(dialog), title);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

bool window_dialog_ask(window_s* window, const char* title, const char* text) {
    GtkWidget* dialog = gtk_message_dialog_new(parent_of(window), GTK_DIALOG_DESTROY_WITH_PARENT,
                                               GTK_MESSAGE_QUESTION, GTK_BUTTONS_YES_NO, "%s", text);
    gtk_window_set_title(GTK_WINDOW(dialog), title);
    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    return response == GTK_RESPONSE_YES;
}

bool window_dialog_choose(window_s* window, const char* title, std::string* path, GtkFileChooserAction action) {
    GtkWidget* dialog = gtk_file_chooser_dialog_new(title, parent_of(window), action, "gtk-cancel",
                                                    GTK_RESPONSE_CANCEL, "gtk-ok", GTK_RESPONSE_ACCEPT, nullptr);
    // Enter in the typed-location field accepts, so a path can be given from the keyboard.
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    // Open in the working folder rather than the recent-files list, which is empty
    // without a desktop session and leaves nothing to accept.
    gchar* here = g_get_current_dir();
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), here);
    g_free(here);
    bool chosen = false;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
        if (name) {
            *path = name;
            g_free(name);
            chosen = true;
        }
    }
    gtk_widget_destroy(dialog);
    return chosen;
}

window_dialogs_s default_dialogs() {
    window_dialogs_s d;
    d.message = window_dialog_message;
    d.ask = window_dialog_ask;
    d.choose_file = [](window_s* w, const char* t, std::string* p) {
        return window_dialog_choose(w, t, p, GTK_FILE_CHOOSER_ACTION_OPEN);
    };
    d.choose_folder = [](window_s* w, const char* t, std::string* p) {
        return window_dialog_choose(w, t, p, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER);
    };
    return d;
}

window_dialogs_s& dialogs_table() {
    static window_dialogs_s table = default_dialogs();
    return table;
}

// Formats a dialog text: 1023 bytes at most, retried larger only if formatting failed.
std::string format_message(const char* format, va_list args) {
    char text[1024];
    va_list copy;
    va_copy(copy, args);
    const int written = std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    if (written >= 0) return text;
    std::unique_ptr<char[]> large(new char[16384]);
    std::vsnprintf(large.get(), 16384, format, args);
    large[16383] = 0;
    return large.get();
}

// Text that is not UTF-8 would put the cairo context into an error state in which the
// rest of the screen draws nothing; paths come through window_display_name, and anything
// else invalid is repaired here rather than lose the screen.
std::string valid_text(const char* text) {
    if (g_utf8_validate(text, -1, nullptr)) return text;
    gchar* repaired = g_utf8_make_valid(text, -1);
    std::string valid = repaired;
    g_free(repaired);
    return valid;
}

void set_source(window_s* window, uint32_t argb) {
    cairo_set_source_rgba(window->cr, ((argb >> 16) & 255) / 255.0, ((argb >> 8) & 255) / 255.0, (argb & 255) / 255.0,
                          (argb >> 24) / 255.0);
}

// A 1-pixel dotted frame two pixels outside the focused region (clear of a button's border),
// over everything the paint drew.
void paint_focus_mark(window_s* window) {
    const hit_region_s& r = window->regions[window->focused];
    cairo_t* cr = window->cr;
    cairo_save(cr);
    const double dash = 1;
    cairo_set_dash(cr, &dash, 1, 0.5);  // dots on whole pixels: the frame runs on pixel centres
    cairo_set_line_width(cr, 1);
    set_source(window, WINDOW_FOCUS_MARK);
    cairo_rectangle(cr, r.x - 2.5, r.y - 2.5, r.w + 5, r.h + 5);
    cairo_stroke(cr);
    cairo_restore(cr);
}

}  // namespace

// [SECTION] Process and loop

int window_main(int, char** argv, void (*activate)()) {
    activate_fn = activate;
    application = gtk_application_new("org.kestrune.Kestrune", G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(application, "activate", G_CALLBACK(on_app_activate), nullptr);
    // The program takes no command-line options of its own.
    char* no_args[] = {argv[0], nullptr};
    const int status = g_application_run(G_APPLICATION(application), 1, no_args);
    g_object_unref(application);
    return status;
}

void window_run_loop() {
    ui_thread = std::this_thread::get_id();
    window_timer_add(100, [] {
        sys_ui_drain();
        return true;
    });
    gtk_main();
}

void window_timer_add(uint32_t interval_ms, std::function<bool()> tick) {
    g_timeout_add_full(G_PRIORITY_DEFAULT, interval_ms, timer_tick, new std::function<bool()>(std::move(tick)),
                       timer_free);
}

bool window_on_ui_thread() { return std::this_thread::get_id() == ui_thread; }

// [SECTION] Window

window_s* window_create_offscreen(int32_t width, int32_t height) {
    window_s* window = new window_s();
    window->width = (float)width;
    window->height = (float)height;
    return window;
}

window_s* window_create(const char* title, int32_t width, int32_t height) {
    ui_thread = std::this_thread::get_id();
    window_s* window = window_create_offscreen(width, height);
    window->window = application ? gtk_application_window_new(application) : gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window->window), title);
    gtk_window_set_default_size(GTK_WINDOW(window->window), width, height);
    g_signal_connect(window->window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    g_signal_connect(window->window, "delete-event", G_CALLBACK(on_delete), window);
    g_signal_connect(window->window, "key-press-event", G_CALLBACK(on_key), window);
    window->fixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window->window), window->fixed);
    window->area = gtk_drawing_area_new();
    gtk_widget_set_size_request(window->area, width, height);
    gtk_fixed_put(GTK_FIXED(window->fixed), window->area, 0, 0);
    g_signal_connect(window->area, "draw", G_CALLBACK(on_draw), window);
    g_signal_connect(window->area, "configure-event", G_CALLBACK(on_configure), window);
    g_signal_connect(window->area, "motion-notify-event", G_CALLBACK(on_motion), window);
    g_signal_connect(window->area, "button-press-event", G_CALLBACK(on_button), window);
    g_signal_connect(window->area, "button-release-event", G_CALLBACK(on_button), window);
    g_signal_connect(window->area, "scroll-event", G_CALLBACK(on_scroll), window);
    gtk_widget_add_events(window->area,
                          GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_SCROLL_MASK);
    gtk_widget_show_all(window->window);
    static GtkTargetEntry uri_target = {const_cast<gchar*>("text/uri-list"), 0, 0};
    gtk_drag_dest_set(window->window, GTK_DEST_DEFAULT_ALL, &uri_target, 1,
                      (GdkDragAction)(GDK_ACTION_COPY | GDK_ACTION_MOVE | GDK_ACTION_LINK));
    g_signal_connect(window->window, "drag-data-received", G_CALLBACK(on_drag_data), window);
    return window;
}

void window_set_callbacks(window_s* window, void* user_data, window_close_fn close, window_drop_fn drop,
                          window_mouse_fn mouse, window_paint_fn paint) {
    window->user_data = user_data;
    window->close = close;
    window->drop = drop;
    window->mouse = mouse;
    window->paint = paint;
}

void window_set_paint(window_s* window, window_paint_fn paint) {
    if (paint != window->paint) window->focused = -1;
    window->paint = paint;
    queue_redraw(window);
}

bool window_is_paint(const window_s* window, window_paint_fn paint) { return window && window->paint == paint; }

void window_invalidate(window_s* window) { queue_redraw(window); }

void window_set_repaint_interval(window_s* window, uint32_t interval_ms) {
    window->repaint_timer = interval_ms != 0;
    if (interval_ms != 0) g_timeout_add(interval_ms, repaint_tick, window);
}

void window_paint(window_s* window, cairo_t* cr) {
    window->cr = cr;
    if (window->paint) {
        window_hit_regions_clear(window);
        window->paint(window->user_data);
        int32_t count = 0;
        for (const hit_region_s& region : window->regions) count += focusable(region);
        if (count < window->clickable_slots || (window->focused >= 0 && !focusable(window->regions[window->focused])))
            window->focused = -1;
        window->clickable_slots = count;
        if (window->focused >= 0) paint_focus_mark(window);
    }
    window->cr = nullptr;
}

// [SECTION] Hit regions, pointer and keys

void window_hit_regions_clear(window_s* window) {
    for (hit_region_s& region : window->regions) region = hit_region_s();
}

bool window_hit_region_add(window_s* window, int32_t x, int32_t y, int32_t w, int32_t h, window_action action) {
    for (hit_region_s& region : window->regions) {
        if (region.action) continue;
        region.x = x;
        region.y = y;
        region.w = w;
        region.h = h;
        region.action = action ? std::move(action) : window_action([] {});
        return x <= window->pointer_x && window->pointer_x < x + w && y <= window->pointer_y &&
               window->pointer_y < y + h;
    }
    return false;
}

void window_mouse_event(window_s* window, int32_t kind, int32_t x, int32_t y) {
    window->pointer_x = x;
    window->pointer_y = y;
    if (window->mouse) window->mouse(window->user_data, kind, x, y);
    if (kind == MOUSE_WHEEL_UP || kind == MOUSE_WHEEL_DOWN) return;
    const int32_t pressed = window->pressed;
    if (kind != MOUSE_MOTION) window->pressed = -1;
    for (int32_t i = 0; i < WINDOW_HIT_REGIONS; ++i) {
        const hit_region_s& r = window->regions[i];
        const bool inside = r.action && r.x <= x && x < r.x + r.w && r.y <= y && y < r.y + r.h;
        if (!inside) {
            if (window->hovered == i) {
                window->hovered = -1;
                queue_redraw(window);
            }
            continue;
        }
        if (kind == MOUSE_PRESS) {
            window->pressed = i;
        } else if (kind == MOUSE_MOTION && window->hovered != i) {
            window->hovered = i;
            queue_redraw(window);
        } else if (kind == MOUSE_RELEASE && pressed == i) {
            click_slot(window, i);
        }
    }
}

bool window_key_event(window_s* window, int32_t key) {
    if (key == KEY_ACTIVATE) {
        if (window->focused < 0 || !focusable(window->regions[window->focused])) return false;
        click_slot(window, window->focused);
        return true;
    }
    const int32_t step = key == KEY_NEXT ? 1 : -1;
    const int32_t from = window->focused >= 0 ? window->focused : step > 0 ? -1 : WINDOW_HIT_REGIONS;
    const int32_t next = next_focusable(window, from, step);
    const bool wrapped = window->focused >= 0 && (step > 0 ? next <= window->focused : next >= window->focused);
    if (next < 0 && window->entries.empty()) return false;
    if (next < 0 || (wrapped && !window->entries.empty())) {
        window->focused = -1;
        entry_focus(window, true);
    } else {
        window->focused = next;
        entry_focus(window, false);
    }
    queue_redraw(window);
    return true;
}

// [SECTION] Drop

void window_drop_uris(window_s* window, char** uris, int32_t x, int32_t y) {
    std::vector<char*> paths;
    for (char** uri = uris; *uri; ++uri) {
        gchar* path = g_filename_from_uri(*uri, nullptr, nullptr);
        if (path) {
            paths.push_back(path);
        } else {
            sys_log("  ignoring a dropped item that is not a local file: %s\n", *uri);
        }
    }
    if (!paths.empty() && window->drop) window->drop(window->user_data, (int32_t)paths.size(), paths.data(), x, y);
    for (char* path : paths) g_free(path);
}

// [SECTION] Dialogs

window_dialogs_s& window_dialogs() { return dialogs_table(); }

void window_dialogs_reset() { dialogs_table() = default_dialogs(); }

void window_message_box(window_s* window, const char* title, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = valid_text(format_message(format, args).c_str());
    va_end(args);
    dialogs_table().message(window, title, text.c_str());
}

bool window_ask_yes_no(window_s* window, const char* title, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = valid_text(format_message(format, args).c_str());
    va_end(args);
    return dialogs_table().ask(window, title, text.c_str());
}

bool window_choose_file(window_s* window, const char* title, std::string* path) {
    return dialogs_table().choose_file(window, title, path);
}

bool window_choose_folder(window_s* window, const char* title, std::string* path) {
    return dialogs_table().choose_folder(window, title, path);
}

std::string window_display_name(const char* path) {
    gchar* shown = g_filename_display_name(path);
    std::string text = shown;
    g_free(shown);
    return text;
}

// [SECTION] Entries

void window_entry_text_changed(text_entry_s* entry, const char* text) {
    if (entry->buffer && entry->capacity) str_copy(entry->buffer, text, entry->capacity);
}

int32_t window_entry_add(window_s* window, int32_t x, int32_t y, int32_t w, int32_t h, int32_t max_length, char* buffer) {
    text_entry_s entry;
    entry.buffer = buffer;
    entry.capacity = 128;
    if (window->fixed) {
        entry.entry = gtk_entry_new();
        gtk_entry_set_text(GTK_ENTRY(entry.entry), buffer);
        gtk_entry_set_max_length(GTK_ENTRY(entry.entry), max_length);
        gtk_widget_set_size_request(entry.entry, w, h);
        gtk_fixed_put(GTK_FIXED(window->fixed), entry.entry, x, y);
        gtk_widget_show(entry.entry);
        gtk_widget_grab_focus(entry.entry);
        g_signal_connect(entry.entry, "changed", G_CALLBACK(on_entry_changed), window);
        g_signal_connect(entry.entry, "focus-in-event", G_CALLBACK(on_entry_focus_in), window);
    }
    window->entries.push_back(entry);
    return (int32_t)window->entries.size() - 1;
}

void window_entries_clear(window_s* window) {
    for (text_entry_s& entry : window->entries)
        if (entry.entry) gtk_widget_destroy(entry.entry);
    window->entries.clear();
}

// [SECTION] Drawing

void window_draw_clear(window_s* window, uint32_t rgb) {
    cairo_set_source_rgb(window->cr, ((rgb >> 16) & 255) / 255.0, ((rgb >> 8) & 255) / 255.0, (rgb & 255) / 255.0);
    cairo_paint(window->cr);
}

void window_clip_push(window_s* window, int32_t x, int32_t y, int32_t w, int32_t h) {
    cairo_save(window->cr);
    cairo_rectangle(window->cr, x, y, w, h);
    cairo_clip(window->cr);
}

void window_clip_pop(window_s* window) { cairo_restore(window->cr); }

void window_set_fill(window_s* window, uint32_t argb) { window->fill = argb; }
void window_no_fill(window_s* window) { window->fill = 0; }
void window_set_stroke(window_s* window, uint32_t argb) { window->stroke = argb; }
void window_no_stroke(window_s* window) { window->stroke = 0; }
void window_set_line_width(window_s* window, float width) { cairo_set_line_width(window->cr, width); }

void window_draw_line(window_s* window, float x1, float y1, float x2, float y2) {
    if (!window->stroke) return;
    cairo_move_to(window->cr, x1, y1);
    cairo_line_to(window->cr, x2, y2);
    set_source(window, window->stroke);
    cairo_stroke(window->cr);
}

void window_draw_rect(window_s* window, float x, float y, float w, float h) {
    if (window->fill) {
        cairo_rectangle(window->cr, x, y, w, h);
        set_source(window, window->fill);
        cairo_fill(window->cr);
    }
    if (window->stroke) {
        cairo_rectangle(window->cr, x, y, w, h);
        set_source(window, window->stroke);
        cairo_stroke(window->cr);
    }
}

void window_path_begin(window_s* window) { window->path_start = true; }

void window_path_point(window_s* window, float x, float y) {
    if (window->path_start) {
        cairo_move_to(window->cr, x, y);
        window->path_start = false;
    } else {
        cairo_line_to(window->cr, x, y);
    }
}

void window_path_end(window_s* window) {
    cairo_close_path(window->cr);
    if (window->fill) {
        set_source(window, window->fill);
        cairo_fill(window->cr);
    } else if (window->stroke) {
        set_source(window, window->stroke);
        cairo_stroke(window->cr);
    } else {
        cairo_new_path(window->cr);
    }
}

void window_set_font(window_s* window, const char* face, float size) {
    cairo_select_font_face(window->cr, face, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(window->cr, size * 1.333);
}

float window_text_width(window_s* window, const char* text) {
    const std::string valid = valid_text(text);
    text = valid.c_str();
    cairo_text_extents_t extents;
    cairo_text_extents(window->cr, text, &extents);
    return (float)extents.width;
}

float window_text_height(window_s* window, const char* text) {
    const std::string valid = valid_text(text);
    cairo_text_extents_t extents;
    cairo_text_extents(window->cr, valid.c_str(), &extents);
    return (float)extents.height;
}

void window_draw_text(window_s* window, const char* text, float x, float y) {
    const std::string valid = valid_text(text);
    text = valid.c_str();
    if (window->texts) window->texts->push_back(valid);
    cairo_text_extents_t extents;
    cairo_text_extents(window->cr, text, &extents);
    cairo_move_to(window->cr, x, y + extents.height);
    set_source(window, window->fill);
    cairo_show_text(window->cr, text);
}
