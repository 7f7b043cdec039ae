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
    // Plans and returns what was logged.
    std::string plan_logged(plan_result_s* plan) {
        testing::internal::CaptureStderr();
        *plan = plan_compute(&plots, input);
        return testing::internal::GetCapturedStderr();
    }
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Jobs as "[staging>]target:start+count[r]" (r: an existing file taken over), "*N" for N such
// files one after the other, then "complete:N" and "ran out" when the nonce numbers did.
std::string describe(const plan_result_s& plan, const std::map<const drive_s*, std::string>& names) {
    std::string jobs, last;
    uint64_t next = 0, repeat = 0;
    for (const plan_job_s& j : plan.jobs) {
        const drive_s* target = j.final_drive ? j.final_drive : j.write_drive;
        const std::string drives = (j.final_drive ? names.at(j.write_drive) + ">" : "") + names.at(target);
        const std::string size = "+" + std::to_string(j.count) + (j.resume ? "r" : "");
        if (drives + size != last || j.start != next) {
            if (repeat > 1) jobs += "*" + std::to_string(repeat);
            jobs += (jobs.empty() ? "" : " ") + drives + ":" + std::to_string(j.start) + size;
            last = drives + size;
            repeat = 0;
        }
        next = j.start + j.count;
        ++repeat;
    }
    if (repeat > 1) jobs += "*" + std::to_string(repeat);
    if (!plan.complete.empty()) jobs += (jobs.empty() ? "" : " ") + ("complete:" + std::to_string(plan.complete.size()));
    if (plan.nonces_ran_out) jobs += jobs.empty() ? "ran out" : " ran out";
    return jobs;
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

// The same folder chosen twice as a target (or under two spellings): with automatic start
// both records continue after the same plots, and still no two files get the same nonces.
TEST_F(plan_fixture, same_folder_twice_never_plans_the_same_nonces_twice) {
    test_dir_s dir;
    touch(dir.file("42_0_8_8"));
    drive_s first = make_drive(dir.path, GiB), second = make_drive(dir.path + "/", GiB);
    input.auto_start = true;
    input.targets = {&first, &second};
    input.max_fill_bytes = 8 * 262144;
    EXPECT_EQ(describe(plan_compute(&plots, input), {{&first, "a"}, {&second, "b"}}), "a:8+8 b:16+8");
}

// Plans over real folders holding earlier files: which are resumed, moved, completed or
// avoided. Files are "folder/name" in the staging folder s and the targets t0, t1; a leading
// "!" means another writer holds the file.
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
        {"a file ending at the last nonce number", {}, false, 1, false, UINT64_MAX - 7, 8, "t0:18446744073709551608+8"},
        {"no room below the last nonce number", {}, false, 1, false, UINT64_MAX - 6, 8, "ran out"},
        {"a collision would steer past the top", {"t0/7_18446744073709551608_8_8"}, false, 1, false, UINT64_MAX - 15, 8,
         "ran out"},
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
        plots = plots_s();
        plan_result_s plan;
        plan_logged(&plan);
        for (int64_t fd : held) sys_file_close(fd);
        EXPECT_EQ(describe(plan, {{&s, "s"}, {&t0, "t0"}, {&t1, "t1"}}), c.jobs);
    }
}

// One 10 GiB target with serial 3: fill limits, automatic start nonces and collision steering,
// with the lines they log ("%s" stands for the target's folder).
TEST_F(plan_fixture, one_target_and_its_lines) {
    const uint64_t base = 3ull << 32, K = 1000 * 262144;  // serial 3's automatic start; 1000 nonces
    struct case_s {
        const char* what;
        std::string plot;                    // file in the target folder; empty: none
        std::vector<plot_range_s> elsewhere;  // plots remembered in another folder
        bool auto_start;
        uint64_t max_fill, fill_limit, max_file;  // bytes of every target, of this one, of a file; 0 = all
        std::string jobs;                         // the plan
        std::vector<const char*> lines = {}, absent = {};  // texts that must or must not be logged
        std::string collisions = "";                        // every "Preventing collision" line, in order
    };
    const case_s cases[] = {
        {"fill limit", "", {}, false, 2 * GiB, 0, 0, "t:0+8192", {"Limiting drive use to 2 GB max.\n"}, {"Limiting drive /"}},
        {"target limit", "", {}, false, 0, 5000000000, 0, "t:0+19072", {"Limiting drive %s to 5.0 GB.\n"}, {"Limiting drive use"}},
        {"both limits", "", {}, false, 3 * GiB, 2500000000, 0, "t:0+9536",
         {"Limiting drive use to 3 GB max.\n", "Limiting drive %s to 2.5 GB.\n"}},
        // 0.5 GB gives 1904 nonces, printed as 0 whole GB; the 1 GB target limit is then not exceeded.
        {"fill limit below 1 GB", "", {}, false, 500000000, 1000000000, 0, "t:0+1904",
         {"Limiting drive use to 0 GB max.\n"}, {"Limiting drive /"}},
        {"no limit reached", "", {}, false, 20 * GiB, 0, 0, "t:0+40960", {}, {"Limiting"}},
        {"automatic start", "", {}, true, 0, 0, 0, "t:" + std::to_string(base) + "+40960",
         {"Auto starting drive %s with nonce 12884901888\n"}},
        {"automatic start after plots", "9_" + std::to_string(base) + "_5000_5000", {}, true, 0, 0, 0,
         "t:" + std::to_string(base + 5000) + "+40960", {"Continuing drive %s from nonce 12884906888\n"}},
        {"plots below the base", "9_0_100_100", {}, true, 0, 0, 0, "t:" + std::to_string(base) + "+40960",
         {"Auto starting drive %s with nonce 12884901888\n"}},
        {"plots ending at the base leave it free", "9_" + std::to_string(base - 100) + "_100_100", {}, true, 0, 0, 0,
         "t:" + std::to_string(base) + "+40960", {"Auto starting drive %s with nonce 12884901888\n"}},
        {"collision", "", {{0, 100, 1}}, false, K, 0, K, "t:1000+1000", {}, {}, "Preventing collision with 0\n"},
        // [0, 1000) ends where the plot begins: that counts, and so does [1000, 2000).
        {"collision at the end", "", {{1000, 5, 1}}, false, K, 0, K, "t:2000+1000", {}, {},
         "Preventing collision with 0\nPreventing collision with 1000\n"},
        {"two collisions", "", {{0, 100, 1}, {1000, 10, 1}}, false, K, 0, K, "t:2000+1000", {}, {},
         "Preventing collision with 0\nPreventing collision with 1000\n"},
        // [1000, 2000) begins where the plot ends: free.
        {"collision at the start", "", {{900, 100, 1}}, false, K, 0, K, "t:1000+1000", {}, {}, "Preventing collision with 0\n"},
        {"no collision", "", {{5000, 10, 1}}, false, K, 0, K, "t:0+1000"},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.what);
        test_dir_s dir;
        if (!c.plot.empty()) touch(dir.file(c.plot));
        drive_s t = make_drive(dir.path, 10 * GiB, 3);
        t.fill_limit = c.fill_limit;
        input.targets = {&t};
        input.auto_start = c.auto_start;
        input.max_fill_bytes = c.max_fill;
        input.max_file_bytes = c.max_file;
        plots = plots_s();
        plots.folders.insert("/remembered/");
        plots.ranges["/remembered/"] = c.elsewhere;
        plan_result_s plan;
        const std::string text = plan_logged(&plan);
        EXPECT_EQ(describe(plan, {{&t, "t"}}), c.jobs);
        char line[512];
        for (const char* format : c.lines) {
            snprintf(line, sizeof line, format, dir.path.c_str());
            EXPECT_TRUE(has(text, line)) << line << "\n" << text;
        }
        for (const char* part : c.absent) EXPECT_FALSE(has(text, part)) << part << "\n" << text;
        std::string collisions;
        for (size_t at = text.find("Preventing"); at != std::string::npos; at = text.find("Preventing", at + 1))
            collisions += text.substr(at, text.find('\n', at) + 1 - at);
        EXPECT_EQ(collisions, c.collisions);
    }
}

// File sizes, written directly or through staging drives from nonce 7: free space, the largest
// file and the fill limit split each target; staged files take half a staging drive at most,
// targets take the staging drives in turn, and a target too full for a file still takes its turn.
TEST_F(plan_fixture, file_sizes_and_staging_turns) {
    struct case_s {
        size_t ssds;                   // staging drives s0, s1 used
        uint64_t ssd_free;             // free space of each
        std::vector<uint64_t> targets;  // free space of t0 (and t1)
        uint64_t max_file, max_fill;   // largest file and fill limit in bytes; 0 = none
        std::string jobs;
    };
    const case_s cases[] = {
        {0, 0, {3 * GiB}, 0, 0, "t0:7+12288"},
        // 1 GB is 3814 nonces, cut to 3808: ten of them and the rest.
        {0, 0, {10 * GiB}, 1000000000, 0, "t0:7+3808*10 t0:38087+2880"},
        // A largest file below one sector group gives files of one group.
        {0, 0, {GiB}, 1000000, 24 * 262144, "t0:7+8*3"},
        // Half of 5 GiB holds 8192 nonces; 1 GB (3814) is smaller and cut to 3808.
        {1, 5 * GiB, {3 * GiB}, 1000000000, 0, "s0>t0:7+3808*3 s0>t0:11431+864"},
        {1, 5 * GiB, {10 * GiB}, 0, 0, "s0>t0:7+8192*5"},
        {1, 5 * GiB, {3 * GiB}, 0, 0, "s0>t0:7+8192 s0>t0:8199+4096"},
        // Half of 1 GiB holds no file: nothing is planned, and planning does not loop.
        {1, GiB, {3 * GiB}, 0, 0, ""},
        {1, 4 * GiB, {3 * GiB, 3 * GiB}, 0, 0, "s0>t0:7+8192 s0>t0:8199+4096 s0>t1:12295+8192 s0>t1:20487+4096"},
        {2, 4 * GiB, {3 * GiB, 3 * GiB}, 0, 0, "s0>t0:7+8192 s0>t0:8199+4096 s1>t1:12295+8192 s1>t1:20487+4096"},
        {2, 4 * GiB, {GiB / 2, 3 * GiB}, 0, 0, "s1>t1:7+8192 s1>t1:8199+4096"},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.jobs);
        drive_s s0 = make_drive("/nowhere/s0", c.ssd_free), s1 = make_drive("/nowhere/s1", c.ssd_free);
        drive_s t0 = make_drive("/nowhere/t0", c.targets[0]), t1 = make_drive("/nowhere/t1", c.targets.back());
        plots = plots_s();
        input.ssds = {&s0, &s1};
        input.ssds.resize(c.ssds);
        input.targets = {&t0, &t1};
        input.targets.resize(c.targets.size());
        input.max_file_bytes = c.max_file;
        input.max_fill_bytes = c.max_fill;
        input.start_nonce = 7;
        const plan_result_s plan = plan_compute(&plots, input);
        EXPECT_EQ(describe(plan, {{&s0, "s0"}, {&s1, "s1"}, {&t0, "t0"}, {&t1, "t1"}}), c.jobs);
        EXPECT_EQ(plan.max_file_bytes, plan.jobs.empty() ? 0 : plan.jobs[0].count * 262144);
    }
}
