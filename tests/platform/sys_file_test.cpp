// File services on real files in scratch folders, with faults injected through the system-call
// table, and files opened while the standard descriptors are closed.
#include <aio.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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

// Counters and a call journal shared with the injected system calls below.
int pwrite_calls = 0;
int pwrite_fail_at = -1;  // call number that fails with EIO
size_t pwrite_limit = 0;  // most bytes one call transfers; 0 = no limit
int interrupt_left = 0;   // calls that fail with EINTR before any succeeds
std::vector<std::string> journal;

ssize_t flaky_pwrite(int fd, const void* buffer, size_t length, off_t offset) {
    ++pwrite_calls;
    if (pwrite_calls == pwrite_fail_at) return errno = EIO, -1;
    if (interrupt_left > 0) return --interrupt_left, errno = EINTR, -1;
    if (pwrite_limit && length > pwrite_limit) length = pwrite_limit;
    return ::pwrite(fd, buffer, length, offset);
}

ssize_t flaky_pread(int fd, void* buffer, size_t length, off_t offset) {
    if (interrupt_left > 0) return --interrupt_left, errno = EINTR, -1;
    if (pwrite_limit && length > pwrite_limit) length = pwrite_limit;
    return ::pread(fd, buffer, length, offset);
}

class SysFile : public testing::Test {
protected:
    void SetUp() override {
        pwrite_calls = 0;
        pwrite_fail_at = -1;
        pwrite_limit = 0;
        interrupt_left = 0;
        journal.clear();
    }
    void TearDown() override { sys_syscalls_reset(); }
    test_dir_s dir;
};

}  // namespace

TEST_F(SysFile, CreateKeepsExistingBytesAndReservesTheSize) {
    const std::string path = dir.file("plot");
    test_write_file(path, "0123456789");
    const int64_t fd = sys_file_create(path.c_str(), 262144);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(sys_file_size(fd), 262144u);
    char head[10];
    EXPECT_TRUE(sys_file_read(fd, 0, 10, head));
    EXPECT_EQ(std::string(head, 10), "0123456789");
    sys_file_close(fd);

    const int64_t empty = sys_file_create(dir.file("empty").c_str(), 0);
    EXPECT_GT(empty, 0) << "an empty file needs no preallocation";
    sys_file_close(empty);
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

TEST_F(SysFile, CreateFailuresReturnNoFile) {
    std::vector<std::string> shown;
    sys_set_dialog_presenter([&](const char* title, const char* text) { shown.push_back(std::string(title) + "|" + text); });
    const std::string missing = dir.file("no/such/folder/plot");
    EXPECT_EQ(sys_file_create(missing.c_str(), 4096), 0);
    sys_set_dialog_presenter(nullptr);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "Error|Could not create file:\n " + missing);

    static int fallocate_calls;
    fallocate_calls = 0;
    sys_syscalls().posix_fallocate = [](int, off_t, off_t) { return ++fallocate_calls < 3 ? EINTR : ENOSPC; };
    EXPECT_EQ(sys_file_create(dir.file("full").c_str(), 4096), 0);
    EXPECT_EQ(fallocate_calls, 3) << "EINTR is retried, ENOSPC is not";
}

TEST_F(SysFile, WritesAndReadsCompleteShortAndInterruptedTransfers) {
    const std::string data = pattern(10000);
    sys_syscalls().pwrite = flaky_pwrite;
    sys_syscalls().pread = flaky_pread;
    pwrite_limit = 1000;
    interrupt_left = 2;
    const int64_t fd = sys_file_create(dir.file("f").c_str(), 20000);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(sys_file_write(fd, 5000, data.size(), data.data()), data.size());
    EXPECT_EQ(pwrite_calls, 12) << "two interrupted calls, then ten of 1000 bytes";

    interrupt_left = 1;
    std::string back(data.size(), 0);
    EXPECT_TRUE(sys_file_read(fd, 5000, back.size(), &back[0]));
    EXPECT_EQ(back, data);
    sys_file_close(fd);
    EXPECT_EQ(test_read_file(dir.file("f")).substr(5000, 10000), data);
}

TEST_F(SysFile, ReadPastTheEndFails) {
    test_write_file(dir.file("short"), "abc");
    const int64_t fd = sys_file_open_read(dir.file("short").c_str());
    ASSERT_GT(fd, 0);
    char buffer[8];
    EXPECT_FALSE(sys_file_read(fd, 0, 8, buffer));
    EXPECT_FALSE(sys_file_read(fd, 100, 1, buffer));
    EXPECT_TRUE(sys_file_read(fd, 1, 2, buffer));
    EXPECT_EQ(std::string(buffer, 2), "bc");
    sys_file_close(fd);
    EXPECT_EQ(sys_file_open_read(dir.file("missing").c_str()), 0);
}

TEST_F(SysFile, WriteErrorEndsTheProcess) {
    const int64_t fd = sys_file_create(dir.file("f").c_str(), 4096);
    ASSERT_GT(fd, 0);
    const std::string data = pattern(4096);
    EXPECT_EXIT(
        {
            sys_syscalls().pwrite = flaky_pwrite;
            pwrite_limit = 1024;
            pwrite_fail_at = 3;
            sys_file_write(fd, 0, data.size(), data.data());
        },
        testing::ExitedWithCode(1), "Error while writing to file: 5");
    sys_file_close(fd);
}

TEST_F(SysFile, AsyncReadsAndTheFullQueueFallback) {
    const std::string data = pattern(65536);
    test_write_file(dir.file("f"), data);
    const int64_t fd = sys_file_open_read(dir.file("f").c_str());
    ASSERT_GT(fd, 0);

    std::string back(4096, 0);
    aio_request* request = nullptr;
    ASSERT_TRUE(sys_file_read(fd, 8192, back.size(), &back[0], &request));
    ASSERT_NE(request, nullptr);
    const aio_request* list[1] = {request};
    while (aio_error(request) == EINPROGRESS) aio_suspend(list, 1, nullptr);
    EXPECT_TRUE(sys_aio_done(request));
    EXPECT_EQ(back, data.substr(8192, 4096));
    sys_aio_free(request);

    sys_syscalls().aio_read = [](aio_request*) { return errno = EAGAIN, -1; };
    std::string sync_back(4096, 0);
    request = nullptr;
    ASSERT_TRUE(sys_file_read(fd, 100, sync_back.size(), &sync_back[0], &request));
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->aio_fildes, 0) << "marked as finished";
    EXPECT_TRUE(sys_aio_done(request));
    sys_aio_cancel(fd, request);
    EXPECT_EQ(sync_back, data.substr(100, 4096));
    sys_aio_free(request);

    request = nullptr;
    EXPECT_FALSE(sys_file_read(fd, 65000, 4096, &sync_back[0], &request))
        << "a fallback read that fails is not reported as success";
    sys_aio_free(request);

    sys_syscalls().aio_read = [](aio_request*) { return errno = ENOSYS, -1; };
    request = nullptr;
    EXPECT_FALSE(sys_file_read(fd, 0, 16, &sync_back[0], &request));
    sys_aio_free(request);
    sys_aio_free(nullptr);
    sys_file_close(fd);
}

TEST_F(SysFile, CopyInChunksReportsRunningTotalsAndSyncsFileAndFolder) {
    sys_syscalls().sendfile = [](int out, int in, off_t* offset, size_t count) {
        journal.push_back("sendfile " + std::to_string(count));
        return ::sendfile(out, in, offset, count);
    };
    sys_syscalls().fsync = [](int fd) { return journal.push_back("fsync"), ::fsync(fd); };
    struct case_s {
        size_t size;                        // bytes copied
        std::vector<uint64_t> totals;       // progress reports
        std::vector<std::string> journal;   // the system calls, in order
    };
    const case_s cases[] = {
        {0, {}, {"fsync", "fsync"}},
        {10000, {4096, 8192, 10000}, {"sendfile 4096", "sendfile 4096", "sendfile 1808", "fsync", "fsync"}},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes");
        journal.clear();
        const std::string data = pattern(c.size);
        test_write_file(dir.file("src"), data);
        chmod(dir.file("src").c_str(), 0640);
        std::vector<uint64_t> totals;
        EXPECT_TRUE(sys_file_copy(dir.file("src").c_str(), dir.file("dst").c_str(),
                                  [&](uint64_t copied) { totals.push_back(copied); }, 4096));
        EXPECT_EQ(totals, c.totals);
        EXPECT_EQ(journal, c.journal) << "the copy and its folder entry are synced";
        EXPECT_EQ(test_read_file(dir.file("dst")), data);
        struct stat info;
        ASSERT_EQ(stat(dir.file("dst").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0640u);
    }
}

// The copying half of a move: the source stays, a longer destination is replaced whole, and
// a self-copy is refused without touching the file.
TEST_F(SysFile, CopyKeepsTheSourceAndReplacesALongerDestination) {
    test_write_file(dir.file("a"), std::string(1000, 'x'));
    test_write_file(dir.file("b"), std::string(5000, 'y'));
    std::vector<uint64_t> totals;
    EXPECT_TRUE(sys_file_copy(dir.file("a").c_str(), dir.file("b").c_str(),
                              [&](uint64_t copied) { totals.push_back(copied); }, 300));
    EXPECT_EQ(totals, (std::vector<uint64_t>{300, 600, 900, 1000}));
    EXPECT_EQ(test_read_file(dir.file("b")), std::string(1000, 'x'));
    EXPECT_EQ(test_read_file(dir.file("a")), std::string(1000, 'x'));

    EXPECT_FALSE(sys_file_copy(dir.file("a").c_str(), dir.file("a").c_str(), [](uint64_t) {}));
    EXPECT_EQ(test_read_file(dir.file("a")), std::string(1000, 'x'));
}

TEST_F(SysFile, CopyFailuresEndTheProcessAndKeepTheSource) {
    EXPECT_EXIT(sys_file_copy(dir.file("missing").c_str(), dir.file("dst").c_str(), [](uint64_t) {}),
                testing::ExitedWithCode(1), "Error opening .*missing for move!");

    test_write_file(dir.file("src"), pattern(5000));
    EXPECT_EXIT(
        {
            sys_syscalls().sendfile = [](int, int, off_t*, size_t) -> ssize_t { return 0; };
            sys_file_copy(dir.file("src").c_str(), dir.file("dst").c_str(), [](uint64_t) {});
        },
        testing::ExitedWithCode(1), "Error moving file, 0 of 5000 bytes completed");
    EXPECT_EQ(test_read_file(dir.file("src")), pattern(5000));
}

TEST_F(SysFile, RenameSyncsTheFolderAndReportsFailure) {
    test_write_file(dir.file("a.plotting"), "x");
    sys_syscalls().fsync = [](int fd) { return journal.push_back("fsync"), ::fsync(fd); };
    sys_file_rename(dir.file("a.plotting").c_str(), dir.file("a").c_str());
    EXPECT_TRUE(sys_file_exists(dir.file("a").c_str()));
    EXPECT_FALSE(sys_file_exists(dir.file("a.plotting").c_str()));
    EXPECT_EQ(journal, std::vector<std::string>{"fsync"});

    testing::internal::CaptureStderr();
    sys_file_rename(dir.file("gone").c_str(), dir.file("b").c_str());
    const std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_NE(logged.find("Failed to rename " + dir.file("gone") + " to " + dir.file("b") + " errno 2"),
              std::string::npos);
}

TEST_F(SysFile, SyncsReportFailures) {
    const int64_t fd = sys_file_create(dir.file("f").c_str(), 512);
    ASSERT_GT(fd, 0);
    EXPECT_TRUE(sys_file_sync(fd));
    EXPECT_TRUE(sys_dir_sync(dir.path.c_str()));
    sys_syscalls().fdatasync = [](int) { return errno = EIO, -1; };
    EXPECT_FALSE(sys_file_sync(fd));
    sys_file_close(fd);
    EXPECT_FALSE(sys_dir_sync(dir.file("missing").c_str()));
}

TEST_F(SysFile, FreeSpaceOfAMissingPathIsZeroAndLogged) {
    uint64_t total = 0;
    EXPECT_GT(sys_free_space(dir.path.c_str(), &total), 0u);
    EXPECT_GT(total, 0u);

    total = 77;
    testing::internal::CaptureStderr();
    EXPECT_EQ(sys_free_space(dir.file("missing").c_str(), &total), 0u);
    const std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_EQ(total, 77u);
    EXPECT_NE(logged.find("Error getting free space for path " + dir.file("missing")), std::string::npos);
}

TEST_F(SysFile, FolderListingAndVolumeInfo) {
    test_write_file(dir.file("one"), "");
    test_write_file(dir.file("two"), "");
    std::vector<std::string> names;
    sys_dir_list(dir.path.c_str(), [&](const char* name) { return names.push_back(name), true; });
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "one", "two"}));
    int seen = 0;
    sys_dir_list(dir.path.c_str(), [&](const char*) { return ++seen < 2; });
    EXPECT_EQ(seen, 2) << "a false result stops the listing";
    sys_dir_list(dir.file("missing").c_str(), [&](const char*) { return ++seen, true; });
    EXPECT_EQ(seen, 2);

    char name[8] = "xxxxxxx", fs[8] = "yyyyyyy";
    uint32_t first = 0, second = 0;
    sys_volume_info(dir.path.c_str(), sizeof name, name, fs, &first);
    sys_volume_info(dir.path.c_str(), sizeof name, name, fs, &second);
    EXPECT_STREQ(name, "");
    EXPECT_STREQ(fs, "");
    uint32_t third = 0;
    sys_volume_info(dir.path.c_str(), sizeof name, name, fs, &third);
    EXPECT_TRUE(first != second || second != third) << "serials are random";
}

TEST(SysProcess, MemoryFoldersAndSectors) {
    EXPECT_GT(sys_total_ram(), 64ull << 20);
    void* block = sys_alloc(1 << 20);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ((uintptr_t)block % 64, 0u);
    sys_free(block);
    EXPECT_EQ(sys_sector_size("/"), 512u);
}

// In a process started with its standard descriptors closed, files must not become descriptor
// 0 (which means "no file") nor 1 or 2 (where log and progress text would land in them).
TEST_F(SysFile, FilesNeverTakeTheStandardDescriptors) {
    test_write_file(dir.file("data"), "abc");
    EXPECT_EXIT(
        {
            close(0);
            close(1);
            close(2);
            sys_init();
            const int64_t read_fd = sys_file_open_read(dir.file("data").c_str());
            const int64_t write_fd = sys_file_create(dir.file("data").c_str(), 3);
            std::_Exit(read_fd > 2 && write_fd > 2 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}
