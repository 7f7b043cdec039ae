// Shared test helpers: known-answer vector files, hex, SHA-256 and scratch folders.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

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
