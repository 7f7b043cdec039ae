// Size and duration text at their unit boundaries, path and string helpers, the clock.
#include <string>
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

    // Three temporary results stay valid at once; the fourth call reuses the first buffer.
    const char* first = fmt_size_tmp(1024, true, "");
    const char* second = fmt_size_tmp(2048, true, "");
    EXPECT_EQ(std::string(first) + second + fmt_size_tmp(3072, true, ""), "1.0 KiB2.0 KiB3.0 KiB");
    EXPECT_EQ(fmt_size_tmp(4096, true, ""), first);
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

TEST(Clock, StartsNearZeroAndIsMonotonic) {
    time_init();
    const double now = time_now();
    EXPECT_TRUE(now >= 0 && now < 1) << now;
    EXPECT_GE(time_now(), now);
}

}  // namespace
