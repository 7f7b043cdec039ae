// The checker given things that are not plot files under plot file names: a FIFO with no
// writer and a folder. It must end with a failure, never wait for data that never comes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "test_support.h"

namespace {

// A hung check is ended by timeout (status 124) instead of hanging the suite.
const std::string TIME_LIMIT = "timeout 60";

}  // namespace

TEST(CheckSpecialFiles, FifoAndFolderFailWithoutHanging) {
    test_dir_s dir;
    const std::string fifo = dir.file("1_0_1");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(test_run_cli("check '" + fifo + "'", TIME_LIMIT).status, 1);

    const std::string folder = dir.file("1_0_1_1");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    EXPECT_EQ(test_run_cli("check '" + folder + "'", TIME_LIMIT).status, 1);
}
