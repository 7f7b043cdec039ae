// Assertion, size and duration text, the monotonic clock, and path and string helpers.
#include "platform/util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/sys.h"

void util_assert(bool condition, const char* file, int line) {
    if (condition) return;
    const char* base = std::strrchr(file, '/');
    sys_log("Assertion failure %s : %d\n", base ? base + 1 : file, line);
}

namespace {

// Bytes in the largest unit that the value reaches three quarters of (KB/KiB at least, the
// unit with index `top` at most).
void fmt_scaled(uint64_t capacity, char* buffer, double bytes, bool power_of_two, const char* suffix, int top) {
    static const char* const decimal_units[8] = {"KB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"};
    static const char* const binary_units[8] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB", "ZiB", "YiB"};
    const double base = power_of_two ? 1024.0 : 1000.0;
    int unit = 0;
    double divisor = base;
    while (unit < top && bytes >= 0.75 * divisor * base) ++unit, divisor *= base;
    if (capacity == 0) return;
    std::snprintf(buffer, capacity, "%0.1f %s%s", bytes / divisor,
                  power_of_two ? binary_units[unit] : decimal_units[unit], suffix);
}

}  // namespace

void fmt_size(uint64_t capacity, char* buffer, uint64_t bytes, bool power_of_two, const char* suffix) {
    fmt_scaled(capacity, buffer, (double)bytes, power_of_two, suffix, 3);
}

std::string fmt_size_wide(double bytes, bool power_of_two, const char* suffix) {
    char buffer[64];
    fmt_scaled(sizeof buffer, buffer, bytes, power_of_two, suffix, 7);
    return buffer;
}

const char* fmt_size_tmp(uint64_t bytes, bool power_of_two, const char* suffix) {
    // Per thread: the work thread logs sizes while the UI thread paints them.
    thread_local char buffers[3][64];
    thread_local int next = 0;
    char* out = buffers[next];
    next = (next + 1) % 3;
    fmt_size(sizeof buffers[0], out, bytes, power_of_two, suffix);
    return out;
}

const char* fmt_duration(double seconds) {
    thread_local char buffer[64];
    const int minutes = (int)(seconds / 60.0);
    const int hours = minutes / 60;
    const int rest = minutes % 60;
    if (minutes >= -59 && minutes <= 59) {
        std::snprintf(buffer, sizeof buffer, "%d minute%s", rest, rest == 1 ? "" : "s");
    } else {
        std::snprintf(buffer, sizeof buffer, "%d hour%s, %d minute%s", hours,
                      minutes >= 60 && minutes <= 119 ? "" : "s", rest, rest == 1 ? "" : "s");
    }
    return buffer;
}

namespace {
timespec clock_origin;
}

void time_init() { clock_gettime(CLOCK_MONOTONIC, &clock_origin); }

uint32_t time_ms_between(const timespec& from, const timespec& to) {
    const uint32_t seconds_ms = (uint32_t)((uint64_t)(to.tv_sec - from.tv_sec) * 1000u);
    const int64_t nanos = (int64_t)to.tv_nsec - (int64_t)from.tv_nsec;
    return seconds_ms + (uint32_t)(int32_t)(nanos / 1000000);
}

double time_now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return time_ms_between(clock_origin, now) / 1000.0;
}

void path_dirname(uint64_t capacity, char* buffer, const char* path) {
    if (capacity == 0) return;
    const char* slash = std::strrchr(path, '/');
    uint64_t length = slash ? (uint64_t)(slash - path) : std::strlen(path);
    if (length > capacity - 1) length = capacity - 1;
    std::memcpy(buffer, path, length);
    buffer[length] = 0;
}

std::string path_with_slash(const char* folder) {
    std::string path(folder);
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

uint64_t str_copy(char* destination, const char* source, uint64_t capacity) {
    if (capacity == 0) return 0;
    uint64_t length = std::strlen(source);
    if (length > capacity - 1) length = capacity - 1;
    std::memcpy(destination, source, length);
    destination[length] = 0;
    return length;
}

bool str_read_u64(const char** text, uint64_t* value) {
    const char* c = *text;
    if (*c < '0' || *c > '9') return false;
    uint64_t v = 0;
    for (; *c >= '0' && *c <= '9'; ++c) {
        const uint64_t digit = (uint64_t)(*c - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *value = v;
    *text = c;
    return true;
}
