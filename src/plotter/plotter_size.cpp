// Memory and batch sizing: tasks, mode, batch size and GPU nonce count as arithmetic.
#include "plotter/plotter_size.h"

#include <algorithm>
#include <numeric>

#include "gpu/gpu.h"
#include "nonce/nonce.h"

namespace {

uint64_t round_up(uint64_t value, uint64_t group) { return (value + group - 1) / group * group; }

// Three quarters of a byte count rounded down once, without forming 3 x value.
uint64_t three_quarters(uint64_t value) { return value / 4 * 3 + value % 4 * 3 / 4; }

void size_tasks(const sizing_input_s& in, sizing_s* cfg) {
    if (in.ssd_count >= 2) {
        cfg->concurrent = true;
        cfg->tasks = in.ssd_count;
    } else if (in.ssd_count == 1) {
        cfg->concurrent = false;
        cfg->tasks = 1;
    } else {
        cfg->concurrent = in.target_count > 1;
        const int32_t by_memory = (int32_t)(in.total_ram >> 32);
        const int64_t tasks = std::min<int64_t>(by_memory, in.target_count);
        cfg->tasks = (uint32_t)std::max<int64_t>(1, tasks);
    }
}

uint64_t size_gpu_nonces(const sizing_input_s& in, const sizing_s& cfg, uint64_t budget) {
    gpu_sizing_s sizing;
    sizing.memory = budget;
    sizing.gpus = in.gpu_count;
    sizing.buffers = cfg.buffers;
    sizing.min_max_alloc = in.gpu_max_alloc;
    sizing.min_global_mem = in.gpu_global_mem;
    sizing.tuned = (int32_t)std::min<uint64_t>(in.gpu_tuned_nonces, INT32_MAX);
    sizing.max_setting = (int32_t)std::min<uint64_t>(in.max_gpu_nonces, INT32_MAX);
    sizing.sector_nonces = cfg.sector_nonces;
    return gpu_plan_nonces(sizing);
}

void size_gpu_direct(const sizing_input_s& in, sizing_s* cfg, uint64_t budget) {
    const uint64_t g = in.gpu_count, B = cfg->buffers;
    const uint64_t need = cfg->gpu_nonces * g * PLOT_SIZE;
    if (budget <= need * B) {
        const uint64_t batch = gpu_cut_nonces(budget / (g + B) / PLOT_SIZE, cfg->sector_nonces);
        // G must stay a multiple of 32 for the kernels, and the batch a whole number of passes.
        cfg->gpu_nonces = gpu_cut_nonces(batch / g, cfg->sector_nonces);
        cfg->batch = g * cfg->gpu_nonces;
    } else {
        const uint64_t per_buffer = (budget - need) / B;
        cfg->gpu_nonces = gpu_cut_nonces(std::min(per_buffer / PLOT_SIZE, cfg->gpu_nonces), 0);
        const uint64_t n = nonce_cut_to(per_buffer / PLOT_SIZE, cfg->sector_nonces);
        cfg->batch = plotter_gpu_batch_fit(n, in.gpu_count, cfg->gpu_nonces);
    }
}

}  // namespace

uint64_t plotter_file_batch(uint64_t file_nonces, uint64_t capacity, uint64_t sector_nonces) {
    const uint64_t group = std::max<uint64_t>(sector_nonces, 1);
    const uint64_t share = round_up((file_nonces + PLOTTER_MIN_BATCHES - 1) / PLOTTER_MIN_BATCHES, group);
    return std::min(capacity, share);
}

uint64_t plotter_even_batch(uint64_t file_nonces, uint64_t capacity, uint64_t sector_nonces) {
    const uint64_t group = std::max<uint64_t>(sector_nonces, 1);
    if (capacity == 0 || file_nonces == 0) return capacity;
    const uint64_t pieces = (file_nonces + capacity - 1) / capacity;
    return std::min(capacity, round_up((file_nonces + pieces - 1) / pieces, group));
}

uint64_t plotter_gpu_least_nonces(uint64_t sector_nonces) {
    return round_up(PLOTTER_GPU_MIN_NONCES, std::lcm<uint64_t>(32, std::max<uint64_t>(sector_nonces, 1)));
}

uint64_t plotter_gpu_batch_fit(uint64_t batch, uint32_t gpu_count, uint64_t gpu_nonces) {
    const uint64_t pass = (uint64_t)gpu_count * gpu_nonces;
    if (pass == 0) return batch;
    return batch < pass ? pass : batch - batch % pass;
}

sizing_s plotter_size(const sizing_input_s& in) {
    sizing_s cfg;
    size_tasks(in, &cfg);
    const bool ssd = in.ssd_count > 0;
    const uint64_t memory = in.memory_limit ? in.memory_limit : in.total_ram;
    cfg.sector_nonces = std::max<uint64_t>(in.sector_size, 256) / SCOOP_SIZE;
    cfg.buffers = 2 * cfg.tasks;
    if (in.gpu_count == 0) {
        cfg.mode = ssd ? PLOTTER_CPU_SSD : PLOTTER_CPU_DIRECT;
        const uint64_t budget = std::min(memory, ssd ? in.total_ram / 2 : three_quarters(in.total_ram));
        cfg.batch = nonce_cut_to(budget / cfg.buffers / PLOT_SIZE, cfg.sector_nonces);
        cfg.budget_nonces = nonce_cut_to(budget / PLOT_SIZE, cfg.sector_nonces);
        // No larger than the largest file's batch: more would only hold memory nobody fills.
        if (in.largest_job) cfg.batch = plotter_file_batch(in.largest_job, cfg.batch, cfg.sector_nonces);
    } else {
        cfg.mode = ssd ? PLOTTER_GPU_SSD : PLOTTER_GPU_DIRECT;
        const uint64_t budget = std::min(memory, three_quarters(in.total_ram));
        cfg.gpu_nonces = size_gpu_nonces(in, cfg, budget);
        // A pass of at most a quarter of the largest file, so that it is written in four batches
        // or more, unless the user gave the size; but never fewer nonces than set-up takes: a
        // small file is then written from fewer, or only one, batches.
        const uint64_t files = in.gpu_forced ? 1 : PLOTTER_MIN_BATCHES;
        const uint64_t share = (in.largest_job + files * in.gpu_count - 1) / (files * in.gpu_count);
        const uint64_t least = plotter_gpu_least_nonces(cfg.sector_nonces);
        if (in.largest_job)
            cfg.gpu_nonces = std::min(
                cfg.gpu_nonces, std::max(round_up(share, std::max<uint64_t>(32, cfg.sector_nonces)), least));
        if (ssd)
            cfg.batch = in.gpu_count * cfg.gpu_nonces;
        else
            size_gpu_direct(in, &cfg, budget);
    }
    const uint64_t pass = in.gpu_count && cfg.gpu_nonces ? in.gpu_count * cfg.gpu_nonces : cfg.sector_nonces;
    if (in.largest_job && in.gpu_count) cfg.batch = plotter_file_batch(in.largest_job, cfg.batch, pass);
    if (cfg.batch == 0) {
        // Less memory than one sector group per buffer: a batch of 0 nonces would never finish.
        cfg.batch = cfg.sector_nonces;
        cfg.batch_raised = true;
    }
    return cfg;
}
