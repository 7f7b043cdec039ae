// The farm screen without a display: folder listings painted into an image surface (states,
// colours, overlaps, an unreadable folder, scrolling), and conversions on the worker with
// their question, progress view, Stop, failure message and the list that follows.
#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/sys.h"
#include "plotfile/convert.h"
#include "plotfile/plotfile.h"
#include "plotfile/plots.h"
#include "plotter/plotter.h"
#include "settings/settings.h"
#include "test_support.h"
#include "ui/app.h"
#include "ui/farm_screen.h"
#include "ui/session.h"
#include "ui/setup.h"
#include "ui/window.h"

namespace {

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

struct Farm : testing::Test {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 640, 480);
    cairo_t* cr = cairo_create(surface);
    test_dir_s dir;
    std::vector<std::string> drawn, messages, asked;
    bool answer = true;

    void SetUp() override {
        settings_reset();
        if (!plotter) plotter = plotter_create();
        if (!plots) plots = plots_create();
        app_reset_for_tests();
        *plots = plots_s();
        main_window = window_create_offscreen(640, 480);
        main_window->texts = &drawn;
        main_window->mouse = app_mouse;
        window_dialogs().message = [this](window_s*, const char*, const char* text) { messages.push_back(text); };
        window_dialogs().ask = [this](window_s*, const char*, const char* text) {
            asked.push_back(text);
            return answer;
        };
        real = sys_syscalls();
    }
    void TearDown() override {
        held = false;
        app_reset_for_tests();
        sys_ui_drain();
        window_dialogs_reset();
        sys_syscalls_reset();
        delete std::exchange(main_window, nullptr);
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
        *plots = plots_s();
    }
    std::string folder(const char* sub) {
        const std::string path = dir.file(sub);
        std::filesystem::create_directory(path);
        return path;
    }
    void targets(const std::vector<std::string>& folders) {
        setup.target_drives.resize(folders.size());
        for (size_t i = 0; i < folders.size(); ++i)
            std::snprintf(setup.target_drives[i].path, sizeof setup.target_drives[i].path, "%s", folders[i].c_str());
    }
    void paint() {
        drawn.clear();
        window_paint(main_window, cr);
        cairo_surface_flush(surface);
    }
    uint32_t pixel(int32_t x, int32_t y) const {
        const uint8_t* row = cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
        return reinterpret_cast<const uint32_t*>(row)[x] & 0xFFFFFF;
    }
    // Pixels of one colour in a column of the list.
    int32_t count(uint32_t colour, int32_t x, int32_t w) const {
        int32_t n = 0;
        for (int32_t y = 106; y < 404; ++y)
            for (int32_t i = x; i < x + w; ++i) n += pixel(i, y) == colour;
        return n;
    }
    void click(int32_t x, int32_t y) {
        window_mouse_event(main_window, MOUSE_MOTION, x, y);
        paint();
        window_mouse_event(main_window, MOUSE_PRESS, x, y);
        window_mouse_event(main_window, MOUSE_RELEASE, x, y);
        paint();
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
    bool shown(const std::string& text) const { return std::find(drawn.begin(), drawn.end(), text) != drawn.end(); }
    // Folder "one" with `count` PoC1 files of 8 nonces as the only target, listed.
    std::string listed(uint64_t count) {
        const std::string one = folder("one"), poc1 = plot_bytes(8, false);
        for (uint64_t i = 0; i < count; ++i) test_write_file(one + "/" + name(8 * i, 8, false), poc1);
        targets({one});
        farm_open();
        settle();
        return one;
    }
    void hold_syncs() {
        held = true;
        sys_syscalls().fdatasync = held_fdatasync;
        sys_syscalls().fsync = held_fsync;
    }
    std::vector<std::string> files(const std::string& path) const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(path)) found.push_back(entry.path().filename());
        std::sort(found.begin(), found.end());
        return found;
    }
};

}  // namespace

// Every state of a file in one folder, and an overlap with a file of a second folder: the
// state words, the marks (red for wrong size and overlaps, amber for unfinished and
// converting), the folder totals, the plan of the Convert button and the offer to finish
// the interrupted conversion.
TEST_F(Farm, FolderStatesOverlapsAndPlan) {
    const std::string one = folder("one"), two = folder("two");
    const uint64_t size = 8 * PLOT_SIZE;
    struct file_s {
        std::string name;
        uint64_t size;
        const char* state;  // as the list says it
    };
    const file_s cases[] = {
        {name(0, 8, false), size, "complete"},
        {name(100, 8, true), size, "complete"},
        {name(200, 8, false, ".plotting"), size, "unfinished, 0 written"},
        {name(300, 8, false, ".plotting"), size, "writing, 0 written"},
        {name(400, 8, false, ".moving"), size / 2, "moving"},
        {name(500, 8, true), size - 512, "wrong-size"},
        {name(600, 8, false), size, "converting"},
    };
    for (const file_s& f : cases) sized_file(one + "/" + f.name, f.size);
    test_write_file(convert_journal_path(one + "/" + name(600, 8, false)), std::string(4096, 'j'));
    sized_file(two + "/" + name(4, 8, true), size);
    const int64_t writer = test_create_file(one + "/" + name(300, 8, false, ".plotting"), 0);
    targets({one, two});
    answer = false;
    farm_open();
    settle();
    sys_file_close(writer);
    // Long names are cut in their middle: their ends show.
    for (const file_s& f : cases) {
        const bool named = std::any_of(drawn.begin(), drawn.end(), [&](const std::string& t) {
            return t.compare(0, 12, f.name, 0, 12) == 0 && t.size() > 6 && t.substr(t.size() - 6) == f.name.substr(f.name.size() - 6);
        });
        EXPECT_TRUE(named && shown(f.state)) << f.name << " " << f.state;
    }
    EXPECT_TRUE(shown("overlaps " + two + "/" + name(4, 8, true) + ": 4 nonces shared"));
    EXPECT_TRUE(shown("overlaps " + one + "/" + name(0, 8, false) + ": 4 nonces shared"));
    EXPECT_TRUE(shown(one) && shown(two));
    EXPECT_TRUE(shown("8 files in 2 folders: 8.4 MB complete, 2 unfinished, 1 wrong-size, 1 overlap."))
        << testing::PrintToString(drawn);
    // 6x6 marks: the wrong-size file and the two overlapping files; the unfinished and the converting one.
    EXPECT_EQ(std::make_pair(count(RED, 26, 6), count(AMBER, 26, 6)), std::make_pair(3 * 36, 2 * 36));
    EXPECT_EQ(farm.plan.jobs.size(), 2u);
    EXPECT_EQ(farm.plan.resumes, 1u);
    EXPECT_EQ(farm.plan.skipped, (std::vector<std::string>{"unfinished", "being plotted", "being moved"}));
    EXPECT_EQ(asked, std::vector<std::string>{"1 file was being converted when the conversion stopped. "
                                              "Finish converting it now?"});
    EXPECT_NE(pixel(490, 420), DISABLED);
}

// "Plots" on the setup screen opens the screen. A folder that cannot be read says why; with
// only PoC2 files there is nothing to convert and the button is disabled, without a hit
// region. "Back" returns with the folders as they were.
TEST_F(Farm, UnreadableFolderNothingToConvertAndBack) {
    const std::string two = folder("two");
    sized_file(two + "/" + name(0, 8, true), 8 * PLOT_SIZE);
    targets({dir.file("gone"), two});
    main_window->paint = config_paint;
    paint();
    click(590, 40);  // "Plots"
    EXPECT_EQ(ui_phase, UI_FARM);
    settle();
    EXPECT_TRUE(shown("This folder cannot be read: No such file or directory.")) << testing::PrintToString(drawn);
    EXPECT_TRUE(shown("No complete PoC1 file to convert."));
    EXPECT_EQ(pixel(490, 420), DISABLED);
    click(551, 436);
    EXPECT_TRUE(asked.empty());
    EXPECT_FALSE(farm_converting());
    click(89, 436);  // "Back"
    EXPECT_EQ(ui_phase, UI_SETUP);
    EXPECT_TRUE(window_is_paint(main_window, config_paint));
    ASSERT_EQ(setup.target_drives.size(), 2u);
    EXPECT_STREQ(setup.target_drives[1].path, two.c_str());
}

// Forty files do not fit: the wheel over the list and a drag bring the last ones into view;
// the wheel outside the list does nothing.
TEST_F(Farm, LongListScrollsByWheelAndDrag) {
    const std::string one = folder("one");
    for (uint64_t i = 0; i < 40; ++i) sized_file(one + "/" + name(100 * i, 8, true), 8 * PLOT_SIZE);
    targets({one});
    farm_open();
    settle();
    const std::string first = name(0, 8, true), last = name(3900, 8, true);
    EXPECT_TRUE(shown(first) && !shown(last));
    EXPECT_NE(pixel(627, 110), 0xFFFFFF);  // the scroll bar at the top
    for (int i = 0; i < 20; ++i) window_mouse_event(main_window, MOUSE_WHEEL_DOWN, 300, 50);
    paint();
    EXPECT_TRUE(shown(first) && !shown(last));
    for (int i = 0; i < 20; ++i) window_mouse_event(main_window, MOUSE_WHEEL_DOWN, 300, 300);
    paint();
    EXPECT_TRUE(!shown(first) && shown(last));
    for (int i = 0; i < 20; ++i) window_mouse_event(main_window, MOUSE_WHEEL_UP, 300, 300);
    paint();
    EXPECT_TRUE(shown(first) && !shown(last));
    window_mouse_event(main_window, MOUSE_PRESS, 300, 390);
    window_mouse_event(main_window, MOUSE_MOTION, 300, 110);
    paint();
    EXPECT_FALSE(shown(first));
    window_mouse_event(main_window, MOUSE_RELEASE, 300, 110);
    window_mouse_event(main_window, MOUSE_MOTION, 300, 390);
    paint();
    EXPECT_FALSE(shown(first));  // released: the list stays where the drag left it
}

// Convert asks with the count and size, works on the worker behind a progress view, and
// Stop ends it after the step under way, leaving the journal: the list then shows the file
// as converting, and the next Convert finishes both files byte-exact.
TEST_F(Farm, ConvertShowsProgressStopsAndResumes) {
    const std::string one = listed(2);
    hold_syncs();
    click(551, 436);
    EXPECT_EQ(asked, std::vector<std::string>{"Convert 2 files (4.2 MB) to PoC2 in place? Miners need PoC2. Each file "
                                              "keeps its bytes safe at every moment; an interrupted conversion "
                                              "resumes next time."});
    ASSERT_TRUE(farm_converting());
    paint();
    EXPECT_TRUE(shown("Converting file 1 of 2 to PoC2")) << testing::PrintToString(drawn);
    EXPECT_TRUE(shown(one + "/" + name(0, 8, false)));
    EXPECT_TRUE(shown("Stop"));
    click(551, 436);
    EXPECT_TRUE(shown("Stopping..."));
    held = false;
    settle();
    EXPECT_EQ(farm.summary, "Converted 0 files, skipped none. Stopped: the interrupted file resumes next time.");
    EXPECT_EQ(files(one), (std::vector<std::string>{name(0, 8, false), name(0, 8, false, ".converting"), name(8, 8, false)}));
    EXPECT_TRUE(shown("converting"));
    EXPECT_EQ(farm.plan.resumes, 1u);
    click(551, 436);
    settle();
    EXPECT_TRUE(shown("Converted 2 files, skipped none.")) << testing::PrintToString(drawn);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(files(one), (std::vector<std::string>{name(0, 8, true), name(8, 8, true)}));
    EXPECT_TRUE(test_read_file(one + "/" + name(0, 8, true)) == plot_bytes(8, true));
    EXPECT_TRUE(shown("PoC2") && !shown("PoC1"));
}

// A file that fails is named with its folder and the reason in the plotting failures'
// message, once; the next file is converted all the same.
TEST_F(Farm, FailureIsSaidAndTheOtherFilesGoOn) {
    const std::string one = listed(2);
    writes = 0;
    sys_syscalls().pwrite = failing_second_pwrite;
    click(551, 436);
    settle();
    EXPECT_EQ(messages, std::vector<std::string>{"Converting " + name(0, 8, false) + " in " + one +
                                                 " failed: I/O error while converting; rerun to finish. The file is "
                                                 "safe: its journal lets the next conversion finish it."});
    EXPECT_TRUE(shown("Converted 1 file, 1 failed, skipped none.")) << testing::PrintToString(drawn);
    EXPECT_EQ(files(one), (std::vector<std::string>{name(0, 8, false), name(0, 8, false, ".converting"), name(8, 8, true)}));
}

// Closing the window during a conversion asks; "No" keeps it going, "Yes" stops it after
// its step with the journal beside the file.
TEST_F(Farm, ClosingDuringAConversionAsksAndStopsAfterTheStep) {
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
    EXPECT_EQ(files(one), (std::vector<std::string>{name(0, 8, false), name(0, 8, false, ".converting")}));
}
