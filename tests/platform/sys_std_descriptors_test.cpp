// Files opened by a process started with its standard descriptors closed: they must not
// become descriptor 0 (which means "no file") nor 1 or 2 (where log and progress text
// would be written into them).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/sys.h"
#include "test_support.h"

TEST(SysStdDescriptors, FilesNeverTakeTheStandardDescriptors) {
    test_dir_s dir;
    const std::string path = dir.file("data");
    test_write_file(path, "abc");
    EXPECT_EXIT(
        {
            close(0);
            close(1);
            close(2);
            sys_init();
            const int64_t read_fd = sys_file_open_read(path.c_str());
            const int64_t write_fd = sys_file_create(path.c_str(), 3);
            std::_Exit(read_fd > 2 && write_fd > 2 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}
