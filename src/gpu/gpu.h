// GPU plotting through OpenCL: device discovery, activation, batch computation,
// self-test and the spot check of suspicious output.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "nonce/nonce.h"

constexpr int32_t GPU_MAX_SLOTS = 8;          // devices in one activation
constexpr uint32_t GPU_MAX_DISPATCHES = 8192;  // nonce_step2 dispatches per device and pass
constexpr uint32_t GPU_DEFAULT_HASHES = 8;     // hashes per nonce_step2 dispatch unless set
// Nonces per device and pass at most: far beyond any device's memory, and within the 32-bit
// stagger argument of nonce_step3.
constexpr uint64_t GPU_MAX_NONCES = 1ull << 24;
constexpr uint32_t GPU_MAX_PARTS = 64;  // generation buffers per device

// An activation of up to GPU_MAX_SLOTS devices (its parts: gpu/gpu_context.h).
struct gpu_s;

// What a device reports that sizes its passes; 0 where it reports nothing.
struct gpu_desc_s {
    char name[64] = {};               // CL_DEVICE_NAME, cut to 63 characters
    uint64_t global_mem_size = 0;     // CL_DEVICE_GLOBAL_MEM_SIZE, bytes
    uint64_t max_alloc_size = 0;      // CL_DEVICE_MAX_MEM_ALLOC_SIZE, bytes
    uint32_t compute_units = 0;       // CL_DEVICE_MAX_COMPUTE_UNITS
    uint64_t max_work_group = 0;      // CL_DEVICE_MAX_WORK_GROUP_SIZE
    uint32_t preferred_multiple = 0;  // warp or wavefront width where the vendor reports one
    bool host_memory = false;         // CL_DEVICE_HOST_UNIFIED_MEMORY: its memory is the host's
};

// Every OpenCL device of every platform (any type), for the command line.
struct gpu_listed_s {
    int32_t platform = 0;           // platform index
    int32_t index = 0;              // device index within the platform
    uint64_t type = 0;              // CL_DEVICE_TYPE bits
    char platform_name[64] = {};    // CL_PLATFORM_NAME
    gpu_desc_s desc;                // what the device reports
};

// A device named by platform and device index ("P:D").
struct gpu_pd_s {
    int32_t platform = 0;  // platform index
    int32_t device = 0;    // device index within the platform
};

// Lists every platform and device into the log and records up to max_gpus GPUs as the
// GPU indices of gpu_activate (replacing those recorded before) and their names into
// names; returns the count.
int32_t gpu_enumerate(int32_t max_gpus, uint64_t name_length, char (*names)[64]);

// What the dispatch takes from the settings, given by the caller.
struct gpu_tuning_s {
    int32_t hashes_per_dispatch = 0;  // nonce_step2 hashes per dispatch; outside 1..8192 = built-in 8
    int32_t threads_per_group = 0;    // work-group size; 0 or less = 32
    uint64_t max_alloc = 0;           // largest single allocation used; 0 = what the device reports
};

// Activates the given GPUs for `nonces` per device and pass. None only for 0 nonces (or a
// bad count); a returned context may be incomplete, so it must pass gpu_test first.
gpu_s* gpu_activate(int32_t count, const uint32_t* gpu_ids, uint64_t nonces, const gpu_tuning_s& tuning);
void gpu_release(gpu_s* gpu);

int32_t gpu_optimal_nonces(uint32_t gpu_index);
// What recorded GPU gpu_index reports; an empty description for an unknown index.
gpu_desc_s gpu_describe(uint32_t gpu_index);
int32_t gpu_model_nonces(const char* name);
uint64_t gpu_max_alloc(uint32_t gpu_index);
uint64_t gpu_global_mem(uint32_t gpu_index);
uint64_t gpu_nonces(const gpu_s* gpu);

std::vector<gpu_listed_s> gpu_list_all();
// The listed device named by pd; none when the list has no such device.
const gpu_listed_s* gpu_find_pd(const std::vector<gpu_listed_s>& all, const gpu_pd_s& pd);
const char* gpu_type_name(uint64_t type);
bool gpu_parse_pd(const char* text, gpu_pd_s* out);

// Activates an explicit list of devices of any type ("P:D"); none when a device does
// not exist, the list is empty or longer than 8, or nonces is 0.
gpu_s* gpu_activate_pd(const std::vector<gpu_pd_s>& list, uint64_t nonces, const gpu_tuning_s& tuning);

// A GPU nonce count cut to whole work groups of 32 and, when group is not 0, to a whole
// number of sector groups.
inline uint64_t gpu_cut_nonces(uint64_t value, uint64_t group) { return nonce_cut_to(value & ~uint64_t(31), group); }

// What decided a device's nonces per pass.
enum gpu_limit_e : uint32_t {
    GPU_LIMIT_MEMORY,      // the device's global memory, less a margin
    GPU_LIMIT_ALLOCATION,  // the largest single allocation (one output buffer)
    GPU_LIMIT_FILL,        // enough work groups to fill every compute unit several times
    GPU_LIMIT_MODEL,       // the known-model table
    GPU_LIMIT_SETTING,     // the max_gpu_nonces setting
    GPU_LIMIT_OPTION,      // given by the user (--gpu-nonces)
    GPU_LIMIT_FALLBACK,    // the device reports nothing usable: the built-in size
};
const char* gpu_limit_name(gpu_limit_e limit);

// What overrides a device's own figures.
struct gpu_overrides_s {
    uint64_t forced = 0;       // nonces per pass given by the user; 0 = none
    uint64_t max_setting = 0;  // the max_gpu_nonces setting; 0 = no limit
    uint32_t group = 32;       // nonces per pass are whole multiples of this
};

// A device's nonces per pass, what decided them, and the generation buffers they take.
struct gpu_size_s {
    uint64_t nonces = 0;
    gpu_limit_e limit = GPU_LIMIT_FALLBACK;
    uint32_t gen_buffers = 0;  // generation buffers, each within the largest allocation
};

// The built-in nonces per pass for a device that reports nothing usable.
constexpr uint64_t GPU_FALLBACK_NONCES = 2048;

// Nonces per pass for one device from what it reports: its memory (less a margin, or only a
// quarter of it when it is the host's own memory, which the batch buffers need too) holds
// the generation area and two output buffers per nonce, one output buffer fits one allocation,
// and enough work groups fill every compute unit; the known-model table, the setting and
// the user's count override these.
gpu_size_s gpu_size_device(const gpu_desc_s& desc, const gpu_overrides_s& overrides);

// Generation buffers for `nonces` when one allocation holds at most max_alloc bytes, and
// the nonces of each (the last may hold fewer), each a multiple of group.
uint32_t gpu_gen_parts(uint64_t nonces, uint64_t max_alloc, uint32_t group, uint64_t* part_nonces);

// Inputs of the per-device nonce count chosen for a plotting run.
struct gpu_sizing_s {
    uint64_t memory = 0;          // memory budget: min(limit or RAM, 3/4 of RAM), bytes
    uint32_t gpus = 1;            // devices used
    uint32_t buffers = 2;         // batch buffers (two per task)
    uint64_t min_max_alloc = 0;   // smallest CL_DEVICE_MAX_MEM_ALLOC_SIZE of the devices
    uint64_t min_global_mem = 0;  // smallest CL_DEVICE_GLOBAL_MEM_SIZE of the devices
    int32_t tuned = 0;            // the devices' own size (gpu_size_device), 0 = none reported
    int32_t max_setting = 0;      // the max_gpu_nonces setting, 0 = no limit
    uint64_t sector_nonces = 8;   // sector size / 64
};

// Nonces per device and pass for a run: the devices' own size within the host memory budget
// and one output buffer per allocation; without one, what fits memory and the devices'
// limits capped at GPU_FALLBACK_NONCES. Then the user's limit and gpu_cut_nonces.
uint64_t gpu_plan_nonces(const gpu_sizing_s& sizing);

// Computes capacity nonces from start_nonce into batch on every device of gpu; returns
// the batch's progress (its capacity) or 0 on a stop, an OpenCL error or bad output.
uint64_t gpu_compute(gpu_s* gpu, uint64_t account_id, uint64_t start_nonce, batch_buffer_s* batch,
                     const std::atomic<bool>* stop);

// Runs one whole pass on every slot at the activated size and times it; true when every
// kernel ran without error. progress, when given, counts the pass's nonces done so far.
bool gpu_test(gpu_s* gpu, double* seconds, std::atomic<uint64_t>* progress = nullptr);

// Why gpu cannot be used, in words naming the device and the runtime's error: what stopped
// its activation, or what failed its self-test. Empty while nothing has gone wrong.
std::string gpu_problem(const gpu_s* gpu);
