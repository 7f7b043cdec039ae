// The plotter's link to the CPU workers (a single-threaded reference path until the
// multi-lane workers are linked in).
#include "plotter/plotter_cpu.h"

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "platform/util.h"

void plotter_cpu_batch(job_s* job, const std::atomic<bool>* stop) {
    batch_buffer_s* batch = job->compute_buffer;
    const uint64_t count = std::min(job->nonce_count - job->nonces_done, batch->capacity);
    job->compute_start = time_now();
    std::unique_ptr<uint8_t[]> nonce(new uint8_t[PLOT_SIZE]);
    for (uint64_t i = 0; i < count && !stop->load(std::memory_order_relaxed); ++i) {
        nonce_compute(job->account_id, job->start_nonce + job->nonces_done + i, nonce.get(), false);
        nonce_scatter(nonce.get(), batch, i);
        batch->progress.store(i + 1);
    }
}

int32_t plotter_cpu_threads() { return 1; }

int32_t plotter_cpu_total() { return (int32_t)std::max(1u, std::thread::hardware_concurrency()); }

bool plotter_cpu_set_family(const char* name) { return std::string(name) == "scalar"; }
