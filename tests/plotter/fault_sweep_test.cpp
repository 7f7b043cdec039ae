// Fault sweep over the file services' system calls. A staged run (one SSD folder, one target,
// one 32-nonce file in four batches) is made to fail the Nth call of open, posix_fallocate,
// pwrite, fdatasync, rename or unlink, for every N the clean run reaches (pwrite: the first
// calls and those around the first batch boundary, where the resume record is written). Each
// faulted run and its fault-free rerun happen in a child process, since write and move errors
// end the process. A faulted run must log a line naming the file (or its folder) after the
// fault and leave no complete plot name over wrong bytes; the rerun must finish the file with
// the clean run's bytes and leave the staging folder empty.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <algorithm>

#include "engine_support.h"
#include "platform/sys.h"
#include "plotter/plot_file.h"
#include "plotter/plots.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 7900104405094198526ull;
constexpr uint64_t NONCES = 32;
constexpr uint64_t BATCH = 16;  // a whole number of SIMD lane groups, so no nonce takes the scalar path
constexpr uint64_t ROWS = SCOOPS_PER_PLOT;  // pwrite calls per batch

enum call_e { CALL_OPEN, CALL_FALLOCATE, CALL_PWRITE, CALL_FDATASYNC, CALL_RENAME, CALL_UNLINK, CALL_NONE };
const char* const call_names[] = {"open", "posix_fallocate", "pwrite", "fdatasync", "rename", "unlink"};

// The fault of this (child) process: the `nth` call of `call` fails.
struct fault_s {
    call_e call = CALL_NONE;
    uint64_t nth = 0;
    std::atomic<uint64_t> calls[CALL_NONE] = {};
    sys_syscalls_s real;
} fault;

bool inject(call_e call) {
    if (++fault.calls[call] != fault.nth || fault.call != call) return false;
    sys_log("Injected fault: %s call %llu fails\n", call_names[call], (unsigned long long)fault.nth);
    return true;
}

void install_fault_hooks(call_e call, uint64_t nth) {
    fault.call = call;
    fault.nth = nth;
    fault.real = sys_syscalls();
    sys_syscalls_s& table = sys_syscalls();
    table.open = [](const char* path, int flags, mode_t mode) {
        return inject(CALL_OPEN) ? (errno = EIO, -1) : fault.real.open(path, flags, mode);
    };
    table.posix_fallocate = [](int fd, off_t offset, off_t length) {
        return inject(CALL_FALLOCATE) ? ENOSPC : fault.real.posix_fallocate(fd, offset, length);
    };
    table.pwrite = [](int fd, const void* buffer, size_t length, off_t offset) -> ssize_t {
        return inject(CALL_PWRITE) ? (errno = EIO, -1) : fault.real.pwrite(fd, buffer, length, offset);
    };
    // The sweep needs no durability: successful syncs only count, which keeps the many
    // runs off the disk's flush queue.
    table.fdatasync = [](int) { return inject(CALL_FDATASYNC) ? (errno = EIO, -1) : 0; };
    table.fsync = [](int) { return 0; };
    table.rename = [](const char* from, const char* to) {
        return inject(CALL_RENAME) ? (errno = EIO, -1) : fault.real.rename(from, to);
    };
    table.unlink = [](const char* path) { return inject(CALL_UNLINK) ? (errno = EIO, -1) : fault.real.unlink(path); };
}

struct folders_s {
    test_dir_s ssd, target, work;  // work holds log.txt
};

// Plans and plots the file in the child; exits 0 when every job is done, 3 when the run
// ended otherwise. The call counts go to `report` on the way out.
[[noreturn]] void child_run(const folders_s& f, call_e call, uint64_t nth, int report) {
    alarm(60);  // a hang ends the child with SIGALRM
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    sys_log_reset_for_tests();
    if (chdir(f.work.path.c_str()) != 0) std::_Exit(4);
    install_fault_hooks(call, nth);
    settings_reset();
    cpu_threads = 1;
    plotter_s* plotter = plotter_create();
    plots_s plots;
    drive_s ssd = engine_drive(f.ssd.path, true), target = engine_drive(f.target.path, false);
    plan_input_s input;
    input.account_id = ACCOUNT;
    input.auto_start = false;
    input.skip_complete = true;
    input.ssds = {&ssd};
    input.targets = {&target};
    input.max_fill_bytes = NONCES * PLOT_SIZE;
    const plan_result_s plan = drive_plan(plotter, &plots, input);
    bool done = true;
    if (!plan.jobs.empty()) {
        plotter_setup(plotter, 0, 1, 1, BATCH * PLOT_SIZE * 2);
        plotter_wait(plotter);
        sys_ui_drain();
        plotter_for_each_job(plotter, [&](job_s* job) { return done = done && job->job_state == JOB_DONE; });
    }
    uint64_t counts[CALL_NONE];
    std::copy(std::begin(fault.calls), std::end(fault.calls), counts);
    if (write(report, counts, sizeof counts) != (ssize_t)sizeof counts) std::_Exit(5);
    std::_Exit(done ? 0 : 3);
}

struct outcome_s {
    std::string status;               // "exit N" or "signal N"
    uint64_t counts[CALL_NONE] = {};  // calls made, when the run got to its end
    std::string log;                  // log.txt of the run
};

outcome_s run(const folders_s& f, call_e call, uint64_t nth) {
    int pipe_fds[2];
    EXPECT_EQ(pipe(pipe_fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        child_run(f, call, nth, pipe_fds[1]);
    }
    close(pipe_fds[1]);
    outcome_s out;
    ssize_t got = read(pipe_fds[0], out.counts, sizeof out.counts);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (got != (ssize_t)sizeof out.counts) std::memset(out.counts, 0, sizeof out.counts);
    out.status = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                   : "signal " + std::to_string(WTERMSIG(status));
    out.log = test_read_file(f.work.file("log.txt"));
    return out;
}

// Names of complete plot files in a folder whose bytes are not the clean run's.
std::vector<std::string> wrong_complete_files(const std::string& folder, const std::string& clean) {
    std::vector<std::string> wrong;
    for (const std::string& name : engine_list(folder)) {
        plot_name_s parsed;
        const plot_name_e kind = plot_name_parse(name.c_str(), &parsed);
        const bool complete = (kind == PLOT_NAME_POC1 || kind == PLOT_NAME_POC2) && !*parsed.rest;
        if (complete && test_read_file(folder + "/" + name) != clean)
            wrong.push_back(name);
    }
    return wrong;
}

// Whether the log after the injected fault names the file or one of its folders.
bool error_names_file(const std::string& log, const std::string& name, const folders_s& f) {
    const size_t marker = log.find("Injected fault");
    if (marker == std::string::npos) return false;
    const std::string after = log.substr(log.find('\n', marker) + 1);
    for (const std::string& part : {name, f.ssd.path, f.target.path})
        if (after.find(part) != std::string::npos) return true;
    return false;
}

}  // namespace

TEST(fault_sweep, every_failing_file_call_is_reported_and_a_rerun_finishes_the_same_bytes) {
    const std::string name = plot_file_name(ACCOUNT, 0, NONCES, false);
    folders_s clean_run;
    const outcome_s clean = run(clean_run, CALL_NONE, 0);
    ASSERT_EQ(clean.status, "exit 0") << clean.log;
    ASSERT_EQ(engine_list(clean_run.target.path), std::vector<std::string>{name});
    ASSERT_EQ(engine_bad_nonces(clean_run.target.file(name), ACCOUNT, 0, NONCES, false), 0);
    const std::string clean_bytes = test_read_file(clean_run.target.file(name));

    for (int c = 0; c < CALL_NONE; ++c) {
        const call_e call = (call_e)c;
        const uint64_t total = clean.counts[call];
        uint64_t faults = 0;
        std::string statuses;  // how each faulted run ended, for the summary line
        for (uint64_t n = 1; n <= total; ++n) {
            // Every call, except pwrite (4096 rows per batch): its first two calls, its last, and
            // around the first batch boundary the batch's last row, the resume record and the next
            // batch's first row (the later boundaries take the same path).
            if (call == CALL_PWRITE && n > 2 && n != total && (n % ROWS > 2 || n > ROWS + 2)) continue;
            SCOPED_TRACE(std::string(call_names[call]) + " call " + std::to_string(n) + " of " + std::to_string(total));
            ++faults;
            folders_s f;
            const outcome_s faulted = run(f, call, n);
            statuses += " " + std::to_string(n) + " (" + faulted.status + ")";
            EXPECT_TRUE(faulted.status.rfind("exit", 0) == 0) << faulted.status << "\n" << faulted.log;
            EXPECT_TRUE(error_names_file(faulted.log, name, f)) << faulted.status << "\n" << faulted.log;
            EXPECT_EQ(wrong_complete_files(f.ssd.path, clean_bytes), std::vector<std::string>{});
            EXPECT_EQ(wrong_complete_files(f.target.path, clean_bytes), std::vector<std::string>{});

            const outcome_s rerun = run(f, CALL_NONE, 0);
            EXPECT_EQ(rerun.status, "exit 0") << rerun.log;
            EXPECT_EQ(engine_list(f.target.path), std::vector<std::string>{name}) << rerun.log;
            EXPECT_TRUE(test_read_file(f.target.file(name)) == clean_bytes);
            EXPECT_EQ(engine_list(f.ssd.path), std::vector<std::string>{}) << rerun.log;
        }
        std::printf("fault sweep: %s failed at %llu of %llu calls:%s\n", call_names[call],
                    (unsigned long long)faults, (unsigned long long)total, statuses.c_str());
        EXPECT_GT(faults, 0u) << call_names[call] << " is never called by a staged run";
    }
}
