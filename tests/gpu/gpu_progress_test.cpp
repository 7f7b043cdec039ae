// Batch progress reported by the dispatch callbacks while a pass runs: it never passes the
// nonces of the pass, even when the hashes per dispatch do not divide the 8192 of a nonce.
#include <gtest/gtest.h>

#include "gpu/gpu_cl_probe.h"

namespace {

TEST(GpuProgress, CallbacksNeverReportMoreThanThePass) {
    GPU_REQUIRE_DEVICE(pd);
    settings_guard_s guard;
    std::unique_ptr<gpu_s, void (*)(gpu_s*)> gpu(gpu_activate_pd({pd}, 32), gpu_release);
    ASSERT_TRUE(gpu);
    ASSERT_TRUE(gpu_make_step2_idle(gpu.get(), 0));
    // 5000 hashes per dispatch: two dispatches per nonce, the second hashing only 3192.
    hash_per_dispatch = 5000;
    test_batch_s buffer(64);  // two passes of 32
    cl_probe_s probe;
    cl_probe_s::watched = &buffer.batch;
    EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &buffer.batch, nullptr), 64u);
    EXPECT_GT(cl_probe_s::most_progress.load(), 0u) << "no callback ran while the batch was attached";
    EXPECT_LE(cl_probe_s::most_progress.load(), 64u);
    EXPECT_EQ(buffer.batch.progress.load(), 64u);
}

}  // namespace
