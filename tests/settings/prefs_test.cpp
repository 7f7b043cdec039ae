// config.yml: per-key loading with fallbacks, damaged and unwritable files, and round trips.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <tuple>

#include "platform/sys.h"
#include "settings/prefs.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

// Every setting and the folder lists in one line.
std::string every_value(const prefs_loaded_s& loaded) {
    char text[320];
    std::snprintf(text, sizeof text,
                  "account=%llu auto=%d gpus=%u ram=%llu file=%llu fill=%llu dog=%d counts=%d,%d,%d,%d poc2=%d scatter=%d",
                  (unsigned long long)account_id, auto_start_nonce, gpu_mask, (unsigned long long)max_ram_bytes,
                  (unsigned long long)max_file_bytes, (unsigned long long)max_fill_bytes, dont_adjust_gpu_dog,
                  hash_per_dispatch, threads_per_group, cpu_threads, max_gpu_nonces, use_poc2_format, ssd_scatter);
    std::string all = text;
    for (const std::string& folder : loaded.ssds) all += " ssd=" + folder;
    for (const std::string& folder : loaded.plots) all += " plot=" + folder;
    return all;
}

// A record whose every value differs from its start value (fields in config.yml order).
const settings_s changed_values{5, false, 1, 7, 3000000000, 9, true, 1, 2, 3, 4, true, true};

// config.yml as a save writes it; each @ takes the next of `values`, in key order.
std::string config_text(const std::vector<std::string>& values) {
    const std::string form =
        "# Configuration file for Kestrune\n"
        "# This file stores remembered settings from your prior plots\n"
        "# and advanced settings and overrides.\n"
        "# You can delete this file to return to all default values.\n"
        "\n"
        "account: @\n"
        "auto_start_nonce: @\n"
        "gpus: @  # Last GPU(s) used or empty for CPU\n"
        "ssds: @\n"
        "\n"
        "# Paths you made plots in are remembered to double check and\n"
        "# ensure new plots never overlap nonces of existing plots.\n"
        "plots:\n"
        "@\n"
        "\n"
        "# Overrides\n"
        "max_ram_gb: @\n"
        "max_gb_per_file: @  # Each plot file will be this size or less in GB\n"
        "max_gb_to_fill: @  # Use this to fill only part of a target drive\n"
        "\n"
        "# Advanced and experimental settings\n"
        "dont_adjust_gpu_dog: @\n"
        "hash_per_dispatch: @\n"
        "threads_per_group: @\n"
        "cpu_threads: @  # Default is CPU threads - 1\n"
        "max_gpu_nonces: @  # Try 1024 here if you get GPU errors\n"
        "use_poc2_format: @  # PoC2 format (supported by jminer)\n"
        "ssd_scatter: @\n";
    std::string text;
    size_t next = 0;
    for (const char c : form) text += c == '@' ? values.at(next++) : std::string(1, c);
    EXPECT_EQ(next, values.size());
    return text;
}

struct Prefs : testing::Test {
    test_dir_s dir;
    std::string path = dir.file("config.yml");
    void SetUp() override { settings_reset(); }
    void TearDown() override {
        settings_reset();
        sys_syscalls_reset();
    }
};

}  // namespace

// A missing file is the first run; an unparsable one is kept as config.yml.bak.
TEST_F(Prefs, MissingAndDamagedFiles) {
    EXPECT_FALSE(prefs_load(path.c_str(), 0).parsed);
    EXPECT_FALSE(sys_file_exists((path + ".bak").c_str()));
    const std::string damaged = "account: 77\ngpus: [1, 2\nplots: {\n";
    test_write_file(path, damaged);
    const prefs_loaded_s loaded = prefs_load(path.c_str(), 0);
    EXPECT_TRUE(!loaded.parsed && loaded.backed_up);
    EXPECT_EQ(test_read_file(path + ".bak"), damaged);
    EXPECT_FALSE(sys_file_exists(path.c_str()));
}

// A config.yml that exists but cannot be read (a folder of that name, a file without read
// permission) is reported with its reason, loads nothing and is not moved aside.
TEST_F(Prefs, UnreadableFilesAreLeftAlone) {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    const prefs_loaded_s folder = prefs_load(path.c_str(), 0);
    EXPECT_EQ(std::tuple(folder.parsed, folder.backed_up, folder.unreadable), std::tuple(false, false, EISDIR));
    EXPECT_TRUE(sys_file_exists(path.c_str()) && !sys_file_exists((path + ".bak").c_str()));
    rmdir(path.c_str());
    if (geteuid() == 0) GTEST_SKIP() << "root reads files without read permission: only the folder case ran";
    test_write_file(path, "account: 9\n");
    chmod(path.c_str(), 0);
    EXPECT_EQ(prefs_load(path.c_str(), 0).unreadable, EACCES);
    EXPECT_EQ(account_id, 0u);
}

// A save that cannot write, sync or rename its temporary file into place is reported and
// leaves the old file whole, no temporary file, and the settings as they were.
TEST_F(Prefs, FailedSavesKeepTheOldFile) {
    const std::pair<const char*, void (*)()> cases[] = {
        {"missing/config.yml", [] {}},
        {"config.yml", [] { sys_syscalls().fdatasync = [](int) { return errno = EIO, -1; }; }},
        {"config.yml", [] { sys_syscalls().rename = [](const char*, const char*) { return errno = EACCES, -1; }; }},
    };
    test_write_file(path, "account: 9\n");
    account_id = 5;
    for (const auto& c : cases) {
        c.second();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(prefs_save(dir.file(c.first).c_str(), {}, {})) << c.first;
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to write config.yml\n"), std::string::npos);
        sys_syscalls_reset();
        EXPECT_EQ(test_read_file(path), "account: 9\n");
        EXPECT_FALSE(sys_file_exists((path + ".tmp").c_str()));
    }
    EXPECT_EQ(account_id, 5u);
}

// Each record is saved as exactly these bytes: key order, number forms, quoting, comments and
// gaps. What is saved loads back, no file size limit (0) and folder names that are bytes, not
// UTF-8, included.
TEST_F(Prefs, SavedBytesAreExact) {
    const settings_s odd{7900104405094198526ull, false, 0x80000005u, 12884901889ull, 0, 1500000000, true, 0, 2147483647,
                         -4, 1024, true, true};
    settings_s fractions = odd;
    fractions.max_ram_bytes = 1610612736;
    fractions.max_file_bytes = 1234567890123ull;
    fractions.max_fill_bytes = UINT64_MAX;
    const struct {
        settings_s values;
        std::vector<std::string> ssds, plots, text;  // text: the values as the file writes them
    } cases[] = {
        {settings_s{}, {}, {}, {"0", "true", "[]", "[]", "  []", "0", "1000", "0", "false", "32", "32", "0", "0", "false", "false"}},
        {odd, {"/ssd/a", "/b c/"}, {"/p/", "/q r/"},
         {"7900104405094198526", "false", "[0, 2, 31]", "[/ssd/a, /b c/]", "  - /p/\n  - /q r/", "12.000000000931323",
          "18446744073", "1.5", "true", "0", "2147483647", "-4", "1024", "true", "true"}},
        {fractions, {"/mnt/a: b #c"}, {"- x"},
         {"7900104405094198526", "false", "[0, 2, 31]", "[\"/mnt/a: b #c\"]", "  - \"- x\"", "1.5",
          "1234.5678901229999", "18446744073.709549", "true", "0", "2147483647", "-4", "1024", "true", "true"}},
    };
    for (const auto& c : cases) {
        settings_set(c.values);
        ASSERT_TRUE(prefs_save(path.c_str(), c.ssds, c.plots));
        EXPECT_EQ(test_read_file(path), config_text(c.text));
    }
    const std::vector<std::string> ssds = {"/mnt/\xff\xfe", "/a b/\xe9t\xe9"}, plots = {"/p/\xc3(/", "/q/"};
    settings_s whole = changed_values, no_limit;
    whole.max_fill_bytes = 1500000000;  // a fill of a few bytes does not survive the GB form
    no_limit = whole;
    no_limit.max_file_bytes = 0;
    for (const settings_s& values : {settings_s{}, whole, no_limit}) {
        settings_set(values);
        const std::string want = every_value({});
        ASSERT_TRUE(prefs_save(path.c_str(), ssds, plots));
        settings_reset();
        const prefs_loaded_s loaded = prefs_load(path.c_str(), 2);
        EXPECT_EQ(std::tuple(every_value({}), loaded.ssds, loaded.plots), std::tuple(want, ssds, plots));
    }
}

// Odd, limit and invalid values on a machine with 2 GPUs, loaded over the start values or over
// a record whose every value differs from them. Missing or bad keys keep the value they had,
// except the four counts, which fall back to 0, and use_poc2_format, which falls back to false.
// (Plain values of every key load in the round trip above.)
TEST_F(Prefs, OddValuesLoadAsTheyMust) {
    const std::string start = "account=0 auto=1 gpus=0 ram=0 file=1000000000000 fill=0 dog=0 counts=0,0,0,0 poc2=0 scatter=0";
    const std::string kept_changed =
        "account=5 auto=0 gpus=1 ram=7 file=3000000000 fill=9 dog=1 counts=0,0,0,0 poc2=0 scatter=1";
    const struct {
        bool over_changed;
        const char* text;
        std::string want;
    } cases[] = {
        // Keys load one by one; a bad value or element costs only itself.
        {false, "account: 12345678x\ngpus: [a, 1]\nauto_start_nonce: false\ncpu_threads: 3\nuse_poc2_format: true\n",
         "account=0 auto=0 gpus=2 ram=0 file=1000000000000 fill=0 dog=0 counts=0,0,3,0 poc2=1 scatter=0"},
        {false, "ssds: [/a, {x: 1}, /b]\nplots:\n  - /p/\n  - [1]\n  - /q/\ngpus: 1\n", start + " ssd=/a ssd=/b plot=/p/ plot=/q/"},
        {false,
         "account: -1\nmax_gb_per_file: -3\nmax_ram_gb: -2\nmax_gb_to_fill: 1e30\ncpu_threads: -4\n"
         "max_gpu_nonces: 4294967296\nhash_per_dispatch: 2147483648\ngpus: [-1, 18446744073709551615]\n",
         start},
        {false, "just a scalar\n", start},
        // Missing and unknown keys (key names are case-sensitive).
        {true, "", kept_changed},
        {true, "unknown: 1\nAccount: 6\nUSE_POC2_FORMAT: true\nlist: [1, 2]\n", kept_changed},
        // The largest values each key takes.
        {false,
         "account: 18446744073709551615\nhash_per_dispatch: 2147483647\nmax_ram_gb: 17179869183\n"
         "max_gb_per_file: 18446744072\nmax_gb_to_fill: 18446744073\n",
         "account=18446744073709551615 auto=1 gpus=0 ram=18446744072635809792 file=18446744072000000000 "
         "fill=18446744072999999488 dog=0 counts=2147483647,0,0,0 poc2=0 scatter=0"},
        // One past them.
        {true,
         "account: 18446744073709551616\nhash_per_dispatch: 2147483648\nmax_ram_gb: 17179869184\n"
         "max_gb_per_file: 18446744074\nmax_gb_to_fill: 18446744074\n",
         kept_changed},
        // No file size limit from the largest whole GB on; sizes below a byte or a GB; file sizes
        // in whole GB.
        {true, "max_gb_per_file: 18446744073.5\nmax_ram_gb: 1e-9\nmax_gb_to_fill: 0.0000000015\n",
         "account=5 auto=0 gpus=1 ram=1 file=0 fill=1 dog=1 counts=0,0,0,0 poc2=0 scatter=1"},
        {true, "max_gb_per_file: 1.9\n",
         "account=5 auto=0 gpus=1 ram=7 file=1000000000 fill=9 dog=1 counts=0,0,0,0 poc2=0 scatter=1"},
        {true, "max_gb_per_file: 0.99\nmax_ram_gb: 0\nmax_gb_to_fill: -0.5\n", kept_changed},
        // Wrong types and forms.
        {true,
         "account: [1]\nauto_start_nonce: {a: b}\nmax_ram_gb: [2]\nmax_gb_per_file: two\nmax_gb_to_fill: .nan\n"
         "dont_adjust_gpu_dog: 1\ncpu_threads: 3.0\nmax_gpu_nonces: true\nuse_poc2_format: maybe\n"
         "ssd_scatter: [true]\ngpus: 1\nssds: /a\nplots: {a: 1}\n",
         kept_changed},
        {true, "account: +6\nthreads_per_group: 0x10\nmax_ram_gb: .inf\nmax_gb_to_fill: 1,5\nmax_gb_per_file: 0\n",
         kept_changed},
        {false, "auto_start_nonce: oN\n", start},
        {false, "auto_start_nonce: n\ndont_adjust_gpu_dog: Yes\nuse_poc2_format: ON\nssd_scatter: y\n",
         "account=0 auto=0 gpus=0 ram=0 file=1000000000000 fill=0 dog=1 counts=0,0,0,0 poc2=1 scatter=1"},
        // Keys without a value.
        {true,
         "account:\nauto_start_nonce:\nmax_ram_gb: ~\nmax_gb_per_file: null\nhash_per_dispatch:\n"
         "use_poc2_format:\nssd_scatter: ~\ngpus:\nssds:\n",
         kept_changed},
        // GPU indices of GPUs this machine lacks are dropped; the rest join the current ones.
        {true, "gpus: [1, 2, 31, 32, -1, x, 1.0]\nssds: [/a, \"\", ~, 5]\n",
         "account=5 auto=0 gpus=3 ram=7 file=3000000000 fill=9 dog=1 counts=0,0,0,0 poc2=0 scatter=1 ssd=/a ssd=5"},
    };
    for (const auto& c : cases) {
        settings_set(c.over_changed ? changed_values : settings_s{});
        test_write_file(path, c.text);
        const prefs_loaded_s loaded = prefs_load(path.c_str(), 2);
        EXPECT_TRUE(loaded.parsed) << c.text;
        EXPECT_EQ(every_value(loaded), c.want) << c.text;
    }
}
