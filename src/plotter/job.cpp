// Jobs: creation, destruction and the paths of their files.

#include "platform/sys.h"
#include "plotfile/plotfile.h"
#include "plotter/drive.h"
#include "plotter/job.h"

job_s* job_create(drive_s* write_drive, drive_s* final_drive, uint64_t account_id, uint64_t start_nonce,
                  uint64_t nonce_count) {
    job_s* job = new job_s();
    job->write_drive = write_drive;
    job->final_drive = final_drive;
    job->account_id = account_id;
    job->start_nonce = start_nonce;
    job->nonce_count = nonce_count;
    return job;
}

void job_destroy(job_s* job) {
    if (!job) return;
    if (job->write_task.valid()) job->write_task.wait();
    if (job->move_task.valid()) job->move_task.wait();
    if (job->fd) sys_file_close(job->fd);
    delete job;
}

uint64_t job_nonces_computed(const job_s* job) {
    if (job->job_state.load(std::memory_order_relaxed) >= JOB_WRITTEN) return job->nonce_count;
    uint64_t done = job->nonces_done.load(std::memory_order_relaxed);
    if (job->job_state.load(std::memory_order_relaxed) == JOB_PLOTTING && job->compute_buffer)
        done += job->compute_buffer->progress.load(std::memory_order_relaxed);
    return done < job->nonce_count ? done : job->nonce_count;
}

const drive_s* job_failed_drive(const job_s* job) {
    const uint32_t state = job->job_state.load(std::memory_order_relaxed);
    if (state == JOB_WAITING && job->write_drive->failed) return job->write_drive;
    const bool to_move = state == JOB_WAITING || state == JOB_READY_TO_MOVE;
    if (to_move && job->final_drive && job->final_drive->failed) return job->final_drive;
    return nullptr;
}

bool job_lost(const job_s* job) {
    return job->job_state.load(std::memory_order_relaxed) == JOB_FAILED || job_failed_drive(job) != nullptr;
}

std::string job_path(const job_s* job, job_path_e place) {
    const drive_s* drive = place == JOB_PATH_FINAL && job->final_drive ? job->final_drive : job->write_drive;
    return plotfile_path(drive->path, job->account_id, job->start_nonce, job->nonce_count, job->poc2);
}
