// The plotter record and its small operations, and rebuilding its jobs from a plan.
#include "plotter/plotter.h"

#include "platform/sys.h"

plotter_s* plotter_create() {
    plotter_s* plotter = new plotter_s();
    plotter->seam.gpu = plotter_gpu_default();
    return plotter;
}

void plotter_destroy(plotter_s* plotter) {
    if (!plotter) return;
    if (plotter->run.thread.joinable()) plotter_stop(plotter, plotter->run.keep_files.load());
    plotter_clear_jobs(plotter);
    plotter_free_buffers(plotter);
    if (plotter->run.gpu_ctx && plotter->seam.gpu.release) plotter->seam.gpu.release(plotter->run.gpu_ctx);
    delete plotter;
}

void plotter_free_buffers(plotter_s* plotter) {
    for (batch_buffer_s* buffer : plotter->run.all_buffers) delete buffer;
    plotter->run.all_buffers.clear();
    plotter->run.free_buffers.clear();
    sys_free(plotter->run.arena);
    plotter->run.arena = nullptr;
    plotter->run.arena_nonces = 0;
}

void plotter_carve_buffers(plotter_s* plotter, uint32_t count, uint64_t capacity) {
    for (batch_buffer_s* buffer : plotter->run.all_buffers) delete buffer;
    plotter->run.all_buffers.clear();
    plotter->run.free_buffers.clear();
    plotter->config.buffer_nonces = capacity;
    for (uint32_t i = 0; i < count && (i + 1) * capacity <= plotter->run.arena_nonces; ++i) {
        batch_buffer_s* buffer = new batch_buffer_s();
        buffer->capacity = capacity;
        buffer->data = plotter->run.arena + i * capacity * PLOT_SIZE;
        plotter->run.all_buffers.push_back(buffer);
        plotter->run.free_buffers.push_back(buffer);
    }
}

void plotter_set_on_finished(plotter_s* plotter, std::function<void()> on_finished) {
    plotter->seam.on_finished = std::move(on_finished);
}

void plotter_set_on_failure(plotter_s* plotter, std::function<void(const std::string& text)> on_failure) {
    plotter->seam.on_failure = std::move(on_failure);
}

void plotter_set_asker(plotter_s* plotter, plotter_asker ask) { plotter->seam.ask = std::move(ask); }
void plotter_set_message(plotter_s* plotter, plotter_message_fn message) { plotter->seam.message = std::move(message); }
void plotter_set_gpu_api(plotter_s* plotter, plotter_gpu_api_s api) { plotter->seam.gpu = std::move(api); }

void plotter_add_job(plotter_s* plotter, job_s* job) {
    std::lock_guard<std::mutex> hold(plotter->run.lock);
    plotter->run.jobs.push_back(job);
}

void plotter_clear_jobs(plotter_s* plotter) {
    std::lock_guard<std::mutex> hold(plotter->run.lock);
    for (job_s* job : plotter->run.jobs) job_destroy(job);
    plotter->run.jobs.clear();
    plotter->config.concurrent = false;
}

uint64_t plotter_job_count(plotter_s* plotter) {
    if (!plotter) return 0;
    std::lock_guard<std::mutex> hold(plotter->run.lock);
    return plotter->run.jobs.size();
}

void plotter_for_each_job(plotter_s* plotter, const std::function<bool(job_s*)>& callback) {
    std::lock_guard<std::mutex> hold(plotter->run.lock);
    for (job_s* job : plotter->run.jobs)
        if (!callback(job)) break;
}

bool plotter_running(plotter_s* plotter) { return plotter->run.thread.joinable() && !plotter->run.finished; }
bool plotter_finished(plotter_s* plotter) { return plotter->run.finished; }
bool plotter_paused(plotter_s* plotter) { return plotter->run.paused.load(std::memory_order_relaxed); }
void plotter_toggle_pause(plotter_s* plotter) { plotter->run.paused = !plotter->run.paused.load(); }

void plotter_stop(plotter_s* plotter, bool keep_files) {
    if (!plotter->run.thread.joinable()) return;
    plotter->run.keep_files = keep_files;
    plotter->run.stop = true;
    plotter->run.thread.join();
}

void plotter_wait(plotter_s* plotter) {
    if (plotter->run.thread.joinable()) plotter->run.thread.join();
}

plan_result_s plotter_plan(plotter_s* plotter, plots_s* plots, const plan_input_s& input) {
    if (!plotter) return plan_result_s();
    plotter_clear_jobs(plotter);
    plan_result_s plan = plan_compute(plots, input);
    for (const plan_job_s& p : plan.jobs) {
        job_s* job = job_create(p.write_drive, p.final_drive, input.account_id, p.start, p.count);
        job->poc2 = p.poc2;
        plotter_add_job(plotter, job);
    }
    return plan;
}
