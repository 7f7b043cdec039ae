// The setup arithmetic and its log lines: tasks, modes, batch sizes, GPU nonce counts and
// the plotting plan.
#include <gtest/gtest.h>

#include <string>

#include "plotter/engine_support.h"
#include "plotter/plotter.h"
#include "settings/settings.h"

namespace {
constexpr uint64_t GiB = 1ull << 30;


bool has(const std::string& text, const std::string& line) { return text.find(line) != std::string::npos; }

std::string logged(void (*log)(const setup_config_s&), const setup_config_s& cfg) {
    testing::internal::CaptureStderr();
    log(cfg);
    return testing::internal::GetCapturedStderr();
}

}  // namespace

// Modes, tasks, buffers and batches, and the task and mode lines that report them.
TEST(plotter_plan_setup, modes_tasks_buffers_batches_and_their_lines) {
    struct case_s {
        uint64_t ram;                  // machine memory
        uint32_t ssds, targets, gpus;  // drives and GPUs used
        plotter_mode_e mode;           // expected mode
        uint32_t tasks, buffers;       // expected tasks and buffers
        bool concurrent;               // expected concurrency
        const char* tasks_line;        // expected tasks line; empty: none may be logged
        const char* mode_line;         // expected mode line, with the batch
    };
    const case_s cases[] = {
        {16 * GiB, 0, 1, 0, PLOTTER_CPU_DIRECT, 1, 2, false, "", "CPU direct mode with 24576 nonces per batch\n"},
        {16 * GiB, 1, 1, 0, PLOTTER_CPU_SSD, 1, 2, false, "", "CPU + SSD mode with 16384 nonces per batch\n"},
        // 10 GiB holds two whole 4 GiB: two tasks over three targets.
        {10 * GiB, 0, 3, 0, PLOTTER_CPU_DIRECT, 2, 4, true, "Using max 2 concurrent tasks.\n",
         "CPU direct mode with 7680 nonces per batch\n"},
        // 4 GiB holds one, 2 GiB none: a single task, so no tasks line, although several targets.
        {4 * GiB, 0, 3, 0, PLOTTER_CPU_DIRECT, 1, 2, true, "", "CPU direct mode with 6144 nonces per batch\n"},
        {2 * GiB, 0, 3, 0, PLOTTER_CPU_DIRECT, 1, 2, true, "", "CPU direct mode with 3072 nonces per batch\n"},
        {2 * GiB, 3, 1, 0, PLOTTER_CPU_SSD, 3, 6, true, "Using max 3 concurrent tasks.\n",
         "CPU + SSD mode with 680 nonces per batch\n"},
        {16 * GiB, 0, 1, 1, PLOTTER_GPU_DIRECT, 1, 2, false, "",
         "GPU direct mode with 2048 GPU nonces per batch and 22528 buffer nonces\n"},
        {64 * GiB, 1, 1, 1, PLOTTER_GPU_SSD, 1, 2, false, "", "GPU + SSD mode with 2048 nonces per batch\n"},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.mode_line);
        const setup_config_s cfg = plotter_plan_setup(machine(c.ram, c.ssds, c.targets, c.gpus));
        EXPECT_EQ(cfg.mode, c.mode);
        EXPECT_EQ(cfg.tasks, c.tasks);
        EXPECT_EQ(cfg.buffers, c.buffers);
        EXPECT_EQ(cfg.concurrent, c.concurrent);
        const std::string text = logged(plotter_log_setup, cfg);
        EXPECT_TRUE(has(text, c.mode_line)) << text;
        if (*c.tasks_line)
            EXPECT_TRUE(has(text, c.tasks_line)) << text;
        else
            EXPECT_FALSE(has(text, "concurrent tasks")) << text;
        EXPECT_EQ(has(text, " CPU threads will be used (total "), c.gpus == 0) << text;
        // A thread setting beyond four per processor is capped, and the CPU modes say so.
        cpu_threads = 100000;
        EXPECT_EQ(has(logged(plotter_log_setup, cfg), "100000 CPU threads asked for; using "), c.gpus == 0);
        cpu_threads = 0;
    }
}

// The budget is three quarters (or half) of memory, rounded down once, not a quarter
// rounded down and then tripled.
TEST(plotter_plan_setup, memory_budget_of_an_odd_memory_size) {
    // 3 x 11184811 / 4 = 8388608 = 2^23: two buffers of 2^22 bytes, 16 nonces each.
    EXPECT_EQ(plotter_plan_setup(machine(11184811, 0, 1, 0)).batch, 16u);
    // Half of 8388609 is 4194304: two buffers of 8 nonces.
    EXPECT_EQ(plotter_plan_setup(machine(8388609, 1, 1, 0)).batch, 8u);
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

// The device limits, tuned count and user limit reach the GPU sizing rule (its cases: GpuSizing).
TEST(plotter_plan_setup, gpu_nonces_from_device_limits_and_tuned_counts) {
    setup_input_s in = machine(64 * GiB, 1, 1, 1);
    in.gpu_max_alloc = 3000ull * 262160;
    in.gpu_tuned_nonces = 4096;
    setup_config_s cfg = plotter_plan_setup(in);
    EXPECT_EQ(cfg.gpu_nonces, 2976u);
    EXPECT_EQ(cfg.batch, 2976u);
    EXPECT_EQ(cfg.mode, PLOTTER_GPU_SSD);
    in.max_gpu_nonces = 1000;
    EXPECT_EQ(plotter_plan_setup(in).gpu_nonces, 992u);
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

// A CPU batch holds at most a quarter of the largest file, in whole sector groups, and no
// more than the memory gives each buffer; every file then takes four batches or more.
TEST(plotter_plan_setup, cpu_batch_is_a_quarter_of_the_largest_file_within_memory) {
    struct case_s {
        uint64_t largest, limit, batch;  // largest file, memory limit (0: none), expected batch
    };
    const case_s cases[] = {
        {20, 0, 8},           // a quarter is 5: one sector group
        {6144, 0, 1536},
        {6150, 0, 1544},      // a quarter is 1537.5: rounded up to whole sector groups
        {12288, GiB, 2048},   // 1 GiB over two buffers holds 2048, below a quarter
        {1u << 20, 0, 24576}, // 16 GiB: three quarters over two buffers
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.largest);
        setup_input_s in = machine(16 * GiB, 0, 1);
        in.largest_job = c.largest;
        in.memory_limit = c.limit;
        EXPECT_EQ(plotter_plan_setup(in).batch, c.batch);
    }
    EXPECT_EQ(plotter_file_batch(100, 1536, 8), 32u);  // a smaller file, same buffers
}

TEST(plotter_log_plan, plan_lines_for_gpu_direct_on_sixteen_gib) {
    plotter_s* plotter = plotter_create();
    plotter->config.gpus_used = 1;
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

TEST(plotter_log_plan, plan_lines_name_every_job_and_the_next_free_nonce) {
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
