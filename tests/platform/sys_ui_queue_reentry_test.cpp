// The UI call queue when a queued call posts again (a dialog presenter that itself posts,
// a completion notice that queues a follow-up): the drain must not deadlock, and the new
// call runs on a later drain.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/sys.h"

namespace {

// Exits 0 when the nested call ran on the second drain and not before.
void post_from_a_queued_call() {
    alarm(20);  // a deadlock ends here instead of hanging the suite
    std::vector<int> ran;
    sys_ui_post([&ran] {
        ran.push_back(1);
        sys_ui_post([&ran] { ran.push_back(2); });
    });
    sys_ui_drain();
    const bool first_only = ran == std::vector<int>{1};
    sys_ui_drain();
    const bool both = ran == std::vector<int>{1, 2};
    std::_Exit(first_only && both ? 0 : 3);
}

}  // namespace

TEST(SysUiQueue, CallPostedFromADrainedCallRunsOnTheNextDrain) {
    EXPECT_EXIT(post_from_a_queued_call(), ::testing::ExitedWithCode(0), "");
}
