// The log: stamp format, truncation of long messages, emptying at the first message of a run,
// a log that cannot be opened; and the UI call queue when a queued call posts again.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>
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

TEST_F(SysLog, StampsEchoesAndEmptiesTheFileAtTheFirstMessageOfARun) {
    testing::internal::CaptureStderr();
    sys_log("first %d\n", 1);
    sys_log("  second %s\n", "two");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "first 1\n  second two\n");
    EXPECT_TRUE(log_is(log_text(), stamp + "first 1\n" + stamp + "  second two\n")) << log_text();
    sys_log_reset_for_tests();
    sys_log("new run\n");
    EXPECT_TRUE(log_is(log_text(), stamp + "new run\n")) << log_text();
}

// A longer message is cut, newline included; one of exactly 1023 bytes is kept whole.
TEST_F(SysLog, LongMessagesAreCutTo1023Bytes) {
    testing::internal::CaptureStderr();
    sys_log("%s\n", std::string(3000, 'x').c_str());
    sys_log("%s", std::string(1023, 'y').c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(1023, 'x') + std::string(1023, 'y'));
    EXPECT_TRUE(log_is(log_text(), stamp + "x{1023}" + stamp + "y{1023}")) << log_text().size();
}

TEST_F(SysLog, AnUnopenableLogStillReachesStandardError) {
    ASSERT_EQ(mkdir(dir.file("log.txt").c_str(), 0755), 0);  // a folder cannot be opened as the log
    testing::internal::CaptureStderr();
    sys_log("only here\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "only here\n");
    rmdir(dir.file("log.txt").c_str());
    sys_log("retried\n");
    EXPECT_TRUE(log_is(log_text(), stamp + "retried\n")) << "the next message opens the file";
}

// A queued call that posts again (a dialog presenter that itself posts, a completion notice
// that queues a follow-up): the drain must not deadlock, and the new call runs on the next
// drain, not the current one.
TEST(SysUiQueue, CallPostedFromADrainedCallRunsOnTheNextDrain) {
    EXPECT_EXIT(
        {
            alarm(20);  // a deadlock ends here instead of hanging the suite
            std::vector<int> ran;
            sys_ui_post([&ran] {
                ran.push_back(1);
                sys_ui_post([&ran] { ran.push_back(2); });
            });
            sys_ui_drain();
            const bool first_only = ran == std::vector<int>{1};
            sys_ui_drain();
            std::_Exit(first_only && ran == std::vector<int>{1, 2} ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
