// The log: stamp format, truncation of long messages, emptying at the first message of a run;
// and the UI call queue, which lives beside it, when a queued call posts again.
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

// Runs the test body inside a scratch folder, so log.txt is written there, and starts
// and ends with the log closed so other tests never write into this folder's file.
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

const std::regex stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ");
const size_t stamp_length = 20;

}  // namespace

TEST_F(SysLog, StampsEveryMessageAndEchoesToStandardError) {
    testing::internal::CaptureStderr();
    sys_log("first %d\n", 1);
    sys_log("  second %s\n", "two");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "first 1\n  second two\n");

    const std::string text = log_text();
    const size_t split = text.find('\n') + 1;
    const std::string line1 = text.substr(0, split), line2 = text.substr(split);
    EXPECT_TRUE(std::regex_search(line1, stamp)) << line1;
    EXPECT_TRUE(std::regex_search(line2, stamp)) << line2;
    EXPECT_EQ(line1.substr(stamp_length), "first 1\n");
    EXPECT_EQ(line2.substr(stamp_length), "  second two\n");
}

TEST_F(SysLog, FirstMessageOfARunEmptiesTheFile) {
    sys_log("old run\n");
    sys_log_reset_for_tests();
    sys_log("new run\n");
    const std::string text = log_text();
    EXPECT_EQ(text.find("old run"), std::string::npos);
    ASSERT_EQ(text.size(), stamp_length + 8);
    EXPECT_EQ(text.substr(stamp_length), "new run\n");
}

TEST_F(SysLog, LongMessagesAreCutTo1023Bytes) {
    const std::string body(3000, 'x');
    testing::internal::CaptureStderr();
    sys_log("%s\n", body.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(1023, 'x'));
    const std::string text = log_text();
    ASSERT_EQ(text.size(), stamp_length + 1023);
    EXPECT_EQ(text.substr(stamp_length), std::string(1023, 'x'));

    sys_log("%s", std::string(1023, 'y').c_str());
    EXPECT_EQ(log_text().substr(2 * stamp_length + 1023), std::string(1023, 'y')) << "1023 bytes fit whole";
}

TEST_F(SysLog, AnUnopenableLogStillReachesStandardError) {
    ASSERT_EQ(mkdir(dir.file("log.txt").c_str(), 0755), 0);  // a folder cannot be opened as the log
    testing::internal::CaptureStderr();
    sys_log("only here\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "only here\n");
    rmdir(dir.file("log.txt").c_str());
    sys_log("retried\n");
    EXPECT_EQ(log_text().substr(stamp_length), "retried\n") << "the next message opens the file";
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
