// The log (standard error and log.txt), the UI call queue and the dialog presenter.
//
// DESIGN: every thread logs; one mutex held for the whole of sys_log keeps a stamp
// and its text together and opens log.txt exactly once. The UI queue has its own
// mutex; a drain takes the queued calls out under it and runs them after releasing it.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/sys.h"

namespace {

std::mutex log_mutex;
FILE* log_file = nullptr;

std::mutex ui_mutex;
std::vector<std::function<void()>> ui_queue;

std::mutex presenter_mutex;
sys_dialog_presenter dialog_presenter;

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

    std::fputs(text, stderr);
    if (!log_file) log_file = std::fopen("log.txt", "w");
    if (!log_file) return;

    char stamp[32];
    time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
    std::fputs(stamp, log_file);
    std::fputs(text, log_file);
    std::fflush(log_file);
}

void sys_log_reset_for_tests() {
    std::lock_guard<std::mutex> hold(log_mutex);
    if (log_file) std::fclose(log_file);
    log_file = nullptr;
}

void sys_ui_post(std::function<void()> call) {
    std::lock_guard<std::mutex> hold(ui_mutex);
    ui_queue.push_back(std::move(call));
}

void sys_ui_drain() {
    // The calls run outside the lock, so one that posts again (a dialog presenter that
    // itself posts) queues for the next drain instead of deadlocking.
    std::vector<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> hold(ui_mutex);
        calls.swap(ui_queue);
    }
    for (auto& call : calls) call();
}

void sys_set_dialog_presenter(sys_dialog_presenter presenter) {
    std::lock_guard<std::mutex> hold(presenter_mutex);
    dialog_presenter = std::move(presenter);
}

void sys_message_box(const char* title, const char* text) {
    sys_dialog_presenter presenter;
    {
        std::lock_guard<std::mutex> hold(presenter_mutex);
        presenter = dialog_presenter;
    }
    if (presenter) {
        presenter(title, text);
    } else {
        std::fprintf(stderr, "%s: %s\n", title, text);
    }
}
