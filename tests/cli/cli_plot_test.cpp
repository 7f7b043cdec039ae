// kestrune-cli plot and check as users run them: names, rerun and resume, interruption by
// SIGTERM and SIGKILL at several points, and exit statuses.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sys.h"
#include "plotter/engine_support.h"
#include "test_support.h"

extern char** environ;

namespace {

constexpr uint64_t ACCOUNT = 7900104405094198526ull;
const std::string BATCH_OF_8 = " -m 0.00390625 -c 1";  // two buffers of 8 nonces

int run_status(const std::string& arguments) { return test_run_cli(arguments).status; }

// Starts the CLI in the background (working folder cwd so log.txt lands there).
pid_t spawn_cli(const std::string& cwd, const std::string& arguments) {
    const std::string command = "cd '" + cwd + "' && exec " + KESTRUNE_CLI_PATH + " " + arguments + " >/dev/null 2>&1";
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ);
    return pid;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Starts a run, waits until `ready` holds (or the run ends), sends `signal` and returns the
// exit status.
int interrupt_cli(const std::string& cwd, const std::string& arguments, const std::function<bool()>& ready,
                  int signal) {
    const pid_t pid = spawn_cli(cwd, arguments);
    for (int i = 0; i < 20000 && !ready(); ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, signal);
    int raw = 0;
    waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

}  // namespace

TEST(CliPlot, BadOptionsExitWithStatusTwo) {
    test_dir_s dir;
    const std::string deep = dir.path + "/" + std::string(200, 'd');
    ASSERT_EQ(std::system(("mkdir -p '" + deep + "'").c_str()), 0);
    const std::string p = " -p " + dir.path;
    for (const std::string& bad :
         {"plot" + p, std::string("plot -i 1"), "plot -i 1" + p + " --bogus", "plot -i 1" + p + " -n 0",
          "plot -i 1" + p + " -s x", "plot -i 1 -p " + dir.file("missing"), "plot -i 1" + p + " -n 8 --fill 1",
          "plot -i BURST-2222-2222-2222-22223" + p, "plot -i 1 -n 8 -p " + deep,
          "plot -i 1 -n 8" + p + " --family bogus", "plot -i 1 -n 8" + p + " -g x", "plot -i 1 -n 8" + p + " -g 99:99",
          // Amounts rounding to zero bytes are refused, not taken as "not given" (a zero fill
          // would otherwise mean the whole drive).
          "plot -i 1 -s 0 -n 8" + p + " --fill 1e-12", "plot -i 1 -s 0 -n 8" + p + " --max-file 1e-12",
          "plot -i 1 -s 0 -n 8" + p + " -m 1e-15", "plot -i 1 -s 0 -n 8" + p + " --fill 0"})
        EXPECT_EQ(run_status(bad), 2) << bad;
    EXPECT_FALSE(exists(dir.file("1_0_8_8")));
    EXPECT_EQ(run_status("plot --help"), 0);
}

TEST(CliPlot, WritesBothFormsAndRerunPlotsNothingNew) {
    test_dir_s dir;
    const std::string id = std::to_string(ACCOUNT);
    ASSERT_EQ(run_status("plot -q -i " + id + " -s 0 -n 8 -c 1 -p " + dir.path), 0);
    ASSERT_EQ(run_status("plot -q -i " + id + " -s 8 -n 8 -c 1 --family scalar --poc2 -p " + dir.path), 0);
    EXPECT_EQ(engine_bad_nonces(dir.file(id + "_0_8_8"), ACCOUNT, 0, 8, false), 0);
    EXPECT_EQ(engine_bad_nonces(dir.file(id + "_8_8"), ACCOUNT, 8, 8, true), 0);
    const std::string again = test_run_cli("plot -i " + id + " -s 0 -n 8 -p " + dir.path).output;
    EXPECT_NE(again.find("already complete"), std::string::npos);
    EXPECT_EQ(run_status("plot -q -i " + id + " -s 0 -n 8 -p " + dir.path), 0);
    EXPECT_EQ(engine_list(dir.path), (std::vector<std::string>{id + "_0_8_8", id + "_8_8"}));

    EXPECT_EQ(run_status("check " + dir.file(id + "_0_8_8")), 0);
    EXPECT_EQ(run_status("check " + dir.file(id + "_0_8_8") + " --full"), 0);
    EXPECT_EQ(run_status("check " + dir.file(id + "_8_8")), 0);
    ASSERT_EQ(std::rename(dir.file(id + "_8_8").c_str(), dir.file(id + "_8_8_8").c_str()), 0);
    const std::string wrong = test_run_cli("check " + dir.file(id + "_8_8_8")).output;
    EXPECT_NE(wrong.find("FAILED (1770 of 1770 samples bad)"), std::string::npos) << wrong;
    EXPECT_EQ(run_status("check " + dir.file(id + "_8_8_8")), 1);
    EXPECT_EQ(run_status("check " + dir.file("log.txt")), 1);
    EXPECT_EQ(run_status("check"), 2);

    const test_cli_s top = test_run_cli("plot -q -i " + id + " -s 18446744073709551615 -n 8 -p " + dir.path);
    EXPECT_EQ(top.status, 1);
    EXPECT_NE(top.output.find("nonce numbers run out"), std::string::npos) << top.output;
}

// A second plotter (another process) finds the file this one is writing: it leaves the file
// alone and plots the next range instead.
TEST(CliPlot, FileAnotherProcessWritesIsLeftAlone) {
    test_dir_s dir;
    const std::string id = std::to_string(ACCOUNT);
    const std::string unfinished = dir.file(id + "_0_8_8.plotting");
    const int64_t held = sys_file_create(unfinished.c_str(), 8 * PLOT_SIZE);
    ASSERT_NE(held, 0);
    EXPECT_EQ(run_status("plot -q -i " + id + " -s 0 -n 8 -c 1 -p " + dir.path), 0);
    sys_file_close(held);
    EXPECT_EQ(test_read_file(unfinished), std::string(8 * PLOT_SIZE, '\0'));
    EXPECT_EQ(engine_list(dir.path), (std::vector<std::string>{id + "_0_8_8.plotting", id + "_8_8_8"}));
    EXPECT_EQ(engine_bad_nonces(dir.file(id + "_8_8_8"), ACCOUNT, 8, 8, false), 0);
}

// SIGTERM with --discard leaves nothing; plain SIGTERM keeps a whole-batch resume record.
// SIGKILL right after creation and after each of two batches, resuming in between. Either
// way the next run ends with one correct file.
TEST(CliPlot, InterruptedRunsResumeToCorrectFiles) {
    test_dir_s work;
    const std::string id = std::to_string(ACCOUNT);
    for (bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "SIGKILL" : "SIGTERM");
        test_dir_s dir;
        const std::string args = "plot -q -i " + id + " -s 0 -n 32" + BATCH_OF_8 + " -p " + dir.path;
        const std::string unfinished = dir.file(id + "_0_32_32.plotting");
        const auto batches = [&](uint64_t n) { return [&, n] { return test_resume_record(unfinished, 32) >= n; }; };
        if (killed) {
            interrupt_cli(work.path, args, [&] { return exists(unfinished); }, SIGKILL);
            for (uint64_t n : {8, 24}) interrupt_cli(work.path, args, batches(n), SIGKILL);
        } else {
            EXPECT_EQ(interrupt_cli(work.path, args + " --discard", batches(8), SIGTERM), 1);
            EXPECT_TRUE(engine_list(dir.path).empty());
            EXPECT_EQ(interrupt_cli(work.path, args, batches(8), SIGTERM), 1);
            ASSERT_TRUE(exists(unfinished));
            EXPECT_EQ(test_resume_record(unfinished, 32) % 8, 0u);
        }
        EXPECT_EQ(run_status(args), 0);
        EXPECT_EQ(engine_list(dir.path), std::vector<std::string>{id + "_0_32_32"});
        EXPECT_EQ(engine_bad_nonces(dir.file(id + "_0_32_32"), ACCOUNT, 0, 32, false), 0);
    }
}
