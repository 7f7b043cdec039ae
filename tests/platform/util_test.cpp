// Size and duration text at their unit boundaries and per thread, path and string helpers,
// the clock's millisecond count.
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "platform/util.h"

namespace {

TEST(Fmt, SizesSwitchUnitAtThreeQuartersOfItAndDurationsCountMinutesAndHours) {
    const std::pair<uint64_t, const char*> binary[] = {
        {0, "0.0 KiB"}, {786431, "768.0 KiB"}, {786432, "0.8 MiB"}, {805306368, "0.8 GiB"},
        {824633720831ull, "768.0 GiB"}, {824633720832ull, "0.8 TiB"}, {1ull << 63, "8388608.0 TiB"}};
    const std::pair<uint64_t, const char*> decimal[] = {
        {749999, "750.0 KB"}, {750000, "0.8 MB"}, {750000000000ull, "0.8 TB"}};
    for (const auto& c : binary) EXPECT_STREQ(fmt_size_tmp(c.first, true, ""), c.second) << c.first;
    for (const auto& c : decimal) EXPECT_STREQ(fmt_size_tmp(c.first, false, ""), c.second) << c.first;
    EXPECT_STREQ(fmt_size_tmp(2000000000, false, "/s"), "2.0 GB/s");
    char small[5] = "????";
    fmt_size(sizeof small, small, 786432, true, "");
    EXPECT_STREQ(small, "0.8 ");

    const std::pair<double, const char*> durations[] = {
        {59.9, "0 minutes"}, {60, "1 minute"}, {3600, "1 hour, 0 minutes"}, {3660, "1 hour, 1 minute"},
        {119 * 60, "1 hour, 59 minutes"}, {7260, "2 hours, 1 minute"}};
    for (const auto& d : durations) EXPECT_STREQ(fmt_duration(d.first), d.second) << d.first;

    // Three temporary results stay valid at once.
    const char* first = fmt_size_tmp(1024, true, "");
    const char* second = fmt_size_tmp(2048, true, "");
    EXPECT_EQ(std::string(first) + second + fmt_size_tmp(3072, true, ""), "1.0 KiB2.0 KiB3.0 KiB");
}

// The work thread formats log lines while the UI thread formats its screens: one thread's
// calls never overwrite another thread's results.
TEST(Fmt, EachThreadFormatsIntoItsOwnBuffers) {
    const char* size = fmt_size_tmp(1024, true, "");
    const char* duration = fmt_duration(60);
    std::thread([] {
        for (int i = 0; i < 3; ++i) fmt_size_tmp(5ull << 30, true, "");
        fmt_duration(7260);
    }).join();
    EXPECT_STREQ(size, "1.0 KiB");
    EXPECT_STREQ(duration, "1 minute");
}

TEST(Paths, DirnameTrailingSlashAndCopy) {
    char buffer[260];
    const std::pair<const char*, const char*> dirnames[] = {{"/mnt/a/b.dat", "/mnt/a"}, {"b.dat", "b.dat"}, {"/file", ""}};
    for (const auto& c : dirnames) {
        path_dirname(sizeof buffer, buffer, c.first);
        EXPECT_STREQ(buffer, c.second) << c.first;
    }
    path_dirname(4, buffer, "/mnt/a/b.dat");
    EXPECT_STREQ(buffer, "/mn");
    const std::pair<const char*, const char*> slashed[] = {{"/mnt/a", "/mnt/a/"}, {"/mnt/a/", "/mnt/a/"}, {"", "/"}};
    for (const auto& c : slashed) EXPECT_EQ(path_with_slash(c.first), c.second) << c.first;

    char small[6] = "?????";
    EXPECT_EQ(str_copy(small, "abcdefgh", sizeof small), 5u);
    EXPECT_STREQ(small, "abcde");
    EXPECT_EQ(str_copy(small, "xyz", 0), 0u);
    EXPECT_STREQ(small, "abcde") << "capacity 0 writes nothing";
}

// Nanoseconds that borrow from the seconds, truncation to whole milliseconds, and the
// 32-bit count that wraps after 2^32 ms.
TEST(Clock, MillisecondsBetweenReadings) {
    const struct {
        timespec from, to;
        uint32_t ms;
    } cases[] = {
        {{5, 900000000}, {6, 100000000}, 200},  {{0, 0}, {0, 999999999}, 999},
        {{7, 500000}, {7, 1499999}, 0},         {{100, 0}, {100 + 4294967, 296000000}, 0},
        {{100, 0}, {100 + 4294967, 297000000}, 1}, {{3, 0}, {3 + 86400, 1000000}, 86400001},
    };
    for (const auto& c : cases) EXPECT_EQ(time_ms_between(c.from, c.to), c.ms) << c.ms;
}

}  // namespace
