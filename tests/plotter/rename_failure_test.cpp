// A finished file that cannot take its plain name is not a finished plot: the run fails
// and the file keeps its unfinished name instead of being reported complete.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine_support.h"
#include "platform/sys.h"
#include "plotter/plot_file.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 4404;

int rename_refused(const char*, const char*) {
    errno = EACCES;
    return -1;
}

}  // namespace

TEST(rename_failure, direct_file_that_cannot_be_renamed_fails_the_run) {
    settings_reset();
    cpu_threads = 1;
    plots_s plots;
    plotter_s* plotter = plotter_create();
    test_dir_s dir;
    drive_s target = engine_drive(dir.path, false);
    plan_input_s input;
    input.account_id = ACCOUNT;
    input.auto_start = false;
    input.targets = {&target};
    input.max_fill_bytes = 8 * PLOT_SIZE;
    sys_syscalls().rename = rename_refused;
    engine_run(plotter, &plots, input, 8);
    sys_syscalls_reset();
    ASSERT_EQ(plotter->jobs.size(), 1u);
    EXPECT_NE(plotter->jobs[0]->job_state, JOB_DONE);
    EXPECT_TRUE(plotter->failed);
    EXPECT_FALSE(plotter_finished(plotter));
    const std::string name = plot_file_name(ACCOUNT, 0, 8, false);
    EXPECT_EQ(engine_list(dir.path), std::vector<std::string>{name + ".plotting"});
    plotter_destroy(plotter);
}
