// The copying half of a move: the source stays, the copy is whole, a self-copy does nothing.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/sys.h"
#include "test_support.h"

namespace {

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(SysFileCopy, KeepsTheSourceAndReplacesALongerDestination) {
    test_dir_s dir;
    const std::string source = dir.file("a"), destination = dir.file("b");
    std::ofstream(source, std::ios::binary) << std::string(1000, 'x');
    std::ofstream(destination, std::ios::binary) << std::string(5000, 'y');
    uint64_t last = 0;
    int calls = 0;
    EXPECT_TRUE(sys_file_copy(source.c_str(), destination.c_str(), [&](uint64_t copied) {
        last = copied;
        ++calls;
    }, 300));
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(last, 1000u);
    EXPECT_EQ(read_all(destination), std::string(1000, 'x'));
    EXPECT_EQ(read_all(source), std::string(1000, 'x'));

    EXPECT_FALSE(sys_file_copy(source.c_str(), source.c_str(), [](uint64_t) {}));
    EXPECT_EQ(read_all(source), std::string(1000, 'x'));
}
