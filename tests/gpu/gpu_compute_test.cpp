// GPU batches on a real OpenCL runtime against the scalar reference: hashes per dispatch,
// several devices per pass, stop, bad capacities and the self-test.
#include <gtest/gtest.h>

#include "gpu/gpu_fixture.h"

namespace {

using gpu_ptr = std::unique_ptr<gpu_s, void (*)(gpu_s*)>;

gpu_ptr activate(const std::vector<gpu_pd_s>& list, uint64_t nonces) {
    return gpu_ptr(gpu_activate_pd(list, nonces), gpu_release);
}

struct dispatch_case_s {
    int32_t hashes;    // the hash_per_dispatch setting
    uint64_t account;  // account id
    uint64_t start;    // first nonce of the batch
};

TEST(GpuCompute, BatchEqualsReferenceForEveryDispatchSize) {
    GPU_REQUIRE_DEVICE(pd);
    settings_guard_s guard;
    gpu_ptr gpu = activate({pd}, 32);
    ASSERT_TRUE(gpu);
    const dispatch_case_s cases[] = {
        {1, 0, 0},                                      // 8192 dispatches; all-zero seed
        {3, 18446744073709551615ull, 4294967290ull},    // last dispatch hashes only 2
        {8, 10282355196851764065ull, 1000003},          // the built-in size
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("hashes per dispatch " + std::to_string(c.hashes));
        hash_per_dispatch = c.hashes;
        test_batch_s buffer(32);
        EXPECT_EQ(gpu_compute(gpu.get(), c.account, c.start, &buffer.batch, nullptr), 32u);
        EXPECT_EQ(buffer.batch.progress.load(), 32u);
        EXPECT_EQ(gpu->hashes_per_dispatch, (uint32_t)c.hashes);
        for (uint64_t index : {0, 1, 13, 30, 31}) expect_batch_nonce(buffer.batch, index, c.account, c.start + index);
    }
}

TEST(GpuCompute, TwoSlotsFillTheirPositionsOverTwoPasses) {
    GPU_REQUIRE_DEVICE(pd);
    gpu_ptr gpu = activate({pd, pd}, 32);
    ASSERT_TRUE(gpu);
    ASSERT_EQ(gpu->count, 2);
    test_batch_s buffer(128);  // two passes of 2 x 32
    const uint64_t account = 77, start = 5000;
    EXPECT_EQ(gpu_compute(gpu.get(), account, start, &buffer.batch, nullptr), 128u);
    // Slot 1 of the first pass holds batch positions 32..63; the second pass starts at 64.
    for (uint64_t index : {0, 31, 32, 63, 64, 95, 96, 127}) expect_batch_nonce(buffer.batch, index, account, start + index);
}

TEST(GpuCompute, OutOfRangeDispatchSettingKeepsTheBuiltInSize) {
    GPU_REQUIRE_DEVICE(pd);
    settings_guard_s guard;
    gpu_ptr gpu = activate({pd}, 32);
    ASSERT_TRUE(gpu);
    test_batch_s empty(0);
    for (int32_t bad : {-5, 8193, 2147483647}) {
        hash_per_dispatch = bad;
        EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &empty.batch, nullptr), 0u);
        EXPECT_EQ(gpu->hashes_per_dispatch, GPU_DEFAULT_HASHES) << bad;
    }
    hash_per_dispatch = 8192;
    gpu_compute(gpu.get(), 1, 0, &empty.batch, nullptr);
    EXPECT_EQ(gpu->hashes_per_dispatch, 8192u);
}

TEST(GpuCompute, CapacityThatPassesDoNotFillIsRefusedBeforeComputing) {
    GPU_REQUIRE_DEVICE(pd);
    gpu_ptr gpu = activate({pd, pd}, 32);
    ASSERT_TRUE(gpu);
    test_batch_s buffer(96);  // one and a half passes of 64
    buffer.batch.progress = 5;
    EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &buffer.batch, nullptr), 0u);
    EXPECT_EQ(buffer.batch.progress.load(), 0u);
    for (uint64_t i = 0; i < 96 * PLOT_SIZE; i += 4099) ASSERT_EQ(buffer.storage[i], 0) << "nothing may be written";
}

TEST(GpuCompute, WorkGroupSizeNotDividingTheNoncesIsAnOpenclError) {
    GPU_REQUIRE_DEVICE(pd);
    settings_guard_s guard;
    gpu_ptr gpu = activate({pd}, 32);
    ASSERT_TRUE(gpu);
    threads_per_group = 24;
    test_batch_s buffer(32);
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &buffer.batch, nullptr), 0u);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Received error -54 from OpenCL\n"), std::string::npos) << log;  // CL_INVALID_WORK_GROUP_SIZE
}

TEST(GpuCompute, StopBeforeAPassReturnsZero) {
    GPU_REQUIRE_DEVICE(pd);
    gpu_ptr gpu = activate({pd}, 32);
    ASSERT_TRUE(gpu);
    test_batch_s buffer(32);
    std::atomic<bool> stop{true};
    EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &buffer.batch, &stop), 0u);
    EXPECT_EQ(buffer.batch.progress.load(), 0u);
}

TEST(GpuTest, SelfTestPassesOnAGoodContextAndFailsOnAnIncompleteOne) {
    GPU_REQUIRE_DEVICE(pd);
    gpu_ptr gpu = activate({pd}, 32);
    ASSERT_TRUE(gpu);
    double seconds = -1;
    EXPECT_TRUE(gpu_test(gpu.get(), &seconds));
    EXPECT_GT(seconds, 0.0);
    EXPECT_EQ(gpu_nonces(gpu.get()), 32u);

    // A context whose kernels are missing (as after a failed build) is never run.
    opencl_api.clReleaseKernel(gpu->kernel_step2[0]);
    gpu->kernel_step2[0] = nullptr;
    EXPECT_FALSE(gpu_test(gpu.get(), &seconds));
    test_batch_s buffer(32);
    EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &buffer.batch, nullptr), 0u);
}

TEST(GpuTest, ActivationRefusesZeroNoncesAndUnknownDevices) {
    GPU_REQUIRE_DEVICE(pd);
    EXPECT_EQ(gpu_activate_pd({pd}, 0), nullptr);
    EXPECT_EQ(gpu_activate_pd({}, 32), nullptr);
    EXPECT_EQ(gpu_activate_pd({{99, 0}}, 32), nullptr);
    EXPECT_EQ(gpu_activate(1, nullptr, 0), nullptr);
    gpu_release(nullptr);
}

}  // namespace
