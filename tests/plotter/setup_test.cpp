// Sizing and its log lines: tasks, modes, batches, GPU passes and the plotting plan; a setup
// tried again after it failed; and what set-up and the run tell the front end.
#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "plotter/engine_support.h"
#include "plotter/plotter.h"
#include "platform/sys.h"

namespace {

constexpr uint64_t GiB = 1ull << 30;

// A machine() with some inputs changed.
template <typename F>
sizing_input_s with(sizing_input_s in, F change) {
    change(in);
    return in;
}

}  // namespace

// Modes, tasks, batches and GPU passes, as the lines that report them: the mode line holds the
// batch (and G, nonces per GPU pass), the tasks line appears for two tasks or more, and a
// batch raised above what the memory allows says so.
TEST(plotter_size, modes_tasks_and_batches_by_their_lines) {
    const struct {
        sizing_input_s in;
        bool concurrent;
        const char* lines;  // the lines logged
        uint64_t largest = 0, sector = 0, limit = 0;  // the largest file, sector size, memory limit; 0 = as in
    } cases[] = {
        {machine(16 * GiB, 0, 1), false, "CPU direct mode with 24576 nonces per batch\n"},
        {machine(16 * GiB, 1, 1), false, "CPU + SSD mode with 16384 nonces per batch\n"},
        // 10 GiB holds two whole 4 GiB: two tasks over three targets; 4 GiB holds one, 2 GiB
        // none: a single task, although several targets.
        {machine(10 * GiB, 0, 3), true, "Using max 2 concurrent tasks.\nCPU direct mode with 7680 nonces per batch\n"},
        {machine(4 * GiB, 0, 3), true, "CPU direct mode with 6144 nonces per batch\n"},
        {machine(2 * GiB, 0, 3), true, "CPU direct mode with 3072 nonces per batch\n"},
        {machine(2 * GiB, 3, 1), true, "Using max 3 concurrent tasks.\nCPU + SSD mode with 680 nonces per batch\n"},
        {machine(16 * GiB, 0, 1, 1), false, "GPU direct mode with 2048 GPU nonces per batch and 22528 buffer nonces\n"},
        // 1 GiB is just the 2 buffers of G = 2048: the batch is a third of it (GPU and buffers).
        {machine(16 * GiB, 0, 1, 1), false, "GPU direct mode with 1344 GPU nonces per batch and 1344 buffer nonces\n", 0, 0,
         GiB},
        // A device allocation limit and a tuned count; then also a user limit.
        {with(machine(64 * GiB, 1, 1, 1), [](auto& in) { in.gpu_max_alloc = 3000ull * 262160, in.gpu_tuned_nonces = 4096; }),
         false, "GPU + SSD mode with 2976 nonces per batch\n"},
        {with(machine(64 * GiB, 1, 1, 1),
              [](auto& in) { in.gpu_max_alloc = 3000ull * 262160, in.gpu_tuned_nonces = 4096, in.max_gpu_nonces = 1000; }),
         false, "GPU + SSD mode with 992 nonces per batch\n"},
        // The budget is three quarters (or half) of memory, rounded down once, not a quarter
        // rounded down and then tripled: 3 x 11184811 / 4 = 2^23, two buffers of 16 nonces.
        {machine(11184811, 0, 1), false, "CPU direct mode with 16 nonces per batch\n"},
        {machine(8388609, 1, 1), false, "CPU + SSD mode with 8 nonces per batch\n"},
        {machine(16 * GiB, 0, 1), false, "CPU direct mode with 64 nonces per batch\n", 0, 0, 2 * 64 * PLOT_SIZE},
        // Memory for less than one sector group (64 nonces of 4K sectors) per buffer.
        {machine(16 * GiB, 0, 1), false,
         "CPU direct mode with 64 nonces per batch\n  memory allows less than 64 nonces per buffer; using 64\n", 0, 4096, 1000},
        // A quarter of the largest file in whole sector groups, within the memory.
        {machine(16 * GiB, 0, 1), false, "CPU direct mode with 8 nonces per batch\n", 20},
        {machine(16 * GiB, 0, 1), false, "CPU direct mode with 1536 nonces per batch\n", 6144},
        {machine(16 * GiB, 0, 1), false, "CPU direct mode with 1544 nonces per batch\n", 6150},
        {machine(16 * GiB, 0, 1), false, "CPU direct mode with 2048 nonces per batch\n", 12288, 0, GiB},
        // A GPU pass holds about a quarter of the largest file, but never fewer nonces per device
        // than set-up takes: 96 with 512-byte sectors (groups of 32), 128 with 4096-byte ones
        // (groups of 64); the pass is the batch. A memory limit too small for the least keeps its
        // smaller count, which set-up then refuses.
        {machine(16 * GiB, 0, 1, 1), false, "GPU direct mode with 96 GPU nonces per batch and 96 buffer nonces\n", 64},
        {machine(16 * GiB, 0, 1, 1), false, "GPU direct mode with 96 GPU nonces per batch and 96 buffer nonces\n", 256},
        {machine(16 * GiB, 0, 1, 1), false, "GPU direct mode with 128 GPU nonces per batch and 128 buffer nonces\n", 256, 4096},
        {machine(16 * GiB, 0, 1, 2), false, "GPU direct mode with 96 GPU nonces per batch and 192 buffer nonces\n", 256},
        {machine(16 * GiB, 1, 1, 1), false, "GPU + SSD mode with 96 nonces per batch\n", 256},
        {machine(16 * GiB, 0, 1, 1), false, "GPU direct mode with 256 GPU nonces per batch and 256 buffer nonces\n", 1024},
        {machine(16 * GiB, 0, 1, 1), false, "GPU direct mode with 32 GPU nonces per batch and 32 buffer nonces\n", 64, 0,
         32ull << 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        sizing_input_s in = c.in;
        in.largest_job = c.largest ? c.largest : in.largest_job;
        in.sector_size = c.sector ? c.sector : in.sector_size;
        in.memory_limit = c.limit ? c.limit : in.memory_limit;
        const sizing_s cfg = plotter_size(in);
        EXPECT_EQ(cfg.concurrent, c.concurrent);
        // A thread setting beyond four per processor is capped, and the CPU modes say so.
        std::istringstream text(engine_logged([&] { plotter_log_setup(cfg, 100000); }));
        std::string lines;  // all but the lines of this machine's thread counts
        for (std::string line; std::getline(text, line);) lines += line.find("CPU threads") != line.npos ? "" : line + "\n";
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(text.str().find("100000 CPU threads asked for; using ") != std::string::npos, c.in.gpu_count == 0);
    }
}

// Several GPUs get whole passes of G (a multiple of 32), and the buffers with the GPUs' G
// nonces each fit the memory (a limit, or three quarters of 16 GiB), under both branches of
// the direct rule; a smaller file gets its own batch from the same buffers.
TEST(plotter_size, whole_gpu_passes_and_file_batches) {
    sizing_input_s in = machine(16 * GiB, 0, 1, 3);
    for (uint64_t limit : {576ull << 20, 0ull}) {  // 576 MiB: 2 buffers and 3 GPUs of G = 384 fill it
        in.memory_limit = limit;
        const sizing_s cfg = plotter_size(in);
        EXPECT_TRUE(cfg.gpu_nonces > 0 && cfg.gpu_nonces % 32 == 0) << cfg.gpu_nonces;
        EXPECT_EQ(cfg.batch % (3 * cfg.gpu_nonces), 0u);
        EXPECT_LE((cfg.batch * cfg.buffers + 3 * cfg.gpu_nonces) * PLOT_SIZE, limit ? limit : 12 * GiB);
    }
    EXPECT_EQ(plotter_gpu_batch_fit(1000, 3, 64), 960u);
    EXPECT_EQ(plotter_gpu_batch_fit(100, 3, 64), 192u);
    EXPECT_EQ(plotter_file_batch(100, 1536, 8), 32u);
}

TEST(plotter_log_run, plan_lines_for_gpu_direct_and_for_every_job) {
    const std::string tail =
        "If you run another instance at the same time and aren't using automatic nonce mode then start at nonce: ";
    plotter_s* plotter = plotter_create();
    plotter->config.gpus_used = 1;
    // 22528 x 2 x 256 KiB + 2048 x 512 KiB = 12 GiB; 2048 x 512 KiB = 1073741824 bytes.
    EXPECT_EQ(engine_logged([&] { plotter_log_run(plotter, plotter_size(machine(16 * GiB, 0, 1, 1))); }),
              "Plotting plan:\n  12.0 GiB system RAM will be used by 2 buffers\n  1.1 GB GPU RAM will be used\n" + tail + "0\n");
    plotter->config.gpus_used = 0;
    drive_s target = make_drive("/t", 0), staging = make_drive("/s", 0), final_target = make_drive("/u", 0);
    job_s* direct = job_create(&target, nullptr, 7, 100, 8);
    direct->poc2 = true;
    plotter_add_job(plotter, direct);
    plotter_add_job(plotter, job_create(&staging, &final_target, 7, 108, 16));
    sizing_s cfg;
    cfg.batch = 8;
    EXPECT_EQ(engine_logged([&] { plotter_log_run(plotter, cfg); }),
              "Plotting plan:\n  4.0 MiB system RAM will be used by 2 buffers\n  /t/7_100_8 (written directly)\n"
              "  /u/7_108_16_16 (buffered through /s)\n" + tail + "124\n");
    plotter_destroy(plotter);
}

namespace {
int allocations = 0;  // buffer allocations tried since the last case began
int no_memory(void**, size_t, size_t) { return ++allocations, ENOMEM; }
}  // namespace

// What the user must hear of reaches the front end's callables in the seam, with the texts
// the dialogs show, in order: "ask" and "message" from the thread that set up, "finished"
// from the work thread once a run ended on its own. The retry that the allocation message asks
// for works with its own buffers only: the failed attempt's larger one is not left in the pool.
TEST(plotter_setup, questions_messages_and_the_end_reach_the_seam) {
    const std::string gpu_question =
        "ask|Error initializing GPU|The GPU could not be set up: this program has no GPU support. "
        "Fall back to using CPU?";
    const std::string no_buffers =
        "message|Error|Error allocating enough memory for efficient processing. Try again setting a lower max RAM "
        "size.";
    const struct {
        const char* what;
        uint32_t gpu_mask;
        bool fall_back, memory_fails, starts;  // the answer to a question; no buffer allocation works; set-up's result
        std::vector<std::string> heard;
    } cases[] = {
        {"the run ends on its own", 0, false, false, true, {"finished|work thread"}},
        {"no buffers", 0, false, true, false, {no_buffers}},
        {"no GPU, the CPU declined", 1, false, false, false, {gpu_question}},
        {"no GPU, the CPU taken, then no buffers", 1, true, true, false, {gpu_question, no_buffers}},
        {"no GPU, the CPU taken", 1, true, false, true, {gpu_question, "finished|work thread"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test_dir_s dir;
        drive_s target = engine_drive(dir.path, false);
        plotter_s* plotter = plotter_create();
        plotter_add_job(plotter, job_create(&target, nullptr, 7, 0, c.memory_fails ? 64 : 8));  // batches of 16 or 8
        plotter_gpu_api_s gpu;
        gpu.global_mem = [](uint32_t) { return 8 * GiB; };
        gpu.max_alloc = [](uint32_t) { return 2 * GiB; };
        plotter_set_gpu_api(plotter, gpu);
        std::mutex lock;
        std::vector<std::string> heard;
        const std::thread::id caller = std::this_thread::get_id();
        const auto hear = [&](const std::string& kind, const std::string& title, const std::string& text) {
            std::lock_guard<std::mutex> hold(lock);
            heard.push_back(kind + "|" + title + (text.empty() ? "" : "|" + text));
        };
        plotter_set_asker(plotter, [&](const char* title, const char* text) { return hear("ask", title, text), c.fall_back; });
        plotter_set_message(plotter, [&](const char* title, const char* text) { hear("message", title, text); });
        plotter_set_on_finished(plotter, [&] {
            const bool done = plotter->run.finished && plotter->run.ended;
            hear("finished", std::this_thread::get_id() == caller ? "caller" : "work thread",
                 done ? "" : "before the end was recorded");
        });
        allocations = 0;
        if (c.memory_fails) sys_syscalls().memalign = no_memory;
        testing::internal::CaptureStderr();
        EXPECT_EQ(plotter_setup(plotter, {c.gpu_mask, GiB, 0, 1}, 0, 1), c.starts);
        plotter_wait(plotter);  // the work thread reads the system-call table until it ends
        sys_syscalls_reset();
        EXPECT_EQ(allocations, c.memory_fails ? 1 : 0);
        if (c.memory_fails) {
            EXPECT_TRUE(plotter_setup(plotter, {0, 2 * 8 * PLOT_SIZE, 0, 1}, 0, 1));
            plotter_stop(plotter, false);
            EXPECT_EQ(plotter->run.all_buffers.size(), 2u);
            for (const batch_buffer_s* buffer : plotter->run.all_buffers) EXPECT_EQ(buffer->capacity, 8u);
        }
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(heard, c.heard);
        plotter_destroy(plotter);
    }
}
