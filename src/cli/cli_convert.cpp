// kestrune-cli convert: rearranges optimized plot files in place between PoC1 and PoC2.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "platform/util.h"
#include "plotfile/convert.h"

namespace {

const char convert_help[] =
    "usage: kestrune-cli convert FILE... [--to poc2|poc1] [-m GiB] [-q]\n"
    "Rearranges optimized plot files in place: PoC1 (four-number name) to PoC2 (three-number\n"
    "name) or back. A journal NAME.converting beside the file makes every moment crash-safe:\n"
    "rerun the same command after an interruption and the file is finished byte-exact.\n"
    "  --to poc2|poc1  the layout to convert to (default poc2)\n"
    "  -m, --mem GiB   memory for buffers (default 1; the journal needs at most 128 MiB)\n"
    "  -q, --quiet     no progress display\n"
    "Refused, untouched: .plotting files, a size that does not match the name, a stagger\n"
    "that differs from the nonce count, a file locked by a running plot, a read-only file.\n"
    "Exit status 0 when every file ends converted (or already was), else 1.\n";

struct convert_options_s {
    std::vector<std::string> files;
    bool to_poc2 = true;
    uint64_t memory = 1ull << 30;
    bool quiet = false;
};

// -1 when the arguments are complete, else the exit status.
int parse(int argc, char** argv, convert_options_s* o) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (cli_is_help(arg)) {
            std::fputs(convert_help, stdout);
            return CLI_OK;
        } else if (std::strcmp(arg, "-q") == 0 || std::strcmp(arg, "--quiet") == 0) {
            o->quiet = true;
        } else if (std::strcmp(arg, "--to") == 0) {
            const char* value = has_value ? argv[++i] : "";
            if (std::strcmp(value, "poc2") != 0 && std::strcmp(value, "poc1") != 0)
                return cli_usage_error("convert", "--to needs poc2 or poc1");
            o->to_poc2 = std::strcmp(value, "poc2") == 0;
        } else if (std::strcmp(arg, "-m") == 0 || std::strcmp(arg, "--mem") == 0) {
            if (!has_value || !cli_parse_amount(argv[++i], 1073741824.0, &o->memory))
                return cli_usage_error("convert", "-m needs an amount of GiB above 0");
        } else if (arg[0] == '-' && arg[1]) {
            return cli_usage_error("convert", std::string("unknown option '") + arg + "'");
        } else {
            o->files.push_back(arg);
        }
    }
    if (o->files.empty()) return cli_usage_error("convert", "needs at least one plot file");
    return -1;
}

// The progress line of one file, redrawn in place on a terminal and every 10 s otherwise.
struct progress_line_s {
    bool quiet, tty;
    double started = time_now(), shown = 0;
    uint64_t first_done = UINT64_MAX;  // where this run began (a resume starts midway)

    void show(uint64_t done, uint64_t total, bool last) {
        if (first_done == UINT64_MAX) first_done = done;
        const double now = time_now();
        if (quiet || (!last && now - shown < (tty ? 0.5 : 10.0))) return;
        shown = now;
        const double elapsed = std::max(now - started, 0.001);
        const double rate = (double)(done - std::min(done, first_done)) / elapsed;
        const double eta = rate > 0 ? (double)(total - done) / rate : 0;
        char line[160];
        std::snprintf(line, sizeof line, "%5.1f%%  convert %.1f MB/s  ETA %s", total ? 100.0 * done / total : 100.0,
                      rate / 1e6, rate > 0 ? fmt_duration(eta) : "unknown");
        if (tty)
            std::printf("\r%-78s%s", line, last ? "\n" : "");
        else
            std::printf("%s\n", line);
        std::fflush(stdout);
    }
};

// Converts one file and reports it; true when it ends in the asked-for layout.
bool convert_one(const std::string& file, const convert_options_s& o) {
    progress_line_s line{o.quiet, isatty(STDOUT_FILENO) != 0};
    const double started = time_now();
    bool shown = false;
    const convert_result_s r = convert_file(file, o.to_poc2, o.memory, [&](uint64_t done, uint64_t total) {
        shown = true;
        line.show(done, total, done == total);
    });
    const double seconds = std::max(time_now() - started, 0.001);
    switch (r.status) {
        case CONVERT_DONE:
            if (!o.quiet && !shown) line.show(1, 1, true);
            std::printf("%s%s (%s rewritten in %.1f s, %.1f MB/s)\n", r.message.c_str(), r.resumed ? ", resumed" : "",
                        fmt_size_tmp(r.bytes, true, ""), seconds, r.bytes / 1e6 / seconds);
            return true;
        case CONVERT_ALREADY:
            std::printf("%s\n", r.message.c_str());
            return true;
        case CONVERT_REFUSED:
            std::fprintf(stderr, "kestrune-cli convert: refused: %s\n", r.message.c_str());
            return false;
        case CONVERT_FAILED:
        case CONVERT_STOPPED:  // the command line asks for no stop
            if (shown && line.tty && !o.quiet) std::printf("\n");
            std::fprintf(stderr, "kestrune-cli convert: failed: %s\n", r.message.c_str());
            return false;
    }
    return false;
}

}  // namespace

int cli_convert(int argc, char** argv) {
    convert_options_s o;
    const int parsed = parse(argc, argv, &o);
    if (parsed >= 0) return parsed;
    bool all = true;
    for (const std::string& file : o.files) all = convert_one(file, o) && all;
    std::fflush(stdout);
    return all ? CLI_OK : CLI_FAILED;
}
