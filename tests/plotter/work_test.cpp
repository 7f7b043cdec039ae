// The work thread end to end on real files: direct and staged runs, both orders, failed
// creation and rename, lack of space, odd file sizes, staging into the target folder itself,
// and completing a written or staged file on the next pass or run. Stop and resume are
// covered by the CLI's interruption tests.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/statvfs.h>

#include <cstring>

#include "engine_support.h"
#include "platform/sys.h"
#include "plotter/plot_file.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 7900104405094198526ull;

struct work_fixture : ::testing::Test {
    plots_s plots;
    plotter_s* plotter = nullptr;
    plan_input_s input;
    void SetUp() override {
        settings_reset();
        cpu_threads = 1;
        sys_syscalls_reset();
        plotter = plotter_create();
        input.account_id = ACCOUNT;
        input.auto_start = false;
    }
    void TearDown() override {
        plotter_destroy(plotter);
        sys_syscalls_reset();
    }
    void one_target(drive_s* target, uint64_t nonces) {
        input.targets = {target};
        input.max_fill_bytes = nonces * PLOT_SIZE;
    }
    void fresh_plotter() {
        plotter_destroy(plotter);
        plotter = plotter_create();
        plots = plots_s();
    }
};

std::string name_of(uint64_t start, uint64_t count, bool poc2 = false) {
    return plot_file_name(ACCOUNT, start, count, poc2);
}

// The files a folder should hold after a run, each checked against the reference nonces.
void expect_plots(const test_dir_s& dir, const std::vector<std::pair<uint64_t, uint64_t>>& files, bool poc2) {
    std::vector<std::string> names;
    for (const auto& f : files) {
        names.push_back(name_of(f.first, f.second, poc2));
        EXPECT_EQ(engine_bad_nonces(dir.file(names.back()), ACCOUNT, f.first, f.second, poc2), 0) << names.back();
    }
    EXPECT_EQ(engine_list(dir.path), names);
}

}  // namespace

// Direct PoC1 in batches of 16 (24-nonce files end with a partial batch, 8-nonce files are
// one), and PoC2 staged through a drive that ends empty.
TEST_F(work_fixture, direct_and_staged_runs_to_two_targets) {
    for (bool staged : {false, true}) {
        SCOPED_TRACE(staged ? "staged PoC2" : "direct PoC1");
        test_dir_s ssd, a, b;
        drive_s s = engine_drive(ssd.path, true), ta = engine_drive(a.path, false), tb = engine_drive(b.path, false);
        fresh_plotter();
        input.ssds = staged ? std::vector<drive_s*>{&s} : std::vector<drive_s*>{};
        input.targets = {&ta, &tb};
        input.poc2 = staged;
        input.max_fill_bytes = (staged ? 16 : 32) * PLOT_SIZE;
        input.max_file_bytes = (staged ? 16 : 24) * PLOT_SIZE;
        engine_run(plotter, &plots, input, staged ? 8 : 16);
        EXPECT_TRUE(plotter_finished(plotter));
        EXPECT_TRUE(engine_list(ssd.path).empty());
        if (staged) {
            expect_plots(a, {{0, 16}}, true);
            expect_plots(b, {{16, 16}}, true);
        } else {
            expect_plots(a, {{0, 24}, {24, 8}}, false);
            expect_plots(b, {{32, 24}, {56, 8}}, false);
        }
        EXPECT_EQ(ta.bytes_written, (staged ? 16 : 32) * PLOT_SIZE);
        EXPECT_EQ(plotter->run.free_buffers.size(), plotter->run.all_buffers.size());
    }
}

TEST_F(work_fixture, written_file_is_completed_on_stop) {
    test_dir_s a;
    drive_s ta = engine_drive(a.path, false);
    job_s* job = job_create(&ta, nullptr, ACCOUNT, 0, 8);
    plotter_add_job(plotter, job);
    // Lay the whole file down as its last writer would have, then stop before the next pass.
    const std::string unfinished = job_path(job, 0) + ".plotting";
    job->fd = sys_file_create(unfinished.c_str(), 8 * PLOT_SIZE);
    ASSERT_NE(job->fd, 0);
    for (uint64_t i = 0; i < 8; ++i)
        for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
            sys_file_write(job->fd, (s * 8 + i) * SCOOP_SIZE, SCOOP_SIZE,
                           test_reference_nonce(ACCOUNT, i) + s * SCOOP_SIZE);
    job->nonces_done = 8;
    ta.current_job = job;
    job->job_state = JOB_WRITTEN;
    plotter->run.stop = true;
    thread_proc(plotter);
    EXPECT_EQ(job->job_state, JOB_DONE);
    expect_plots(a, {{0, 8}}, false);
}

namespace {
std::string failing_folder;
int open_failing_in_folder(const char* path, int flags, mode_t mode) {
    if (!failing_folder.empty() && std::strncmp(path, failing_folder.c_str(), failing_folder.size()) == 0) {
        errno = EACCES;
        return -1;
    }
    return open(path, flags, mode);
}
int statvfs_tiny(const char* path, struct statvfs* info) {
    const int r = statvfs(path, info);
    info->f_bavail = 1;
    return r;
}
}  // namespace

TEST_F(work_fixture, failed_creation_stops_the_run_and_keeps_other_files) {
    test_dir_s a, b;
    drive_s ta = engine_drive(a.path, false), tb = engine_drive(b.path, false);
    // An earlier unfinished file on the good target must survive the failed run. It takes
    // two batches, so the run fails before it can be complete, however fast its writer is.
    test_write_file(a.file(name_of(0, 16) + ".plotting"), "x");
    input.targets = {&ta, &tb};
    input.max_fill_bytes = 16 * PLOT_SIZE;
    input.start_nonce = 100;
    failing_folder = b.path;
    sys_syscalls().open = open_failing_in_folder;
    engine_run(plotter, &plots, input, 8);
    failing_folder.clear();
    EXPECT_TRUE(plotter->run.failed);
    EXPECT_FALSE(plotter_finished(plotter));
    EXPECT_TRUE(engine_list(b.path).empty());
    const auto names = engine_list(a.path);
    EXPECT_NE(std::find(names.begin(), names.end(), name_of(0, 16) + ".plotting"), names.end());
    EXPECT_EQ(plotter->run.jobs[1]->job_state, JOB_WAITING);
}

TEST_F(work_fixture, job_that_never_fits_ends_the_run) {
    test_dir_s a;
    drive_s ta = engine_drive(a.path, false);
    one_target(&ta, 8);
    drive_plan(plotter, &plots, input);
    ASSERT_EQ(plotter->run.jobs.size(), 1u);
    sys_syscalls().statvfs = statvfs_tiny;
    plotter_setup(plotter, 0, 0, 1, 2 * 8 * PLOT_SIZE);
    plotter_wait(plotter);
    EXPECT_TRUE(plotter->run.stuck);
    EXPECT_EQ(plotter->run.jobs[0]->job_state, JOB_WAITING);
    EXPECT_TRUE(engine_list(a.path).empty());
}

// A finished file that cannot take its plain name is no finished plot: the run fails and
// the file keeps its unfinished name instead of being reported complete.
TEST_F(work_fixture, file_that_cannot_be_renamed_fails_the_run) {
    test_dir_s a;
    drive_s ta = engine_drive(a.path, false);
    one_target(&ta, 8);
    sys_syscalls().rename = [](const char*, const char*) { return errno = EACCES, -1; };
    engine_run(plotter, &plots, input, 8);
    EXPECT_NE(plotter->run.jobs.at(0)->job_state, JOB_DONE);
    EXPECT_TRUE(plotter->run.failed);
    EXPECT_EQ(engine_list(a.path), std::vector<std::string>{name_of(0, 8) + ".plotting"});
}

namespace {
int open_refusing_direct(const char* path, int flags, mode_t mode) {
    if (flags & O_DIRECT) return errno = EINVAL, -1;
    return open(path, flags, mode);
}
}  // namespace

// Files that are not a whole number of batches, in both orders, with and without direct
// writes. Twelve nonces are not even a whole number of sector groups: the resume record
// shares the last sector with nonces that earlier batches wrote.
TEST_F(work_fixture, files_not_a_multiple_of_the_batch_are_all_correct) {
    struct case_s {
        uint64_t nonces, memory_nonces;  // file size; nonces the memory gives each buffer
        bool poc2, refuse_direct;        // order; a file system without direct I/O
        uint64_t batch;                  // expected buffer size
    };
    const case_s cases[] = {
        {12, 8, false, false, 8},
        {36, 64, true, false, 16},  // a quarter of 36 in sector groups: 16, 16, 4
        {36, 64, false, true, 16},
    };
    cpu_threads = 2;
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.nonces);
        test_dir_s a;
        drive_s ta = engine_drive(a.path, false);
        if (c.refuse_direct) sys_syscalls().open = open_refusing_direct;
        job_s* job = job_create(&ta, nullptr, ACCOUNT, 40, c.nonces);
        job->poc2 = c.poc2;
        plotter_add_job(plotter, job);
        ASSERT_TRUE(plotter_setup(plotter, 0, 0, 1, 2 * c.memory_nonces * PLOT_SIZE));
        EXPECT_EQ(plotter->config.buffer_nonces, c.batch);
        plotter_wait(plotter);
        sys_ui_drain();
        EXPECT_TRUE(plotter_finished(plotter));
        expect_plots(a, {{40, c.nonces}}, c.poc2);
        sys_syscalls_reset();
        fresh_plotter();
    }
}

// A staging folder that is also the target folder (spelled alike or with a trailing slash):
// the finished file is already where it belongs, and moving it onto itself must not delete it.
TEST_F(work_fixture, file_staged_in_its_own_target_folder_survives_the_move) {
    for (bool slash : {false, true}) {
        SCOPED_TRACE(slash ? "trailing slash, PoC2" : "same spelling, PoC1");
        test_dir_s dir;
        drive_s ssd = engine_drive(dir.path + (slash ? "/" : ""), true), target = engine_drive(dir.path, false);
        input.ssds = {&ssd};
        input.targets = {&target};
        input.poc2 = slash;
        input.max_fill_bytes = 8 * PLOT_SIZE;
        ASSERT_EQ(engine_run(plotter, &plots, input, 8).jobs.size(), 1u);
        EXPECT_TRUE(plotter_finished(plotter));
        expect_plots(dir, {{0, 8}}, slash);
        fresh_plotter();
    }
}

// A file finished on the staging drive but not moved (the run stopped before its move) is
// moved by the next run of the same plan instead of being left on the staging drive.
TEST_F(work_fixture, staged_file_left_behind_is_moved_by_the_next_run) {
    test_dir_s ssd, a;
    drive_s direct = engine_drive(ssd.path, false);
    input.targets = {&direct};
    input.max_fill_bytes = 8 * PLOT_SIZE;
    engine_run(plotter, &plots, input, 8);
    ASSERT_EQ(engine_list(ssd.path), std::vector<std::string>{name_of(0, 8)});

    fresh_plotter();
    drive_s s = engine_drive(ssd.path, true), ta = engine_drive(a.path, false);
    input.ssds = {&s};
    input.targets = {&ta};
    EXPECT_EQ(engine_run(plotter, &plots, input, 8).jobs.at(0).start, 0u);
    EXPECT_TRUE(plotter_finished(plotter));
    EXPECT_TRUE(engine_list(ssd.path).empty());
    expect_plots(a, {{0, 8}}, false);
}

// A file another writer took over after planning is left alone: not written, not renamed,
// and the run does not report it done. A file this run completes is renamed while its
// writer still holds it, so nobody can take it over under its unfinished name.
namespace {
bool renamed_while_locked = false;
}  // namespace

TEST_F(work_fixture, file_another_writer_holds_is_left_alone) {
    test_dir_s a;
    drive_s ta = engine_drive(a.path, false);
    one_target(&ta, 8);
    drive_plan(plotter, &plots, input);
    const std::string unfinished = a.file(name_of(0, 8) + ".plotting");
    const int64_t other = sys_file_create(unfinished.c_str(), 8 * PLOT_SIZE);
    ASSERT_NE(other, 0);
    ASSERT_TRUE(plotter_setup(plotter, 0, 0, 1, 2 * 8 * PLOT_SIZE));
    plotter_wait(plotter);
    sys_ui_drain();
    sys_file_close(other);
    EXPECT_NE(plotter->run.jobs.at(0)->job_state, JOB_DONE);
    EXPECT_EQ(engine_list(a.path), std::vector<std::string>{name_of(0, 8) + ".plotting"});
    EXPECT_EQ(test_read_file(unfinished), std::string(8 * PLOT_SIZE, '\0'));

    fresh_plotter();
    sys_syscalls().rename = [](const char* from, const char* to) {
        renamed_while_locked = sys_file_locked(from);
        return ::rename(from, to);
    };
    engine_run(plotter, &plots, input, 8);
    EXPECT_TRUE(renamed_while_locked);
    expect_plots(a, {{0, 8}}, false);
}

// Nonces a front end shows: handed-off batches plus the published progress of the batch in
// the compute buffer, only while the job plots with both buffers, never past the file.
TEST(job_nonces_computed, counts_the_batch_in_progress) {
    test_batch_s compute(8), write(8);
    compute.batch.progress = 5;
    for (auto [state, buffers, done, want] : {std::tuple{JOB_WAITING, false, 0, 0}, {JOB_PLOTTING, true, 8, 13},
                                              {JOB_PLOTTING, false, 8, 8}, {JOB_PLOTTING, true, 18, 20},
                                              {JOB_WRITTEN, true, 12, 20}, {JOB_DONE, false, 0, 20}}) {
        job_s job;
        job.nonce_count = 20;
        job.job_state = state;
        job.nonces_done = done;
        job.compute_buffer = buffers ? &compute.batch : nullptr;
        job.write_buffer = buffers ? &write.batch : nullptr;
        EXPECT_EQ(job_nonces_computed(&job), (uint64_t)want) << state << " " << done;
    }
}
