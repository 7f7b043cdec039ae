// The checker when asynchronous reads are refused or fail: it still ends, with true verdicts.
#include <gtest/gtest.h>

#include <aio.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <vector>

#include "check/check.h"
#include "nonce/nonce.h"
#include "platform/sys.h"
#include "test_support.h"

namespace {

int failing_directory_fd = -1;
int submissions = 0;

// Every third read is refused at submission, every third one after that is pointed at a
// folder so it fails once running; the rest are real.
int unreliable_aio_read(aio_request* request) {
    const int turn = submissions++ % 3;
    if (turn == 0) {
        errno = EINVAL;
        return -1;
    }
    if (turn == 1) request->aio_fildes = failing_directory_fd;
    return aio_read(request);
}

}  // namespace

TEST(CheckReads, RefusedAndFailedReadsAreReadAgainDirectly) {
    const uint64_t account = 42, start = 7, count = 8;
    std::vector<uint8_t> file(count * PLOT_SIZE), nonce(PLOT_SIZE);
    for (uint64_t i = 0; i < count; ++i) {
        nonce_compute(account, start + i, nonce.data(), false);
        for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
            std::copy_n(&nonce[s * SCOOP_SIZE], SCOOP_SIZE, &file[(s * count + i) * SCOOP_SIZE]);
    }
    test_dir_s dir;
    const std::string path = dir.file("42_7_8_8");
    std::ofstream(path, std::ios::binary).write((const char*)file.data(), (std::streamsize)file.size());

    failing_directory_fd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(failing_directory_fd, 0);
    sys_syscalls().aio_read = unreliable_aio_read;
    checker_s* c = check_start(path.c_str(), false, [](const char*, const char*) {}, 2);
    check_wait(c);
    sys_syscalls_reset();
    close(failing_directory_fd);

    uint32_t compared = 0, bad = 0;
    check_counts(c, &compared, &bad);
    EXPECT_EQ(c->result.load(), (uint32_t)CHECK_FINISHED);
    EXPECT_EQ(compared, (uint32_t)CHECK_SAMPLES);
    EXPECT_EQ(bad, 0u);
    EXPECT_GT(submissions, 0);
    check_destroy(c);
}
