// kestrune-cli bench -g P:D: nonce throughput of OpenCL devices, computing only (no disk),
// with the first batch checked against the scalar reference, and its progress on standard
// error while it runs.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "gpu/gpu.h"
#include "gpu/opencl.h"
#include "nonce/nonce.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "settings/settings.h"

namespace {

const char bench_gpu_help[] =
    "usage: kestrune-cli bench -g P:D [-g P:D...] [--gpu-nonces N] [--seconds S] [--csv]\n"
    "Measures nonces per minute on OpenCL devices (see 'kestrune-cli devices'), computing\n"
    "only. The first batch is compared with the CPU reference.\n"
    "  -g P:D       a device by platform and device index; repeat for several\n"
    "  --gpu-nonces N  nonces per device and pass, a multiple of 32 (also --nonces)\n"
    "               (default: as plotting would choose from the devices)\n"
    "  --seconds S  keep computing batches for at least S seconds (default 10)\n"
    "  --csv        print family,threads,nonces,seconds,nonces_per_min,gpu_nonces,limit\n";

constexpr uint64_t BENCH_ACCOUNT = 10282355196851764065ull;

struct bench_options_s {
    std::vector<gpu_pd_s> devices;  // the -g devices in order
    std::string family;             // "opencl:" and the devices joined by '+'
    uint64_t nonces = 0;            // nonces per device and pass; 0 = as plotting chooses
    double seconds = 10.0;          // least measuring time
    bool csv = false;               // CSV output
};

// Parses the options; returns -1 to go on, otherwise the exit status.
int parse_options(int argc, char** argv, bench_options_s* options) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (cli_is_help(arg)) {
            std::fputs(bench_gpu_help, stdout);
            return CLI_OK;
        } else if (std::strcmp(arg, "-g") == 0 || std::strcmp(arg, "--gpu") == 0) {
            gpu_pd_s pd;
            if (!has_value || !gpu_parse_pd(argv[i + 1], &pd))
                return cli_usage_error("bench", "-g needs a device as P:D, for example 0:0");
            options->family += (options->devices.empty() ? "opencl:" : "+") + std::string(argv[++i]);
            options->devices.push_back(pd);
        } else if (std::strcmp(arg, "--nonces") == 0 || std::strcmp(arg, "--gpu-nonces") == 0) {
            if (!has_value || !cli_parse_gpu_nonces(argv[i + 1], &options->nonces))
                return cli_usage_error("bench", std::string(arg) + " needs a multiple of 32 from 32 to " +
                                                    std::to_string(GPU_MAX_NONCES));
            ++i;
        } else if (std::strcmp(arg, "--seconds") == 0) {
            char* end = nullptr;
            options->seconds = has_value ? std::strtod(argv[i + 1], &end) : -1.0;
            if (!has_value || *end || !(options->seconds >= 0.0 && options->seconds <= 86400.0))
                return cli_usage_error("bench", "--seconds needs a number of seconds from 0 to 86400");
            ++i;
        } else if (std::strcmp(arg, "--csv") == 0) {
            options->csv = true;
        } else {
            return cli_usage_error("bench", std::string("unknown argument '") + arg + "'");
        }
    }
    if (options->devices.empty()) return cli_usage_error("bench", "needs at least one -g P:D");
    if (options->devices.size() > (size_t)GPU_MAX_SLOTS) return cli_usage_error("bench", "at most 8 devices");
    return -1;
}

// The per-device nonce count plotting would choose for these devices (the smallest of
// their plans), or the one given; 0 if a device is missing.
cli_gpu_plan_s planned_nonces(const std::vector<gpu_pd_s>& devices, uint64_t forced) {
    const auto all = gpu_list_all();
    cli_gpu_plan_s chosen;
    for (const auto& pd : devices) {
        const gpu_listed_s* found = gpu_find_pd(all, pd);
        if (!found) return cli_gpu_plan_s{};
        const cli_gpu_plan_s plan = cli_gpu_plan(found->desc, (uint32_t)devices.size(), forced);
        if (!chosen.nonces || plan.nonces < chosen.nonces) chosen = plan;
    }
    return chosen;
}

// Compares the whole batch, or 16 nonces spread over it including the first and last,
// with nonce_compute. Returns the batch index of the first mismatch, or -1.
int64_t verify_batch(const batch_buffer_s& batch, uint64_t start_nonce) {
    std::unique_ptr<uint8_t[]> expected(new uint8_t[PLOT_SIZE]);
    const uint64_t samples = std::min<uint64_t>(batch.capacity, 16);
    for (uint64_t i = 0; i < samples; ++i) {
        const uint64_t index = samples == batch.capacity ? i : i * (batch.capacity - 1) / (samples - 1);
        nonce_compute(BENCH_ACCOUNT, start_nonce + index, expected.get(), false);
        for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
            if (std::memcmp(batch.data + (s * batch.capacity + index) * SCOOP_SIZE,
                            expected.get() + s * SCOOP_SIZE, SCOOP_SIZE) != 0)
                return (int64_t)index;
    }
    return -1;
}

// One line of a phase's progress on standard error.
void show_progress(const char* phase, uint64_t done, uint64_t total, double seconds, bool tty, bool last) {
    const double rate = seconds > 0 ? done * 60.0 / seconds : 0.0;
    char line[160];
    std::snprintf(line, sizeof line, "  %s %5.1f%% of %llu nonces  %.0f s  %.0f nonces/min  ETA %s", phase,
                  total ? 100.0 * done / total : 100.0, (unsigned long long)total, seconds, rate,
                  rate > 0 ? fmt_duration((total - std::min(done, total)) * 60.0 / rate) : "unknown");
    if (tty)
        std::fprintf(stderr, "\r%-78s%s", line, last ? "\n" : "");
    else
        std::fprintf(stderr, "%s\n", line);
    std::fflush(stderr);
}

// Runs work (which counts its nonces in *done) on its own thread and shows its progress
// until it returns: redrawn in place on a terminal twice a second, otherwise a line every
// 10 s and at each quarter of the phase; a last line when it ends. Returns what work returns.
template <class F>
auto with_progress(const char* phase, const std::atomic<uint64_t>* done, uint64_t total, F work) {
    const bool tty = isatty(STDERR_FILENO) != 0;
    const double started = time_now();
    double shown = started;
    uint64_t quarters = 0;
    auto result = std::async(std::launch::async, work);
    while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        const double now = time_now();
        const uint64_t count = std::min(done->load(), total);
        const uint64_t quarter = total ? count * 4 / total : 0;
        if (now - shown < (tty ? 0.5 : 10.0) && (tty || quarter <= quarters || quarter >= 4)) continue;
        show_progress(phase, count, total, now - started, tty, false);
        shown = now;
        quarters = std::max(quarters, quarter);
    }
    show_progress(phase, std::min(done->load(), total), total, time_now() - started, tty, true);
    return result.get();
}

// Computes batches for at least the given time; false on a failure (already reported).
bool measure(gpu_s* gpu, batch_buffer_s* batch, double seconds, uint64_t* nonces, double* elapsed) {
    uint64_t start = 0;
    *nonces = 0;
    *elapsed = 0.0;
    do {
        const double t0 = time_now();
        const std::string phase = "batch " + std::to_string(start / batch->capacity + 1);
        const uint64_t done = with_progress(phase.c_str(), &batch->progress, batch->capacity, [gpu, start, batch] {
            return gpu_compute(gpu, BENCH_ACCOUNT, start, batch, nullptr);
        });
        if (done != batch->capacity) {
            std::fprintf(stderr, "kestrune-cli bench: the OpenCL computation failed\n");
            return false;
        }
        *elapsed += time_now() - t0;
        if (start == 0) {
            const int64_t bad = verify_batch(*batch, start);
            if (bad >= 0) {
                std::fprintf(stderr, "kestrune-cli bench: nonce %lld differs from the CPU reference\n",
                             (long long)bad);
                return false;
            }
        }
        start += batch->capacity;
        *nonces += batch->capacity;
    } while (*elapsed < seconds);
    return true;
}

}  // namespace

int cli_bench_gpu(int argc, char** argv) {
    bench_options_s options;
    const int parsed = parse_options(argc, argv, &options);
    if (parsed >= 0) return parsed;
    if (opencl_load() != 0) {
        std::fprintf(stderr, "kestrune-cli bench: no usable OpenCL library\n");
        return CLI_FAILED;
    }
    const cli_gpu_plan_s plan = planned_nonces(options.devices, options.nonces);
    const uint64_t nonces = plan.nonces;
    if (nonces < 32) {
        std::fprintf(stderr, "kestrune-cli bench: no such device, or too little device memory\n");
        return CLI_FAILED;
    }
    batch_buffer_s batch;
    // Two passes per batch, where the memory allows, so that the copy-out of one overlaps
    // the computing of the next as in plotting; the pinned read-back buffers take one more.
    const uint64_t pass = nonces * options.devices.size();
    batch.capacity = 3 * pass * PLOT_SIZE <= sys_total_ram() / 4 * 3 ? 2 * pass : pass;
    // A pass can take minutes (far longer on a CPU device): say what comes before it starts.
    std::fprintf(stderr, "%s: %llu nonces per device and pass (set by %s); a self-test pass, then batches of %llu "
                         "nonces for at least %g s\n",
                 options.family.c_str(), (unsigned long long)nonces, plan.limit, (unsigned long long)batch.capacity,
                 options.seconds);
    std::unique_ptr<gpu_s, void (*)(gpu_s*)> gpu(gpu_activate_pd(options.devices, nonces, cli_gpu_tuning()), gpu_release);
    double test_seconds = 0;
    std::atomic<uint64_t> tested{0};
    const auto test = [&] { return gpu_test(gpu.get(), &test_seconds, &tested); };
    if (!gpu || !with_progress("self-test", &tested, pass, test)) {
        std::fprintf(stderr, "kestrune-cli bench: the OpenCL devices could not be set up: %s\n",
                     gpu ? gpu_problem(gpu.get()).c_str() : "they could not be activated");
        return CLI_FAILED;
    }
    std::unique_ptr<uint8_t, void (*)(void*)> data(static_cast<uint8_t*>(sys_alloc(batch.capacity * PLOT_SIZE)),
                                                  sys_free);
    if (!data) {
        std::fprintf(stderr, "kestrune-cli bench: cannot allocate %s for the batch\n",
                     fmt_size_tmp(batch.capacity * PLOT_SIZE, true, ""));
        return CLI_FAILED;
    }
    batch.data = data.get();
    uint64_t done = 0;
    double elapsed = 0;
    if (!measure(gpu.get(), &batch, options.seconds, &done, &elapsed)) return CLI_FAILED;
    const double rate = elapsed > 0 ? done * 60.0 / elapsed : 0.0;
    if (options.csv) {
        std::printf("family,threads,nonces,seconds,nonces_per_min,gpu_nonces,limit\n");
        std::printf("%s,%zu,%llu,%.3f,%.0f,%llu,%s\n", options.family.c_str(), options.devices.size(),
                    (unsigned long long)done, elapsed, rate, (unsigned long long)nonces, plan.limit);
    } else {
        std::printf("%s: %llu nonces (%llu per device and pass, set by %s) in %.2f s: %.0f nonces/min\n",
                    options.family.c_str(), (unsigned long long)done, (unsigned long long)nonces, plan.limit,
                    elapsed, rate);
    }
    return CLI_OK;
}
