// The setup arithmetic: tasks, modes, batch sizes and GPU nonce counts.
#include <gtest/gtest.h>

#include "plotter/plotter.h"

namespace {
constexpr uint64_t GiB = 1ull << 30;

setup_input_s machine(uint64_t ram, uint32_t ssds, uint32_t targets) {
    setup_input_s in;
    in.total_ram = ram;
    in.ssd_count = ssds;
    in.target_count = targets;
    return in;
}
}  // namespace

TEST(plotter_plan_setup, cpu_direct_and_ssd_batches) {
    setup_config_s cfg = plotter_plan_setup(machine(16 * GiB, 0, 1));
    EXPECT_EQ(cfg.mode, PLOTTER_CPU_DIRECT);
    EXPECT_EQ(cfg.buffers, 2u);
    EXPECT_EQ(cfg.batch, 24576u);
    EXPECT_FALSE(cfg.concurrent);
    cfg = plotter_plan_setup(machine(16 * GiB, 1, 1));
    EXPECT_EQ(cfg.mode, PLOTTER_CPU_SSD);
    EXPECT_EQ(cfg.batch, 16384u);
}

TEST(plotter_plan_setup, tasks_from_memory_targets_and_ssds) {
    setup_config_s cfg = plotter_plan_setup(machine(10 * GiB, 0, 3));
    EXPECT_EQ(cfg.tasks, 2u);
    EXPECT_TRUE(cfg.concurrent);
    EXPECT_EQ(cfg.buffers, 4u);
    cfg = plotter_plan_setup(machine(2 * GiB, 0, 3));
    EXPECT_EQ(cfg.tasks, 1u);
    EXPECT_TRUE(cfg.concurrent);
    cfg = plotter_plan_setup(machine(2 * GiB, 3, 1));
    EXPECT_EQ(cfg.tasks, 3u);
    EXPECT_EQ(cfg.buffers, 6u);
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
    setup_input_s in = machine(64 * GiB, 1, 1);
    in.gpu_count = 1;
    in.gpu_global_mem = 8 * GiB;
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
    setup_input_s in = machine(16 * GiB, 0, 1);
    in.gpu_count = 1;
    in.gpu_global_mem = 8 * GiB;
    in.gpu_max_alloc = 2 * GiB;
    setup_config_s cfg = plotter_plan_setup(in);
    EXPECT_EQ(cfg.mode, PLOTTER_GPU_DIRECT);
    EXPECT_EQ(cfg.gpu_nonces, 2048u);
    EXPECT_EQ(cfg.batch, 22528u);
}

TEST(plotter_plan_setup, several_gpus_get_whole_passes) {
    setup_input_s in = machine(16 * GiB, 0, 1);
    in.gpu_count = 3;
    in.gpu_global_mem = 8 * GiB;
    in.gpu_max_alloc = 2 * GiB;
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
