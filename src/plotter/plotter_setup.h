// plotter_setup: turns the planned jobs into a running configuration (sizing, GPU bring-up,
// buffers, the logged run) and starts the work thread.
#pragma once
#include <cstdint>

#include "nonce/cpu.h"
#include "plotter/plotter.h"
#include "plotter/plotter_size.h"

// The settings plotter setup works with; the front ends fill it from their own store.
struct plotter_options_s {
    uint32_t gpu_mask = 0;            // bit i = GPU i computes; 0 = CPU
    uint64_t memory_limit = 0;        // bytes the buffers may take; 0 = automatic
    int32_t max_gpu_nonces = 0;       // GPU nonces per device and pass at most; 0 = no limit
    int32_t cpu_threads = 0;          // CPU plotting threads asked for; 0 = automatic
    cpu_family_e cpu_family = CPU_FAMILY_BEST;  // CPU hash family; BEST = the fastest here
    // Measure the computing and the drives at the start and shape the buffers for the slower
    // (CPU runs only); off, the buffers stay as sizing cut them.
    bool pace = false;
};

// Prepares devices and buffers for the planned jobs and starts the work thread. False when
// the run cannot start (GPU fallback declined, buffers not allocated); the reason is logged,
// nothing of the attempt stays behind and a later call may try again.
bool plotter_setup(plotter_s* plotter, const plotter_options_s& options, uint32_t ssd_count, uint32_t target_count);

// Logs the task count and the mode with its batch size, as sizing decided them;
// cpu_threads is the number asked for (0 = automatic).
void plotter_log_setup(const sizing_s& sizing, int32_t cpu_threads);

// Logs the run as set up: memory used, every job with where it is written, and where
// another instance could start.
void plotter_log_run(plotter_s* plotter, const sizing_s& sizing);
