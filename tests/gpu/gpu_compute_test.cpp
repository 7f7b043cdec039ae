// GPU batches on a real OpenCL runtime (PoCL's CPU device here and in CI) against the scalar
// reference: hashes per dispatch, several devices per pass, refused batches and the
// self-test; batch progress from the event callbacks; and faults, OpenCL failures injected
// into the runtime or devices whose kernels are replaced to return zeros for the spot check,
// which must end the batch with 0 and leave no event behind.

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <tuple>

#include "gpu/gpu_context.h"
#include "test_support.h"

namespace {

using gpu_ptr = std::unique_ptr<gpu_s, void (*)(gpu_s*)>;

// Tests on the first OpenCL device, skipped when there is none.
class Gpu : public testing::Test {
protected:
    gpu_pd_s pd{};
    void SetUp() override {
        const auto listed = gpu_list_all();
        if (listed.empty()) GTEST_SKIP() << "no OpenCL device present (install PoCL)";
        pd = {listed[0].platform, listed[0].index};
    }
    // A context of `nonces` per device on `slots` copies of the device.
    gpu_ptr activate(int32_t slots, int32_t hashes = 0, int32_t group = 0, uint64_t nonces = 32) const {
        gpu_tuning_s tuning;
        tuning.hashes_per_dispatch = hashes;
        tuning.threads_per_group = group;
        return gpu_ptr(gpu_activate_pd(std::vector<gpu_pd_s>(slots, pd), nonces, tuning), gpu_release);
    }
};

// Replaces slot d's nonce_step2 with one hashing nothing, so that a pass is quick when its
// hashes do not matter, and with `zeros` its nonce_step3 with one writing only zeros.
bool make_idle(gpu_s* gpu, int32_t d, bool zeros) {
    const char* source =
        "__kernel void nonce_step2(__global uchar* gen, uint offset, uint count) {}\n"
        "__kernel void nonce_step3(uint stagger, __global uchar* gen, __global uchar* scoops) {\n"
        "    for (uint s = 0; s < 4096; ++s)\n"
        "        for (uint b = 0; b < 64; ++b) scoops[(s * stagger + get_global_id(0)) * 64 + b] = 0;\n"
        "}\n";
    cl_int status = CL_SUCCESS;
    cl_program program = opencl_api.clCreateProgramWithSource(gpu->context[d], 1, &source, nullptr, &status);
    if (status != CL_SUCCESS || opencl_api.clBuildProgram(program, 0, nullptr, "", nullptr, nullptr) != CL_SUCCESS)
        return false;
    opencl_api.clReleaseKernel(gpu->kernel_step2[d]);
    gpu->kernel_step2[d] = opencl_api.clCreateKernel(program, "nonce_step2", &status);
    if (zeros) {
        opencl_api.clReleaseKernel(gpu->kernel_step3[d]);
        gpu->kernel_step3[d] = opencl_api.clCreateKernel(program, "nonce_step3", &status);
    }
    opencl_api.clReleaseProgram(program);  // the kernels keep it alive
    return gpu->kernel_step2[d] && gpu->kernel_step3[d];
}

// Installed over opencl_api for the lifetime of one object: counts the events not yet
// released, fails the n-th call of one function with CL_OUT_OF_RESOURCES,
// and samples `watched`'s progress right after every progress callback (on runtime threads).
struct cl_probe_s {
    static inline opencl_api_s real;                    // the table before the probe
    static inline std::atomic<int> live{0}, calls{0};  // events handed out less those released; failing function's calls
    static inline int fail_at = 0;                      // 1-based failing call, 0 = none
    static inline std::string failing;                  // "read", "wait", "kernel" or "callback"
    static inline std::atomic<batch_buffer_s*> watched{nullptr};  // sampled after every callback
    static inline std::atomic<bool> overshot{false};              // its progress was seen above its capacity
    static inline std::atomic<void (*)(cl_event, cl_int, void*)> program_cb{nullptr};  // the program's callback

    static bool fail_now(const char* which) { return fail_at && failing == which && ++calls == fail_at; }
    static cl_int made(cl_int status, const cl_event* event) {
        live += status == CL_SUCCESS && event;
        return status;
    }
    static void sample(cl_event event, cl_int status, void* user) {
        program_cb.load()(event, status, user);
        const batch_buffer_s* batch = watched.load();
        if (batch && batch->progress.load() > batch->capacity) overshot = true;
    }

    explicit cl_probe_s(const char* which = "", int at = 0, batch_buffer_s* batch = nullptr) {
        real = opencl_api;
        live = calls = 0;
        overshot = false;
        watched = batch;
        failing = which;
        fail_at = at;
        opencl_api.clEnqueueNDRangeKernel = [](auto q, auto k, auto d, auto o, auto g, auto l, auto n, auto w, auto e) {
            return fail_now("kernel") ? CL_OUT_OF_RESOURCES : made(real.clEnqueueNDRangeKernel(q, k, d, o, g, l, n, w, e), e);
        };
        opencl_api.clEnqueueReadBuffer = [](auto q, auto m, auto b, auto o, auto s, auto p, auto n, auto w, auto e) {
            return fail_now("read") ? CL_OUT_OF_RESOURCES : made(real.clEnqueueReadBuffer(q, m, b, o, s, p, n, w, e), e);
        };
        opencl_api.clWaitForEvents = [](auto n, auto list) {
            return fail_now("wait") ? CL_OUT_OF_RESOURCES : real.clWaitForEvents(n, list);
        };
        opencl_api.clReleaseEvent = [](cl_event event) {
            --live;
            return real.clReleaseEvent(event);
        };
        opencl_api.clSetEventCallback = [](auto event, auto type, auto fn, auto user) {
            if (fail_now("callback")) return CL_OUT_OF_RESOURCES;
            program_cb = fn;
            return real.clSetEventCallback(event, type, sample, user);
        };
    }
    ~cl_probe_s() {
        opencl_api = real;
        watched = nullptr;
    }
};

}  // namespace

// Every dispatch size, the all-zero seed, the last nonces of the range, and two devices per
// pass over two passes (slot 1 of the first pass holds positions 32..63). Progress, sampled
// after every callback, never passes the batch, even when the hashes per dispatch do not
// divide the 8192 of a nonce.
TEST_F(Gpu, BatchEqualsReferenceForEveryDispatchSizeAndSlot) {
    // Hashes per dispatch, devices in the context; batch size, account id, first nonce of the batch.
    const std::tuple<int32_t, int32_t, uint64_t, uint64_t, uint64_t> cases[] = {
        {1, 1, 32, 0, 0},                                       // 8192 dispatches
        {5000, 1, 32, 18446744073709551615ull, 4294967290ull},  // the second dispatch hashes only 3192
        {8, 2, 128, 77, 5000},
    };
    for (const auto& [hashes, slots, capacity, account, start] : cases) {
        SCOPED_TRACE("hashes per dispatch " + std::to_string(hashes));
        gpu_ptr gpu = activate(slots, hashes);
        ASSERT_TRUE(gpu);
        test_batch_s buffer(capacity);
        cl_probe_s probe("", 0, &buffer.batch);
        EXPECT_EQ(gpu_compute(gpu.get(), account, start, &buffer.batch, nullptr), capacity);  // its progress
        EXPECT_FALSE(cl_probe_s::overshot);
        for (uint64_t index : {0ul, 1ul, 13ul, 31ul, 32ul, 63ul, 64ul, 127ul})
            EXPECT_TRUE(index >= capacity || test_rows_hold(buffer.storage.data(), capacity, index, account, start + index))
                << "batch index " << index;
    }
}

// Batches that must end with 0 and no progress: a capacity that passes do not fill (refused
// before anything is written), a stop before the first pass, a work-group size that does not
// divide the nonces (an OpenCL error), and a context whose kernels are missing. Hashes per
// dispatch out of range keep the built-in size. The self-test runs every slot, reporting its
// progress up to the whole pass of each. Why a context cannot be used is said in words, naming
// the device and the runtime's error; a context that passes its self-test has nothing to say.
TEST_F(Gpu, RefusedBatchesProblemsAndTheSelfTest) {
    gpu_ptr gpu = activate(2);
    ASSERT_TRUE(gpu);
    double seconds = -1;
    std::atomic<uint64_t> progress{0};
    EXPECT_TRUE(gpu_test(gpu.get(), &seconds, &progress) && seconds > 0.0) << seconds;
    EXPECT_EQ(std::tuple(progress.load(), gpu_problem(gpu.get()), gpu_nonces(gpu.get())), std::tuple(64u, "", 32u));

    for (auto setting : {std::make_pair(-5, GPU_DEFAULT_HASHES), {8193, GPU_DEFAULT_HASHES},
                         {INT_MAX, GPU_DEFAULT_HASHES}, {8192, 8192u}}) {
        gpu_ptr tuned = activate(1, setting.first);
        EXPECT_TRUE(tuned && tuned->hashes_per_dispatch == setting.second) << setting.first;
    }
    test_batch_s empty(0), odd(96), full(64);
    EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &empty.batch, nullptr), 0u);
    odd.batch.progress = 5;
    std::atomic<bool> stop{true};
    EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &odd.batch, nullptr), 0u);
    EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &full.batch, &stop), 0u);
    // An allocation limit too small for one work group of generation areas (32 x 262160 bytes).
    gpu_tuning_s tuning;
    tuning.max_alloc = 1ull << 20;
    gpu_ptr small(gpu_activate_pd({pd}, 32, tuning), gpu_release);
    gpu_ptr uneven = activate(1, 0, 24);
    ASSERT_TRUE(small && uneven);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(gpu_test(small.get(), &seconds));
    EXPECT_FALSE(gpu_test(uneven.get(), &seconds));
    EXPECT_EQ(gpu_compute(uneven.get(), 1, 0, &full.batch, nullptr), 0u);
    opencl_api.clReleaseKernel(gpu->kernel_step2[1]);  // as after a failed build, on the second slot
    gpu->kernel_step2[1] = nullptr;
    EXPECT_FALSE(gpu_test(gpu.get(), &seconds));
    EXPECT_EQ(gpu_compute(gpu.get(), 1, 0, &full.batch, nullptr), 0u);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Received error -54 from OpenCL\n"), std::string::npos);
    EXPECT_EQ(odd.batch.progress.load() + full.batch.progress.load(), 0u);
    EXPECT_EQ(std::count(odd.storage.begin(), odd.storage.end(), 0), (long)odd.storage.size()) << "nothing written";
    EXPECT_EQ(gpu_problem(small.get()),
              "device 0: a work group of 32 generation areas (8.0 MiB) exceeds the largest allocation (1.0 MiB)");
    EXPECT_EQ(gpu_problem(uneven.get()),
              "device 0: the self-test failed: nonce_step1 returned error -54 (CL_INVALID_WORK_GROUP_SIZE)");
    EXPECT_EQ(gpu_problem(gpu.get()), "device 1: the context lacks kernel nonce_step2");
    EXPECT_EQ(gpu_problem(nullptr), "no GPU context");

    const gpu_tuning_s plain;
    for (gpu_s* none : {gpu_activate_pd({pd}, 0, plain), gpu_activate_pd({}, 32, plain),
                        gpu_activate_pd({{99, 0}}, 32, plain), gpu_activate(1, nullptr, 0, plain),
                        gpu_activate_pd({pd}, GPU_MAX_NONCES + 32, plain)})
        EXPECT_EQ(none, nullptr);
    gpu_release(nullptr);
}

// Faults in one batch of two passes over two devices: a failing enqueue, read-back, wait or
// callback registration, logged as an OpenCL error, or a slot whose output comes back all
// zeros, so that every row of it starts with four zero bytes and is spot-checked against the
// nonce the slot's share of the pass starts with. A fault ends the batch with 0; zero rows the
// reference agrees with (a genuine zero nonce) are kept, each pass checking its own first nonce.
// Once the context is released no event is left.
TEST_F(Gpu, FaultsEndTheBatchAndLeaveNothingBehind) {
    // Kernel call 5 is a hashing dispatch of slot 0; 20 is slot 1's first hashing dispatch;
    // read 2 and wait 2 belong to slot 1, read 3 to the second pass, whose kernels are
    // enqueued before the first pass is collected.
    const char* const error = "Received error -5 from OpenCL\n";
    // The probe's failing function and which call of it fails; the slot whose output is all zeros
    // (-1: none) and whether the spot check's reference returns zeros too; what gpu_compute
    // returns; a line in the log; the nonces the spot check recomputes (for every row).
    const std::tuple<const char*, int, int32_t, bool, uint64_t, const char*, std::vector<uint64_t>> cases[] = {
        {"", 0, -1, false, 128, "", {}},          {"read", 1, -1, false, 0, error, {}},
        {"read", 2, -1, false, 0, error, {}},     {"read", 3, -1, false, 0, error, {}},      {"wait", 1, -1, false, 0, error, {}},
        {"wait", 2, -1, false, 0, error, {}},     {"kernel", 5, -1, false, 0, error, {}},
        {"kernel", 20, -1, false, 0, error, {}},  {"callback", 20, -1, false, 0, error, {}},
        {"", 0, 1, false, 0, "Yep it failed!\n", {1032}},
        {"", 0, 0, true, 128, "Nah turns out it's all good. Carrying on...\n", {1000, 1064}},
    };
    for (const auto& [failing, at, zeros, agree, done, logged, recomputed] : cases) {
        SCOPED_TRACE(std::string(failing) + " " + std::to_string(at) + ", zero slot " + std::to_string(zeros));
        gpu_ptr gpu = activate(2, 512);  // 16 dispatches per device and pass
        ASSERT_TRUE(gpu && make_idle(gpu.get(), 0, zeros == 0) && make_idle(gpu.get(), 1, zeros == 1));
        std::vector<uint64_t> asked;
        const bool zero_reference = agree;
        gpu->reference = [&asked, zero_reference](uint64_t account, uint64_t nonce, uint8_t* out) {
            if (asked.empty() || asked.back() != nonce) asked.push_back(nonce);
            if (zero_reference) std::memset(out, 0, PLOT_SIZE);
            else nonce_compute(account, nonce, out, false);
        };
        cl_probe_s probe(failing, at);
        test_batch_s buffer(128, 0xEE);  // two passes of 2 x 32
        testing::internal::CaptureStderr();
        EXPECT_EQ(gpu_compute(gpu.get(), 9, 1000, &buffer.batch, nullptr), done);
        const std::string log = testing::internal::GetCapturedStderr();
        gpu.reset();
        EXPECT_TRUE(test_holds(log, logged));
        EXPECT_EQ(log.find("Received error") != std::string::npos, at != 0) << log;
        EXPECT_EQ(asked, recomputed);
        EXPECT_EQ(cl_probe_s::live.load(), 0) << "events left behind";
        EXPECT_TRUE(!agree || std::count(buffer.storage.begin(), buffer.storage.begin() + 32 * SCOOP_SIZE, 0) ==
                                  32 * SCOOP_SIZE) << "zero rows kept";
    }
}
