// Shared test helpers: known-answer vector files, hex, SHA-256, scratch folders, files, the
// command-line program, batch buffers and reference nonces.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "nonce/nonce.h"

// Rows of a tab-separated vector file (comment lines and the header skipped).
std::vector<std::vector<std::string>> test_read_vectors(const std::string& file_name);
std::vector<uint8_t> test_from_hex(const std::string& hex);
std::string test_to_hex(const uint8_t* data, size_t length);
std::string test_sha256_hex(const uint8_t* data, size_t length);

// A fresh, empty folder under the system's temp folder, removed by the destructor.
struct test_dir_s {
    std::string path;
    test_dir_s();
    ~test_dir_s();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// Success when `text` holds `part`; the failure shows both.
testing::AssertionResult test_holds(const std::string& text, const std::string& part);

std::string test_read_file(const std::string& path);
// The names in a folder, sorted; none when it cannot be read.
std::vector<std::string> test_list(const std::string& folder);
// Whether text is valid UTF-8 throughout.
bool test_utf8_valid(const std::string& text);
void test_write_file(const std::string& path, const std::string& bytes);
// A file opened with sys_file_create (`size` bytes reserved, its writer lock held until the
// descriptor is closed); 0, and a test failure, when it cannot be.
int64_t test_create_file(const std::string& path, uint64_t size);

// The little-endian resume record in the last eight bytes of an unfinished file of
// `nonces` nonces; 0 when the file is missing.
uint64_t test_resume_record(const std::string& path, uint64_t nonces);

// One run of kestrune-cli; standard error is dropped.
struct test_cli_s {
    int status;          // exit status, -1 when the process did not exit normally
    std::string output;  // what it wrote to standard output
};
test_cli_s test_run_cli(const std::string& arguments, const std::string& environment = "");

// Nonce `nonce` of `account` from the scalar nonce_compute, computed once per process
// (the reference for every faster path); PLOT_SIZE bytes in PoC1 or PoC2 order.
const uint8_t* test_reference_nonce(uint64_t account, uint64_t nonce, bool poc2 = false);

// Whether `data`, laid out in scoop rows `row_nonces` nonces long (a batch buffer or a
// whole plot file), holds the reference nonce at `index`.
bool test_rows_hold(const uint8_t* data, uint64_t row_nonces, uint64_t index, uint64_t account, uint64_t nonce,
                    bool poc2 = false);

// A batch buffer owning its storage, every byte set to `fill`.
struct test_batch_s {
    std::vector<uint8_t> storage;  // capacity * PLOT_SIZE bytes
    batch_buffer_s batch;          // points into storage
    explicit test_batch_s(uint64_t capacity, uint8_t fill = 0);
};
