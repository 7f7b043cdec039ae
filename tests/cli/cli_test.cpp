// kestrune-cli as users run it: nonce bytes, answers and exit statuses of every command (also
// when output is lost), plotting, rerun and resume after SIGTERM and SIGKILL, the words for
// nonce counts and targets left out, a log.txt that cannot be opened, automatic start nonces
// over successive runs, files being converted, and check on plot files and special files.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

#include "gpu/gpu.h"
#include "nonce/cpu.h"
#include "platform/sys.h"
#include "plotter/engine_support.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 7900104405094198526ull;
const std::string ID = std::to_string(ACCOUNT);

// Starts a run in the background, waits until `ready` holds (or the run ends), sends `signal`
// and returns the exit status.
int interrupt_cli(const std::string& arguments, const std::function<bool()>& ready, int signal) {
    const std::string command = std::string("exec ") + KESTRUNE_CLI_PATH + " " + arguments + " >/dev/null 2>&1";
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), (char*)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 20000 && !ready(); ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return -1;
        usleep(1000);
    }
    kill(pid, signal);
    int raw = 0;
    waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// Runs kestrune-cli in `folder`, where its log.txt goes; standard error joins the output.
test_cli_s run_cli_in(const std::string& folder, const std::string& arguments) {
    return test_run_cli(arguments + " 2>&1; exit $?", "cd '" + folder + "' &&");
}

// The lines of `text` that contain `part`.
std::vector<std::string> lines_with(const std::string& text, const std::string& part) {
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(part) != std::string::npos) found.push_back(line);
    return found;
}

// `text` with every "DIR" replaced by `dir`.
std::string in_dir(std::string text, const std::string& dir) {
    for (size_t at; (at = text.find("DIR")) != std::string::npos;) text.replace(at, 3, dir);
    return text;
}

}  // namespace

// One nonce to standard output, and one in PoC2 order to a file (account 0, nonce 0).
TEST(CliNonce, WritesTheReferenceBytesToStdoutAndFiles) {
    const auto rows = test_read_vectors("nonces.tsv");
    test_dir_s dir;
    const test_cli_s poc1 = test_run_cli("nonce " + rows.back()[0] + " " + rows.back()[1]);
    const test_cli_s poc2 = test_run_cli("nonce BURST-2222-2222-2222-22222 0 --poc2 -o " + dir.file("nonce"));
    const std::string file = test_read_file(dir.file("nonce"));
    EXPECT_EQ(poc1.status + poc2.status, 0);
    EXPECT_EQ(test_sha256_hex((const uint8_t*)poc1.output.data(), poc1.output.size()), rows.back()[2]);
    EXPECT_EQ(test_sha256_hex((const uint8_t*)file.data(), file.size()), rows.front()[3]);
}

// Every command's exit status, and its answer where that is the point. Output that never
// reaches the reader is a failure; a device that takes the bytes but cannot be synced is none.
// Plot amounts rounding to zero bytes are refused, not taken as "not given" (a zero fill would
// mean the whole drive). Refused plots and a bench plot leave nothing behind.
TEST(Cli, ExitStatusesAndAnswersOfEveryCommand) {
    test_dir_s dir, other;
    const std::string p = " -p " + dir.path, deep = other.path + "/" + std::string(200, 'd');
    ASSERT_TRUE(std::filesystem::create_directory(deep));
    const std::pair<int, std::vector<std::string>> statuses[] = {
        {2, {"nonce 1", "nonce 1 x12", "nonce 1 18446744073709551616", "nonce 1 2 --bogus", "frobnicate", "", "check",
             "nonce BURST-2222-2222-2222-22223 2", "address", "bench --family avx3", "bench --cpu 0", "bench --cpu",
             "bench --seconds -1", "bench --frobnicate", "bench --nonces 8", "bench --plot", "plot" + p, "plot -i 1",
             "plot -i 1" + p + " --bogus", "plot -i 1" + p + " -n 0", "plot -i 1" + p + " -s x",
             "plot -i 1 -p " + dir.file("missing"), "plot -i 1" + p + " -n 8 --fill 1",
             "plot -i BURST-2222-2222-2222-22223" + p, "plot -i 1 -n 8 -p " + deep,
             "plot -i 1 -n 8" + p + " --family bogus", "plot -i 1 -n 8" + p + " -g x",
             "plot -i 1 -n 8" + p + " -g 99:99",
             "plot -i 1 -s 0 -n 8" + p + " --fill 1e-12", "plot -i 1 -s 0 -n 8" + p + " --max-file 1e-12",
             "plot -i 1 -s 0 -n 8" + p + " -m 1e-15", "plot -i 1 -s 0 -n 8" + p + " --fill 0"}},
        {1, {"address BURST-Z8PQ-LFLU-CWUJ-D5LXY", "address 18446744073709551616", "address 123456 >/dev/full",
             "nonce 1 5 >/dev/full", "bench --plot /nonexistent/kestrune --nonces 8 --seconds 0.01"}},
        {0, {"address --help", "plot --help", "address 123456 >/dev/null", "nonce 1 5 -o /dev/null"}},
    };
    for (const auto& group : statuses)
        for (const std::string& arguments : group.second)
            EXPECT_EQ(test_run_cli(arguments).status, group.first) << arguments;
    const std::pair<std::string, const char*> answers[] = {  // arguments; a pattern all of the output matches
        {"nonce --help", "usage: kestrune-cli nonce [\\s\\S]*"},
        {"bench --help", "usage: kestrune-cli bench [\\s\\S]*"},
        {"address BURST-Z8PQ-LFLU-CWUJ-D5LXX", "13760260011822389942\n"},
        {"address 7900104405094198526", "7900104405094198526\n"},
        {"bench --family scalar --cpu 1 --seconds 0.01 --csv",
         "family,threads,nonces,seconds,nonces_per_min\nscalar,1,\\d+,\\d+\\.\\d+,\\d+\\.\\d\n"},
        {"bench --plot " + dir.path + " --nonces 1 --cpu 1 --seconds 0.01", "[\\s\\S]* of compute only\n[\\s\\S]*"},
    };
    for (const auto& answer : answers) {
        const test_cli_s run = test_run_cli(answer.first);
        EXPECT_EQ(run.status, 0) << answer.first;
        EXPECT_TRUE(std::regex_match(run.output, std::regex(answer.second))) << answer.first << ":\n" << run.output;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
    for (cpu_family_e f : {CPU_FAMILY_SSE4, CPU_FAMILY_AVX, CPU_FAMILY_AVX2, CPU_FAMILY_AVX512}) {
        const std::string family = cpu_family_name(f);
        EXPECT_TRUE(cpu_family_available(f) || test_run_cli("bench --family " + family).status == 1) << family;
    }
}

// Both forms plot and pass a full check (every nonce recomputed). A file another process is
// writing is left alone and the next range plotted instead; a rerun plots nothing new; check fails a file under the wrong form's name; the last nonce numbers cannot be plotted.
TEST(CliPlot, WritesBothFormsLeavesOtherWritersFilesAndRerunPlotsNothingNew) {
    test_dir_s dir;
    const std::string p = " -p " + dir.path, unfinished = dir.file(ID + "_0_8_8.plotting"), poc1 = dir.file(ID + "_8_8_8");
    const int64_t held = test_create_file(unfinished, 8 * PLOT_SIZE);
    ASSERT_NE(held, 0);
    ASSERT_EQ(test_run_cli("plot -q -i " + ID + " -s 0 -n 8 -c 1" + p).status, 0);
    ASSERT_EQ(test_run_cli("plot -q -i " + ID + " -s 16 -n 8 -c 1 --family scalar --poc2" + p).status, 0);
    const test_cli_s again = test_run_cli("plot -i " + ID + " -s 8 -n 8" + p);
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(test_holds(again.output, "already complete"));
    sys_file_close(held);
    EXPECT_EQ(test_read_file(unfinished), std::string(8 * PLOT_SIZE, '\0'));
    EXPECT_EQ(engine_list(dir.path), (std::vector<std::string>{ID + "_0_8_8.plotting", ID + "_16_8", ID + "_8_8_8"}));

    const test_cli_s full = test_run_cli("check " + poc1 + " " + dir.file(ID + "_16_8") + " --full");
    EXPECT_EQ(full.status, 0);
    EXPECT_EQ(full.output, poc1 + ": OK (0 of 8 nonces bad)\n" + dir.file(ID + "_16_8") +
                               ": OK (0 of 8 nonces bad)\n2 files checked, 0 bad, 0 unreadable\n");
    ASSERT_EQ(std::rename(dir.file(ID + "_16_8").c_str(), dir.file(ID + "_16_8_8").c_str()), 0);
    const test_cli_s wrong = test_run_cli("check " + poc1 + " " + dir.file(ID + "_16_8_8"));
    EXPECT_EQ(wrong.status, 1);
    const std::string sample = " bad of 1770 scoops read, of 32768 in the file; --full reads them all)\n";
    EXPECT_EQ(wrong.output, poc1 + ": OK (sampled: 0" + sample + dir.file(ID + "_16_8_8") + ": FAILED (sampled: 1770" +
                                sample + "2 files checked, 1 bad, 0 unreadable\n");

    const test_cli_s top = test_run_cli("plot -q -i " + ID + " -s 18446744073709551615 -n 8" + p);
    EXPECT_EQ(top.status, 1);
    EXPECT_TRUE(test_holds(top.output, "nonce numbers run out"));
}

// SIGTERM with --discard leaves nothing; plain SIGTERM keeps a whole-batch resume record.
// SIGKILL right after creation and after each of two batches, resuming in between. Either
// way the next run ends with one correct file.
TEST(CliPlot, InterruptedRunsResumeToCorrectFiles) {
    for (bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "SIGKILL" : "SIGTERM");
        test_dir_s dir;
        // Two buffers of 8 nonces; 64 nonces leave a slow machine time to deliver the signal mid-run.
        const std::string args = "plot -q -i " + ID + " -s 0 -n 64 -m 0.00390625 -c 1 -p " + dir.path;
        const std::string unfinished = dir.file(ID + "_0_64_64.plotting");
        const auto batches = [&](uint64_t n) { return [&, n] { return test_resume_record(unfinished, 64) >= n; }; };
        if (killed) {
            interrupt_cli(args, [&] { return sys_file_exists(unfinished.c_str()); }, SIGKILL);
            for (uint64_t n : {8, 24}) interrupt_cli(args, batches(n), SIGKILL);
        } else {
            EXPECT_EQ(interrupt_cli(args + " --discard", batches(8), SIGTERM), 1);
            EXPECT_TRUE(engine_list(dir.path).empty());
            EXPECT_EQ(interrupt_cli(args, batches(8), SIGTERM), 1);
            ASSERT_TRUE(sys_file_exists(unfinished.c_str()));
            EXPECT_EQ(test_resume_record(unfinished, 64) % 8, 0u);
        }
        EXPECT_EQ(test_run_cli(args).status, 0);
        EXPECT_EQ(engine_list(dir.path), std::vector<std::string>{ID + "_0_64_64"});
        EXPECT_EQ(engine_bad_nonces(dir.file(ID + "_0_64_64"), ACCOUNT, 0, 64, false), 0);
    }
}

// Things that are not plot files under plot file names (a FIFO with no writer, a folder, an
// empty file, no file) fail with their message alone, instead of waiting for data that never
// comes (a timeout ends a hang with status 124). A file whose conversion was interrupted is not
// called damaged: check says how to finish it, compares nothing and counts it apart. A
// one-nonce PoC1 file is the nonce itself; it passes however the program was started.
TEST(CliCheck, NonPlotFilesFailWithTheirMessageOnlyAndANonceFilePasses) {
    test_dir_s dir;
    ASSERT_EQ(mkfifo(dir.file("1_0_1").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(dir.file("1_0_1_1").c_str(), 0755), 0);
    test_write_file(dir.file("1_0_2"), "");
    test_write_file(dir.file("1_5_1_1"), std::string((const char*)test_reference_nonce(1, 5), PLOT_SIZE));
    test_write_file(dir.file("1_6_1_1"), std::string(PLOT_SIZE, '\3'));
    test_write_file(dir.file("1_6_1_1.converting"), std::string(4096, '\1'));
    std::string files, want;
    for (const char* name : {"1_0_1", "1_0_1_1", "1_0_2", "1_5_1_1", "1_0_3", "1_6_1_1"}) files += " '" + dir.file(name) + "'";
    for (const char* line : {"1_0_1: Error: File has incorrect size.", "1_0_1_1: Error: File has incorrect size.",
                             "1_0_2: Error: File has incorrect size.",
                             "1_5_1_1: OK (sampled: 0 bad of 1770 scoops read, of 4096 in the file; --full reads them all)",
                             "1_0_3: Error: Cannot open the plot file.",
                             "1_6_1_1: Error: The file is being converted to poc2: its journal DIR/1_6_1_1.converting lies "
                             "beside it, and running `kestrune-cli convert DIR/1_6_1_1` again finishes it. Nothing was compared."})
        want += in_dir("DIR/" + std::string(line) + "\n", dir.path);
    want += "6 files checked, 0 bad, 4 unreadable, 1 being converted\n";
    EXPECT_EQ(test_run_cli("check" + files + " 2>&1; echo status $?", "timeout 60").output, want + "status 1\n");
    EXPECT_EQ(test_run_cli("check '" + dir.file("1_5_1_1") + "' <&- >&-").status, 0);
}

// On an OpenCL device (PoCL's CPU device here), a GPU nonce count too small for set-up ends
// the run before any file is made, and the message says why. (A whole plot on the device and
// its full check: gpu_bench_quick.)
TEST(CliPlot, TooFewGpuNoncesAreRefusedSayingWhy) {
    if (gpu_list_all().empty()) GTEST_SKIP() << "no OpenCL device present (install PoCL)";
    test_dir_s dir;
    // Standard error only: the log lines, then the message.
    const test_cli_s refused = test_run_cli("plot -q -i " + ID + " -s 0 -n 64 -g 0:0 --gpu-nonces 32 -p " + dir.path +
                                            " 2>&1 >/dev/null; exit $?");
    const std::string message =
        "kestrune-cli plot: could not set up plotting: The GPU could not be set up: 32 nonces per device and pass "
        "are too few (the GPU path takes at least 96; a larger memory limit or GPU nonce count gives more) (see the "
        "messages above)\n";
    EXPECT_EQ(refused.status, 1);
    // Contained rather than last: the OpenCL runtime may write its own lines as the process ends.
    EXPECT_TRUE(test_holds(refused.output, message));
    EXPECT_TRUE(engine_list(dir.path).empty());
}

// Nonce counts and fills below one file are a wrong command line that names the smallest
// count and why (each scoop row of a file fills whole sectors); an uneven count is rounded
// down and the run says so, and says its limit in units that fit. A target too small for one
// file (/proc: no free space) is named with its free space and the least a file needs; the
// other targets are plotted, and the run fails either way, since it did not plot what was asked.
TEST(CliPlot, SmallAndUnevenNonceCountsAreSaidInWords) {
    const uint64_t sector = sys_sector_size(test_dir_s().path.c_str()), group = sector / SCOOP_SIZE;
    const std::string g = std::to_string(group), less = std::to_string(group - 1), uneven = std::to_string(12 * group + 4);
    const std::string even = std::to_string(12 * group), small = " is too small: the smallest file on DIR is " + g + " nonces";
    const std::string why = " (each scoop row of a file fills whole " + std::to_string(sector) + "-byte sectors)";
    const std::string proc = "Target /proc is left out: it has 0.0 KiB free, and a file needs at least 1.0 GiB free there.";
    char limit[64];  // the limit in MB, as a size below 750 MB is said
    std::snprintf(limit, sizeof limit, "%.1f MB.", (12 * group + 4) * PLOT_SIZE / 1e6);
    const struct {
        std::string arguments;
        int status;
        std::vector<std::string> said, files;  // lines of the output; the files left in DIR
    } cases[] = {
        {"-n 1 -p DIR", 2, {"-n 1" + small + why}, {}},
        {"-n " + less + " -p DIR", 2, {"-n " + less + small}, {}},
        {"--fill 0.000001 -p DIR", 2, {"--fill 0.000001" + small}, {}},
        {"-s 0 -n " + uneven + " -p DIR", 0,
         {"-n " + uneven + " is rounded down to " + even + " nonces on DIR: files there are whole groups of " + g +
              " nonces" + why, "Limiting drive DIR to " + std::string(limit)},
         {ID + "_0_" + even + "_" + even}},
        {"-s 0 -n 8 -p DIR -p /proc", 1, {proc, "kestrune-cli plot: no file was planned for /proc (left out)"}, {ID + "_0_8_8"}},
        {"-s 0 -n 8 -p /proc", 1, {proc, "Nothing to plot: every target was left out (see above)."}, {}},
    };
    for (const auto& c : cases) {
        test_dir_s dir, work;
        const test_cli_s run = run_cli_in(work.path, "plot -q -c 1 -i " + ID + " " + in_dir(c.arguments, dir.path));
        SCOPED_TRACE(c.arguments + ":\n" + run.output);
        EXPECT_EQ(run.status, c.status);
        for (const std::string& line : c.said) EXPECT_TRUE(test_holds(run.output, in_dir(line, dir.path)));
        for (const char* wrong : {"no target has room", "0.0 GB"}) EXPECT_FALSE(test_holds(run.output, wrong));
        EXPECT_EQ(engine_list(dir.path), c.files);
    }
}

// Runs without -s into one folder: the second continues where the first one's file ended.
TEST(CliPlot, AutomaticStartsContinueAfterThePlotsInTheFolder) {
    test_dir_s dir;
    for (int run = 0; run < 2; ++run) ASSERT_EQ(test_run_cli("plot -q -c 1 -n 8 -i " + ID + " -p " + dir.path).status, 0);
    const std::vector<std::string> names = engine_list(dir.path);  // sorted by name
    ASSERT_EQ(names.size(), 2u);
    const uint64_t a = std::stoull(names[0].substr(ID.size() + 1)), b = std::stoull(names[1].substr(ID.size() + 1));
    EXPECT_EQ(names[0].substr(names[0].size() - 4) + names[1].substr(names[1].size() - 4), "_8_8_8_8");
    EXPECT_EQ(std::max(a, b), std::min(a, b) + 8) << names[0] << " " << names[1];
}

// A log.txt that cannot be opened (a folder, a link into a missing folder) gets one warning
// line with the reason over a whole run, and no message points to it. An ordinary one gets no
// warning, and a failure points to it.
TEST(Cli, AnUnopenableLogIsWarnedAboutOnceAndNeverPointedTo) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {  // what log.txt is; the one line about it
        {"folder", {"log.txt cannot be opened (Is a directory); messages go here only"}},
        {"link", {"log.txt cannot be opened (No such file or directory); messages go here only"}},
        {"file", {}},
    };
    for (const auto& [kind, warning] : cases) {
        SCOPED_TRACE(kind);
        test_dir_s dir, work;
        const std::string log = work.file("log.txt");
        ASSERT_EQ(kind == "folder" ? mkdir(log.c_str(), 0755)
                  : kind == "link" ? symlink("/nonexistent-kestrune/log.txt", log.c_str()) : 0, 0);
        const test_cli_s plot = run_cli_in(work.path, "plot -c 1 -s 0 -n 8 -i 1 -p " + dir.path);
        const test_cli_s bench = run_cli_in(work.path, "bench --plot /nonexistent/kestrune --nonces 8 --seconds 0.01");
        EXPECT_EQ(plot.status, 0) << plot.output;
        EXPECT_EQ(lines_with(plot.output, "log.txt"), warning) << plot.output;
        EXPECT_EQ(bench.status, 1) << bench.output;
        EXPECT_EQ(lines_with(bench.output, "see log.txt").size(), warning.empty() ? 1u : 0u) << bench.output;
        EXPECT_EQ(lines_with(bench.output, "log.txt").size(), 1u) << bench.output;
        EXPECT_TRUE(test_holds(bench.output, "kestrune-cli bench: plotting into /nonexistent/kestrune failed"));
    }
}

// A file whose conversion is unfinished is never planned over, moved or taken for complete,
// in either form: plot names it and says how to finish it, and plots nothing in its place.
TEST(CliPlot, FilesBeingConvertedAreNamedAndLeftAlone) {
    const std::string bytes(8 * PLOT_SIZE, '\7'), journal = ID + "_0_8_8.converting";
    // The case; the file being converted (its journal keeps the PoC1 name), whether it lies on
    // the staging folder, the plot's options.
    const std::tuple<const char*, std::string, bool, const char*> cases[] = {
        {"PoC1 plan", ID + "_0_8_8", false, ""},
        {"PoC2 plan", ID + "_0_8_8", false, " --poc2"},
        {"renamed, journal left", ID + "_0_8", false, " --poc2"},
        {"staged", ID + "_0_8_8", true, ""},
    };
    for (const auto& [what, file, staged, options] : cases) {
        SCOPED_TRACE(what);
        test_dir_s target, ssd;
        const test_dir_s& home = staged ? ssd : target;
        test_write_file(home.file(file), bytes);
        test_write_file(home.file(journal), std::string(4096, '\1'));
        const test_cli_s run = test_run_cli("plot -q -i " + ID + " -s 0 -n 8 -c 1 -p " + target.path +
                                            (staged ? " --ssd " + ssd.path : "") + options);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output, home.file(file) + " is being converted to poc2: its journal " + home.file(journal) +
                                  " lies beside it, and running `kestrune-cli convert " + home.file(file) +
                                  "` again finishes it; it is left alone.\n"
                                  "Nothing to plot: the planned files are being converted.\n");
        EXPECT_EQ(engine_list(home.path), (std::vector<std::string>{file, journal}));
        EXPECT_TRUE(engine_list((staged ? target : ssd).path).empty());
        EXPECT_TRUE(test_read_file(home.file(file)) == bytes);
    }
}
