// GPU batches on a real OpenCL runtime against the scalar reference: hashes per dispatch,
// several devices per pass, refused batches and the self-test; batch progress from the event
// callbacks, and OpenCL failures injected into the runtime, which must end the batch with 0
// and leave no mapping or event behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <string>

#include "gpu/gpu_fixture.h"

namespace {

// Installed over opencl_api for the lifetime of one object: counts the events and mappings
// made and undone, fails the n-th call of one function with CL_OUT_OF_RESOURCES, and samples
// `watched`'s progress right after every progress callback.
struct cl_probe_s {
    static inline opencl_api_s real;  // the table before the probe
    // Events handed out by enqueues and released; successful maps and unmaps; calls of the
    // failing function so far.
    static inline std::atomic<int> events_made{0}, events_released{0}, maps{0}, unmaps{0}, calls{0};
    static inline int fail_at = 0;                      // 1-based failing call, 0 = none
    static inline std::string failing;                  // "map", "wait", "kernel" or "callback"
    static inline std::atomic<batch_buffer_s*> watched{nullptr};  // sampled after every callback (runtime threads)
    static inline std::atomic<uint64_t> most_progress{0};         // largest progress sampled

    // One registered callback: the real one and its data.
    struct hop_s {
        void(CL_CALLBACK* fn)(cl_event, cl_int, void*);
        void* user;
    };

    static bool fail_now(const char* which) { return fail_at && failing == which && ++calls == fail_at; }
    static void made(cl_int status, cl_event* event) { events_made += status == CL_SUCCESS && event; }

    static cl_int CL_API_CALL ndrange(cl_command_queue q, cl_kernel k, cl_uint dims, const size_t* off,
                                      const size_t* global, const size_t* local, cl_uint n, const cl_event* wait,
                                      cl_event* event) {
        if (fail_now("kernel")) return CL_OUT_OF_RESOURCES;
        const cl_int status = real.clEnqueueNDRangeKernel(q, k, dims, off, global, local, n, wait, event);
        return made(status, event), status;
    }
    static void* CL_API_CALL map(cl_command_queue q, cl_mem mem, cl_bool blocking, cl_map_flags flags, size_t off,
                                 size_t size, cl_uint n, const cl_event* wait, cl_event* event, cl_int* status) {
        if (fail_now("map")) return *status = CL_OUT_OF_RESOURCES, nullptr;
        void* p = real.clEnqueueMapBuffer(q, mem, blocking, flags, off, size, n, wait, event, status);
        maps += *status == CL_SUCCESS;
        return made(*status, event), p;
    }
    static cl_int CL_API_CALL unmap(cl_command_queue q, cl_mem mem, void* p, cl_uint n, const cl_event* wait,
                                    cl_event* event) {
        const cl_int status = real.clEnqueueUnmapMemObject(q, mem, p, n, wait, event);
        unmaps += status == CL_SUCCESS;
        return made(status, event), status;
    }
    static cl_int CL_API_CALL wait(cl_uint n, const cl_event* list) {
        return fail_now("wait") ? CL_OUT_OF_RESOURCES : real.clWaitForEvents(n, list);
    }
    static cl_int CL_API_CALL release(cl_event event) { return ++events_released, real.clReleaseEvent(event); }
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
        if (fail_now("callback")) return CL_OUT_OF_RESOURCES;
        auto* h = new hop_s{fn, user};
        const cl_int status = real.clSetEventCallback(event, type, hop, h);
        if (status != CL_SUCCESS) delete h;
        return status;
    }

    explicit cl_probe_s(const char* which = "", int at = 0) {
        real = opencl_api;
        events_made = events_released = maps = unmaps = calls = 0;
        most_progress = 0;
        watched = nullptr;
        failing = which;
        fail_at = at;
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

// Every dispatch size, the all-zero seed, the last nonces of the range, and two devices per
// pass over two passes (slot 1 of the first pass holds positions 32..63). Progress, sampled
// after every callback, never passes the batch, even when the hashes per dispatch do not
// divide the 8192 of a nonce.
TEST(GpuCompute, BatchEqualsReferenceForEveryDispatchSizeAndSlot) {
    GPU_REQUIRE_DEVICE(pd);
    settings_guard_s guard;
    struct case_s {
        int32_t hashes;    // the hash_per_dispatch setting
        int32_t slots;     // devices in the context
        uint64_t capacity; // batch size
        uint64_t account;  // account id
        uint64_t start;    // first nonce of the batch
    };
    const case_s cases[] = {
        {1, 1, 32, 0, 0},                                     // 8192 dispatches
        {5000, 1, 32, 18446744073709551615ull, 4294967290ull},  // the second dispatch hashes only 3192
        {8, 2, 128, 77, 5000},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE("hashes per dispatch " + std::to_string(c.hashes));
        hash_per_dispatch = c.hashes;
        gpu_ptr gpu = gpu_activate_list(std::vector<gpu_pd_s>(c.slots, pd), 32);
        ASSERT_TRUE(gpu);
        test_batch_s buffer(c.capacity);
        cl_probe_s probe;
        cl_probe_s::watched = &buffer.batch;
        EXPECT_EQ(gpu_compute(gpu.get(), c.account, c.start, &buffer.batch, nullptr), c.capacity);
        EXPECT_GT(cl_probe_s::most_progress.load(), 0u) << "no callback ran while the batch was attached";
        EXPECT_LE(cl_probe_s::most_progress.load(), c.capacity);
        EXPECT_EQ(buffer.batch.progress.load(), c.capacity);
        for (uint64_t index : {0ul, 1ul, 13ul, 31ul, 32ul, 63ul, 64ul, 127ul})
            if (index < c.capacity) expect_batch_nonce(buffer.batch, index, c.account, c.start + index);
    }
    // Settings out of range keep the built-in size.
    test_batch_s empty(0);
    gpu_ptr gpu = gpu_activate_list({pd}, 32);
    ASSERT_TRUE(gpu);
    const std::pair<int32_t, uint32_t> settings[] = {{-5, GPU_DEFAULT_HASHES}, {8193, GPU_DEFAULT_HASHES},
                                                     {INT_MAX, GPU_DEFAULT_HASHES}, {8192, 8192}};
    for (const auto& setting : settings) {
        hash_per_dispatch = setting.first;
        EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &empty.batch, nullptr), 0u);
        EXPECT_EQ(gpu->hashes_per_dispatch, setting.second) << setting.first;
    }
}

// Batches that must end with 0 and no progress: a capacity that passes do not fill (refused
// before anything is written), a stop before the first pass, a work-group size that does not
// divide the nonces (an OpenCL error), and a context whose kernels are missing.
TEST(GpuCompute, RefusedBatchesAndTheSelfTest) {
    GPU_REQUIRE_DEVICE(pd);
    settings_guard_s guard;
    gpu_ptr gpu = gpu_activate_list({pd, pd}, 32);
    ASSERT_TRUE(gpu);
    double seconds = -1;
    EXPECT_TRUE(gpu_test(gpu.get(), &seconds));
    EXPECT_GT(seconds, 0.0);
    EXPECT_EQ(gpu_nonces(gpu.get()), 32u);

    test_batch_s odd(96), full(64);
    odd.batch.progress = 5;
    std::atomic<bool> stop{true};
    EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &odd.batch, nullptr), 0u);
    EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &full.batch, &stop), 0u);
    threads_per_group = 24;
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &full.batch, nullptr), 0u);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Received error -54 from OpenCL\n"), std::string::npos);
    threads_per_group = 32;
    opencl_api.clReleaseKernel(gpu->kernel_step2[0]);  // as after a failed build
    gpu->kernel_step2[0] = nullptr;
    EXPECT_FALSE(gpu_test(gpu.get(), &seconds));
    EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &full.batch, nullptr), 0u);
    EXPECT_EQ(odd.batch.progress.load() + full.batch.progress.load(), 0u);
    EXPECT_EQ(std::count(odd.storage.begin(), odd.storage.end(), 0), (long)odd.storage.size()) << "nothing written";

    EXPECT_EQ(gpu_activate_pd({pd}, 0), nullptr);
    EXPECT_EQ(gpu_activate_pd({}, 32), nullptr);
    EXPECT_EQ(gpu_activate_pd({{99, 0}}, 32), nullptr);
    EXPECT_EQ(gpu_activate(1, nullptr, 0), nullptr);
    gpu_release(nullptr);
}

// A failing enqueue, map, wait or callback registration ends the batch with 0, and once
// the context is released every mapping is undone and every event released.
TEST(GpuErrorPaths, EveryFailureEndsTheBatchAndLeavesNothingBehind) {
    GPU_REQUIRE_DEVICE(pd);
    settings_guard_s guard;
    hash_per_dispatch = 512;  // 16 dispatches per device and pass
    // Kernel call 5 is a hashing dispatch of slot 0; 20 is slot 1's nonce_step1 after slot 0
    // mapped; map 2 and wait 2 belong to slot 1.
    const std::pair<const char*, int> cases[] = {{"", 0},        {"map", 1},     {"map", 2},      {"wait", 1},
                                                 {"wait", 2},    {"kernel", 5},  {"kernel", 20}, {"callback", 20}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " " + std::to_string(c.second));
        gpu_s* gpu = gpu_activate_pd({pd, pd}, 32);
        ASSERT_TRUE(gpu);
        ASSERT_TRUE(gpu_make_step2_idle(gpu, 0));
        ASSERT_TRUE(gpu_make_step2_idle(gpu, 1));
        cl_probe_s probe(c.first, c.second);
        test_batch_s buffer(128);  // two passes of 2 x 32
        testing::internal::CaptureStderr();
        const uint64_t done = gpu_compute(gpu, 1, 0, &buffer.batch, nullptr);
        const std::string log = testing::internal::GetCapturedStderr();
        gpu_release(gpu);
        EXPECT_EQ(done, c.second ? 0u : 128u);
        EXPECT_EQ(log.find("Received error -5 from OpenCL\n") != std::string::npos, c.second != 0) << log;
        EXPECT_EQ(cl_probe_s::maps.load(), cl_probe_s::unmaps.load());
        EXPECT_EQ(cl_probe_s::events_made.load(), cl_probe_s::events_released.load());
    }
}

}  // namespace
