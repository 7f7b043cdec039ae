// Fault injection through the platform's system-call table, shared by the fault tests: every
// call of the file services is counted by kind, and the Nth call of one kind fails (once, or
// from then on, as a drive that broke), optionally only for files in one folder.
#pragma once
#include <cerrno>
#include <cstdint>
#include <string>

// The kinds of call counted and failed. rename counts both renames (plain and no-replace);
// stat is fstatat (stat and fstat).
enum fault_call_e {
    FAULT_OPEN,
    FAULT_FALLOCATE,
    FAULT_PREAD,
    FAULT_PWRITE,
    FAULT_WRITE,
    FAULT_FTRUNCATE,
    FAULT_FDATASYNC,
    FAULT_FSYNC,
    FAULT_RENAME,
    FAULT_LINK,
    FAULT_UNLINK,
    FAULT_SENDFILE,
    FAULT_CLOSE,
    FAULT_STAT,
    FAULT_STATX,
    FAULT_STATVFS,
    FAULT_ACCESS,
    FAULT_LOCK,
    FAULT_OPENDIR,
    FAULT_READDIR,
    FAULT_REALPATH,
    FAULT_AIO_READ,
    FAULT_NONE,  // no call fails; every call is only counted
};
// The system call's own name ("open", "posix_fallocate", ...).
const char* fault_call_name(fault_call_e call);

struct fault_s {
    fault_call_e call = FAULT_NONE;  // the kind of call that fails
    uint64_t nth = 0;                // which of its calls fails, counting from 1 (only those on `folder`)
    bool stays = false;              // every later call of the kind fails too
    int error = EIO;                 // what the failing call reports
    std::string folder;              // when not empty, only calls on files directly in it count and fail
    bool torn_writes = false;        // a failing pwrite first writes half its bytes, as a crash in mid-write would
    bool log = false;                // the failing call logs "Injected fault: <call> call <n> fails"
};

// Replaces the table's entries (starting from the C library's) with counting ones that fail
// as `fault` says, and zeroes the counts. Syncs that do not fail succeed without reaching
// the disk, which keeps the many faulted runs off its flush queue. Calls on log.txt pass
// through uncounted: the log must be able to say what went wrong.
void fault_install(const fault_s& fault);
// Calls of a kind since fault_install. The counts live in memory that a child forked after
// the install shares with its parent, so a parent reads how far a child got.
uint64_t fault_calls(fault_call_e call);
// Puts the C library's calls back (sys_syscalls_reset).
void fault_remove();
