// Exit statuses when the command's own output cannot be delivered (a full device), when it
// goes to a device that cannot be synced, and when standard descriptors are closed.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

TEST(CliOutput, LostStandardOutputIsAFailure) {
    // The id never reaches the reader, so the command did not do its job.
    EXPECT_EQ(test_run_cli("address 123456 >/dev/full").status, 1);
    EXPECT_EQ(test_run_cli("nonce 1 5 >/dev/full").status, 1);
    EXPECT_EQ(test_run_cli("address 123456 >/dev/null").status, 0);
}

TEST(CliOutput, NonceWrittenToADeviceSucceeds) {
    // /dev/null takes the bytes but cannot be synced; that is no write failure.
    EXPECT_EQ(test_run_cli("nonce 1 5 -o /dev/null").status, 0);
}

TEST(CliOutput, CheckWorksWithStandardDescriptorsClosed) {
    test_dir_s dir;
    const std::string path = dir.file("1_5_1_1");
    const uint8_t* nonce = test_reference_nonce(1, 5);
    test_write_file(path, std::string((const char*)nonce, PLOT_SIZE));
    // A one-nonce PoC1 file is the nonce itself; it must pass however the program was started.
    EXPECT_EQ(test_run_cli("check '" + path + "'").status, 0);
    EXPECT_EQ(test_run_cli("check '" + path + "' <&-").status, 0);
    EXPECT_EQ(test_run_cli("check '" + path + "' <&- >&-").status, 0);
}
