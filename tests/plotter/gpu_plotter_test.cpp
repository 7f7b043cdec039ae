// GPU bring-up, fallback and recovery in the plotter, with fake GPU operations that compute
// on the CPU: halving after failed self-tests, the fallback question, a failed batch that is
// recomputed and never written, and recovery that gives up on a GPU failing every batch.
#include <gtest/gtest.h>

#include <vector>

#include "engine_support.h"
#include "nonce/plt_cpu.h"
#include "platform/sys.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 555;
constexpr uint64_t GiB = 1ull << 30;

// A made-up GPU: which nonce counts were activated, whether tests pass, which batches fail.
struct fake_gpu_s {
    std::vector<uint64_t> activated;  // nonce count of every activation
    int tests_to_fail = 0;            // self-tests that fail before one passes
    bool tests_all_fail = false;      // no self-test passes
    int computes_to_fail = 0;         // batches that fail before one succeeds
    int stop_at = 0;                  // batch at which the fake stops a run that never gives up
    plotter_s* plotter = nullptr;     // the run it stops
    int activations_allowed = 100;    // activations that return a context
    int computes = 0;                 // batches asked for
    int released = 0;                 // contexts released
    uint64_t nonces = 0;              // nonce count of the live context
};

plotter_gpu_api_s fake_api(fake_gpu_s* f) {
    plotter_gpu_api_s api;
    api.activate = [f](uint32_t, const uint32_t*, uint64_t nonces) -> gpu_s* {
        f->activated.push_back(nonces);
        if (f->activations_allowed-- <= 0) return nullptr;
        f->nonces = nonces;
        return reinterpret_cast<gpu_s*>(f);
    };
    api.test = [f](gpu_s*, double* seconds) {
        *seconds = 0.5;
        if (f->tests_all_fail) return false;
        return f->tests_to_fail-- <= 0;
    };
    api.compute = [f](gpu_s*, uint64_t account, uint64_t first, batch_buffer_s* batch, const std::atomic<bool>* stop) {
        if (++f->computes == f->stop_at) f->plotter->run.stop = true;
        if (f->computes_to_fail-- > 0) return (uint64_t)0;
        // Compute the whole buffer on the CPU workers, as a GPU would.
        return cpu_plot_batch(batch, account, first, batch->capacity, cpu_thread_count(), 0, stop, &batch->progress);
    };
    api.release = [f](gpu_s*) { ++f->released; };
    api.nonces = [f](gpu_s*) { return f->nonces; };
    api.optimal_nonces = [](uint32_t) { return (uint64_t)0; };
    api.global_mem = [](uint32_t) { return 8 * GiB; };
    api.max_alloc = [](uint32_t) { return 2 * GiB; };
    return api;
}

struct gpu_fixture : ::testing::Test {
    plots_s plots;
    plotter_s* plotter = nullptr;
    fake_gpu_s fake;
    plan_input_s input;
    test_dir_s dir;
    drive_s target;
    std::vector<std::string> questions;
    bool answer = false;
    void SetUp() override {
        settings_reset();
        cpu_threads = 2;
        plotter = plotter_create();
        fake.plotter = plotter;
        plotter_set_gpu_api(plotter, fake_api(&fake));
        plotter_set_asker(plotter, [this](const char* title, const char* text) {
            questions.push_back(std::string(title) + "|" + text);
            return answer;
        });
        target = engine_drive(dir.path, false);
        input.targets = {&target};
        input.account_id = ACCOUNT;
        input.auto_start = false;
    }
    void TearDown() override { plotter_destroy(plotter); }
    bool setup(uint64_t nonces) {
        input.max_fill_bytes = nonces * PLOT_SIZE;
        drive_plan(plotter, &plots, input);
        return plotter_setup(plotter, 1, 0, 1, 0);
    }
};

}  // namespace

TEST_F(gpu_fixture, failing_self_tests_halve_then_ask_and_decline) {
    fake.tests_all_fail = true;
    EXPECT_FALSE(setup(296));  // G = 320 for a 296-nonce file
    EXPECT_EQ(fake.activated, (std::vector<uint64_t>{320, 160, 64}));
    EXPECT_EQ(fake.released, 3);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], "Error initializing GPU|Fall back to using CPU?");
    EXPECT_FALSE(plotter->run.thread.joinable());
}

TEST_F(gpu_fixture, accepted_fallback_runs_on_the_cpu) {
    fake.tests_all_fail = true;
    answer = true;
    ASSERT_TRUE(setup(296));
    EXPECT_EQ(plotter->config.gpu_mask, 0u);
    EXPECT_EQ(plotter->config.gpus_used, 0u);
    plotter_stop(plotter, false);
    EXPECT_EQ(fake.computes, 0);
}

TEST_F(gpu_fixture, second_size_that_passes_is_used) {
    fake.tests_to_fail = 1;
    ASSERT_TRUE(setup(296));
    EXPECT_EQ(fake.activated, (std::vector<uint64_t>{320, 160}));
    EXPECT_EQ(plotter->config.buffer_nonces % 160, 0u);
    plotter_stop(plotter, false);
}

TEST_F(gpu_fixture, failed_batch_is_recomputed_after_recovery_and_file_is_correct) {
    fake.computes_to_fail = 1;
    ASSERT_TRUE(setup(72));  // G = 96, one batch
    plotter_wait(plotter);
    sys_ui_drain();
    EXPECT_TRUE(plotter_finished(plotter));
    EXPECT_EQ(fake.activated, (std::vector<uint64_t>{96, 96}));
    EXPECT_EQ(fake.computes, 2);
    EXPECT_TRUE(questions.empty());
    EXPECT_EQ(engine_bad_nonces(dir.file("555_0_72_72"), ACCOUNT, 0, 72, false), 0);
}

TEST_F(gpu_fixture, failed_recovery_declined_keeps_the_unfinished_file) {
    fake.computes_to_fail = 1;
    fake.activations_allowed = 1;
    ASSERT_TRUE(setup(72));
    plotter_wait(plotter);
    EXPECT_TRUE(plotter->run.failed);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], "Error|Failed to recover GPU device. Fall back to CPU processing?");
    EXPECT_EQ(engine_list(dir.path), std::vector<std::string>{"555_0_72_72.plotting"});
}

// A GPU whose self-test never passes at any size: 2048 is halved down to 128, then the
// fallback is asked.
TEST_F(gpu_fixture, nonce_count_halved_to_128_then_fallback_question) {
    fake.tests_all_fail = true;
    plotter_add_job(plotter, job_create(&target, nullptr, ACCOUNT, 0, 4096));
    testing::internal::CaptureStderr();
    // A 16 GiB limit leaves room for far more than 2048 nonces on any machine of 2 GiB or more.
    EXPECT_FALSE(plotter_setup(plotter, 1, 0, 1, 16 * GiB));
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(fake.activated, (std::vector<uint64_t>{2048, 1024, 512, 256, 128}));
    EXPECT_EQ(questions, (std::vector<std::string>{"Error initializing GPU|Fall back to using CPU?"}));
    for (const char* line : {"Attempting 1 GPU with 1.0 GiB memory.\n", "Attempting 1 GPU with 64.0 MiB memory.\n",
                             "Testing GPU configuration ...\n  test completed in 0.5 seconds\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    EXPECT_FALSE(plotter->run.thread.joinable());
}

// A rebuilt context that passes its self-test but fails every batch: recovery must give up
// after a few rounds and offer the CPU, instead of rebuilding forever.
TEST_F(gpu_fixture, recovery_gives_up_on_repeated_failure_and_the_cpu_finishes_the_file) {
    fake.computes_to_fail = 1000;
    fake.stop_at = 30;
    answer = true;
    ASSERT_TRUE(setup(72));
    plotter_wait(plotter);
    sys_ui_drain();
    EXPECT_LT(fake.computes, fake.stop_at);
    EXPECT_EQ(questions, (std::vector<std::string>{"Error|Failed to recover GPU device. Fall back to CPU processing?"}));
    EXPECT_TRUE(plotter_finished(plotter));
    EXPECT_EQ(engine_bad_nonces(dir.file("555_0_72_72"), ACCOUNT, 0, 72, false), 0);
}
