// The checker on real files: a correct file, the wrong order, corrupted scoops, bad sizes
// and names, the full check, and asynchronous reads that are refused or fail.
#include <gtest/gtest.h>

#include <aio.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "check/check.h"
#include "nonce/nonce.h"
#include "platform/sys.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 123456789;
constexpr uint64_t START = 1000;
constexpr uint64_t COUNT = 8;
const std::string POC1_NAME = "123456789_1000_8_8";

// The file bytes of nonces START.. in PoC1 order.
std::string reference_file() {
    std::string data(COUNT * PLOT_SIZE, 0);
    for (uint64_t i = 0; i < COUNT; ++i)
        for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
            std::copy_n(test_reference_nonce(ACCOUNT, START + i) + s * SCOOP_SIZE, SCOOP_SIZE,
                        &data[(s * COUNT + i) * SCOOP_SIZE]);
    return data;
}

// A finished check of `data` written under `name`, and the last message it showed.
struct check_run_s {
    checker_s* c = nullptr;  // the finished checker
    std::string title;       // last title shown
    std::string text;        // last text shown
    uint32_t compared = 0;   // samples compared
    uint32_t bad = 0;        // samples that differed
    check_run_s(const test_dir_s& dir, const std::string& name, const std::string& data, bool full) {
        test_write_file(dir.file(name), data);
        c = check_start(dir.file(name).c_str(), full, [this](const char* t, const char* x) {
            title = t;
            text = x;
        }, 2);
        check_wait(c);
        check_counts(c, &compared, &bad);
    }
    ~check_run_s() { check_destroy(c); }
};

int failing_directory_fd = -1;
int submissions = 0;

// Every third read is refused at submission, every third one after that is pointed at a
// folder so it fails once running; the rest are real.
int unreliable_aio_read(aio_request* request) {
    const int turn = submissions++ % 3;
    if (turn == 0) return errno = EINVAL, -1;
    if (turn == 1) request->aio_fildes = failing_directory_fd;
    return aio_read(request);
}

}  // namespace

TEST(check, correct_file_matches_and_the_same_bytes_under_a_poc2_name_all_differ) {
    test_dir_s dir;
    const check_run_s right(dir, POC1_NAME, reference_file(), false);
    EXPECT_EQ(right.c->result, CHECK_FINISHED);
    EXPECT_EQ(right.compared, (uint32_t)CHECK_SAMPLES);
    EXPECT_EQ(right.bad, 0u);
    EXPECT_TRUE(right.text.empty());

    const check_run_s wrong(dir, "123456789_1000_8", reference_file(), false);
    EXPECT_EQ(wrong.compared, (uint32_t)CHECK_SAMPLES);
    EXPECT_EQ(wrong.bad, (uint32_t)CHECK_SAMPLES);
}

TEST(check, corrupted_scoops_flag_exactly_their_samples_and_the_full_check_counts_nonces) {
    test_dir_s dir;
    std::string data = reference_file();
    const int32_t broken[] = {0, 7, 1769};
    for (int32_t k : broken)
        for (uint64_t i = 0; i < COUNT; ++i) data[(2 * k * COUNT + i) * SCOOP_SIZE + 5] ^= 0x40;
    // Scoop 1 is never sampled: damage there goes unseen by design.
    data[(1 * COUNT + 3) * SCOOP_SIZE] ^= 1;
    {
        const check_run_s sampled(dir, POC1_NAME, data, false);
        for (int32_t k = 0; k < CHECK_SAMPLES; ++k) {
            const bool expect_bad = k == 0 || k == 7 || k == 1769;
            ASSERT_TRUE(sampled.c->samples[k].compared.load()) << k;
            EXPECT_EQ(sampled.c->samples[k].match.load() == 0, expect_bad) << k;
        }
    }
    // The full check finds the nonce damaged in scoop 1 as well as all the others.
    const check_run_s full(dir, POC1_NAME, data, true);
    EXPECT_EQ(full.c->result, CHECK_FINISHED);
    EXPECT_EQ(full.c->nonces_checked.load(), COUNT);
    EXPECT_EQ(full.c->nonces_bad.load(), COUNT);

    std::string one_bad = reference_file();
    one_bad[(4000 * COUNT + 6) * SCOOP_SIZE + 63] ^= 0x80;
    const check_run_s single(dir, POC1_NAME, one_bad, true);
    EXPECT_EQ(single.c->nonces_bad.load(), 1u);
    EXPECT_EQ(single.c->nonces_checked.load(), COUNT);
}

TEST(check, wrong_size_and_bad_names_give_their_messages) {
    test_dir_s dir;
    std::string data = reference_file();
    data.pop_back();
    const check_run_s short_file(dir, POC1_NAME, data, false);
    EXPECT_EQ(short_file.c->result, CHECK_BAD_SIZE);
    EXPECT_EQ(short_file.title, "Error");
    EXPECT_EQ(short_file.text, "File has incorrect size.");

    for (const char* name : {"plot.dat", "12_x_3", "1_2_0"}) {
        const check_run_s bad(dir, name, "\x01\x02\x03", false);
        EXPECT_EQ(bad.c->result, CHECK_BAD_NAME) << name;
        EXPECT_EQ(bad.text, "Incorrect filename format for plotfile.") << name;
    }

    // A stagger of 0 is not the PoC2 form either: it was once checked as one.
    for (const char* name : {"1_2_8_4", "1_2_8_0"}) {
        const check_run_s stagger(dir, name, reference_file(), false);
        EXPECT_EQ(stagger.c->result, CHECK_NOT_OPTIMIZED) << name;
        EXPECT_EQ(stagger.title, "Sorry") << name;
        EXPECT_EQ(stagger.text, "Only optimized files are supported. Why would you plot anything else? :)") << name;
    }
}

// Refused and failed asynchronous reads are read again directly: the check still ends, with
// true verdicts.
TEST(check, refused_and_failed_reads_are_read_again_directly) {
    test_dir_s dir;
    failing_directory_fd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(failing_directory_fd, 0);
    sys_syscalls().aio_read = unreliable_aio_read;
    const check_run_s run(dir, POC1_NAME, reference_file(), false);
    sys_syscalls_reset();
    close(failing_directory_fd);
    EXPECT_EQ(run.c->result, CHECK_FINISHED);
    EXPECT_EQ(run.compared, (uint32_t)CHECK_SAMPLES);
    EXPECT_EQ(run.bad, 0u);
    EXPECT_GT(submissions, 0);
}
