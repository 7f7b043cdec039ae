// kestrune-cli bench: its measurement lines and exit statuses.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "nonce/plt_cpu.h"

namespace {

struct bench_run_s {
    int status;          // exit status of the process
    std::string output;  // standard output
};

bench_run_s run_bench(const std::string& arguments) {
    const std::string command = std::string(KESTRUNE_CLI_PATH) + " bench " + arguments + " 2>/dev/null";
    bench_run_s result{-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, got);
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

}  // namespace

TEST(CliBench, CsvHasAHeaderAndOneLinePerMeasurement) {
    const bench_run_s run = run_bench("--family scalar --cpu 1 --seconds 0.01 --csv");
    ASSERT_EQ(run.status, 0);
    std::istringstream lines(run.output);
    std::string header, line, extra;
    std::getline(lines, header);
    std::getline(lines, line);
    EXPECT_EQ(header, "family,threads,nonces,seconds,nonces_per_min");
    EXPECT_EQ(line.rfind("scalar,1,", 0), 0u) << line;
    EXPECT_FALSE(std::getline(lines, extra)) << "one thread count, one family: one line";
}

TEST(CliBench, RejectsBadOptionsAndExplainsMissingFeatures) {
    EXPECT_EQ(run_bench("--family avx3").status, 2);
    EXPECT_EQ(run_bench("--cpu 0").status, 2);
    EXPECT_EQ(run_bench("--cpu").status, 2);
    EXPECT_EQ(run_bench("--seconds -1").status, 2);
    EXPECT_EQ(run_bench("--frobnicate").status, 2);
    const bench_run_s help = run_bench("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: kestrune-cli bench"), std::string::npos);
    for (cpu_family_e f : {CPU_FAMILY_SSE4, CPU_FAMILY_AVX, CPU_FAMILY_AVX2, CPU_FAMILY_AVX512}) {
        if (!cpu_family_available(f)) {
            EXPECT_EQ(run_bench(std::string("--family ") + cpu_family_name(f)).status, 1) << cpu_family_name(f);
        }
    }
}
