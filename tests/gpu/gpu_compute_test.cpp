// GPU batches on a real OpenCL runtime against the scalar reference: hashes per dispatch,
// several devices per pass, stop, bad capacities and the self-test; batch progress from the
// event callbacks, and OpenCL failures injected into the runtime, which must end the batch
// with 0 and leave no mapping or event behind.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "gpu/gpu_fixture.h"

namespace {

using gpu_ptr = std::unique_ptr<gpu_s, void (*)(gpu_s*)>;

gpu_ptr activate(const std::vector<gpu_pd_s>& list, uint64_t nonces) {
    return gpu_ptr(gpu_activate_pd(list, nonces), gpu_release);
}

// Installed over opencl_api for the lifetime of one object: counts the events and mappings
// made and undone, fails the n-th call of one function with a chosen status, and samples
// `watched`'s progress right after every progress callback.
struct cl_probe_s {
    static inline opencl_api_s real;                 // the table before the probe
    static inline std::atomic<int> events_made{0};    // events handed out by enqueues
    static inline std::atomic<int> events_released{0};  // clReleaseEvent calls
    static inline std::atomic<int> maps{0};           // successful map enqueues
    static inline std::atomic<int> unmaps{0};         // successful unmap enqueues
    static inline std::atomic<int> calls{0};          // calls of the failing function so far
    static inline int fail_at = 0;                    // 1-based failing call, 0 = none
    static inline cl_int fail_status = CL_SUCCESS;    // the status the failing call reports
    static inline std::string failing;                // "map", "wait", "kernel" or "callback"
    static inline std::atomic<batch_buffer_s*> watched{nullptr};  // batch sampled after every callback (runtime threads)
    static inline std::atomic<uint64_t> most_progress{0};  // largest progress sampled

    // One registered callback: the real one and its data.
    struct hop_s {
        void(CL_CALLBACK* fn)(cl_event, cl_int, void*);  // callback the code registered
        void* user;                                        // its data
    };

    static bool fail_now(const char* which) { return fail_at && failing == which && ++calls == fail_at; }

    static cl_int CL_API_CALL ndrange(cl_command_queue q, cl_kernel k, cl_uint dims, const size_t* off,
                                      const size_t* global, const size_t* local, cl_uint n, const cl_event* wait,
                                      cl_event* event) {
        if (fail_now("kernel")) return fail_status;
        const cl_int status = real.clEnqueueNDRangeKernel(q, k, dims, off, global, local, n, wait, event);
        if (status == CL_SUCCESS && event) ++events_made;
        return status;
    }
    static void* CL_API_CALL map(cl_command_queue q, cl_mem mem, cl_bool blocking, cl_map_flags flags, size_t off,
                                 size_t size, cl_uint n, const cl_event* wait, cl_event* event, cl_int* status) {
        if (fail_now("map")) {
            *status = fail_status;
            return nullptr;
        }
        void* p = real.clEnqueueMapBuffer(q, mem, blocking, flags, off, size, n, wait, event, status);
        if (*status == CL_SUCCESS) {
            ++maps;
            if (event) ++events_made;
        }
        return p;
    }
    static cl_int CL_API_CALL unmap(cl_command_queue q, cl_mem mem, void* p, cl_uint n, const cl_event* wait,
                                    cl_event* event) {
        const cl_int status = real.clEnqueueUnmapMemObject(q, mem, p, n, wait, event);
        if (status == CL_SUCCESS) ++unmaps;
        if (status == CL_SUCCESS && event) ++events_made;
        return status;
    }
    static cl_int CL_API_CALL wait(cl_uint n, const cl_event* list) {
        if (fail_now("wait")) return fail_status;
        return real.clWaitForEvents(n, list);
    }
    static cl_int CL_API_CALL release(cl_event event) {
        ++events_released;
        return real.clReleaseEvent(event);
    }
    static void CL_CALLBACK hop(cl_event event, cl_int status, void* data) {
        auto* h = static_cast<hop_s*>(data);
        h->fn(event, status, h->user);
        if (batch_buffer_s* batch = watched.load()) {
            const uint64_t seen = batch->progress.load();
            uint64_t most = most_progress.load();
            while (seen > most && !most_progress.compare_exchange_weak(most, seen)) {
            }
        }
        delete h;
    }
    static cl_int CL_API_CALL callback(cl_event event, cl_int type, void(CL_CALLBACK* fn)(cl_event, cl_int, void*),
                                       void* user) {
        if (fail_now("callback")) return fail_status;
        auto* h = new hop_s{fn, user};
        const cl_int status = real.clSetEventCallback(event, type, hop, h);
        if (status != CL_SUCCESS) delete h;
        return status;
    }

    cl_probe_s(const char* which = "", int at = 0, cl_int status = CL_OUT_OF_RESOURCES) {
        real = opencl_api;
        events_made = events_released = maps = unmaps = calls = 0;
        most_progress = 0;
        watched = nullptr;
        failing = which;
        fail_at = at;
        fail_status = status;
        opencl_api.clEnqueueNDRangeKernel = ndrange;
        opencl_api.clEnqueueMapBuffer = map;
        opencl_api.clEnqueueUnmapMemObject = unmap;
        opencl_api.clWaitForEvents = wait;
        opencl_api.clReleaseEvent = release;
        opencl_api.clSetEventCallback = callback;
    }
    ~cl_probe_s() {
        opencl_api = real;
        watched = nullptr;
    }
};

struct fault_case_s {
    const char* which;  // the function that fails ("" for none)
    int at;             // its failing call, counted over both devices
};

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

// Progress never passes the nonces of the pass, even when the hashes per dispatch do not
// divide the 8192 of a nonce.
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

// A failing enqueue, map, wait or callback registration ends the batch with 0, and once
// the context is released every mapping is undone and every event released.
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
