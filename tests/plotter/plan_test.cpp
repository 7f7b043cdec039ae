// Planning with made-up drives: sizes per target, start nonces, collisions, resumable files,
// and the limits that must never make planning loop or wrap.
#include <gtest/gtest.h>

#include <fstream>

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
};

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

TEST(plots_parse_name, three_and_four_numbers) {
    struct case_s {
        const char* name;              // file name or path
        uint64_t start, count;         // range it occupies
        bool poc2, plotting;           // form and state
    };
    // A name reaching past the last nonce number still occupies up to it.
    for (case_s c : {case_s{"/a/b/1_2_3_4", 2, 3, false, false}, case_s{"1_2_3", 2, 3, true, false},
                     case_s{"1_2_3_3.plotting", 2, 3, false, true}, case_s{"1_18446744073709551615_5", UINT64_MAX, 1, true, false}}) {
        plot_range_s r;
        ASSERT_TRUE(plots_parse_name(c.name, &r)) << c.name;
        EXPECT_EQ(r.account, 1u) << c.name;
        EXPECT_EQ(r.start, c.start) << c.name;
        EXPECT_EQ(r.count, c.count) << c.name;
        EXPECT_EQ(r.poc2, c.poc2) << c.name;
        EXPECT_EQ(r.plotting, c.plotting) << c.name;
    }
    plot_range_s r;
    for (const char* bad : {"1_2", "x_1_2_3", "1_2_0", "-1_2_3", "1_99999999999999999999_3"})
        EXPECT_FALSE(plots_parse_name(bad, &r)) << bad;
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

TEST_F(plan_fixture, automatic_start_from_serial_or_after_the_folder_plots) {
    test_dir_s dir;
    drive_s t = make_drive(dir.path, GiB, 3);
    input.targets = {&t};
    input.auto_start = true;
    const uint64_t base = 3ull << 32;
    EXPECT_EQ(plan_compute(&plots, input).jobs.at(0).start, base);
    touch(dir.file("9_" + std::to_string(base) + "_5000_5000"));
    plots_s fresh;
    EXPECT_EQ(plan_compute(&fresh, input).jobs.at(0).start, base + 5000);
}

TEST_F(plan_fixture, collisions_steer_the_plan) {
    test_dir_s dir;
    touch(dir.file("1_0_100_100"));
    drive_s t = make_drive("/nowhere/t", GiB);
    input.targets = {&t};
    input.max_file_bytes = 1000 * 262144;
    input.max_fill_bytes = 1000 * 262144;
    plots_folder_add(&plots, dir.path.c_str());
    const plan_result_s plan = plan_compute(&plots, input);
    ASSERT_EQ(plan.jobs.size(), 1u);
    EXPECT_EQ(plan.jobs[0].start, 1000u);
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
