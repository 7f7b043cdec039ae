// The plotting engine's record: jobs, batch buffers, GPU context, flags shared with the work
// thread, and plotter_setup, which turns a plan into a running configuration.
//
// DESIGN: one plotter_s lives for the whole process. The UI (or CLI) thread plans jobs into it,
// calls plotter_setup once, then only reads counters, toggles pause and stops it. The work
// thread (plotter_work.cpp) owns the run; `lock` guards the job list, the free buffers and
// the drive reservations and is never held while computing or doing I/O. `stop`, `paused`
// and `keep_files` are atomics polled without the lock.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nonce/nonce.h"
#include "plotter/drive.h"
#include "plotter/job.h"
#include "plotter/plan.h"

struct gpu_s;

// The GPU operations the plotter uses. Filled from the OpenCL layer by plotter_gpu_default();
// tests substitute fakes. Empty callables mean no GPU support.
struct plotter_gpu_api_s {
    std::function<gpu_s*(uint32_t count, const uint32_t* ids, uint64_t nonces)> activate;  // none on failure
    std::function<bool(gpu_s* gpu, double* seconds)> test;                                  // the self-test
    std::function<uint64_t(gpu_s* gpu, uint64_t account, uint64_t first_nonce, batch_buffer_s* batch,
                           const std::atomic<bool>* stop)>
        compute;                                                                             // 0 = failed or stopped
    std::function<void(gpu_s* gpu)> release;                                                // none is ignored
    std::function<uint64_t(gpu_s* gpu)> nonces;                                             // nonces per device per pass
    std::function<uint64_t(uint32_t id)> optimal_nonces;                                    // tuned count, 0 = unknown
    std::function<uint64_t(uint32_t id)> global_mem;                                        // device memory in bytes
    std::function<uint64_t(uint32_t id)> max_alloc;                                         // largest allocation
};

// Asks the user a yes/no question; the GUI shows a dialog, the CLI answers from its options.
using plotter_asker = std::function<bool(const char* title, const char* text)>;

enum plotter_mode_e : uint32_t {
    PLOTTER_CPU_DIRECT = 0,  // CPU computes, files written on their targets
    PLOTTER_CPU_SSD = 1,     // CPU computes, files staged on SSDs
    PLOTTER_GPU_DIRECT = 2,  // GPUs compute, files written on their targets
    PLOTTER_GPU_SSD = 3,     // GPUs compute, files staged on SSDs
};

// What setup decides from the machine and the plan, before anything is allocated.
struct setup_input_s {
    uint32_t ssd_count = 0;           // staging drives
    uint32_t target_count = 0;        // target drives
    uint64_t total_ram = 0;           // physical memory in bytes
    uint64_t memory_limit = 0;        // user's limit in bytes; 0 = none
    uint64_t sector_size = 512;       // largest sector size of the jobs' writing drives
    uint32_t gpu_count = 0;           // GPUs used; 0 = CPU
    uint64_t gpu_global_mem = 0;      // smallest device memory of the GPUs used
    uint64_t gpu_max_alloc = 0;       // smallest largest-allocation of the GPUs used
    uint64_t gpu_tuned_nonces = 0;    // known good nonce count of the first recognised GPU; 0 = none
    uint64_t max_gpu_nonces = 0;      // the max_gpu_nonces setting; 0 = no limit
    uint64_t largest_job = 0;         // nonces of the largest planned file; 0 = unknown
};

struct setup_config_s {
    bool concurrent = false;          // several jobs may be in flight
    uint32_t tasks = 1;               // jobs at once
    plotter_mode_e mode = PLOTTER_CPU_DIRECT;  // processors and staging
    uint32_t buffers = 2;             // batch buffers, two per task
    uint64_t sector_nonces = 8;       // batch sizes are multiples of this
    uint64_t batch = 0;               // nonces per batch buffer
    uint64_t gpu_nonces = 0;          // nonces per GPU per pass (G)
    bool batch_raised = false;        // memory allowed less than one sector group; raised to one
};

// The batch and task rules, as pure arithmetic.
setup_config_s plotter_plan_setup(const setup_input_s& input);

// The GPU direct rule when the batch or G has changed: the batch is cut to a whole
// multiple of GPU count x G (at least one such group).
uint64_t plotter_gpu_batch_fit(uint64_t batch, uint32_t gpu_count, uint64_t gpu_nonces);

struct plotter_s;

// Logs the task count and the mode with its batch size, as setup decided them.
void plotter_log_setup(const setup_config_s& cfg);

// Logs the plotting plan: memory used, every job with where it is written, and where
// another instance could start.
void plotter_log_plan(plotter_s* plotter, const setup_config_s& cfg);

struct plotter_s {
    gpu_s* gpu_ctx = nullptr;                 // active GPU context; none in CPU mode
    uint64_t buffer_nonces = 0;               // capacity of every batch buffer
    bool finished = false;                    // set on the UI thread when every job completed
    std::function<void()> on_finished;        // completion notice, run on the UI thread
    std::mutex lock;                          // guards jobs, free_buffers, drive reservations
    std::vector<job_s*> jobs;                 // files to produce, in plan order (owned)
    std::vector<batch_buffer_s*> free_buffers;  // buffers not attached to a job (owned)
    std::vector<batch_buffer_s*> all_buffers;   // every buffer allocated, for freeing
    std::atomic<bool> stop{false};            // request to end plotting
    std::thread thread;                       // the work thread
    std::atomic<bool> paused{false};          // the work thread only sleeps while set
    std::atomic<bool> keep_files{false};      // unfinished files survive a stop
    bool ssd_scatter = false;                 // kept for the settings file; unused by the engine
    uint32_t gpu_mask = 0;                    // bit i = GPU i used; 0 = CPU
    uint32_t gpus_used = 0;                   // number of GPUs used
    uint32_t gpu_ids[8] = {};                 // indices of the GPUs used, ascending
    bool concurrent = false;                  // several jobs may be in flight
    uint32_t tasks = 1;                       // jobs that may run at once
    plotter_mode_e mode = PLOTTER_CPU_DIRECT; // chosen by setup
    plotter_gpu_api_s gpu;                    // GPU operations (fakes in tests)
    plotter_asker ask;                        // yes/no questions; none = answer no
    std::atomic<bool> stuck{false};           // the run ended because a job could never start
    std::atomic<bool> failed{false};          // the run ended on an error (file creation)
    std::atomic<uint32_t> moves_running{0};   // move tasks in flight
    std::atomic<bool> ended{false};           // the work thread has finished its run
    uint32_t gpu_failures = 0;                // GPU batches failed since the last good one (work thread)
};

plotter_s* plotter_create();
void plotter_destroy(plotter_s* plotter);
void plotter_set_on_finished(plotter_s* plotter, std::function<void()> on_finished);
void plotter_set_ssd_scatter(plotter_s* plotter, bool flag);
void plotter_set_asker(plotter_s* plotter, plotter_asker ask);
void plotter_set_gpu_api(plotter_s* plotter, plotter_gpu_api_s api);
void plotter_add_job(plotter_s* plotter, job_s* job);
void plotter_clear_jobs(plotter_s* plotter);
uint64_t plotter_job_count(plotter_s* plotter);
void plotter_for_each_job(plotter_s* plotter, const std::function<bool(job_s*)>& callback);
bool plotter_running(plotter_s* plotter);
bool plotter_finished(plotter_s* plotter);
bool plotter_paused(plotter_s* plotter);
gpu_s* plotter_gpu(plotter_s* plotter);
void plotter_toggle_pause(plotter_s* plotter);
void plotter_stop(plotter_s* plotter, bool keep_files);
// Waits for the work thread to end on its own (every job done, or the run failed).
void plotter_wait(plotter_s* plotter);

// Prepares devices and buffers for the planned jobs and starts the work thread. False when
// the run cannot start (GPU fallback declined, buffers not allocated); the reason is logged.
bool plotter_setup(plotter_s* plotter, uint32_t gpu_mask, uint32_t ssd_count, uint32_t target_count,
                   uint64_t memory_limit);

// Rebuilds the plotter's jobs from a plan (the planner's result for input).
plan_result_s drive_plan(plotter_s* plotter, plots_s* plots, const plan_input_s& input);

// GPU operations bound to the OpenCL layer.
plotter_gpu_api_s plotter_gpu_default();

// Work thread (plotter_work.cpp).
void thread_proc(plotter_s* plotter);
void write_batch(plotter_s* plotter, job_s* job, uint64_t first, uint64_t count, const std::atomic<bool>* stop);
void job_move(plotter_s* plotter, job_s* job, const std::atomic<bool>* stop);

// Jobs (job.cpp).
job_s* job_create(drive_s* write_drive, drive_s* final_drive, uint64_t account_id, uint64_t start_nonce,
                  uint64_t nonce_count);
void job_destroy(job_s* job);
// The job's file: location 0 on the drive it is written on, 1 on its final drive; no suffix.
std::string job_path(const job_s* job, int location);
// The same into a fixed buffer; false (buffer emptied) when it does not fit, never cut.
bool job_path(const job_s* job, uint64_t capacity, char* buffer, int location);
