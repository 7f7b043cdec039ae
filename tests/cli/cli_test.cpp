// kestrune-cli as users run it: nonce bytes, address answers, and exit statuses.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "test_support.h"

namespace {

struct run_result_s {
    int status;          // exit status of the process
    std::string output;  // what it wrote to standard output
};

run_result_s run_cli(const std::string& arguments) {
    const std::string command = std::string(KESTRUNE_CLI_PATH) + " " + arguments + " 2>/dev/null";
    run_result_s result{-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, got);
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

std::string sha256_of(const std::string& bytes) {
    return test_sha256_hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

TEST(CliNonce, WritesTheReferenceBytesToStdoutAndFiles) {
    const auto rows = test_read_vectors("nonces.tsv");
    const auto& row = rows.back();
    const run_result_s poc1 = run_cli("nonce " + row[0] + " " + row[1]);
    ASSERT_EQ(poc1.status, 0);
    ASSERT_EQ(poc1.output.size(), 262144u);
    EXPECT_EQ(sha256_of(poc1.output), row[2]);

    test_dir_s dir;
    const std::string file = dir.file("nonce.bin");
    ASSERT_EQ(run_cli("nonce BURST-2222-2222-2222-22222 0 --poc2 -o " + file).status, 0);
    std::ifstream in(file, std::ios::binary);
    const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(sha256_of(written), rows.front()[3]);  // account 0, nonce 0, PoC2
}

TEST(CliNonce, BadCommandLinesExitWithStatusTwo) {
    EXPECT_EQ(run_cli("nonce 1").status, 2);
    EXPECT_EQ(run_cli("nonce 1 x12").status, 2);
    EXPECT_EQ(run_cli("nonce 1 18446744073709551616").status, 2);
    EXPECT_EQ(run_cli("nonce 1 2 --bogus").status, 2);
    EXPECT_EQ(run_cli("nonce BURST-2222-2222-2222-22223 2").status, 2);
    EXPECT_EQ(run_cli("frobnicate").status, 2);
    EXPECT_EQ(run_cli("").status, 2);
    const run_result_s help = run_cli("nonce --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: kestrune-cli nonce"), std::string::npos);
}

TEST(CliAddress, PrintsIdsAndRejectsInvalidText) {
    const run_result_s valid = run_cli("address BURST-Z8PQ-LFLU-CWUJ-D5LXX");
    EXPECT_EQ(valid.status, 0);
    EXPECT_EQ(valid.output, "13760260011822389942\n");
    EXPECT_EQ(run_cli("address 7900104405094198526").output, "7900104405094198526\n");
    EXPECT_EQ(run_cli("address BURST-Z8PQ-LFLU-CWUJ-D5LXY").status, 1);
    EXPECT_EQ(run_cli("address 18446744073709551616").status, 1);
    EXPECT_EQ(run_cli("address").status, 2);
    EXPECT_EQ(run_cli("address --help").status, 0);
}
