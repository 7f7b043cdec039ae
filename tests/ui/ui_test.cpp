// The desktop program's window layer, widgets and screens without a display: each paint goes
// into a 640x480 image surface whose pixels, texts and hit regions the tests probe, with the
// dialogs answered by the test; the Plots screen's listings and its conversions on the worker.
// (Real windows, dialogs and drops: gui_session_test.sh and farm_session_test.sh.)
#include <cairo.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>
#include <tuple>

#include "check/check.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotfile/convert.h"
#include "plotfile/plotfile.h"
#include "plotfile/plots.h"
#include "plotter/plotter.h"
#include "settings/settings.h"
#include "test_support.h"
#include "ui/app.h"
#include "ui/check_screen.h"
#include "ui/farm_screen.h"
#include "ui/progress.h"
#include "ui/session.h"
#include "ui/setup.h"
#include "ui/widgets.h"
#include "ui/window.h"

namespace {

using rect_s = cairo_rectangle_int_t;  // x, y, width, height

bool is_dark(uint32_t rgb) { return (rgb & 0xFF) < 0xB0; }  // text on the white background
bool is_red(uint32_t rgb) { return (rgb >> 16) > 0xA0 && ((rgb >> 8) & 0xFF) < 0x90 && (rgb & 0xFF) < 0x90; }

struct offscreen_s {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 640, 480);
    cairo_t* cr = cairo_create(surface);
    ~offscreen_s() {
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
    }
    void paint(window_s* window) {
        if (window->texts) window->texts->clear();
        window_paint(window, cr);
        cairo_surface_flush(surface);
    }
    // 0xRRGGBB at (x, y).
    uint32_t pixel(int32_t x, int32_t y) const {
        const uint8_t* row = cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
        return reinterpret_cast<const uint32_t*>(row)[x] & 0xFFFFFF;
    }
    template <typename F>
    int32_t count(rect_s r, F wanted) const {
        int32_t n = 0;
        for (int32_t y = r.y; y < r.y + r.height; ++y)
            for (int32_t x = r.x; x < r.x + r.width; ++x) n += wanted(pixel(x, y));
        return n;
    }
    int32_t dark_pixels(rect_s r) const { return count(r, is_dark); }
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
bool test_has_region(const window_s* window, rect_s r) {
    for (const hit_region_s& h : window->regions)
        if (h.action && h.x == r.x && h.y == r.y && h.w == r.width && h.h == r.height) return true;
    return false;
}

// Tab, Shift+Tab, Enter and space as the window's keys.
int32_t key_of(char key) { return (int32_t)std::string_view("TSE").find(key == ' ' ? 'E' : key); }

constexpr uint64_t A = 7900104405094198526ull;  // the reference nonces' account
constexpr uint32_t RED = 0xC42B1C, AMBER = 0xD98C00, DISABLED = 0xCCCCCC;

std::string name(uint64_t start, uint64_t n, bool poc2, const char* rest = "") {
    return plotfile_name(A, start, n, poc2) + rest;
}

// A file of n nonces in one order, from the reference nonces 0 .. n - 1.
std::string plot_bytes(uint64_t n, bool poc2) {
    std::string bytes(n * PLOT_SIZE, '\0');
    for (uint64_t i = 0; i < n; ++i) {
        const uint8_t* nonce = test_reference_nonce(A, i, poc2);
        for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
            std::copy_n(nonce + s * SCOOP_SIZE, SCOOP_SIZE, bytes.begin() + (s * n + i) * SCOOP_SIZE);
    }
    return bytes;
}

// A file of the right size without writing its bytes (the listing reads names and sizes).
void sized_file(const std::string& path, uint64_t bytes) {
    test_write_file(path, "");
    std::filesystem::resize_file(path, bytes);
}

// The worker's syncs wait while `held` is set, so a test sees a conversion under way.
std::atomic<bool> held{false};
sys_syscalls_s real;
void wait_while_held() {
    while (held) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}
int held_fdatasync(int fd) { return wait_while_held(), real.fdatasync(fd); }
int held_fsync(int fd) { return wait_while_held(), real.fsync(fd); }
// The second write of the run fails: the first file's first journal slot.
std::atomic<int> writes{0};
ssize_t failing_second_pwrite(int fd, const void* b, size_t n, off_t o) {
    return ++writes == 2 ? (errno = EIO, (ssize_t)-1) : real.pwrite(fd, b, n, o);
}


// The program's window offscreen, its dialogs answered here: messages kept, questions
// kept and answered with `answer`.
struct Screens : testing::Test {
    offscreen_s screen;
    test_dir_s dir;
    std::vector<std::string> messages, asked;
    std::vector<std::string> drawn;  // the texts of the last paint
    bool answer = false;

    void SetUp() override {
        settings_reset();
        if (!plotter) plotter = plotter_create();
        if (!plots) plots = plots_create();
        app_reset_for_tests();
        *plots = plots_s();
        main_window = window_create_offscreen(640, 480);
        main_window->texts = &drawn;
        window_set_callbacks(main_window, nullptr, app_close, app_drop, app_mouse, nullptr);
        gpu_count = 2;  // the processor strip: CPU, GPU0, GPU1
        window_dialogs().message = [this](window_s*, const char*, const char* text) {
            messages.push_back(window_on_ui_thread() ? text : "shown off the UI thread");
        };
        window_dialogs().ask = [this](window_s*, const char*, const char* text) {
            asked.push_back(text);
            return answer;
        };
    }
    void TearDown() override {
        held = false;  // a conversion held by a failed test ends
        app_reset_for_tests();  // ends a running check or conversion before the file calls are put back
        sys_ui_drain();
        window_dialogs_reset();
        sys_syscalls_reset();
        delete std::exchange(main_window, nullptr);
        settings_reset();
        *plots = plots_s();
    }
    void paint() { screen.paint(main_window); }
    void click(int32_t x, int32_t y) { screen.click(main_window, x, y); }
    void show(window_paint_fn screen_fn) {
        main_window->paint = screen_fn;
        paint();
    }
    bool shown(const std::string& text) const { return std::find(drawn.begin(), drawn.end(), text) != drawn.end(); }
    // Checks `path` and waits for the check to end and, with `message`, for its message.
    checker_s* check_to_end(std::string path, bool message = false) {
        char* file[] = {path.data()};
        ui_check_start(main_window, 1, file);
        checker_s* c = const_cast<checker_s*>(ui_check_current());
        for (int i = 0; i < 6000 && (c->result.load() == CHECK_RUNNING || (message && messages.empty())); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (message) sys_ui_drain();
        }
        return c;
    }
};

// Opens under one folder fail with one error, as on a read-only or refused folder.
std::string refused_folder;
int refused_error = 0;
int open_refusing_folder(const char* path, int flags, mode_t mode) {
    if (!refused_folder.empty() && std::string_view(path).rfind(refused_folder, 0) == 0) return errno = refused_error, -1;
    return ::open(path, flags, mode);
}

// Every file system has `free_bytes`, all of it free.
uint64_t free_bytes = 0;
int statvfs_free_bytes(const char*, struct statvfs* info) {
    *info = {};
    info->f_frsize = 4096;
    info->f_bavail = info->f_blocks = free_bytes / 4096;
    return 0;
}

// A run in progress made of hand-set drives and jobs: one 32-nonce job per target, written
// to staging drive i % ssds or to the target itself. The first job plots, with both its
// buffers half computed and a quarter written.
struct synthetic_run_s {
    batch_buffer_s compute{8, {4}}, write{8, {2 * PLOT_SIZE}};
    job_s *first = nullptr, *last = nullptr;
    synthetic_run_s(int32_t ssds, int32_t targets) {
        setup.ssd_drives.resize(ssds);
        setup.target_drives.resize(targets);
        for (int32_t i = 0; i < targets; ++i) {
            drive_s* writes = ssds ? &setup.ssd_drives[i % ssds] : &setup.target_drives[i];
            job_s* job = job_create(writes, ssds ? &setup.target_drives[i] : nullptr, 7, 1000 * i, 32);
            plotter_add_job(plotter, job);
            if (i == 0) first = job;
            last = job;
        }
        first->job_state = JOB_PLOTTING;
        first->compute_buffer = &compute;
        first->write_buffer = &write;
        first->write_drive->current_job = first;
        first->bytes_written = 8 * PLOT_SIZE;
        first->write_drive->bytes_written.add(8 * PLOT_SIZE);
    }
};

double paint_now = 1;  // the clock the progress screen sees in these tests
void paint_progress_now(void*) { progress_paint(main_window, paint_now); }
const rect_s second_file_line = {277, 430, 247, 14};  // on the progress screen, two targets written directly

// The Plots screen over target folders.
struct Farm : Screens {
    std::string folder(const char* sub) {
        std::filesystem::create_directory(dir.file(sub));
        return dir.file(sub);
    }
    // Hands the worker's posts to this thread until the screen is idle, then paints.
    void settle() {
        for (int i = 0; i < 4000 && (farm.listing || farm.converting); ++i) {
            sys_ui_drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        sys_ui_drain();
        ASSERT_FALSE(farm.listing || farm.converting);
        paint();
    }
    // The folders as the only targets, listed.
    void list(const std::vector<std::string>& folders) {
        setup.target_drives.resize(folders.size());
        for (size_t i = 0; i < folders.size(); ++i)
            std::snprintf(setup.target_drives[i].path, sizeof setup.target_drives[i].path, "%s", folders[i].c_str());
        farm_open();
        settle();
    }
    // Folder "one" with `count` PoC1 files of 8 nonces, listed.
    std::string listed(uint64_t count) {
        const std::string one = folder("one"), poc1 = plot_bytes(8, false);
        for (uint64_t i = 0; i < count; ++i) test_write_file(one + "/" + name(8 * i, 8, false), poc1);
        list({one});
        return one;
    }
    void hold_syncs() {
        real = sys_syscalls();
        held = true;
        sys_syscalls().fdatasync = held_fdatasync;
        sys_syscalls().fsync = held_fsync;
    }
};

}  // namespace

// Regions A at (0, 0, 10, 10) and B at (20, 0, 10, 10), then 1x1 regions at x = 44, 46, ...
// that count as B: the 64th is clickable, the 65th is refused and never clickable.
TEST(Window, PointerRulesTable) {
    using step_s = std::tuple<char, int32_t, int32_t>;  // p press, m motion, r release, x repaint; at x, y
    using row = std::tuple<const char*, int32_t, std::vector<step_s>, int, int, int>;
    const row cases[] = {  // name, regions, steps, then the clicks of A and B and the hovered slot
        {"press and release in A", 2, {{'p', 5, 5}, {'r', 5, 5}}, 1, 0, -1},
        {"press in A, release in B", 2, {{'p', 5, 5}, {'r', 25, 5}}, 0, 0, -1},
        {"press outside, release in A", 2, {{'p', 15, 5}, {'r', 5, 5}}, 0, 0, -1},
        {"press in A, release outside, press outside, release in A", 2,
         {{'p', 5, 5}, {'r', 15, 5}, {'p', 15, 5}, {'r', 5, 5}}, 0, 0, -1},
        {"press in A, release outside, click in A", 2, {{'p', 5, 5}, {'r', 15, 5}, {'p', 5, 5}, {'r', 5, 5}}, 1, 0, -1},
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
            window_hit_region_add(w, 0, 0, 10, 10, [&] { ++a; });
            window_hit_region_add(w, 20, 0, 10, 10, [&] { ++b; });
            for (int32_t i = 2; i < count; ++i) window_hit_region_add(w, 40 + 2 * i, 0, 1, 1, [&] { ++b; });
        });
        screen.paint(&window);
        for (auto [event, x, y] : steps) {
            if (event == 'x') screen.paint(&window);
            else window_mouse_event(&window, (int32_t)std::string_view("pmr").find(event), x, y);
        }
        EXPECT_EQ(std::tuple(a, b, window.hovered), std::tuple(want_a, want_b, hovered)) << name;
    }
}

// Keys: T Tab, S Shift+Tab, E Enter, ' ' space, d disables B, each followed by a repaint.
// Buttons A and B and a text link C; a disabled button takes no focus, and one disabled
// under the focus leaves no focus behind, so Enter clicks nothing. The focus mark is a
// dotted frame around the focused button only: every other pixel of its top edge in blue.
TEST(Window, KeyboardFocusTable) {
    using row = std::tuple<const char*, const char*, int, int, int, int32_t>;
    const row cases[] = {  // name, keys, then the clicks of A, B and C and the focused slot
        {"no focus at first", "", 0, 0, 0, -1},
        {"Tab focuses A, Enter clicks it", "TE", 1, 0, 0, 0},
        {"space clicks like Enter", "TT ", 0, 1, 0, 1},
        {"Enter without focus clicks nothing", "E", 0, 0, 0, -1},
        {"Shift+Tab starts from the last", "SE", 0, 0, 1, 2},
        {"Shift+Tab from the first wraps to the last", "TS", 0, 0, 0, 2},
        {"Tab from the last wraps to the first", "TTTTE", 1, 0, 0, 0},
        {"a disabled button is passed over", "dTTE", 0, 0, 1, 1},
        {"disabled under the focus: no focus, no click", "TTdE", 0, 0, 0, -1},
        {"Enter twice clicks twice", "TEE", 2, 0, 0, 0},
    };
    offscreen_s screen;
    const auto marked = [&](int32_t x) {
        return screen.count({x, 97, 100, 1}, [](uint32_t p) { return p == (WINDOW_FOCUS_MARK & 0xFFFFFF); });
    };
    for (const auto& [name, keys, want_a, want_b, want_c, focused] : cases) {
        int a = 0, b = 0, c = 0;
        bool b_enabled = true;
        test_window_s window([&](window_s* w) {
            window_draw_clear(w, 0xFFFFFF);
            paint_button(w, "A", true, 100, 100, 100, 34, [&] { ++a; }, 12);
            paint_button(w, "B", b_enabled, 220, 100, 100, 34, [&] { ++b; }, 12);
            paint_text_link(w, "C", 100, 200, [&] { ++c; });
        });
        screen.paint(&window);
        for (char key : std::string_view(keys)) {
            if (key == 'd') b_enabled = false;
            else window_key_event(&window, key_of(key));
            screen.paint(&window);
        }
        EXPECT_EQ(std::tuple(a, b, c, window.focused), std::tuple(want_a, want_b, want_c, focused)) << name;
        const bool b_focused = focused == 1 && b_enabled;  // with B disabled, slot 1 is C
        EXPECT_EQ(std::pair(marked(100), marked(220)), std::pair(focused == 0 ? 50 : 0, b_focused ? 50 : 0)) << name;
    }
}

// Dialog texts stop at 1023 bytes, entry texts at their buffer's size less one; shorter ones
// come through whole. Lengths in turn: the dialog's text, then the entry's buffer.
TEST_F(Screens, TextsAreCutToTheirBuffers) {
    std::vector<size_t> lengths;
    char buffer[128];
    text_entry_s entry{nullptr, buffer, sizeof buffer};
    for (size_t length : {3, 200, 5000}) {
        window_message_box(nullptr, "Title", "%s", std::string(length, 'm').c_str());
        window_entry_text_changed(&entry, std::string(length, 'x').c_str());
        lengths.insert(lengths.end(), {messages.back().size(), std::strlen(buffer)});
    }
    EXPECT_EQ(lengths, (std::vector<size_t>{3, 3, 200, 127, 1023, 127}));
}

// Button faces: enabled, hovered, disabled (never hovered and not clickable). A strip of ten
// 100-pixel items 560 wide (arrows 32 wide): only the right arrow at first, both after one
// step, only the left one at the far end; a half-hidden item is clickable only where it shows.
TEST(Widgets, ButtonFacesAndScrollStrip) {
    bool enabled = true;
    scroll_state_s strip{1000, 0};
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
    const std::tuple<int, int, bool, bool> steps[] = {{0, 0, false, true}, {1, -100, true, true}, {5, -440, true, false}};
    for (auto [clicks, offset, left, right] : steps) {
        screen.paint(&window);
        for (int i = 0; i < clicks; ++i) screen.click(&window, 620, 320);
        EXPECT_EQ(std::tuple(strip.offset, test_has_region(&window, {0, 300, 32, 64}),
                             test_has_region(&window, {608, 300, 32, 64})), std::tuple(offset, left, right)) << clicks;
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
    const std::tuple<float, double, float> samples[] = {{0, 0, 0}, {0.1f, 500, 0}, {1, 100, 100}, {2, 400, 200}, {3, -300, 0}};
    for (auto [time, value, rate] : samples) EXPECT_EQ(rate_series_add(&series, 4, time, value), rate) << time;
    EXPECT_EQ(std::pair(series.samples.size(), series.scale_max), std::pair(size_t{4}, 200.0f));
}

// Start is clickable only with both an account and a target; the processor strip picks the
// CPU alone or any set of GPUs; a target is planned once however often it is added, and
// clicking its path removes it; a drive without room is refused, naming its free space.
TEST_F(Screens, SetupScreenStartProcessorsAndFolders) {
    for (int both = 0; both < 4; ++both) {
        app_reset_for_tests();
        account_id = both & 1 ? 7 : 0;
        if (both & 2) setup_drive_add(SETUP_TARGETS, dir.path.c_str(), false);
        show(config_paint);
        EXPECT_EQ(test_has_region(main_window, {486, 416, 130, 40}), both == 3) << both;
    }
    for (auto [x, mask] : {std::pair{421, 2u}, {233, 3u}, {45, 0u}, {233, 1u}, {233, 0u}}) {
        click(x, 150);
        EXPECT_EQ(gpu_mask, mask) << x;
    }
    setup_drive_add(SETUP_TARGETS, dir.path.c_str(), false);
    EXPECT_EQ(setup.target_drives.size(), 1u);
    click(45, 350);  // the target's path
    EXPECT_EQ(std::pair(setup.target_drives.size(), plotter_job_count(plotter)), std::pair(size_t{0}, size_t{0}));
    free_bytes = 4096000;
    sys_syscalls().statvfs = statvfs_free_bytes;
    setup_drive_add(SETUP_STAGING, dir.path.c_str(), false);
    EXPECT_TRUE(setup.ssd_drives.empty());
    EXPECT_EQ(messages, std::vector<std::string>{"There isn't enough free space on this drive.\n" + dir.path +
                                                 " has 4.1 MB free; at least 134.2 MB is needed."});
}

// The setup screen by keys (account set, no folder, two GPUs): T Tab, S Shift+Tab, E Enter,
// ' ' space, each followed by a repaint. "Plots" comes first, then the processors; the RAM
// line is last. A new screen starts without focus. The focus is named by a point inside it.
TEST_F(Screens, SetupScreenByKeysTable) {
    using row = std::tuple<const char*, const char*, ui_phase_e, std::pair<int32_t, int32_t>, uint32_t>;
    const row cases[] = {  // name, keys, then the phase, the focus (none: -1) and the processors chosen
        {"Tab reaches Plots first", "T", UI_SETUP, {590, 40}, 0},
        {"the CPU, then GPU 0", "TTT", UI_SETUP, {233, 150}, 0},
        {"space chooses GPU 0", "TTT ", UI_SETUP, {233, 150}, 1},
        {"Shift+Tab starts from the RAM line", "S", UI_SETUP, {30, 440}, 0},
        {"Tab wraps from the RAM line to Plots", "ST", UI_SETUP, {590, 40}, 0},
        {"Enter on Plots opens the Plots screen, unfocused", "TE", UI_FARM, {-1, -1}, 0},
        {"Tab there reaches Back", "TET", UI_FARM, {89, 436}, 0},
        {"Enter on Back: the setup screen, unfocused", "TETE", UI_SETUP, {-1, -1}, 0},
    };
    for (const auto& [name, keys, phase, focus, mask] : cases) {
        app_reset_for_tests();  // ends the Plots screen's listing
        sys_ui_drain();
        settings_reset();
        account_id = 7;
        delete std::exchange(main_window, window_create_offscreen(640, 480));
        main_window->texts = &drawn;
        ui_show(UI_SETUP, config_paint);
        paint();
        for (char key : std::string_view(keys)) {
            window_key_event(main_window, key_of(key));
            paint();
        }
        const auto [x, y] = focus;
        const hit_region_s* r = main_window->focused < 0 ? nullptr : &main_window->regions[main_window->focused];
        const bool at = r ? r->x <= x && x < r->x + r->w && r->y <= y && y < r->y + r->h : x < 0;
        EXPECT_EQ(std::tuple(ui_phase, at, gpu_mask), std::tuple(phase, true, mask)) << name;
    }
}

// A folder name that is not UTF-8 (bytes ff fe) is drawn through its display name: the
// setup screen goes on below it ("Target disk path" and its "Click to select..." in the
// accent colour), and the drive keeps the real bytes for its files.
TEST_F(Screens, FolderNamesThatAreNotUtf8AreDrawn) {
    const std::string odd = dir.file("\xff\xfe");
    ASSERT_TRUE(std::filesystem::create_directory(odd));
    setup_drive_add(SETUP_STAGING, odd.c_str(), true);
    ASSERT_EQ(setup.ssd_drives.size(), 1u);
    EXPECT_EQ(std::string(setup.ssd_drives[0].path), odd);
    show(config_paint);
    EXPECT_GT(screen.dark_pixels({24, 328, 150, 20}), 50);
    EXPECT_GT(screen.count({40, 366, 130, 24}, [](uint32_t p) { return p != 0xFFFFFF; }), 50);
    EXPECT_TRUE(test_utf8_valid(window_display_name(odd.c_str())));
}

// The start folder: one longer than any fixed buffer keeps its own config.yml; one that no
// longer exists is reported and nothing is written anywhere else; one whose log.txt another
// Kestrune holds is refused, its log left whole; a config.yml that is a folder is reported,
// the settings start from their defaults and nothing tries to replace it. One that takes no
// files (a read-only file system) is named in one message with the reason, saying what will
// not be kept there, and config.yml is not written; a log.txt that cannot be written in a
// folder that takes files costs only the log.
TEST_F(Screens, StartFolderLongGoneHeldUnreadableOrUnwritable) {
    const std::filesystem::path before = std::filesystem::current_path();
    const std::string long_dir = dir.path + "/" + std::string(200, 'a') + "/" + std::string(100, 'b');
    const std::string config = long_dir + "/config.yml";
    std::filesystem::create_directories(long_dir);
    const auto start_in = [&](const std::string& folder) {
        sys_log_reset_for_tests();
        messages.clear();
        EXPECT_EQ(chdir(folder.c_str()), 0);
        return app_start_folder();
    };
    EXPECT_TRUE(start_in(long_dir));
    EXPECT_EQ(start_dir, long_dir);
    app_prefs_save();
    EXPECT_TRUE(sys_file_exists(config.c_str()));

    const std::string gone = dir.file("gone");
    const bool root_had_config = sys_file_exists("/config.yml");
    ASSERT_TRUE(std::filesystem::create_directory(gone) && chdir(gone.c_str()) == 0 && rmdir(gone.c_str()) == 0);
    EXPECT_TRUE(start_in("."));
    app_prefs_save();
    EXPECT_EQ(std::pair(start_dir, sys_file_exists("/config.yml")), std::pair(std::string(), root_had_config));
    EXPECT_EQ(messages, std::vector<std::string>{"Kestrune cannot find the folder it was started in (No such file or "
                                                 "directory). Settings and the log will not be kept."});

    const std::string held = dir.file("held");
    std::filesystem::create_directory(held);
    const int64_t log = test_create_file(held + "/log.txt", 0);  // held with its writer lock
    ASSERT_EQ(write(log, "running\n", 8), 8);
    EXPECT_FALSE(start_in(held));
    EXPECT_EQ(messages, (std::vector<std::string>{"Kestrune is already running in this folder."}));
    EXPECT_EQ(test_read_file(held + "/log.txt"), "running\n");
    sys_file_close(log);

    ASSERT_TRUE(std::filesystem::remove(config) && std::filesystem::create_directory(config));
    EXPECT_TRUE(start_in(long_dir));
    account_id = 0;
    app_prefs_load();
    app_prefs_save();
    EXPECT_EQ(messages, std::vector<std::string>{"config.yml in " + long_dir + " cannot be read: Is a directory.\n"
                                                 "Kestrune starts with default settings and leaves the file as it is."});
    EXPECT_TRUE(std::filesystem::is_directory(config) && !sys_file_exists((config + ".tmp").c_str()));

    sys_syscalls().open = open_refusing_folder;
    // The folder's opens fail with this error; log.txt is a folder; the message; config.yml written.
    const std::string folder = dir.file("start");
    const std::tuple<int, bool, std::string, bool> cases[] = {
        {0, false, "", true},
        {EROFS, true,
         "Kestrune cannot write to " + folder +
             ", the folder it was started in: Read-only file system. Settings and the log will not be kept there.",
         false},
        {0, true, "Kestrune cannot write log.txt in " + folder + ": Is a directory. The log will not be kept there.",
         true},
    };
    for (const auto& [error, log_is_folder, message, saved] : cases) {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(log_is_folder ? folder + "/log.txt" : folder);
        refused_folder = error ? folder : "";
        refused_error = error;
        EXPECT_TRUE(start_in(folder));
        app_prefs_save();
        EXPECT_EQ(messages, message.empty() ? std::vector<std::string>{} : std::vector<std::string>{message}) << error;
        EXPECT_EQ(sys_file_exists((folder + "/config.yml").c_str()), saved) << error;
    }
    refused_folder.clear();
    sys_log_reset_for_tests();
    std::filesystem::current_path(before);
}

// What each prompt makes of its text: a number it takes, with what it means under the entry,
// or a refusal in words there, the setting left as it was and the prompt's button disabled
// until the text is a number again. The file size line gives the nonces the plan really
// uses. (The account prompt's OK button: the desktop session test.)
TEST_F(Screens, PromptsReadOrRefuseTheirTextTable) {
    setup_drive_add(SETUP_TARGETS, dir.path.c_str(), true);
    const rect_s ok = {270, 339, 100, 34}, done = {405, 339, 140, 34};
    char memory[64];
    fmt_size(sizeof memory, memory, sys_total_ram(), true, "");
    const std::string too_much = std::string("This machine has ") + memory + " of memory; type at most that.";
    uint64_t* fill = &setup.target_drives.at(0).fill_limit;  // set only by the fill prompt's OK
    void (*open_fill)() = [] { open_fill_prompt(0); };
    // Prompt, setting, its value before, text typed, its value after, line under the entry
    // (nullptr: not looked at), the button that leaves the prompt and whether it is enabled.
    using row = std::tuple<void (*)(), uint64_t*, uint64_t, std::string, uint64_t, const char*, rect_s, bool>;
    const row cases[] = {
        {open_account_prompt, &account_id, 5, "12345678x", 0, nullptr, ok, false},
        {open_account_prompt, &account_id, 5, "BURST-8V9Y-58B4-RVWP-8HQAV", 7900104405094198526ull, nullptr, ok, true},
        {open_size_prompt, &max_file_bytes, 7, "2.5", 2500000000ull, "2.5 GB = 9536 nonces", ok, true},
        {open_size_prompt, &max_file_bytes, 7, " 0.002 ", 2000000, "2.1 MB = 8 nonces", ok, true},
        {open_size_prompt, &max_file_bytes, 7, "-2", 7, "The number cannot be negative.", ok, false},
        {open_size_prompt, &max_file_bytes, 7, "1e30", 7, "\"1e30\" is too large.", ok, false},
        {open_size_prompt, &max_file_bytes, 7, "abc", 7, "\"abc\" is not a number.", ok, false},
        {open_size_prompt, &max_file_bytes, 7, "", 7, "Type a number.", ok, false},
        {open_ram_prompt, &max_ram_bytes, 7, "2", 2147483648ull, nullptr, ok, true},
        {open_ram_prompt, &max_ram_bytes, 7, "100000", 7, too_much.c_str(), ok, false},
        {open_fill, fill, 7, "12abc", 7, "\"12abc\" is not a number.", ok, false},
        {open_nonce_prompt, &setup.next_start_nonce, 7, "  42abc", 7, "\"42abc\" is not a number.", done, false},
        {open_nonce_prompt, &setup.next_start_nonce, 7, "42", 42, nullptr, done, true},
        {open_nonce_prompt, &setup.next_start_nonce, 7, "-1", 7, "The number cannot be negative.", done, false},
        {open_nonce_prompt, &setup.next_start_nonce, 7, "99999999999999999999999", 7,
         "\"99999999999999999999999\" is too large.", done, false},
    };
    for (const auto& [open, setting, before, text, after, line, button, enabled] : cases) {
        *setting = before;
        open();
        std::strcpy(main_window->entries.at(0).buffer, text.c_str());
        paint();
        EXPECT_EQ(*setting, after) << text;
        EXPECT_TRUE(!line || shown(line)) << text << ": " << testing::PrintToString(drawn);
        EXPECT_EQ(test_has_region(main_window, button), enabled) << text;
        window_entries_clear(main_window);
    }
}

// Dropped URIs become local paths (percent escapes decoded, web addresses left out).
// Unfinished files resume only while setting up; a declined resume and plain files open the
// checker from the setup or checker screen, and nothing happens on the run's screens. Of
// several files dropped at once the first is checked and the screen says so.
TEST_F(Screens, DroppedFilesResumeOrCheckWhileSettingUp) {
    account_id = 7;
    using row = std::tuple<ui_phase_e, window_paint_fn, const char*, std::vector<std::string>, size_t, const char*>;
    const row cases[] = {  // phase and screen, dropped URI, message shown, questions asked, file the checker opens
        {UI_SETUP, config_paint, "file:///x/8_0_16.plotting", {"Can't resume plot for a different account id."}, 0, nullptr},
        {UI_SETUP, config_paint, "file:///x/7_a_16.plotting", {"Incorrect filename format for plotfile."}, 0, nullptr},
        {UI_SETUP, config_paint, "file:///x/7_0_16.plotting", {}, 1, "/x/7_0_16.plotting"},
        {UI_SETUP, config_paint, "file:///x/two%20words/7_0_16", {}, 0, "/x/two words/7_0_16"},
        {UI_CHECK, ui_check_paint_cb, "file:///x/7_0_8", {}, 0, "/x/7_0_8"},
        {UI_SETUP, config_paint, "https://example.com/7_0_8", {}, 0, nullptr},
        {UI_PROMPT, start_get_size_paint, "file:///x/7_0_8", {}, 0, nullptr},
        {UI_RUN, paint_cb, "file:///x/7_0_16.plotting", {}, 0, nullptr},
        {UI_SUMMARY, summary_paint, "file:///x/7_0_16", {}, 0, nullptr},
    };
    for (const auto& [phase, on, uri, shown, asks, checked] : cases) {
        messages.clear();
        asked.clear();
        ui_show(phase, on);
        char* uris[] = {const_cast<char*>(uri), nullptr};
        window_drop_uris(main_window, uris, 0, 0);
        const window_paint_fn after = checked ? ui_check_paint_cb : on;
        EXPECT_EQ(std::tuple(messages, asked.size(), main_window->paint), std::tuple(shown, asks, after)) << uri;
        EXPECT_TRUE(!checked || (ui_check_current() && ui_check_current()->path == checked)) << uri;
    }
    ui_show(UI_SETUP, config_paint);
    char* paths[] = {const_cast<char*>("/x/7_0_8"), const_cast<char*>("/x/7_8_8"), const_cast<char*>("/x/7_16_8")};
    app_drop(nullptr, 3, paths, 0, 0);
    ASSERT_TRUE(ui_check_current() && ui_check_current()->path == "/x/7_0_8");
    paint();
    EXPECT_GT(screen.dark_pixels({174, 452, 300, 14}), 50);
    EXPECT_TRUE(shown("Only the first of the 3 dropped files is checked.")) << testing::PrintToString(drawn);
}

// A worker's message and question wait for the UI thread, which shows them from the call
// queue; a worker never shows a dialog itself. Closing without a run asks nothing.
TEST_F(Screens, WorkerDialogsRunOnTheUiThread) {
    window_dialogs().ask = [](window_s*, const char* title, const char* text) {
        return window_on_ui_thread() && std::string(title) == "Error" && std::string(text) == "Fall back?";
    };
    std::atomic<int> answer{-1};
    std::thread worker([&] {
        app_message_any_thread("Sorry", "Stopped.");
        answer = app_ask_any_thread("Error", "Fall back?");
    });
    for (; answer < 0; std::this_thread::sleep_for(std::chrono::milliseconds(5))) sys_ui_drain();
    worker.join();
    EXPECT_EQ(std::pair(messages, answer.load()), std::pair(std::vector<std::string>{"Stopped."}, 1));
    EXPECT_TRUE(app_close(nullptr));
}

// Closing during a run asks twice; while the questions are open the run goes on, neither
// paused nor stopped, and then it stops as answered: keeping the unfinished files or not.
// When the run ends while the second question is open, its answer no longer applies and
// closing stops nothing (no "keep files: no" reaches the run).
TEST_F(Screens, CloseStopsTheRunAsAnsweredWithoutPausingIt) {
    for (const auto& [keep, ends] : {std::pair{true, false}, {false, false}, {false, true}}) {
        plotter->run.thread = std::thread([] {
            while (!plotter->run.stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        std::vector<std::pair<bool, bool>> during;  // paused, stopped: at each question
        window_dialogs().ask = [&](window_s*, const char*, const char*) {
            during.emplace_back(plotter_paused(plotter), plotter->run.stop.load());
            if (during.size() == 2 && ends) plotter->run.ended = true;
            return during.size() == 1 || keep;
        };
        EXPECT_TRUE(app_close(nullptr));
        EXPECT_EQ(during, (std::vector<std::pair<bool, bool>>{{false, false}, {false, false}})) << keep;
        EXPECT_EQ(std::tuple(plotter->run.stop.load(), plotter->run.keep_files.load()), std::tuple(!ends, keep)) << ends;
        plotter->run.stop = true;
        if (plotter->run.thread.joinable()) plotter->run.thread.join();
        plotter->run.ended = false;
        plotter->run.stop = plotter->run.keep_files = false;
    }
}

// The verdict says the check is a sample and how many of the file's scoops it read: a good
// sample does not make a good file. Nothing is said where a dialog said why there is no check.
TEST_F(Screens, CheckerVerdictSaysHowMuchOfTheFileTheSampleRead) {
    const std::string read_all = "Sampled: only 1770 of the file's 32768 scoops were read; the others were not checked.";
    // The result, then the first `compared` samples are compared and the first `bad` of them differ.
    const std::tuple<check_result_e, uint32_t, uint32_t, std::string, std::string> cases[] = {
        {CHECK_RUNNING, 3, 0, "Checking: 3 of 1770 sampled scoops compared", "Sampled: 1770 of the file's 32768 scoops are read."},
        {CHECK_FINISHED, 1770, 0, "All 1770 sampled scoops match.", read_all},
        {CHECK_FINISHED, 1770, 2, "2 of 1770 sampled scoops differ: the file is damaged.", read_all},
        {CHECK_CONVERTING, 0, 0, "", ""},
        {CHECK_BAD_SIZE, 0, 0, "", ""},
    };
    for (const auto& [result, compared, bad, line, note] : cases) {
        checker_s c;
        c.samples.reset(new check_sample_s[c.sample_count]);
        c.nonces_total = 8;
        c.result = result;
        for (uint32_t k = 0; k < compared; ++k) c.samples[k].match = k >= bad, c.samples[k].compared = 1;
        const ui_check_verdict_s verdict = ui_check_verdict(&c);
        EXPECT_EQ(std::tuple(verdict.line, verdict.note, verdict.bad), std::tuple(line, note, bad > 0)) << result << bad;
    }
}

// A bad name ends the check (its dialog: the check tests); cells take the colour of their
// sample's state. A finished check's verdict and note stand beside Back. Back, even while a
// check runs, ends it and returns to the setup screen; so does closing. A half-converted file
// is not compared: the grid stays grey, no verdict, and the message says how to finish it.
// (Real files ending green or partly red: the desktop session test.)
TEST_F(Screens, CheckerGridVerdictsAndBack) {
    checker_s* c = check_to_end("/x/not-a-plot");
    EXPECT_EQ(c->result.load(), (uint32_t)CHECK_BAD_NAME);
    // A sample's flags in the order they are set; each cell below has the first `set` of them.
    std::atomic<uint8_t> check_sample_s::*const flags[] = {&check_sample_s::read, &check_sample_s::computing,
        &check_sample_s::computed, &check_sample_s::compared, &check_sample_s::match};
    const std::tuple<int32_t, int, uint32_t> cells[] = {  // sample, flags set, its colour
        {0, 0, 0xF0F0F0}, {1, 1, 0x34AADC}, {60, 2, 0xDBDB2F}, {1769, 3, 0xFF9500}, {4, 4, 0xDE1D10}, {5, 5, 0x4CD964}};
    for (auto [k, set, colour] : cells)
        for (int f = 0; f < set; ++f) c->samples[k].*flags[f] = 1;
    paint();
    for (auto [k, set, colour] : cells) EXPECT_EQ(screen.pixel(28 + 10 * (k % 59), 78 + 10 * (k / 59)), colour) << k;
    EXPECT_EQ(screen.dark_pixels({174, 418, 440, 32}), 0);  // no verdict after a dialog

    std::string path = dir.file("7_0_8_8");
    test_write_file(path, std::string(8 * PLOT_SIZE, '\0'));
    ASSERT_EQ(check_to_end(path)->result.load(), (uint32_t)CHECK_FINISHED);
    paint();
    EXPECT_TRUE(screen.dark_pixels({174, 420, 440, 14}) > 50 && screen.dark_pixels({174, 436, 440, 14}) > 50);
    char* file[] = {path.data()};
    ui_check_start(main_window, 1, file);
    click(80, 430);  // Back
    const std::tuple<window_paint_fn, const checker_s*, bool> back_at_setup{config_paint, nullptr, false};
    EXPECT_EQ(std::tuple(main_window->paint, ui_check_current(), main_window->repaint_timer), back_at_setup);
    ui_check_start(main_window, 1, file);
    EXPECT_TRUE(app_close(nullptr));  // closing the window ends the check's threads
    EXPECT_EQ(ui_check_current(), nullptr);

    sys_ui_drain();
    messages.clear();
    test_write_file(path + ".converting", std::string(4096, '\1'));
    EXPECT_EQ(check_to_end(path, true)->result.load(), (uint32_t)CHECK_CONVERTING);
    EXPECT_EQ(messages, std::vector<std::string>{"The file is being converted to poc2: its journal " + path +
                                                 ".converting lies beside it, and running `kestrune-cli convert " +
                                                 path + "` again finishes it. Nothing was compared."});
    paint();
    EXPECT_EQ(std::pair(screen.dark_pixels({174, 418, 440, 32}), screen.pixel(28 + 10 * 5, 78)), std::pair(0, 0xF0F0F0u));
}

// Each mode's charts with a synthetic run: a frame at each chart's left and right edge and
// blank just beyond, so none is missing or overlaps its neighbour; a single staging column is
// as wide as the move chart below it. The compute gauge beside the direct charts is filled
// below its level and blank above it.
TEST_F(Screens, ProgressModesTable) {
    const std::tuple<const char*, int32_t, int32_t, uint32_t, std::vector<rect_s>> cases[] = {
        {"cpu direct", 0, 1, 0, {{24, 50, 442, 160}, {24, 272, 442, 160}}},  // staging drives, targets, GPUs, charts
        {"gpu direct, two targets", 0, 2, 1, {{24, 50, 442, 160}, {24, 272, 247, 160}, {277, 272, 247, 160}}},
        {"gpu ssd, two staging drives", 2, 1, 3, {{24, 50, 500, 92}, {24, 204, 247, 92}, {277, 204, 247, 92}, {24, 358, 500, 92}}},
    };
    for (const auto& [mode, ssds, targets, gpus, charts] : cases) {
        app_reset_for_tests();
        synthetic_run_s run(ssds, targets);
        plotter->config.gpu_mask = gpus;
        show(paint_progress_now);
        for (const auto& [x, y, w, h] : charts) {
            const int32_t mid = y + h / 2 + 3;
            EXPECT_EQ(std::tuple(screen.pixel(x, mid) != 0xFFFFFF, screen.pixel(x + w, mid) != 0xFFFFFF, screen.pixel(x + w + 2, mid)),
                      std::tuple(true, true, 0xFFFFFFu)) << mode << " chart at " << x << "," << y;
        }
        EXPECT_TRUE(ssds || std::pair(screen.pixel(490, 200), screen.pixel(490, 120)) == std::pair(0xF4F2F4u, 0xFFFFFFu)) << mode;
    }
}

// The estimate waits for data and for its 5 s warm-up; a stage that began at this very
// paint has no rate yet rather than an infinite one; a resumed file's earlier nonces are
// neither computed nor written again. The totals and the estimate leave out the nonces no
// drive will take: a failed file's, and those of a file waiting for a drive that failed,
// whose line is marked red. Two files of 3200 nonces. Pause toggles the run.
TEST_F(Screens, ProgressEstimateAndPause) {
    synthetic_run_s run(0, 2);
    run.compute.progress = 0;
    run.first->nonce_count = run.last->nonce_count = 3200;
    constexpr uint32_t FAILED = JOB_FAILED, WAITING = JOB_WAITING;
    // Now (1: from the start), the second file's state, whether its drive failed, the first file's
    // nonces resumed, done and written, the estimate (none: no text yet), "Remaining" (none: not read).
    using row = std::tuple<double, uint32_t, bool, uint64_t, uint64_t, uint64_t, const char*, const char*>;
    const row steps[] = {
        // 100 nonces counted over the 6 s since computing began, 3100 left: 186 s.
        {1, FAILED, true, 0, 0, 0, nullptr, nullptr}, {6.5, FAILED, true, 0, 0, 0, nullptr, nullptr},
        {13, FAILED, true, 0, 8, 0, nullptr, nullptr}, {16, FAILED, true, 0, 50, 0, nullptr, nullptr},
        {19, FAILED, true, 0, 100, 0, "3 minutes", nullptr},
        // Resumed at 1600, all computed; 100 written in 6 s, 1500 left to write: 90 s.
        {1, FAILED, true, 1600, 3200, 50, nullptr, nullptr}, {7, FAILED, true, 1600, 3200, 100, "1 minute", nullptr},
        // Computing almost done (10 nonces left) while 3100 wait to be written at 100 per 6 s:
        // the writes set the time, not the nearly finished computing.
        {1, FAILED, true, 0, 8, 8, nullptr, nullptr}, {7, FAILED, true, 0, 3190, 100, "3 minutes", nullptr},
        // 100 computed and written in 6 s: the second file counts only while its drive takes it.
        {1, WAITING, false, 0, 8, 8, nullptr, nullptr}, {7, WAITING, false, 0, 100, 100, "6 minutes", "1.7 GB"},
        {1, WAITING, true, 0, 8, 8, nullptr, nullptr}, {7, WAITING, true, 0, 100, 100, "3 minutes", "0.8 GB"},
        {1, FAILED, true, 0, 8, 8, nullptr, nullptr}, {7, FAILED, true, 0, 100, 100, "3 minutes", "0.8 GB"},
    };
    for (auto [now, second, failed, resumed, done, written, estimate, remaining] : steps) {
        if (now == 1) progress_reset();
        run.last->job_state = second;
        setup.target_drives[1].failed = failed;
        run.first->resume_from = resumed;
        run.first->nonces_done = done;
        run.first->bytes_written = written * PLOT_SIZE;
        paint_now = now;
        show(paint_progress_now);
        EXPECT_EQ(progress.eta_text, estimate ? std::string("Estimated time remaining: ") + estimate : "") << now;
        EXPECT_TRUE(!remaining || shown(remaining)) << remaining << testing::PrintToString(drawn);
        EXPECT_EQ(screen.count(second_file_line, is_red) > 20, failed) << now;
    }
    for (bool paused : {true, false}) {
        click(577, 465);
        EXPECT_EQ(plotter_paused(plotter), paused);
    }
}

// Skipped buckets are filled evenly up to the next sample; a sample far past any sane run
// length is dropped instead of growing the history without bound; thinning keeps every
// k-th record of 101 or more.
TEST_F(Screens, HistorySamplerThinningAndSummaryBars) {
    EXPECT_EQ(std::pair(history_bucket_for(0), history_bucket_for(10000000)), std::pair(1.0f, 120.0f));
    synthetic_run_s run(0, 1);
    run.compute.progress = 0;
    for (auto [now, done] : {std::pair{1.5, 3}, {4.2, 12}, {4.9, 13}, {1e9, 32}}) {
        run.first->nonces_done = done;
        history_record(now);
    }
    std::vector<double> computed;  // nonces: 0..1 filled from 3, 2..4 from 12, 4 replaced by 13
    for (const history_record_s& r : progress.history) computed.push_back(r.computed / PLOT_SIZE);
    EXPECT_EQ(computed, (std::vector<double>{1.5, 3, 6, 9, 13}));
    // Records, then how many thinning keeps, the first kept and the first pixel of the second
    // bar on the summary (0: no bars). Bars have a pixel's gap before each and the summary's
    // colours; the "... plotted in ..." line is there in every case.
    const std::tuple<int, int, int, int> rows[] = {
        {0, 0, 0, 0}, {3, 3, 0, 222}, {100, 100, 0, 76}, {101, 101, 0, 73}, {150, 75, 1, 65}, {225, 75, 2, 65}};
    progress.done_time = 65;
    for (auto [records, kept, first, bar_x] : rows) {
        progress.history.clear();
        for (int i = 0; i < records; ++i) progress.history.push_back({i * 10.0, i * 20.0, i * 30.0 + (i % 2) * 5});
        history_thin();
        ASSERT_EQ(progress.history.size(), (size_t)kept) << records;
        EXPECT_TRUE(!records || progress.history[0].moved == first * 10.0) << records;
        show(summary_paint);
        EXPECT_GT(screen.dark_pixels({150, 370, 340, 20}), 50) << records;
        EXPECT_EQ(screen.pixel(records ? bar_x : 320, records ? 325 : 330), records ? 0x117DBBu : 0xFFFFFFu) << records;
        EXPECT_TRUE(!records || screen.pixel(bar_x - 1, 320) == 0xFFFFFFu) << records;
    }
}

// A folder that cannot take files is refused with the system's reason when it is chosen,
// and again at "Start Plotting!" when it stopped taking them since; no free space is quoted
// for it.
TEST_F(Screens, UnwritableFoldersAreRefusedWithTheReason) {
    // Kind, folder, the error its opens fail with, the reason shown (empty: the folder is taken).
    const std::tuple<setup_folders_e, std::string, int, std::string> cases[] = {
        {SETUP_TARGETS, dir.file("gone"), 0, "No such file or directory"},
        {SETUP_TARGETS, dir.path, EROFS, "Read-only file system"},
        {SETUP_STAGING, dir.path, EACCES, "Permission denied"},
        {SETUP_TARGETS, dir.path, 0, ""},
    };
    sys_syscalls().open = open_refusing_folder;
    for (const auto& [kind, folder, error, reason] : cases) {
        app_reset_for_tests();
        messages.clear();
        refused_folder = error ? folder : "";
        refused_error = error;
        setup_drive_add(kind, folder.c_str(), false);
        const std::vector<std::string> refusal = {"Kestrune cannot write files in " + folder + ": " + reason + "."};
        EXPECT_EQ(messages, reason.empty() ? std::vector<std::string>{} : refusal) << folder << " " << error;
        EXPECT_EQ(setup.ssd_drives.size() + setup.target_drives.size(), reason.empty() ? 1u : 0u) << reason;
    }
    // The folder taken last turns read-only before the start.
    account_id = 7;
    max_ram_bytes = 64 << 20;
    setup.target_drives.at(0).fill_limit = 8 * PLOT_SIZE;
    setup_plan();
    ASSERT_GT(plotter_job_count(plotter), 0u);
    refused_folder = dir.path;
    refused_error = EROFS;
    messages.clear();
    show(config_paint);
    click(550, 436);  // "Start Plotting!"
    const bool started = plotter_running(plotter);
    if (started) plotter_stop(plotter, false);
    refused_folder.clear();
    EXPECT_EQ(std::tuple(started, ui_phase, messages),
              std::tuple(false, UI_SETUP,
                         std::vector<std::string>{"Plotting cannot start: Kestrune cannot write files in " + dir.path +
                                                  ": Read-only file system."}));
}

// After failures the messages say only what is true, in one message where one will do: a
// failure while other files still run is shown at once, one that ends the run comes with
// the run's outcome. Resuming is promised only for unfinished files that are there; the
// failed drive's line says what it is (its red mark: ProgressEstimateAndPause).
TEST_F(Screens, FailureMessagesSayOnlyWhatIsTrue) {
    const std::string text = "Error writing a on drive b: Input/output error. This drive's files stop here.";
    const std::string none_kept = "No unfinished file was kept, so there is nothing to resume.";
    const std::string resumes = "Start plotting again once the drives are back: it resumes the 1 unfinished file.";
    const std::string moves = "Start plotting again once the drives are back: it moves the 1 staged file.";
    const std::string some = "1 of 2 files failed; the summary lists them.\n\n";
    // Written through a staging drive; the first job's state when the second fails; whether
    // the second's file (unfinished, or its staged copy) is there; the messages when the
    // failure reaches the UI thread, and the one at the end.
    using row = std::tuple<bool, uint32_t, bool, std::vector<std::string>, std::string>;
    const row cases[] = {
        {false, JOB_PLOTTING, false, {text}, some + none_kept},
        {false, JOB_DONE, false, {}, some + text + "\n\n" + none_kept},
        {false, JOB_DONE, true, {}, some + text + "\n\n" + resumes},
        {true, JOB_DONE, true, {}, some + text + "\n\n" + moves},
        {false, JOB_FAILED, true, {},
         "No file was completed: every file of the run failed (see log.txt).\n\n" + text + "\n\n" + resumes},
    };
    for (const auto& [staged, first_state, kept, at_failure, at_end] : cases) {
        app_reset_for_tests();
        synthetic_run_s run(staged ? 1 : 0, 2);
        for (auto* drives : {&setup.ssd_drives, &setup.target_drives})
            for (drive_s& drive : *drives) std::snprintf(drive.path, sizeof drive.path, "%s", dir.path.c_str());
        const std::string left = job_path(run.last, JOB_PATH_WRITTEN) + (staged ? "" : ".plotting");
        test_write_file(left, "x");
        if (!kept) unlink(left.c_str());
        run.first->job_state = first_state;
        run.last->job_state = JOB_FAILED;
        run.last->failure = text;
        setup.target_drives[1].failed = true;
        messages.clear();
        std::thread([&] { app_failure_any_thread(text); }).join();
        EXPECT_TRUE(messages.empty());  // the worker is not held by the message
        sys_ui_drain();
        EXPECT_EQ(messages, at_failure) << staged << first_state << kept;
        show(paint_progress_now);
        EXPECT_TRUE(shown("This drive failed; it takes no more files in this run.")) << testing::PrintToString(drawn);
        if (first_state == JOB_PLOTTING) run.first->job_state = JOB_DONE;
        // The buffers are the test's; the end of the run destroys the jobs that point to them.
        run.first->compute_buffer = run.first->write_buffer = nullptr;
        messages.clear();
        plotting_done();
        EXPECT_EQ(messages, std::vector<std::string>{at_end}) << staged << first_state << kept;
        // The summary lists the failure in red; with no file completed the setup screen plans afresh.
        paint();
        if (first_state == JOB_FAILED) EXPECT_TRUE(app_setting_up() && plotter_job_count(plotter) == 0);
        else EXPECT_TRUE(ui_phase == UI_SUMMARY && screen.count({24, 395, 592, 50}, is_red) > 50);
        unlink(left.c_str());
    }
}

// A target's "Fill" caption and the file size line say what will be written, as the plan
// summary above does, whatever limits it: the fill setting, the drive's own fill, its free
// space (81.5 GB here, of which whole GiB are planned), the largest file typed into its
// prompt (0.002 GB: files of 8 nonces, less than a sector's worth; 0: no limit, which the
// prompt then opens with).
TEST_F(Screens, FillCaptionsAgreeWithThePlan) {
    free_bytes = 81500000000ull;
    sys_syscalls().statvfs = statvfs_free_bytes;
    // The fill setting, the drive's fill, the largest file typed, then the captions and the plan summary.
    using row = std::tuple<uint64_t, uint64_t, const char*, const char*, const char*, const char*>;
    const row cases[] = {
        {18874368, 0, "0", "Fill 18.9 MB", "Max file size: no limit", "18.9 MB will be written to 1 file on 1 drive."},
        {0, 18874368, "0.002", "Fill 18.9 MB", "Max file size: 2.1 MB", "18.9 MB will be written to 9 files on 1 drive."},
        {0, 0, "0", "Fill 80.5 GB", "Max file size: no limit", "80.5 GB will be written to 1 file on 1 drive."},
    };
    account_id = 7;
    for (const auto& [setting, own, size, caption, file_size, summary] : cases) {
        app_reset_for_tests();
        max_fill_bytes = setting;
        setup_drive_add(SETUP_TARGETS, dir.path.c_str(), false);
        ASSERT_EQ(setup.target_drives.size(), 1u);
        setup.target_drives[0].fill_limit = own;
        show(config_paint);
        open_size_prompt();
        std::strcpy(main_window->entries.at(0).buffer, size);
        paint();
        click(320, 356);  // "OK": the setup screen, planned afresh
        EXPECT_TRUE(shown(caption) && shown(file_size) && shown(summary)) << size << ": " << testing::PrintToString(drawn);
    }
    open_size_prompt();
    EXPECT_STREQ(setup.size_text, "0");
}

// Every state of a file in one folder, and an overlap with a file of a second folder: the
// state words, the marks (red for wrong size and overlaps, amber for unfinished and
// converting), the folder totals, the plan of the Convert button and the offer to finish
// the interrupted conversion.
TEST_F(Farm, FolderStatesOverlapsAndPlan) {
    const std::string one = folder("one"), two = folder("two");
    const uint64_t size = 8 * PLOT_SIZE;
    const std::tuple<std::string, uint64_t, const char*> cases[] = {  // name, size, state as the list says it
        {name(0, 8, false), size, "complete"},
        {name(100, 8, true), size, "complete"},
        {name(200, 8, false, ".plotting"), size, "unfinished, 0 written"},
        {name(300, 8, false, ".plotting"), size, "writing, 0 written"},
        {name(400, 8, false, ".moving"), size / 2, "moving"},
        {name(500, 8, true), size - 512, "wrong-size"},
        {name(600, 8, false), size, "converting"},
    };
    for (const auto& [file, bytes, state] : cases) sized_file(one + "/" + file, bytes);
    test_write_file(convert_journal_path(one + "/" + name(600, 8, false)), std::string(4096, 'j'));
    sized_file(two + "/" + name(4, 8, true), size);
    const int64_t writer = test_create_file(one + "/" + name(300, 8, false, ".plotting"), 0);
    list({one, two});
    sys_file_close(writer);
    // Long names are cut in their middle: their ends show.
    for (const auto& [file, bytes, state] : cases) {
        const bool named = std::any_of(drawn.begin(), drawn.end(), [&](const std::string& t) {
            return t.compare(0, 12, file, 0, 12) == 0 && t.size() > 6 && t.substr(t.size() - 6) == file.substr(file.size() - 6);
        });
        EXPECT_TRUE(named && shown(state)) << file << " " << state;
    }
    EXPECT_TRUE(shown("overlaps " + two + "/" + name(4, 8, true) + ": 4 nonces shared"));
    EXPECT_TRUE(shown("overlaps " + one + "/" + name(0, 8, false) + ": 4 nonces shared"));
    EXPECT_TRUE(shown(one) && shown(two));
    EXPECT_TRUE(shown("8 files in 2 folders: 8.4 MB complete, 2 unfinished, 1 wrong-size, 1 overlap."))
        << testing::PrintToString(drawn);
    // 6x6 marks: the wrong-size file and the two overlapping files; the unfinished and the converting one.
    const auto marks = [&](uint32_t colour) { return screen.count({26, 106, 6, 298}, [=](uint32_t p) { return p == colour; }); };
    EXPECT_EQ(std::pair(marks(RED), marks(AMBER)), std::pair(3 * 36, 2 * 36));
    EXPECT_EQ(std::pair(farm.plan.jobs.size(), farm.plan.resumes), std::pair(size_t{2}, uint64_t{1}));
    EXPECT_EQ(farm.plan.skipped, (std::vector<std::string>{"unfinished", "being plotted", "being moved"}));
    EXPECT_EQ(asked, std::vector<std::string>{"1 file was being converted when the conversion stopped. "
                                              "Finish converting it now?"});
    EXPECT_NE(screen.pixel(490, 420), DISABLED);
}

// A folder that cannot be read says why; with only PoC2 files there is nothing to convert and
// the button is disabled, without a hit region. Forty files do not fit: the wheel over the
// list and a drag bring the last ones into view; the wheel outside the list does nothing;
// released, the list stays where the drag left it.
TEST_F(Farm, LongListScrollsByWheelAndDrag) {
    const std::string one = folder("one");
    for (uint64_t i = 0; i < 40; ++i) sized_file(one + "/" + name(100 * i, 8, true), 8 * PLOT_SIZE);
    list({dir.file("gone"), one});
    EXPECT_TRUE(shown("This folder cannot be read: No such file or directory.") &&
                shown("No complete PoC1 file to convert.")) << testing::PrintToString(drawn);
    EXPECT_EQ(screen.pixel(490, 420), DISABLED);
    click(551, 436);
    EXPECT_TRUE(asked.empty() && !farm_converting());
    const std::string first = name(0, 8, true), last = name(3900, 8, true);
    EXPECT_NE(screen.pixel(627, 110), 0xFFFFFF);  // the scroll bar at the top
    // Pointer events, each then the last file's and the first file's view.
    using step_s = std::tuple<int32_t, int32_t, int, bool, bool>;  // event, y, times; first and last shown after
    const step_s steps[] = {{MOUSE_MOTION, 300, 1, true, false}, {MOUSE_WHEEL_DOWN, 50, 20, true, false},
        {MOUSE_WHEEL_DOWN, 300, 20, false, true}, {MOUSE_WHEEL_UP, 300, 20, true, false},
        {MOUSE_PRESS, 390, 1, true, false}, {MOUSE_MOTION, 110, 1, false, false},
        {MOUSE_RELEASE, 110, 1, false, false}, {MOUSE_MOTION, 390, 1, false, false}};
    for (auto [event, y, times, first_shown, last_shown] : steps) {
        for (int i = 0; i < times; ++i) window_mouse_event(main_window, event, 300, y);
        paint();
        EXPECT_EQ(std::pair(shown(first), shown(last)), std::pair(first_shown, last_shown)) << event << " at " << y;
    }
}

// Convert asks with the count and size, works on the worker behind a progress view, and
// Stop ends it after the step under way, leaving the journal: the list then shows the file
// as converting, and the next Convert finishes both files byte-exact. "Back" keeps the folders.
TEST_F(Farm, ConvertShowsProgressStopsAndResumes) {
    answer = true;
    const std::string one = listed(2);
    hold_syncs();
    click(551, 436);
    EXPECT_EQ(asked, std::vector<std::string>{"Convert 2 files (4.2 MB) to PoC2 in place? Miners need PoC2. Each file "
                                              "keeps its bytes safe at every moment; an interrupted conversion "
                                              "resumes next time."});
    ASSERT_TRUE(farm_converting());
    paint();
    EXPECT_TRUE(shown("Converting file 1 of 2 to PoC2") && shown(one + "/" + name(0, 8, false)) && shown("Stop"))
        << testing::PrintToString(drawn);
    click(551, 436);
    EXPECT_TRUE(shown("Stopping..."));
    held = false;
    settle();
    EXPECT_EQ(farm.summary, "Converted 0 files, skipped none. Stopped: the interrupted file resumes next time.");
    EXPECT_EQ(test_list(one), (std::vector<std::string>{name(0, 8, false), name(0, 8, false, ".converting"), name(8, 8, false)}));
    EXPECT_TRUE(shown("converting") && farm.plan.resumes == 1);
    click(551, 436);
    settle();
    EXPECT_TRUE(shown("Converted 2 files, skipped none.")) << testing::PrintToString(drawn);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(test_list(one), (std::vector<std::string>{name(0, 8, true), name(8, 8, true)}));
    EXPECT_TRUE(test_read_file(one + "/" + name(0, 8, true)) == plot_bytes(8, true));
    EXPECT_TRUE(shown("PoC2") && !shown("PoC1"));
    click(89, 436);  // "Back"
    EXPECT_EQ(std::tuple(ui_phase, std::string(setup.target_drives.at(0).path)), std::tuple(UI_SETUP, one));
}

// A file that fails is named with its folder and the reason in the plotting failures'
// message, once; the next file is converted all the same.
TEST_F(Farm, FailureIsSaidAndTheOtherFilesGoOn) {
    answer = true;
    const std::string one = listed(2);
    writes = 0;
    real = sys_syscalls();
    sys_syscalls().pwrite = failing_second_pwrite;
    click(551, 436);
    settle();
    EXPECT_EQ(messages, std::vector<std::string>{"Converting " + name(0, 8, false) + " in " + one +
                                                 " failed: I/O error while converting; rerun to finish. The file is "
                                                 "safe: its journal lets the next conversion finish it."});
    EXPECT_TRUE(shown("Converted 1 file, 1 failed, skipped none.")) << testing::PrintToString(drawn);
    EXPECT_EQ(test_list(one), (std::vector<std::string>{name(0, 8, false), name(0, 8, false, ".converting"), name(8, 8, true)}));
}

// Closing the window during a conversion asks; "No" keeps it going, "Yes" stops it after
// its step with the journal beside the file.
TEST_F(Farm, ClosingDuringAConversionAsksAndStopsAfterTheStep) {
    answer = true;
    const std::string one = listed(1);
    hold_syncs();
    click(551, 436);
    ASSERT_TRUE(farm_converting());
    answer = false;
    EXPECT_FALSE(app_close(nullptr));
    EXPECT_TRUE(farm_converting());
    answer = true;
    std::thread release([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        held = false;
    });
    EXPECT_TRUE(app_close(nullptr));
    release.join();
    EXPECT_FALSE(farm_converting());
    EXPECT_EQ(asked.size(), 3u);  // Convert, then the two closings
    EXPECT_EQ(test_list(one), (std::vector<std::string>{name(0, 8, false), name(0, 8, false, ".converting")}));
}
