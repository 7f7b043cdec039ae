// Linux process, file and disk services.
//
// DESIGN: no state is kept between calls apart from the system-call table, which
// tests replace to inject faults. Writes and synchronous reads loop at explicit
// offsets, so several threads may use different descriptors at once and a short
// transfer is continued rather than mistaken for the whole one. Copies are made
// durable before the source is deleted, so a crash never leaves neither file.
#include <aio.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <stdio.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sys.h"
#include "platform/util.h"

namespace {

sys_syscalls_s default_syscalls() {
    sys_syscalls_s table;
    table.open = [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); };
    table.pwrite = ::pwrite;
    table.pread = ::pread;
    table.posix_fallocate = ::posix_fallocate;
    table.fdatasync = ::fdatasync;
    table.fsync = ::fsync;
    table.rename = ::rename;
    table.rename_noreplace = [](const char* old_path, const char* new_path) {
        return ::renameat2(AT_FDCWD, old_path, AT_FDCWD, new_path, RENAME_NOREPLACE);
    };
    table.link = ::link;
    table.unlink = ::unlink;
    table.sendfile = ::sendfile;
    table.statvfs = [](const char* path, struct statvfs* info) { return ::statvfs(path, info); };
    table.aio_read = ::aio_read;
    table.lock = [](int fd, int command, struct flock* lock) { return ::fcntl(fd, command, lock); };
    table.statx = ::statx;
    table.access = ::access;
    table.memalign = ::posix_memalign;
    table.ftruncate = ::ftruncate;
    table.write = ::write;
    table.close = ::close;
    table.fstatat = [](int dirfd, const char* path, struct stat* info, int flags) {
        return ::fstatat(dirfd, path, info, flags);
    };
    table.opendir = ::opendir;
    table.readdir = ::readdir;
    table.closedir = ::closedir;
    table.getcwd = ::getcwd;
    table.chdir = ::chdir;
    table.realpath = ::realpath;
    table.getrandom = ::getrandom;
    table.sysconf = ::sysconf;
    table.aio_error = ::aio_error;
    table.aio_return = ::aio_return;
    table.aio_cancel = ::aio_cancel;
    table.aio_suspend = ::aio_suspend;
    return table;
}

sys_syscalls_s syscalls = default_syscalls();

constexpr uint64_t DIRECT_ALIGN = 512;  // the smallest logical block of a disk

// The folder holding `path`, usable with open(): "." for a bare name, "/" for a
// file in the root.
std::string folder_of(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (!slash) return ".";
    if (slash == path) return "/";
    return std::string(path, slash - path);
}

// A failure with `error`, which errno holds too.
sys_err_s failed(int error) {
    errno = error;
    return sys_err_s{error};
}

// 0, or errno after a call that returned its failure as -1.
sys_err_s checked(int result) { return result == 0 ? sys_err_s{} : sys_err_s{errno}; }

// fstat(2) through the table.
int stat_fd(int fd, struct stat* info) { return syscalls.fstatat(fd, "", info, AT_EMPTY_PATH); }

// stat(2), links followed, through the table.
int stat_path(const char* path, struct stat* info) { return syscalls.fstatat(AT_FDCWD, path, info, 0); }

// Offsets beyond what off_t can express would make the system calls fail or wrap.
bool range_fits(uint64_t offset, uint64_t length) {
    const uint64_t limit = (uint64_t)INT64_MAX;
    return offset <= limit && length <= limit - offset;
}

// Writes all `length` bytes at *offset, or at the descriptor's position when offset is
// none (streams); returns 0 on success, else an error number. A write that makes no
// progress would loop forever; it counts as no space.
int write_fully(int fd, const uint64_t* offset, uint64_t length, const uint8_t* bytes) {
    uint64_t done = 0;
    while (done < length) {
        const ssize_t put = offset ? syscalls.pwrite(fd, bytes + done, length - done, (off_t)(*offset + done))
                                   : syscalls.write(fd, bytes + done, length - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return errno;
        if (put == 0) return ENOSPC;
        done += (uint64_t)put;
    }
    return 0;
}

// Reads all of [offset, offset + length); returns 0 on success, else an error number
// (-1 for an early end of file).
int read_fully(int fd, uint64_t offset, uint64_t length, uint8_t* buffer) {
    uint64_t done = 0;
    while (done < length) {
        const ssize_t got = syscalls.pread(fd, buffer + done, length - done, (off_t)(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) return -1;
        done += (uint64_t)got;
    }
    return 0;
}

// Closes descriptors of a failed copy and hands back the error that ended it.
sys_err_s copy_failed(int in, int out) {
    const int error = errno;
    if (in >= 0) syscalls.close(in);
    if (out >= 0) syscalls.close(out);
    return failed(error);
}

}  // namespace

sys_syscalls_s& sys_syscalls() { return syscalls; }

void sys_syscalls_reset() { syscalls = default_syscalls(); }

void sys_init() {
    // A process started with standard descriptors closed would hand them to the next
    // files it opens: descriptor 0 reads as "no file", and log or progress text written
    // to 1 and 2 would land inside a plot file. Park them on /dev/null instead.
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat info;
        if (stat_fd(fd, &info) == 0 || errno != EBADF) continue;
        // The lowest free descriptor is fd itself: the ones below it are open by now.
        syscalls.open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
}

sys_err_s sys_getcwd(std::string* folder) {
    folder->clear();
    // The buffer grows until the folder fits: a folder may be longer than any fixed size.
    for (size_t capacity = 4096; capacity <= ((size_t)1 << 24); capacity *= 2) {
        std::string buffer(capacity, '\0');
        if (syscalls.getcwd(buffer.data(), capacity)) return *folder = buffer.c_str(), sys_err_s{};
        if (errno != ERANGE) return failed(errno);
    }
    return failed(ENAMETOOLONG);
}

sys_err_s sys_chdir(const char* path) { return checked(syscalls.chdir(path)); }

uint64_t sys_total_ram() {
    const long pages = syscalls.sysconf(_SC_PHYS_PAGES);
    const long page_size = syscalls.sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    return (uint64_t)pages * (uint64_t)page_size;
}

void* sys_alloc(uint64_t size) {
    // Page alignment suits every SIMD width and lets the buffers be used for direct I/O.
    void* block = nullptr;
    if (syscalls.memalign(&block, 4096, size ? size : 1) != 0) return nullptr;
    return block;
}

void sys_free(void* block) { std::free(block); }

uint64_t sys_random_u64() {
    uint64_t value = 0;
    if (syscalls.getrandom(&value, sizeof value, GRND_RANDOM) != (ssize_t)sizeof value)
        syscalls.getrandom(&value, sizeof value, 0);
    return value;
}

uint64_t sys_free_space(const char* path, uint64_t* total_bytes) {
    struct statvfs info;
    if (syscalls.statvfs(path, &info) != 0) {
        sys_log("Error getting free space for path %s\n", path);
        return 0;
    }
    // Block counts are in fragment-size units; f_bsize is only the preferred I/O size.
    const uint64_t unit = info.f_frsize ? info.f_frsize : info.f_bsize;
    if (total_bytes) *total_bytes = (uint64_t)info.f_blocks * unit;
    return (uint64_t)info.f_bavail * unit;
}

uint32_t sys_volume_serial(const char* path) {
    uint64_t id = 0;
    struct statvfs info;
    if (syscalls.statvfs(path, &info) == 0) id = (uint64_t)info.f_fsid;
    struct statx device;
    std::memset(&device, 0, sizeof device);
    if (id == 0 && syscalls.statx(AT_FDCWD, path, 0, 0, &device) == 0)
        id = (uint64_t)device.stx_dev_major << 32 | device.stx_dev_minor;
    if (id == 0) return (uint32_t)sys_random_u64();
    // Both halves of the id count: one multiplication spreads them over the upper bits.
    return (uint32_t)((id * 0x9E3779B97F4A7C15ull) >> 32);
}

uint64_t sys_sector_size(const char* path) {
    // The direct-I/O offset alignment is the disk's logical block size, and the file system
    // reports it for regular files only: an unnamed temporary file in the folder asks
    // without leaving anything behind. (st_blksize is the preferred I/O size, usually the
    // page size, not a block of the disk; BLKSSZGET needs the device node itself.)
    const int fd = syscalls.open(path, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) return 512;
    struct statx info;
    std::memset(&info, 0, sizeof info);
    const bool told = syscalls.statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &info) == 0 &&
                      (info.stx_mask & STATX_DIOALIGN) != 0;
    syscalls.close(fd);
    const uint64_t block = told ? info.stx_dio_offset_align : 0;
    // 0 means no direct I/O (tmpfs); only powers of two from 512 to 64 KiB are blocks.
    return block >= 512 && block <= 65536 && (block & (block - 1)) == 0 ? block : 512;
}

sys_err_s sys_dir_list(const char* path, const std::function<bool(const char* name)>& callback) {
    DIR* dir = syscalls.opendir(path);
    if (!dir) return failed(errno);
    int error = 0;
    for (;;) {
        errno = 0;  // readdir tells an error from the end only through errno
        const dirent* entry = syscalls.readdir(dir);
        if (!entry) {
            error = errno;
            break;
        }
        if (!callback(entry->d_name)) break;
    }
    syscalls.closedir(dir);
    errno = error;
    return sys_err_s{error};
}

sys_err_s sys_dir_try_write(const char* folder) {
    // A name no plot file or other program's file has, unique to this process and call.
    char name[64];
    std::snprintf(name, sizeof name, ".kestrune-write-test-%d-%016llx", (int)getpid(),
                  (unsigned long long)sys_random_u64());
    const std::string path = path_with_slash(folder) + name;
    const int fd = syscalls.open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return failed(errno);
    const char byte = 0;
    errno = 0;
    const ssize_t wrote = syscalls.pwrite(fd, &byte, 1, 0);
    int error = wrote == 1 ? 0 : wrote < 0 && errno ? errno : ENOSPC;  // no progress counts as a full disk
    syscalls.close(fd);
    if (syscalls.unlink(path.c_str()) != 0 && error == 0) error = errno;
    return error ? failed(error) : sys_err_s{};
}

namespace {

// A write lock over the whole file, owned by the open file description: two opens conflict
// even within one process, and the lock ends when the last descriptor of the open closes.
int whole_file_lock(int fd, int command) {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return syscalls.lock(fd, command, &lock) == 0 ? lock.l_type : -1;
}

// Whether the descriptor is still the file at path: a writer that finished it may have
// renamed or deleted it between our open and our lock.
bool still_named(int fd, const char* path) {
    struct stat opened, named;
    return stat_fd(fd, &opened) == 0 && stat_path(path, &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

// Opens path for writing and locks it; -1 with errno on failure (SYS_ERR_LOCKED when another
// writer holds it). The path is created exclusively (with `create`), or opened when it exists;
// a file that appears, vanishes or is replaced meanwhile is looked at again.
int open_locked(const char* path, bool create, sys_create_e* how) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        bool created = create;
        int fd = create ? syscalls.open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644) : -1;
        if (!create || (fd < 0 && errno == EEXIST)) {
            created = false;
            fd = syscalls.open(path, O_RDWR | O_CLOEXEC, 0);
            if (fd < 0 && errno == ENOENT && create) continue;
        }
        if (fd < 0) return -1;
        if (whole_file_lock(fd, F_OFD_SETLK) < 0) {
            const int error = errno;
            syscalls.close(fd);
            errno = error == EAGAIN || error == EACCES ? SYS_ERR_LOCKED : error;
            return -1;
        }
        if (!still_named(fd, path)) {
            syscalls.close(fd);
            continue;
        }
        *how = created ? SYS_CREATE_NEW : SYS_CREATE_EXISTING;
        return fd;
    }
    errno = EBUSY;
    return -1;
}

}  // namespace

sys_err_s sys_file_create(const char* path, uint64_t size, int64_t* handed, sys_create_e* how) {
    sys_create_e found = SYS_CREATE_NEW;
    if (!how) how = &found;
    *handed = 0;
    const int fd = open_locked(path, true, how);
    if (fd < 0) return failed(errno);
    // posix_fallocate rejects a length of 0, and an empty file needs no reservation.
    int error = size > (uint64_t)INT64_MAX ? EFBIG : 0;
    while (size > 0 && error == 0) {
        error = syscalls.posix_fallocate(fd, 0, (off_t)size);
        if (error != EINTR) break;
        error = 0;
    }
    if (error != 0) {
        syscalls.close(fd);
        return failed(error);
    }
    *handed = fd;
    return sys_err_s{};
}

sys_err_s sys_file_hold(const char* path, int64_t* handed) {
    sys_create_e how = SYS_CREATE_EXISTING;
    *handed = 0;
    const int fd = open_locked(path, false, &how);
    if (fd < 0) return failed(errno);
    *handed = fd;
    return sys_err_s{};
}

namespace {

// Hands out an opened descriptor, or 0 and the error of a failed open.
sys_err_s opened(int fd, int64_t* handed) {
    *handed = fd < 0 ? 0 : fd;
    return fd < 0 ? failed(errno) : sys_err_s{};
}

}  // namespace

bool sys_file_locked(const char* path) {
    const int fd = syscalls.open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) return false;
    const int type = whole_file_lock(fd, F_OFD_GETLK);
    syscalls.close(fd);
    return type >= 0 && type != F_UNLCK;
}

// O_NONBLOCK keeps a FIFO without a writer from blocking the open forever; it has no
// effect on reads of regular files.
sys_err_s sys_file_open_read(const char* path, int64_t* fd) {
    return opened(syscalls.open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0), fd);
}

void sys_file_close(int64_t fd) {
    if (fd > 0) syscalls.close((int)fd);
}

sys_err_s sys_file_delete(const char* path) { return checked(syscalls.unlink(path)); }

bool sys_file_exists(const char* path) { return syscalls.access(path, F_OK) == 0; }

bool sys_same_file(const char* a, const char* b) {
    struct stat first, second;
    if (stat_path(a, &first) != 0 || stat_path(b, &second) != 0) return false;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

sys_err_s sys_file_size(int64_t fd, uint64_t* size) {
    struct stat info;
    *size = 0;
    if (stat_fd((int)fd, &info) != 0) return failed(errno);
    *size = (uint64_t)info.st_size;
    return sys_err_s{};
}

sys_err_s sys_file_rename(const char* old_path, const char* new_path) {
    if (syscalls.rename(old_path, new_path) != 0) {
        const int error = errno;
        sys_log("Failed to rename %s to %s errno %d\n", old_path, new_path, error);
        return failed(error);
    }
    sys_dir_sync(folder_of(new_path).c_str());
    return sys_err_s{};
}

// Whether a failed no-replace rename means the file system lacks the flag, not a refusal.
static bool noreplace_unsupported(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

sys_err_s sys_file_rename_new(const char* old_path, const char* new_path) {
    int done = syscalls.rename_noreplace(old_path, new_path);
    // A hard link cannot replace an existing name either; the old name goes once the new
    // one exists, so the file is never without a name.
    if (done != 0 && noreplace_unsupported(errno)) {
        done = syscalls.link(old_path, new_path);
        if (done == 0 && syscalls.unlink(old_path) != 0)
            sys_log("  %s is also still named %s (errno %d)\n", new_path, old_path, errno);
    }
    if (done != 0) {
        const int error = errno;
        if (error != EEXIST) sys_log("Failed to rename %s to %s: %s\n", old_path, new_path, std::strerror(error));
        return failed(error);
    }
    sys_dir_sync(folder_of(new_path).c_str());
    return sys_err_s{};
}

// Writes the whole range.
static sys_err_s write_range(int64_t fd, uint64_t offset, uint64_t length, const void* buffer) {
    if (!range_fits(offset, length)) return failed(EFBIG);
    const int error = write_fully((int)fd, &offset, length, static_cast<const uint8_t*>(buffer));
    return error ? failed(error) : sys_err_s{};
}

sys_err_s sys_file_write(int64_t fd, uint64_t offset, uint64_t length, const void* buffer) {
    return write_range(fd, offset, length, buffer);
}

sys_err_s sys_file_open_direct(const char* path, int64_t* fd) {
    return opened(syscalls.open(path, O_WRONLY | O_DIRECT | O_CLOEXEC, 0), fd);
}

sys_err_s sys_file_write_direct(int64_t fd, uint64_t offset, uint64_t length, const void* buffer) {
    // Direct transfers need sector-aligned offsets, lengths and memory; anything else
    // would only be refused by the system.
    if ((offset | length | (uintptr_t)buffer) % DIRECT_ALIGN != 0) return failed(EINVAL);
    return write_range(fd, offset, length, buffer);
}

sys_err_s sys_file_open_write(const char* path, int64_t* fd) {
    return opened(syscalls.open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), fd);
}

sys_err_s sys_file_write_stream(int64_t fd, const void* data, uint64_t length, bool finish) {
    int error = write_fully((int)fd, nullptr, length, static_cast<const uint8_t*>(data));
    if (finish) {
        int synced;
        do {
            synced = syscalls.fsync((int)fd);
        } while (synced != 0 && errno == EINTR);
        // Devices and pipes cannot be synced (EINVAL, EROFS); their bytes are delivered.
        if (error == 0 && synced != 0 && errno != EINVAL && errno != EROFS) error = errno;
        if (syscalls.close((int)fd) != 0 && error == 0) error = errno;
    }
    errno = error;
    return sys_err_s{error};
}

sys_err_s sys_file_read(int64_t fd, uint64_t offset, uint64_t length, void* buffer, aio_request** request) {
    if (!range_fits(offset, length)) {
        sys_log("Failed to seek file to offset %llu. Error %d\n", (unsigned long long)offset, EINVAL);
        return failed(EINVAL);
    }
    if (!request) {
        const int error = read_fully((int)fd, offset, length, static_cast<uint8_t*>(buffer));
        if (error == 0) return sys_err_s{};
        if (error < 0) {
            sys_log("Failed to read file at offset %llu: the file ends before %llu bytes\n",
                    (unsigned long long)offset, (unsigned long long)length);
        } else {
            sys_log("Failed to read file at offset %llu. Error %d\n", (unsigned long long)offset, error);
        }
        return failed(error < 0 ? ENODATA : error);
    }

    void* block = nullptr;
    if (syscalls.memalign(&block, alignof(aio_request), sizeof(aio_request)) != 0) return failed(ENOMEM);
    aio_request* queued = static_cast<aio_request*>(std::memset(block, 0, sizeof(aio_request)));
    queued->aio_fildes = (int)fd;
    queued->aio_buf = buffer;
    queued->aio_nbytes = length;
    queued->aio_offset = (off_t)offset;
    queued->aio_sigevent.sigev_notify = SIGEV_NONE;
    *request = queued;
    if (syscalls.aio_read(queued) == 0) return sys_err_s{};
    if (errno == EAGAIN) {
        // The system's queue is full: read now and leave a request marked finished.
        std::memset(queued, 0, sizeof *queued);
        const int error = read_fully((int)fd, offset, length, static_cast<uint8_t*>(buffer));
        return error == 0 ? sys_err_s{} : failed(error < 0 ? ENODATA : error);
    }
    const int error = errno;
    sys_log("Error async reading from file. Errno %d\n", error);
    return failed(error);
}

sys_err_s sys_file_sync(int64_t fd) {
    int result;
    do {
        result = syscalls.fdatasync((int)fd);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return sys_err_s{};
    const int error = errno;
    sys_log("Failed to sync file: %s\n", std::strerror(error));
    return failed(error);
}

sys_err_s sys_dir_sync(const char* folder) {
    const int fd = syscalls.open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        const int error = errno;
        sys_log("Failed to open folder %s for sync: %s\n", folder, std::strerror(error));
        return failed(error);
    }
    int result;
    do {
        result = syscalls.fsync(fd);
    } while (result != 0 && errno == EINTR);
    const int error = errno;
    syscalls.close(fd);
    // Some file systems cannot sync a folder at all; their entries are as safe as they get.
    if (result != 0 && error != EINVAL && error != ENOTSUP) {
        sys_log("Failed to sync folder %s: %s\n", folder, std::strerror(error));
        return failed(error);
    }
    return sys_err_s{};
}

#ifdef __SANITIZE_THREAD__
// ThreadSanitizer cannot follow threads that glibc's AIO helpers start from one another (it
// crashes in them); with a single helper none is ever started from a helper.
static const bool aio_single_helper = [] {
    aioinit init{};
    init.aio_threads = 1;
    init.aio_num = 64;
    aio_init(&init);
    return true;
}();
#endif

bool sys_aio_done(aio_request* request) {
    if (!request || request->aio_fildes == 0) return true;
    if (syscalls.aio_error(request) == EINPROGRESS) return false;
    return syscalls.aio_return(request) != -1;
}

bool sys_aio_failed(aio_request* request) {
    if (!request || request->aio_fildes == 0) return false;
    const int error = syscalls.aio_error(request);
    return error != 0 && error != EINPROGRESS;
}

void sys_aio_cancel(int64_t fd, aio_request* request) {
    if (!request || request->aio_fildes == 0) return;
    if (syscalls.aio_cancel((int)fd, request) != AIO_NOTCANCELED) return;
    // The read is running: the caller frees the request and its buffer next, so wait.
    const aio_request* list[1] = {request};
    while (syscalls.aio_error(request) == EINPROGRESS) syscalls.aio_suspend(list, 1, nullptr);
}

// glibc's helper thread publishes a request's result before it has finished with the request
// (it still reads it to notify under its lock); aio_cancel takes that lock, so once it returns
// the helper is done with the request and its memory can go.
void sys_aio_free(aio_request* request) {
    if (request && request->aio_fildes > 0) syscalls.aio_cancel(request->aio_fildes, request);
    std::free(request);
}

sys_err_s sys_file_copy(const char* source, const char* destination,
                   const std::function<void(uint64_t copied)>& progress, uint64_t chunk_bytes) {
    if (chunk_bytes == 0) chunk_bytes = SYS_MOVE_CHUNK;
    const int in = syscalls.open(source, O_RDONLY | O_CLOEXEC, 0);
    struct stat info;
    if (in < 0 || stat_fd(in, &info) != 0) return copy_failed(in, -1);
    const int out = syscalls.open(destination, O_WRONLY | O_CREAT | O_CLOEXEC, info.st_mode & 07777);
    if (out < 0) return copy_failed(in, -1);

    // Copying a file onto itself (and then deleting the source) would lose it.
    struct stat target;
    if (stat_fd(out, &target) == 0 && target.st_dev == info.st_dev && target.st_ino == info.st_ino) {
        sys_log("Not copying %s: it is already %s\n", source, destination);
        errno = EEXIST;
        return copy_failed(in, out);
    }

    const off_t size = info.st_size;
    off_t offset = 0;
    while (offset < size) {
        const uint64_t count = (uint64_t)(size - offset) < chunk_bytes ? (uint64_t)(size - offset) : chunk_bytes;
        const ssize_t sent = syscalls.sendfile(out, in, &offset, count);
        progress((uint64_t)offset);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0) return copy_failed(in, out);
        // A source that ends early (or a copy that makes no progress) leaves a short copy.
        if (sent == 0) {
            errno = EIO;
            return copy_failed(in, out);
        }
    }

    // An older, longer destination would otherwise keep its tail.
    if (syscalls.ftruncate(out, size) != 0) return copy_failed(in, out);
    int synced;
    do {
        synced = syscalls.fsync(out);
    } while (synced != 0 && errno == EINTR);
    if (synced != 0) return copy_failed(in, out);
    syscalls.close(in);
    syscalls.close(out);
    return sys_dir_sync(folder_of(destination).c_str());
}

sys_err_s sys_path_size(const char* path, uint64_t* size) {
    sys_path_info_s info;
    const sys_err_s looked = sys_path_info(path, &info);
    if (looked.error) return looked;
    *size = info.size;
    return sys_err_s{};
}

sys_err_s sys_file_writable(const char* path) {
    struct stat info;
    if (stat_path(path, &info) != 0) return failed(errno);
    if ((info.st_mode & 0222) == 0) return failed(EACCES);
    return checked(syscalls.access(path, W_OK));
}

sys_err_s sys_path_info(const char* path, sys_path_info_s* info, bool follow_links) {
    struct statx found;
    const unsigned mask = STATX_TYPE | STATX_NLINK | STATX_SIZE | STATX_INO;
    if (syscalls.statx(AT_FDCWD, path, follow_links ? 0 : AT_SYMLINK_NOFOLLOW, mask, &found) != 0)
        return failed(errno);
    info->symlink = S_ISLNK(found.stx_mode);
    info->regular = S_ISREG(found.stx_mode);
    info->folder = S_ISDIR(found.stx_mode);
    info->size = found.stx_size;
    info->links = found.stx_nlink;
    info->device = ((uint64_t)found.stx_dev_major << 32) | found.stx_dev_minor;
    info->inode = found.stx_ino;
    return sys_err_s{};
}

sys_err_s sys_real_path(const char* path, std::string* real) {
    char* found = syscalls.realpath(path, nullptr);
    if (!found) return real->clear(), failed(errno);
    *real = found;
    std::free(found);
    return sys_err_s{};
}
