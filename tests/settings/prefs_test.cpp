// config.yml: per-key loading with fallbacks, damaged and unwritable files, and round trips.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "settings/prefs.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

// The loaded values in one line, so a whole state is one expectation.
std::string values() {
    char text[256];
    std::snprintf(text, sizeof text, "account=%llu auto=%d gpus=%u ram=%llu file=%llu fill=%llu counts=%d,%d,%d,%d poc2=%d",
                  (unsigned long long)account_id, auto_start_nonce, gpu_mask, (unsigned long long)max_ram_bytes,
                  (unsigned long long)max_file_bytes, (unsigned long long)max_fill_bytes, hash_per_dispatch,
                  threads_per_group, cpu_threads, max_gpu_nonces, use_poc2_format);
    return text;
}

struct Prefs : testing::Test {
    test_dir_s dir;
    std::string path = dir.file("config.yml");
    void SetUp() override { settings_reset(); }
    void TearDown() override { settings_reset(); }
};

}  // namespace

// Each file is loaded on a machine with 2 GPUs over the start values.
TEST_F(Prefs, KeysLoadOneByOne) {
    const struct {
        const char* text;
        const char* want;
    } cases[] = {
        {"account: 123\n", "account=123 auto=1 gpus=0 ram=0 file=1000000000000 fill=0 counts=0,0,0,0 poc2=0"},
        {"gpus: [0, 5]\nmax_ram_gb: 12\nmax_gb_per_file: 1.5\nmax_gb_to_fill: 1.5\n",
         "account=0 auto=1 gpus=1 ram=12884901888 file=1000000000 fill=1500000000 counts=0,0,0,0 poc2=0"},
        {"max_gb_per_file: 0\nhash_per_dispatch: 16\nthreads_per_group: 64\nuse_poc2_format: true\n",
         "account=0 auto=1 gpus=0 ram=0 file=1000000000000 fill=0 counts=16,64,0,0 poc2=1"},
        // A bad value or element costs only itself: the keys after it still load.
        {"account: 12345678x\ngpus: [a, 1]\nauto_start_nonce: false\ncpu_threads: 3\nuse_poc2_format: true\n",
         "account=0 auto=0 gpus=2 ram=0 file=1000000000000 fill=0 counts=0,0,3,0 poc2=1"},
        // Negative or out-of-range numbers keep their fallback instead of wrapping.
        {"account: -1\nmax_gb_per_file: -3\nmax_ram_gb: -2\nmax_gb_to_fill: 1e30\ncpu_threads: -4\n"
         "max_gpu_nonces: 4294967296\nhash_per_dispatch: 2147483648\ngpus: [-1, 18446744073709551615]\n",
         "account=0 auto=1 gpus=0 ram=0 file=1000000000000 fill=0 counts=0,0,0,0 poc2=0"},
        {"just a scalar\n", "account=0 auto=1 gpus=0 ram=0 file=1000000000000 fill=0 counts=0,0,0,0 poc2=0"},
    };
    for (const auto& c : cases) {
        settings_reset();
        test_write_file(path, c.text);
        const prefs_loaded_s loaded = prefs_load(path.c_str(), 2);
        EXPECT_TRUE(loaded.parsed) << c.text;
        EXPECT_EQ(values(), c.want) << c.text;
    }
}

TEST_F(Prefs, FolderListsSkipBadElements) {
    test_write_file(path, "ssds: [/a, {x: 1}, /b]\nplots:\n  - /p/\n  - [1]\n  - /q/\ngpus: 3\n");
    const prefs_loaded_s loaded = prefs_load(path.c_str(), 8);
    EXPECT_EQ(loaded.ssds, (std::vector<std::string>{"/a", "/b"}));
    EXPECT_EQ(loaded.plots, (std::vector<std::string>{"/p/", "/q/"}));
    EXPECT_EQ(gpu_mask, 0u);
}

TEST_F(Prefs, MissingAndDamagedFiles) {
    prefs_loaded_s loaded = prefs_load(path.c_str(), 0);
    EXPECT_FALSE(loaded.parsed);
    EXPECT_FALSE(loaded.backed_up);

    const std::string damaged = "account: 77\ngpus: [1, 2\nplots: {\n";
    test_write_file(path, damaged);
    loaded = prefs_load(path.c_str(), 0);
    EXPECT_FALSE(loaded.parsed);
    EXPECT_TRUE(loaded.backed_up);
    EXPECT_EQ(test_read_file(path + ".bak"), damaged);
    EXPECT_FALSE(std::ifstream(path).good());
}

TEST_F(Prefs, SavedFileHasEveryKeyInOrderAndLoadsBack) {
    account_id = 7900104405094198526ull;
    auto_start_nonce = false;
    gpu_mask = 0b101;
    max_ram_bytes = 12884901888ull;
    max_file_bytes = 2000000000ull;
    max_fill_bytes = 1500000000ull;
    cpu_threads = 3;
    use_poc2_format = true;
    const std::string saved = values();
    ASSERT_TRUE(prefs_save(path.c_str(), {"/ssd/a"}, {"/p/", "/q r/"}));
    const std::string text = test_read_file(path);
    EXPECT_EQ(text.rfind("# Configuration file for Kestrune\n# This file stores", 0), 0u) << text;
    const char* order[] = {"account: 7900104405094198526", "auto_start_nonce: false", "gpus: [0, 2]",
                           "# Last GPU(s) used or empty for CPU", "ssds: [/ssd/a]", "# Paths you made plots in",
                           "plots:", "- /p/", "# Overrides", "max_ram_gb: 12", "max_gb_per_file: 2",
                           "# Each plot file will be this size or less in GB", "max_gb_to_fill: 1.5",
                           "# Use this to fill only part of a target drive", "# Advanced and experimental settings",
                           "dont_adjust_gpu_dog: false", "hash_per_dispatch: 32", "threads_per_group: 32",
                           "cpu_threads: 3", "# Default is CPU threads - 1", "max_gpu_nonces: 0",
                           "# Try 1024 here if you get GPU errors", "use_poc2_format: true",
                           "# PoC2 format (supported by jminer)", "ssd_scatter: false"};
    size_t at = 0;
    for (const char* piece : order) {
        const size_t found = text.find(piece, at);
        ASSERT_NE(found, std::string::npos) << piece << "\n" << text;
        at = found;
    }
    EXPECT_FALSE(std::ifstream(path + ".tmp").good());

    settings_reset();
    const prefs_loaded_s loaded = prefs_load(path.c_str(), 4);
    ASSERT_TRUE(loaded.parsed);
    EXPECT_EQ(values(), saved);
    EXPECT_EQ(loaded.ssds, (std::vector<std::string>{"/ssd/a"}));
    EXPECT_EQ(loaded.plots, (std::vector<std::string>{"/p/", "/q r/"}));
}

TEST_F(Prefs, UnwritableFileIsReportedAndLeavesTheSettings) {
    account_id = 5;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(prefs_save(dir.file("missing/config.yml").c_str(), {}, {}));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to write config.yml\n"), std::string::npos);
    EXPECT_EQ(account_id, 5u);
}
