// The log (standard error and log.txt) and the UI call queue.
//
// DESIGN: every thread logs; one mutex held for the whole of sys_log keeps a stamp
// and its text together and opens log.txt exactly once. The UI queue has its own
// mutex; a drain takes the queued calls out under it and runs them after releasing it.
// log.txt is emptied only by the process that holds its lock (an open-file-description
// lock, released when the process ends): a second program started in the same folder
// leaves the first one's log alone and writes to standard error only. A log.txt that cannot
// be opened at all is said once, with the reason; each later message still tries again.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/sys.h"

namespace {

std::mutex log_mutex;
FILE* log_file = nullptr;
sys_log_e log_state = SYS_LOG_FAILED;  // how the last claim ended
bool open_failure_said = false;        // the one line about a log.txt that cannot be opened was written

// Says once per run, with the reason, that log.txt cannot be opened; later failures are silent.
sys_log_e log_open_failed(int error) {
    if (!open_failure_said)
        std::fprintf(stderr, "log.txt cannot be opened (%s); messages go here only\n", std::strerror(error));
    open_failure_said = true;
    return log_state = SYS_LOG_FAILED;
}

// Opens log.txt without emptying it, takes its lock, and only then empties it, all through
// the system-call table. Called with log_mutex held.
sys_log_e claim_log() {
    if (log_file) return SYS_LOG_OWN;
    if (log_state == SYS_LOG_BUSY) return SYS_LOG_BUSY;
    const sys_syscalls_s& calls = sys_syscalls();
    const int fd = calls.open("log.txt", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return log_open_failed(errno);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (calls.lock(fd, F_OFD_SETLK, &lock) != 0) {
        const int error = errno;
        calls.close(fd);
        if (error != EAGAIN && error != EACCES) return log_open_failed(error);
        std::fputs("log.txt is in use by another Kestrune in this folder; messages go here only\n", stderr);
        return log_state = SYS_LOG_BUSY;
    }
    log_file = calls.ftruncate(fd, 0) == 0 ? fdopen(fd, "w") : nullptr;
    if (!log_file) {
        const int error = errno;
        calls.close(fd);
        return log_open_failed(error);
    }
    return log_state = SYS_LOG_OWN;
}

std::mutex ui_mutex;
std::vector<std::function<void()>> ui_queue;

}  // namespace

void sys_log(const char* format, ...) {
    std::lock_guard<std::mutex> hold(log_mutex);
    char stack_text[1024];
    std::unique_ptr<char[]> heap_text;
    const char* text = stack_text;

    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(stack_text, sizeof stack_text, format, args);
    va_end(args);
    stack_text[sizeof stack_text - 1] = 0;
    if (written < 0) {
        heap_text.reset(new char[16384]);
        va_start(args, format);
        std::vsnprintf(heap_text.get(), 16384, format, args);
        va_end(args);
        heap_text[16383] = 0;
        text = heap_text.get();
    }

    // The claim comes first, so that a note about log.txt stands before the message.
    const bool to_file = claim_log() == SYS_LOG_OWN;
    std::fputs(text, stderr);
    if (!to_file) return;

    char stamp[32];
    time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
    std::fputs(stamp, log_file);
    std::fputs(text, log_file);
    std::fflush(log_file);
}

sys_log_e sys_log_claim() {
    std::lock_guard<std::mutex> hold(log_mutex);
    return claim_log();
}

sys_log_e sys_log_state() {
    std::lock_guard<std::mutex> hold(log_mutex);
    return log_state;
}

void sys_log_reset_for_tests() {
    std::lock_guard<std::mutex> hold(log_mutex);
    if (log_file) std::fclose(log_file);
    log_file = nullptr;
    log_state = SYS_LOG_FAILED;
    open_failure_said = false;
}

void sys_ui_post(std::function<void()> call) {
    std::lock_guard<std::mutex> hold(ui_mutex);
    ui_queue.push_back(std::move(call));
}

void sys_ui_drain() {
    // The calls run outside the lock, so one that posts again queues for the next drain
    // instead of deadlocking.
    std::vector<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> hold(ui_mutex);
        calls.swap(ui_queue);
    }
    for (auto& call : calls) call();
}
