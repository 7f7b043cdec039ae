// Memory and batch sizing as pure arithmetic: how many jobs run at once, the mode, the
// batch size and the GPU nonce count, from the machine and the planned jobs.
#pragma once
#include <cstdint>

enum plotter_mode_e : uint32_t {
    PLOTTER_CPU_DIRECT = 0,  // CPU computes, files written on their targets
    PLOTTER_CPU_SSD = 1,     // CPU computes, files staged on SSDs
    PLOTTER_GPU_DIRECT = 2,  // GPUs compute, files written on their targets
    PLOTTER_GPU_SSD = 3,     // GPUs compute, files staged on SSDs
};

// What sizing works from: the machine and the plan, before anything is allocated.
struct sizing_input_s {
    uint32_t ssd_count = 0;           // staging drives
    uint32_t target_count = 0;        // target drives
    uint64_t total_ram = 0;           // physical memory in bytes
    uint64_t memory_limit = 0;        // user's limit in bytes; 0 = none
    uint64_t sector_size = 512;       // largest sector size of the jobs' writing drives
    uint32_t gpu_count = 0;           // GPUs used; 0 = CPU
    uint64_t gpu_global_mem = 0;      // smallest device memory of the GPUs used
    uint64_t gpu_max_alloc = 0;       // smallest largest-allocation of the GPUs used
    uint64_t gpu_tuned_nonces = 0;    // smallest own size of the GPUs used (model or reported); 0 = none
    bool gpu_forced = false;          // the user gave the GPU size: no cut to a quarter of the largest file
    uint64_t max_gpu_nonces = 0;      // the max_gpu_nonces setting; 0 = no limit
    uint64_t largest_job = 0;         // nonces of the largest planned file; 0 = unknown
};

// What sizing decided.
struct sizing_s {
    bool concurrent = false;          // several jobs may be in flight
    uint32_t tasks = 1;               // jobs at once
    plotter_mode_e mode = PLOTTER_CPU_DIRECT;  // processors and staging
    uint32_t buffers = 2;             // batch buffers, two per task (a paced run cuts its own)
    uint64_t sector_nonces = 8;       // batch sizes are multiples of this
    uint64_t batch = 0;               // nonces per batch buffer
    uint64_t gpu_nonces = 0;          // nonces per GPU per pass (G)
    bool batch_raised = false;        // memory allowed less than one sector group; raised to one
    uint64_t budget_nonces = 0;       // nonces the memory budget holds (CPU modes), in sector groups
};

// GPU passes of fewer nonces per device are never attempted: too few to be worth a context.
constexpr uint64_t PLOTTER_GPU_MIN_NONCES = 65;

// The fewest nonces per device and pass that set-up attempts: PLOTTER_GPU_MIN_NONCES rounded
// up to whole work groups of 32 and whole sector groups.
uint64_t plotter_gpu_least_nonces(uint64_t sector_nonces);

// The batch and task rules.
sizing_s plotter_size(const sizing_input_s& input);

// Every file is computed and written in at least this many batches, so the writing of
// one batch overlaps the computing of the next from the first batch on and only the
// last, short write is left over when the computing ends.
constexpr uint64_t PLOTTER_MIN_BATCHES = 4;

// Nonces per CPU batch of a file: its share of PLOTTER_MIN_BATCHES rounded up to whole
// sector groups, at most `capacity` (the buffer size the memory allows).
uint64_t plotter_file_batch(uint64_t file_nonces, uint64_t capacity, uint64_t sector_nonces);

// Nonces per batch of a file when the drives set the pace: as few batches as `capacity`
// allows, all of about the same size in whole sector groups, so that no short last batch
// costs a drive its 4096 requests for little data.
uint64_t plotter_even_batch(uint64_t file_nonces, uint64_t capacity, uint64_t sector_nonces);

// The GPU direct rule when the batch or G has changed: the batch is cut to a whole
// multiple of GPU count x G (at least one such group).
uint64_t plotter_gpu_batch_fit(uint64_t batch, uint32_t gpu_count, uint64_t gpu_nonces);
