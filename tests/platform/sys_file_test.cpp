// File services on real files in scratch folders, with faults injected through the system-call
// table, and files opened while the standard descriptors are closed.
#include <aio.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
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
int pwrite_fail_at = -1;  // call number that fails with pwrite_error, or writes nothing when it is 0
int pwrite_error = EIO;
size_t short_limit = 0;   // most bytes one call transfers; 0 = no limit
int interrupt_left = 0;   // calls that fail with EINTR before any succeeds
std::vector<std::string> journal;

ssize_t flaky_pwrite(int fd, const void* buffer, size_t length, off_t offset) {
    if (++pwrite_calls == pwrite_fail_at) return pwrite_error ? (errno = pwrite_error, -1) : 0;
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
    void TearDown() override { sys_syscalls_reset(); }
    const char* file(const std::string& name) { return (names.push_back(dir.file(name)), names.back().c_str()); }
    std::vector<std::string> listed(const char* folder) {
        std::vector<std::string> all;
        sys_dir_list(folder, [&](const char* name) { return all.push_back(name), true; });
        std::sort(all.begin(), all.end());
        return all;
    }
    test_dir_s dir;
    std::deque<std::string> names;  // keeps the texts file() handed out
};

// One writer owns a file: a second open (even in this process) or a holder finds it locked, and
// a file renamed away by its writer between our open and our lock is not ours. An existing file
// keeps its bytes; a full disk or a missing folder gives no file.
TEST_F(SysFile, CreateReservesLocksAndReportsFailures) {
    test_write_file(file("plot"), "0123456789");
    sys_create_e how = SYS_CREATE_NEW;
    int64_t fd = 0, other = -1, held = 0;
    ASSERT_EQ(sys_file_create(file("plot"), 262144, &fd, &how).error, 0);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(how, SYS_CREATE_EXISTING);
    EXPECT_TRUE(sys_file_locked(file("plot")));
    EXPECT_EQ(sys_file_create(file("plot"), 4096, &other, &how).error, SYS_ERR_LOCKED);
    EXPECT_EQ(other, 0);
    other = -1;
    EXPECT_EQ(sys_file_hold(file("plot"), &other).error, SYS_ERR_LOCKED) << "a holder waits for no writer";
    EXPECT_EQ(other, 0);
    sys_file_close(fd);
    EXPECT_FALSE(sys_file_locked(file("plot")));
    EXPECT_EQ(sys_file_hold(file("plot"), &held).error, 0) << "a holder locks an existing file as a writer would";
    EXPECT_TRUE(held > 0 && sys_file_locked(file("plot")));
    EXPECT_EQ(sys_file_create(file("plot"), 0, &other, &how).error, SYS_ERR_LOCKED);
    sys_file_close(held);
    EXPECT_EQ(sys_file_hold(file("absent"), &held).error, ENOENT);
    EXPECT_TRUE(held == 0 && !sys_file_exists(file("absent"))) << "a holder never creates a file";
    EXPECT_EQ(test_read_file(file("plot")).substr(0, 10), "0123456789");

    static std::string from, to;
    from = dir.file("plot");
    to = from + ".old";
    sys_syscalls().lock = [](int fd, int command, struct flock* lock) {
        if (std::rename(from.c_str(), to.c_str()) == 0) from.clear();
        return fcntl(fd, command, lock);
    };
    EXPECT_EQ(sys_file_create(file("plot"), 0, &fd, &how).error, 0);
    sys_file_close(fd);
    EXPECT_EQ(how, SYS_CREATE_NEW) << "an empty file needs no preallocation";
    EXPECT_EQ(test_read_file(to).size(), 262144u);
    EXPECT_EQ(test_read_file(file("plot")), "");

    EXPECT_EQ(sys_file_create(file("no/such/folder/plot"), 4096, &fd).error, ENOENT);
    EXPECT_EQ(fd, 0);
    static int fallocate_calls;
    fallocate_calls = 0;
    sys_syscalls().posix_fallocate = [](int, off_t, off_t) { return ++fallocate_calls < 3 ? EINTR : ENOSPC; };
    EXPECT_EQ(sys_file_create(file("full"), 4096, &fd).error, ENOSPC);
    EXPECT_EQ(fd, 0);
    EXPECT_EQ(fallocate_calls, 3) << "EINTR is retried, ENOSPC is not";
}

// Short and interrupted calls are continued; reading past the end fails; a failed write, or
// one that writes nothing (a full disk), comes back with its error. An asynchronous read refused
// for a full queue (EAGAIN) reads at once and hands back a request marked finished, unless that
// read fails; other refusals fail.
TEST_F(SysFile, TransfersContinuePartialCallsFallBackFromAFullQueueAndFailOnErrors) {
    const std::string data = pattern(10000);
    sys_syscalls().pwrite = flaky_pwrite;
    sys_syscalls().pread = flaky_pread;
    short_limit = 1000;
    interrupt_left = 2;
    pwrite_calls = 0;
    int64_t fd = 0;
    ASSERT_EQ(sys_file_create(file("f"), 20000, &fd).error, 0);
    EXPECT_EQ(sys_file_write(fd, 5000, data.size(), data.data()).error, 0);
    EXPECT_EQ(pwrite_calls, 12) << "two interrupted calls, then ten of 1000 bytes";
    interrupt_left = 1;
    std::string back(data.size(), 0);
    EXPECT_EQ(sys_file_read(fd, 5000, back.size(), &back[0]).error, 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(sys_file_read(fd, 19990, 11, &back[0]).error, ENODATA) << "the file ends early";
    EXPECT_EQ(sys_file_read(fd, 20001, 1, &back[0]).error, ENODATA);
    sys_syscalls().aio_read = [](aio_request*) { return errno = EAGAIN, -1; };
    aio_request* request = nullptr;
    ASSERT_EQ(sys_file_read(fd, 5100, 4096, &back[0], &request).error, 0);
    ASSERT_NE(request, nullptr);
    EXPECT_TRUE(request->aio_fildes == 0 && sys_aio_done(request)) << "marked as finished";
    sys_aio_cancel(fd, request);
    EXPECT_EQ(back.substr(0, 4096), data.substr(100, 4096));
    sys_aio_free(request);
    EXPECT_EQ(sys_file_read(fd, 19000, 4096, &back[0], &request).error, ENODATA) << "a fallback read past the end";
    sys_aio_free(request);
    sys_syscalls().aio_read = [](aio_request*) { return errno = ENOSYS, -1; };
    EXPECT_EQ(sys_file_read(fd, 0, 4096, &back[0], &request).error, ENOSYS);
    sys_aio_free(request);
    for (const int error : {EIO, 0}) {
        pwrite_fail_at = pwrite_calls + 3;
        pwrite_error = error;
        EXPECT_EQ(sys_file_write(fd, 0, data.size(), data.data()).error, error ? error : ENOSPC);
        EXPECT_EQ(errno, error ? error : ENOSPC) << "errno says the same";
    }
    sys_file_close(fd);
    EXPECT_EQ(test_read_file(file("f")).substr(5000, 10000), data);
    int64_t missing = -1;
    EXPECT_EQ(sys_file_open_read(file("missing"), &missing).error, ENOENT);
    EXPECT_EQ(missing, 0);
}

// Copies report running totals, replace a longer destination whole, keep the source and the
// permissions, and sync the copy and its folder entry. Failures come back with the system's
// reason and keep the source.
TEST_F(SysFile, CopyInChunks) {
    sys_syscalls().fsync = journal_fsync;
    const struct {
        size_t size, old_size;             // bytes copied; bytes already at the destination
        std::vector<std::string> journal;  // progress reports and syncs, in order
    } cases[] = {
        {0, 0, {"fsync", "fsync"}},
        {10000, 0, {"4096", "8192", "10000", "fsync", "fsync"}},
        {5000, 20000, {"4096", "5000", "fsync", "fsync"}},
    };
    const auto progress = [](uint64_t copied) { journal.push_back(std::to_string(copied)); };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes");
        journal.clear();
        test_write_file(file("src"), pattern(c.size));
        unlink(file("dst"));
        if (c.old_size) test_write_file(file("dst"), std::string(c.old_size, 'y'));
        chmod(file("src"), 0640);
        EXPECT_EQ(sys_file_copy(file("src"), file("dst"), progress, 4096).error, 0);
        EXPECT_EQ(journal, c.journal);
        EXPECT_EQ(test_read_file(file("dst")), pattern(c.size));
        EXPECT_EQ(test_read_file(file("src")), pattern(c.size));
        struct stat info;
        ASSERT_EQ(stat(file("dst"), &info), 0);
        EXPECT_TRUE(c.old_size || (info.st_mode & 0777) == 0640) << "a new copy takes the source's permissions";
    }
    const std::pair<int, void (*)()> failures[] = {
        {EEXIST, [] {}},  // a copy onto itself
        {ENOENT, [] {}},  // no source
        {EIO, [] { sys_syscalls().sendfile = [](int, int, off_t*, size_t) -> ssize_t { return 0; }; }},
        {ENOSPC, [] { sys_syscalls().sendfile = [](int, int, off_t*, size_t) -> ssize_t { return errno = ENOSPC, -1; }; }},
        {EIO, [] { sys_syscalls().fsync = [](int) { return errno = EIO, -1; }; }},
        {EFBIG, [] { sys_syscalls().ftruncate = [](int, off_t) { return errno = EFBIG, -1; }; }}};
    for (const auto& [error, fault] : failures) {
        sys_syscalls_reset();
        fault();
        errno = 0;
        const char* to = error == EEXIST ? file("src") : file("dst");
        EXPECT_EQ(sys_file_copy(file(error == ENOENT ? "missing" : "src"), to, progress).error, error);
        EXPECT_EQ(test_read_file(file("src")), pattern(5000)) << "a failed copy keeps its source";
    }
}

// A rename syncs its folder; a no-replace rename never replaces a file, with the system's flag
// or, where the file system lacks it, through a hard link: the refused file keeps its name and
// the existing one its bytes. Renames and syncs report their failures.
TEST_F(SysFile, RenameAndSyncsReportFailures) {
    test_write_file(file("a.plotting"), "x");
    journal.clear();
    sys_syscalls().fsync = journal_fsync;
    EXPECT_EQ(sys_file_rename(file("a.plotting"), file("a")).error, 0);
    EXPECT_TRUE(sys_file_exists(file("a")) && !sys_file_exists(file("a.plotting")));
    EXPECT_EQ(journal, std::vector<std::string>{"fsync"}) << "the folder is synced";
    EXPECT_EQ(sys_file_rename(file("gone"), file("b")).error, ENOENT);
    for (const bool flag_supported : {true, false}) {
        SCOPED_TRACE(flag_supported);
        if (!flag_supported) sys_syscalls().rename_noreplace = [](const char*, const char*) { return errno = EINVAL, -1; };
        sys_file_delete(file("a"));
        test_write_file(file("a.moving"), "new");
        test_write_file(file("b"), "old");
        errno = 0;
        EXPECT_EQ(sys_file_rename_new(file("a.moving"), file("b")).error, EEXIST);
        EXPECT_EQ(test_read_file(file("a.moving")) + test_read_file(file("b")), "newold");
        EXPECT_EQ(sys_file_rename_new(file("a.moving"), file("a")).error, 0);
        EXPECT_EQ(test_read_file(file("a")), "new");
        EXPECT_FALSE(sys_file_exists(file("a.moving")));
    }
    int64_t fd = 0;
    ASSERT_EQ(sys_file_create(file("f"), 512, &fd).error, 0);
    EXPECT_EQ(sys_file_sync(fd).error, 0);
    EXPECT_EQ(sys_dir_sync(dir.path.c_str()).error, 0);
    EXPECT_EQ(sys_dir_sync(file("missing")).error, ENOENT);
    sys_syscalls().fdatasync = [](int) { return errno = EIO, -1; };
    EXPECT_EQ(sys_file_sync(fd).error, EIO);
    sys_file_close(fd);
}

// Whether a folder takes new files, with the system's reason when it does not: a folder that
// is not there, a file in its place, a read-only file system, a refusal, a full disk. The file
// made to find out never stays behind. A missing folder also has no free space (its total left
// alone) and lists nothing; batch buffers are aligned for direct transfers.
TEST_F(SysFile, FolderWriteTestSaysWhyNot) {
    test_write_file(file("plain"), "");
    static int open_error, pwrite_error_once;  // what the injected calls fail with
    const struct {
        const char* folder;  // under the scratch folder; "" is the folder itself
        int open_fails, pwrite_fails, error;
    } cases[] = {{"", 0, 0, 0},        {"missing", 0, 0, ENOENT}, {"plain", 0, 0, ENOTDIR},
                 {"", EROFS, 0, EROFS}, {"", EACCES, 0, EACCES},   {"", 0, ENOSPC, ENOSPC}};
    for (const auto& c : cases) {
        sys_syscalls_reset();
        open_error = c.open_fails;
        pwrite_error_once = c.pwrite_fails;
        if (c.open_fails) sys_syscalls().open = [](const char*, int, mode_t) { return errno = open_error, -1; };
        if (c.pwrite_fails)
            sys_syscalls().pwrite = [](int, const void*, size_t, off_t) { return errno = pwrite_error_once, (ssize_t)-1; };
        const std::string folder = *c.folder ? dir.file(c.folder) : dir.path;
        EXPECT_EQ(sys_dir_try_write(folder.c_str()).error, c.error) << c.folder << " " << c.open_fails << c.pwrite_fails;
        EXPECT_EQ(listed(dir.path.c_str()), (std::vector<std::string>{".", "..", "plain"})) << c.folder;
    }
    uint64_t total = 77;
    EXPECT_EQ(sys_free_space(file("missing"), &total), 0u);
    EXPECT_EQ(total, 77u);
    EXPECT_GT(sys_free_space(dir.path.c_str(), &total), 0u);
    EXPECT_EQ(listed(file("missing")), std::vector<std::string>{});
    const std::unique_ptr<void, void (*)(void*)> block(sys_alloc(1 << 20), sys_free);
    EXPECT_EQ((uintptr_t)block.get() % 4096, 0u);
}

// The sector size is the direct-I/O alignment the file system reports for a file in the
// folder (the disk's logical block size); 512 when it tells nothing, or no block size.
TEST_F(SysFile, SectorSizeIsTheReportedBlockSize) {
    static struct {
        bool known;  // whether the injected statx sets STATX_DIOALIGN in its mask
        uint32_t alignment;
        uint64_t sector;
    } cases[] = {{true, 4096, 4096}, {true, 512, 512}, {true, 0, 512}, {false, 4096, 512},
                 {true, 1000, 512},  {true, 256, 512}, {true, 1u << 20, 512}};
    static size_t now;
    sys_syscalls().statx = [](int, const char*, int, unsigned int, struct statx* info) {
        info->stx_mask = cases[now].known ? STATX_DIOALIGN : 0;
        info->stx_dio_offset_align = cases[now].alignment;
        return 0;
    };
    for (now = 0; now < std::size(cases); ++now)
        EXPECT_EQ(sys_sector_size(dir.path.c_str()), cases[now].sector) << cases[now].known << " " << cases[now].alignment;
    sys_syscalls_reset();
    EXPECT_EQ(sys_sector_size(file("missing")), 512u);
    const uint64_t here = sys_sector_size(dir.path.c_str());
    EXPECT_TRUE(here >= 512 && (here & (here - 1)) == 0) << here;
}

// In a process started with its standard descriptors closed, files must not become descriptor
// 0 (which means "no file") nor 1 or 2 (where log and progress text would land in them).
TEST_F(SysFile, FilesNeverTakeTheStandardDescriptors) {
    test_write_file(file("data"), "abc");
    EXPECT_EXIT(
        {
            for (int fd = 0; fd <= 2; ++fd) close(fd);
            sys_init();
            int64_t read_fd = 0;
            int64_t write_fd = 0;
            sys_file_open_read(file("data"), &read_fd);
            sys_file_create(file("data"), 3, &write_fd);
            std::_Exit(read_fd > 2 && write_fd > 2 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

// Direct writes kept in flight together land where they were sent and each is reported once;
// a transfer that is not sector-aligned is never started, and a run whose writes go through a
// replaced seam gets no queue (it writes one row at a time through the seam instead).
TEST_F(SysFile, QueuedDirectWritesLandAndReportEachOnce) {
    constexpr uint64_t ROW = 4096, ROWS = 16, STRIDE = 3 * ROW;
    test_write_file(file("rows"), std::string(ROWS * STRIDE, '\0'));
    int64_t direct = 0;
    if (sys_file_open_direct(file("rows"), &direct).error) GTEST_SKIP() << "no direct I/O in " << dir.path;
    const std::unique_ptr<uint8_t, void (*)(void*)> rows((uint8_t*)sys_alloc(ROWS * ROW), sys_free);
    const std::string bytes = pattern(ROWS * ROW);
    std::copy(bytes.begin(), bytes.end(), rows.get());
    std::vector<int> reported(ROWS, 0);
    sys_queue_s* queue = sys_queue_open(direct, 4, [&](uint64_t tag, int error) {
        EXPECT_EQ(error, 0);
        ++reported.at(tag);
    });
    if (!queue) {
        sys_file_close(direct);
        GTEST_SKIP() << "no io_uring for this process";
    }
    for (uint64_t r = 0; r < ROWS; ++r)
        EXPECT_EQ(sys_queue_write(queue, r * STRIDE, ROW, rows.get() + r * ROW, r).error, 0);
    EXPECT_EQ(sys_queue_write(queue, 100, ROW, rows.get(), 99).error, EINVAL);
    EXPECT_EQ(sys_queue_write(queue, 0, 100, rows.get(), 99).error, EINVAL);
    sys_queue_close(queue);
    EXPECT_EQ(reported, std::vector<int>(ROWS, 1));
    const std::string written = test_read_file(file("rows"));
    ASSERT_EQ(written.size(), ROWS * STRIDE);
    for (uint64_t r = 0; r < ROWS; ++r) {
        EXPECT_EQ(written.substr(r * STRIDE, ROW), bytes.substr(r * ROW, ROW)) << "row " << r;
        EXPECT_EQ(written.substr(r * STRIDE + ROW, 2 * ROW), std::string(2 * ROW, '\0')) << "after row " << r;
    }
    sys_syscalls().pwrite = flaky_pwrite;
    EXPECT_EQ(sys_queue_open(direct, 4, [](uint64_t, int) {}), nullptr);
    sys_file_close(direct);
}

}  // namespace
