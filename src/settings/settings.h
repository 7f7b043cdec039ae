// The process-wide settings values with their start values; the screens change them, the
// front ends read them and hand the engine what it needs, the preferences file loads and
// saves them.
#pragma once
#include <cstdint>

// Every setting as one value, with the start values.
struct settings_s {
    uint64_t account_id = 0;                   // account plots are made for; 0 = none chosen yet
    bool auto_start_nonce = true;              // choose start nonces per drive automatically
    uint32_t gpu_mask = 0;                     // bit i = GPU i computes; 0 = CPU only
    uint64_t max_ram_bytes = 0;                // memory the plotter may use; 0 = automatic
    uint64_t max_file_bytes = 1000000000000ull;  // largest plot file to create
    uint64_t max_fill_bytes = 0;               // amount of each target drive to fill; 0 = all free space
    bool dont_adjust_gpu_dog = false;          // kept and written back; no effect on Linux
    int32_t hash_per_dispatch = 32;            // hashes per nonce_step2 dispatch; 0 = built-in 8
    int32_t threads_per_group = 32;            // OpenCL work-group size; 0 = 32
    int32_t cpu_threads = 0;                   // CPU plotting threads; 0 (or negative) = automatic
    int32_t max_gpu_nonces = 0;                // GPU nonces per device and pass at most; 0 = no limit
    bool use_poc2_format = false;              // new files in PoC2 order with three-number names
    bool ssd_scatter = false;                  // handed to the plotter at start-up
};

// The front ends' store: one variable per setting (meanings as in settings_s).
extern uint64_t account_id;
extern bool auto_start_nonce;
extern uint32_t gpu_mask;
extern uint64_t max_ram_bytes;
extern uint64_t max_file_bytes;
extern uint64_t max_fill_bytes;
extern bool dont_adjust_gpu_dog;
extern int32_t hash_per_dispatch;
extern int32_t threads_per_group;
extern int32_t cpu_threads;
extern int32_t max_gpu_nonces;
extern bool use_poc2_format;
extern bool ssd_scatter;

// The process-wide values packed into one record.
settings_s settings_get();
// Stores every value of a record into the process-wide values.
void settings_set(const settings_s& values);
// Puts every value back to its start value (used by tests).
void settings_reset();
