// GPU bring-up, fallback and recovery in the plotter, with a fake GPU that computes on the
// CPU: halving after failed self-tests, the fallback question, a failed batch that is
// recomputed and never written, and recovery that gives up on a GPU failing every batch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_support.h"
#include "nonce/cpu.h"
#include "platform/sys.h"
#include "plotter/plotter_gpu.h"
#include "settings/settings.h"

namespace {

constexpr uint64_t ACCOUNT = 555;
constexpr uint64_t GiB = 1ull << 30;
// What the fake GPU's failing self-test reports.
const char* const FAULT = "the self-test failed with error -5 (CL_OUT_OF_RESOURCES)";
const std::string FALLBACK = "Error initializing GPU|";
const std::string CPU_QUESTION = ". Fall back to using CPU?";
const std::string TESTS_FAILED = std::string("The GPU could not be set up at 96 nonces per device and pass: ") + FAULT;
const std::string TESTS_FAIL = FALLBACK + TESTS_FAILED + CPU_QUESTION;
const std::string RECOVERY = "Error|Failed to recover GPU device. Fall back to CPU processing?";

struct gpu_case_s {
    const char* name;
    int tests_to_fail, computes_to_fail, activations_allowed;  // the fake GPU's faults, counted down
    bool answer;                                               // the answer to a question
    uint64_t nonces;                                           // size of the one file
    std::vector<uint64_t> activated;                           // nonce counts tried
    // The one question asked, or ""; the file left when the run ends ("": the run does not
    // start, "stop": stopped at once).
    std::string question, file;
    std::vector<std::string> log = {};                         // lines the setup logs
    uint64_t forced = 0;                                       // the size the user gave, 0 = none
};

void PrintTo(const gpu_case_s& c, std::ostream* os) { *os << c.name; }  // names the cases in test lists

class GpuPlotter : public testing::TestWithParam<gpu_case_s> {};

// G = 320 for a 1184-nonce file (a quarter, in groups of 32) and 2048 (the most without the
// device's own figures) for an 8192-nonce one. Failed self-tests halve G down to 96, each
// failure logged with its reason, and the fallback question says why the last size failed. A
// size the user gave is not cut to a quarter: 96 for a 72-nonce file, written in one batch;
// 32 is too few and refused without an attempt, saying so.
const gpu_case_s gpu_cases[] = {
    {"SelfTestsFailHalveAndFallbackDeclined", 99, 0, 100, false, 1184, {320, 160, 96}, TESTS_FAIL, "",
     {std::string("  GPU set-up failed at 320 nonces per device and pass: ") + FAULT + "\n",
      std::string("  GPU set-up failed at 96 nonces per device and pass: ") + FAULT + "\n"}},
    {"SelfTestsFailFallbackAccepted", 99, 0, 100, true, 1184, {320, 160, 96}, TESTS_FAIL, "stop",
     {TESTS_FAILED + "\n", "Falling back to CPU.\n"}},
    {"NonceCountHalvedToTheLeastThenFallbackQuestion", 99, 0, 100, false, 8192, {2048, 1024, 512, 256, 128, 96},
     TESTS_FAIL, "",
     {"Attempting 1 GPU with 1.0 GiB memory.\n", "Attempting 1 GPU with 64.0 MiB memory.\n",
      "Testing GPU configuration ...\n  test completed in 0.5 seconds\n"}},
    {"ActivationFailsAtEverySize", 0, 0, 0, false, 1184, {320, 160, 96},
     FALLBACK + "The GPU could not be set up at 96 nonces per device and pass: the devices could not be activated" +
         CPU_QUESTION,
     ""},
    {"TooFewNoncesGivenAreRefusedSayingWhy", 0, 0, 100, false, 72, {},
     FALLBACK + "The GPU could not be set up: 32 nonces per device and pass are too few (the GPU path takes at "
                "least 96; a larger memory limit or GPU nonce count gives more)" + CPU_QUESTION,
     "", {}, 32},
    {"SecondSizePasses", 1, 0, 100, false, 1184, {320, 160}, "", "stop"},
    {"FailedBatchRecomputedAfterRecovery", 0, 1, 100, false, 72, {96, 96}, "", "555_0_72_72", {}, 96},
    {"FailedRecoveryDeclinedKeepsTheUnfinishedFile", 0, 1, 1, false, 72, {96, 96}, RECOVERY, "555_0_72_72.plotting",
     {}, 96},
    {"RepeatedFailureGivesUpAndTheCpuFinishes", 0, 1000, 100, true, 72, {96, 96, 96, 96}, RECOVERY, "555_0_72_72",
     {}, 96},
};

TEST_P(GpuPlotter, BringUpAndRecovery) {
    gpu_case_s c = GetParam();
    std::vector<uint64_t> activated;  // nonce count of every activation
    std::string asked;  // every question asked, "title|text"
    int computes = 0, contexts = 0, released = 0;
    settings_reset();
    plotter_s* plotter = plotter_create();
    plotter_gpu_api_s gpu;
    gpu.activate = [&](uint32_t, const uint32_t*, uint64_t nonces) -> gpu_s* {
        activated.push_back(nonces);
        if (c.activations_allowed-- <= 0) return nullptr;
        ++contexts;
        return reinterpret_cast<gpu_s*>(&c);
    };
    gpu.test = [&](gpu_s*, double* seconds) { return *seconds = 0.5, c.tests_to_fail-- <= 0; };
    gpu.compute = [&](gpu_s*, uint64_t account, uint64_t first, batch_buffer_s* batch, const std::atomic<bool>* stop) {
        if (++computes == 30) plotter->run.stop = true;  // should recovery never give up
        if (c.computes_to_fail-- > 0) return (uint64_t)0;
        return cpu_plot_batch(batch, account, first, batch->capacity, CPU_FAMILY_BEST, cpu_thread_count(2), 0, stop,
                              &batch->progress);
    };
    gpu.release = [&](gpu_s*) { ++released; };
    gpu.problem = [](gpu_s*) { return std::string(FAULT); };
    gpu.nonces = [&](gpu_s*) { return activated.back(); };
    gpu.global_mem = [](uint32_t) { return 8 * GiB; };
    gpu.max_alloc = [](uint32_t) { return 2 * GiB; };
    gpu.optimal_nonces = [&](uint32_t) { return c.forced; };
    gpu.forced_nonces = c.forced;
    plotter_set_gpu_api(plotter, gpu);
    plotter_set_asker(plotter, [&](const char* t, const char* x) { return asked += t + std::string("|") + x, c.answer; });
    test_dir_s dir;
    drive_s target = engine_drive(dir.path, false);
    plotter_add_job(plotter, job_create(&target, nullptr, ACCOUNT, 0, c.nonces));
    testing::internal::CaptureStderr();
    // A 16 GiB limit leaves room for far more than 2048 nonces on any machine of 2 GiB or more.
    EXPECT_EQ(plotter_setup(plotter, {1, 16 * GiB, 0, 2}, 0, 1), !c.file.empty());
    const std::string log = testing::internal::GetCapturedStderr();
    for (const std::string& line : c.log) EXPECT_TRUE(test_holds(log, line));
    if (c.file.empty()) {
        EXPECT_EQ(released, contexts);
        // The front end shows why the run did not start: the reason the question gave.
        const std::string text = c.question.substr(c.question.find('|') + 1);
        EXPECT_EQ(plotter->run.setup_failure + CPU_QUESTION, text);
        EXPECT_TRUE(test_holds(log, plotter->run.setup_failure + "\n"));
    } else if (c.file == "stop") {
        // After the fallback the CPU plots; otherwise the buffers hold whole GPU passes.
        EXPECT_EQ(plotter->config.gpu_mask == 0, !c.question.empty());
        EXPECT_TRUE(!c.question.empty() || plotter->config.buffer_nonces % activated.back() == 0);
        EXPECT_EQ(plotter->run.setup_failure, "");
        plotter_stop(plotter, false);
        EXPECT_TRUE(c.question.empty() || computes == 0);
    } else {
        plotter_wait(plotter);
        EXPECT_LT(computes, 30);
        EXPECT_EQ(engine_list(dir.path), std::vector<std::string>{c.file});
        EXPECT_EQ(plotter->run.failed.load(), c.file.find(".plotting") != std::string::npos);
        const int64_t bad = plotter->run.failed ? (int64_t)c.nonces : 0;
        EXPECT_EQ(engine_bad_nonces(dir.file(c.file), ACCOUNT, 0, c.nonces, false), bad);
    }
    EXPECT_EQ(activated, c.activated);
    EXPECT_EQ(asked, c.question);
    plotter_destroy(plotter);
}

INSTANTIATE_TEST_SUITE_P(Cases, GpuPlotter, testing::ValuesIn(gpu_cases),
                         [](const testing::TestParamInfo<gpu_case_s>& info) { return std::string(info.param.name); });

}  // namespace

// The plan says when a device's own size is cut, and by what: a 12 GiB budget for two
// buffers holds 24576 nonces, below the device's 95552; a cut below what the host allows
// comes from the file or the settings; no line when nothing was cut.
TEST(GpuPlotterLog, CutOfTheDeviceSize) {
    const struct {
        uint64_t own, chosen;
        const char* line;
    } cases[] = {
        {95552, 2048, "  host memory cuts the GPU size from 95552 to 2048 nonces per device\n"},
        {20000, 2048, "  the file size or the settings cuts the GPU size from 20000 to 2048 nonces per device\n"},
        {2048, 2048, ""},
        {0, 2048, ""},
    };
    for (const auto& c : cases) {
        sizing_input_s in = machine(16 * GiB, 0, 1, 1);
        in.gpu_tuned_nonces = c.own;
        sizing_s cfg;
        cfg.gpu_nonces = c.chosen;
        const std::string log = engine_logged([&] { plotter_gpu_log_cut(in, cfg); });
        EXPECT_EQ(log.empty() ? log : log.substr(log.find("  ")), c.line) << c.own;
    }
}
