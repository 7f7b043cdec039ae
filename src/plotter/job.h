// One plot file of a run: its nonce range, buffers, open file, tasks and life-cycle state.
#pragma once
#include <atomic>
#include <cstdint>
#include <future>
#include <string>

#include "nonce/nonce.h"

struct drive_s;

enum job_state_e : uint32_t {
    JOB_WAITING = 0,        // not started; no buffers, no open file
    JOB_PLOTTING = 1,       // file open, batches computed into and written from pool buffers
    JOB_WRITTEN = 2,        // the last batch has been written
    JOB_READY_TO_MOVE = 3,  // finished under its plain name on the SSD
    JOB_MOVING = 4,         // a move task is carrying it to the target
    JOB_DONE = 5,           // finished on its final drive
    JOB_FAILED = 6,         // ended on an error; its files stay as they are for the next run
};

// Ownership: the work thread changes the job; its writer and mover tasks update their
// progress counters. Counters that the front ends read while the job runs are atomics;
// job_state changes only under the plotter's lock.
struct job_s {
    uint64_t account_id = 0;                  // account the nonces are computed for
    uint64_t start_nonce = 0;                 // nonce number of the file's first nonce
    uint64_t nonce_count = 0;                 // nonces in the file
    std::atomic<uint64_t> nonces_done{0};     // file-relative nonces computed and handed to writers
    std::atomic<uint64_t> resume_from{0};     // file-relative index the file was resumed from
    batch_buffer_s* compute_buffer = nullptr; // buffer the next batch is computed into; none between batches
    batch_buffer_s* write_buffer = nullptr;   // buffer the writer writes from; none once it returned
    bool poc2 = false;                        // PoC2 order, three-number name
    int64_t fd = 0;                           // open .plotting file; 0 = none
    drive_s* write_drive = nullptr;           // drive the file is written on
    drive_s* final_drive = nullptr;           // target the finished file moves to; none = direct
    std::atomic<uint64_t> bytes_written{0};   // bytes of this file written in this run
    std::atomic<uint64_t> bytes_moved{0};     // bytes of this file moved so far
    double compute_start = 0;                 // start of the current batch's computation
    double last_wait_log = 0;                 // when the waiting-for-drive message was last logged
    std::atomic<double> compute_rate{0};      // nonces per minute of the last CPU batch
    std::atomic<double> write_rate{0};        // MiB/s of the current writer task
    // The last writer's rows, their length and the drive time from the first row to the
    // flush behind them (0 rows: nothing to learn from it, as a file's last batch); set by
    // the writer, read by the work thread once it has collected the writer.
    uint64_t written_rows = 0, written_row_bytes = 0;
    double written_seconds = 0;
    std::atomic<double> move_rate{0};         // MiB/s of the move task
    std::future<void> write_task;             // running or last writer task
    std::future<void> move_task;              // move task
    std::atomic<uint32_t> job_state{JOB_WAITING};  // life-cycle state, changed under the plotter's lock
    bool batch_ready = false;                 // compute_buffer holds a finished batch not yet handed off
    bool set_aside = false;                   // another writer owns its file; the run leaves it alone
    std::string failure;                      // why the job failed: set by the work thread or the task
                                              // that failed before the job becomes JOB_FAILED
};

job_s* job_create(drive_s* write_drive, drive_s* final_drive, uint64_t account_id, uint64_t start_nonce,
                  uint64_t nonce_count);
void job_destroy(job_s* job);
// Nonces of the job computed so far, the batch being computed included: every nonce once
// the job is written, else the nonces handed to writers plus the compute buffer's published
// progress. Call while holding the plotter's lock (plotter_for_each_job), which keeps the
// buffers from being swapped meanwhile. For display: the batch may still be stopped.
uint64_t job_nonces_computed(const job_s* job);
// The failed drive that keeps the job from going on in this run: its writing drive before it
// starts, its target before its file moves there; none when it can go on. Call while holding
// the plotter's lock, under which drives are marked failed.
const drive_s* job_failed_drive(const job_s* job);
// Whether no drive takes the job's nonces in this run any more: it failed, or a drive it
// needs failed. Call while holding the plotter's lock.
bool job_lost(const job_s* job);
// Which of a job's two places job_path names.
enum job_path_e { JOB_PATH_WRITTEN = 0, JOB_PATH_FINAL = 1 };
// The job's file, without suffix: where it is written (the staging drive of a staged job),
// or where it ends up (its final drive; the same place for a direct job).
std::string job_path(const job_s* job, job_path_e place);
