// OpenCL failures injected into a real runtime: a failing enqueue, map, wait or callback
// registration ends the batch with 0, and once the context is released every mapping is
// undone and every event released.
#include <gtest/gtest.h>

#include "gpu/gpu_cl_probe.h"

namespace {

struct fault_case_s {
    const char* which;  // the function that fails ("" for none)
    int at;             // its failing call, counted over both devices
};

TEST(GpuErrorPaths, EveryFailureEndsTheBatchAndLeavesNothingBehind) {
    GPU_REQUIRE_DEVICE(pd);
    settings_guard_s guard;
    hash_per_dispatch = 512;  // 16 dispatches per device and pass
    // Kernel call 5 is a hashing dispatch of slot 0; 20 is slot 1's nonce_step1 after slot 0
    // mapped; map 2 and wait 2 belong to slot 1.
    const fault_case_s cases[] = {{"", 0},        {"map", 1},    {"map", 2},      {"wait", 1},
                                  {"wait", 2},    {"kernel", 5}, {"kernel", 20}, {"callback", 20}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.which) + " " + std::to_string(c.at));
        gpu_s* gpu = gpu_activate_pd({pd, pd}, 32);
        ASSERT_TRUE(gpu);
        ASSERT_TRUE(gpu_make_step2_idle(gpu, 0));
        ASSERT_TRUE(gpu_make_step2_idle(gpu, 1));
        cl_probe_s probe(c.which, c.at);
        test_batch_s buffer(128);  // two passes of 2 x 32
        testing::internal::CaptureStderr();
        const uint64_t done = gpu_compute(gpu, 1, 0, &buffer.batch, nullptr);
        const std::string log = testing::internal::GetCapturedStderr();
        gpu_release(gpu);
        if (c.at) {
            EXPECT_EQ(done, 0u);
            EXPECT_NE(log.find("Received error -5 from OpenCL\n"), std::string::npos) << log;
        } else {
            EXPECT_EQ(done, 128u);
        }
        EXPECT_EQ(cl_probe_s::maps.load(), cl_probe_s::unmaps.load());
        EXPECT_EQ(cl_probe_s::events_made.load(), cl_probe_s::events_released.load());
    }
}

}  // namespace
