// Shared test helpers: vector files, hex, SHA-256 (to compare with published digests), temp
// folders, files, the command-line program and the reference nonce cache.
#include "test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "platform/sys.h"

namespace {

// Every test process claims log.txt before its first test: ctest runs tests side by side in one
// folder, and the one-time note that another process holds the log must not land inside the
// standard error a test captures.
struct log_claim_s : testing::Environment {
    void SetUp() override { sys_log("%s", ""); }
};
testing::Environment* const log_claim = testing::AddGlobalTestEnvironment(new log_claim_s);

// Runs a shell command; standard error is dropped.
test_cli_s run_command(const std::string& command) {
    test_cli_s result{-1, ""};
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return result;
    char chunk[65536];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) result.output.append(chunk, got);
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

}  // namespace

std::vector<std::vector<std::string>> test_read_vectors(const std::string& file_name) {
    std::ifstream in(std::string(KESTRUNE_VECTORS_DIR) + "/" + file_name);
    if (!in) throw std::runtime_error("missing vector file " + file_name);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::stringstream split(line);
        rows.emplace_back();
        for (std::string field; std::getline(split, field, '\t');) rows.back().push_back(field);
    }
    if (!rows.empty()) rows.erase(rows.begin());  // the header
    return rows;
}

std::vector<uint8_t> test_from_hex(const std::string& hex) {
    std::vector<uint8_t> bytes(hex.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (uint8_t)std::stoul(hex.substr(2 * i, 2), nullptr, 16);
    return bytes;
}

std::string test_to_hex(const uint8_t* data, size_t length) {
    std::string hex;
    for (size_t i = 0; i < length; ++i) hex += {"0123456789abcdef"[data[i] >> 4], "0123456789abcdef"[data[i] & 15]};
    return hex;
}

// The digest comes from coreutils' sha256sum, independent of the code under test.
std::string test_sha256_hex(const uint8_t* data, size_t length) {
    test_dir_s dir;
    test_write_file(dir.file("data"), std::string((const char*)data, length));
    return run_command("sha256sum " + dir.file("data")).output.substr(0, 64);
}

test_dir_s::test_dir_s() {
    char pattern[] = "/tmp/kestrune_test_XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) throw std::runtime_error("mkdtemp failed");
    path = made;
}

test_dir_s::~test_dir_s() {
    std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

// glibc's iconv judges, independent of the code under test.
bool test_utf8_valid(const std::string& text) {
    test_dir_s dir;
    test_write_file(dir.file("text"), text);
    return run_command("iconv -f UTF-8 -t UTF-8 " + dir.file("text") + " >/dev/null 2>&1").status == 0;
}

testing::AssertionResult test_holds(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << part << "\" is not in:\n" << text;
}

std::string test_read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> test_list(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

void test_write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

int64_t test_create_file(const std::string& path, uint64_t size) {
    int64_t fd = 0;
    const sys_err_s created = sys_file_create(path.c_str(), size, &fd);
    EXPECT_EQ(created.error, 0) << path << ": " << std::strerror(created.error);
    return fd;
}

uint64_t test_resume_record(const std::string& path, uint64_t nonces) {
    std::ifstream f(path, std::ios::binary);
    uint8_t bytes[8] = {};
    if (!f.seekg((std::streamoff)(nonces * PLOT_SIZE - 8)).read((char*)bytes, 8)) return 0;
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= (uint64_t)bytes[i] << (8 * i);
    return value;
}

test_cli_s test_run_cli(const std::string& arguments, const std::string& environment) {
    return run_command(environment + " " + KESTRUNE_CLI_PATH + " " + arguments);
}

const uint8_t* test_reference_nonce(uint64_t account, uint64_t nonce, bool poc2) {
    // Scalar nonces are slow; many tests check the same ones.
    static std::map<std::tuple<uint64_t, uint64_t, bool>, std::unique_ptr<uint8_t[]>> cache;
    std::unique_ptr<uint8_t[]>& slot = cache[std::make_tuple(account, nonce, poc2)];
    if (!slot) {
        slot.reset(new uint8_t[PLOT_SIZE]);
        nonce_compute(account, nonce, slot.get(), poc2);
    }
    return slot.get();
}

bool test_rows_hold(const uint8_t* data, uint64_t row_nonces, uint64_t index, uint64_t account, uint64_t nonce,
                    bool poc2) {
    const uint8_t* expected = test_reference_nonce(account, nonce, poc2);
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        if (std::memcmp(data + (s * row_nonces + index) * SCOOP_SIZE, expected + s * SCOOP_SIZE, SCOOP_SIZE))
            return false;
    return true;
}

test_batch_s::test_batch_s(uint64_t capacity, uint8_t fill) : storage(capacity * PLOT_SIZE, fill) {
    batch.capacity = capacity;
    batch.data = storage.data();
}
