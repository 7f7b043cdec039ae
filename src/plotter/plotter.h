// The plotting engine's record: jobs, batch buffers, GPU context, flags shared with the work
// thread, and its small operations.
//
// DESIGN: a front end keeps one plotter_s for as long as it plots (a benchmark may make
// another). The UI (or CLI) thread plans jobs into it, calls plotter_setup (plotter_setup.h)
// once per run, then only reads counters, toggles pause and stops it. The work thread
// (plotter_work.cpp) owns the run; `run.lock` guards the job list, the free buffers
// and the drive reservations and is never held while computing or doing I/O. The run's
// flags are atomics polled without the lock.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nonce/nonce.h"
#include "nonce/cpu.h"
#include "plotter/drive.h"
#include "plotter/job.h"
#include "plotter/plan.h"
#include "plotter/plotter_gpu.h"
#include "plotter/plotter_pace.h"
#include "plotter/plotter_size.h"

struct gpu_s;

// Asks the user a yes/no question; the GUI shows a dialog, the CLI answers from its options.
using plotter_asker = std::function<bool(const char* title, const char* text)>;
// Shows the user a message; the GUI shows a dialog, the CLI prints it on standard error.
using plotter_message_fn = std::function<void(const char* title, const char* text)>;

// What setup chose for the run. Written before the work thread starts; the work thread
// clears the GPU fields when it falls back to the CPU.
struct plotter_config_s {
    uint64_t buffer_nonces = 0;               // capacity of every batch buffer
    uint32_t gpu_mask = 0;                    // bit i = GPU i used; 0 = CPU
    uint32_t gpus_used = 0;                   // number of GPUs used
    uint32_t gpu_ids[8] = {};                 // indices of the GPUs used, ascending
    bool concurrent = false;                  // several jobs may be in flight
    uint32_t tasks = 1;                       // jobs in flight at most
    bool pace = false;                        // shape the buffers for the slower stage at the start
    bool own_buffers = false;                 // one buffer per drive: a file's batches as long as they fit
    uint64_t largest_file = 0;                // nonces of the largest planned file
    uint64_t sector_nonces = 8;               // batch sizes are multiples of this
    int32_t cpu_threads = 0;                  // the cpu_threads setting; 0 = automatic
    cpu_family_e cpu_family = CPU_FAMILY_BEST;  // CPU hash family; BEST = the fastest here
    plotter_mode_e mode = PLOTTER_CPU_DIRECT; // processors and staging
};

// The run as the work thread and the front end share it.
struct plotter_run_s {
    std::mutex lock;                          // guards jobs, free_buffers, drive reservations
    std::vector<job_s*> jobs;                 // files to produce, in plan order (owned)
    std::vector<batch_buffer_s*> free_buffers;  // buffers not attached to a job (owned)
    std::vector<batch_buffer_s*> all_buffers;   // every buffer, each a part of the arena
    uint8_t* arena = nullptr;                 // the memory every buffer lies in
    uint64_t arena_nonces = 0;                // nonces the arena holds
    std::thread thread;                       // the work thread
    gpu_s* gpu_ctx = nullptr;                 // active GPU context; none in CPU mode (work thread)
    uint32_t gpu_failures = 0;                // GPU batches failed since the last good one (work thread)
    std::atomic<bool> finished{false};        // the run ended on its own, not stopped (set before `ended`)
    std::atomic<bool> stop{false};            // request to end plotting
    std::atomic<bool> paused{false};          // the work thread only sleeps while set
    std::atomic<bool> keep_files{false};      // unfinished files survive a stop
    std::atomic<bool> stuck{false};           // the run ended because a job could never start
    std::atomic<bool> failed{false};          // a file of the run failed, or the run ended on an error
    std::atomic<bool> ended{false};           // the work thread has finished its run
    std::string setup_failure;                // why the last plotter_setup did not start a run; "" when it did
    // A paced run (work thread only): the layouts, the rates measured at the start, the
    // computing and the drives' rows as the run's own batches show them, and the layout it
    // changes to once every buffer is back (none: no change pending).
    uint32_t pace_drives = 0;
    pace_layout_s pace_own, pace_spare, pace_current, pace_next;
    pace_rates_s pace_rates;
    uint64_t paced_nonces = 0;
    double paced_seconds = 0;
    double paced_row_seconds = 0, predicted_row_seconds = 0;  // rows written; what the probe predicted for them
    uint32_t pace_changes = 0;
};

// How the plotter reaches what lies outside it; front ends set these, tests put fakes in.
struct plotter_seam_s {
    plotter_gpu_api_s gpu;                    // GPU operations
    plotter_asker ask;                        // yes/no questions; none = answer no
    plotter_message_fn message;               // what the user must read (set-up failures); none = log only
    // The run ended on its own (not stopped); called on the work thread as its last act, so
    // a front end hands it to its own thread.
    std::function<void()> on_finished;
    // A file whose work failed, with the text that says which file and drive and why; called
    // on the work thread or a mover task (the log already has the text). None = log only.
    std::function<void(const std::string& text)> on_failure;
    // Computes nonces on the CPU, as cpu_plot_batch does (none = cpu_plot_batch). Tests that
    // rerun the same plot many times put in a source that does not compute them again.
    std::function<uint64_t(batch_buffer_s* batch, uint64_t account, uint64_t first_nonce, uint64_t count,
                           cpu_family_e family, int32_t threads, uint64_t sector_nonces,
                           const std::atomic<bool>* stop, std::atomic<uint64_t>* progress)>
        cpu_batch;
    // Seconds per row of `row_bytes` on the drive of `folder`, as plotter_pace_probe measures
    // them (none = plotter_pace_probe). Tests put in a drive the run then belies.
    std::function<double(const char* folder, uint64_t row_bytes)> drive_probe;
};

struct plotter_s {
    plotter_config_s config;                  // what setup chose
    plotter_run_s run;                        // shared run state
    plotter_seam_s seam;                      // GPU operations, questions, completion notice
};

plotter_s* plotter_create();
void plotter_destroy(plotter_s* plotter);
// Frees every batch buffer and the arena; only while no work thread runs.
void plotter_free_buffers(plotter_s* plotter);
// Cuts the arena into `count` free buffers of `capacity` nonces (as many as fit), replacing
// the buffers there were; only while no job holds a buffer.
void plotter_carve_buffers(plotter_s* plotter, uint32_t count, uint64_t capacity);
void plotter_set_on_finished(plotter_s* plotter, std::function<void()> on_finished);
void plotter_set_on_failure(plotter_s* plotter, std::function<void(const std::string& text)> on_failure);
void plotter_set_asker(plotter_s* plotter, plotter_asker ask);
void plotter_set_message(plotter_s* plotter, plotter_message_fn message);
void plotter_set_gpu_api(plotter_s* plotter, plotter_gpu_api_s api);
void plotter_add_job(plotter_s* plotter, job_s* job);
void plotter_clear_jobs(plotter_s* plotter);
uint64_t plotter_job_count(plotter_s* plotter);
void plotter_for_each_job(plotter_s* plotter, const std::function<bool(job_s*)>& callback);
bool plotter_running(plotter_s* plotter);
bool plotter_finished(plotter_s* plotter);
bool plotter_paused(plotter_s* plotter);
void plotter_toggle_pause(plotter_s* plotter);
void plotter_stop(plotter_s* plotter, bool keep_files);
// Waits for the work thread to end on its own (every job done, or the run failed).
void plotter_wait(plotter_s* plotter);

// Rebuilds the plotter's jobs from a plan (the planner's result for input).
plan_result_s plotter_plan(plotter_s* plotter, plots_s* plots, const plan_input_s& input);
