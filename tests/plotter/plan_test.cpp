// Planning with made-up drives: sizes per target, fill limits and automatic start nonces with
// their log lines, collision steering, staging-drive turns and sizes, resumable files, and
// the limits that must never make planning loop, wrap or plan the same nonces twice.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/sys.h"
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

TEST_F(plan_fixture, ranges_end_at_the_last_nonce_number_and_never_wrap) {
    drive_s t = make_drive("/nowhere/t", GiB);
    input.targets = {&t};
    input.max_fill_bytes = 8 * 262144;
    input.start_nonce = UINT64_MAX - 7;
    plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 1u);
    EXPECT_EQ(plan.jobs[0].start, UINT64_MAX - 7);
    EXPECT_FALSE(plan.nonces_ran_out);
    input.start_nonce = UINT64_MAX - 6;
    plan = plan_compute(&plots, input);
    EXPECT_TRUE(plan.jobs.empty());
    EXPECT_TRUE(plan.nonces_ran_out);
    // A collision that would steer past the top ends the plan.
    plots.ranges["/z/"] = {{UINT64_MAX - 7, 8, 1, false, false}};
    input.start_nonce = UINT64_MAX - 15;
    EXPECT_TRUE(plan_compute(&plots, input).jobs.empty());
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

// Plans over real folders holding earlier files: which are resumed, moved, completed or
// avoided. Files are "folder/name" in the staging folder s and the targets t0, t1; a leading
// "!" means another writer holds the file. Jobs read "[s>]target:start+count[r]" (s> when
// written through s, r when an existing file is taken over), then "complete:N".
TEST_F(plan_fixture, earlier_files_in_the_folders) {
    struct case_s {
        const char* what;
        std::vector<std::string> files;  // files present before planning
        bool ssd;                        // plan through s
        int targets;                     // t0, or t0 and t1
        bool auto_start;                 // automatic start nonces (else start, skipping complete files)
        uint64_t start, fill;            // given start nonce; nonces per target
        std::string jobs;                // expected plan
    };
    const case_s cases[] = {
        {"unfinished file of the planned range", {"t0/42_0_8_8.plotting", "t0/42_100_8.plotting"}, false, 1, false, 0, 8,
         "t0:0+8r"},
        {"automatic start: unfinished file first, new files after all plots",
         {"t0/42_0_8_8.plotting", "t0/42_100_8.plotting"}, false, 1, true, 0, 16, "t0:0+8r t0:108+8"},
        {"given start elsewhere leaves an unfinished file alone", {"t0/42_0_8_8.plotting"}, false, 1, false, 5000, 8,
         "t0:5000+8"},
        {"unfinished file another writer holds is avoided", {"!t0/42_0_8_8.plotting"}, false, 1, false, 0, 8, "t0:8+8"},
        {"same, automatic start", {"!t0/42_0_8_8.plotting"}, false, 1, true, 0, 8, "t0:8+8"},
        {"unfinished file too large for the target is avoided", {"t0/42_0_16_16.plotting"}, false, 1, false, 0, 8,
         "t0:16+8"},
        {"unfinished file of another target's range waits for it",
         {"t1/42_0_8_8.plotting"}, false, 2, false, 0, 8, "t0:8+8 t1:16+8"},
        {"complete file", {"t0/42_0_8_8", "t0/42_8_8_8.moving"}, false, 1, false, 0, 8, "complete:1"},
        {"partial copy of a move is avoided", {"t0/42_0_8_8", "t0/42_8_8_8.moving"}, false, 1, false, 8, 8, "t0:16+8"},
        {"staged: complete files on both targets", {"t0/42_0_8_8", "t1/42_8_8_8"}, true, 2, false, 0, 8, "complete:2"},
        {"staged: a target's plots are avoided", {"t0/42_0_8_8"}, true, 1, false, 4, 8, "s>t0:12+8"},
        {"staged leftovers go to the target planned for them",
         {"s/42_0_8_8.plotting", "s/42_8_8_8"}, true, 2, false, 0, 8, "s>t0:0+8r s>t1:8+8r"},
        {"staged leftover of the second target while the first is complete", {"t0/42_0_8_8", "s/42_8_8_8"}, true, 2,
         false, 0, 8, "s>t1:8+8r complete:1"},
        {"staged leftover no plan names goes to a target with room", {"s/42_100_8_8"}, true, 2, false, 0, 8,
         "s>t0:0+8 s>t1:8+8 s>t0:100+8r"},
        {"staged copy whose move was done but not cleaned up", {"s/42_0_8_8", "t0/42_0_8_8"}, true, 1, false, 0, 8,
         "s>t0:0+8r"},
        {"staged file with a partial copy on its target", {"s/42_0_8_8", "t0/42_0_8_8.moving"}, true, 1, false, 0, 8,
         "s>t0:0+8r"},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.what);
        test_dir_s s_dir, t0_dir, t1_dir;
        const std::map<std::string, const test_dir_s*> dirs = {{"s", &s_dir}, {"t0", &t0_dir}, {"t1", &t1_dir}};
        std::vector<int64_t> held;
        for (std::string file : c.files) {
            const bool locked = file[0] == '!';
            if (locked) file.erase(0, 1);
            const std::string path = dirs.at(file.substr(0, file.find('/')))->file(file.substr(file.find('/') + 1));
            touch(path);
            if (locked) held.push_back(sys_file_create(path.c_str(), 0));
        }
        drive_s s = make_drive(s_dir.path, 4 * GiB), t0 = make_drive(t0_dir.path, GiB), t1 = make_drive(t1_dir.path, GiB);
        input.ssds.clear();
        if (c.ssd) input.ssds = {&s};
        input.targets = {&t0, &t1};
        input.targets.resize(c.targets);
        input.auto_start = c.auto_start;
        input.skip_complete = !c.auto_start;
        input.start_nonce = c.start;
        input.max_fill_bytes = c.fill * 262144;
        plan_result_s plan;
        plan_logged(&plan);
        for (int64_t fd : held) sys_file_close(fd);
        std::string jobs;
        for (const plan_job_s& j : plan.jobs) {
            const drive_s* target = j.final_drive ? j.final_drive : j.write_drive;
            jobs += std::string(jobs.empty() ? "" : " ") + (j.write_drive == &s ? "s>" : "") +
                    (target == &t0 ? "t0" : "t1") + ":" + std::to_string(j.start) + "+" + std::to_string(j.count) +
                    (j.resume ? "r" : "");
        }
        if (!plan.complete.empty()) jobs += (jobs.empty() ? "" : " ") + ("complete:" + std::to_string(plan.complete.size()));
        EXPECT_EQ(jobs, c.jobs);
    }
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

// File sizes on one target, written directly or through a staging drive: the target's
// free space, the largest file and the fill limit split it; consecutive files follow the start.
TEST_F(plan_fixture, file_sizes_on_one_target) {
    struct case_s {
        uint64_t ssd_free;                 // staging drive's free space; 0 = written directly
        uint64_t target_free;              // target free space
        uint64_t max_file, max_fill;       // largest file and fill limit in bytes; 0 = none
        std::vector<uint64_t> counts;      // planned file sizes
    };
    const case_s cases[] = {
        {0, 3 * GiB, 0, 0, {12288}},
        // 1 GB is 3814 nonces, cut to 3808: ten of them and the rest.
        {0, 10 * GiB, 1000000000, 0, {3808, 3808, 3808, 3808, 3808, 3808, 3808, 3808, 3808, 3808, 2880}},
        // A largest file below one sector group gives files of one group.
        {0, GiB, 1000000, 24 * 262144, {8, 8, 8}},
        // Half of 5 GiB holds 8192 nonces; 1 GB (3814) is smaller and cut to 3808.
        {5 * GiB, 3 * GiB, 1000000000, 0, {3808, 3808, 3808, 864}},
        {5 * GiB, 10 * GiB, 0, 0, {8192, 8192, 8192, 8192, 8192}},
        {5 * GiB, 3 * GiB, 0, 0, {8192, 4096}},
        // Half of 1 GiB holds no file: nothing is planned, and planning does not loop.
        {GiB, 3 * GiB, 0, 0, {}},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(std::to_string(c.ssd_free) + " / " + std::to_string(c.max_file));
        drive_s s = make_drive("/nowhere/s", c.ssd_free);
        drive_s t = make_drive("/nowhere/t", c.target_free);
        plots = plots_s();
        input.ssds.clear();
        if (c.ssd_free) input.ssds = {&s};
        input.targets = {&t};
        input.max_file_bytes = c.max_file;
        input.max_fill_bytes = c.max_fill;
        input.start_nonce = 7;
        const plan_result_s plan = plan_compute(&plots, input);
        std::vector<uint64_t> counts;
        uint64_t next = 7;
        for (const plan_job_s& job : plan.jobs) {
            counts.push_back(job.count);
            EXPECT_EQ(job.start, next);
            next += job.count;
            EXPECT_EQ(job.write_drive, c.ssd_free ? &s : &t);
            EXPECT_EQ(job.final_drive, c.ssd_free ? &t : nullptr);
        }
        EXPECT_EQ(counts, c.counts);
        EXPECT_EQ(plan.max_file_bytes, counts.empty() ? 0 : counts[0] * 262144);
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
