// The setup screens and the application's drop handling, painted offscreen with the
// dialogs answered by the test.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/sys.h"
#include "plotter/plots.h"
#include "plotter/plotter.h"
#include "settings/settings.h"
#include "test_support.h"
#include "ui/app.h"
#include "ui_support.h"

namespace {

struct Screens : testing::Test {
    offscreen_s screen;
    test_dir_s dir;
    std::vector<std::string> messages;
    int asks = 0;
    std::string chosen_folder;

    void SetUp() override {
        settings_reset();
        if (!plotter) plotter = plotter_create();
        if (!plots) plots = plots_create();
        app_reset_for_tests();
        main_window = window_create_offscreen(640, 480);
        std::strcpy(cpu_brand, "Test CPU");
        gpu_count = 0;
        window_dialogs_s& d = window_dialogs();
        d.message = [this](window_s*, const char*, const char* text) { messages.push_back(text); };
        d.ask = [this](window_s*, const char*, const char*) { return ++asks, false; };
        d.choose_folder = [this](window_s*, const char*, uint32_t capacity, char* buffer) {
            if (chosen_folder.empty()) return false;
            std::strncpy(buffer, chosen_folder.c_str(), capacity - 1);
            return true;
        };
    }
    void TearDown() override {
        window_dialogs_reset();
        sys_syscalls_reset();
        app_reset_for_tests();
        delete main_window;
        main_window = nullptr;
        settings_reset();
    }
    void show(window_paint_fn screen_fn) {
        main_window->paint = screen_fn;
        screen.paint(main_window);
    }
    void click(int32_t x, int32_t y) { test_click(main_window, &screen, x, y); }
};

}  // namespace

// Pixels and regions of the screens in typical states.
TEST_F(Screens, LooksAndRegionsTable) {
    struct case_s {
        const char* name;
        window_paint_fn screen;
        uint64_t account;
        bool target;
        int32_t px, py;
        std::vector<std::pair<rect_s, uint32_t>> pixels;  // 1x1 rects and their colour
        std::vector<rect_s> regions;
        std::vector<rect_s> no_regions;
        rect_s text;  // a rectangle that must hold drawn text
    } cases[] = {
        {"first-run question", ui_prompt_latest_plot_paint, 0, false, 0, 0,
         {{{215, 218, 1, 1}, 0xE1E1E1}, {{335, 218, 1, 1}, 0xE1E1E1}},
         {{210, 214, 100, 34}, {330, 214, 100, 34}}, {}, {200, 150, 240, 30}},
        {"first-run question, Yes hovered", ui_prompt_latest_plot_paint, 0, false, 250, 230,
         {{{215, 218, 1, 1}, 0xE5F1FB}, {{335, 218, 1, 1}, 0xE1E1E1}}, {}, {}, {200, 150, 240, 30}},
        {"setup, nothing chosen", config_paint, 0, false, 0, 0,
         {{{490, 420, 1, 1}, 0xCCCCCC}},
         {{40, 142, 560, 64}, {24, 417, 320, 14}, {24, 435, 320, 14}}, {{486, 416, 130, 40}}, {24, 24, 80, 26}},
        {"setup, account and target", config_paint, 7, true, 0, 0,
         {{{490, 420, 1, 1}, 0xE1E1E1}},
         {{486, 416, 130, 40}, {24, 426, 320, 14}, {24, 444, 320, 14}, {24, 462, 320, 14}}, {}, {24, 24, 80, 26}},
        {"setup, start hovered", config_paint, 7, true, 500, 430, {{{490, 420, 1, 1}, 0xE5F1FB}}, {}, {}, {24, 24, 80, 26}},
    };
    for (const auto& c : cases) {
        app_reset_for_tests();
        account_id = c.account;
        if (c.target) drive_add(1, dir.path.c_str(), false);
        main_window->pointer_x = c.px;
        main_window->pointer_y = c.py;
        show(c.screen);
        for (const auto& [at, colour] : c.pixels) EXPECT_EQ(screen.pixel(at.x, at.y), colour) << c.name << " " << at.x;
        for (const rect_s& r : c.regions) EXPECT_TRUE(test_has_region(main_window, r)) << c.name << " " << r.x << "," << r.y;
        for (const rect_s& r : c.no_regions) EXPECT_FALSE(test_has_region(main_window, r)) << c.name;
        EXPECT_GT(screen.dark_pixels(c.text), 20) << c.name;
    }
}

TEST_F(Screens, ProcessorStripSelectsCpuOrGpus) {
    gpu_count = 2;
    std::strcpy(gpu_names[0], "Card A");
    std::strcpy(gpu_names[1], "Card B");
    show(config_paint);
    for (int32_t i = 0; i < 3; ++i) EXPECT_TRUE(test_has_region(main_window, {40 + 188 * i, 142, 184, 64})) << i;
    const struct {
        int32_t x;
        uint32_t mask;
    } steps[] = {{421, 2}, {233, 3}, {45, 0}, {233, 1}, {233, 0}};
    for (const auto& s : steps) {
        click(s.x, 150);
        EXPECT_EQ(gpu_mask, s.mask) << s.x;
    }
    gpu_count = 8;
    show(config_paint);
    EXPECT_TRUE(test_has_region(main_window, {608, 142, 32, 65}));
    EXPECT_FALSE(test_has_region(main_window, {0, 142, 32, 65}));
}

TEST_F(Screens, FoldersAddRemoveAndRefuse) {
    account_id = 7;
    chosen_folder = dir.path;
    show(config_paint);
    click(45, 350);  // the target strip's "Click to select..."
    ASSERT_EQ(target_drives.size(), 1u);
    EXPECT_GT(plotter_job_count(plotter), 0u);
    drive_add(1, dir.path.c_str(), false);
    EXPECT_EQ(target_drives.size(), 1u);
    show(config_paint);
    click(45, 350);  // the path itself removes the folder
    EXPECT_TRUE(target_drives.empty());
    EXPECT_EQ(plotter_job_count(plotter), 0u);

    sys_syscalls().statvfs = [](const char*, struct statvfs* info) {
        std::memset(info, 0, sizeof *info);
        info->f_frsize = 4096;
        info->f_bavail = info->f_blocks = 1000;  // 4 MB free
        return 0;
    };
    drive_add(0, dir.path.c_str(), false);
    EXPECT_TRUE(ssd_drives.empty());
    EXPECT_EQ(messages, (std::vector<std::string>{"There isn't enough free space on this drive."}));
}

TEST_F(Screens, FillPromptSetsTheDriveLimit) {
    account_id = 7;
    drive_add(1, dir.path.c_str(), false);
    show(config_paint);
    click(45, 392);  // the target's "Fill ..." caption
    ASSERT_TRUE(window_is_paint(main_window, drive_fill_paint));
    ASSERT_EQ(main_window->entries.size(), 1u);
    std::strcpy(fill_text, "0.02");
    show(drive_fill_paint);
    click(320, 356);
    EXPECT_TRUE(window_is_paint(main_window, config_paint));
    EXPECT_TRUE(main_window->entries.empty());
    EXPECT_EQ(target_drives[0].fill_limit, 20000000u);
    uint64_t nonces = 0;
    plotter_for_each_job(plotter, [&](job_s* job) { return nonces += job->nonce_count, true; });
    EXPECT_LE(nonces, 20000000u / 262144);
    EXPECT_GT(nonces, 0u);
}

// What each prompt reads from its text, and whether its OK button is enabled.
TEST_F(Screens, PromptsReadTheirTextTable) {
    struct case_s {
        void (*open)();
        char* buffer;
        const char* text;
        uint64_t* value;
        uint64_t want;
        uint32_t ok_face;
    } cases[] = {
        {open_account_prompt, account_text, "12345678x", &account_id, 0, 0xCCCCCC},
        {open_account_prompt, account_text, " 12345678 ", &account_id, 12345678, 0xE1E1E1},
        {open_account_prompt, account_text, "BURST-8V9Y-58B4-RVWP-8HQAV", &account_id, 7900104405094198526ull, 0xE1E1E1},
        {open_account_prompt, account_text, "-5", &account_id, 0, 0xCCCCCC},
        {open_size_prompt, size_text, "2.5", &max_file_bytes, 2500000000ull, 0xE1E1E1},
        {open_size_prompt, size_text, "-2", &max_file_bytes, 1000000000000ull, 0xE1E1E1},
        {open_size_prompt, size_text, "1e30", &max_file_bytes, 1000000000000ull, 0xE1E1E1},
        {open_size_prompt, size_text, "abc", &max_file_bytes, 0, 0xE1E1E1},
        {open_ram_prompt, ram_text, "-1", &max_ram_bytes, 0, 0xE1E1E1},
        {open_ram_prompt, ram_text, "2", &max_ram_bytes, 2147483648ull, 0xE1E1E1},
        {open_nonce_prompt, nonce_text, "  42abc", &next_start_nonce, 42, 0xE1E1E1},
        {open_nonce_prompt, nonce_text, "-1", &next_start_nonce, 0, 0xE1E1E1},
        {open_nonce_prompt, nonce_text, "99999999999999999999999", &next_start_nonce, 0, 0xE1E1E1},
    };
    for (const auto& c : cases) {
        c.open();
        std::strcpy(c.buffer, c.text);
        screen.paint(main_window);
        EXPECT_EQ(*c.value, c.want) << c.text;
        if (c.open != open_nonce_prompt) {
            EXPECT_EQ(screen.pixel(275, 343), c.ok_face) << c.text;
        }
        entries_clear(main_window);
    }
    open_size_prompt();
    std::strcpy(size_text, "2.5");
    screen.paint(main_window);
    EXPECT_GT(screen.dark_pixels({200, 267, 240, 20}), 0);
}

TEST_F(Screens, DroppedPlottingFilesResumeOnlyWhileSettingUp) {
    account_id = 7;
    struct case_s {
        window_paint_fn screen;
        const char* path;
        const char* message;
        int asks;
    } cases[] = {
        {config_paint, "/x/8_0_16.plotting", "Can't resume plot for a different account id.", 0},
        {config_paint, "/x/7_a_16.plotting", "Incorrect filename format for plotfile.", 0},
        {config_paint, "/x/7_0_16.plotting", nullptr, 1},
        {paint_cb, "/x/7_0_16.plotting", nullptr, 0},
        {summary_paint, "/x/7_0_16.plotting", nullptr, 0},
    };
    for (const auto& c : cases) {
        messages.clear();
        asks = 0;
        main_window->paint = c.screen;
        char* paths[] = {const_cast<char*>(c.path)};
        app_drop(nullptr, 1, paths, 0, 0);
        EXPECT_EQ(messages.size(), c.message ? 1u : 0u) << c.path;
        if (c.message && !messages.empty()) {
            EXPECT_EQ(messages[0], c.message);
        }
        EXPECT_EQ(asks, c.asks) << c.path;
        EXPECT_TRUE(window_is_paint(main_window, c.screen));
    }
}

// A worker's question waits for the UI thread, which answers it from the call queue;
// a worker never shows a dialog itself. Closing without a run asks nothing.
TEST_F(Screens, WorkerQuestionsRunOnTheUiThread) {
    const std::thread::id ui = std::this_thread::get_id();
    std::thread::id asked_on;
    window_dialogs().ask = [&](window_s*, const char* title, const char* text) {
        asked_on = std::this_thread::get_id();
        return std::string(title) == "Error" && std::string(text) == "Fall back?";
    };
    std::atomic<int> answer{-1};
    std::thread worker([&] { answer = app_ask_any_thread("Error", "Fall back?"); });
    while (answer < 0) {
        sys_ui_drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    worker.join();
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(asked_on, ui);
    EXPECT_TRUE(app_close(nullptr));
}
