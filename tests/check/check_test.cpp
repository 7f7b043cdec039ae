// The checker on real files: a correct file, the wrong order, corrupted scoops, bad sizes
// and names, and the full check.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "check/check.h"
#include "nonce/nonce.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 123456789;
constexpr uint64_t START = 1000;
constexpr uint64_t COUNT = 8;

// The file bytes of nonces START.. in PoC1 order, computed once for every test.
const std::vector<uint8_t>& reference_file() {
    static std::vector<uint8_t> data;
    if (data.empty()) {
        data.resize(COUNT * PLOT_SIZE);
        std::vector<uint8_t> nonce(PLOT_SIZE);
        for (uint64_t i = 0; i < COUNT; ++i) {
            nonce_compute(ACCOUNT, START + i, nonce.data(), false);
            for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
                std::copy_n(&nonce[s * SCOOP_SIZE], SCOOP_SIZE, &data[(s * COUNT + i) * SCOOP_SIZE]);
        }
    }
    return data;
}

void write_file(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream(path, std::ios::binary).write((const char*)data.data(), (std::streamsize)data.size());
}

struct message_s {
    std::string title;  // last title shown
    std::string text;   // last text shown
};

checker_s* run(const std::string& path, bool full, message_s* seen) {
    checker_s* c = check_start(path.c_str(), full, [seen](const char* title, const char* text) {
        seen->title = title;
        seen->text = text;
    }, 2);
    check_wait(c);
    return c;
}

std::string poc1_name() { return "123456789_1000_8_8"; }

}  // namespace

TEST(check, correct_file_all_samples_match) {
    test_dir_s dir;
    write_file(dir.file(poc1_name()), reference_file());
    message_s seen;
    checker_s* c = run(dir.file(poc1_name()), false, &seen);
    uint32_t compared = 0, bad = 0;
    check_counts(c, &compared, &bad);
    EXPECT_EQ(c->result, CHECK_FINISHED);
    EXPECT_EQ(compared, (uint32_t)CHECK_SAMPLES);
    EXPECT_EQ(bad, 0u);
    EXPECT_TRUE(seen.text.empty());
    check_destroy(c);
}

TEST(check, same_bytes_under_a_poc2_name_all_differ) {
    test_dir_s dir;
    write_file(dir.file("123456789_1000_8"), reference_file());
    message_s seen;
    checker_s* c = run(dir.file("123456789_1000_8"), false, &seen);
    uint32_t compared = 0, bad = 0;
    check_counts(c, &compared, &bad);
    EXPECT_EQ(compared, (uint32_t)CHECK_SAMPLES);
    EXPECT_EQ(bad, (uint32_t)CHECK_SAMPLES);
    check_destroy(c);
}

TEST(check, corrupted_scoops_flag_exactly_their_samples) {
    test_dir_s dir;
    std::vector<uint8_t> data = reference_file();
    const int32_t broken[] = {0, 7, 1769};
    for (int32_t k : broken)
        for (uint64_t i = 0; i < COUNT; ++i) data[(2 * k * COUNT + i) * SCOOP_SIZE + 5] ^= 0x40;
    // Scoop 1 is never sampled: damage there goes unseen by design.
    data[(1 * COUNT + 3) * SCOOP_SIZE] ^= 1;
    write_file(dir.file(poc1_name()), data);
    message_s seen;
    checker_s* c = run(dir.file(poc1_name()), false, &seen);
    for (int32_t k = 0; k < CHECK_SAMPLES; ++k) {
        const bool expect_bad = k == 0 || k == 7 || k == 1769;
        ASSERT_TRUE(c->samples[k].compared.load()) << k;
        EXPECT_EQ(c->samples[k].match.load() == 0, expect_bad) << k;
    }
    check_destroy(c);

    // The full check finds the nonce damaged in scoop 1 as well as all the others.
    c = run(dir.file(poc1_name()), true, &seen);
    EXPECT_EQ(c->result, CHECK_FINISHED);
    EXPECT_EQ(c->nonces_checked.load(), COUNT);
    EXPECT_EQ(c->nonces_bad.load(), COUNT);
    check_destroy(c);
}

TEST(check, full_check_counts_single_bad_nonce) {
    test_dir_s dir;
    std::vector<uint8_t> data = reference_file();
    data[(4000 * COUNT + 6) * SCOOP_SIZE + 63] ^= 0x80;
    write_file(dir.file(poc1_name()), data);
    message_s seen;
    checker_s* c = run(dir.file(poc1_name()), true, &seen);
    EXPECT_EQ(c->nonces_bad.load(), 1u);
    EXPECT_EQ(c->nonces_checked.load(), COUNT);
    check_destroy(c);
}

TEST(check, wrong_size_and_bad_names_give_their_messages) {
    test_dir_s dir;
    std::vector<uint8_t> data = reference_file();
    data.pop_back();
    write_file(dir.file(poc1_name()), data);
    message_s seen;
    checker_s* c = run(dir.file(poc1_name()), false, &seen);
    EXPECT_EQ(c->result, CHECK_BAD_SIZE);
    EXPECT_EQ(seen.title, "Error");
    EXPECT_EQ(seen.text, "File has incorrect size.");
    check_destroy(c);

    for (const char* name : {"plot.dat", "12_x_3", "1_2_0"}) {
        write_file(dir.file(name), {1, 2, 3});
        seen = message_s();
        c = run(dir.file(name), false, &seen);
        EXPECT_EQ(c->result, CHECK_BAD_NAME) << name;
        EXPECT_EQ(seen.text, "Incorrect filename format for plotfile.") << name;
        check_destroy(c);
    }

    write_file(dir.file("1_2_8_4"), reference_file());
    c = run(dir.file("1_2_8_4"), false, &seen);
    EXPECT_EQ(c->result, CHECK_NOT_OPTIMIZED);
    EXPECT_EQ(seen.title, "Sorry");
    EXPECT_EQ(seen.text, "Only optimized files are supported. Why would you plot anything else? :)");
    check_destroy(c);
}
