// The setup arithmetic and its log lines: tasks, modes, batch sizes, GPU nonce counts and
// the plotting plan.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "plotter/engine_support.h"
#include "plotter/plotter.h"
#include "settings/settings.h"

namespace {
constexpr uint64_t GiB = 1ull << 30;

bool has(const std::string& text, const std::string& line) { return text.find(line) != std::string::npos; }

template <typename F>
std::string logged(F log) {
    testing::internal::CaptureStderr();
    log();
    return testing::internal::GetCapturedStderr();
}

}  // namespace

// Modes, tasks, buffers and batches, and the task and mode lines that report them.
TEST(plotter_plan_setup, modes_tasks_buffers_batches_and_their_lines) {
    struct case_s {
        uint64_t ram;                  // machine memory
        uint32_t ssds, targets, gpus;  // drives and GPUs used
        plotter_mode_e mode;           // expected mode
        uint32_t tasks;                // expected tasks (two buffers each)
        bool concurrent;               // expected concurrency
        const char* tasks_line;        // expected tasks line; empty: none may be logged
        const char* mode_line;         // expected mode line, with the batch
    };
    const case_s cases[] = {
        {16 * GiB, 0, 1, 0, PLOTTER_CPU_DIRECT, 1, false, "", "CPU direct mode with 24576 nonces per batch\n"},
        {16 * GiB, 1, 1, 0, PLOTTER_CPU_SSD, 1, false, "", "CPU + SSD mode with 16384 nonces per batch\n"},
        // 10 GiB holds two whole 4 GiB: two tasks over three targets.
        {10 * GiB, 0, 3, 0, PLOTTER_CPU_DIRECT, 2, true, "Using max 2 concurrent tasks.\n",
         "CPU direct mode with 7680 nonces per batch\n"},
        // 4 GiB holds one, 2 GiB none: a single task, so no tasks line, although several targets.
        {4 * GiB, 0, 3, 0, PLOTTER_CPU_DIRECT, 1, true, "", "CPU direct mode with 6144 nonces per batch\n"},
        {2 * GiB, 0, 3, 0, PLOTTER_CPU_DIRECT, 1, true, "", "CPU direct mode with 3072 nonces per batch\n"},
        {2 * GiB, 3, 1, 0, PLOTTER_CPU_SSD, 3, true, "Using max 3 concurrent tasks.\n",
         "CPU + SSD mode with 680 nonces per batch\n"},
        {16 * GiB, 0, 1, 1, PLOTTER_GPU_DIRECT, 1, false, "",
         "GPU direct mode with 2048 GPU nonces per batch and 22528 buffer nonces\n"},
        {64 * GiB, 1, 1, 1, PLOTTER_GPU_SSD, 1, false, "", "GPU + SSD mode with 2048 nonces per batch\n"},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.mode_line);
        const setup_config_s cfg = plotter_plan_setup(machine(c.ram, c.ssds, c.targets, c.gpus));
        EXPECT_EQ(cfg.mode, c.mode);
        EXPECT_EQ(cfg.tasks, c.tasks);
        EXPECT_EQ(cfg.buffers, 2 * c.tasks);
        EXPECT_EQ(cfg.concurrent, c.concurrent);
        // A thread setting beyond four per processor is capped, and the CPU modes say so.
        cpu_threads = 100000;
        const std::string text = logged([&] { plotter_log_setup(cfg); });
        cpu_threads = 0;
        EXPECT_TRUE(has(text, c.mode_line)) << text;
        EXPECT_TRUE(*c.tasks_line ? has(text, c.tasks_line) : !has(text, "concurrent tasks")) << text;
        EXPECT_EQ(has(text, "100000 CPU threads asked for; using "), c.gpus == 0) << text;
    }
}

// Batch sizes under memory limits, sector sizes, file sizes and GPU device limits.
TEST(plotter_plan_setup, batch_and_gpu_nonces_table) {
    const auto with = [](setup_input_s in, const std::function<void(setup_input_s&)>& change) {
        change(in);
        return in;
    };
    const struct {
        const char* name;
        setup_input_s in;
        uint64_t batch, gpu_nonces;
    } cases[] = {
        // The budget is three quarters (or half) of memory, rounded down once, not a quarter
        // rounded down and then tripled: 3 x 11184811 / 4 = 2^23, two buffers of 16 nonces.
        {"odd memory, direct", machine(11184811, 0, 1, 0), 16, 0},
        {"odd memory, staged", machine(8388609, 1, 1, 0), 8, 0},
        {"memory limit", with(machine(16 * GiB, 0, 1), [](auto& in) { in.memory_limit = 2 * 64 * 262144; }), 64, 0},
        {"4K sectors, tiny limit",
         with(machine(16 * GiB, 0, 1), [](auto& in) { in.memory_limit = 1000, in.sector_size = 4096; }), 64, 0},
        {"GPU allocation limit", with(machine(64 * GiB, 1, 1, 1), [](auto& in) {
             in.gpu_max_alloc = 3000ull * 262160, in.gpu_tuned_nonces = 4096;
         }), 2976, 2976},
        {"GPU user limit", with(machine(64 * GiB, 1, 1, 1), [](auto& in) {
             in.gpu_max_alloc = 3000ull * 262160, in.gpu_tuned_nonces = 4096, in.max_gpu_nonces = 1000;
         }), 992, 992},
    };
    for (const auto& c : cases) {
        const setup_config_s cfg = plotter_plan_setup(c.in);
        EXPECT_EQ(cfg.batch, c.batch) << c.name;
        EXPECT_TRUE(!c.gpu_nonces || cfg.gpu_nonces == c.gpu_nonces) << c.name << " " << cfg.gpu_nonces;
    }
    setup_input_s tiny = machine(16 * GiB, 0, 1);
    tiny.memory_limit = 1000;  // not even one nonce per buffer
    EXPECT_EQ(plotter_plan_setup(tiny).batch, 8u);
    EXPECT_TRUE(plotter_plan_setup(tiny).batch_raised);
}

TEST(plotter_plan_setup, several_gpus_get_whole_passes) {
    setup_input_s in = machine(16 * GiB, 0, 1, 3);
    for (uint64_t limit : {600ull << 20, 0ull}) {  // both branches of the direct rule
        in.memory_limit = limit;
        const setup_config_s cfg = plotter_plan_setup(in);
        ASSERT_GT(cfg.gpu_nonces, 0u);
        EXPECT_EQ(cfg.gpu_nonces % 32, 0u);
        EXPECT_EQ(cfg.batch % (3 * cfg.gpu_nonces), 0u);
        EXPECT_TRUE(!limit || cfg.batch * PLOT_SIZE * cfg.buffers <= limit);
    }
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

TEST(plotter_log_plan, plan_lines_for_gpu_direct_and_for_every_job) {
    const std::string tail =
        "If you run another instance at the same time and aren't using automatic nonce mode then start at nonce: ";
    plotter_s* plotter = plotter_create();
    plotter->config.gpus_used = 1;
    const setup_config_s gpu = plotter_plan_setup(machine(16 * GiB, 0, 1, 1));
    // 22528 x 2 x 256 KiB + 2048 x 512 KiB = 12 GiB; 2048 x 512 KiB = 1073741824 bytes.
    EXPECT_EQ(logged([&] { plotter_log_plan(plotter, gpu); }),
              "Plotting plan:\n  12.0 GiB system RAM will be used by 2 buffers\n  1.1 GB GPU RAM will be used\n" +
                  tail + "0\n");
    plotter_destroy(plotter);

    plotter = plotter_create();
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
    EXPECT_EQ(logged([&] { plotter_log_plan(plotter, cfg); }),
              "Plotting plan:\n  4.0 MiB system RAM will be used by 2 buffers\n  /t/7_100_8 (written directly)\n"
              "  /u/7_108_16_16 (buffered through No name)\n" + tail + "124\n");
    plotter_destroy(plotter);
}
