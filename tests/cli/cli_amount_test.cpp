// Size options that round to zero bytes: they must be refused, not taken as "not given"
// (a fill of zero would otherwise mean "fill the whole drive").
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

TEST(CliPlotAmounts, AmountsRoundingToZeroBytesAreRefused) {
    test_dir_s dir;
    const std::string base = "plot -q -i 1 -s 0 -c 1 -p '" + dir.path + "' ";
    EXPECT_EQ(test_run_cli(base + "-n 8 --fill 1e-12").status, 2);
    EXPECT_EQ(test_run_cli(base + "-n 8 --max-file 1e-12").status, 2);
    EXPECT_EQ(test_run_cli(base + "-n 8 -m 1e-15").status, 2);
    EXPECT_EQ(test_run_cli(base + "-n 8 --fill 0").status, 2);
    EXPECT_EQ(test_read_file(dir.file("1_0_8_8")).size(), 0u);
}
