// GPU bring-up, fallback and recovery in the plotter, with a fake GPU that computes on the
// CPU: halving after failed self-tests, the fallback question, a failed batch that is
// recomputed and never written, and recovery that gives up on a GPU failing every batch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_support.h"
#include "nonce/plt_cpu.h"
#include "platform/sys.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 555;
constexpr uint64_t GiB = 1ull << 30;
const char* const FALLBACK = "Error initializing GPU|Fall back to using CPU?";
const char* const RECOVERY = "Error|Failed to recover GPU device. Fall back to CPU processing?";

// A made-up GPU: which nonce counts were activated, which self-tests and batches fail.
struct fake_gpu_s {
    std::vector<uint64_t> activated;  // nonce count of every activation
    int tests_to_fail = 0;            // self-tests that fail before one passes
    int computes_to_fail = 0;         // batches that fail before one succeeds
    int activations_allowed = 100;    // activations that return a context
    int computes = 0;                 // batches asked for
    int released = 0;                 // contexts released
    uint64_t nonces = 0;              // nonce count of the live context
    plotter_s* plotter = nullptr;     // stopped at the 30th batch, should recovery never give up
};

plotter_gpu_api_s fake_api(fake_gpu_s* f) {
    plotter_gpu_api_s api;
    api.activate = [f](uint32_t, const uint32_t*, uint64_t nonces) -> gpu_s* {
        f->activated.push_back(nonces);
        f->nonces = nonces;
        return f->activations_allowed-- > 0 ? reinterpret_cast<gpu_s*>(f) : nullptr;
    };
    api.test = [f](gpu_s*, double* seconds) { return *seconds = 0.5, f->tests_to_fail-- <= 0; };
    api.compute = [f](gpu_s*, uint64_t account, uint64_t first, batch_buffer_s* batch, const std::atomic<bool>* stop) {
        if (++f->computes == 30) f->plotter->run.stop = true;
        if (f->computes_to_fail-- > 0) return (uint64_t)0;
        return cpu_plot_batch(batch, account, first, batch->capacity, cpu_thread_count(), 0, stop, &batch->progress);
    };
    api.release = [f](gpu_s*) { ++f->released; };
    api.nonces = [f](gpu_s*) { return f->nonces; };
    api.optimal_nonces = [](uint32_t) { return (uint64_t)0; };
    api.global_mem = [](uint32_t) { return 8 * GiB; };
    api.max_alloc = [](uint32_t) { return 2 * GiB; };
    return api;
}

struct gpu_case_s {
    const char* name;
    int tests_to_fail, computes_to_fail, activations_allowed;  // the fake's faults
    bool answer;                                               // the answer to a question
    uint64_t nonces;                                           // size of the one file
    std::vector<uint64_t> activated;                           // nonce counts tried; empty = not checked
    const char* question;                                      // the question asked, or ""
    const char* file;  // the file left when the run ends; "" = the run does not start, "stop" = stopped at once
};

void PrintTo(const gpu_case_s& c, std::ostream* os) { *os << c.name; }

class GpuPlotter : public testing::TestWithParam<gpu_case_s> {
protected:
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
    }
    void TearDown() override { plotter_destroy(plotter); }
    plots_s plots;
    plotter_s* plotter = nullptr;
    fake_gpu_s fake;
    test_dir_s dir;
    drive_s target;
    std::vector<std::string> questions;
    bool answer = false;
};

// G = 320 for a 296-nonce file, 96 for a 72-nonce one.
const gpu_case_s gpu_cases[] = {
    {"SelfTestsFailHalveAndFallbackDeclined", 99, 0, 100, false, 296, {320, 160, 64}, FALLBACK, ""},
    {"SelfTestsFailFallbackAccepted", 99, 0, 100, true, 296, {320, 160, 64}, FALLBACK, "stop"},
    {"SecondSizePasses", 1, 0, 100, false, 296, {320, 160}, "", "stop"},
    {"FailedBatchRecomputedAfterRecovery", 0, 1, 100, false, 72, {96, 96}, "", "555_0_72_72"},
    {"FailedRecoveryDeclinedKeepsTheUnfinishedFile", 0, 1, 1, false, 72, {96, 96}, RECOVERY, "555_0_72_72.plotting"},
    {"RecoveryGivesUpOnRepeatedFailureAndTheCpuFinishes", 0, 1000, 100, true, 72, {}, RECOVERY, "555_0_72_72"},
};

TEST_P(GpuPlotter, BringUpAndRecovery) {
    const gpu_case_s& c = GetParam();
    fake.tests_to_fail = c.tests_to_fail;
    fake.computes_to_fail = c.computes_to_fail;
    fake.activations_allowed = c.activations_allowed;
    answer = c.answer;
    plan_input_s input;
    input.targets = {&target};
    input.account_id = ACCOUNT;
    input.auto_start = false;
    input.max_fill_bytes = c.nonces * PLOT_SIZE;
    drive_plan(plotter, &plots, input);
    const std::string file = c.file;
    ASSERT_EQ(plotter_setup(plotter, 1, 0, 1, 0), !file.empty());
    if (file.empty()) {
        EXPECT_EQ(fake.released, (int)fake.activated.size());
        EXPECT_FALSE(plotter->run.thread.joinable());
    } else if (file == "stop") {
        // After the fallback the CPU plots; otherwise the buffers hold whole GPU passes.
        EXPECT_EQ(plotter->config.gpu_mask == 0, *c.question != 0);
        EXPECT_TRUE(*c.question || plotter->config.buffer_nonces % fake.activated.back() == 0);
        plotter_stop(plotter, false);
        EXPECT_TRUE(!*c.question || fake.computes == 0);
    } else {
        plotter_wait(plotter);
        sys_ui_drain();
        EXPECT_LT(fake.computes, 30);
        EXPECT_EQ(engine_list(dir.path), std::vector<std::string>{file});
        EXPECT_EQ(plotter->run.failed.load(), file.find(".plotting") != std::string::npos);
        EXPECT_EQ(engine_bad_nonces(dir.file(file), ACCOUNT, 0, 72, false), plotter->run.failed ? 72 : 0);
    }
    if (!c.activated.empty()) {
        EXPECT_EQ(fake.activated, c.activated);
    }
    EXPECT_EQ(questions, *c.question ? std::vector<std::string>{c.question} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, GpuPlotter, testing::ValuesIn(gpu_cases),
                         [](const testing::TestParamInfo<gpu_case_s>& info) { return std::string(info.param.name); });

// A self-test that never passes at any size: 2048 is halved down to 128, then the fallback is
// asked.
TEST_F(GpuPlotter, NonceCountHalvedTo128ThenFallbackQuestion) {
    fake.tests_to_fail = 99;
    plotter_add_job(plotter, job_create(&target, nullptr, ACCOUNT, 0, 4096));
    testing::internal::CaptureStderr();
    // A 16 GiB limit leaves room for far more than 2048 nonces on any machine of 2 GiB or more.
    EXPECT_FALSE(plotter_setup(plotter, 1, 0, 1, 16 * GiB));
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(fake.activated, (std::vector<uint64_t>{2048, 1024, 512, 256, 128}));
    EXPECT_EQ(questions, std::vector<std::string>{FALLBACK});
    for (const char* line : {"Attempting 1 GPU with 1.0 GiB memory.\n", "Attempting 1 GPU with 64.0 MiB memory.\n",
                             "Testing GPU configuration ...\n  test completed in 0.5 seconds\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

}  // namespace
