// GPU plotting through OpenCL: device discovery, activation, batch computation,
// self-test and the spot check of suspicious output.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include "nonce/nonce.h"

constexpr int32_t GPU_MAX_SLOTS = 8;          // devices in one activation
constexpr uint32_t GPU_MAX_DISPATCHES = 8192;  // nonce_step2 dispatches per device and pass
constexpr uint32_t GPU_DEFAULT_HASHES = 8;     // hashes per nonce_step2 dispatch unless set
// Nonces per device and pass at most: the kernels compute byte offsets in 32-bit arithmetic,
// so nonces x GEN_SIZE must stay below 2^32 (16383), and passes run whole work groups of 32.
constexpr uint64_t GPU_MAX_NONCES = 16352;

// An activation of up to GPU_MAX_SLOTS devices (its parts: gpu/gpu_context.h).
struct gpu_s;

// Every OpenCL device of every platform (any type), for the command line.
struct gpu_listed_s {
    int32_t platform = 0;           // platform index
    int32_t index = 0;              // device index within the platform
    uint64_t type = 0;              // CL_DEVICE_TYPE bits
    char platform_name[64] = {};    // CL_PLATFORM_NAME
    char name[64] = {};             // CL_DEVICE_NAME, cut to 63 characters
    uint64_t global_mem_size = 0;   // CL_DEVICE_GLOBAL_MEM_SIZE, bytes
    uint64_t max_alloc_size = 0;    // CL_DEVICE_MAX_MEM_ALLOC_SIZE, bytes
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

// Activates the given GPUs for `nonces` per device and pass. None only for 0 nonces (or a
// bad count); a returned context may be incomplete, so it must pass gpu_test first.
gpu_s* gpu_activate(int32_t count, const uint32_t* gpu_ids, uint64_t nonces);
void gpu_release(gpu_s* gpu);

int32_t gpu_optimal_nonces(uint32_t gpu_index);
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
gpu_s* gpu_activate_pd(const std::vector<gpu_pd_s>& list, uint64_t nonces);

// A GPU nonce count cut to whole work groups of 32 and, when group is not 0, to a whole
// number of sector groups.
inline uint64_t gpu_cut_nonces(uint64_t value, uint64_t group) { return nonce_cut_to(value & ~uint64_t(31), group); }

// Inputs of the per-device nonce count chosen for a plotting run.
struct gpu_sizing_s {
    uint64_t memory = 0;          // memory budget: min(limit or RAM, 3/4 of RAM), bytes
    uint32_t gpus = 1;            // devices used
    uint32_t buffers = 2;         // batch buffers (two per task)
    uint64_t min_max_alloc = 0;   // smallest CL_DEVICE_MAX_MEM_ALLOC_SIZE of the devices
    uint64_t min_global_mem = 0;  // smallest CL_DEVICE_GLOBAL_MEM_SIZE of the devices
    int32_t tuned = 0;            // known-model count, 0 = none
    int32_t max_setting = 0;      // the max_gpu_nonces setting, 0 = no limit
    uint64_t sector_nonces = 8;   // sector size / 64
};

// Nonces per device and pass: what fits memory and the devices' limits, capped at the tuned
// count or 2048, the user's limit and GPU_MAX_NONCES, then cut by gpu_cut_nonces.
uint64_t gpu_plan_nonces(const gpu_sizing_s& sizing);

// Computes capacity nonces from start_nonce into batch on every device of gpu; returns
// the batch's progress (its capacity) or 0 on a stop, an OpenCL error or bad output.
uint64_t gpu_compute(gpu_s* gpu, uint64_t account_id, uint64_t start_nonce, batch_buffer_s* batch,
                     const std::atomic<bool>* stop);

// Runs the three kernels once on slot 0 and times them; true when all ran without error.
bool gpu_test(gpu_s* gpu, double* seconds);
