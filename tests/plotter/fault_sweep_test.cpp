// Fault sweep over the file services' system calls. A staged run (one SSD folder, one target,
// one 32-nonce file in four batches) is made to fail the Nth call of open, posix_fallocate,
// pwrite, fdatasync, rename or unlink, for every N the clean run reaches (pwrite: the first
// calls and those around the first batch boundary, where the resume record is written). Each
// faulted run and its fault-free rerun happen in a child process, so a fault can never leak into
// the next run. A faulted run must log a line naming the file (or its folder) after the
// fault and leave no complete plot name over wrong bytes, and a failed sync must fail it; the
// rerun must finish the file with the clean run's bytes and leave the staging folder empty.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <new>

#include "engine_support.h"
#include "platform/sys.h"
#include "plotfile/plot_file.h"
#include "plotfile/plots.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 7900104405094198526ull;
constexpr uint64_t NONCES = 32;
constexpr uint64_t ROWS = SCOOPS_PER_PLOT;  // pwrite calls per batch
constexpr uint64_t BATCH = 16;  // a whole number of SIMD lane groups, so no nonce takes the scalar path

enum call_e { CALL_OPEN, CALL_FALLOCATE, CALL_PWRITE, CALL_FDATASYNC, CALL_RENAME, CALL_UNLINK, CALL_NONE };
const char* const call_names[] = {"open", "posix_fallocate", "pwrite", "fdatasync", "rename", "unlink"};

// The fault of a child process (its `nth` call of `call` fails) and the calls it made, in
// memory shared with the parent.
struct fault_s {
    call_e call;
    uint64_t nth;
    std::atomic<uint64_t> calls[CALL_NONE];
};
fault_s* const fault =
    (fault_s*)mmap(nullptr, sizeof(fault_s), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
sys_syscalls_s real;

// Whether this call is the one to fail; it then logs the fault and sets errno to EIO.
bool inject(call_e call) {
    if (++fault->calls[call] != fault->nth || fault->call != call) return false;
    sys_log("Injected fault: %s call %llu fails\n", call_names[call], (unsigned long long)fault->nth);
    return errno = EIO, true;
}

void install_fault_hooks() {
    real = sys_syscalls();
    sys_syscalls_s& t = sys_syscalls();
    t.open = [](const char* p, int flags, mode_t m) { return inject(CALL_OPEN) ? -1 : real.open(p, flags, m); };
    t.posix_fallocate = [](int fd, off_t at, off_t n) {
        return inject(CALL_FALLOCATE) ? ENOSPC : real.posix_fallocate(fd, at, n);
    };
    t.pwrite = [](int d, const void* b, size_t n, off_t o) { return inject(CALL_PWRITE) ? -1 : real.pwrite(d, b, n, o); };
    // The sweep needs no durability: successful syncs only count, which keeps the many
    // runs off the disk's flush queue.
    t.fdatasync = [](int) { return inject(CALL_FDATASYNC) ? -1 : 0; };
    t.fsync = [](int) { return 0; };
    t.rename = [](const char* from, const char* to) { return inject(CALL_RENAME) ? -1 : real.rename(from, to); };
    t.rename_noreplace = [](const char* from, const char* to) {
        return inject(CALL_RENAME) ? -1 : real.rename_noreplace(from, to);
    };
    t.unlink = [](const char* p) { return inject(CALL_UNLINK) ? -1 : real.unlink(p); };
}

struct folders_s { test_dir_s ssd, target, work; };  // work holds log.txt

// Plans and plots the file in a child with the given fault; "exit 0" when the run ended without
// failing, "exit 3" when it failed, or how else the child ended. The calls made
// are left in `fault`.
std::string run(const folders_s& f, call_e call, uint64_t nth) {
    new (fault) fault_s{call, nth, {}};
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);  // a hang ends the child with SIGALRM
        dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
        sys_log_reset_for_tests();
        if (chdir(f.work.path.c_str()) != 0) std::_Exit(4);
        install_fault_hooks();
        settings_reset();
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
        engine_run(plotter, &plots, input, BATCH);
        std::_Exit(plotter->run.failed ? 3 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                             : "signal " + std::to_string(WTERMSIG(status));
}

}  // namespace

TEST(fault_sweep, every_failing_file_call_is_reported_and_a_rerun_finishes_the_same_bytes) {
    const std::string name = plot_file_name(ACCOUNT, 0, NONCES, false);
    folders_s clean_run;
    ASSERT_EQ(run(clean_run, CALL_NONE, 0), "exit 0") << test_read_file(clean_run.work.file("log.txt"));
    const std::vector<uint64_t> totals(std::begin(fault->calls), std::end(fault->calls));
    ASSERT_EQ(engine_list(clean_run.target.path), std::vector<std::string>{name});
    ASSERT_EQ(engine_bad_nonces(clean_run.target.file(name), ACCOUNT, 0, NONCES, false), 0);
    const std::string clean_bytes = test_read_file(clean_run.target.file(name));

    for (call_e call = CALL_OPEN; call < CALL_NONE; call = (call_e)(call + 1)) {
        const uint64_t total = totals[call];
        std::string faulted;  // each fault and how its run ended, for the summary line
        for (uint64_t n = 1; n <= total; ++n) {
            // Every call, except pwrite (4096 rows per batch): its first two calls, its last, and
            // around the first batch boundary the batch's last row, the resume record and the next
            // batch's first row (the later boundaries take the same path).
            if (call == CALL_PWRITE && n > 2 && n != total && (n % ROWS > 2 || n > ROWS + 2)) continue;
            SCOPED_TRACE(std::string(call_names[call]) + " call " + std::to_string(n) + " of " + std::to_string(total));
            folders_s f;
            const std::string status = run(f, call, n), log = test_read_file(f.work.file("log.txt"));
            faulted += " " + std::to_string(n) + " (" + status + ")";
            // Every fault ends in an exit (a failed sync ends the run: no record may promise nonces not
            // on the disk) with a log line after the fault naming the file or one of its folders.
            const std::string after = log.substr(std::min(log.size(), log.find('\n', log.find("Injected fault"))));
            const bool ended = call == CALL_FDATASYNC ? status == "exit 3" : status.rfind("exit", 0) == 0;
            bool named = false;
            for (const std::string& p : {name, f.ssd.path, f.target.path}) named |= after.find(p) != std::string::npos;
            EXPECT_TRUE(ended && named) << status << "\n" << log;
            // The run plans that one file: wherever it has its complete name, its bytes are right.
            for (const std::string& path : {f.ssd.file(name), f.target.file(name)})
                EXPECT_TRUE(!sys_file_exists(path.c_str()) || test_read_file(path) == clean_bytes) << path;

            EXPECT_EQ(run(f, CALL_NONE, 0), "exit 0") << test_read_file(f.work.file("log.txt"));
            EXPECT_EQ(engine_list(f.target.path), std::vector<std::string>{name});
            EXPECT_TRUE(test_read_file(f.target.file(name)) == clean_bytes);
            EXPECT_EQ(engine_list(f.ssd.path), std::vector<std::string>{});
        }
        std::printf("fault sweep: %s failed at calls:%s of %llu\n", call_names[call], faulted.c_str(),
                    (unsigned long long)total);
        EXPECT_NE(faulted, "") << call_names[call] << " is never called by a staged run";
    }
}
