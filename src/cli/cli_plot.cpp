// kestrune-cli plot: plans like the setup screen, runs the plotter headless with a progress
// line, and stops cleanly on Ctrl-C or SIGTERM keeping unfinished files for a resume.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "nonce/cpu.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotter/plotter.h"
#include "plotter/plotter_eta.h"
#include "plotter/plotter_setup.h"
#include "plotfile/plots.h"
#include "settings/settings.h"

namespace {

const char plot_help[] =
    "usage: kestrune-cli plot -i ACCOUNT -p DIR [options]\n"
    "Plans plot files on each target folder and writes them; rerunning the same command\n"
    "resumes unfinished files.\n"
    "  -i, --id ACCOUNT   decimal account id or BURST- address\n"
    "  -p, --path DIR     target folder (repeatable)\n"
    "      --ssd DIR      staging folder; files are written there and moved (repeatable)\n"
    "  -s, --sn START     first nonce; without it each target continues after its plots\n"
    "  -n, --n NONCES     nonces to plot on each target (default: fill the free space)\n"
    "      --fill GB      fill at most this much of each target\n"
    "      --max-file GB  largest plot file\n"
    "  -m, --mem GiB      memory for batch buffers\n"
    "  -c, --cpu THREADS  CPU plotting threads\n"
    "      --family F     CPU code path: scalar, sse4, avx, avx2, avx512, avx512x2, avx512x4\n"
    "                     (default: the fastest this processor has, timed at start)\n"
    "      --poc2         PoC2 files (three-number names)\n"
    "  -g, --gpu P:D      OpenCL platform:device to plot with (repeatable)\n"
    "      --gpu-nonces N nonces per device and pass, a multiple of 32 (default: from the device)\n"
    "      --cpu-fallback fall back to the CPU when the GPUs cannot be used\n"
    "      --discard      delete unfinished .plotting files on interrupt\n"
    "  -q, --quiet        no progress display\n";

volatile sig_atomic_t interrupted = 0;

void on_signal(int) { interrupted = 1; }


bool is_option(const char* arg, const char* short_name, const char* long_name) {
    return (short_name && std::strcmp(arg, short_name) == 0) || std::strcmp(arg, long_name) == 0;
}


// Opens the drive records; returns -1 on success, else the exit status.
int open_drives(const std::vector<std::string>& paths, bool ssd, std::vector<drive_s>* drives) {
    drives->resize(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        std::error_code error;
        if (!std::filesystem::is_directory(paths[i], error))
            return cli_usage_error("plot", "'" + paths[i] + "' is not a folder");
        if (!drive_init(&(*drives)[i], paths[i].c_str(), ssd))
            return cli_usage_error("plot", "folder path '" + paths[i] + "' is too long (at most " +
                                               std::to_string(DRIVE_PATH_MAX) + " characters)");
    }
    return -1;
}

// Why a target's files hold whole groups of nonces.
std::string group_reason(const drive_s& target) {
    return "(each scoop row of a file fills whole " + std::to_string(target.sector_size) + "-byte sectors)";
}

// -n and --fill against the smallest file of each target: below it is a wrong command line;
// a count between whole groups is rounded down, and the run says so. Returns -1 when the
// amounts can be planned, else the exit status.
int check_amounts(const cli_plot_options_s& o, const std::vector<drive_s>& targets) {
    for (const drive_s& target : targets) {
        const uint64_t group = drive_nonce_group(target.sector_size);
        const std::string smallest =
            "the smallest file on " + std::string(target.path) + " is " + std::to_string(group) + " nonces";
        if (o.nonces && o.nonces < group)
            return cli_usage_error("plot", "-n " + std::to_string(o.nonces) + " is too small: " + smallest + " " +
                                               group_reason(target));
        if (o.fill_bytes && o.fill_bytes < group * PLOT_SIZE)
            return cli_usage_error("plot", "--fill " + o.fill_text + " is too small: " + smallest + ", " +
                                               fmt_size_tmp(group * PLOT_SIZE, false, "") + " " + group_reason(target));
        if (o.nonces % group)
            sys_log("-n %llu is rounded down to %llu nonces on %s: files there are whole groups of %llu nonces %s\n",
                    (unsigned long long)o.nonces, (unsigned long long)nonce_cut_to(o.nonces, group), target.path,
                    (unsigned long long)group, group_reason(target).c_str());
    }
    return -1;
}

// Why nothing was planned.
const char* nothing_to_plot(const plan_result_s& plan, size_t targets) {
    if (!plan.complete.empty()) return "Every planned file is already complete; nothing to plot.\n";
    if (plan.nonces_ran_out)
        return "Nothing to plot: the nonce numbers run out (the last is 18446744073709551615) before a file fits.\n";
    if (plan.busy) return "Nothing to plot: the planned files are being written by another process.\n";
    if (plan.left_out.size() == targets) return "Nothing to plot: every target was left out (see above).\n";
    return "Nothing to plot (see above).\n";
}

// Names the targets that got no file; CLI_FAILED when there are any, else `status`.
int report_left_out(const plan_result_s& plan, int status) {
    for (const drive_s* target : plan.left_out)
        std::fprintf(stderr, "kestrune-cli plot: no file was planned for %s (left out)\n", target->path);
    return plan.left_out.empty() ? status : CLI_FAILED;
}

// Progress of the run as the display shows it.
struct progress_s {
    uint64_t total = 0;      // nonces of every planned file
    uint64_t done = 0;       // nonces computed, the batch in progress included
    uint64_t resumed = 0;    // nonces that were already on disk when the run began
    uint64_t written = 0;    // bytes written in this run
    uint64_t moved = 0;      // bytes moved to targets in this run
    bool staged = false;     // files are written on staging drives and moved
    double writer_rate = 0;  // fastest last-batch rate of a writer, MiB/s
};

progress_s sample(plotter_s* plotter) {
    progress_s p;
    plotter_for_each_job(plotter, [&](job_s* job) {
        p.total += job->nonce_count;
        const auto relaxed = std::memory_order_relaxed;
        p.done += job_nonces_computed(job);
        p.resumed += job->resume_from.load(relaxed);
        p.written += job->bytes_written.load(relaxed);
        p.moved += job->bytes_moved.load(relaxed);
        p.staged = p.staged || job->final_drive;
        p.writer_rate = std::max(p.writer_rate, job->write_rate.load(relaxed));
        return true;
    });
    return p;
}

void show_progress(plotter_s* plotter, double started, bool tty, bool final_line) {
    const progress_s p = sample(plotter);
    const double elapsed = std::max(time_now() - started, 0.001);
    const double fresh = (double)(p.done - std::min(p.done, p.resumed));
    const double per_minute = fresh / elapsed * 60.0;
    const double percent = p.total ? 100.0 * p.done / p.total : 100.0;
    // The moves begin with the first finished file; their rate counts from then.
    static double move_began = 0;
    if (p.moved > 0 && move_began == 0) move_began = time_now();
    const double moving = move_began > 0 ? std::max(time_now() - move_began, 0.001) : 0;
    // Resumed nonces are on the disk already: this run computes and writes only the rest.
    const double to_write = (double)(p.total - std::min(p.total, p.resumed)) * PLOT_SIZE;
    const double eta = plotter_eta({{(double)(p.total - p.done), fresh / elapsed},
                                    {to_write - (double)p.written, p.written / elapsed},
                                    {p.staged ? (double)p.total * PLOT_SIZE - p.moved : 0, moving > 0 ? p.moved / moving : 0}});
    char line[160];
    std::snprintf(line, sizeof line, "%5.1f%%  %.0f nonces/min  write %.1f MB/s  ETA %s", percent, per_minute,
                  p.written / 1e6 / elapsed, fresh > 0 || p.written > 0 ? fmt_duration(eta) : "unknown");
    if (final_line)
        std::snprintf(line + std::strlen(line), sizeof line - std::strlen(line), "  (writer %.0f MiB/s)", p.writer_rate);
    if (tty)
        std::printf("\r%-78s%s", line, final_line ? "\n" : "");
    else
        std::printf("%s\n", line);
    std::fflush(stdout);
}

plan_input_s plan_from(const cli_plot_options_s& o, std::vector<drive_s>& ssds, std::vector<drive_s>& targets) {
    plan_input_s in;
    for (drive_s& d : ssds) in.ssds.push_back(&d);
    for (drive_s& d : targets) {
        if (o.nonces) d.fill_limit = o.nonces * PLOT_SIZE;
        if (o.fill_bytes) d.fill_limit = o.fill_bytes;
        in.targets.push_back(&d);
    }
    in.account_id = o.account;
    in.auto_start = !o.have_start;
    in.start_nonce = o.start;
    in.max_file_bytes = o.max_file_bytes ? o.max_file_bytes : max_file_bytes;
    in.poc2 = o.poc2;
    in.skip_complete = o.have_start;
    return in;
}

// Runs the set-up plotter until it ends or a signal arrives; returns the exit status.
int run_plotter(plotter_s* plotter, const cli_plot_options_s& o) {
    const bool tty = isatty(STDOUT_FILENO);
    const double started = time_now();
    double last_shown = started;
    while (!plotter->run.ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (interrupted) {
            if (!o.quiet && tty) std::printf("\n");
            sys_log("Interrupted; stopping and %s unfinished files.\n", o.discard ? "deleting" : "keeping");
            plotter_stop(plotter, !o.discard);
            return CLI_FAILED;
        }
        const double now = time_now();
        if (!o.quiet && now - last_shown >= (tty ? 0.5 : 10.0)) {
            show_progress(plotter, started, tty, false);
            last_shown = now;
        }
    }
    plotter_wait(plotter);
    if (!o.quiet) show_progress(plotter, started, tty, true);
    uint64_t files = 0, done = 0, failed = 0;
    plotter_for_each_job(plotter, [&](job_s* job) {
        ++files;
        done += job->job_state == JOB_DONE;
        failed += job->job_state == JOB_FAILED;
        return true;
    });
    if (plotter->run.finished && done == files) return CLI_OK;
    if (failed)
        std::fprintf(stderr, "kestrune-cli plot: %llu of %llu files did not complete (see above)\n",
                     (unsigned long long)failed, (unsigned long long)files);
    else
        std::fprintf(stderr, "kestrune-cli plot: the run ended before every file was complete (%s)\n", cli_log_hint());
    return CLI_FAILED;
}

int apply_processor_options(const cli_plot_options_s& o, cpu_family_e* family) {
    if (o.threads) cpu_threads = o.threads;
    if (o.family && (!cpu_family_parse(o.family, family) || !cpu_family_available(*family)))
        return cli_usage_error("plot", std::string("CPU family '") + o.family + "' is unknown or not supported here");
    return -1;
}

}  // namespace

int cli_plot_parse(int argc, char** argv, cli_plot_options_s* o) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (cli_is_help(arg)) {
            std::fputs(plot_help, stdout);
            return CLI_OK;
        }
        const bool flag = is_option(arg, nullptr, "--poc2") || is_option(arg, nullptr, "--discard") ||
                          is_option(arg, "-q", "--quiet") || is_option(arg, nullptr, "--cpu-fallback");
        if (flag) {
            if (!std::strcmp(arg, "--poc2")) o->poc2 = true;
            else if (!std::strcmp(arg, "--discard")) o->discard = true;
            else if (!std::strcmp(arg, "--cpu-fallback")) o->cpu_fallback = true;
            else o->quiet = true;
            continue;
        }
        if (i + 1 >= argc) return cli_usage_error("plot", std::string("option '") + arg + "' needs a value");
        const char* value = argv[++i];
        const std::string bad = std::string("bad value '") + value + "' for " + arg;
        uint64_t number = 0;
        if (is_option(arg, "-i", "--id")) {
            if (!cli_parse_account(value, &o->account)) return cli_usage_error("plot", bad);
            o->have_account = true;
        } else if (is_option(arg, "-p", "--path")) {
            o->targets.push_back(value);
        } else if (is_option(arg, nullptr, "--ssd")) {
            o->ssds.push_back(value);
        } else if (is_option(arg, "-s", "--sn")) {
            if (!cli_parse_u64(value, &o->start)) return cli_usage_error("plot", bad);
            o->have_start = true;
        } else if (is_option(arg, "-n", "--n")) {
            if (!cli_parse_u64(value, &o->nonces) || o->nonces == 0 || o->nonces > (UINT64_MAX >> 18))
                return cli_usage_error("plot", bad);
        } else if (is_option(arg, nullptr, "--fill")) {
            if (!cli_parse_amount(value, 1e9, &o->fill_bytes)) return cli_usage_error("plot", bad);
            o->fill_text = value;
        } else if (is_option(arg, nullptr, "--max-file")) {
            if (!cli_parse_amount(value, 1e9, &o->max_file_bytes)) return cli_usage_error("plot", bad);
        } else if (is_option(arg, "-m", "--mem")) {
            if (!cli_parse_amount(value, 1073741824.0, &o->memory)) return cli_usage_error("plot", bad);
        } else if (is_option(arg, "-c", "--cpu")) {
            if (!cli_parse_u64(value, &number) || number == 0 || number > 4096) return cli_usage_error("plot", bad);
            o->threads = (int32_t)number;
        } else if (is_option(arg, nullptr, "--family")) {
            o->family = value;
        } else if (is_option(arg, "-g", "--gpu")) {
            o->gpus.push_back(value);
        } else if (is_option(arg, nullptr, "--gpu-nonces")) {
            if (!cli_parse_gpu_nonces(value, &o->gpu_nonces)) return cli_usage_error("plot", bad);
        } else {
            return cli_usage_error("plot", std::string("unknown option '") + arg + "'");
        }
    }
    if (!o->have_account) return cli_usage_error("plot", "needs an account (-i)");
    if (o->targets.empty()) return cli_usage_error("plot", "needs at least one target folder (-p)");
    if (o->nonces && o->fill_bytes) return cli_usage_error("plot", "-n and --fill cannot be combined");
    if (o->gpu_nonces && o->gpus.empty()) return cli_usage_error("plot", "--gpu-nonces needs -g");
    return -1;
}

int cli_plot(int argc, char** argv) {
    cli_plot_options_s o;
    int status = cli_plot_parse(argc, argv, &o);
    if (status >= 0) return status;
    std::vector<drive_s> ssds, targets;
    if ((status = open_drives(o.ssds, true, &ssds)) >= 0) return status;
    if ((status = open_drives(o.targets, false, &targets)) >= 0) return status;
    if ((status = check_amounts(o, targets)) >= 0) return status;
    cpu_family_e family = CPU_FAMILY_BEST;
    if ((status = apply_processor_options(o, &family)) >= 0) return status;
    plotter_s* plotter = plotter_create();
    uint32_t gpu_mask = 0;
    if ((status = cli_plot_gpus(plotter, o.gpus, o.gpu_nonces, &gpu_mask)) >= 0) {
        plotter_destroy(plotter);
        return status;
    }
    plotter_set_asker(plotter, [&o](const char* title, const char* text) {
        sys_log("%s: %s %s\n", title, text, o.cpu_fallback ? "yes (--cpu-fallback)" : "no (see --cpu-fallback)");
        return o.cpu_fallback;
    });
    plotter_set_message(plotter, cli_print_message);
    plots_s* plots = plots_create();
    const plan_result_s plan = plotter_plan(plotter, plots, plan_from(o, ssds, targets));
    if (plan.jobs.empty() && !plan.converting.empty()) {
        for (const std::string& text : plan.converting) std::printf("%s\n", text.c_str());
        std::printf("Nothing to plot: the planned files are %sbeing converted.\n",
                    plan.complete.empty() ? "" : "complete or ");
        plots_destroy(plots);
        plotter_destroy(plotter);
        return CLI_FAILED;
    }
    if (plan.jobs.empty()) {
        std::printf("%s", nothing_to_plot(plan, targets.size()));
        plots_destroy(plots);
        plotter_destroy(plotter);
        return report_left_out(plan, plan.complete.empty() ? CLI_FAILED : CLI_OK);
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    // A reader of the progress lines that goes away must not end hours of plotting;
    // the lost output is reported in the exit status instead.
    signal(SIGPIPE, SIG_IGN);
    // Targets left out take no task of their own.
    const uint32_t planned_targets = (uint32_t)(targets.size() - plan.left_out.size());
    if (!plotter_setup(plotter, {gpu_mask, o.memory, 0, o.threads, family, true}, (uint32_t)ssds.size(), planned_targets)) {
        std::fprintf(stderr, "kestrune-cli plot: could not set up plotting: %s (%s)\n", plotter->run.setup_failure.c_str(),
                     cli_log_hint());
        plotter_destroy(plotter);
        plots_destroy(plots);
        return CLI_FAILED;
    }
    status = report_left_out(plan, run_plotter(plotter, o));
    plotter_destroy(plotter);
    plots_destroy(plots);
    return status;
}
