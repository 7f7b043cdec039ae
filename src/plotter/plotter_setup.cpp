// plotter_setup: sizing, GPU bring-up with its CPU fallback, the buffer pool, the logged
// run, and the start of the work thread.
#include <algorithm>

#include "gpu/gpu.h"
#include "nonce/cpu.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotter/plotter_gpu.h"
#include "plotter/plotter_setup.h"
#include "plotter/plotter_work.h"

namespace {

bool ask(plotter_s* plotter, const char* title, const char* text) {
    if (!plotter->seam.ask) {
        sys_log("%s: %s (no one to ask; answering no)\n", title, text);
        return false;
    }
    return plotter->seam.ask(title, text);
}

void tell(plotter_s* plotter, const char* title, const char* text) {
    if (plotter->seam.message)
        plotter->seam.message(title, text);
    else
        sys_log("%s: %s\n", title, text);
}

// Collects the GPUs of the mask and the limits that size their batches.
void gather_gpus(plotter_s* plotter, uint32_t gpu_mask, sizing_input_s* in) {
    plotter->config.gpu_mask = gpu_mask;
    plotter->config.gpus_used = 0;
    bool have_limits = false;
    for (uint32_t i = 0; i < 32 && plotter->config.gpus_used < 8; ++i) {
        if (!(gpu_mask & (1u << i))) continue;
        plotter->config.gpu_ids[plotter->config.gpus_used++] = i;
        const uint64_t mem = plotter->seam.gpu.global_mem ? plotter->seam.gpu.global_mem(i) : 0;
        const uint64_t alloc = plotter->seam.gpu.max_alloc ? plotter->seam.gpu.max_alloc(i) : 0;
        in->gpu_global_mem = have_limits ? std::min(in->gpu_global_mem, mem) : mem;
        in->gpu_max_alloc = have_limits ? std::min(in->gpu_max_alloc, alloc) : alloc;
        have_limits = true;
        const uint64_t own = plotter->seam.gpu.optimal_nonces ? plotter->seam.gpu.optimal_nonces(i) : 0;
        if (own) in->gpu_tuned_nonces = in->gpu_tuned_nonces ? std::min(in->gpu_tuned_nonces, own) : own;
    }
    in->gpu_count = plotter->config.gpus_used;
    in->gpu_forced = plotter->seam.gpu.forced_nonces != 0;
}

uint64_t writing_sector_size(plotter_s* plotter, uint64_t* largest_job) {
    uint64_t sector = 0;
    std::lock_guard<std::mutex> hold(plotter->run.lock);
    for (job_s* job : plotter->run.jobs) {
        sector = std::max(sector, job->write_drive->sector_size);
        *largest_job = std::max(*largest_job, job->nonce_count);
    }
    return sector;
}

}  // namespace

void plotter_log_setup(const sizing_s& cfg, int32_t cpu_threads) {
    if (cpu_threads > cpu_thread_count(cpu_threads) && (cfg.mode == PLOTTER_CPU_DIRECT || cfg.mode == PLOTTER_CPU_SSD))
        sys_log("%d CPU threads asked for; using %d, %d per processor.\n", (int)cpu_threads,
                cpu_thread_count(cpu_threads), (int)CPU_THREADS_PER_PROCESSOR);
    if (cfg.tasks >= 2) sys_log("Using max %d concurrent tasks.\n", (int)cfg.tasks);
    const unsigned long long batch = cfg.batch;
    switch (cfg.mode) {
    case PLOTTER_CPU_DIRECT:
        sys_log("%d CPU threads will be used (total %d detected)\n", cpu_thread_count(cpu_threads), cpu_count());
        sys_log("CPU direct mode with %llu nonces per batch\n", batch);
        break;
    case PLOTTER_CPU_SSD:
        sys_log("%d CPU threads will be used (total %d detected)\n", cpu_thread_count(cpu_threads), cpu_count());
        sys_log("CPU + SSD mode with %llu nonces per batch\n", batch);
        break;
    case PLOTTER_GPU_SSD: sys_log("GPU + SSD mode with %llu nonces per batch\n", batch); break;
    case PLOTTER_GPU_DIRECT:
        sys_log("GPU direct mode with %llu GPU nonces per batch and %llu buffer nonces\n",
                (unsigned long long)cfg.gpu_nonces, batch);
        break;
    }
    if (cfg.batch_raised)
        sys_log("  memory allows less than %llu nonces per buffer; using %llu\n", batch, batch);
}

namespace {

std::string nonces_text(uint64_t nonces) { return std::to_string(nonces) + " nonces per device and pass"; }

// Activates and tests the GPUs at `nonces`; the context, or none with why in *why.
gpu_s* try_gpus(plotter_s* plotter, uint64_t nonces, std::string* why) {
    sys_log("Attempting %d GPU with %s memory.\n", (int)plotter->config.gpus_used, fmt_size_tmp(nonces << 19, true, ""));
    const plotter_gpu_api_s& gpu = plotter->seam.gpu;
    gpu_s* ctx = gpu.activate(plotter->config.gpus_used, plotter->config.gpu_ids, nonces);
    if (!ctx) {
        *why = "the devices could not be activated";
        return nullptr;
    }
    sys_log("Testing GPU configuration ...\n");
    double seconds = 0;
    const bool ok = gpu.test && gpu.test(ctx, &seconds);
    sys_log("  test completed in %g seconds\n", seconds);
    if (ok) return ctx;
    *why = gpu.problem ? gpu.problem(ctx) : std::string();
    if (why->empty()) *why = gpu.test ? "the self-test failed" : "the GPUs cannot be tested";
    if (gpu.release) gpu.release(ctx);
    return nullptr;
}

// Activates and tests the GPUs, halving the nonce count after each failure down to the
// least that set-up takes. Returns the nonce count that works, or 0 with why in *why.
uint64_t bring_up_gpus(plotter_s* plotter, sizing_s* cfg, std::string* why) {
    uint64_t nonces = cfg->gpu_nonces;
    const uint64_t first = nonces, least = plotter_gpu_least_nonces(cfg->sector_nonces);
    if (nonces < least) {
        *why = ": " + nonces_text(nonces) + " are too few (the GPU path takes at least " + std::to_string(least) +
               "; a larger memory limit or GPU nonce count gives more)";
        return 0;
    }
    if (!plotter->seam.gpu.activate) {
        *why = ": this program has no GPU support";
        return 0;
    }
    for (;;) {
        std::string problem;
        plotter->run.gpu_ctx = try_gpus(plotter, nonces, &problem);
        if (plotter->run.gpu_ctx) break;
        *why = " at " + nonces_text(nonces) + ": " + problem;
        sys_log("  GPU set-up failed%s\n", why->c_str());
        const uint64_t next = std::max(gpu_cut_nonces(nonces / 2, cfg->sector_nonces), least);
        if (next >= nonces) return 0;
        nonces = next;
    }
    if (nonces != first && cfg->batch == first) {
        sys_log("  adjusting down to %llu\n", (unsigned long long)nonces);
        cfg->batch = nonces;
    }
    cfg->batch = plotter_gpu_batch_fit(cfg->batch, plotter->config.gpus_used, nonces);
    return nonces;
}

// The nonces the arena holds: the buffers sizing cut, or with pacing as much of the budget
// as one buffer per drive of the largest file could use.
uint64_t arena_nonces(const sizing_s& cfg, bool pace, uint64_t largest_file) {
    const uint64_t cut = cfg.batch * cfg.buffers;
    if (!pace || cfg.budget_nonces == 0) return cut;
    const uint64_t group = cfg.sector_nonces;
    const uint64_t useful = cfg.tasks * ((largest_file + group - 1) / group * group);
    return std::max(cut, std::min(cfg.budget_nonces, useful));
}

bool allocate_buffers(plotter_s* plotter, const sizing_s& cfg, uint64_t nonces) {
    plotter->run.arena = (uint8_t*)sys_alloc(nonces * PLOT_SIZE);
    if (!plotter->run.arena) {
        const char* text =
            "Error allocating enough memory for efficient processing. Try again setting a lower max RAM size.";
        tell(plotter, "Error", text);
        plotter->run.setup_failure = text;
        return false;
    }
    plotter->run.arena_nonces = nonces;
    plotter_carve_buffers(plotter, cfg.buffers, cfg.batch);
    return true;
}

}  // namespace

void plotter_log_run(plotter_s* plotter, const sizing_s& cfg) {
    sys_log("Plotting plan:\n");
    sys_log("  %s system RAM will be used by %d buffers\n",
            fmt_size_tmp(cfg.batch * cfg.buffers * PLOT_SIZE + (cfg.gpu_nonces << 19), true, ""), (int)cfg.buffers);
    if (plotter->config.gpus_used) sys_log("  %s GPU RAM will be used\n", fmt_size_tmp(cfg.gpu_nonces << 19, false, ""));
    uint64_t next = 0;
    std::lock_guard<std::mutex> hold(plotter->run.lock);
    for (job_s* job : plotter->run.jobs) {
        if (job->final_drive)
            sys_log("  %s (buffered through %s)\n", job_path(job, JOB_PATH_FINAL).c_str(), job->write_drive->path);
        else
            sys_log("  %s (written directly)\n", job_path(job, JOB_PATH_WRITTEN).c_str());
        next = job->start_nonce + job->nonce_count;
    }
    sys_log("If you run another instance at the same time and aren't using automatic nonce mode then start at nonce: %llu\n",
            (unsigned long long)next);
}

namespace {

// Clears what an ended run left (its thread, flags, buffers, GPU context and the failed marks
// of the drives), so that a new start, such as the retry after a drive came back, runs afresh.
void forget_last_run(plotter_s* plotter) {
    if (plotter->run.thread.joinable()) plotter->run.thread.join();
    plotter_run_s& run = plotter->run;
    run.stop = run.paused = run.keep_files = run.stuck = run.failed = run.ended = false;
    run.finished = false;
    run.gpu_failures = 0;
    plotter_free_buffers(plotter);
    if (run.gpu_ctx && plotter->seam.gpu.release) plotter->seam.gpu.release(run.gpu_ctx);
    run.gpu_ctx = nullptr;
    std::lock_guard<std::mutex> hold(run.lock);
    for (job_s* job : run.jobs)
        for (drive_s* drive : {job->write_drive, job->final_drive})
            if (drive) drive->failed = false;
}

}  // namespace

bool plotter_setup(plotter_s* plotter, const plotter_options_s& options, uint32_t ssd_count, uint32_t target_count) {
    if (plotter->run.thread.joinable() && !plotter->run.ended) return true;  // a run is in progress
    forget_last_run(plotter);
    plotter->run.setup_failure.clear();
    const uint64_t memory_limit = options.memory_limit;
    if (memory_limit) sys_log("Restricting memory usage to %s\n", fmt_size_tmp(memory_limit, true, ""));
    sizing_input_s in;
    gather_gpus(plotter, options.gpu_mask, &in);
    in.ssd_count = ssd_count;
    in.target_count = target_count;
    in.total_ram = sys_total_ram();
    in.memory_limit = memory_limit;
    in.sector_size = writing_sector_size(plotter, &in.largest_job);
    in.max_gpu_nonces = options.max_gpu_nonces > 0 ? (uint64_t)options.max_gpu_nonces : 0;
    sizing_s cfg = plotter_size(in);
    plotter->config.concurrent = cfg.concurrent;
    plotter->config.mode = cfg.mode;
    plotter->config.cpu_threads = options.cpu_threads;
    plotter->config.cpu_family = options.cpu_family;
    plotter_log_setup(cfg, options.cpu_threads);
    plotter_gpu_log_cut(in, cfg);
    UTIL_ASSERT(cfg.gpu_nonces % 32 == 0);
    if (plotter->config.gpus_used) {
        std::string why;
        cfg.gpu_nonces = bring_up_gpus(plotter, &cfg, &why);
        if (!plotter->run.gpu_ctx) {
            const std::string failure = "The GPU could not be set up" + why;
            sys_log("%s\n", failure.c_str());
            if (!ask(plotter, "Error initializing GPU", (failure + ". Fall back to using CPU?").c_str())) {
                plotter->run.setup_failure = failure;
                return false;
            }
            plotter->config.gpu_mask = 0;
            plotter->config.gpus_used = 0;
            cfg.gpu_nonces = 0;
            cfg.mode = ssd_count ? PLOTTER_CPU_SSD : PLOTTER_CPU_DIRECT;
            plotter->config.mode = cfg.mode;
            sys_log("Falling back to CPU.\n");
        }
    }
    // A failed earlier attempt keeps nothing pooled: its buffers may be larger than this one's.
    plotter_free_buffers(plotter);
    plotter->config.tasks = cfg.tasks;
    plotter->config.largest_file = in.largest_job;
    plotter->config.sector_nonces = cfg.sector_nonces;
    plotter->config.own_buffers = false;
    plotter->config.pace = options.pace && plotter->config.gpus_used == 0;
    if (!allocate_buffers(plotter, cfg, arena_nonces(cfg, plotter->config.pace, in.largest_job))) {
        plotter_free_buffers(plotter);
        if (plotter->run.gpu_ctx && plotter->seam.gpu.release) plotter->seam.gpu.release(plotter->run.gpu_ctx);
        plotter->run.gpu_ctx = nullptr;
        return false;
    }
    plotter_log_run(plotter, cfg);
    plotter->run.stop = false;
    plotter->run.finished = false;
    plotter->run.thread = std::thread(plotter_work_thread, plotter);
    return true;
}
