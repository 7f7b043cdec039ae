// The plotter's GPU operations bound to the OpenCL layer, and the GPU size the plan logs.
#include "plotter/plotter_gpu.h"

#include <algorithm>

#include "platform/sys.h"

uint64_t plotter_gpu_device_nonces(uint32_t id, const gpu_desc_s& desc, uint64_t forced) {
    gpu_overrides_s overrides;
    overrides.forced = forced;
    const gpu_size_s size = gpu_size_device(desc, overrides);
    if (size.limit == GPU_LIMIT_MODEL) sys_log("Recognized device and using optimal settings!\n");
    sys_log("  GPU %u: %llu nonces per pass, set by %s\n", (unsigned)id, (unsigned long long)size.nonces,
            gpu_limit_name(size.limit));
    // Without usable figures the plan's own rule sizes the pass.
    return size.limit == GPU_LIMIT_FALLBACK ? 0 : size.nonces;
}

void plotter_gpu_log_cut(const sizing_input_s& in, const sizing_s& cfg) {
    if (!in.gpu_count || !in.gpu_tuned_nonces || cfg.gpu_nonces >= in.gpu_tuned_nonces) return;
    const uint64_t memory = std::min(in.memory_limit ? in.memory_limit : in.total_ram, in.total_ram / 4 * 3);
    const uint64_t host = memory / in.gpu_count / cfg.buffers / PLOT_SIZE;
    const char* reason = host < in.gpu_tuned_nonces ? "host memory" : "the file size or the settings";
    sys_log("  %s cuts the GPU size from %llu to %llu nonces per device\n", reason,
            (unsigned long long)in.gpu_tuned_nonces, (unsigned long long)cfg.gpu_nonces);
}

plotter_gpu_api_s plotter_gpu_default(const gpu_tuning_s& tuning) {
    plotter_gpu_api_s api;
    api.activate = [tuning](uint32_t count, const uint32_t* ids, uint64_t nonces) {
        return gpu_activate((int32_t)count, ids, nonces, tuning);
    };
    api.test = [](gpu_s* gpu, double* seconds) { return gpu_test(gpu, seconds); };
    api.compute = [](gpu_s* gpu, uint64_t account, uint64_t first, batch_buffer_s* batch,
                     const std::atomic<bool>* stop) { return gpu_compute(gpu, account, first, batch, stop); };
    api.release = [](gpu_s* gpu) { gpu_release(gpu); };
    api.nonces = [](gpu_s* gpu) { return gpu_nonces(gpu); };
    api.optimal_nonces = [](uint32_t id) { return plotter_gpu_device_nonces(id, gpu_describe(id), 0); };
    api.global_mem = [](uint32_t id) { return gpu_global_mem(id); };
    api.max_alloc = [](uint32_t id) { return gpu_max_alloc(id); };
    api.problem = [](gpu_s* gpu) { return gpu_problem(gpu); };
    return api;
}
