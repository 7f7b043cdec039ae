// The counting and failing entries of the system-call table that fault_install puts in place.
#include "platform/fault_injection.h"

#include <aio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/sys.h"

namespace {

const char* const call_names[FAULT_NONE] = {
    "open",   "posix_fallocate", "pread", "pwrite", "write",  "ftruncate", "fdatasync", "fsync",
    "rename", "link",            "unlink", "sendfile", "close", "fstatat",  "statx",     "statvfs",
    "access", "lock",            "opendir", "readdir", "realpath", "aio_read"};

// Shared with children forked after the install, so that their calls count for the parent.
std::atomic<uint64_t>* const counts = static_cast<std::atomic<uint64_t>*>(
    mmap(nullptr, sizeof(std::atomic<uint64_t>) * FAULT_NONE, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));

fault_s plan;
sys_syscalls_s real;
int log_fd = -1;  // log.txt's descriptor, once the log opened it through the table

bool is_log_path(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return std::strcmp(slash ? slash + 1 : path, "log.txt") == 0;
}

// The path a descriptor was opened with; empty when the system cannot say.
std::string fd_path(int fd) {
    char path[4096] = {};
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
    return n > 0 ? std::string(path, n) : std::string();
}

bool is_log_fd(int fd) { return fd == log_fd && is_log_path(fd_path(fd).c_str()); }

bool in_folder(const std::string& path) { return plan.folder.empty() || path.rfind(plan.folder + "/", 0) == 0; }

// Counts a call on a file in the chosen folder (or on any file when none is chosen) and says
// whether it fails; a failing call leaves the planned error in errno.
bool strike(fault_call_e call, bool on_folder) {
    if (!on_folder) return false;
    const uint64_t n = ++counts[call];
    if (call != plan.call || n < plan.nth || (n > plan.nth && !plan.stays)) return false;
    if (plan.log) sys_log("Injected fault: %s call %llu fails\n", call_names[call], (unsigned long long)n);
    errno = plan.error;
    return true;
}

bool strike_path(fault_call_e call, const char* path) {
    return !is_log_path(path) && strike(call, in_folder(path));
}

bool strike_fd(fault_call_e call, int fd) {
    return !is_log_fd(fd) && strike(call, plan.folder.empty() || in_folder(fd_path(fd)));
}

void install_file_calls(sys_syscalls_s& t) {
    t.open = [](const char* path, int flags, mode_t mode) {
        if (is_log_path(path)) {
            const int fd = real.open(path, flags, mode);
            if (fd >= 0) log_fd = fd;
            return fd;
        }
        return strike_path(FAULT_OPEN, path) ? -1 : real.open(path, flags, mode);
    };
    t.posix_fallocate = [](int fd, off_t at, off_t length) {
        return strike_fd(FAULT_FALLOCATE, fd) ? plan.error : real.posix_fallocate(fd, at, length);
    };
    t.pread = [](int fd, void* buffer, size_t length, off_t at) {
        return strike_fd(FAULT_PREAD, fd) ? (ssize_t)-1 : real.pread(fd, buffer, length, at);
    };
    t.pwrite = [](int fd, const void* buffer, size_t length, off_t at) {
        if (!strike_fd(FAULT_PWRITE, fd)) return real.pwrite(fd, buffer, length, at);
        if (plan.torn_writes && length > 1) real.pwrite(fd, buffer, length / 2, at);
        return errno = plan.error, (ssize_t)-1;
    };
    t.write = [](int fd, const void* buffer, size_t length) {
        return strike_fd(FAULT_WRITE, fd) ? (ssize_t)-1 : real.write(fd, buffer, length);
    };
    t.ftruncate = [](int fd, off_t length) { return strike_fd(FAULT_FTRUNCATE, fd) ? -1 : real.ftruncate(fd, length); };
    t.fdatasync = [](int fd) { return strike_fd(FAULT_FDATASYNC, fd) ? -1 : 0; };
    t.fsync = [](int fd) { return strike_fd(FAULT_FSYNC, fd) ? -1 : 0; };
    // A close that fails has still released the descriptor, as the system's does.
    t.close = [](int fd) {
        const bool fails = strike_fd(FAULT_CLOSE, fd);
        const int closed = real.close(fd);
        return fails ? (errno = plan.error, -1) : closed;
    };
}

void install_name_calls(sys_syscalls_s& t) {
    t.rename = [](const char* from, const char* to) {
        return strike(FAULT_RENAME, in_folder(from) || in_folder(to)) ? -1 : real.rename(from, to);
    };
    t.rename_noreplace = [](const char* from, const char* to) {
        return strike(FAULT_RENAME, in_folder(from) || in_folder(to)) ? -1 : real.rename_noreplace(from, to);
    };
    t.link = [](const char* from, const char* to) {
        return strike(FAULT_LINK, in_folder(from) || in_folder(to)) ? -1 : real.link(from, to);
    };
    t.unlink = [](const char* path) { return strike_path(FAULT_UNLINK, path) ? -1 : real.unlink(path); };
    t.sendfile = [](int out, int in, off_t* at, size_t count) {
        return strike_fd(FAULT_SENDFILE, out) ? (ssize_t)-1 : real.sendfile(out, in, at, count);
    };
    t.fstatat = [](int dirfd, const char* path, struct stat* info, int flags) {
        const bool fails = *path ? strike_path(FAULT_STAT, path) : strike_fd(FAULT_STAT, dirfd);
        return fails ? -1 : real.fstatat(dirfd, path, info, flags);
    };
    t.statx = [](int dirfd, const char* path, int flags, unsigned int mask, struct statx* info) {
        const bool fails = *path ? strike_path(FAULT_STATX, path) : strike_fd(FAULT_STATX, dirfd);
        return fails ? -1 : real.statx(dirfd, path, flags, mask, info);
    };
    t.statvfs = [](const char* path, struct statvfs* info) {
        return strike_path(FAULT_STATVFS, path) ? -1 : real.statvfs(path, info);
    };
    t.access = [](const char* path, int mode) { return strike_path(FAULT_ACCESS, path) ? -1 : real.access(path, mode); };
    t.lock = [](int fd, int command, struct flock* lock) {
        return strike_fd(FAULT_LOCK, fd) ? -1 : real.lock(fd, command, lock);
    };
    t.opendir = [](const char* path) { return strike_path(FAULT_OPENDIR, path) ? nullptr : real.opendir(path); };
    t.readdir = [](DIR* dir) { return strike_fd(FAULT_READDIR, dirfd(dir)) ? nullptr : real.readdir(dir); };
    t.realpath = [](const char* path, char* resolved) {
        return strike_path(FAULT_REALPATH, path) ? nullptr : real.realpath(path, resolved);
    };
    t.aio_read = [](aio_request* request) {
        return strike_fd(FAULT_AIO_READ, request->aio_fildes) ? -1 : real.aio_read(request);
    };
}

}  // namespace

const char* fault_call_name(fault_call_e call) { return call < FAULT_NONE ? call_names[call] : "none"; }

void fault_install(const fault_s& fault) {
    sys_syscalls_reset();
    real = sys_syscalls();
    plan = fault;
    log_fd = -1;
    for (int call = 0; call < FAULT_NONE; ++call) counts[call] = 0;
    install_file_calls(sys_syscalls());
    install_name_calls(sys_syscalls());
}

uint64_t fault_calls(fault_call_e call) { return call < FAULT_NONE ? counts[call].load() : 0; }

void fault_remove() { sys_syscalls_reset(); }
