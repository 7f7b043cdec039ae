// kestrune-cli as users run it: nonce bytes, address answers, bench lines, exit statuses
// (also when its output is lost), and check on special files or with descriptors closed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "nonce/plt_cpu.h"
#include "test_support.h"

namespace {

std::string sha256_of(const std::string& bytes) {
    return test_sha256_hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

struct exit_case_s {
    const char* arguments;  // command line after the program name
    int status;             // exit status expected
};

}  // namespace

TEST(CliNonce, WritesTheReferenceBytesToStdoutAndFiles) {
    const auto rows = test_read_vectors("nonces.tsv");
    const auto& row = rows.back();
    const test_cli_s poc1 = test_run_cli("nonce " + row[0] + " " + row[1]);
    ASSERT_EQ(poc1.status, 0);
    ASSERT_EQ(poc1.output.size(), 262144u);
    EXPECT_EQ(sha256_of(poc1.output), row[2]);

    test_dir_s dir;
    const std::string file = dir.file("nonce.bin");
    ASSERT_EQ(test_run_cli("nonce BURST-2222-2222-2222-22222 0 --poc2 -o " + file).status, 0);
    EXPECT_EQ(sha256_of(test_read_file(file)), rows.front()[3]);  // account 0, nonce 0, PoC2
}

TEST(Cli, ExitStatusesOfEveryCommand) {
    const exit_case_s cases[] = {
        {"nonce 1", 2}, {"nonce 1 x12", 2}, {"nonce 1 18446744073709551616", 2}, {"nonce 1 2 --bogus", 2},
        {"nonce BURST-2222-2222-2222-22223 2", 2}, {"frobnicate", 2}, {"", 2}, {"nonce --help", 0},
        {"address BURST-Z8PQ-LFLU-CWUJ-D5LXY", 1}, {"address 18446744073709551616", 1}, {"address", 2},
        {"address --help", 0}, {"bench --family avx3", 2}, {"bench --cpu 0", 2}, {"bench --cpu", 2},
        {"bench --seconds -1", 2}, {"bench --frobnicate", 2}, {"bench --help", 0}, {"bench --nonces 8", 2},
        {"bench --plot", 2}, {"bench --plot /nonexistent/kestrune --nonces 8 --seconds 0.01", 1},
        // Output that never reaches the reader is a failure; a device that takes the bytes but
        // cannot be synced is none.
        {"address 123456 >/dev/full", 1}, {"nonce 1 5 >/dev/full", 1}, {"address 123456 >/dev/null", 0},
        {"nonce 1 5 -o /dev/null", 0},
    };
    for (const exit_case_s& c : cases) EXPECT_EQ(test_run_cli(c.arguments).status, c.status) << c.arguments;
    EXPECT_NE(test_run_cli("nonce --help").output.find("usage: kestrune-cli nonce"), std::string::npos);
    EXPECT_NE(test_run_cli("bench --help").output.find("usage: kestrune-cli bench"), std::string::npos);
    for (cpu_family_e f : {CPU_FAMILY_SSE4, CPU_FAMILY_AVX, CPU_FAMILY_AVX2, CPU_FAMILY_AVX512}) {
        if (!cpu_family_available(f)) {
            EXPECT_EQ(test_run_cli(std::string("bench --family ") + cpu_family_name(f)).status, 1) << cpu_family_name(f);
        }
    }
}

TEST(CliAddress, PrintsIds) {
    const test_cli_s valid = test_run_cli("address BURST-Z8PQ-LFLU-CWUJ-D5LXX");
    EXPECT_EQ(valid.status, 0);
    EXPECT_EQ(valid.output, "13760260011822389942\n");
    EXPECT_EQ(test_run_cli("address 7900104405094198526").output, "7900104405094198526\n");
}

TEST(CliBench, CsvHasAHeaderAndOneLinePerMeasurement) {
    const test_cli_s run = test_run_cli("bench --family scalar --cpu 1 --seconds 0.01 --csv");
    ASSERT_EQ(run.status, 0);
    std::istringstream lines(run.output);
    std::string header, line, extra;
    std::getline(lines, header);
    std::getline(lines, line);
    EXPECT_EQ(header, "family,threads,nonces,seconds,nonces_per_min");
    EXPECT_EQ(line.rfind("scalar,1,", 0), 0u) << line;
    EXPECT_FALSE(std::getline(lines, extra)) << "one thread count, one family: one line";
}

// The plotted file is compared with compute only and leaves nothing behind.
TEST(CliBench, PlotWritesOneFileAndDeletesIt) {
    test_dir_s dir;
    const test_cli_s run = test_run_cli("bench --plot " + dir.path + " --nonces 16 --cpu 1 --seconds 0.01");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(" of compute only\n"), std::string::npos) << run.output;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

// Things that are not plot files under plot file names (a FIFO with no writer, a folder, an
// empty file, no file) fail with their message alone, instead of waiting for data that never
// comes; a timeout ends a hang with status 124.
TEST(CliCheck, NonPlotFilesFailWithTheirMessageOnly) {
    test_dir_s dir;
    ASSERT_EQ(mkfifo(dir.file("1_0_1").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(dir.file("1_0_1_1").c_str(), 0755), 0);
    test_write_file(dir.file("1_0_2"), "");
    const struct {
        const char* name;
        const char* message;
    } cases[] = {{"1_0_1", "File has incorrect size."}, {"1_0_1_1", "File has incorrect size."},
                 {"1_0_2", "File has incorrect size."}, {"1_0_3", "Cannot open the plot file."}};
    for (const auto& t : cases) {
        const std::string out = test_run_cli("check '" + dir.file(t.name) + "' 2>&1; echo status $?", "timeout 60").output;
        EXPECT_NE(out.find(std::string(t.name) + ": Error: " + t.message + "\nstatus 1\n"), std::string::npos) << out;
        EXPECT_EQ(out.find("Assertion"), std::string::npos) << out;
    }
}

// A one-nonce PoC1 file is the nonce itself; it passes however the program was started.
TEST(CliCheck, WorksWithStandardDescriptorsClosed) {
    test_dir_s dir;
    const std::string path = dir.file("1_5_1_1");
    test_write_file(path, std::string((const char*)test_reference_nonce(1, 5), PLOT_SIZE));
    for (const char* redirect : {"", " <&-", " <&- >&-"})
        EXPECT_EQ(test_run_cli("check '" + path + "'" + redirect).status, 0) << redirect;
}
