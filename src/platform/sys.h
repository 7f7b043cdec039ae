// The program's only contact with the file system and process services: files, moves,
// free space, the log, and the hand-off of calls to the UI thread.
#pragma once
#include <dirent.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

struct aiocb;
struct flock;
struct statvfs;
struct stat;
struct statx;
struct timespec;
using aio_request = struct aiocb;

// How every call here that can fail says so: 0 when it did what was asked, else the
// system's error number (ENOENT, EACCES, ENOSPC...), which errno also holds afterwards. A
// record rather than a bare int, so that it never passes for a truth value: callers test
// `.error`, and a call site written for a bool result does not compile.
struct sys_err_s {
    int error = 0;  // 0, or the errno value that says why the call failed
};

// Logging and process
void sys_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The current working directory whatever its length; fails when the system cannot name it
// (deleted, or not reachable), leaving `folder` empty. The desktop program keeps config.yml
// and log.txt in the folder it started from.
sys_err_s sys_getcwd(std::string* folder);
sys_err_s sys_chdir(const char* path);
void sys_init();
// Who writes log.txt in the current folder. Only its holder empties it (at the first
// message) and writes to it; the others log to standard error only.
enum sys_log_e : uint32_t {
    SYS_LOG_FAILED = 0,  // it cannot be opened (said once on standard error, with the reason);
                         // the next message tries again
    SYS_LOG_OWN = 1,     // this process holds it
    SYS_LOG_BUSY = 2,    // another process holds it (another Kestrune runs in this folder)
};
// Opens and locks log.txt now, as the first message would; the desktop program asks
// before anything else whether it holds its folder.
sys_log_e sys_log_claim();
// How the last message's try to reach log.txt ended, without trying again: SYS_LOG_OWN only
// when messages are going into the file.
sys_log_e sys_log_state();
// Closes log.txt so that the next message opens (and empties) it again, as the first
// message of a new run would. For tests only.
void sys_log_reset_for_tests();
uint64_t sys_total_ram();
void* sys_alloc(uint64_t size);
void sys_free(void* block);
// 64 random bits from the system (getrandom), different on every call.
uint64_t sys_random_u64();

// Drives and folders
uint64_t sys_free_space(const char* path, uint64_t* total_bytes = nullptr);
// 32 bits that stay the same for every folder of one file system, from run to run: its id
// (statvfs), else its device number; random only when neither can be read.
uint32_t sys_volume_serial(const char* path);
// The logical block size of the disk under a folder, as its file system reports the
// direct-I/O alignment of a file there; 512 when the file system does not tell.
uint64_t sys_sector_size(const char* path);
// Calls back with each entry's name until the callback returns false. Fails when the folder
// cannot be opened or read to its end.
sys_err_s sys_dir_list(const char* path, const std::function<bool(const char* name)>& callback);
// Whether new files can be written in a folder: creates a small file of its own name there,
// writes a byte to it and deletes it. Fails, with the system's reason (ENOENT: no such
// folder, ENOTDIR, EACCES, EROFS, ENOSPC...), when any of that did not work.
sys_err_s sys_dir_try_write(const char* folder);

// Files. A descriptor of 0 means no file: every call that opens one hands out 0 when it fails.

// The error of sys_file_create and sys_file_hold when another writer owns the file's lock;
// nothing was read or written.
constexpr int SYS_ERR_LOCKED = EWOULDBLOCK;
// How sys_file_create found its file.
enum sys_create_e : uint32_t {
    SYS_CREATE_NEW = 1,       // created by this call
    SYS_CREATE_EXISTING = 2,  // it existed; its contents are kept
};
// Opens a file for writing as its only writer: creates it (never taking over a file that
// appears meanwhile) or opens the existing one, locks it (an open-file-description lock,
// held until the descriptor is closed) before anything is read or written, makes sure the
// path still names the locked file, then reserves `size` bytes. Hands out the descriptor
// (0 on failure) and, when `how` is given, which case it was.
sys_err_s sys_file_create(const char* path, uint64_t size, int64_t* fd, sys_create_e* how = nullptr);
// Takes the same lock on an existing file without creating, reserving or changing anything,
// so that no other writer (a plot or a convert) rewrites it while the caller copies or
// deletes it. Hands out the descriptor that holds the lock; SYS_ERR_LOCKED when another
// writer holds it.
sys_err_s sys_file_hold(const char* path, int64_t* fd);
// True when a writer of sys_file_create (in this process or another) holds path's lock.
bool sys_file_locked(const char* path);
sys_err_s sys_file_open_read(const char* path, int64_t* fd);
void sys_file_close(int64_t fd);
sys_err_s sys_file_delete(const char* path);
bool sys_file_exists(const char* path);
// True when both paths exist and name the same file or folder (same device and inode).
bool sys_same_file(const char* a, const char* b);
// The size of an open file (fstat); `size` is left at 0 when it cannot be read.
sys_err_s sys_file_size(int64_t fd, uint64_t* size);
// Renames, then syncs the folder of the new name so the new entry survives a crash.
// A failed rename is logged.
sys_err_s sys_file_rename(const char* old_path, const char* new_path);
// The same, except that it never replaces a file: EEXIST (nothing logged) when new_path
// exists, even one that appears at the last moment; any other failure is logged. File
// systems without an atomic no-replace rename get a hard link and an unlink of the old
// name instead.
sys_err_s sys_file_rename_new(const char* old_path, const char* new_path);
// Writes all `length` bytes at `offset` (several writes if the system returns short
// counts). Fails on the first failed write (one that makes no progress counts as ENOSPC);
// nothing is logged: the caller knows which file and drive it was.
sys_err_s sys_file_write(int64_t fd, uint64_t offset, uint64_t length, const void* buffer);
// Opens an existing file a second time for direct writes that bypass the page cache;
// fails (0 handed out) when the file system refuses direct I/O.
sys_err_s sys_file_open_direct(const char* path, int64_t* fd);
// Writes all `length` bytes at `offset` through a descriptor from sys_file_open_direct.
// EINVAL, with nothing promised about the range, when the transfer is not sector-aligned
// or the system refuses direct I/O for it: the caller writes it through its ordinary
// descriptor instead. Any other error is the system's for a failed write.
sys_err_s sys_file_write_direct(int64_t fd, uint64_t offset, uint64_t length, const void* buffer);
// Several direct writes in flight on one descriptor from sys_file_open_direct (io_uring), so
// that a drive with a command queue always has the next request waiting. `done` runs on the
// calling thread for every write that ended, with its tag and the value sys_file_write_direct
// would have returned. None when the system has no io_uring for this process, or when the
// seam's pwrite is replaced (recorded or faulted runs must see every write): the caller then
// writes with sys_file_write_direct.
struct sys_queue_s;
using sys_queue_done = std::function<void(uint64_t tag, int error)>;
sys_queue_s* sys_queue_open(int64_t direct_fd, uint32_t depth, sys_queue_done done);
// Starts one write, first waiting for one to end while `depth` are in flight. A transfer
// that is not sector-aligned is not started: EINVAL, as sys_file_write_direct says.
sys_err_s sys_queue_write(sys_queue_s* queue, uint64_t offset, uint64_t length, const void* buffer, uint64_t tag);
// Waits until every write started has ended.
void sys_queue_drain(sys_queue_s* queue);
// Drains and frees the queue; none is allowed.
void sys_queue_close(sys_queue_s* queue);
// A nameless file in `folder` (gone when closed, even after a crash), `size` bytes
// preallocated, open for direct writes (descriptor in *fd, 0 on failure); an error when the
// file system offers no such file or no direct I/O. For measuring a drive without leaving
// anything on it.
sys_err_s sys_file_scratch_direct(const char* folder, uint64_t size, int64_t* fd);
// Creates or empties a file for sys_file_write_stream.
sys_err_s sys_file_open_write(const char* path, int64_t* fd);
// Writes all bytes at the descriptor's position (pipes and terminals too); with `finish`
// it then flushes them (a descriptor that cannot be synced counts as flushed) and closes
// it. Fails on the first failure; nothing is logged.
sys_err_s sys_file_write_stream(int64_t fd, const void* data, uint64_t length, bool finish);
// Without `request`: reads all `length` bytes at `offset`; an error or an early end of
// file (ENODATA) fails, logged. With `request`: queues an asynchronous read (see
// sys_aio_done).
sys_err_s sys_file_read(int64_t fd, uint64_t offset, uint64_t length, void* buffer,
                        aio_request** request = nullptr);
// Flushes a file's data (fdatasync); a failure is logged.
sys_err_s sys_file_sync(int64_t fd);
// Flushes a folder's entries (fsync of the folder), so creations, renames and deletions
// in it are durable. File systems that cannot sync folders count as success.
sys_err_s sys_dir_sync(const char* folder);
bool sys_aio_done(aio_request* request);
// True once a submitted request has ended in an error (sys_aio_done stays false for it).
bool sys_aio_failed(aio_request* request);
// Cancels a request and waits until the system no longer uses it, so it can be freed.
void sys_aio_cancel(int64_t fd, aio_request* request);
void sys_aio_free(aio_request* request);
constexpr uint64_t SYS_MOVE_CHUNK = 33554432;  // bytes per sendfile call of a copy
// The copying half of a move: sendfile in chunks, calling progress(bytes so far) after
// each, then the copy (and its folder entry) made durable; the source stays. Fails when any
// step failed (the partial destination is left for the caller to delete), or with EEXIST
// and nothing done when the destination is the source itself.
sys_err_s sys_file_copy(const char* source, const char* destination,
                   const std::function<void(uint64_t copied)>& progress,
                   uint64_t chunk_bytes = SYS_MOVE_CHUNK);

// The size of the file at path (stat, links followed).
sys_err_s sys_path_size(const char* path, uint64_t* size);
// Fails when nobody may write the file: EACCES when no write permission bit is set (even
// for root, who could write regardless) or this process is refused write access, EROFS
// when its file system is mounted read-only.
sys_err_s sys_file_writable(const char* path);
// What a path names. Links are followed, unless `follow_links` is false: a final symbolic
// link is then described itself.
struct sys_path_info_s {
    uint64_t device = 0, inode = 0;  // together they name one file or folder, whatever its path
    uint64_t size = 0;               // bytes
    uint64_t links = 0;              // names the file has (hard links)
    bool regular = false;            // a regular file
    bool folder = false;             // a directory
    bool symlink = false;            // a symbolic link (only when links are not followed)
};
// Fails when the path cannot be looked at.
sys_err_s sys_path_info(const char* path, sys_path_info_s* info, bool follow_links = true);
// The absolute path with every symbolic link resolved; `real` is left empty when it
// cannot be resolved.
sys_err_s sys_real_path(const char* path, std::string* real);

// Fault-injection seam. Every system call the platform layer makes goes through this
// process-wide table, so tests can make the Nth
// write fail, a preallocation report ENOSPC or a read come back short, or record every
// change the program makes to its files (the power-loss replay). The defaults
// call the C library. The table is read without locks: replace entries only while no
// other thread uses the file services, and restore them with sys_syscalls_reset().
struct sys_syscalls_s {
    int (*open)(const char* path, int flags, mode_t mode);                      // open(2)
    ssize_t (*pwrite)(int fd, const void* buffer, size_t length, off_t offset);  // pwrite(2)
    ssize_t (*pread)(int fd, void* buffer, size_t length, off_t offset);         // pread(2)
    int (*posix_fallocate)(int fd, off_t offset, off_t length);                  // returns an error number
    int (*fdatasync)(int fd);                                                    // fdatasync(2)
    int (*fsync)(int fd);                                                        // fsync(2), files and folders
    int (*rename)(const char* old_path, const char* new_path);                   // rename(2)
    int (*rename_noreplace)(const char* old_path, const char* new_path);         // renameat2(2), RENAME_NOREPLACE
    int (*link)(const char* old_path, const char* new_path);                     // link(2)
    int (*unlink)(const char* path);                                             // unlink(2)
    ssize_t (*sendfile)(int out_fd, int in_fd, off_t* offset, size_t count);     // sendfile(2)
    int (*statvfs)(const char* path, struct statvfs* info);                      // statvfs(3)
    int (*aio_read)(aio_request* request);                                       // aio_read(3)
    int (*lock)(int fd, int command, struct flock* lock);                        // fcntl(2) F_OFD_SETLK, F_OFD_GETLK
    int (*statx)(int dirfd, const char* path, int flags, unsigned int mask, struct statx* info);  // statx(2)
    int (*memalign)(void** block, size_t alignment, size_t size);               // posix_memalign(3), for sys_alloc
    int (*access)(const char* path, int mode);                                   // access(2)
    int (*ftruncate)(int fd, off_t length);                                      // ftruncate(2)
    ssize_t (*write)(int fd, const void* buffer, size_t length);                 // write(2), streams
    int (*close)(int fd);                                                        // close(2)
    int (*fstatat)(int dirfd, const char* path, struct stat* info, int flags);   // fstatat(2): stat, and fstat with AT_EMPTY_PATH
    DIR* (*opendir)(const char* path);                                           // opendir(3)
    struct dirent* (*readdir)(DIR* dir);                                         // readdir(3)
    int (*closedir)(DIR* dir);                                                   // closedir(3)
    char* (*getcwd)(char* buffer, size_t size);                                  // getcwd(3)
    int (*chdir)(const char* path);                                              // chdir(2)
    char* (*realpath)(const char* path, char* resolved);                         // realpath(3)
    ssize_t (*getrandom)(void* buffer, size_t length, unsigned int flags);       // getrandom(2)
    long (*sysconf)(int name);                                                   // sysconf(3), the memory size
    int (*aio_error)(const aio_request* request);                                // aio_error(3)
    ssize_t (*aio_return)(aio_request* request);                                 // aio_return(3)
    int (*aio_cancel)(int fd, aio_request* request);                             // aio_cancel(3)
    int (*aio_suspend)(const aio_request* const list[], int count, const struct timespec* timeout);  // aio_suspend(3)
};
sys_syscalls_s& sys_syscalls();
void sys_syscalls_reset();

// UI thread hand-off
void sys_ui_post(std::function<void()> call);
void sys_ui_drain();
