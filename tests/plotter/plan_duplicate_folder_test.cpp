// The same folder chosen twice as a target (or under two spellings): with automatic start
// nonces both records continue after the same plots, and the plan must still not give
// two files the same nonces.
#include <gtest/gtest.h>

#include <fstream>

#include "plotter/plan.h"
#include "plotter/plots.h"
#include "test_support.h"

TEST(plan_duplicate_folder, same_folder_twice_never_plans_the_same_nonces_twice) {
    test_dir_s dir;
    std::ofstream(dir.file("42_0_8_8")).put('x');
    drive_s first, second;
    snprintf(first.path, sizeof first.path, "%s", dir.path.c_str());
    snprintf(second.path, sizeof second.path, "%s/", dir.path.c_str());
    first.free_bytes = second.free_bytes = 1ull << 30;
    plots_s plots;
    plan_input_s input;
    input.account_id = 42;
    input.auto_start = true;
    input.targets = {&first, &second};
    input.max_fill_bytes = 8 * 262144;
    const plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 2u);
    const plan_job_s& a = plan.jobs[0];
    const plan_job_s& b = plan.jobs[1];
    EXPECT_EQ(a.start, 8u);
    EXPECT_FALSE(a.start < b.start + b.count && b.start < a.start + a.count) << a.start << " " << b.start;
}
