// Size and duration text at their unit boundaries, path and string helpers, the clock.
#include <string>

#include <gtest/gtest.h>

#include "platform/util.h"

namespace {

std::string size_text(uint64_t bytes, bool power_of_two, const char* suffix = "") {
    char buffer[64];
    fmt_size(sizeof buffer, buffer, bytes, power_of_two, suffix);
    return buffer;
}

std::string dirname(const char* path, uint64_t capacity = 260) {
    char buffer[260];
    path_dirname(capacity, buffer, path);
    return buffer;
}

}  // namespace

TEST(FmtSize, SwitchesUnitAtThreeQuartersOfIt) {
    EXPECT_EQ(size_text(0, true), "0.0 KiB");
    EXPECT_EQ(size_text(100, true), "0.1 KiB");
    EXPECT_EQ(size_text(786431, true), "768.0 KiB");
    EXPECT_EQ(size_text(786432, true), "0.8 MiB");
    EXPECT_EQ(size_text(805306367, true), "768.0 MiB");
    EXPECT_EQ(size_text(805306368, true), "0.8 GiB");
    EXPECT_EQ(size_text(824633720831ull, true), "768.0 GiB");
    EXPECT_EQ(size_text(824633720832ull, true), "0.8 TiB");
    EXPECT_EQ(size_text(1ull << 63, true), "8388608.0 TiB");

    EXPECT_EQ(size_text(749999, false), "750.0 KB");
    EXPECT_EQ(size_text(750000, false), "0.8 MB");
    EXPECT_EQ(size_text(750000000, false), "0.8 GB");
    EXPECT_EQ(size_text(750000000000ull, false), "0.8 TB");
    EXPECT_EQ(size_text(2000000000, false, "/s"), "2.0 GB/s");
}

TEST(FmtSize, CutsToTheCapacityAndCyclesThreeBuffers) {
    char small[5] = "????";
    fmt_size(sizeof small, small, 786432, true, "");
    EXPECT_STREQ(small, "0.8 ");

    const char* first = fmt_size_tmp(1024, true, "");
    const char* second = fmt_size_tmp(2048, true, "");
    const char* third = fmt_size_tmp(3072, true, "");
    EXPECT_STREQ(first, "1.0 KiB");
    EXPECT_STREQ(second, "2.0 KiB");
    EXPECT_STREQ(third, "3.0 KiB");
    EXPECT_NE(first, second);
    EXPECT_NE(second, third);
    EXPECT_EQ(fmt_size_tmp(4096, true, ""), first);
    EXPECT_STREQ(first, "4.0 KiB");
}

TEST(FmtDuration, MinutesAndHours) {
    EXPECT_STREQ(fmt_duration(0), "0 minutes");
    EXPECT_STREQ(fmt_duration(59.9), "0 minutes");
    EXPECT_STREQ(fmt_duration(60), "1 minute");
    EXPECT_STREQ(fmt_duration(59 * 60), "59 minutes");
    EXPECT_STREQ(fmt_duration(3600), "1 hour, 0 minutes");
    EXPECT_STREQ(fmt_duration(3660), "1 hour, 1 minute");
    EXPECT_STREQ(fmt_duration(119 * 60), "1 hour, 59 minutes");
    EXPECT_STREQ(fmt_duration(120 * 60), "2 hours, 0 minutes");
    EXPECT_STREQ(fmt_duration(7260), "2 hours, 1 minute");
}

TEST(Paths, DirnameAndTrailingSlash) {
    EXPECT_EQ(dirname("/mnt/a/b.dat"), "/mnt/a");
    EXPECT_EQ(dirname("b.dat"), "b.dat");
    EXPECT_EQ(dirname("/file"), "");
    EXPECT_EQ(dirname("/mnt/a/b.dat", 4), "/mn");

    EXPECT_EQ(path_with_slash("/mnt/a"), "/mnt/a/");
    EXPECT_EQ(path_with_slash("/mnt/a/"), "/mnt/a/");
    EXPECT_EQ(path_with_slash(""), "/");
}

TEST(Strings, CopyIsCutAndTerminated) {
    char buffer[6] = "?????";
    EXPECT_EQ(str_copy(buffer, "abc", sizeof buffer), 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(str_copy(buffer, "abcdefgh", sizeof buffer), 5u);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(str_copy(buffer, "xyz", 0), 0u);
    EXPECT_STREQ(buffer, "abcde") << "capacity 0 writes nothing";
}

TEST(Clock, StartsNearZero) {
    time_init();
    const double now = time_now();
    EXPECT_GE(now, 0.0);
    EXPECT_LT(now, 1.0);
    EXPECT_GE(time_now(), now) << "monotonic";
}
