// Sizing GPU passes: nonces per device from what the device reports, the generation
// buffers they take, and the nonces per device of a plotting run within the host's memory.
#include <algorithm>

#include "gpu/gpu.h"

namespace {

// Device bytes per nonce: its generation area and its row in each of the two output buffers.
constexpr uint64_t DEVICE_BYTES = GEN_SIZE + 2 * PLOT_SIZE;
// Work groups per compute unit aimed for: enough in flight to hide memory latency.
constexpr uint64_t FILL_ROUNDS = 4;

uint64_t cut_group(uint64_t value, uint32_t group) { return group ? value - value % group : value; }

// Takes `value` with its reason when it is below the current choice.
void cap(gpu_size_s* size, uint64_t value, gpu_limit_e limit) {
    if (value < size->nonces) {
        size->nonces = value;
        size->limit = limit;
    }
}

}  // namespace

const char* gpu_limit_name(gpu_limit_e limit) {
    switch (limit) {
    case GPU_LIMIT_MEMORY: return "device memory";
    case GPU_LIMIT_ALLOCATION: return "largest allocation";
    case GPU_LIMIT_FILL: return "compute units";
    case GPU_LIMIT_MODEL: return "known model";
    case GPU_LIMIT_SETTING: return "max_gpu_nonces setting";
    case GPU_LIMIT_OPTION: return "--gpu-nonces";
    case GPU_LIMIT_FALLBACK: return "nothing reported: built-in size";
    }
    return "?";
}

uint32_t gpu_gen_parts(uint64_t nonces, uint64_t max_alloc, uint32_t group, uint64_t* part_nonces) {
    const uint64_t per_group = (uint64_t)std::max<uint32_t>(group, 1) * GEN_SIZE;
    const uint64_t groups_per_part = max_alloc / per_group;
    *part_nonces = 0;
    if (nonces == 0 || groups_per_part == 0) return 0;
    // As few buffers as the allocation limit allows, then the nonces shared out evenly.
    const uint64_t groups = (nonces + std::max<uint32_t>(group, 1) - 1) / std::max<uint32_t>(group, 1);
    const uint64_t parts = (groups + groups_per_part - 1) / groups_per_part;
    if (parts > GPU_MAX_PARTS) return 0;
    *part_nonces = std::min(nonces, (groups + parts - 1) / parts * std::max<uint32_t>(group, 1));
    return (uint32_t)((nonces + *part_nonces - 1) / *part_nonces);
}

gpu_size_s gpu_size_device(const gpu_desc_s& desc, const gpu_overrides_s& overrides) {
    const uint32_t group = std::max<uint32_t>(overrides.group, 1);
    gpu_size_s size;
    if (overrides.forced) {
        size.nonces = overrides.forced;
        size.limit = GPU_LIMIT_OPTION;
    } else if (desc.global_mem_size == 0 || desc.max_alloc_size < PLOT_SIZE) {
        const int32_t model = gpu_model_nonces(desc.name);
        size.nonces = model > 0 ? (uint64_t)model : GPU_FALLBACK_NONCES;
        size.limit = model > 0 ? GPU_LIMIT_MODEL : GPU_LIMIT_FALLBACK;
    } else {
        // An eighth of the memory stays free for the runtime and the kernels' own needs; memory
        // shared with the host leaves the batch buffers and everything else three quarters.
        const uint64_t usable = desc.host_memory ? desc.global_mem_size / 4 : desc.global_mem_size / 8 * 7;
        size.nonces = usable / DEVICE_BYTES;
        size.limit = GPU_LIMIT_MEMORY;
        cap(&size, desc.max_alloc_size / PLOT_SIZE, GPU_LIMIT_ALLOCATION);
        const int32_t model = gpu_model_nonces(desc.name);
        const uint64_t width = std::max<uint64_t>({desc.max_work_group, desc.preferred_multiple, group});
        if (model > 0) cap(&size, (uint64_t)model, GPU_LIMIT_MODEL);
        else if (desc.compute_units) cap(&size, desc.compute_units * width * FILL_ROUNDS, GPU_LIMIT_FILL);
    }
    if (overrides.max_setting && !overrides.forced) cap(&size, overrides.max_setting, GPU_LIMIT_SETTING);
    size.nonces = cut_group(std::min(size.nonces, GPU_MAX_NONCES), group);
    uint64_t part_nonces = 0;
    const uint64_t max_alloc = desc.max_alloc_size ? desc.max_alloc_size : size.nonces * GEN_SIZE;
    size.gen_buffers = gpu_gen_parts(size.nonces, max_alloc, group, &part_nonces);
    return size;
}

uint64_t gpu_plan_nonces(const gpu_sizing_s& sizing) {
    const uint64_t gpus = sizing.gpus ? sizing.gpus : 1;
    const uint64_t buffers = sizing.buffers ? sizing.buffers : 1;
    uint64_t nonces = sizing.memory / gpus / buffers / PLOT_SIZE;
    if (sizing.tuned > 0) {
        // The devices sized themselves; one output buffer must still fit one allocation.
        nonces = std::min({nonces, (uint64_t)sizing.tuned, sizing.min_max_alloc / PLOT_SIZE});
    } else {
        nonces = std::min({nonces, sizing.min_max_alloc / GEN_SIZE, sizing.min_global_mem >> 20, GPU_FALLBACK_NONCES});
    }
    if (sizing.max_setting > 0) nonces = std::min<uint64_t>(nonces, (uint64_t)sizing.max_setting);
    return gpu_cut_nonces(std::min(nonces, GPU_MAX_NONCES), sizing.sector_nonces);
}
