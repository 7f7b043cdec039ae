// A file finished on the staging drive but not moved (the run stopped before its move)
// is moved by the next run of the same plan instead of being left on the staging drive.
#include <gtest/gtest.h>

#include "engine_support.h"
#include "platform/sys.h"
#include "plotter/plot_file.h"
#include "settings/settings.h"
#include "test_support.h"

TEST(staged_file_left_behind, next_run_moves_the_finished_staged_file) {
    constexpr uint64_t ACCOUNT = 6060;
    settings_reset();
    cpu_threads = 2;
    test_dir_s ssd_dir, target_dir;
    const std::string name = plot_file_name(ACCOUNT, 0, 8, false);
    plan_input_s input;
    input.account_id = ACCOUNT;
    input.auto_start = false;
    input.max_fill_bytes = 8 * PLOT_SIZE;
    {
        // The finished file on the staging drive, as a stopped run leaves it.
        plots_s plots;
        plotter_s* plotter = plotter_create();
        drive_s direct = engine_drive(ssd_dir.path, false);
        input.targets = {&direct};
        engine_run(plotter, &plots, input, 8);
        plotter_destroy(plotter);
        ASSERT_EQ(engine_list(ssd_dir.path), std::vector<std::string>{name});
    }
    plots_s plots;
    plotter_s* plotter = plotter_create();
    drive_s ssd = engine_drive(ssd_dir.path, true), target = engine_drive(target_dir.path, false);
    input.ssds = {&ssd};
    input.targets = {&target};
    const plan_result_s plan = engine_run(plotter, &plots, input, 8);
    ASSERT_EQ(plan.jobs.size(), 1u);
    EXPECT_EQ(plan.jobs[0].start, 0u);
    EXPECT_TRUE(plotter_finished(plotter));
    EXPECT_TRUE(engine_list(ssd_dir.path).empty());
    EXPECT_EQ(engine_list(target_dir.path), std::vector<std::string>{name});
    EXPECT_EQ(engine_bad_nonces(target_dir.file(name), ACCOUNT, 0, 8, false), 0);
    plotter_destroy(plotter);
}
