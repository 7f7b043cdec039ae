// Fault sweep over the platform's system calls. A staged run (one SSD folder, one target, one
// 32-nonce file in four batches) is made to fail the Nth call of one kind, for every N the
// clean run reaches (pwrite: the first calls and those around the first batch boundary, where
// the resume record is written). Each faulted run and its fault-free rerun happen in a child
// process, so a fault can never leak into the next run. A faulted run must end (no crash, no
// hang) and leave no complete plot name over wrong bytes; a failed sync must fail it. A failed
// open, preallocation, write, sync, rename or unlink must be logged with a line naming the file
// (or its folder) after the fault; any other call's failure must be logged so, or leave the run
// unharmed (it ends well with the clean run's file on the target). The rerun must finish the
// file with the clean run's bytes and leave the staging folder empty.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "engine_support.h"
#include "platform/fault_injection.h"
#include "platform/sys.h"
#include "plotfile/plotfile.h"

namespace {

constexpr uint64_t ACCOUNT = 7900104405094198526ull;
constexpr uint64_t NONCES = 32;
constexpr uint64_t ROWS = SCOOPS_PER_PLOT;  // pwrite calls per batch
constexpr uint64_t BATCH = 16;  // a whole number of SIMD lane groups, so no nonce takes the scalar path

// The kinds swept (each a test of its own, so that each stays short), with the error their
// failure reports; `named`: a failure is always logged. A staged run makes no stream write,
// no link (renames refuse to replace by themselves) and no read (nothing to resume).
struct swept_s {
    fault_call_e call;
    int error;
    bool named;
};
const swept_s swept[] = {
    {FAULT_OPEN, EIO, true},       {FAULT_FALLOCATE, ENOSPC, true}, {FAULT_PWRITE, EIO, true},
    {FAULT_FDATASYNC, EIO, true},  {FAULT_RENAME, EIO, true},       {FAULT_UNLINK, EIO, true},
    {FAULT_FSYNC, EIO, false},     {FAULT_FTRUNCATE, EIO, false},   {FAULT_SENDFILE, EIO, false},
    {FAULT_CLOSE, EIO, false},     {FAULT_STAT, EIO, false},        {FAULT_STATX, EIO, false},
    {FAULT_STATVFS, EIO, false},   {FAULT_ACCESS, EIO, false},      {FAULT_LOCK, EIO, false},
    {FAULT_OPENDIR, EIO, false},   {FAULT_READDIR, EIO, false},
};

// Test names and traces show the kind by its call's name.
void PrintTo(const swept_s& kind, std::ostream* out) { *out << fault_call_name(kind.call); }

struct folders_s { test_dir_s ssd, target, work; };  // work holds log.txt

// Plots the file in a child with the given fault; "exit 0" when the run ended well, "exit 3"
// when it failed, or how else the child ended. The child's calls are left in fault_calls.
std::string run(const folders_s& f, fault_call_e call, uint64_t nth, int error = EIO) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);  // a hang ends the child with SIGALRM
        dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
        sys_log_reset_for_tests();
        if (chdir(f.work.path.c_str()) != 0) std::_Exit(4);
        fault_install({call, nth, false, error, "", false, true});  // logged: "Injected fault: ..."
        std::_Exit(engine_plot(f.target.path, f.ssd.path, ACCOUNT, NONCES, BATCH));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                             : "signal " + std::to_string(WTERMSIG(status));
}

}  // namespace

struct fault_sweep : ::testing::TestWithParam<swept_s> {};

TEST_P(fault_sweep, every_failing_call_is_reported_and_a_rerun_finishes_the_same_bytes) {
    const swept_s& kind = GetParam();
    const fault_call_e call = kind.call;
    const std::string name = plotfile_name(ACCOUNT, 0, NONCES, false), clean_bytes = engine_reference_plot(ACCOUNT, 0, NONCES);
    // The run's end: the plot on the target, byte-exact, alone, and the staging folder empty.
    const auto finished = [&](const folders_s& f) {
        return engine_list(f.ssd.path).empty() && engine_list(f.target.path) == std::vector<std::string>{name} &&
               test_read_file(f.target.file(name)) == clean_bytes;
    };
    folders_s clean_run;
    ASSERT_EQ(run(clean_run, FAULT_NONE, 0), "exit 0") << test_read_file(clean_run.work.file("log.txt"));
    ASSERT_TRUE(finished(clean_run));
    const uint64_t total = fault_calls(call);

    std::string faulted;  // each fault and how its run ended, for the summary line
    for (uint64_t n = 1; n <= total; ++n) {
        // Every call, except pwrite (4096 rows per batch): its first two calls, its last, and
        // around the first batch boundary the batch's last row, the resume record and the next
        // batch's first row (the later boundaries take the same path).
        if (call == FAULT_PWRITE && n > 2 && n != total && (n % ROWS > 2 || n > ROWS + 2)) continue;
        SCOPED_TRACE(std::string(fault_call_name(call)) + " call " + std::to_string(n) + " of " + std::to_string(total));
        folders_s f;
        const std::string status = run(f, call, n, kind.error), log = test_read_file(f.work.file("log.txt"));
        faulted += " " + std::to_string(n) + " (" + status + ")";
        // Every fault ends in an exit (a failed sync ends the run: no record may promise nonces not
        // on the disk) with a log line after the fault naming the file or one of its folders, or,
        // where allowed, with the run unharmed.
        const std::string after = log.substr(std::min(log.size(), log.find('\n', log.find("Injected fault"))));
        const bool ended = call == FAULT_FDATASYNC ? status == "exit 3" : status.rfind("exit", 0) == 0;
        bool named = false;
        for (const std::string& p : {name, f.ssd.path, f.target.path}) named |= after.find(p) != std::string::npos;
        EXPECT_TRUE(ended && (named || (!kind.named && status == "exit 0" && finished(f)))) << status << "\n" << log;
        // The run plans that one file: wherever it has its complete name, its bytes are right.
        for (const std::string& path : {f.ssd.file(name), f.target.file(name)})
            EXPECT_TRUE(!sys_file_exists(path.c_str()) || test_read_file(path) == clean_bytes) << path;

        EXPECT_EQ(run(f, FAULT_NONE, 0), "exit 0") << test_read_file(f.work.file("log.txt"));
        EXPECT_TRUE(finished(f)) << "the rerun";
    }
    std::printf("fault sweep: %s failed at calls:%s of %llu\n", fault_call_name(call), faulted.c_str(),
                (unsigned long long)total);
    EXPECT_NE(faulted, "") << fault_call_name(call) << " is never called by a staged run";
}

INSTANTIATE_TEST_SUITE_P(calls, fault_sweep, ::testing::ValuesIn(swept),
                         [](const ::testing::TestParamInfo<swept_s>& info) { return fault_call_name(info.param.call); });
