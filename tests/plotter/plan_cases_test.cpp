// Planning cases worked out by hand: fill limits and their log lines, automatic start
// nonces, collision steering with its log lines, and staging-drive file sizes.
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


bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Plans and returns what was logged.
std::string plan_logged(plots_s* plots, const plan_input_s& input, plan_result_s* plan) {
    testing::internal::CaptureStderr();
    *plan = plan_compute(plots, input);
    return testing::internal::GetCapturedStderr();
}

uint64_t planned_nonces(const plan_result_s& plan) {
    uint64_t sum = 0;
    for (const plan_job_s& job : plan.jobs) sum += job.count;
    return sum;
}

}  // namespace

TEST(plan_cases, fill_limits_and_their_lines) {
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
        plots_s plots;
        drive_s t = make_drive("/nowhere/t", 10 * GiB);
        t.fill_limit = c.fill_limit;
        plan_input_s input;
        input.auto_start = false;
        input.targets = {&t};
        input.max_fill_bytes = c.max_fill;
        plan_result_s plan;
        const std::string text = plan_logged(&plots, input, &plan);
        EXPECT_EQ(planned_nonces(plan), c.total);
        ASSERT_EQ(plan.jobs.size(), 1u);  // no file size limit: one file
        for (const char* line : c.lines) EXPECT_TRUE(has(text, line)) << line << "\n" << text;
        for (const char* part : c.absent) EXPECT_FALSE(has(text, part)) << part << "\n" << text;
    }
}

TEST(plan_cases, automatic_start_lines) {
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
        if (!c.plot.empty()) std::ofstream(dir.file(c.plot)).put('x');
        plots_s plots;
        drive_s t = make_drive(dir.path, GiB, 3);
        plan_input_s input;
        input.targets = {&t};
        input.auto_start = true;
        plan_result_s plan;
        const std::string text = plan_logged(&plots, input, &plan);
        ASSERT_EQ(plan.jobs.size(), 1u);
        EXPECT_EQ(plan.jobs[0].start, c.start);
        char line[512];
        snprintf(line, sizeof line, c.line, dir.path.c_str());
        EXPECT_TRUE(has(text, line)) << line << "\n" << text;
        EXPECT_FALSE(has(text, "Preventing collision")) << text;
    }
}

TEST(plan_cases, collision_steering_and_its_lines) {
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
        plots_s plots;
        plots.folders.insert("/remembered/");
        plots.ranges["/remembered/"] = c.plots;
        drive_s t = make_drive("/nowhere/t", GiB);
        plan_input_s input;
        input.auto_start = false;
        input.targets = {&t};
        input.max_file_bytes = 1000 * 262144;
        input.max_fill_bytes = 1000 * 262144;
        plan_result_s plan;
        const std::string text = plan_logged(&plots, input, &plan);
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

TEST(plan_cases, staging_capacity_with_a_largest_file) {
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
        plots_s plots;
        drive_s s = make_drive("/nowhere/s", 5 * GiB);
        drive_s t = make_drive("/nowhere/t", c.target_free);
        plan_input_s input;
        input.auto_start = false;
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
TEST(plan_cases, full_target_still_advances_the_staging_drive) {
    plots_s plots;
    drive_s s0 = make_drive("/nowhere/s0", 4 * GiB), s1 = make_drive("/nowhere/s1", 4 * GiB);
    drive_s full = make_drive("/nowhere/full", GiB / 2), t = make_drive("/nowhere/t", 3 * GiB);
    plan_input_s input;
    input.auto_start = false;
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
