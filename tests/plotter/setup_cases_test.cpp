// Setup cases worked out by hand: the logged task and mode lines, the logged plan, and the
// memory budget on odd memory sizes.
#include <gtest/gtest.h>

#include <string>

#include "plotter/engine_support.h"
#include "plotter/plotter.h"

namespace {

constexpr uint64_t GiB = 1ull << 30;


bool has(const std::string& text, const std::string& line) { return text.find(line) != std::string::npos; }

std::string logged_setup(const setup_config_s& cfg) {
    testing::internal::CaptureStderr();
    plotter_log_setup(cfg);
    return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(setup_cases, task_and_mode_lines) {
    struct case_s {
        uint64_t ram;               // machine memory
        uint32_t ssds, targets;     // drives
        uint32_t gpus;              // GPUs used
        const char* tasks_line;     // expected tasks line; empty: none may be logged
        const char* mode_line;      // expected mode line
    };
    const case_s cases[] = {
        {16 * GiB, 0, 1, 0, "", "CPU direct mode with 24576 nonces per batch\n"},
        {16 * GiB, 1, 1, 0, "", "CPU + SSD mode with 16384 nonces per batch\n"},
        // 10 GiB holds two whole 4 GiB: two tasks over three targets.
        {10 * GiB, 0, 3, 0, "Using max 2 concurrent tasks.\n", "CPU direct mode with 7680 nonces per batch\n"},
        // 4 GiB holds one: a single task, so no tasks line, although several targets.
        {4 * GiB, 0, 3, 0, "", "CPU direct mode with 6144 nonces per batch\n"},
        {2 * GiB, 3, 1, 0, "Using max 3 concurrent tasks.\n", "CPU + SSD mode with 680 nonces per batch\n"},
        {16 * GiB, 0, 1, 1, "", "GPU direct mode with 2048 GPU nonces per batch and 22528 buffer nonces\n"},
        {64 * GiB, 1, 1, 1, "", "GPU + SSD mode with 2048 nonces per batch\n"},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.mode_line);
        const std::string text = logged_setup(plotter_plan_setup(machine(c.ram, c.ssds, c.targets, c.gpus)));
        EXPECT_TRUE(has(text, c.mode_line)) << text;
        if (*c.tasks_line)
            EXPECT_TRUE(has(text, c.tasks_line)) << text;
        else
            EXPECT_FALSE(has(text, "concurrent tasks")) << text;
        EXPECT_EQ(has(text, " CPU threads will be used (total "), c.gpus == 0) << text;
    }
}

// The budget is three quarters (or half) of memory, rounded down once, not a quarter
// rounded down and then tripled.
TEST(setup_cases, memory_budget_of_an_odd_memory_size) {
    // 3 x 11184811 / 4 = 8388608 = 2^23: two buffers of 2^22 bytes, 16 nonces each.
    EXPECT_EQ(plotter_plan_setup(machine(11184811, 0, 1, 0)).batch, 16u);
    // Half of 8388609 is 4194304: two buffers of 8 nonces.
    EXPECT_EQ(plotter_plan_setup(machine(8388609, 1, 1, 0)).batch, 8u);
}

TEST(setup_cases, plan_lines_for_gpu_direct_on_sixteen_gib) {
    plotter_s* plotter = plotter_create();
    plotter->gpus_used = 1;
    const setup_config_s cfg = plotter_plan_setup(machine(16 * GiB, 0, 1, 1));
    testing::internal::CaptureStderr();
    plotter_log_plan(plotter, cfg);
    const std::string text = testing::internal::GetCapturedStderr();
    // 22528 x 2 x 256 KiB + 2048 x 512 KiB = 12 GiB; 2048 x 512 KiB = 1073741824 bytes.
    EXPECT_EQ(text,
              "Plotting plan:\n"
              "  12.0 GiB system RAM will be used by 2 buffers\n"
              "  1.1 GB GPU RAM will be used\n"
              "If you run another instance at the same time and aren't using automatic nonce mode then start at "
              "nonce: 0\n");
    plotter_destroy(plotter);
}

TEST(setup_cases, plan_lines_name_every_job_and_the_next_free_nonce) {
    plotter_s* plotter = plotter_create();
    drive_s target, staging, final_target;
    snprintf(target.path, sizeof target.path, "/t");
    snprintf(staging.path, sizeof staging.path, "/s");
    snprintf(final_target.path, sizeof final_target.path, "/u");
    job_s* direct = job_create(&target, nullptr, 7, 100, 8);
    direct->poc2 = true;
    plotter_add_job(plotter, direct);
    plotter_add_job(plotter, job_create(&staging, &final_target, 7, 108, 16));
    setup_config_s cfg;
    cfg.batch = 8;
    cfg.buffers = 2;
    testing::internal::CaptureStderr();
    plotter_log_plan(plotter, cfg);
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(text,
              "Plotting plan:\n"
              "  4.0 MiB system RAM will be used by 2 buffers\n"
              "  /t/7_100_8 (written directly)\n"
              "  /u/7_108_16_16 (buffered through No name)\n"
              "If you run another instance at the same time and aren't using automatic nonce mode then start at "
              "nonce: 124\n");
    plotter_destroy(plotter);
}
