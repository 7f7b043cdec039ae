// The log: stamp format, truncation of long messages, emptying at the first message of a run,
// a log that cannot be opened; and the UI call queue when a queued call posts again.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys.h"
#include "test_support.h"

namespace {

// Runs inside a scratch folder, so log.txt is written there, with the log closed before and
// after so that no other test writes into this folder's file.
class SysLog : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(start, sizeof start), nullptr);
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
        sys_log_reset_for_tests();
    }
    void TearDown() override {
        sys_log_reset_for_tests();
        ASSERT_EQ(chdir(start), 0);
    }
    std::string log_text() const { return test_read_file(dir.file("log.txt")); }
    test_dir_s dir;
    char start[4096] = {};
};

// The date and time in front of every line of the file.
const std::string stamp = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ";

bool log_is(const std::string& text, const std::string& pattern) { return std::regex_match(text, std::regex(pattern)); }

// Every message reaches standard error. A log that cannot be opened (here a folder in its
// place) is said once, with the reason, and tried again at the next message; the first message
// of a run empties the file. A longer message is cut to 1023 bytes, newline included; one of
// exactly 1023 is kept whole.
TEST_F(SysLog, StampsCutsEchoesAndEmptiesTheFileAtTheFirstMessageOfARun) {
    ASSERT_EQ(mkdir(dir.file("log.txt").c_str(), 0755), 0);
    testing::internal::CaptureStderr();
    sys_log("only here\n");
    sys_log("and here\n");
    rmdir(dir.file("log.txt").c_str());
    sys_log("first %d\n", 1);
    sys_log("%s\n", std::string(3000, 'x').c_str());
    sys_log("%s", std::string(1023, 'y').c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "log.txt cannot be opened (Is a directory); messages go here only\nonly here\nand here\nfirst 1\n" +
                  std::string(1023, 'x') + std::string(1023, 'y'));
    EXPECT_TRUE(log_is(log_text(), stamp + "first 1\n" + stamp + "x{1023}" + stamp + "y{1023}")) << log_text();
    sys_log_reset_for_tests();
    sys_log("new run\n");
    EXPECT_TRUE(log_is(log_text(), stamp + "new run\n")) << log_text();
}

// A second program in the same folder finds log.txt held (here by this test's own lock):
// it neither empties nor writes the file, and says so on standard error. Once the lock is
// gone, the next run holds the file and empties it.
TEST_F(SysLog, ALogHeldByAnotherProgramIsLeftAlone) {
    const int held = open(dir.file("log.txt").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(held, 0);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(held, F_OFD_SETLK, &lock), 0);
    ASSERT_EQ(write(held, "first program\n", 14), 14);
    testing::internal::CaptureStderr();
    const std::vector<sys_log_e> claims = {sys_log_claim(), sys_log_claim()};
    sys_log("second program\n");
    const std::string echoed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(claims, (std::vector<sys_log_e>{SYS_LOG_BUSY, SYS_LOG_BUSY}));
    EXPECT_NE(echoed.find("second program\n"), std::string::npos);
    EXPECT_EQ(log_text(), "first program\n");
    close(held);
    sys_log_reset_for_tests();
    EXPECT_EQ(sys_log_claim(), SYS_LOG_OWN);
    EXPECT_EQ(log_text(), "");
}

// A queued call that posts again (a dialog presenter that itself posts, a completion notice
// that queues a follow-up): the drain must not deadlock, and the new call runs on the next
// drain, not the current one.
TEST(SysUiQueue, CallPostedFromADrainedCallRunsOnTheNextDrain) {
    alarm(20);  // a deadlock ends the run here instead of hanging the suite
    std::vector<int> ran;
    sys_ui_post([&ran] {
        ran.push_back(1);
        sys_ui_post([&ran] { ran.push_back(2); });
    });
    sys_ui_drain();
    EXPECT_EQ(ran, std::vector<int>{1});
    sys_ui_drain();
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    alarm(0);
}

}  // namespace
