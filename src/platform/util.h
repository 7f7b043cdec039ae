// Small shared routines: the non-fatal assertion, size and duration text, the clock, paths.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>

void util_assert(bool condition, const char* file, int line);
#define UTIL_ASSERT(cond) util_assert((cond), __FILE__, __LINE__)

void fmt_size(uint64_t capacity, char* buffer, uint64_t bytes, bool power_of_two, const char* suffix);
// fmt_size for amounts that may pass 2^64 bytes (a count of nonces times their size): units
// up to YB or YiB.
std::string fmt_size_wide(double bytes, bool power_of_two, const char* suffix = "");
// fmt_size into the next of three buffers of the calling thread (the fourth call reuses
// the first): results stay valid for one message, and no other thread writes them.
const char* fmt_size_tmp(uint64_t bytes, bool power_of_two, const char* suffix);
// "%d minute(s)" or "%d hour(s), %d minute(s)" into a buffer of the calling thread.
const char* fmt_duration(double seconds);

void time_init();
double time_now();
// Milliseconds from one monotonic reading to a later one, counted in 32 bits (wrapping
// after about 49.7 days), as time_now counts them.
uint32_t time_ms_between(const timespec& from, const timespec& to);

void path_dirname(uint64_t capacity, char* buffer, const char* path);
std::string path_with_slash(const char* folder);
// Reads the decimal digits at *text into a 64-bit value and advances past them; false
// when there are none or the number does not fit (never clamped).
bool str_read_u64(const char** text, uint64_t* value);
uint64_t str_copy(char* destination, const char* source, uint64_t capacity);
