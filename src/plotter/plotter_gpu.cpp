// The plotter's GPU operations bound to the OpenCL layer.
#include <algorithm>

#include "gpu/gpu.h"
#include "plotter/plotter_gpu.h"

plotter_gpu_api_s plotter_gpu_default() {
    plotter_gpu_api_s api;
    api.activate = [](uint32_t count, const uint32_t* ids, uint64_t nonces) {
        return gpu_activate((int32_t)count, ids, nonces);
    };
    api.test = [](gpu_s* gpu, double* seconds) { return gpu_test(gpu, seconds); };
    api.compute = [](gpu_s* gpu, uint64_t account, uint64_t first, batch_buffer_s* batch,
                     const std::atomic<bool>* stop) { return gpu_compute(gpu, account, first, batch, stop); };
    api.release = [](gpu_s* gpu) { gpu_release(gpu); };
    api.nonces = [](gpu_s* gpu) { return gpu_nonces(gpu); };
    api.optimal_nonces = [](uint32_t id) { return (uint64_t)std::max(gpu_optimal_nonces(id), 0); };
    api.global_mem = [](uint32_t id) { return gpu_global_mem(id); };
    api.max_alloc = [](uint32_t id) { return gpu_max_alloc(id); };
    return api;
}
