// The setup arithmetic: tasks, modes, batch sizes and GPU nonce counts.
#include <gtest/gtest.h>

#include <string>

#include "plotter/engine_support.h"
#include "plotter/plotter.h"

namespace {
constexpr uint64_t GiB = 1ull << 30;

}  // namespace

TEST(plotter_plan_setup, cpu_modes_tasks_buffers_and_batches) {
    struct case_s {
        uint64_t ram;                  // machine memory
        uint32_t ssds, targets;        // drives
        plotter_mode_e mode;           // expected mode
        uint32_t tasks, buffers;       // expected tasks and buffers
        uint64_t batch;                // expected batch (0: not checked)
        bool concurrent;               // expected concurrency
    };
    const case_s cases[] = {
        {16 * GiB, 0, 1, PLOTTER_CPU_DIRECT, 1, 2, 24576, false}, {16 * GiB, 1, 1, PLOTTER_CPU_SSD, 1, 2, 16384, false},
        {10 * GiB, 0, 3, PLOTTER_CPU_DIRECT, 2, 4, 0, true},      {2 * GiB, 0, 3, PLOTTER_CPU_DIRECT, 1, 2, 0, true},
        {2 * GiB, 3, 1, PLOTTER_CPU_SSD, 3, 6, 0, true},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(std::to_string(c.ram / GiB) + " GiB, " + std::to_string(c.ssds) + " SSDs, " +
                     std::to_string(c.targets) + " targets");
        const setup_config_s cfg = plotter_plan_setup(machine(c.ram, c.ssds, c.targets));
        EXPECT_EQ(cfg.mode, c.mode);
        EXPECT_EQ(cfg.tasks, c.tasks);
        EXPECT_EQ(cfg.buffers, c.buffers);
        if (c.batch) {
            EXPECT_EQ(cfg.batch, c.batch);
        }
        EXPECT_EQ(cfg.concurrent, c.concurrent);
    }
}

TEST(plotter_plan_setup, memory_limit_and_tiny_memory) {
    setup_input_s in = machine(16 * GiB, 0, 1);
    in.memory_limit = 2 * 64 * 262144;
    EXPECT_EQ(plotter_plan_setup(in).batch, 64u);
    in.memory_limit = 1000;  // not even one nonce per buffer
    const setup_config_s cfg = plotter_plan_setup(in);
    EXPECT_EQ(cfg.batch, 8u);
    EXPECT_TRUE(cfg.batch_raised);
    in.sector_size = 4096;
    EXPECT_EQ(plotter_plan_setup(in).batch, 64u);
}

TEST(plotter_plan_setup, gpu_nonces_from_device_limits_and_tuned_counts) {
    setup_input_s in = machine(64 * GiB, 1, 1, 1);
    in.gpu_max_alloc = 3000ull * 262160;
    in.gpu_tuned_nonces = 4096;
    setup_config_s cfg = plotter_plan_setup(in);
    EXPECT_EQ(cfg.gpu_nonces, 2976u);
    EXPECT_EQ(cfg.batch, 2976u);
    EXPECT_EQ(cfg.mode, PLOTTER_GPU_SSD);
    in.gpu_tuned_nonces = 0;
    EXPECT_EQ(plotter_plan_setup(in).gpu_nonces, 2048u);
    in.max_gpu_nonces = 1000;
    EXPECT_EQ(plotter_plan_setup(in).gpu_nonces, 992u);
}

TEST(plotter_plan_setup, gpu_direct_rule) {
    const setup_config_s cfg = plotter_plan_setup(machine(16 * GiB, 0, 1, 1));
    EXPECT_EQ(cfg.mode, PLOTTER_GPU_DIRECT);
    EXPECT_EQ(cfg.gpu_nonces, 2048u);
    EXPECT_EQ(cfg.batch, 22528u);
}

TEST(plotter_plan_setup, several_gpus_get_whole_passes) {
    setup_input_s in = machine(16 * GiB, 0, 1, 3);
    in.memory_limit = 600ull << 20;  // small: the first branch of the direct rule
    setup_config_s cfg = plotter_plan_setup(in);
    ASSERT_GT(cfg.gpu_nonces, 0u);
    EXPECT_EQ(cfg.gpu_nonces % 32, 0u);
    EXPECT_EQ(cfg.batch % (3 * cfg.gpu_nonces), 0u);
    EXPECT_LE(cfg.batch * PLOT_SIZE * cfg.buffers, in.memory_limit);
    in.memory_limit = 0;  // the second branch
    cfg = plotter_plan_setup(in);
    EXPECT_EQ(cfg.batch % (3 * cfg.gpu_nonces), 0u);
    EXPECT_EQ(plotter_gpu_batch_fit(1000, 3, 64), 960u);
    EXPECT_EQ(plotter_gpu_batch_fit(100, 3, 64), 192u);
}

TEST(plotter_plan_setup, cpu_batch_never_exceeds_the_largest_file) {
    setup_input_s in = machine(16 * GiB, 0, 1);
    in.largest_job = 20;
    EXPECT_EQ(plotter_plan_setup(in).batch, 24u);
}
