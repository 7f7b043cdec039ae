// A staging folder that is also the target folder: the finished file is already where it
// belongs, and moving it onto itself must not delete it.
#include <gtest/gtest.h>

#include "engine_support.h"
#include "platform/sys.h"
#include "plotter/plot_file.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 9211;

struct same_folder_fixture : ::testing::Test {
    plots_s plots;
    plotter_s* plotter = nullptr;
    plan_input_s input;
    void SetUp() override {
        settings_reset();
        cpu_threads = 1;
        sys_syscalls_reset();
        plotter = plotter_create();
        input.account_id = ACCOUNT;
        input.auto_start = false;
        input.max_fill_bytes = 8 * PLOT_SIZE;
    }
    void TearDown() override { plotter_destroy(plotter); }
};

}  // namespace

TEST_F(same_folder_fixture, file_staged_in_its_own_target_folder_survives_the_move) {
    test_dir_s dir;
    drive_s ssd = engine_drive(dir.path, true), target = engine_drive(dir.path, false);
    input.ssds = {&ssd};
    input.targets = {&target};
    ASSERT_EQ(engine_run(plotter, &plots, input, 8).jobs.size(), 1u);
    EXPECT_TRUE(plotter_finished(plotter));
    const std::string name = plot_file_name(ACCOUNT, 0, 8, false);
    EXPECT_EQ(engine_list(dir.path), std::vector<std::string>{name});
    EXPECT_EQ(engine_bad_nonces(dir.file(name), ACCOUNT, 0, 8, false), 0);
}

TEST_F(same_folder_fixture, same_folder_written_with_a_trailing_slash_is_still_the_same) {
    test_dir_s dir;
    drive_s ssd = engine_drive(dir.path + "/", true), target = engine_drive(dir.path, false);
    input.ssds = {&ssd};
    input.targets = {&target};
    input.poc2 = true;
    ASSERT_EQ(engine_run(plotter, &plots, input, 8).jobs.size(), 1u);
    EXPECT_TRUE(plotter_finished(plotter));
    const std::string name = plot_file_name(ACCOUNT, 0, 8, true);
    EXPECT_EQ(engine_list(dir.path), std::vector<std::string>{name});
    EXPECT_EQ(engine_bad_nonces(dir.file(name), ACCOUNT, 0, 8, true), 0);
}
