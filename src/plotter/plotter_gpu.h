// The plotter's GPU operations bound to the OpenCL layer, and the GPU size the plan logs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "gpu/gpu.h"
#include "nonce/nonce.h"
#include "plotter/plotter_size.h"

// The GPU operations the plotter uses. Filled from the OpenCL layer by plotter_gpu_default();
// tests substitute fakes. Empty callables mean no GPU support.
struct plotter_gpu_api_s {
    std::function<gpu_s*(uint32_t count, const uint32_t* ids, uint64_t nonces)> activate;  // none on failure
    std::function<bool(gpu_s* gpu, double* seconds)> test;                                  // the self-test
    std::function<uint64_t(gpu_s* gpu, uint64_t account, uint64_t first_nonce, batch_buffer_s* batch,
                           const std::atomic<bool>* stop)>
        compute;                                                                             // 0 = failed or stopped
    std::function<void(gpu_s* gpu)> release;                                                // none is ignored
    std::function<uint64_t(gpu_s* gpu)> nonces;                                             // nonces per device per pass
    std::function<uint64_t(uint32_t id)> optimal_nonces;                                    // device's own size, 0 = unknown
    uint64_t forced_nonces = 0;                                                              // size given by the user, 0 = none
    std::function<uint64_t(uint32_t id)> global_mem;                                        // device memory in bytes
    std::function<uint64_t(uint32_t id)> max_alloc;                                         // largest allocation
    std::function<std::string(gpu_s* gpu)> problem;                                         // why a context is unusable
};

// GPU operations bound to the OpenCL layer, dispatching with the given tuning.
plotter_gpu_api_s plotter_gpu_default(const gpu_tuning_s& tuning = gpu_tuning_s());

// Logs GPU id's own nonces per pass and what set them; 0 when it reports nothing usable.
uint64_t plotter_gpu_device_nonces(uint32_t id, const gpu_desc_s& desc, uint64_t forced);

// Logs that the GPUs get fewer nonces per pass than they could take, and why.
void plotter_gpu_log_cut(const sizing_input_s& in, const sizing_s& cfg);
