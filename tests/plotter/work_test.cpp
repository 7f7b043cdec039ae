// The work thread end to end on real files: direct and staged runs, both orders, stop and
// resume, failed creation, lack of space, and completing a written file on stop.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/statvfs.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

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
    void fresh_plotter() {
        plotter_destroy(plotter);
        plotter = plotter_create();
        plots = plots_s();
    }
};

std::string name_of(uint64_t start, uint64_t count, bool poc2) {
    return plot_file_name(ACCOUNT, start, count, poc2);
}

uint64_t resume_value(const std::string& path, uint64_t nonces) {
    std::ifstream f(path, std::ios::binary);
    f.seekg((std::streamoff)(nonces * PLOT_SIZE - 8));
    uint8_t bytes[8] = {};
    f.read((char*)bytes, 8);
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= (uint64_t)bytes[i] << (8 * i);
    return v;
}

}  // namespace

TEST_F(work_fixture, direct_mode_two_targets_poc1) {
    test_dir_s a, b;
    drive_s ta = engine_drive(a.path, false), tb = engine_drive(b.path, false);
    input.targets = {&ta, &tb};
    input.max_fill_bytes = 24 * PLOT_SIZE;
    input.max_file_bytes = 16 * PLOT_SIZE;
    const plan_result_s plan = engine_run(plotter, &plots, input, 8);
    ASSERT_EQ(plan.jobs.size(), 4u);
    EXPECT_FALSE(plotter->failed);
    EXPECT_TRUE(plotter_finished(plotter));
    EXPECT_EQ(engine_list(a.path), (std::vector<std::string>{name_of(0, 16, false), name_of(16, 8, false)}));
    EXPECT_EQ(engine_list(b.path), (std::vector<std::string>{name_of(24, 16, false), name_of(40, 8, false)}));
    EXPECT_EQ(engine_bad_nonces(a.file(name_of(0, 16, false)), ACCOUNT, 0, 16, false), 0);
    EXPECT_EQ(engine_bad_nonces(a.file(name_of(16, 8, false)), ACCOUNT, 16, 8, false), 0);
    EXPECT_EQ(engine_bad_nonces(b.file(name_of(24, 16, false)), ACCOUNT, 24, 16, false), 0);
    EXPECT_EQ(engine_bad_nonces(b.file(name_of(40, 8, false)), ACCOUNT, 40, 8, false), 0);
    EXPECT_EQ(plotter->free_buffers.size(), plotter->all_buffers.size());
}

TEST_F(work_fixture, ssd_mode_moves_poc2_files_to_both_targets) {
    test_dir_s ssd, a, b;
    drive_s s = engine_drive(ssd.path, true);
    drive_s ta = engine_drive(a.path, false), tb = engine_drive(b.path, false);
    input.ssds = {&s};
    input.targets = {&ta, &tb};
    input.poc2 = true;
    input.max_fill_bytes = 16 * PLOT_SIZE;
    const plan_result_s plan = engine_run(plotter, &plots, input, 8);
    ASSERT_EQ(plan.jobs.size(), 2u);
    EXPECT_FALSE(plotter->failed);
    EXPECT_TRUE(engine_list(ssd.path).empty());
    EXPECT_EQ(engine_list(a.path), std::vector<std::string>{name_of(0, 16, true)});
    EXPECT_EQ(engine_list(b.path), std::vector<std::string>{name_of(16, 16, true)});
    EXPECT_EQ(engine_bad_nonces(a.file(name_of(0, 16, true)), ACCOUNT, 0, 16, true), 0);
    EXPECT_EQ(engine_bad_nonces(b.file(name_of(16, 16, true)), ACCOUNT, 16, 16, true), 0);
    EXPECT_EQ(ta.bytes_written, 16 * PLOT_SIZE);
}

TEST_F(work_fixture, batch_larger_than_the_rest_of_the_file) {
    test_dir_s a;
    drive_s ta = engine_drive(a.path, false);
    input.targets = {&ta};
    input.max_fill_bytes = 24 * PLOT_SIZE;
    engine_run(plotter, &plots, input, 16);  // batches of 16 for a 24-nonce file
    EXPECT_EQ(engine_bad_nonces(a.file(name_of(0, 24, false)), ACCOUNT, 0, 24, false), 0);
}

TEST_F(work_fixture, stop_keeping_files_then_resume) {
    test_dir_s a;
    drive_s ta = engine_drive(a.path, false);
    input.targets = {&ta};
    input.max_fill_bytes = 32 * PLOT_SIZE;
    engine_start(plotter, &plots, input, 8);
    job_s* job = plotter->jobs.at(0);
    while (job->nonces_done < 16 && !plotter->ended) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    plotter_stop(plotter, true);
    const std::string unfinished = a.file(name_of(0, 32, false) + ".plotting");
    ASSERT_TRUE(sys_file_exists(unfinished.c_str()));
    const uint64_t record = resume_value(unfinished, 32);
    EXPECT_GE(record, 8u);
    EXPECT_LT(record, 32u);
    EXPECT_EQ(record % 8, 0u);

    fresh_plotter();
    ta = engine_drive(a.path, false);
    const plan_result_s plan = engine_run(plotter, &plots, input, 8);
    ASSERT_EQ(plan.jobs.size(), 1u);
    EXPECT_TRUE(plan.jobs[0].resume);
    EXPECT_EQ(plotter->jobs[0]->resume_from, record);
    EXPECT_EQ(engine_list(a.path), std::vector<std::string>{name_of(0, 32, false)});
    EXPECT_EQ(engine_bad_nonces(a.file(name_of(0, 32, false)), ACCOUNT, 0, 32, false), 0);
}

TEST_F(work_fixture, stop_without_keeping_files_deletes_them) {
    test_dir_s a;
    drive_s ta = engine_drive(a.path, false);
    input.targets = {&ta};
    input.max_fill_bytes = 32 * PLOT_SIZE;
    engine_start(plotter, &plots, input, 8);
    job_s* job = plotter->jobs.at(0);
    while (job->nonces_done < 16 && !plotter->ended) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    plotter_stop(plotter, false);
    EXPECT_TRUE(engine_list(a.path).empty());
    EXPECT_FALSE(plotter_finished(plotter));
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
    std::vector<uint8_t> nonce(PLOT_SIZE);
    for (uint64_t i = 0; i < 8; ++i) {
        nonce_compute(ACCOUNT, i, nonce.data(), false);
        for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
            sys_file_write(job->fd, (s * 8 + i) * SCOOP_SIZE, SCOOP_SIZE, &nonce[s * SCOOP_SIZE]);
    }
    job->nonces_done = 8;
    ta.current_job = job;
    job->job_state = JOB_WRITTEN;
    plotter->stop = true;
    thread_proc(plotter);
    EXPECT_EQ(job->job_state, JOB_DONE);
    EXPECT_EQ(engine_list(a.path), std::vector<std::string>{name_of(0, 8, false)});
    EXPECT_EQ(engine_bad_nonces(job_path(job, 0), ACCOUNT, 0, 8, false), 0);
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
    // An earlier unfinished file on the good target must survive the failed run.
    {
        std::ofstream(a.file(name_of(0, 8, false) + ".plotting")) << "x";
    }
    input.targets = {&ta, &tb};
    input.max_fill_bytes = 8 * PLOT_SIZE;
    input.start_nonce = 100;
    failing_folder = b.path;
    sys_syscalls().open = open_failing_in_folder;
    engine_run(plotter, &plots, input, 8);
    failing_folder.clear();
    EXPECT_TRUE(plotter->failed);
    EXPECT_FALSE(plotter_finished(plotter));
    EXPECT_TRUE(engine_list(b.path).empty());
    const auto names = engine_list(a.path);
    EXPECT_NE(std::find(names.begin(), names.end(), name_of(0, 8, false) + ".plotting"), names.end());
    EXPECT_EQ(plotter->jobs[1]->job_state, JOB_WAITING);
}

TEST_F(work_fixture, job_that_never_fits_ends_the_run) {
    test_dir_s a;
    drive_s ta = engine_drive(a.path, false);
    input.targets = {&ta};
    input.max_fill_bytes = 8 * PLOT_SIZE;
    drive_plan(plotter, &plots, input);
    ASSERT_EQ(plotter->jobs.size(), 1u);
    sys_syscalls().statvfs = statvfs_tiny;
    plotter_setup(plotter, 0, 0, 1, 2 * 8 * PLOT_SIZE);
    plotter_wait(plotter);
    EXPECT_TRUE(plotter->stuck);
    EXPECT_EQ(plotter->jobs[0]->job_state, JOB_WAITING);
    EXPECT_TRUE(engine_list(a.path).empty());
}
