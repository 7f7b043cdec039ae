// File services on real files in scratch folders, with faults injected through the system-call
// table, and files opened while the standard descriptors are closed.
#include <aio.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys.h"
#include "test_support.h"

namespace {

std::string pattern(size_t length) {
    std::string bytes(length, 0);
    for (size_t i = 0; i < length; ++i) bytes[i] = (char)(i * 7 + i / 251);
    return bytes;
}

// State of the injected system calls below.
int pwrite_calls = 0;
int pwrite_fail_at = -1;  // call number that fails with EIO
size_t short_limit = 0;   // most bytes one call transfers; 0 = no limit
int interrupt_left = 0;   // calls that fail with EINTR before any succeeds
std::vector<std::string> journal;

ssize_t flaky_pwrite(int fd, const void* buffer, size_t length, off_t offset) {
    if (++pwrite_calls == pwrite_fail_at) return errno = EIO, -1;
    if (interrupt_left > 0) return --interrupt_left, errno = EINTR, -1;
    return ::pwrite(fd, buffer, short_limit ? std::min(length, short_limit) : length, offset);
}

ssize_t flaky_pread(int fd, void* buffer, size_t length, off_t offset) {
    if (interrupt_left > 0) return --interrupt_left, errno = EINTR, -1;
    return ::pread(fd, buffer, short_limit ? std::min(length, short_limit) : length, offset);
}

int journal_fsync(int fd) { return journal.push_back("fsync"), ::fsync(fd); }

class SysFile : public testing::Test {
protected:
    void SetUp() override {
        pwrite_calls = interrupt_left = 0;
        pwrite_fail_at = -1;
        short_limit = 0;
        journal.clear();
    }
    void TearDown() override { sys_syscalls_reset(); }
    const char* file(const std::string& name) { return (names.push_back(dir.file(name)), names.back().c_str()); }
    test_dir_s dir;
    std::deque<std::string> names;  // keeps the texts file() handed out
};

TEST_F(SysFile, CreateKeepsExistingBytesReservesTheSizeAndReportsFailures) {
    test_write_file(file("plot"), "0123456789");
    const int64_t fd = sys_file_create(file("plot"), 262144);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(sys_file_size(fd), 262144u);
    sys_file_close(fd);
    EXPECT_EQ(test_read_file(file("plot")).substr(0, 10), "0123456789");
    const int64_t empty = sys_file_create(file("empty"), 0);
    EXPECT_GT(empty, 0) << "an empty file needs no preallocation";
    sys_file_close(empty);

    std::vector<std::string> shown;
    sys_set_dialog_presenter([&](const char* title, const char* text) { shown.push_back(std::string(title) + "|" + text); });
    EXPECT_EQ(sys_file_create(file("no/such/folder/plot"), 4096), 0);
    sys_set_dialog_presenter(nullptr);
    EXPECT_EQ(shown, std::vector<std::string>{"Error|Could not create file:\n " + dir.file("no/such/folder/plot")});
    static int fallocate_calls;
    fallocate_calls = 0;
    sys_syscalls().posix_fallocate = [](int, off_t, off_t) { return ++fallocate_calls < 3 ? EINTR : ENOSPC; };
    EXPECT_EQ(sys_file_create(file("full"), 4096), 0);
    EXPECT_EQ(fallocate_calls, 3) << "EINTR is retried, ENOSPC is not";
}

namespace {
std::string renamed_away;  // where the injected lock call moves the file first, once
int lock_after_rename(int fd, int command, struct flock* lock) {
    if (!renamed_away.empty()) {
        ::rename((renamed_away.substr(0, renamed_away.size() - 4)).c_str(), renamed_away.c_str());
        renamed_away.clear();
    }
    return fcntl(fd, command, lock);
}
}  // namespace

// One writer owns a file: a second open (even in this process) finds it locked and leaves it
// alone; a file finished and renamed by its writer between our open and our lock is not ours.
TEST_F(SysFile, CreateMakesItsCallerTheOnlyWriter) {
    const std::string path = dir.file("plot");
    sys_create_e how = SYS_CREATE_FAILED;
    const int64_t first = sys_file_create(path.c_str(), 4096, &how);
    ASSERT_GT(first, 0);
    EXPECT_EQ(how, SYS_CREATE_NEW);
    EXPECT_TRUE(sys_file_locked(path.c_str()));
    EXPECT_EQ(sys_file_create(path.c_str(), 4096, &how), 0);
    EXPECT_EQ(how, SYS_CREATE_LOCKED);
    sys_file_write(first, 0, 4, "done");
    sys_file_close(first);
    EXPECT_FALSE(sys_file_locked(path.c_str()));

    renamed_away = path + ".old";
    sys_syscalls().lock = lock_after_rename;
    const int64_t second = sys_file_create(path.c_str(), 4096, &how);
    ASSERT_GT(second, 0);
    EXPECT_EQ(how, SYS_CREATE_NEW);
    sys_file_write(second, 0, 4, "next");
    sys_file_close(second);
    EXPECT_EQ(test_read_file(path + ".old").substr(0, 4), "done");
    EXPECT_EQ(test_read_file(path).substr(0, 4), "next");
}

TEST_F(SysFile, TransfersCompleteShortAndInterruptedCallsAndFailPastTheEndOrOnErrors) {
    const std::string data = pattern(10000);
    sys_syscalls().pwrite = flaky_pwrite;
    sys_syscalls().pread = flaky_pread;
    short_limit = 1000;
    interrupt_left = 2;
    const int64_t fd = sys_file_create(file("f"), 20000);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(sys_file_write(fd, 5000, data.size(), data.data()), data.size());
    EXPECT_EQ(pwrite_calls, 12) << "two interrupted calls, then ten of 1000 bytes";
    interrupt_left = 1;
    std::string back(data.size(), 0);
    EXPECT_TRUE(sys_file_read(fd, 5000, back.size(), &back[0]));
    EXPECT_EQ(back, data);
    EXPECT_FALSE(sys_file_read(fd, 19990, 11, &back[0]));
    EXPECT_FALSE(sys_file_read(fd, 20001, 1, &back[0]));
    pwrite_fail_at = pwrite_calls + 3;  // a write error ends the process
    EXPECT_EXIT(sys_file_write(fd, 0, data.size(), data.data()), testing::ExitedWithCode(1),
                "Error while writing to file: 5");
    sys_file_close(fd);
    EXPECT_EQ(test_read_file(file("f")).substr(5000, 10000), data);
    EXPECT_EQ(sys_file_open_read(file("missing")), 0);
}

// A full queue (EAGAIN) reads at once and hands back a request marked finished, unless that
// read fails; other errors fail. (The checker's tests run the asynchronous reads themselves.)
TEST_F(SysFile, AsyncReadFallbackOnAFullQueue) {
    const std::string data = pattern(65536);
    test_write_file(file("f"), data);
    const int64_t fd = sys_file_open_read(file("f"));
    ASSERT_GT(fd, 0);
    std::string back(4096, 0);
    sys_syscalls().aio_read = [](aio_request*) { return errno = EAGAIN, -1; };
    aio_request* request = nullptr;
    ASSERT_TRUE(sys_file_read(fd, 100, back.size(), &back[0], &request));
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->aio_fildes, 0) << "marked as finished";
    EXPECT_TRUE(sys_aio_done(request));
    sys_aio_cancel(fd, request);
    EXPECT_EQ(back, data.substr(100, 4096));
    sys_aio_free(request);
    // A fallback read past the end, and an error other than a full queue, are no success.
    const std::pair<int (*)(aio_request*), uint64_t> failures[] = {
        {[](aio_request*) { return errno = EAGAIN, -1; }, 65000}, {[](aio_request*) { return errno = ENOSYS, -1; }, 0}};
    for (const auto& failure : failures) {
        sys_syscalls().aio_read = failure.first;
        request = nullptr;
        EXPECT_FALSE(sys_file_read(fd, failure.second, 4096, &back[0], &request)) << failure.second;
        sys_aio_free(request);
    }
    sys_file_close(fd);
}

// Copies report running totals, replace a longer destination whole, keep the source and the
// permissions, and sync the copy and its folder entry.
TEST_F(SysFile, CopyInChunks) {
    sys_syscalls().sendfile = [](int out, int in, off_t* offset, size_t count) {
        journal.push_back("sendfile " + std::to_string(count));
        return ::sendfile(out, in, offset, count);
    };
    sys_syscalls().fsync = journal_fsync;
    struct case_s {
        size_t size, old_size;             // bytes copied; bytes already at the destination
        std::vector<uint64_t> totals;      // progress reports
        std::vector<std::string> journal;  // the system calls, in order
    };
    const case_s cases[] = {
        {0, 0, {}, {"fsync", "fsync"}},
        {10000, 0, {4096, 8192, 10000}, {"sendfile 4096", "sendfile 4096", "sendfile 1808", "fsync", "fsync"}},
        {5000, 20000, {4096, 5000}, {"sendfile 4096", "sendfile 904", "fsync", "fsync"}},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes");
        journal.clear();
        test_write_file(file("src"), pattern(c.size));
        unlink(file("dst"));
        if (c.old_size) test_write_file(file("dst"), std::string(c.old_size, 'y'));
        chmod(file("src"), 0640);
        std::vector<uint64_t> totals;
        EXPECT_TRUE(sys_file_copy(file("src"), file("dst"), [&](uint64_t copied) { totals.push_back(copied); }, 4096));
        EXPECT_EQ(totals, c.totals);
        EXPECT_EQ(journal, c.journal);
        EXPECT_EQ(test_read_file(file("dst")), pattern(c.size));
        EXPECT_EQ(test_read_file(file("src")), pattern(c.size));
        struct stat info;
        ASSERT_EQ(stat(file("dst"), &info), 0);
        EXPECT_TRUE(c.old_size || (info.st_mode & 0777) == 0640) << "a new copy takes the source's permissions";
    }
    EXPECT_FALSE(sys_file_copy(file("src"), file("src"), [](uint64_t) {}));
    EXPECT_EQ(test_read_file(file("src")), pattern(5000)) << "a self-copy is refused untouched";
}

TEST_F(SysFile, CopyFailuresEndTheProcessAndKeepTheSource) {
    EXPECT_EXIT(sys_file_copy(file("missing"), file("dst"), [](uint64_t) {}), testing::ExitedWithCode(1),
                "Error opening .*missing for move!");
    test_write_file(file("src"), pattern(5000));
    EXPECT_EXIT(
        {
            sys_syscalls().sendfile = [](int, int, off_t*, size_t) -> ssize_t { return 0; };
            sys_file_copy(file("src"), file("dst"), [](uint64_t) {});
        },
        testing::ExitedWithCode(1), "Error moving file, 0 of 5000 bytes completed");
    EXPECT_EQ(test_read_file(file("src")), pattern(5000));
}

TEST_F(SysFile, RenameAndSyncsReportFailures) {
    test_write_file(file("a.plotting"), "x");
    sys_syscalls().fsync = journal_fsync;
    sys_file_rename(file("a.plotting"), file("a"));
    EXPECT_TRUE(sys_file_exists(file("a")));
    EXPECT_FALSE(sys_file_exists(file("a.plotting")));
    EXPECT_EQ(journal, std::vector<std::string>{"fsync"}) << "the folder is synced";
    testing::internal::CaptureStderr();
    sys_file_rename(file("gone"), file("b"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to rename " + dir.file("gone") + " to " +
                                                          dir.file("b") + " errno 2"),
              std::string::npos);

    const int64_t fd = sys_file_create(file("f"), 512);
    EXPECT_TRUE(sys_file_sync(fd));
    EXPECT_TRUE(sys_dir_sync(dir.path.c_str()));
    EXPECT_FALSE(sys_dir_sync(file("missing")));
    sys_syscalls().fdatasync = [](int) { return errno = EIO, -1; };
    EXPECT_FALSE(sys_file_sync(fd));
    sys_file_close(fd);
}

TEST_F(SysFile, FreeSpaceListingAndVolumeInfo) {
    uint64_t total = 0;
    EXPECT_GT(sys_free_space(dir.path.c_str(), &total), 0u);
    EXPECT_GT(total, 0u);
    total = 77;
    testing::internal::CaptureStderr();
    EXPECT_EQ(sys_free_space(file("missing"), &total), 0u);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Error getting free space for path " + dir.file("missing")),
              std::string::npos);
    EXPECT_EQ(total, 77u);

    test_write_file(file("one"), "");
    test_write_file(file("two"), "");
    std::vector<std::string> listed;
    sys_dir_list(dir.path.c_str(), [&](const char* name) { return listed.push_back(name), true; });
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{".", "..", "one", "two"}));
    int seen = 0;
    sys_dir_list(dir.path.c_str(), [&](const char*) { return ++seen < 2; });
    sys_dir_list(file("missing"), [&](const char*) { return ++seen, true; });
    EXPECT_EQ(seen, 2) << "a false result stops the listing; a missing folder lists nothing";

    char name[8] = "xxxxxxx", fs[8] = "yyyyyyy";
    uint32_t serials[3] = {};
    for (uint32_t& serial : serials) sys_volume_info(dir.path.c_str(), sizeof name, name, fs, &serial);
    EXPECT_STREQ(name, "");
    EXPECT_STREQ(fs, "");
    EXPECT_TRUE(serials[0] != serials[1] || serials[1] != serials[2]) << "serials are random";
}

// Memory in bytes; batch buffers are read with aligned vector loads.
TEST(SysProcess, MemoryAndAlignedAllocations) {
    EXPECT_GT(sys_total_ram(), 64ull << 20);
    void* block = sys_alloc(1 << 20);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ((uintptr_t)block % 64, 0u);
    sys_free(block);
}

// In a process started with its standard descriptors closed, files must not become descriptor
// 0 (which means "no file") nor 1 or 2 (where log and progress text would land in them).
TEST_F(SysFile, FilesNeverTakeTheStandardDescriptors) {
    test_write_file(file("data"), "abc");
    EXPECT_EXIT(
        {
            close(0);
            close(1);
            close(2);
            sys_init();
            const int64_t read_fd = sys_file_open_read(file("data"));
            const int64_t write_fd = sys_file_create(file("data"), 3);
            std::_Exit(read_fd > 2 && write_fd > 2 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
