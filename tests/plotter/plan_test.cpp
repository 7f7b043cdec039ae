// Planning with made-up drives: sizes per target, fill limits and automatic start nonces with
// their log lines, collision steering, staging-drive turns and sizes, resumable files, targets
// left out, start nonce seeds per file system, and the limits that must never make planning
// loop, wrap or plan the same nonces twice.
#include <gtest/gtest.h>

#include <sys/statvfs.h>

#include <map>
#include <sstream>

#include "platform/sys.h"
#include "plotfile/plotfile.h"
#include "plotter/engine_support.h"
#include "plotter/plan.h"

namespace {

constexpr uint64_t GiB = 1ull << 30;
constexpr uint64_t AUTO = UINT64_MAX;  // start nonce of a row: automatic start nonces

struct plan_fixture : ::testing::Test {
    plots_s plots;
    plan_input_s input;
    std::map<const drive_s*, std::string> names;  // what plan() calls each drive
    std::string log;                              // what the last plan() logged

    void SetUp() override {
        input.account_id = 42;
        input.auto_start = false;
    }

    // Staging drives and targets from "[staging ...>]target ...", by name.
    void use(const std::string& drives, const std::map<std::string, drive_s*>& by_name) {
        const size_t arrow = drives.find('>');
        std::istringstream ssds(arrow == std::string::npos ? "" : drives.substr(0, arrow));
        std::istringstream targets(drives.substr(arrow == std::string::npos ? 0 : arrow + 1));
        input.ssds.clear();
        input.targets.clear();
        for (std::string name; ssds >> name;) input.ssds.push_back(by_name.at(name));
        for (std::string name; targets >> name;) input.targets.push_back(by_name.at(name));
        names.clear();
        for (const auto& [name, drive] : by_name) names[drive] = name;
    }

    // Plans, keeps the log, forgets the scanned folders and returns the jobs as
    // "[staging>]target:start+count[r]" (r: an existing file taken over), then "complete:N",
    // "ran out" when the nonce numbers did and "out:target" for each target left out.
    std::string plan() {
        plan_result_s result;
        log = engine_logged([&] { result = plan_compute(&plots, input); });
        plots = plots_s();
        std::string jobs;
        uint64_t largest = 0;
        for (const plan_job_s& j : result.jobs) {
            jobs += (j.final_drive ? names.at(j.write_drive) + ">" + names.at(j.final_drive) : names.at(j.write_drive)) + ":" +
                    std::to_string(j.start) + "+" + std::to_string(j.count) + (j.resume ? "r " : " ");
            largest = std::max(largest, j.count);
        }
        if (!result.complete.empty()) jobs += "complete:" + std::to_string(result.complete.size()) + " ";
        if (result.nonces_ran_out) jobs += "ran out ";
        for (const drive_s* target : result.left_out) jobs += "out:" + names.at(target) + " ";
        EXPECT_EQ(result.max_file_bytes, largest * PLOT_SIZE);
        return jobs.substr(0, jobs.size() - !jobs.empty());  // without the last space
    }
};

}  // namespace

TEST(drive, nonces_fit_and_paths_too_long) {
    EXPECT_EQ(drive_nonces_fit(3 * GiB + GiB / 2, 4096), 12288u);    // whole groups of 4096 nonces
    EXPECT_EQ(drive_nonces_fit(UINT64_MAX, 0), (1ull << 46) - 4096);  // below 2^46
    drive_s d;
    EXPECT_FALSE(drive_init(&d, std::string(DRIVE_PATH_MAX + 1, 'a').c_str(), false));
    EXPECT_FALSE(drive_init(&d, "", false));
}

// Plans over real folders holding earlier files: which are resumed, moved, completed or
// avoided. Files are "folder/name" in the staging folder s and the targets t0, t1 ("!":
// another writer holds it); "t0/" is t0's folder chosen again under another spelling. A
// given start skips complete files; fill is in nonces per target.
TEST_F(plan_fixture, earlier_files_in_the_folders) {
    struct case_s {
        std::vector<std::string> files;
        std::string drives;
        uint64_t start, fill;
        std::string jobs;
    };
    const case_s cases[] = {
        // Unfinished files of the planned range are resumed; automatic start takes them first.
        {{"t0/42_0_8_8.plotting", "t0/42_100_8.plotting"}, "t0", 0, 8, "t0:0+8r"},
        {{"t0/42_0_8_8.plotting", "t0/42_100_8.plotting"}, "t0", AUTO, 16, "t0:0+8r t0:108+8"},
        // Left alone: outside a given start, held by another writer, too large, another target's.
        {{"t0/42_0_8_8.plotting"}, "t0", 5000, 8, "t0:5000+8"},
        {{"!t0/42_0_8_8.plotting"}, "t0", 0, 8, "t0:8+8"},
        {{"!t0/42_0_8_8.plotting"}, "t0", AUTO, 8, "t0:8+8"},
        {{"t0/42_0_16_16.plotting"}, "t0", 0, 8, "t0:16+8"},
        {{"t1/42_0_8_8.plotting"}, "t0 t1", 0, 8, "t0:8+8 t1:16+8"},
        // Complete files; a partial copy of a move is avoided.
        {{"t0/42_0_8_8", "t0/42_8_8_8.moving"}, "t0", 0, 8, "complete:1"},
        {{"t0/42_0_8_8", "t0/42_8_8_8.moving"}, "t0", 8, 8, "t0:16+8"},
        {{"t0/42_0_8_8", "t1/42_8_8_8"}, "s>t0 t1", 0, 8, "complete:2"},
        {{"t0/42_0_8_8"}, "s>t0", 4, 8, "s>t0:12+8"},
        // Staged leftovers go to the target planned for them, else to one with room, even one too
        // small for new files ("small": t1's folder with half a GiB free), which is then not left out.
        {{"s/42_0_8_8.plotting", "s/42_8_8_8"}, "s>t0 t1", 0, 8, "s>t0:0+8r s>t1:8+8r"},
        {{"t0/42_0_8_8", "s/42_8_8_8"}, "s>t0 t1", 0, 8, "s>t1:8+8r complete:1"},
        {{"s/42_100_8_8"}, "s>t0 t1", 0, 8, "s>t0:0+8 s>t1:8+8 s>t0:100+8r"},
        {{"s/42_100_8_8"}, "s>small", 0, 8, "s>small:100+8r"},
        // A staged file whose move was done but not cleaned up goes to the mover (which compares),
        // one whose target holds an unfinished file of its name stays, a partial copy is moved over.
        {{"s/42_0_8_8", "t0/42_0_8_8"}, "s>t0", 0, 8, "s>t0:0+8r"},
        {{"s/42_0_8_8", "t0/42_0_8_8.plotting"}, "s>t0", 0, 8, "s>t0:8+8"},
        {{"s/42_0_8_8", "t0/42_0_8_8.moving"}, "s>t0", 0, 8, "s>t0:0+8r"},
        // The same folder twice continues after the same plots, but never plans nonces twice.
        {{"t0/42_0_8_8"}, "t0 t0/", AUTO, 8, "t0:8+8 t0/:16+8"},
        // Both name forms, unfinished files and other accounts' plots are scanned and avoided.
        {{"t0/1_2_3", "t0/1_10_5_5", "t0/1_20_3_3.plotting", "t0/notes.txt"}, "t0", 0, 8, "t0:24+8"},
        {{"t0/1_2_3", "t0/1_10_5_5", "t0/1_20_3_3.plotting", "t0/notes.txt"}, "t0", AUTO, 8, "t0:23+8"},
        // The last nonce numbers: a file ending at the last, none below it, no steering past it.
        {{}, "t0", UINT64_MAX - 7, 8, "t0:18446744073709551608+8"},
        {{}, "t0", UINT64_MAX - 6, 8, "ran out"},
        {{"t0/7_18446744073709551608_8_8"}, "t0", UINT64_MAX - 15, 8, "ran out"},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.jobs);
        test_dir_s s_dir, t0_dir, t1_dir;
        const std::map<std::string, const test_dir_s*> dirs = {{"s", &s_dir}, {"t0", &t0_dir}, {"t1", &t1_dir}};
        std::vector<int64_t> held;
        for (std::string file : c.files) {
            const bool locked = file[0] == '!';
            const size_t slash = file.find('/');
            const std::string path = dirs.at(file.substr(locked, slash - locked))->file(file.substr(slash + 1));
            test_write_file(path, "x");
            if (locked) held.push_back(test_create_file(path, 0));
        }
        drive_s s = make_drive(s_dir.path, 4 * GiB), t0 = make_drive(t0_dir.path, GiB);
        drive_s t1 = make_drive(t1_dir.path, GiB), t0_again = make_drive(t0_dir.path + "/", GiB);
        drive_s small = make_drive(t1_dir.path, GiB / 2);
        use(c.drives, {{"s", &s}, {"t0", &t0}, {"t1", &t1}, {"t0/", &t0_again}, {"small", &small}});
        input.auto_start = c.start == AUTO;
        input.skip_complete = !input.auto_start;
        input.start_nonce = c.start;
        input.max_fill_bytes = c.fill * PLOT_SIZE;
        EXPECT_EQ(plan(), c.jobs);
        for (int64_t fd : held) sys_file_close(fd);
    }
}

// One 10 GiB target with nonce seed 3 (automatic start 3 << 32 = 12884901888): fill limits,
// automatic start nonces and collision steering, with everything planning logs ("%s" is the
// target's folder). A plot in the target folder, or remembered elsewhere; limits in bytes.
TEST_F(plan_fixture, one_target_and_its_lines) {
    const uint64_t K = 1000 * PLOT_SIZE;  // 1000 nonces, 262144000 bytes
    const std::string K_LINE = "Limiting drive use to 262.1 MB max.\n";
    struct case_s {
        std::string plot;
        std::vector<plots_range_s> elsewhere;
        uint64_t start, max_fill, fill_limit, max_file;
        std::string jobs, log;
    };
    const case_s cases[] = {
        {"", {}, 0, 0, 5000000000, 0, "t:0+19072", "Limiting drive %s to 5.0 GB.\n"},
        {"", {}, 0, 3 * GiB, 2500000000, 0, "t:0+9536", "Limiting drive use to 3.2 GB max.\nLimiting drive %s to 2.5 GB.\n"},
        // 0.5 GB gives 1904 nonces; the 1 GB target limit is then not exceeded. Limits below a GB
        // are said in the units that fit them, never as 0 GB.
        {"", {}, 0, 500000000, 1000000000, 0, "t:0+1904", "Limiting drive use to 500.0 MB max.\n"},
        {"", {}, 0, 0, 8 * PLOT_SIZE, 0, "t:0+8", "Limiting drive %s to 2.1 MB.\n"},
        {"", {}, 0, 20 * GiB, 0, 0, "t:0+40960", ""},
        {"", {}, AUTO, 0, 0, 0, "t:12884901888+40960", "Auto starting drive %s with nonce 12884901888\n"},
        {"9_12884901888_5000_5000", {}, AUTO, 0, 0, 0, "t:12884906888+40960", "Continuing drive %s from nonce 12884906888\n"},
        // A plot ending right at the automatic start leaves it free.
        {"9_12884901788_100_100", {}, AUTO, 0, 0, 0, "t:12884901888+40960", "Auto starting drive %s with nonce 12884901888\n"},
        // A range ending where a plot begins collides; one beginning where a plot ends does not.
        {"", {{0, 100, 1}}, 0, K, 0, K, "t:1000+1000", K_LINE + "Preventing collision with 0\n"},
        {"", {{1000, 5, 1}}, 0, K, 0, K, "t:2000+1000", K_LINE + "Preventing collision with 0\nPreventing collision with 1000\n"},
        {"", {{900, 100, 1}}, 0, K, 0, K, "t:1000+1000", K_LINE + "Preventing collision with 0\n"},
        {"", {{5000, 10, 1}}, 0, K, 0, K, "t:0+1000", K_LINE},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.jobs + " " + c.log);
        test_dir_s dir;
        if (!c.plot.empty()) test_write_file(dir.file(c.plot), "x");
        drive_s t = make_drive(dir.path, 10 * GiB, 3);
        t.fill_limit = c.fill_limit;
        use("t", {{"t", &t}});
        input.auto_start = c.start == AUTO;
        input.max_fill_bytes = c.max_fill;
        input.max_file_bytes = c.max_file;
        plots.folders.insert("/remembered/");
        plots.ranges["/remembered/"] = c.elsewhere;
        EXPECT_EQ(plan(), c.jobs);
        char expected[512];
        snprintf(expected, sizeof expected, c.log.c_str(), dir.path.c_str());
        EXPECT_EQ(log, expected);
    }
}

// File sizes, written directly or through staging drives from nonce 7: free space, the largest
// file and the fill limit split each target; staged files take half a staging drive at most,
// targets take the staging drives in turn, and a target too full for a file still takes its turn.
// Targets that get no file are named in the result and, where a log is given, in a line saying
// why: the free space planning needs (whole GiB; a staging drive gives a file half of its
// space), or a fill limit below the smallest file. The others are planned as before.
TEST_F(plan_fixture, file_sizes_staging_turns_and_targets_left_out) {
    struct case_s {
        std::string drives;
        uint64_t ssd_free, t0_free, t1_free;  // bytes free on each staging drive, and on t0 and t1
        uint64_t max_file, max_fill;          // largest file and fill limit in bytes; 0 = none
        std::string jobs;
        const char* log = nullptr;            // the whole log, when checked
    };
    const std::string t0_out = "Target /nowhere/t0 is left out: ";
    const std::string t0_space = t0_out + "it has ", needs = " free, and a file needs at least 1.0 GiB free there.\n";
    const std::string window_no_fill = "Limiting drive use to 1.0 MB max.\n" + t0_out +
                                "a fill of 1.0 MB holds no file; the smallest there is 8 nonces (2.1 MB).\n"
                                "Limiting drive use to 1.0 MB max.\nTarget /nowhere/t1 is left out: a fill of 1.0 MB "
                                "holds no file; the smallest there is 8 nonces (2.1 MB).\n";
    const std::string no_staging = t0_out +
                                   "staging drive /nowhere/s0 has 1.0 GiB free, and a staged file needs at least 2.0 GiB "
                                   "there.\nTarget /nowhere/t1 is left out: staging drive /nowhere/s0 has 1.0 GiB free, "
                                   "and a staged file needs at least 2.0 GiB there.\n";
    const std::string logs[] = {t0_space + "512.0 MiB" + needs, t0_space + "0.0 KiB" + needs, t0_space + "0.8 GiB" + needs};
    const case_s cases[] = {
        // 1 GB is 3814 nonces, cut to 3808: three of them and the rest.
        {"t0", 0, 3 * GiB, 0, 1000000000, 0, "t0:7+3808 t0:3815+3808 t0:7623+3808 t0:11431+864"},
        // A largest file below one sector group gives files of one group.
        {"t0", 0, GiB, 0, 1000000, 24 * PLOT_SIZE, "t0:7+8 t0:15+8 t0:23+8"},
        // Half of 5 GiB holds 8192 nonces; 1 GB (3814) is smaller and cut to 3808.
        {"s0>t0", 5 * GiB, 3 * GiB, 0, 1000000000, 0, "s0>t0:7+3808 s0>t0:3815+3808 s0>t0:7623+3808 s0>t0:11431+864"},
        {"s0>t0", 5 * GiB, 3 * GiB, 0, 0, 0, "s0>t0:7+8192 s0>t0:8199+4096"},
        // Half of 1 GiB holds no file: nothing is planned, and planning does not loop.
        {"s0>t0", GiB, 3 * GiB, 0, 0, 0, "out:t0"},
        {"s0>t0 t1", 4 * GiB, 3 * GiB, 3 * GiB, 0, 0, "s0>t0:7+8192 s0>t0:8199+4096 s0>t1:12295+8192 s0>t1:20487+4096"},
        {"s0 s1>t0 t1", 4 * GiB, 3 * GiB, 3 * GiB, 0, 0, "s0>t0:7+8192 s0>t0:8199+4096 s1>t1:12295+8192 s1>t1:20487+4096"},
        {"s0 s1>t0 t1", 4 * GiB, GiB / 2, 3 * GiB, 0, 0, "s1>t1:7+8192 s1>t1:8199+4096 out:t0"},
        {"t0 t1", 0, GiB / 2, 3 * GiB, 0, 0, "t1:7+12288 out:t0", logs[0].c_str()},
        {"t0", 0, 0, 0, 0, 0, "out:t0", logs[1].c_str()},
        {"t0", 0, GiB / 4 * 3, 0, 0, 0, "out:t0", logs[2].c_str()},
        {"s0>t0 t1", GiB, 3 * GiB, 3 * GiB, 0, 0, "out:t0 out:t1", no_staging.c_str()},
        {"t0 t1", 0, 3 * GiB, 3 * GiB, 0, 4 * PLOT_SIZE, "out:t0 out:t1", window_no_fill.c_str()},
        {"t0", 0, GiB, 0, 0, 8 * PLOT_SIZE, "t0:7+8", "Limiting drive use to 2.1 MB max.\n"},
    };
    input.start_nonce = 7;
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.jobs);
        drive_s s0 = make_drive("/nowhere/s0", c.ssd_free), s1 = make_drive("/nowhere/s1", c.ssd_free);
        drive_s t0 = make_drive("/nowhere/t0", c.t0_free), t1 = make_drive("/nowhere/t1", c.t1_free);
        use(c.drives, {{"s0", &s0}, {"s1", &s1}, {"t0", &t0}, {"t1", &t1}});
        input.max_file_bytes = c.max_file;
        input.max_fill_bytes = c.max_fill;
        EXPECT_EQ(plan(), c.jobs);
        if (c.log) {
            EXPECT_EQ(log, c.log);
        }
    }
}

namespace {

uint64_t fake_fsid = 0;  // the file system id the fake statvfs reports

int statvfs_with_fake_fsid(const char* path, struct statvfs* info) {
    const int result = ::statvfs(path, info);
    info->f_fsid = fake_fsid;
    return result;
}

}  // namespace

// The automatic start nonce's seed belongs to the file system: every folder of one file
// system (a staging folder too) gets the same seed in every run, and file systems with other
// ids get other seeds. One that reports no id (0) still keeps a seed from run to run.
TEST(drive, nonce_seed_follows_the_file_system) {
    test_dir_s a, b;
    drive_s first, other;
    struct case_s {
        uint64_t fsid_a, fsid_b;
        bool same;
    };
    const case_s cases[] = {
        {7, 7, true}, {7, 8, false}, {1ull << 32, 1, false}, {0x100000002ull, 0x200000001ull, false}, {0, 0, true},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(std::to_string(c.fsid_a) + " " + std::to_string(c.fsid_b));
        sys_syscalls().statvfs = statvfs_with_fake_fsid;
        fake_fsid = c.fsid_a;
        EXPECT_TRUE(drive_init(&first, a.path.c_str(), false));
        fake_fsid = c.fsid_b;
        EXPECT_TRUE(drive_init(&other, b.path.c_str(), true));
        sys_syscalls_reset();
        EXPECT_EQ(first.nonce_seed == other.nonce_seed, c.same);
    }
}
