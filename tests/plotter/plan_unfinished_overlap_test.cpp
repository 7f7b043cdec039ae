// New files are never planned over the nonces of an unfinished file that the plan does not
// resume: neither one on another target nor one too large for its own target.
#include <gtest/gtest.h>

#include <fstream>

#include "plotter/plan.h"
#include "plotter/plots.h"
#include "test_support.h"

namespace {

constexpr uint64_t GiB = 1ull << 30;

drive_s folder_drive(const std::string& path) {
    drive_s d;
    snprintf(d.path, sizeof d.path, "%s", path.c_str());
    d.free_bytes = GiB;
    return d;
}

bool overlap(const plan_job_s& a, const plan_job_s& b) {
    return a.start < b.start + b.count && b.start < a.start + a.count;
}

}  // namespace

TEST(plan_unfinished_overlap, file_resumed_on_a_later_target_is_not_planned_again_on_an_earlier_one) {
    test_dir_s a, b;
    std::ofstream(b.file("42_0_8_8.plotting")).put('x');
    drive_s ta = folder_drive(a.path), tb = folder_drive(b.path);
    plots_s plots;
    plan_input_s input;
    input.account_id = 42;
    input.auto_start = false;
    input.targets = {&ta, &tb};
    input.max_fill_bytes = 8 * 262144;
    const plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 2u);
    EXPECT_EQ(plan.jobs[1].write_drive, &tb);
    EXPECT_TRUE(plan.jobs[1].resume);
    EXPECT_EQ(plan.jobs[1].start, 0u);
    EXPECT_FALSE(overlap(plan.jobs[0], plan.jobs[1])) << plan.jobs[0].start;
}

TEST(plan_unfinished_overlap, unfinished_file_too_large_to_resume_is_steered_around) {
    test_dir_s a;
    std::ofstream(a.file("42_0_16_16.plotting")).put('x');
    drive_s ta = folder_drive(a.path);
    plots_s plots;
    plan_input_s input;
    input.account_id = 42;
    input.auto_start = false;
    input.targets = {&ta};
    input.max_fill_bytes = 8 * 262144;
    const plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 1u);
    EXPECT_FALSE(plan.jobs[0].resume);
    EXPECT_GE(plan.jobs[0].start, 16u);
}
