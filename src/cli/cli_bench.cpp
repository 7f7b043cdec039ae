// kestrune-cli bench: nonces per minute of every CPU hash family (form), computed into a
// batch buffer in memory (no disk), on one thread and on all plotting threads, with the
// processor's vector-add latency and the form the plotter picks; with --plot, a whole plot
// file written through the plotter beside the compute-only rate.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "nonce/nonce.h"
#include "nonce/cpu.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotter/plotter.h"
#include "plotter/plotter_setup.h"
#include "settings/settings.h"

namespace {

const char bench_help[] =
    "usage: kestrune-cli bench [--family NAME] [--cpu THREADS] [--seconds S] [--csv] [-g ...]\n"
    "       kestrune-cli bench --plot DIR [--nonces N] [--mem GiB] [--poc2] [--family NAME] [--cpu THREADS]\n"
    "Measures nonces per minute of the scalar path and of every hash family this\n"
    "processor supports, on one thread and on all plotting threads, without disk I/O,\n"
    "then the plotter's own choice ('best', timed on first use); '*' marks the family it\n"
    "chose. Also prints the latency of a dependent vector add in processor cycles and\n"
    "each family's cycles per 16-lane block.\n"
    "  --family NAME   only this family: scalar, sse4, avx, avx2, avx512, avx512x2 or\n"
    "                  avx512x4\n"
    "  --cpu THREADS   the 'all threads' count (default: the plotting thread count)\n"
    "  --seconds S     time per measurement (default 2)\n"
    "  --csv           one line per measurement: family,threads,nonces,seconds,nonces_per_min\n"
    "  -g P:D ...      benchmark OpenCL devices instead (kestrune-cli bench -g 0:0 --help)\n"
    "  --plot DIR      plot one file of --nonces (default 2048) into DIR through the plotter,\n"
    "                  print its end-to-end rate beside the compute-only rate of the same\n"
    "                  family and threads, then delete the file; --mem limits the buffers\n"
    "                  like plot -m, --poc2 writes a PoC2 file\n";

constexpr uint64_t MAX_BATCH_NONCES = 512;  // 128 MiB of batch buffer at most
constexpr uint64_t BENCH_ACCOUNT = 7900104405094198526ull;

struct bench_options_s {
    std::vector<cpu_family_e> families;  // families to measure, scalar first
    int32_t threads = 0;                 // the "all threads" count
    double seconds = 2.0;                // time per measurement
    bool csv = false;                    // machine-readable output
    const char* plot_folder = nullptr;   // --plot: folder to plot a file into
    uint64_t plot_nonces = 2048;         // --nonces: nonces of that file
    uint64_t plot_memory = 0;            // --mem in bytes; 0 = the plotter's default
    bool plot_poc2 = false;              // --poc2
};

struct bench_result_s {
    cpu_family_e family;      // family measured
    int32_t threads;          // worker threads
    uint64_t nonces;          // nonces computed
    double seconds;           // time they took
    double cpu_seconds = 0;   // processor time they took, all threads
    double per_minute() const { return seconds > 0 ? nonces * 60.0 / seconds : 0; }
    // Processor time per nonce counts only while this process ran, so other work on the
    // machine disturbs it far less than the rate.
    double cpu_ms() const { return nonces ? cpu_seconds * 1e3 / nonces : 0; }
};

// Processor seconds this process has used, all threads, user and system.
double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One family and thread count being measured: batches of whole groups per worker, the
// first (one group per worker) also sizing the later ones to about a quarter second.
struct bench_run_s {
    bench_result_s result;   // family, threads and what was measured so far
    uint64_t batch = 0;      // nonces per later batch; 0 until sized
    uint64_t next_nonce = 0; // nonce number of the next batch's first nonce
};

// One batch of the run into `storage` (MAX_BATCH_NONCES nonces or the first batch's size).
void bench_step(bench_run_s* run, std::unique_ptr<uint8_t[]>* storage, uint64_t* storage_nonces) {
    const uint64_t group = (uint64_t)run->result.threads * cpu_family_lanes(run->result.family);
    const uint64_t count = run->batch ? run->batch : group;
    if (count > *storage_nonces) {
        storage->reset();
        storage->reset(new uint8_t[count * PLOT_SIZE]);
        *storage_nonces = count;
    }
    batch_buffer_s batch;
    batch.capacity = count;
    batch.data = storage->get();
    const double t0 = time_now(), cpu0 = process_cpu_seconds();
    const uint64_t done = cpu_plot_batch(&batch, BENCH_ACCOUNT, run->next_nonce, count, run->result.family,
                                         run->result.threads, 0, nullptr, &batch.progress);
    const double seconds = time_now() - t0;
    run->next_nonce += done;
    if (run->batch) {
        run->result.nonces += done;
        run->result.seconds += seconds;
        run->result.cpu_seconds += process_cpu_seconds() - cpu0;
        return;
    }
    uint64_t groups = seconds > 0 ? (uint64_t)(0.25 / seconds) : 8;
    groups = std::max<uint64_t>(std::min(groups, MAX_BATCH_NONCES / group), 1);
    run->batch = groups * group;
}

// Measures every run for `seconds` each, one batch of each in turn, so that a load that
// comes or goes while they run meets all of them alike.
void bench_measure_all(std::vector<bench_run_s>* runs, double seconds) {
    std::unique_ptr<uint8_t[]> storage;
    uint64_t storage_nonces = 0;
    bool more = true;
    while (more) {
        more = false;
        for (bench_run_s& run : *runs) {
            if (run.batch && run.result.seconds >= seconds) continue;
            bench_step(&run, &storage, &storage_nonces);
            more = true;
        }
    }
}

bench_result_s bench_measure(cpu_family_e family, int32_t threads, double seconds) {
    std::vector<bench_run_s> runs{{{family, threads, 0, 0}}};
    bench_measure_all(&runs, seconds);
    return runs.front().result;
}

// Processor clock and vector-add latency from dependent chains. A chain of scalar adds
// takes one cycle per add on every x86-64 core, so a vector chain's time over the scalar
// chain's is the vector latency in cycles whatever the clock; the shortest of many short
// bursts counts, as the one least disturbed by other work.
struct bench_clock_s {
    double core_hz = 0;         // processor cycles per second
    double add_latency = 0;     // cycles per dependent vector add
    const char* vector = "";    // the instruction and register width measured
};

#define BENCH_X8(op) op op op op op op op op
constexpr long CHAIN_LOOPS = 4000;  // 8 dependent operations each

// The shortest time of each chain over bursts taken in turn, so that a change of clock
// or load meets both chains alike.
template <class F, class G>
void chain_seconds(F scalar_chain, G vector_chain, double* scalar, double* vector) {
    const auto seconds = [](auto chain) {
        const auto t0 = std::chrono::steady_clock::now();
        chain();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    *scalar = *vector = 0;
    for (int burst = 0; burst < 400; ++burst) {
        const double s = seconds(scalar_chain), v = seconds(vector_chain);
        if (*scalar == 0 || s < *scalar) *scalar = s;
        if (*vector == 0 || v < *vector) *vector = v;
    }
}

// The widest vector add the processor has; the instructions run only when it has them.
bench_clock_s bench_measure_clock() {
    const uint32_t f = cpu_features();
    bench_clock_s clock;
    const auto scalar_chain = [] {
        long x = 0;
        for (long i = 0; i < CHAIN_LOOPS; ++i) __asm__ volatile(BENCH_X8("add $1, %0\n\t") : "+r"(x));
    };
    double scalar = 0, vector = 0;
    if (f & CPU_AVX512F) {
        clock.vector = "vpaddd zmm";
        chain_seconds(scalar_chain, [] {
            for (long i = 0; i < CHAIN_LOOPS; ++i)
                __asm__ volatile(BENCH_X8("vpaddd %%zmm0, %%zmm0, %%zmm0\n\t") ::: "xmm0");
            __asm__ volatile("vzeroupper" ::: "xmm0");
        }, &scalar, &vector);
    } else if (f & CPU_AVX2) {
        clock.vector = "vpaddd ymm";
        chain_seconds(scalar_chain, [] {
            for (long i = 0; i < CHAIN_LOOPS; ++i)
                __asm__ volatile(BENCH_X8("vpaddd %%ymm0, %%ymm0, %%ymm0\n\t") ::: "xmm0");
            __asm__ volatile("vzeroupper" ::: "xmm0");
        }, &scalar, &vector);
    } else if (f & CPU_AVX) {
        clock.vector = "vpaddd xmm";
        chain_seconds(scalar_chain, [] {
            for (long i = 0; i < CHAIN_LOOPS; ++i)
                __asm__ volatile(BENCH_X8("vpaddd %%xmm0, %%xmm0, %%xmm0\n\t") ::: "xmm0");
        }, &scalar, &vector);
    } else {
        clock.vector = "paddd xmm";
        chain_seconds(scalar_chain, [] {
            for (long i = 0; i < CHAIN_LOOPS; ++i) __asm__ volatile(BENCH_X8("paddd %%xmm0, %%xmm0\n\t") ::: "xmm0");
        }, &scalar, &vector);
    }
    clock.core_hz = scalar > 0 ? 8.0 * CHAIN_LOOPS / scalar : 0;
    clock.add_latency = scalar > 0 ? vector / scalar : 0;
    return clock;
}

// Lane blocks one nonce costs (the re-initialisations are copies, not blocks).
constexpr double BLOCKS_PER_NONCE = 556996;

void print_table(const std::vector<bench_result_s>& results, const bench_clock_s& clock) {
    char brand[64];
    cpu_brand_string(sizeof brand, brand);
    brand[sizeof brand - 1] = 0;
    const cpu_family_e chosen = cpu_family_resolve(CPU_FAMILY_BEST);
    const cpu_form_times_s& times = cpu_form_times();
    std::printf("CPU: %s (%d processors), about %.2f GHz\n", brand, cpu_count(), clock.core_hz / 1e9);
    std::printf("dependent %s chain: %.2f cycles per add\n", clock.vector, clock.add_latency);
    std::printf("families timed for the choice in %.1f ms; '*' marks the one chosen\n", times.seconds_spent * 1e3);
    std::printf("%-10s %8s %10s %14s %9s %13s %12s %12s\n", "family", "threads", "nonces", "nonces/min", "speed-up",
                "cpu ms/nonce", "cyc/blk kern", "cyc/blk all");
    for (const auto& r : results) {
        const bench_result_s* scalar = nullptr;
        for (const auto& s : results)
            if (s.family == CPU_FAMILY_SCALAR && s.threads == r.threads) scalar = &s;
        char speedup[32] = "-", kernel[32] = "-", whole[32] = "-";
        if (scalar && scalar->per_minute() > 0)
            std::snprintf(speedup, sizeof speedup, "%.2fx", r.per_minute() / scalar->per_minute());
        // Cycles per 16-lane block: of the compression alone as timed for the choice, and of
        // whole nonces by processor time (message rows, digests' last blocks and scatter included).
        const cpu_family_e f = r.family == CPU_FAMILY_BEST ? chosen : r.family;
        if (times.seconds_per_block[f] > 0)
            std::snprintf(kernel, sizeof kernel, "%.0f", times.seconds_per_block[f] * 16 * clock.core_hz);
        if (r.cpu_ms() > 0)
            std::snprintf(whole, sizeof whole, "%.0f", r.cpu_ms() / 1e3 / BLOCKS_PER_NONCE * 16 * clock.core_hz);
        std::string name = r.family == CPU_FAMILY_BEST ? "best" : cpu_family_name(f);
        if (r.family == chosen) name += " *";
        std::printf("%-10s %8d %10llu %14.0f %9s %13.2f %12s %12s\n", name.c_str(), r.threads,
                    (unsigned long long)r.nonces, r.per_minute(), speedup, r.cpu_ms(), kernel, whole);
    }
    // The plotter's own choice against the fastest family forced, at each thread count: by
    // rate, and by processor time per nonce.
    for (const auto& r : results) {
        if (r.family != CPU_FAMILY_BEST) continue;
        const bench_result_s *fastest = nullptr, *leanest = nullptr;
        for (const auto& s : results) {
            if (s.family == CPU_FAMILY_BEST || s.threads != r.threads) continue;
            if (!fastest || s.per_minute() > fastest->per_minute()) fastest = &s;
            if (s.cpu_ms() > 0 && (!leanest || s.cpu_ms() < leanest->cpu_ms())) leanest = &s;
        }
        if (fastest && fastest->per_minute() > 0)
            std::printf("best (%s), %d threads: %.1f%% of the rate of the fastest forced family (%s)\n",
                        cpu_family_name(chosen), r.threads, 100 * r.per_minute() / fastest->per_minute(),
                        cpu_family_name(fastest->family));
        if (leanest && r.cpu_ms() > 0)
            std::printf("best (%s), %d threads: %.1f%% of the processor time per nonce of the leanest (%s)\n",
                        cpu_family_name(chosen), r.threads, 100 * r.cpu_ms() / leanest->cpu_ms(),
                        cpu_family_name(leanest->family));
    }
}

void print_csv(const std::vector<bench_result_s>& results) {
    std::printf("family,threads,nonces,seconds,nonces_per_min\n");
    for (const auto& r : results)
        std::printf("%s,%d,%llu,%.3f,%.1f\n", cpu_family_name(r.family), r.threads, (unsigned long long)r.nonces,
                    r.seconds, r.per_minute());
}

// Parses the options; returns CLI_OK to go on, or the status to end with.
int bench_parse(int argc, char** argv, bench_options_s* options, bool* done) {
    *done = false;
    cpu_family_e only = CPU_FAMILY_BEST;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t number = 0;
        if (cli_is_help(arg)) {
            std::fputs(bench_help, stdout);
            *done = true;
            return CLI_OK;
        } else if (std::strcmp(arg, "--csv") == 0) {
            options->csv = true;
        } else if (std::strcmp(arg, "--poc2") == 0) {
            options->plot_poc2 = true;
        } else if (std::strcmp(arg, "--plot") == 0) {
            if (!value) return cli_usage_error("bench", "--plot needs a folder");
            options->plot_folder = value;
            ++i;
        } else if (std::strcmp(arg, "--nonces") == 0) {
            if (!value || !cli_parse_u64(value, &number) || number < 1 || number > (1ull << 24))
                return cli_usage_error("bench", "--nonces needs a count from 1 to 16777216");
            options->plot_nonces = number;
            ++i;
        } else if (std::strcmp(arg, "--mem") == 0) {
            char* end = nullptr;
            const double gib = value ? std::strtod(value, &end) : 0;
            if (!value || *end || !(gib > 0 && gib <= 1 << 20))
                return cli_usage_error("bench", "--mem needs a size in GiB above 0");
            options->plot_memory = (uint64_t)(gib * 1073741824.0);
            ++i;
        } else if (std::strcmp(arg, "--family") == 0) {
            if (!value || !cpu_family_parse(value, &only))
                return cli_usage_error("bench", "--family needs one of scalar, sse4, avx, avx2, avx512, avx512x2, "
                                                "avx512x4");
            ++i;
        } else if (std::strcmp(arg, "--cpu") == 0) {
            if (!value || !cli_parse_u64(value, &number) || number < 1 || number > 4096)
                return cli_usage_error("bench", "--cpu needs a thread count from 1 to 4096");
            options->threads = (int32_t)number;
            ++i;
        } else if (std::strcmp(arg, "--seconds") == 0) {
            char* end = nullptr;
            const double seconds = value ? std::strtod(value, &end) : 0;
            if (!value || *end || !(seconds > 0 && seconds <= 3600))
                return cli_usage_error("bench", "--seconds needs a time above 0 and at most 3600");
            options->seconds = seconds;
            ++i;
        } else {
            return cli_usage_error("bench", std::string("unknown option '") + arg + "'");
        }
    }
    if (!options->plot_folder && (options->plot_poc2 || options->plot_memory || options->plot_nonces != 2048))
        return cli_usage_error("bench", "--nonces, --mem and --poc2 go with --plot");
    if (only != CPU_FAMILY_BEST) {
        if (!cpu_family_available(only)) {
            std::fprintf(stderr, "kestrune-cli bench: this processor does not support the %s family\n",
                         cpu_family_name(only));
            *done = true;
            return CLI_FAILED;
        }
        options->families = {only};
    } else if (options->plot_folder) {
        options->families = {cpu_family_resolve(CPU_FAMILY_BEST)};
    } else {
        for (int f = CPU_FAMILY_SCALAR; f < CPU_FAMILY_COUNT; ++f)
            if (cpu_family_available((cpu_family_e)f)) options->families.push_back((cpu_family_e)f);
        options->families.push_back(CPU_FAMILY_BEST);
    }
    return CLI_OK;
}

volatile sig_atomic_t interrupted = 0;

void on_signal(int) { interrupted = 1; }

// Plots one file through the plotter as a plot run would (on `threads` CPU threads) and
// returns the seconds from setup until the file is complete, or a negative value
// when the run failed. The file is deleted afterwards; a file of that name that is already
// there is never touched.
double plot_file_seconds(const bench_options_s& options, cpu_family_e family, int32_t threads) {
    drive_s drive;
    if (!drive_init(&drive, options.plot_folder, false)) return -1;
    // A start nonce from the clock keeps two benches in one folder apart.
    const uint64_t start = (uint64_t)std::chrono::system_clock::now().time_since_epoch().count() & 0xffffffffffull;
    job_s* job = job_create(&drive, nullptr, BENCH_ACCOUNT, start, options.plot_nonces);
    job->poc2 = options.plot_poc2;
    const std::string path = job_path(job, JOB_PATH_WRITTEN);
    if (sys_file_exists(path.c_str()) || sys_file_exists((path + ".plotting").c_str())) {
        std::fprintf(stderr, "kestrune-cli bench: %s already exists; not touching it\n", path.c_str());
        job_destroy(job);
        return -1;
    }
    plotter_s* plotter = plotter_create();
    plotter_set_message(plotter, cli_print_message);
    plotter_add_job(plotter, job);
    const double t0 = time_now();
    double seconds = -1;
    // Ctrl-C stops the run and deletes the unfinished file instead of leaving it behind.
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    if (plotter_setup(plotter, {0, options.plot_memory, 0, threads, family, true}, 0, 1)) {
        while (!plotter->run.ended && !interrupted) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (interrupted) plotter_stop(plotter, false);
        plotter_wait(plotter);
        if (job->job_state == JOB_DONE) seconds = time_now() - t0;
    }
    plotter_destroy(plotter);
    sys_file_delete(path.c_str());
    sys_file_delete((path + ".plotting").c_str());
    return seconds;
}


// Compute-only before and after the plot, so that a load that comes or goes meanwhile
// shows as a spread instead of skewing the ratio.
int bench_plot(const bench_options_s& options, int32_t threads) {
    const cpu_family_e family = options.families.front();
    double cpu0 = process_cpu_seconds();
    const bench_result_s before = bench_measure(family, threads, options.seconds);
    const double compute_cpu = process_cpu_seconds() - cpu0;
    cpu0 = process_cpu_seconds();
    const double seconds = plot_file_seconds(options, family, threads);
    const double plot_cpu = process_cpu_seconds() - cpu0;
    if (interrupted) return CLI_FAILED;
    const bench_result_s after = bench_measure(family, threads, options.seconds);
    if (seconds <= 0) {
        std::fprintf(stderr, "kestrune-cli bench: plotting into %s failed (%s)\n", options.plot_folder, cli_log_hint());
        return CLI_FAILED;
    }
    const double compute = (before.per_minute() + after.per_minute()) / 2;
    const double plotted = options.plot_nonces * 60.0 / seconds;
    std::printf("%s, %d threads, %llu nonces into %s%s\n", cpu_family_name(family), threads,
                (unsigned long long)options.plot_nonces, options.plot_folder, options.plot_poc2 ? " (PoC2)" : "");
    std::printf("compute only %14.0f nonces/min (%.0f before, %.0f after)\n", compute, before.per_minute(),
                after.per_minute());
    std::printf("end to end   %14.0f nonces/min in %.1f s: %.3f of compute only\n", plotted, seconds,
                compute > 0 ? plotted / compute : 0);
    // Processor time per nonce depends less on other load than the rates above do; the
    // difference is what writing costs this process (the kernel's own flushing not counted).
    const double compute_ms = before.nonces ? compute_cpu * 1e3 / before.nonces : 0;
    const double plot_ms = plot_cpu * 1e3 / options.plot_nonces;
    std::printf("cpu time     %14.2f ms/nonce end to end, %.2f ms/nonce compute only (%.3f)\n", plot_ms,
                compute_ms, plot_ms > 0 ? compute_ms / plot_ms : 0);
    return CLI_OK;
}

}  // namespace

int cli_bench(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-g") == 0) return cli_bench_gpu(argc, argv);
    }
    bench_options_s options;
    bool done = false;
    const int status = bench_parse(argc, argv, &options, &done);
    if (done || status != CLI_OK) return status;

    const int32_t all = options.threads > 0 ? options.threads : cpu_thread_count(cpu_threads);
    // The first batch holds one group per thread; refuse what would not fit in memory
    // rather than be ended by the system halfway through.
    uint64_t widest = 1;
    for (cpu_family_e family : options.families) widest = std::max<uint64_t>(widest, cpu_family_lanes(family));
    const uint64_t batch_bytes = (uint64_t)all * widest * PLOT_SIZE;
    if (batch_bytes > sys_total_ram() / 2) {
        std::fprintf(stderr, "kestrune-cli bench: %d threads need %s for one batch; this machine has %s\n", all,
                     fmt_size_tmp(batch_bytes, true, ""), fmt_size_tmp(sys_total_ram(), true, ""));
        return CLI_FAILED;
    }
    if (options.plot_folder) return bench_plot(options, all);
    std::vector<bench_run_s> runs;
    for (cpu_family_e family : options.families) {
        runs.push_back({{family, 1, 0, 0}});
        if (all > 1) runs.push_back({{family, all, 0, 0}});
    }
    bench_measure_all(&runs, options.seconds);
    std::vector<bench_result_s> results;
    for (const bench_run_s& run : runs) results.push_back(run.result);

    if (options.csv)
        print_csv(results);
    else
        print_table(results, bench_measure_clock());
    return CLI_OK;
}
