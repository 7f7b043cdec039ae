// The setup, progress, summary and checker screens and the application's drop handling,
// painted offscreen with the dialogs answered by the test.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/sys.h"
#include "platform/util.h"
#include "plotter/plots.h"
#include "plotter/plotter.h"
#include "settings/settings.h"
#include "test_support.h"
#include "check/check.h"
#include "ui/app.h"
#include "ui/progress.h"
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
        app_reset_for_tests();  // ends a running check before its file calls are put back
        window_dialogs_reset();
        sys_syscalls_reset();
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

// Start is clickable only with both an account and a target. (The screens' looks: the
// desktop session test; button faces: the widget tests.)
TEST_F(Screens, StartNeedsAnAccountAndATarget) {
    for (int both = 0; both < 4; ++both) {
        app_reset_for_tests();
        account_id = both & 1 ? 7 : 0;
        if (both & 2) drive_add(1, dir.path.c_str(), false);
        show(config_paint);
        EXPECT_EQ(test_has_region(main_window, {486, 416, 130, 40}), both == 3) << both;
    }
}

TEST_F(Screens, ProcessorStripSelectsCpuOrGpus) {
    gpu_count = 2;
    std::strcpy(gpu_names[0], "Card A");
    std::strcpy(gpu_names[1], "Card B");
    show(config_paint);
    const struct {
        int32_t x;
        uint32_t mask;
    } steps[] = {{421, 2}, {233, 3}, {45, 0}, {233, 1}, {233, 0}};
    for (const auto& s : steps) {
        click(s.x, 150);
        EXPECT_EQ(gpu_mask, s.mask) << s.x;
    }
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
    std::strcpy(fill_text, "0.02");
    show(drive_fill_paint);
    click(320, 356);
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
        {open_account_prompt, account_text, "BURST-8V9Y-58B4-RVWP-8HQAV", &account_id, 7900104405094198526ull, 0xE1E1E1},
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
        EXPECT_TRUE(c.open == open_nonce_prompt || screen.pixel(275, 343) == c.ok_face) << c.text;
        entries_clear(main_window);
    }
}

// Unfinished files resume only while setting up; a declined resume and plain files open the
// checker from the setup or checker screen, and nothing happens on the run's screens.
TEST_F(Screens, DroppedFilesResumeOrCheckWhileSettingUp) {
    account_id = 7;
    struct case_s {
        window_paint_fn screen;
        const char* path;
        const char* message;
        int asks;
        window_paint_fn after;
    } cases[] = {
        {config_paint, "/x/8_0_16.plotting", "Can't resume plot for a different account id.", 0, config_paint},
        {config_paint, "/x/7_a_16.plotting", "Incorrect filename format for plotfile.", 0, config_paint},
        {config_paint, "/x/7_0_16.plotting", nullptr, 1, ui_check_paint_cb},
        {config_paint, "/x/7_0_16", nullptr, 0, ui_check_paint_cb},
        {ui_check_paint_cb, "/x/7_0_8", nullptr, 0, ui_check_paint_cb},
        {start_get_size_paint, "/x/7_0_8", nullptr, 0, start_get_size_paint},
        {paint_cb, "/x/7_0_16.plotting", nullptr, 0, paint_cb},
        {summary_paint, "/x/7_0_16", nullptr, 0, summary_paint},
    };
    for (const auto& c : cases) {
        messages.clear();
        asks = 0;
        main_window->paint = c.screen;
        char* paths[] = {const_cast<char*>(c.path)};
        app_drop(nullptr, 1, paths, 0, 0);
        EXPECT_EQ(messages, c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{}) << c.path;
        EXPECT_EQ(asks, c.asks) << c.path;
        EXPECT_TRUE(window_is_paint(main_window, c.after)) << c.path;
        if (c.after == ui_check_paint_cb) {
            ASSERT_NE(ui_check_current(), nullptr);
            EXPECT_TRUE(std::strstr(ui_check_current()->path.c_str(), c.path)) << c.path;
        }
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

namespace {

// A run in progress made of hand-set drives and jobs: one job per drive list entry, the
// first target's job plotting with both buffers half computed and a quarter written.
struct synthetic_run_s {
    test_batch_s compute{8}, write{8};
    job_s* first = nullptr;  // the job that is plotting
    synthetic_run_s(int32_t ssds, int32_t targets) {
        ssd_drives.resize(ssds);
        target_drives.resize(targets);
        for (int32_t i = 0; i < ssds + targets; ++i) {
            drive_s& d = i < ssds ? ssd_drives[i] : target_drives[i - ssds];
            std::snprintf(d.path, sizeof d.path, "/mnt/drive%d", i);
            d.is_ssd = i < ssds;
        }
        for (int32_t i = 0; i < targets; ++i) {
            drive_s* writes = ssds ? &ssd_drives[i % ssds] : &target_drives[i];
            job_s* job = job_create(writes, ssds ? &target_drives[i] : nullptr, 7, 1000 * i, 32);
            plotter_add_job(plotter, job);
            if (i > 0) continue;
            first = job;
            job->job_state = JOB_PLOTTING;
            job->nonces_done = 8;
            job->bytes_written = 8 * PLOT_SIZE;
            job->compute_buffer = &compute.batch;
            job->write_buffer = &write.batch;
            compute.batch.progress = 4;
            write.batch.progress = 2 * PLOT_SIZE;
            writes->current_job = job;
            writes->bytes_written = 8 * PLOT_SIZE;
        }
    }
};

double paint_now = 1;  // the clock the progress screen sees in these tests
void paint_progress_now(void*) { progress_paint(main_window, paint_now); }

// A chart frame stroked at (x, y, w, h): its left and right edges are drawn, just beyond is blank.
void expect_chart(const offscreen_s& screen, const char* name, rect_s c) {
    const int32_t mid = c.y + c.h / 2 + 3;
    EXPECT_NE(screen.pixel(c.x, mid), 0xFFFFFFu) << name << " left edge " << c.x << "," << c.y;
    EXPECT_NE(screen.pixel(c.x + c.w, mid), 0xFFFFFFu) << name << " right edge " << c.x + c.w;
    EXPECT_EQ(screen.pixel(c.x + c.w + 2, mid), 0xFFFFFFu) << name << " past the right edge " << c.x + c.w;
}

}  // namespace

// Each mode's sections, chart sizes, gauges and values, with a synthetic run.
TEST_F(Screens, ProgressModesTable) {
    struct case_s {
        const char* name;
        int32_t ssds, targets;
        uint32_t gpu_mask;
        std::vector<rect_s> charts;
        std::vector<std::pair<int32_t, int32_t>> gauge_fill, blank;  // points in and above a gauge's level
    } cases[] = {
        {"cpu direct", 0, 1, 0, {{24, 50, 442, 160}, {24, 272, 442, 160}}, {{490, 200}, {490, 390}},
         {{490, 120}, {490, 300}}},
        {"cpu ssd", 1, 1, 0, {{24, 50, 500, 92}, {24, 204, 500, 92}, {24, 358, 500, 92}}, {}, {{498, 138}}},
        {"gpu direct, two targets", 0, 2, 1, {{24, 50, 442, 160}, {24, 272, 247, 160}, {277, 272, 247, 160}},
         {{490, 200}}, {{490, 120}}},
        {"gpu ssd, two staging drives", 2, 1, 3,
         {{24, 50, 500, 92}, {24, 204, 247, 92}, {277, 204, 247, 92}, {24, 358, 500, 92}}, {}, {}},
    };
    gpu_count = 2;
    std::strcpy(gpu_names[0], "Card A");
    std::strcpy(gpu_names[1], "Card B");
    for (const auto& c : cases) {
        app_reset_for_tests();
        synthetic_run_s run(c.ssds, c.targets);
        plotter->config.gpu_mask = c.gpu_mask;
        paint_now = 1;
        show(paint_progress_now);
        for (const rect_s& chart : c.charts) expect_chart(screen, c.name, chart);
        for (auto [x, y] : c.gauge_fill) EXPECT_EQ(screen.pixel(x, y), 0xF4F2F4u) << c.name << " " << y;
        for (auto [x, y] : c.blank) EXPECT_EQ(screen.pixel(x, y), 0xFFFFFFu) << c.name << " " << y;
        plotter->config.gpu_mask = 0;
        app_reset_for_tests();
    }
}

// The estimate waits for data and for its 5 s warm-up; a stage that began at this very
// paint has no rate yet rather than an infinite one; a resumed file's earlier nonces are
// neither computed nor written again. Pause toggles the run.
TEST_F(Screens, ProgressEstimateAndPause) {
    synthetic_run_s run(0, 1);
    job_s* job = run.first;
    job->nonce_count = 3200;
    run.compute.batch.progress = 0;
    const struct {
        double now;
        uint64_t resumed, done, written;  // nonces
        const char* shown;                // estimate after this paint; none = no text yet
    } steps[] = {
        // 100 nonces counted over the 6 s since computing began, 3100 left: 186 s.
        {1, 0, 0, 0, nullptr}, {6.5, 0, 0, 0, nullptr}, {13, 0, 8, 0, nullptr},
        {16, 0, 50, 0, nullptr}, {19, 0, 100, 0, "3 minutes"},
        // Resumed at 1600, all computed; 100 written in 6 s, 1500 left to write: 90 s.
        {1, 1600, 3200, 50, nullptr}, {7, 1600, 3200, 100, "1 minute"},
    };
    for (const auto& s : steps) {
        if (s.now == 1) progress_reset();
        job->resume_from = s.resumed;
        job->nonces_done = s.done;
        job->bytes_written = s.written * PLOT_SIZE;
        paint_now = s.now;
        show(paint_progress_now);
        EXPECT_STREQ(progress.eta_text,
                     s.shown ? (std::string("Estimated time remaining: ") + s.shown).c_str() : "") << s.now;
    }
    for (bool paused : {true, false}) {
        click(577, 465);
        EXPECT_EQ(plotter_paused(plotter), paused);
    }
}

// Skipped buckets are filled evenly up to the next sample; a sample far past any sane run
// length is dropped instead of growing the history without bound; thinning keeps every
// k-th record of 101 or more.
TEST_F(Screens, HistorySamplerAndThinning) {
    EXPECT_EQ(history_bucket_for(0), 1.0f);
    EXPECT_EQ(history_bucket_for(10000000), 120.0f);
    synthetic_run_s run(0, 1);
    run.compute.batch.progress = 0;
    run.first->bytes_written = 0;
    for (auto [now, done] : {std::pair{1.5, 3}, {4.2, 12}, {4.9, 13}, {1e9, 32}}) {
        run.first->nonces_done = done;
        history_record(now);
    }
    const double want[] = {1.5, 3, 6, 9, 13};  // nonces: 0..1 filled from 3, 2..4 from 12, 4 replaced by 13
    ASSERT_EQ(progress.history.size(), 5u);
    for (size_t i = 0; i < 5; ++i) EXPECT_DOUBLE_EQ(progress.history[i].computed, want[i] * PLOT_SIZE) << i;
    for (auto [records, kept, first] : {std::tuple{100, 100, 0}, {101, 101, 0}, {150, 75, 1}, {225, 75, 2}}) {
        progress.history.assign(records, {});
        for (int i = 0; i < records; ++i) progress.history[i].computed = i;
        history_thin();
        ASSERT_EQ(progress.history.size(), (size_t)kept) << records;
        EXPECT_EQ(progress.history[0].computed, first) << records;
    }
}

// Bars per record, their positions and colours; an empty history draws no bar.
TEST_F(Screens, SummaryBarsTable) {
    synthetic_run_s run(0, 1);
    // Records, then a pixel of the second bar and one in the gap before it (0: no bar at all).
    for (auto [records, bar_x, gap_x] : {std::tuple{0, 0, 0}, {100, 76, 74}, {150, 65, 63}, {3, 222, 220}}) {
        progress.history.clear();
        for (int i = 0; i < records; ++i)
            progress.history.push_back({i * 10.0, i * 20.0, i * 30.0 + (i % 2) * 5});
        history_thin();
        progress.done_time = 65;
        show(summary_paint);
        EXPECT_GT(screen.dark_pixels({150, 370, 340, 20}), 50) << records;
        EXPECT_EQ(screen.pixel(records ? bar_x : 320, records ? 325 : 330), records ? 0x117DBBu : 0xFFFFFFu) << records;
        EXPECT_TRUE(!records || screen.pixel(gap_x, 320) == 0xFFFFFFu) << records;
    }
}

namespace {

void wait_for_check() {
    for (int i = 0; i < 6000 && ui_check_current()->result.load() == CHECK_RUNNING; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace

// Cells take the colour of their sample's state.
TEST_F(Screens, CheckerGridAndVerdicts) {
    char bad_name[] = "/x/not-a-plot";
    char* paths[] = {bad_name};
    ui_check_start(main_window, 1, paths);
    wait_for_check();
    checker_s* c = const_cast<checker_s*>(ui_check_current());
    EXPECT_EQ(c->result.load(), (uint32_t)CHECK_BAD_NAME);
    sys_set_dialog_presenter(app_message_any_thread);
    sys_ui_drain();  // the checker thread's dialog, shown on this (the UI) thread
    sys_set_dialog_presenter(nullptr);
    EXPECT_EQ(messages, (std::vector<std::string>{"Incorrect filename format for plotfile."}));
    const struct {
        int32_t k;
        std::vector<std::atomic<uint8_t> check_sample_s::*> flags;
        uint32_t colour;
    } cells[] = {
        {0, {}, 0xF0F0F0},
        {1, {&check_sample_s::read}, 0x34AADC},
        {60, {&check_sample_s::read, &check_sample_s::computing}, 0xDBDB2F},
        {1769, {&check_sample_s::computing, &check_sample_s::computed}, 0xFF9500},
        {4, {&check_sample_s::computed, &check_sample_s::compared}, 0xDE1D10},
        {5, {&check_sample_s::match, &check_sample_s::compared}, 0x4CD964},
    };
    for (const auto& cell : cells)
        for (auto flag : cell.flags) (c->samples[cell.k].*flag) = 1;
    screen.paint(main_window);
    for (const auto& cell : cells)
        EXPECT_EQ(screen.pixel(28 + 10 * (cell.k % 59), 78 + 10 * (cell.k / 59)), cell.colour) << cell.k;
    EXPECT_EQ(screen.dark_pixels({174, 430, 300, 14}), 0);  // no verdict after a dialog

    // Back, even while a check runs, ends it and returns to the setup screen; so does closing.
    // (Real files ending green or partly red: the desktop session test.)
    std::string path = dir.file("7_0_8_8");
    test_write_file(path, std::string(8 * PLOT_SIZE, '\0'));
    char* file[] = {path.data()};
    ui_check_start(main_window, 1, file);
    click(80, 430);
    EXPECT_TRUE(window_is_paint(main_window, config_paint));
    EXPECT_EQ(ui_check_current(), nullptr);
    EXPECT_FALSE(main_window->repaint_timer);
    ui_check_start(main_window, 1, file);
    EXPECT_TRUE(app_close(nullptr));  // closing the window ends the check's threads
    EXPECT_EQ(ui_check_current(), nullptr);
}
