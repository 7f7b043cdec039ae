// Shared helpers of the OpenCL tests: the first OpenCL device (PoCL's CPU device here
// and in CI), faulty replacement kernels, and comparison with the scalar reference.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gpu/gpu_context.h"
#include "nonce/nonce.h"
#include "settings/settings.h"
#include "test_support.h"

// Skips the test when no OpenCL device exists; otherwise the first listed device.
#define GPU_REQUIRE_DEVICE(pd)                                                            \
    gpu_pd_s pd;                                                                          \
    do {                                                                                  \
        const auto listed_devices = gpu_list_all();                                       \
        if (listed_devices.empty()) GTEST_SKIP() << "no OpenCL device present (install PoCL)"; \
        pd.platform = listed_devices[0].platform;                                         \
        pd.device = listed_devices[0].index;                                              \
    } while (0)

// Builds kernel `name` from `source` on slot d's context and puts it in `*slot` in place of
// the kernel there, so that a device can be made to produce wrong output, or quickly none.
inline bool gpu_replace_kernel(gpu_s* gpu, int32_t d, cl_kernel* slot, const char* name, const std::string& source) {
    const char* text = source.c_str();
    const size_t length = source.size();
    cl_int status = CL_SUCCESS;
    cl_program program = opencl_api.clCreateProgramWithSource(gpu->context[d], 1, &text, &length, &status);
    if (status != CL_SUCCESS) return false;
    cl_kernel kernel = nullptr;
    if (opencl_api.clBuildProgram(program, 0, nullptr, "", nullptr, nullptr) == CL_SUCCESS)
        kernel = opencl_api.clCreateKernel(program, name, &status);
    opencl_api.clReleaseProgram(program);  // the kernel keeps it alive
    if (!kernel) return false;
    opencl_api.clReleaseKernel(*slot);
    *slot = kernel;
    return true;
}

// Slot d's nonce_step3 with the same arguments and the given body.
inline bool gpu_replace_step3(gpu_s* gpu, int32_t d, const std::string& body) {
    return gpu_replace_kernel(gpu, d, &gpu->kernel_step3[d], "nonce_step3",
                              "__kernel void nonce_step3(uint p_staggerSize, __global uchar* p_gen, "
                              "__global uchar* p_scoops) {\n    const uint id = (uint)get_global_id(0);\n" +
                                  body + "\n}\n");
}

// Slot d's nonce_step2 hashing nothing, so that a pass is quick when its results do not matter.
inline bool gpu_make_step2_idle(gpu_s* gpu, int32_t d) {
    return gpu_replace_kernel(gpu, d, &gpu->kernel_step2[d], "nonce_step2",
                              "__kernel void nonce_step2(ulong p_startNonce, __global uchar* p_gen, "
                              "uint p_hashesOffset, uint p_hashesNumber) {}\n");
}

// Expects batch index `index` to hold nonce `nonce` of `account` (PoC1, every scoop).
inline void expect_batch_nonce(const batch_buffer_s& batch, uint64_t index, uint64_t account, uint64_t nonce) {
    EXPECT_TRUE(test_rows_hold(batch.data, batch.capacity, index, account, nonce)) << "batch index " << index;
}

// Records the nonces the spot check recomputes and answers with `make`.
inline void gpu_record_reference(gpu_s* gpu, std::vector<uint64_t>* recomputed,
                                 void (*make)(uint64_t account, uint64_t nonce, uint8_t* out)) {
    gpu->reference = [recomputed, make](uint64_t account, uint64_t nonce, uint8_t* out) {
        recomputed->push_back(nonce);
        make(account, nonce, out);
    };
}

// Resets the settings the GPU code reads when a test ends.
struct settings_guard_s {
    ~settings_guard_s() { settings_reset(); }
};
