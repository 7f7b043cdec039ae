// A GPU whose rebuilt context passes its self-test but fails every batch: recovery must
// give up after a few rounds and offer the CPU, instead of rebuilding forever.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_support.h"
#include "platform/sys.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 777;
constexpr int GIVE_UP = 30;  // the test ends the run itself after this many failed batches

struct broken_gpu_s {
    plotter_s* plotter = nullptr;  // stopped by the fake if recovery never gives up
    int computes = 0;              // batches asked for
    int activations = 0;           // contexts built
    uint64_t nonces = 0;           // nonce count of the live context
};

plotter_gpu_api_s broken_api(broken_gpu_s* g) {
    plotter_gpu_api_s api;
    api.activate = [g](uint32_t, const uint32_t*, uint64_t nonces) {
        ++g->activations;
        g->nonces = nonces;
        return reinterpret_cast<gpu_s*>(g);
    };
    api.test = [](gpu_s*, double* seconds) {
        *seconds = 0.1;
        return true;
    };
    api.compute = [g](gpu_s*, uint64_t, uint64_t, batch_buffer_s*, const std::atomic<bool>*) {
        if (++g->computes >= GIVE_UP) g->plotter->stop = true;
        return (uint64_t)0;
    };
    api.release = [](gpu_s*) {};
    api.nonces = [g](gpu_s*) { return g->nonces; };
    api.optimal_nonces = [](uint32_t) { return (uint64_t)0; };
    api.global_mem = [](uint32_t) { return 8ull << 30; };
    api.max_alloc = [](uint32_t) { return 2ull << 30; };
    return api;
}

}  // namespace

TEST(gpu_repeated_failure, recovery_gives_up_and_the_cpu_finishes_the_file) {
    settings_reset();
    cpu_threads = 2;
    broken_gpu_s gpu;
    plotter_s* plotter = plotter_create();
    gpu.plotter = plotter;
    plotter_set_gpu_api(plotter, broken_api(&gpu));
    std::vector<std::string> questions;
    plotter_set_asker(plotter, [&](const char* title, const char* text) {
        questions.push_back(std::string(title) + "|" + text);
        return true;
    });
    test_dir_s dir;
    drive_s target = engine_drive(dir.path, false);
    plots_s plots;
    plan_input_s input;
    input.account_id = ACCOUNT;
    input.auto_start = false;
    input.targets = {&target};
    input.max_fill_bytes = 72 * PLOT_SIZE;
    drive_plan(plotter, &plots, input);
    ASSERT_TRUE(plotter_setup(plotter, 1, 0, 1, 0));
    plotter_wait(plotter);
    sys_ui_drain();
    EXPECT_LT(gpu.computes, GIVE_UP);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], "Error|Failed to recover GPU device. Fall back to CPU processing?");
    EXPECT_TRUE(plotter_finished(plotter));
    EXPECT_EQ(engine_bad_nonces(dir.file("777_0_72_72"), ACCOUNT, 0, 72, false), 0);
    plotter_destroy(plotter);
}
