// The plotter's work thread: opens or resumes each file, computes batches, hands them to
// writer tasks, completes files and moves staged files to their targets.
//
// DESIGN: plotter_work_thread owns the run and visits every job once per pass, moving it one step
// along waiting -> plotting -> written -> (ready_to_move -> moving) -> done. A job's writer
// (write_batch) and mover (job_move) run as std::async tasks whose futures live in the job;
// at most one writer per job runs at a time, and it touches only write_buffer, the file at
// explicit offsets and counters, while the work thread fills compute_buffer. Buffer
// ownership, every job_state change (the writer's "written" and the mover's "done"
// included) and the drives' current_job / moves_off happen under plotter->run.lock,
// which is never held during computation or I/O. The job counters the front ends read
// (nonces_done, bytes_written, rates) are atomics, stored relaxed where they only feed the
// display; a drive's bytes_written is an atomic that its writer and mover tasks add to, and
// its free space is written by the work thread only. On the way out the thread
// waits for every writer and every move before it closes, renames or deletes anything, so
// no task touches a file that is being cleaned up. Buffers form one pool: a job holds one
// while it computes into it or writes from it and gives it back when its writer returns, so
// the computing fills them in turn for whichever drive needs one. A paced run (pace_buffers)
// first measures the computing and the drives and cuts the memory into one buffer per drive
// (the longest rows, for drives slower than the computing) or one spare more (the computing
// and the writing overlap, for drives that keep up); unpaced, every CPU file takes at least
// PLOTTER_MIN_BATCHES batches. A writer sends its rows through a direct descriptor of its own
// where the file system allows it, several in flight, and the work thread's descriptor stays
// the one that syncs, closes and renames.
// Failures end jobs, not the run: a writer or mover that fails leaves its text in the job and
// the job ends as failed once no task of it runs (fail_job); its drive is marked failed under
// the lock, jobs that would use that drive are not started, and the other drives go on.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/sys.h"
#include "platform/util.h"
#include "plotfile/plotfile.h"
#include "plotter/plotter.h"
#include "plotter/plotter_pace.h"
#include "plotter/plotter_size.h"
#include "plotter/plotter_work.h"
#include "nonce/cpu.h"

namespace {

// What one pass over the jobs saw.
struct pass_s {
    double now = 0;                     // time at the start of the pass
    bool all_done = true;               // every job is done
    bool computed = false;              // a batch was computed
    bool ended = false;                 // the run must end (failure or stop)
    job_s* no_space = nullptr;          // a waiting job skipped for lack of free space
};

// GPU contexts rebuilt for failed batches before giving up.
constexpr uint32_t GPU_REBUILDS = 3;

// Shortest scoop row worth a direct transfer: 512 nonces of one scoop.
constexpr uint64_t DIRECT_MIN_ROW_BYTES = 32768;

// The writer and mover tasks (below).
void write_batch(plotter_s* p, job_s* job, uint64_t first, uint64_t count, const std::atomic<bool>* stop);
void job_move(plotter_s* p, job_s* job, const std::atomic<bool>* stop);

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string plotting_path(const job_s* job) { return job_path(job, JOB_PATH_WRITTEN) + ".plotting"; }

bool stopping(const plotter_s* p) { return p->run.stop.load(std::memory_order_relaxed); }

void return_buffers(plotter_s* p, job_s* job);

// Ends the run on an error; unfinished files are kept so the next run resumes them.
void fail_run(plotter_s* p) {
    p->run.keep_files = true;
    p->run.failed = true;
    p->run.stop = true;
}

// The message for a file whose work failed on a drive, with the system's reason in words.
// A resume is promised only when the unfinished file is there to resume.
std::string failure_text(const char* doing, const std::string& path, const drive_s* drive, int error) {
    const char* next = sys_file_exists(path.c_str()) ? "the next run resumes this file" : "no file was left to resume";
    return std::string("Error ") + doing + " " + path + " on drive " + drive->path + ": " + std::strerror(error) +
           ". This drive's files stop here; " + next + ".";
}

// Ends a job on an error once none of its tasks runs: the drive that failed (if any) takes no
// more work in this run, the job's files keep their names (an unfinished file its resume record)
// for the next run, and the other drives go on. The text goes to the log and the front end.
void fail_job(plotter_s* p, job_s* job, drive_s* failed, const std::string& text) {
    sys_log("%s\n", text.c_str());
    if (job->fd) sys_file_close(job->fd);
    job->fd = 0;
    {
        std::lock_guard<std::mutex> hold(p->run.lock);
        if (failed) failed->failed = true;
        if (job->write_drive->current_job == job) job->write_drive->current_job = nullptr;
        if (job->final_drive && job->final_drive->current_job == job) job->final_drive->current_job = nullptr;
        if (job->job_state == JOB_MOVING) --job->write_drive->moves_off;
        return_buffers(p, job);
        job->failure = text;
        job->job_state = JOB_FAILED;
    }
    p->run.failed = true;
    if (p->seam.on_failure) p->seam.on_failure(text);
}

// A job that a failed drive would write or receive ends without being tried. A finished
// file on a failed staging drive may still move: the target is sound.
bool drive_failed_for(plotter_s* p, job_s* job) {
    std::string text;
    {
        // A mover task marks its target failed under the lock.
        std::lock_guard<std::mutex> hold(p->run.lock);
        const drive_s* failed = job_failed_drive(job);
        if (!failed) return false;
        text = "Not starting " + job_path(job, failed == job->write_drive ? JOB_PATH_WRITTEN : JOB_PATH_FINAL) + ": drive " + failed->path +
               " failed earlier in this run; the next run tries it again.";
        job->failure = text;
        job->job_state = JOB_FAILED;
    }
    sys_log("%s\n", text.c_str());
    return true;
}

// Whether a move off the drive is running; each mover counts itself out under the lock.
bool moving_off(plotter_s* p, const drive_s* drive) {
    std::lock_guard<std::mutex> hold(p->run.lock);
    return drive->moves_off > 0;
}

bool drive_has_room(plotter_s* p, drive_s* drive, uint64_t need, double now) {
    if (now - drive->free_time > 1.0 || drive->free_time == 0) {
        drive->free_bytes = sys_free_space(drive->path);
        drive->free_time = now;
    }
    if (drive->free_bytes >= need) return true;
    if (moving_off(p, drive)) return false;  // the move will free the space
    sleep_ms(50);
    drive->free_bytes = sys_free_space(drive->path);
    drive->free_time = time_now();
    return drive->free_bytes >= need;
}

// A free buffer, emptied, or none; under the lock.
batch_buffer_s* take_buffer(plotter_s* p) {
    if (p->run.free_buffers.empty()) return nullptr;
    batch_buffer_s* buffer = p->run.free_buffers.back();
    p->run.free_buffers.pop_back();
    buffer->progress = 0;
    return buffer;
}

// Jobs that hold their drive for writing; under the lock.
uint32_t jobs_in_flight(const plotter_s* p) {
    uint32_t count = 0;
    for (const job_s* job : p->run.jobs) count += job->job_state == JOB_PLOTTING || job->job_state == JOB_WRITTEN;
    return count;
}

// Whether a job that is writing may take a second buffer to compute its next batch into:
// only while one stays free for every other job that may run and holds none, so that a
// drive never waits for a buffer another drive's batch sits in. Under the lock.
bool spare_for(const plotter_s* p, const job_s* job) {
    uint32_t holding = 0;
    for (const job_s* other : p->run.jobs) holding += other != job && (other->compute_buffer || other->write_buffer);
    const uint32_t others = p->config.tasks > 0 ? p->config.tasks - 1 : 0;
    const uint32_t reserved = others > holding ? others - holding : 0;
    return p->run.free_buffers.size() > reserved;
}

void return_buffers(plotter_s* p, job_s* job) {
    if (job->compute_buffer) p->run.free_buffers.push_back(job->compute_buffer);
    if (job->write_buffer) p->run.free_buffers.push_back(job->write_buffer);
    job->compute_buffer = nullptr;
    job->write_buffer = nullptr;
    job->batch_ready = false;
}

// Computes nonces on the CPU into a batch buffer; the nonces finished.
uint64_t compute_batch_on_cpu(plotter_s* p, batch_buffer_s* batch, uint64_t account, uint64_t first_nonce, uint64_t count,
                              uint64_t sector_nonces) {
    const int32_t threads = cpu_thread_count(p->config.cpu_threads);
    const cpu_family_e family = p->config.cpu_family;
    if (p->seam.cpu_batch)
        return p->seam.cpu_batch(batch, account, first_nonce, count, family, threads, sector_nonces, &p->run.stop,
                                 &batch->progress);
    return cpu_plot_batch(batch, account, first_nonce, count, family, threads, sector_nonces, &p->run.stop,
                          &batch->progress);
}

// The job's tail (the file's last nonces) computed anew into its compute buffer, in the
// file's scoop order, as a batch is computed on the CPU; none when the buffer cannot hold
// it or a stop came first.
const batch_buffer_s* compute_tail(plotter_s* p, job_s* job) {
    batch_buffer_s* batch = job->compute_buffer;
    const uint64_t first = plotfile_tail_first(job->nonce_count), count = job->nonce_count - first;
    if (!batch || batch->capacity < count) return nullptr;
    const uint64_t done = compute_batch_on_cpu(p, batch, job->account_id, job->start_nonce + first, count, 0);
    batch->progress = 0;
    if (done < count) return nullptr;
    if (job->poc2) poc2_convert_batch(batch, count);
    return batch;
}

// Opens the job's .plotting file into job->fd as its only writer, resuming from its record
// (or its tail) when it exists. A new file's name is made durable at once (otherwise only the
// final rename syncs the folder), so a crash cannot lose the hours of work that follow with
// it. A file another writer owns is left alone: the job is set aside.
sys_err_s open_plot_file(plotter_s* p, job_s* job) {
    const std::string path = plotting_path(job);
    const uint64_t size = job->nonce_count * PLOT_SIZE;
    const bool resuming = sys_file_exists(path.c_str());
    if (resuming)
        sys_log("Attempting to resume %s...\n", path.c_str());
    else
        sys_log("Creating file %s\n", path.c_str());
    sys_create_e how = SYS_CREATE_NEW;
    const sys_err_s opened = sys_file_create(path.c_str(), size, &job->fd, &how);
    if (opened.error == SYS_ERR_LOCKED) {
        sys_log("%s is being written by another process; leaving it alone.\n", path.c_str());
        job->set_aside = true;
    }
    if (opened.error) return opened;
    if (how == SYS_CREATE_NEW) sys_dir_sync(job->write_drive->path);
    if (how == SYS_CREATE_EXISTING) {
        job->nonces_done = plotfile_resume_read(job->fd, job->nonce_count, PLOTFILE_RECORD_BYTES, [&] { return compute_tail(p, job); });
        job->resume_from = job->nonces_done.load();
    }
    return opened;
}

// A staged file that a previous run completed but did not move goes straight to moving.
bool already_staged(plotter_s* p, job_s* job) {
    if (!job->final_drive) return false;
    const std::string path = job_path(job, JOB_PATH_WRITTEN);
    int64_t fd = 0;
    if (sys_file_open_read(path.c_str(), &fd).error) return false;
    uint64_t size = 0;
    const bool complete = sys_file_size(fd, &size).error == 0 && size == job->nonce_count * PLOT_SIZE;
    sys_file_close(fd);
    if (!complete) return false;
    sys_log("%s is already complete; it only needs moving.\n", path.c_str());
    std::lock_guard<std::mutex> hold(p->run.lock);
    job->job_state = JOB_READY_TO_MOVE;
    return true;
}

void start_job(plotter_s* p, job_s* job, pass_s* pass) {
    drive_s* drive = job->write_drive;
    {
        std::lock_guard<std::mutex> hold(p->run.lock);
        if (drive->current_job) return;
    }
    const bool resuming = sys_file_exists(plotting_path(job).c_str());
    if (!resuming && already_staged(p, job)) return;
    if (!resuming && !drive_has_room(p, drive, job->nonce_count * PLOT_SIZE, pass->now)) {
        pass->no_space = job;
        return;
    }
    {
        std::lock_guard<std::mutex> hold(p->run.lock);
        if (p->run.free_buffers.empty() || jobs_in_flight(p) >= p->config.tasks || p->run.pace_next.buffers) return;
        job->compute_buffer = take_buffer(p);
        job->write_buffer = nullptr;
        job->batch_ready = false;
        drive->current_job = job;
        job->job_state = JOB_PLOTTING;
    }
    const sys_err_s opened = open_plot_file(p, job);
    if (job->fd && job->nonces_done == job->nonce_count) {
        // Found complete: it only needs its plain name.
        std::lock_guard<std::mutex> hold(p->run.lock);
        job->job_state = JOB_WRITTEN;
    }
    if (job->fd) return;
    const int error = opened.error;
    if (!job->set_aside) {
        fail_job(p, job, drive, failure_text("creating", plotting_path(job), drive, error));
        return;
    }
    std::lock_guard<std::mutex> hold(p->run.lock);
    job->job_state = JOB_WAITING;
    return_buffers(p, job);
    drive->current_job = nullptr;
}

// Throws a failed GPU context away and builds a new one, or falls back to the CPU.
void recover_gpu(plotter_s* p) {
    sys_log("Attempting to recover from GPU failure.\n");
    sys_log("  Recreating OpenCL device context\n");
    const uint64_t nonces = p->seam.gpu.nonces ? p->seam.gpu.nonces(p->run.gpu_ctx) : 0;
    UTIL_ASSERT(nonces <= p->config.buffer_nonces);
    if (p->seam.gpu.release) p->seam.gpu.release(p->run.gpu_ctx);
    p->run.gpu_ctx = nullptr;
    // A device that passes its self-test but fails every batch would be rebuilt forever.
    if (++p->run.gpu_failures <= GPU_REBUILDS)
        p->run.gpu_ctx = p->seam.gpu.activate ? p->seam.gpu.activate(p->config.gpus_used, p->config.gpu_ids, nonces) : nullptr;
    else
        sys_log("  the GPU failed %u batches in a row with rebuilt contexts\n", (unsigned)p->run.gpu_failures);
    // A rebuilt context can be incomplete; an untested one would fail again at the next batch.
    double seconds = 0;
    if (p->run.gpu_ctx && !(p->seam.gpu.test && p->seam.gpu.test(p->run.gpu_ctx, &seconds))) {
        if (p->seam.gpu.release) p->seam.gpu.release(p->run.gpu_ctx);
        p->run.gpu_ctx = nullptr;
    }
    if (p->run.gpu_ctx) return;
    p->config.gpu_mask = 0;
    p->config.gpus_used = 0;
    const char* text = "Failed to recover GPU device. Fall back to CPU processing?";
    if (!p->seam.ask || !p->seam.ask("Error", text)) {
        if (!p->seam.ask) sys_log("Error: %s (no one to ask; answering no)\n", text);
        fail_run(p);
        return;
    }
    sys_log("  Falling back to CPU mode\n");
}

// The run's own batches decide again between the layouts: a short measurement at the start
// is easily thrown by other work on the machine, and a drive's cache can take the probe's
// few rows much faster than the drive keeps up. The computing's rate is the batches'; the
// drives' rows keep the probe's shape (fixed cost and bytes) scaled by what the written rows
// took against what it predicted for them. A change waits until every buffer is back
// (pace_change_when_idle); at most two in a run.
constexpr uint32_t PACE_CHANGES = 2;

bool paced(const plotter_s* p) {
    return p->config.pace && p->run.pace_drives != 0 && p->run.pace_rates.own_row_seconds > 0;
}

void pace_reconsider(plotter_s* p) {
    plotter_run_s& run = p->run;
    if (run.pace_next.buffers || run.pace_changes >= PACE_CHANGES) return;
    pace_rates_s rates = run.pace_rates;
    if (run.paced_nonces) rates.nonce_seconds = run.paced_seconds / run.paced_nonces;
    if (run.predicted_row_seconds > 0) {
        const double drives_factor = run.paced_row_seconds / run.predicted_row_seconds;
        rates.own_row_seconds *= drives_factor;
        rates.spare_row_seconds *= drives_factor;
    }
    const pace_plan_s plan = plotter_pace_choose(run.pace_drives, run.pace_own, run.pace_spare, rates);
    if (!plotter_pace_worth_change(run.pace_current, plan)) return;
    run.pace_next = plan.layout;
    sys_log("%s", ("Pace, as the run's batches show it: " + plotter_pace_text(plan).substr(6)).c_str());
}

void pace_observe_computing(plotter_s* p, uint64_t nonces, double seconds) {
    if (!paced(p)) return;
    p->run.paced_nonces += nonces;
    p->run.paced_seconds += seconds;
    pace_reconsider(p);
}

void pace_observe_writer(plotter_s* p, const job_s* job) {
    if (!paced(p) || job->written_rows == 0) return;
    plotter_run_s& run = p->run;
    run.paced_row_seconds += job->written_seconds;
    run.predicted_row_seconds +=
        job->written_rows * plotter_pace_row_seconds(run.pace_own, run.pace_spare, run.pace_rates, job->written_row_bytes);
    pace_reconsider(p);
}

// Cuts the buffers into the pending layout once no job holds one.
void pace_change_when_idle(plotter_s* p) {
    if (!p->run.pace_next.buffers) return;
    std::lock_guard<std::mutex> hold(p->run.lock);
    if (p->run.free_buffers.size() != p->run.all_buffers.size()) return;
    plotter_carve_buffers(p, p->run.pace_next.buffers, p->run.pace_next.capacity);
    p->config.own_buffers = !p->run.pace_next.spare;
    p->run.pace_current = p->run.pace_next;
    p->run.pace_next = {};
    ++p->run.pace_changes;
}

void compute_on_cpu(plotter_s* p, job_s* job) {
    batch_buffer_s* batch = job->compute_buffer;
    const uint64_t left = job->nonce_count - job->nonces_done;
    const uint64_t sector_nonces = job->write_drive->sector_size / SCOOP_SIZE;
    // Even batches over what is left, so a resumed file ends without a short batch either.
    const uint64_t share = p->config.own_buffers ? plotter_even_batch(left, batch->capacity, sector_nonces)
                                                 : plotter_file_batch(job->nonce_count, batch->capacity, sector_nonces);
    const uint64_t count = std::min(left, share);
    job->compute_start = time_now();
    const uint64_t done =
        compute_batch_on_cpu(p, batch, job->account_id, job->start_nonce + job->nonces_done, count, sector_nonces);
    const double elapsed = time_now() - job->compute_start;
    job->compute_rate.store(elapsed > 0 ? done * 60.0 / elapsed : 0, std::memory_order_relaxed);
    if (done == count) pace_observe_computing(p, done, elapsed);
}

// Computes the job's next batch into compute_buffer; false when it must be skipped this pass.
bool compute_batch(plotter_s* p, job_s* job, pass_s* pass) {
    if (p->config.gpu_mask && p->run.gpu_ctx) {
        const uint64_t done = p->seam.gpu.compute(p->run.gpu_ctx, job->account_id, job->start_nonce + job->nonces_done,
                                             job->compute_buffer, &p->run.stop);
        pass->computed = true;
        if (done == 0 && !stopping(p)) {
            recover_gpu(p);
            job->compute_buffer->progress = 0;
            return false;
        }
        if (done != 0) p->run.gpu_failures = 0;
    } else {
        compute_on_cpu(p, job);
        pass->computed = true;
    }
    UTIL_ASSERT(job->compute_buffer->progress <= job->compute_buffer->capacity);
    job->compute_rate = 0;
    if (stopping(p)) {
        pass->ended = true;
        return false;
    }
    job->batch_ready = true;
    return true;
}

// Collects the job's writer once it has returned (waiting for it with `wait`); true when it
// failed, which ends the job.
bool writer_failed(plotter_s* p, job_s* job, bool wait) {
    if (!job->write_task.valid()) return false;
    if (!wait && job->write_task.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return false;
    job->write_task.get();
    if (job->failure.empty()) return false;
    fail_job(p, job, job->write_drive, job->failure);
    return true;
}

// Collects the job's writer once it has returned and gives its buffer back to the pool, so
// that the computing can fill it for whichever job needs one; true when the writer failed,
// which ends the job.
bool collect_writer(plotter_s* p, job_s* job, bool wait) {
    if (!job->write_task.valid()) return false;
    if (writer_failed(p, job, wait)) return true;
    if (job->write_task.valid() || !job->write_buffer) return false;  // still writing
    pace_observe_writer(p, job);
    std::lock_guard<std::mutex> hold(p->run.lock);
    p->run.free_buffers.push_back(job->write_buffer);
    job->write_buffer = nullptr;
    return false;
}

void plot_step(plotter_s* p, job_s* job, pass_s* pass) {
    if (collect_writer(p, job, false)) return;
    if (job->nonces_done == job->nonce_count) return;
    if (!job->compute_buffer) {
        // A job holds a buffer only while it computes into it or writes from it.
        std::lock_guard<std::mutex> hold(p->run.lock);
        if ((job->write_buffer && !spare_for(p, job)) || p->run.pace_next.buffers) return;
        job->compute_buffer = take_buffer(p);
        job->batch_ready = false;
        if (!job->compute_buffer) return;
    }
    if (!job->batch_ready && !compute_batch(p, job, pass)) return;
    if (job->write_task.valid()) {
        // With several jobs in flight the others go on while this writer finishes; the
        // computed batch waits in compute_buffer for the job's next turn.
        if (p->config.concurrent && job->write_task.wait_for(std::chrono::microseconds(1)) != std::future_status::ready)
            return;
        if (collect_writer(p, job, true)) return;
    }
    const uint64_t first = job->nonces_done;
    uint64_t n = 0;
    {
        // Under the lock, so that a front end summing nonces_done and the compute buffer's
        // progress never sees the batch twice or not at all.
        std::lock_guard<std::mutex> hold(p->run.lock);
        const uint64_t computed = job->compute_buffer->progress;
        const uint64_t rest = job->nonce_count - first;
        n = rest < computed ? rest : computed;
        job->compute_buffer->progress = 0;
        job->write_buffer = job->compute_buffer;
        job->compute_buffer = nullptr;
        job->batch_ready = false;
        job->nonces_done += n;
    }
    job->write_task = std::async(std::launch::async, write_batch, p, job, first, n, &p->run.stop);
    UTIL_ASSERT(job->nonces_done <= job->nonce_count);
}

// Syncs, renames and closes a fully written file; false when its data could not be made
// durable or it could not take its plain name (it then keeps its unfinished name). The
// rename comes before the close so the file's lock covers it: no other writer can take
// over the finished file under its unfinished name.
// On failure the text says why, and `drive_fault` whether the drive failed (rather than a
// file of the plain name having appeared, which is never replaced).
bool complete_file(job_s* job, std::string* failure, bool* drive_fault) {
    const std::string from = plotting_path(job);
    const std::string to = job_path(job, JOB_PATH_WRITTEN);
    const sys_err_s sync = sys_file_sync(job->fd);
    const sys_err_s rename = sync.error ? sync : sys_file_rename_new(from.c_str(), to.c_str());
    const bool synced = sync.error == 0, renamed = rename.error == 0;
    const int error = rename.error;
    sys_file_close(job->fd);
    job->fd = 0;
    *drive_fault = !renamed && error != EEXIST;
    if (!synced) *failure = failure_text("flushing", from, job->write_drive, error);
    else if (!renamed && error == EEXIST)
        *failure = to + " already exists and is never replaced; " + from + " keeps its unfinished name.";
    else if (!renamed) *failure = failure_text("renaming", from, job->write_drive, error);
    if (!renamed) return false;
    sys_log("Writing to %llu complete.\n", (unsigned long long)job->start_nonce);
    return true;
}

// Completes a job whose last batch is written and frees its drive and buffers; false when
// the file could not be completed (the job goes back to waiting).
bool finish_written(plotter_s* p, job_s* job) {
    if (job->write_task.valid()) job->write_task.get();
    std::string failure = job->failure;
    bool drive_fault = true;
    if (failure.empty() && complete_file(job, &failure, &drive_fault)) {
        std::lock_guard<std::mutex> hold(p->run.lock);
        job->write_drive->current_job = nullptr;
        return_buffers(p, job);
        job->job_state = job->final_drive ? JOB_READY_TO_MOVE : JOB_DONE;
        return true;
    }
    fail_job(p, job, drive_fault ? job->write_drive : nullptr, failure);
    return false;
}

void written_step(plotter_s* p, job_s* job, pass_s* /*pass*/) { finish_written(p, job); }

void move_step(plotter_s* p, job_s* job, pass_s* pass) {
    drive_s* target = job->final_drive;
    {
        std::lock_guard<std::mutex> hold(p->run.lock);
        // One move per target, so each drive writes one file sequentially; moves to different
        // drives run at once, even from one staging folder.
        if (!target->current_job) {
            target->current_job = job;
            ++job->write_drive->moves_off;
            job->job_state = JOB_MOVING;
        }
    }
    if (job->job_state == JOB_MOVING) {
        sys_log("Starting move of %llu to %s\n", (unsigned long long)job->start_nonce, target->path);
        job->move_task = std::async(std::launch::async, job_move, p, job, &p->run.stop);
    } else if (pass->now - job->last_wait_log > 60.0) {
        job->last_wait_log = pass->now;
        sys_log("%llu is ready to move, waiting for drive %s to become available.\n",
                (unsigned long long)job->start_nonce, target->path);
    }
}

void visit(plotter_s* p, job_s* job, pass_s* pass) {
    if (job->set_aside) return;
    if (drive_failed_for(p, job)) return;
    if (job->job_state == JOB_WAITING) start_job(p, job, pass);
    if (pass->ended) return;
    if (job->job_state == JOB_PLOTTING) plot_step(p, job, pass);
    if (pass->ended) return;
    if (job->job_state == JOB_WRITTEN) written_step(p, job, pass);
    if (pass->ended) return;
    if (job->job_state == JOB_READY_TO_MOVE) move_step(p, job, pass);
    if (job->job_state != JOB_DONE && job->job_state != JOB_FAILED) pass->all_done = false;
}

// True when nothing is in flight, so a job that waits for free space can never start.
bool run_is_stuck(plotter_s* p, const pass_s& pass) {
    if (!pass.no_space) return false;
    for (job_s* job : p->run.jobs)
        if (job->job_state != JOB_WAITING && job->job_state != JOB_DONE && job->job_state != JOB_FAILED) return false;
    const job_s* job = pass.no_space;
    sys_log("Not enough free space on %s for %s (%s needed, %s free) and nothing running can free it; stopping.\n",
            job->write_drive->path, plotting_path(job).c_str(),
            fmt_size_tmp(job->nonce_count * PLOT_SIZE, false, ""), fmt_size_tmp(job->write_drive->free_bytes, false, ""));
    return true;
}

// Waits for every task, completes files whose last batch was written, and closes (and unless
// kept, deletes) unfinished ones.
void end_run(plotter_s* p) {
    for (job_s* job : p->run.jobs)
        if (job->write_task.valid()) job->write_task.wait();
    for (job_s* job : p->run.jobs)
        if (job->move_task.valid()) job->move_task.wait();
    const bool keep = p->run.keep_files.load();
    for (job_s* job : p->run.jobs) {
        if (job->job_state == JOB_WRITTEN) {
            finish_written(p, job);
        } else if (job->job_state == JOB_PLOTTING) {
            // Deleted while still locked, so no other writer takes up a file about to go.
            if (!keep) sys_file_delete(plotting_path(job).c_str());
            sys_file_close(job->fd);
            job->fd = 0;
        }
    }
}

// How a move ended: done, or the text that says why not and the drive that failed (none
// when the move was refused rather than failed).
struct move_end_s {
    std::string failure;        // empty when the file moved
    drive_s* failed = nullptr;  // the drive that failed, if any
};

std::string move_failure_text(const std::string& source, const drive_s* target, const std::string& why) {
    return "Error moving " + source + " to drive " + target->path + ": " + why + ". " + source +
           " is kept; the next run moves it.";
}

// Copies a staged file to its target under a temporary name, gives the copy the plot's
// name once it is durable (never replacing a file that took that name meanwhile), then
// deletes the source. A failed copy is deleted; the staged file stays.
move_end_s move_copy(job_s* job, const std::string& source, const std::string& destination, double t0) {
    const std::string temporary = destination + ".moving";
    // The copy grows under a temporary name and is durable before it takes the plot's
    // name, so a miner never reads a partial plot and a crash never loses the only copy.
    const sys_err_s copy = sys_file_copy(source.c_str(), temporary.c_str(), [&](uint64_t copied) {
        const double elapsed = time_now() - t0;
        if (elapsed > 0) job->move_rate.store(copied / 1048576.0 / elapsed, std::memory_order_relaxed);
        job->final_drive->bytes_written.add(copied - job->bytes_moved.load(std::memory_order_relaxed));
        job->bytes_moved.store(copied, std::memory_order_relaxed);
    });
    if (copy.error) {
        sys_file_delete(temporary.c_str());
        return {move_failure_text(source, job->final_drive, std::strerror(copy.error)), job->final_drive};
    }
    if (const sys_err_s rename = sys_file_rename_new(temporary.c_str(), destination.c_str()); rename.error) {
        const int error = rename.error;
        sys_file_delete(temporary.c_str());
        if (error == EEXIST)
            return {"Not moving " + source + ": " + destination + " appeared during the move and is never replaced; " +
                    source + " is kept."};
        return {move_failure_text(source, job->final_drive, std::strerror(error)), job->final_drive};
    }
    // The deletion is made durable too: a staged copy back after a crash would be moved again.
    if (const sys_err_s deleted = sys_file_delete(source.c_str()); deleted.error)
        sys_log("  could not delete %s after moving it (errno %d); the copy in %s is complete\n", source.c_str(),
                deleted.error, destination.c_str());
    else
        sys_dir_sync(job->write_drive->path);
    return {};
}

// Whether two files hold the same bytes; false when either cannot be read whole.
bool same_bytes(const std::string& a, const std::string& b) {
    constexpr uint64_t CHUNK = 4u << 20;
    int64_t fa = 0, fb = 0;
    sys_file_open_read(a.c_str(), &fa);
    sys_file_open_read(b.c_str(), &fb);
    uint64_t size = 0, other_size = 0;
    bool same = fa && fb && sys_file_size(fa, &size).error == 0 && sys_file_size(fb, &other_size).error == 0 &&
                size == other_size;
    if (!same) size = 0;
    std::vector<uint8_t> left(same ? CHUNK : 0), right(same ? CHUNK : 0);
    for (uint64_t at = 0; same && at < size; at += CHUNK) {
        const uint64_t n = std::min(CHUNK, size - at);
        same = sys_file_read(fa, at, n, left.data()).error == 0 && sys_file_read(fb, at, n, right.data()).error == 0 &&
               std::memcmp(left.data(), right.data(), n) == 0;
    }
    sys_file_close(fa);
    sys_file_close(fb);
    return same;
}

// Why the staged file cannot go to its target now, or empty: a file of its name is there
// (never replaced), or the target lacks the room for it.
move_end_s move_refusal(const job_s* job, const std::string& source, const std::string& destination) {
    const std::string unfinished = destination + ".plotting";
    if (sys_file_exists(unfinished.c_str()))
        return {"Not moving " + source + ": " + unfinished + " already exists and is never replaced; " + source +
                " is kept."};
    if (sys_file_exists(destination.c_str()))
        return {"Not moving " + source + ": " + destination + " already exists with other bytes and is never " +
                "replaced; " + source + " is kept."};
    const uint64_t need = job->nonce_count * PLOT_SIZE, free_bytes = sys_free_space(job->final_drive->path);
    if (free_bytes >= need) return {};
    char needed[32], left[32];
    fmt_size(sizeof needed, needed, need, false, "");
    fmt_size(sizeof left, left, free_bytes, false, "");
    return {move_failure_text(source, job->final_drive,
                              std::string("not enough free space (") + needed + " needed, " + left + " free)"),
            job->final_drive};
}

// Takes the staged file's writer lock for the whole move, so that no convert (nor another
// plot) rewrites it between the copy and its deletion: the target would get half-rewritten
// bytes under the old name. False, with `end` saying why, when another process holds it or it
// cannot be opened; a file that nobody may write (a read-only staging drive) cannot be
// rewritten either and moves without the lock.
bool hold_staged(const std::string& source, int64_t* hold, move_end_s* end) {
    const sys_err_s held = sys_file_hold(source.c_str(), hold);
    if (held.error == 0) return true;
    if (held.error == SYS_ERR_LOCKED) {
        *end = {"Not moving " + source + ": it is being converted or written by another process (it holds the " +
                "file's lock); " + source + " is kept and the next run moves it."};
        return false;
    }
    if (held.error == EROFS || held.error == EACCES || held.error == EPERM) return true;
    *end = {"Not moving " + source + ": cannot open it (" + std::strerror(held.error) + "); " + source +
            " is kept and the next run moves it."};
    return false;
}

void write_batch(plotter_s* p, job_s* job, uint64_t first, uint64_t count, const std::atomic<bool>* stop) {
    batch_buffer_s* buffer = job->write_buffer;
    UTIL_ASSERT(count <= job->nonce_count);
    UTIL_ASSERT(buffer && buffer->progress == 0);
    UTIL_ASSERT(job->write_drive->current_job == job);
    UTIL_ASSERT(job->job_state == JOB_PLOTTING);
    const double t0 = time_now();
    job->written_rows = 0;
    if (job->poc2) poc2_convert_batch(buffer, count);
    const double rows_t0 = time_now();
    uint64_t written = 0, rows = 0;
    // Rows written around the page cache leave the processors to the computing of the next
    // batch instead of copying this one; a file system without direct I/O gets 0 here. Each
    // direct row is one synchronous transfer, so short rows (small batches) stay buffered.
    const bool long_rows = count * SCOOP_SIZE >= DIRECT_MIN_ROW_BYTES;
    int64_t direct = 0;
    if (long_rows) sys_file_open_direct(plotting_path(job).c_str(), &direct);
    const auto row_done = [&](uint64_t row) {
        buffer->progress += row;
        job->bytes_written.fetch_add(row, std::memory_order_relaxed);
        job->write_drive->bytes_written.add(row);
        written += row;
        ++rows;
        const double elapsed = time_now() - t0;
        if (elapsed > 0) job->write_rate.store(written / 1048576.0 / elapsed, std::memory_order_relaxed);
    };
    // A batch reaching into the file's tail leaves the file's last sector (scoop 4095's tail
    // row, where the resume record lies) until everything else is flushed and recorded, so a
    // last sector of plot data on the disk proves the rest of the file there. The other
    // scoops' tail rows go out with their batch: one request per row instead of a second
    // pass of 4096 short requests.
    const uint64_t tail = plotfile_tail_first(job->nonce_count);
    const uint64_t head = first < tail && tail < first + count ? tail - first : count;
    constexpr uint64_t LAST = SCOOPS_PER_PLOT - 1;
    int result = plotfile_write_batch(job->fd, job->nonce_count, first, count, buffer, stop, row_done, direct, 0,
                                       head < count ? LAST : SCOOPS_PER_PLOT);
    if (result == 0 && head < count)
        result = plotfile_write_batch(job->fd, job->nonce_count, first, head, buffer, stop, row_done, direct, LAST,
                                       SCOOPS_PER_PLOT);
    sys_file_close(direct);
    if (result == 0 && head < count) {
        if (stop->load(std::memory_order_relaxed)) return;
        if (!plotfile_resume_commit(job->fd, job->nonce_count, PLOTFILE_RECORD_BYTES, tail)) {
            job->failure = failure_text("flushing", plotting_path(job), job->write_drive, errno);
            return;
        }
        batch_buffer_s rest;  // the batch from its first tail nonce on
        rest.capacity = buffer->capacity;
        rest.data = buffer->data + head * SCOOP_SIZE;
        result = plotfile_write_batch(job->fd, job->nonce_count, tail, count - head, &rest, stop, row_done, 0, LAST,
                                       SCOOPS_PER_PLOT);
    }
    if (result > 0) job->failure = failure_text("writing", plotting_path(job), job->write_drive, result);
    if (result != 0) return;
    if (first + count == job->nonce_count) {
        std::lock_guard<std::mutex> hold(p->run.lock);
        job->job_state = JOB_WRITTEN;
        return;
    }
    if (stop->load(std::memory_order_relaxed)) return;
    // The record may only promise nonces whose data is on the disk.
    if (!plotfile_resume_commit(job->fd, job->nonce_count, PLOTFILE_RECORD_BYTES, first + count)) {
        job->failure = failure_text("flushing", plotting_path(job), job->write_drive, errno);
        return;
    }
    job->written_seconds = time_now() - rows_t0;
    job->written_row_bytes = count * SCOOP_SIZE;
    job->written_rows = rows;
}

void job_move(plotter_s* p, job_s* job, const std::atomic<bool>* /*stop: a move always finishes*/) {
    UTIL_ASSERT(job->job_state == JOB_MOVING);
    UTIL_ASSERT(job->final_drive->current_job == job);
    const double t0 = time_now();
    const std::string source = job_path(job, JOB_PATH_WRITTEN);
    const std::string destination = job_path(job, JOB_PATH_FINAL);
    sys_log("  moving %s to %s\n", source.c_str(), destination.c_str());
    // A staging folder that is the target folder already holds the file at its final place;
    // copying it onto itself and deleting the source would delete the only copy.
    move_end_s end;
    int64_t hold = 0;
    if (sys_same_file(job->write_drive->path, job->final_drive->path)) {
        sys_log("  %s is already in its target folder\n", source.c_str());
    } else if (!hold_staged(source, &hold, &end)) {
        // Another process holds the staged file (or it cannot be opened): `end` says why.
    } else if (sys_file_exists(destination.c_str()) && same_bytes(source, destination)) {
        // A move that a crash stopped after the copy took its name and before the staged
        // file was deleted: the target's file is the same, so only the deletion is left.
        sys_log("  %s already has the same bytes; deleting the staged copy %s\n", destination.c_str(), source.c_str());
        if (const sys_err_s deleted = sys_file_delete(source.c_str()); deleted.error)
            sys_log("  could not delete %s (errno %d)\n", source.c_str(), deleted.error);
        else
            sys_dir_sync(job->write_drive->path);
    } else {
        end = move_refusal(job, source, destination);
        if (end.failure.empty()) end = move_copy(job, source, destination, t0);
    }
    sys_file_close(hold);
    if (!end.failure.empty()) {
        fail_job(p, job, end.failed, end.failure);
        return;
    }
    sys_log("Move of %llu completed\n", (unsigned long long)job->start_nonce);
    std::lock_guard<std::mutex> lock(p->run.lock);
    --job->write_drive->moves_off;
    job->final_drive->current_job = nullptr;
    job->job_state = JOB_DONE;
}

// Seconds per nonce of the computing on every thread, from the shortest batch that fills
// every lane of every thread once (0 when stopped).
double probe_computing(plotter_s* p) {
    const uint64_t lanes = cpu_family_lanes(cpu_family_resolve(p->config.cpu_family)) * cpu_thread_count(p->config.cpu_threads);
    const uint64_t group = std::max<uint64_t>(p->config.sector_nonces, 1);
    const uint64_t count = std::min((lanes + group - 1) / group * group, p->run.arena_nonces);
    plotter_carve_buffers(p, 1, count);
    const job_s* job = p->run.jobs.front();
    const double t0 = time_now();
    const uint64_t done = compute_batch_on_cpu(p, p->run.all_buffers.front(), job->account_id, job->start_nonce, count,
                                    p->config.sector_nonces);
    const double seconds = time_now() - t0;
    return done == count && count > 0 ? seconds / count : 0;
}

// Measures the computing and the drives the run writes, cuts the buffers into the layout the
// rates favour and logs which stage sets the pace. Before any job holds a buffer.
void pace_buffers(plotter_s* p) {
    std::vector<const drive_s*> drives;
    for (const job_s* job : p->run.jobs)
        if (std::find(drives.begin(), drives.end(), job->write_drive) == drives.end()) drives.push_back(job->write_drive);
    const uint32_t d = std::max<uint32_t>(1, std::min<uint32_t>(p->config.tasks, (uint32_t)drives.size()));
    const uint64_t arena = p->run.arena_nonces, largest = p->config.largest_file, group = p->config.sector_nonces;
    const pace_layout_s own = plotter_pace_own(arena, d, largest, group);
    const pace_layout_s spare = plotter_pace_spare(arena, d, largest, group);
    // The drives are measured together while the processors compute.
    std::function<double(const char*, uint64_t)> probe = p->seam.drive_probe;
    if (!probe) probe = plotter_pace_probe;
    std::vector<std::future<std::pair<double, double>>> probes;
    for (const drive_s* drive : drives)
        probes.push_back(std::async(std::launch::async, [drive, own, spare, probe] {
            return std::make_pair(probe(drive->path, own.capacity * SCOOP_SIZE),
                                  probe(drive->path, spare.capacity * SCOOP_SIZE));
        }));
    pace_rates_s rates;
    rates.nonce_seconds = probe_computing(p);
    bool measured = true;
    for (auto& probe : probes) {
        const std::pair<double, double> seconds = probe.get();
        measured = measured && seconds.first > 0 && seconds.second > 0;
        rates.own_row_seconds += seconds.first / drives.size();
        rates.spare_row_seconds += seconds.second / drives.size();
    }
    if (!measured) rates = {};
    const pace_plan_s plan = plotter_pace_choose(d, own, spare, rates);
    plotter_carve_buffers(p, plan.layout.buffers, plan.layout.capacity);
    p->config.own_buffers = !plan.layout.spare;
    p->run.pace_drives = d;
    p->run.pace_own = own;
    p->run.pace_spare = spare;
    p->run.pace_current = plan.layout;
    p->run.pace_next = {};
    p->run.pace_rates = rates;
    p->run.paced_nonces = 0;
    p->run.paced_seconds = 0;
    p->run.paced_row_seconds = 0;
    p->run.predicted_row_seconds = 0;
    p->run.pace_changes = 0;
    sys_log("%s", plotter_pace_text(plan).c_str());
}

}  // namespace

void plotter_work_thread(plotter_s* p) {
    if (p->config.pace && !p->run.jobs.empty() && !stopping(p)) pace_buffers(p);
    while (!stopping(p) && !p->run.jobs.empty()) {
        if (p->run.paused.load(std::memory_order_relaxed)) {
            sleep_ms(100);
            continue;
        }
        pace_change_when_idle(p);
        pass_s pass;
        pass.now = time_now();
        for (job_s* job : p->run.jobs) {
            visit(p, job, &pass);
            if (pass.ended) break;
        }
        if (pass.ended || pass.all_done) break;
        if (run_is_stuck(p, pass)) {
            p->run.stuck = true;
            fail_run(p);
            break;
        }
        if (!pass.computed) sleep_ms(p->config.concurrent ? 10 : 2);
    }
    end_run(p);
    sys_log("Work thread ended\n");
    const bool on_its_own = !stopping(p);
    p->run.finished = on_its_own;
    p->run.ended = true;
    if (on_its_own && p->seam.on_finished) p->seam.on_finished();
}
