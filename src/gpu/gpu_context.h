// The parts of a GPU activation, for the GPU layer's own files and its tests; everyone else
// uses gpu.h.
#pragma once
#include <functional>
#include <string>

#include "gpu/gpu.h"
#include "gpu/opencl.h"

// One activation: up to 8 devices, each with its own context, two queues, buffers and
// kernels. Passes alternate between the two output buffers: while the compute queue runs
// pass k+1 into one, the copy queue reads pass k from the other into pinned host memory.
struct gpu_s {
    int32_t count = 0;                               // activated devices, 1 to 8
    cl_context context[GPU_MAX_SLOTS] = {};          // one context per device
    cl_program program[GPU_MAX_SLOTS] = {};          // kernel program built for that context
    cl_kernel kernel_step1[GPU_MAX_SLOTS] = {};      // nonce_step1
    cl_kernel kernel_step2[GPU_MAX_SLOTS] = {};      // nonce_step2
    cl_kernel kernel_step3[GPU_MAX_SLOTS] = {};      // nonce_step3
    cl_device_id device[GPU_MAX_SLOTS] = {};         // the device of each slot
    int32_t device_id[GPU_MAX_SLOTS] = {};           // GPU index (or list position) logged for it
    cl_command_queue queue[GPU_MAX_SLOTS] = {};      // in-order queue of the kernels
    cl_command_queue copy_queue[GPU_MAX_SLOTS] = {}; // in-order queue of the read-backs
    uint32_t parts[GPU_MAX_SLOTS] = {};              // generation buffers of the slot
    uint64_t part_nonces[GPU_MAX_SLOTS] = {};        // nonces of each but the last
    cl_mem gen_buffer[GPU_MAX_SLOTS][GPU_MAX_PARTS] = {};  // generation areas, word-interleaved
    cl_mem scoop_buffer[GPU_MAX_SLOTS][2] = {};      // nonces x PLOT_SIZE output, scoop-major
    cl_mem host_buffer[GPU_MAX_SLOTS] = {};          // pinned host copy of one output
    uint8_t* host_rows[GPU_MAX_SLOTS] = {};          // host_buffer mapped once at activation
    cl_event step3_event[GPU_MAX_SLOTS][2] = {};     // last nonce_step3 into each output
    cl_event read_event[GPU_MAX_SLOTS][2] = {};      // read-back of each output
    cl_event* step2_events[GPU_MAX_SLOTS][2] = {};   // GPU_MAX_DISPATCHES events per output
    uint64_t nonces = 0;                             // nonces per device and pass; output stagger
    uint32_t hashes_per_dispatch = GPU_DEFAULT_HASHES;  // hashes per nonce_step2 dispatch
    size_t local_size = 32;                          // work-group size of every dispatch
    std::string problem;                             // why it cannot be used; empty while it can
    // Recomputes one nonce in PoC1 order for the spot check; nonce_compute when empty.
    std::function<void(uint64_t account, uint64_t nonce, uint8_t* out)> reference;
};
