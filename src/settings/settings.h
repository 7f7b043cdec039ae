// The process-wide settings values with their start values; the screens change them,
// the engine reads them, the preferences file loads and saves them.
#pragma once
#include <cstdint>

extern uint64_t account_id;          // account plots are made for; 0 = none chosen yet
extern bool auto_start_nonce;        // choose start nonces per drive automatically
extern uint32_t gpu_mask;            // bit i = GPU i computes; 0 = CPU only
extern uint64_t max_ram_bytes;       // memory the plotter may use; 0 = automatic
extern uint64_t max_file_bytes;      // largest plot file to create
extern uint64_t max_fill_bytes;      // amount of each target drive to fill; 0 = all free space
extern bool dont_adjust_gpu_dog;     // kept and written back; no effect on Linux
extern int32_t hash_per_dispatch;    // hashes per nonce_step2 dispatch; 0 = built-in 8
extern int32_t threads_per_group;    // OpenCL work-group size; 0 = 32
extern int32_t cpu_threads;          // CPU plotting threads; 0 (or negative) = automatic
extern int32_t max_gpu_nonces;       // GPU nonces per device and pass at most; 0 = no limit
extern bool use_poc2_format;         // new files in PoC2 order with three-number names
extern bool ssd_scatter;             // handed to the plotter at start-up

// Puts every value back to its start value (used by tests and the CLI).
void settings_reset();
