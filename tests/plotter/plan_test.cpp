// Planning with made-up drives: sizes per target, fill limits and automatic start nonces with
// their log lines, collision steering, staging-drive turns and sizes, resumable files, and
// the limits that must never make planning loop, wrap or plan the same nonces twice.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "plotter/plan.h"
#include "plotter/plots.h"
#include "plotter/engine_support.h"
#include "test_support.h"

namespace {

constexpr uint64_t GiB = 1ull << 30;

void touch(const std::string& path) { std::ofstream(path).put('x'); }

struct plan_fixture : ::testing::Test {
    plots_s plots;
    plan_input_s input;
    void SetUp() override {
        input.account_id = 42;
        input.auto_start = false;
    }
    // Plans from fresh plots and returns what was logged.
    std::string plan_logged(plan_result_s* plan) {
        plots = plots_s();
        testing::internal::CaptureStderr();
        *plan = plan_compute(&plots, input);
        return testing::internal::GetCapturedStderr();
    }
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool overlap(const plan_job_s& a, const plan_job_s& b) {
    return a.start < b.start + b.count && b.start < a.start + a.count;
}

}  // namespace

TEST(drive_nonces_fit, whole_gib_groups_then_sector_groups) {
    EXPECT_EQ(drive_nonces_fit(3 * GiB, 512), 12288u);
    EXPECT_EQ(drive_nonces_fit(3 * GiB + GiB / 2, 512), 12288u);
    EXPECT_EQ(drive_nonces_fit(GiB - 1, 512), 0u);
    EXPECT_EQ(drive_nonces_fit(UINT64_MAX, 0), (((1ull << 46) - 1) & ~0xFFFull));
}

TEST(drive_init, refuses_paths_too_long_for_file_names) {
    drive_s d;
    std::string path(DRIVE_PATH_MAX + 1, 'a');
    EXPECT_FALSE(drive_init(&d, path.c_str(), false));
    EXPECT_FALSE(drive_init(&d, "", false));
}

TEST(plots, scan_remembers_both_forms_and_unfinished_files) {
    test_dir_s dir;
    touch(dir.file("1_2_3"));
    touch(dir.file("1_20_3_3.plotting"));
    touch(dir.file("1_10_5_5"));
    touch(dir.file("notes.txt"));
    plots_s plots;
    plots_folder_add(&plots, dir.path.c_str());
    const auto& list = plots.ranges[dir.path + "/"];
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].start, 2u);
    EXPECT_EQ(list[1].start, 10u);
    EXPECT_EQ(list[2].start, 20u);
    EXPECT_TRUE(list[2].plotting);
    EXPECT_EQ(plots_next_nonce(&plots, dir.path.c_str()), 23u);
    // A second scan of the same folder changes nothing.
    touch(dir.file("1_100_5_5"));
    plots_folder_add(&plots, (dir.path + "/").c_str());
    EXPECT_EQ(plots.ranges[dir.path + "/"].size(), 3u);
}

TEST(plots, collisions_at_the_edges_and_at_the_top) {
    plots_s plots;
    plots.ranges["/x/"] = {{500, 100, 1, false, false}, {2000, 10, 1, false, false}};
    EXPECT_TRUE(plots_collides(&plots, 0, 1000));     // plot inside the range
    EXPECT_TRUE(plots_collides(&plots, 550, 10));     // range inside the plot
    EXPECT_TRUE(plots_collides(&plots, 400, 100));    // ends exactly where the plot begins
    EXPECT_FALSE(plots_collides(&plots, 600, 100));   // begins exactly where the plot ends
    EXPECT_FALSE(plots_collides(&plots, 3000, UINT64_MAX - 3000 + 1));
    plots.ranges["/y/"] = {{UINT64_MAX - 9, 10, 1, false, false}};
    EXPECT_TRUE(plots_collides(&plots, UINT64_MAX - 100, 101));
    EXPECT_TRUE(plots_collides(&plots, UINT64_MAX, 1));
    EXPECT_FALSE(plots_collides(&plots, 5000, 100));
}

TEST_F(plan_fixture, one_target_fills_its_free_space) {
    drive_s t = make_drive("/nowhere/t", 3 * GiB);
    input.targets = {&t};
    const plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 1u);
    EXPECT_EQ(plan.jobs[0].count, 12288u);
    EXPECT_EQ(plan.jobs[0].start, 0u);
    EXPECT_EQ(plan.jobs[0].write_drive, &t);
    EXPECT_EQ(plan.jobs[0].final_drive, nullptr);
    EXPECT_EQ(plan.max_file_bytes, 12288ull * 262144);
}

TEST_F(plan_fixture, largest_file_splits_the_drive) {
    drive_s t = make_drive("/nowhere/t", 10 * GiB);
    input.targets = {&t};
    input.max_file_bytes = 1000000000;
    input.start_nonce = 7;
    const plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 11u);
    uint64_t next = 7;
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(plan.jobs[i].count, 3808u);
        EXPECT_EQ(plan.jobs[i].start, next);
        next += 3808;
    }
    EXPECT_EQ(plan.jobs[10].count, 2880u);
    EXPECT_EQ(plan.jobs[10].start, next);
}

TEST_F(plan_fixture, fill_limits_cut_each_target) {
    drive_s t = make_drive("/nowhere/t", 10 * GiB);
    drive_s u = make_drive("/nowhere/u", 10 * GiB);
    u.fill_limit = 8 * 262144 + 100;
    input.targets = {&t, &u};
    input.max_fill_bytes = 2 * GiB;
    const plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 2u);
    EXPECT_EQ(plan.jobs[0].count, 8192u);
    EXPECT_EQ(plan.jobs[1].count, 8u);
    EXPECT_EQ(plan.jobs[1].start, 8192u);  // manual start carries on from the previous target
}

TEST_F(plan_fixture, targets_take_staging_drives_in_turn) {
    drive_s s0 = make_drive("/nowhere/s0", 4 * GiB), s1 = make_drive("/nowhere/s1", 4 * GiB);
    drive_s t0 = make_drive("/nowhere/t0", 3 * GiB), t1 = make_drive("/nowhere/t1", 3 * GiB);
    input.targets = {&t0, &t1};
    input.ssds = {&s0};
    plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 4u);  // SSD room is half of 4 GiB: files of 8192 nonces
    for (const auto& j : plan.jobs) EXPECT_EQ(j.write_drive, &s0);
    EXPECT_EQ(plan.jobs[0].final_drive, &t0);
    EXPECT_EQ(plan.jobs[0].count, 8192u);
    EXPECT_EQ(plan.jobs[1].count, 4096u);
    EXPECT_EQ(plan.jobs[3].final_drive, &t1);
    input.ssds = {&s0, &s1};
    plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 4u);
    EXPECT_EQ(plan.jobs[0].write_drive, &s0);
    EXPECT_EQ(plan.jobs[2].write_drive, &s1);
}

TEST_F(plan_fixture, staging_drive_without_room_skips_instead_of_looping) {
    drive_s s0 = make_drive("/nowhere/s0", GiB);  // half of it fits no file
    drive_s t0 = make_drive("/nowhere/t0", 3 * GiB);
    input.targets = {&t0};
    input.ssds = {&s0};
    EXPECT_TRUE(plan_compute(&plots, input).jobs.empty());
}

TEST_F(plan_fixture, tiny_largest_file_uses_one_sector_group) {
    drive_s t = make_drive("/nowhere/t", GiB);
    input.targets = {&t};
    input.max_file_bytes = 1000000;  // below 8 nonces
    input.max_fill_bytes = 24 * 262144;
    const plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 3u);
    for (const auto& j : plan.jobs) EXPECT_EQ(j.count, 8u);
}

TEST_F(plan_fixture, ranges_end_at_the_last_nonce_number_and_never_wrap) {
    drive_s t = make_drive("/nowhere/t", GiB);
    input.targets = {&t};
    input.max_fill_bytes = 8 * 262144;
    input.start_nonce = UINT64_MAX - 7;
    plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 1u);
    EXPECT_EQ(plan.jobs[0].start, UINT64_MAX - 7);
    input.start_nonce = UINT64_MAX - 6;
    EXPECT_TRUE(plan_compute(&plots, input).jobs.empty());
    // A collision that would steer past the top ends the plan.
    plots.ranges["/z/"] = {{UINT64_MAX - 7, 8, 1, false, false}};
    input.start_nonce = UINT64_MAX - 15;
    EXPECT_TRUE(plan_compute(&plots, input).jobs.empty());
}

TEST_F(plan_fixture, unfinished_file_of_the_plan_is_resumed_not_avoided) {
    test_dir_s dir;
    touch(dir.file("42_0_8_8.plotting"));
    touch(dir.file("42_100_8.plotting"));  // other form: avoided, not resumed
    drive_s t = make_drive(dir.path, GiB);
    input.targets = {&t};
    input.max_fill_bytes = 8 * 262144;
    plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 1u);
    EXPECT_EQ(plan.jobs[0].start, 0u);
    EXPECT_TRUE(plan.jobs[0].resume);
    // With automatic start the unfinished file comes first and new files follow it.
    plots_s fresh;
    input.auto_start = true;
    input.max_fill_bytes = 16 * 262144;
    plan = plan_compute(&fresh, input);
    ASSERT_EQ(plan.jobs.size(), 2u);
    EXPECT_EQ(plan.jobs[0].start, 0u);
    EXPECT_TRUE(plan.jobs[0].resume);
    EXPECT_EQ(plan.jobs[1].start, 108u);
    EXPECT_FALSE(plan.jobs[1].resume);
}

TEST_F(plan_fixture, complete_files_are_not_planned_again_when_asked) {
    test_dir_s dir;
    touch(dir.file("42_0_8"));
    touch(dir.file("42_8_8.moving"));  // an interrupted move's copy is no finished file
    drive_s t = make_drive(dir.path, GiB);
    input.targets = {&t};
    input.poc2 = true;
    input.max_fill_bytes = 8 * 262144;
    input.skip_complete = true;
    plan_result_s plan = plan_compute(&plots, input);
    EXPECT_TRUE(plan.jobs.empty());
    ASSERT_EQ(plan.complete.size(), 1u);
    plots_s second;
    input.start_nonce = 8;
    plan = plan_compute(&second, input);
    EXPECT_TRUE(plan.complete.empty());
    input.start_nonce = 0;
    input.skip_complete = false;
    plots_s fresh;
    plan = plan_compute(&fresh, input);
    ASSERT_EQ(plan.jobs.size(), 1u);
    EXPECT_EQ(plan.jobs[0].start, 16u);  // past the finished file and the partial copy
}

// The same folder chosen twice as a target (or under two spellings): with automatic start
// both records continue after the same plots, and still no two files get the same nonces.
TEST_F(plan_fixture, same_folder_twice_never_plans_the_same_nonces_twice) {
    test_dir_s dir;
    touch(dir.file("42_0_8_8"));
    drive_s first = make_drive(dir.path, GiB), second = make_drive(dir.path + "/", GiB);
    input.auto_start = true;
    input.targets = {&first, &second};
    input.max_fill_bytes = 8 * 262144;
    const plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 2u);
    EXPECT_EQ(plan.jobs[0].start, 8u);
    EXPECT_FALSE(overlap(plan.jobs[0], plan.jobs[1])) << plan.jobs[1].start;
}

// New files are never planned over the nonces of an unfinished file that the plan does not
// resume: neither one resumed on a later target nor one too large for its own target.
TEST_F(plan_fixture, unfinished_file_resumed_on_a_later_target_is_not_planned_again_on_an_earlier_one) {
    test_dir_s a, b;
    touch(b.file("42_0_8_8.plotting"));
    drive_s ta = make_drive(a.path, GiB), tb = make_drive(b.path, GiB);
    input.targets = {&ta, &tb};
    input.max_fill_bytes = 8 * 262144;
    const plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 2u);
    EXPECT_EQ(plan.jobs[1].write_drive, &tb);
    EXPECT_TRUE(plan.jobs[1].resume);
    EXPECT_EQ(plan.jobs[1].start, 0u);
    EXPECT_FALSE(overlap(plan.jobs[0], plan.jobs[1])) << plan.jobs[0].start;
}

TEST_F(plan_fixture, unfinished_file_too_large_to_resume_is_steered_around) {
    test_dir_s a;
    touch(a.file("42_0_16_16.plotting"));
    drive_s ta = make_drive(a.path, GiB);
    input.targets = {&ta};
    input.max_fill_bytes = 8 * 262144;
    const plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 1u);
    EXPECT_FALSE(plan.jobs[0].resume);
    EXPECT_GE(plan.jobs[0].start, 16u);
}

TEST_F(plan_fixture, fill_limits_and_their_lines) {
    struct case_s {
        uint64_t max_fill;                 // bytes of every target at most; 0 = all
        uint64_t fill_limit;               // bytes of this target at most; 0 = all
        uint64_t total;                    // nonces planned on the 10 GiB target
        std::vector<const char*> lines;    // lines that must be logged
        std::vector<const char*> absent;   // texts that must not be logged
    };
    const case_s cases[] = {
        {2 * GiB, 0, 8192, {"Limiting drive use to 2 GB max.\n"}, {"Limiting drive /"}},
        {0, 5000000000, 19072, {"Limiting drive /nowhere/t to 5.0 GB.\n"}, {"Limiting drive use"}},
        {3 * GiB, 2500000000, 9536, {"Limiting drive use to 3 GB max.\n", "Limiting drive /nowhere/t to 2.5 GB.\n"}, {}},
        // 0.5 GB gives 1904 nonces, printed as 0 whole GB; the 1 GB target limit is then not exceeded.
        {500000000, 1000000000, 1904, {"Limiting drive use to 0 GB max.\n"}, {"Limiting drive /"}},
        {20 * GiB, 0, 40960, {}, {"Limiting"}},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(std::to_string(c.max_fill) + " / " + std::to_string(c.fill_limit));
        drive_s t = make_drive("/nowhere/t", 10 * GiB);
        t.fill_limit = c.fill_limit;
        input.targets = {&t};
        input.max_fill_bytes = c.max_fill;
        plan_result_s plan;
        const std::string text = plan_logged(&plan);
        ASSERT_EQ(plan.jobs.size(), 1u);  // no file size limit: one file
        EXPECT_EQ(plan.jobs[0].count, c.total);
        for (const char* line : c.lines) EXPECT_TRUE(has(text, line)) << line << "\n" << text;
        for (const char* part : c.absent) EXPECT_FALSE(has(text, part)) << part << "\n" << text;
    }
}

TEST_F(plan_fixture, automatic_start_lines) {
    const uint64_t base = 3ull << 32;  // serial 3
    struct case_s {
        std::string plot;        // file in the target folder; empty: none
        uint64_t start;          // first nonce of the first job
        const char* line;        // logged line, before the path is inserted
    };
    const case_s cases[] = {
        {"", base, "Auto starting drive %s with nonce 12884901888\n"},
        {"9_" + std::to_string(base) + "_5000_5000", base + 5000, "Continuing drive %s from nonce 12884906888\n"},
        {"9_0_100_100", base, "Auto starting drive %s with nonce 12884901888\n"},
        // Plots ending exactly at the base leave the base free.
        {"9_" + std::to_string(base - 100) + "_100_100", base, "Auto starting drive %s with nonce 12884901888\n"},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.plot);
        test_dir_s dir;
        if (!c.plot.empty()) touch(dir.file(c.plot));
        drive_s t = make_drive(dir.path, GiB, 3);
        input.targets = {&t};
        input.auto_start = true;
        plan_result_s plan;
        const std::string text = plan_logged(&plan);
        ASSERT_EQ(plan.jobs.size(), 1u);
        EXPECT_EQ(plan.jobs[0].start, c.start);
        char line[512];
        snprintf(line, sizeof line, c.line, dir.path.c_str());
        EXPECT_TRUE(has(text, line)) << line << "\n" << text;
        EXPECT_FALSE(has(text, "Preventing collision")) << text;
    }
}

TEST_F(plan_fixture, collision_steering_and_its_lines) {
    struct case_s {
        std::vector<plot_range_s> plots;   // remembered plots in another folder
        uint64_t start;                    // where the 1000-nonce file lands
        std::vector<const char*> lines;    // "Preventing collision" lines, in order
    };
    const case_s cases[] = {
        {{{0, 100, 1}}, 1000, {"Preventing collision with 0\n"}},
        // [0, 1000) ends where the plot begins: that counts, and so does [1000, 2000).
        {{{1000, 5, 1}}, 2000, {"Preventing collision with 0\n", "Preventing collision with 1000\n"}},
        {{{0, 100, 1}, {1000, 10, 1}}, 2000, {"Preventing collision with 0\n", "Preventing collision with 1000\n"}},
        // [1000, 2000) begins where the plot ends: free.
        {{{900, 100, 1}}, 1000, {"Preventing collision with 0\n"}},
        {{{5000, 10, 1}}, 0, {}},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.start);
        drive_s t = make_drive("/nowhere/t", GiB);
        input.targets = {&t};
        input.max_file_bytes = 1000 * 262144;
        input.max_fill_bytes = 1000 * 262144;
        plots = plots_s();
        plots.folders.insert("/remembered/");
        plots.ranges["/remembered/"] = c.plots;
        testing::internal::CaptureStderr();
        const plan_result_s plan = plan_compute(&plots, input);
        const std::string text = testing::internal::GetCapturedStderr();
        ASSERT_EQ(plan.jobs.size(), 1u);
        EXPECT_EQ(plan.jobs[0].start, c.start);
        EXPECT_EQ(plan.jobs[0].count, 1000u);
        std::string expected;
        for (const char* line : c.lines) expected += line;
        std::string logged;
        for (size_t at = text.find("Preventing"); at != std::string::npos; at = text.find("Preventing", at + 1))
            logged += text.substr(at, text.find('\n', at) + 1 - at);
        EXPECT_EQ(logged, expected);
    }
}

TEST_F(plan_fixture, staging_capacity_with_a_largest_file) {
    struct case_s {
        uint64_t max_file;                 // largest file in bytes; 0 = none
        uint64_t target_free;              // target free space
        std::vector<uint64_t> counts;      // planned file sizes
    };
    const case_s cases[] = {
        // Half of 5 GiB holds 8192 nonces; 1 GB (3814) is smaller and cut to 3808.
        {1000000000, 3 * GiB, {3808, 3808, 3808, 864}},
        {0, 10 * GiB, {8192, 8192, 8192, 8192, 8192}},
        {0, 3 * GiB, {8192, 4096}},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.max_file);
        drive_s s = make_drive("/nowhere/s", 5 * GiB);
        drive_s t = make_drive("/nowhere/t", c.target_free);
        plots = plots_s();
        input.ssds = {&s};
        input.targets = {&t};
        input.max_file_bytes = c.max_file;
        const plan_result_s plan = plan_compute(&plots, input);
        std::vector<uint64_t> counts;
        for (const plan_job_s& job : plan.jobs) {
            counts.push_back(job.count);
            EXPECT_EQ(job.write_drive, &s);
            EXPECT_EQ(job.final_drive, &t);
        }
        EXPECT_EQ(counts, c.counts);
    }
}

// A target too full for a file still takes its turn of the staging drives.
TEST_F(plan_fixture, full_target_still_advances_the_staging_drive) {
    drive_s s0 = make_drive("/nowhere/s0", 4 * GiB), s1 = make_drive("/nowhere/s1", 4 * GiB);
    drive_s full = make_drive("/nowhere/full", GiB / 2), t = make_drive("/nowhere/t", 3 * GiB);
    input.ssds = {&s0, &s1};
    input.targets = {&full, &t};
    const plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 2u);
    for (const plan_job_s& job : plan.jobs) {
        EXPECT_EQ(job.write_drive, &s1);
        EXPECT_EQ(job.final_drive, &t);
    }
    EXPECT_EQ(plan.jobs[0].start, 0u);
    EXPECT_EQ(plan.jobs[1].start, 8192u);
}
