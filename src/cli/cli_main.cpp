// kestrune-cli: the headless front end (plotting, checking, benchmarks, single nonces).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "platform/sys.h"
#include "platform/util.h"

namespace {

struct command_s {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* summary;
};

const command_s commands[] = {
    {"nonce", cli_nonce, "write the 262144 bytes of one nonce"},
    {"address", cli_address, "print the account id of an address or decimal id"},
    {"plot", cli_plot, "plan and write plot files (resumes unfinished ones)"},
    {"check", cli_check, "verify plot files by recomputing sampled scoops"},
    {"convert", cli_convert, "rearrange optimized plot files in place between PoC1 and PoC2"},
    {"plots", cli_plots, "list plot files of folders: states, overlaps, totals"},
    {"devices", cli_devices, "list the OpenCL platforms and devices"},
    {"bench", cli_bench, "measure nonces per minute of the CPU hash families (-g P:D: of GPUs)"},
};

void print_usage(FILE* out) {
    std::fprintf(out, "usage: kestrune-cli COMMAND [OPTIONS]\n\ncommands:\n");
    for (const auto& command : commands) std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
    std::fprintf(out, "\nkestrune-cli COMMAND --help shows the options of a command.\n");
}

// Output that never reached its reader (a full disk, a closed pipe) means the command
// did not do its job, whatever it returned.
int finish_output(int status) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    std::fprintf(stderr, "kestrune-cli: writing to standard output failed: %s\n", std::strerror(errno));
    return status == CLI_OK ? CLI_FAILED : status;
}

}  // namespace

int main(int argc, char** argv) {
    sys_init();
    time_init();
    if (argc < 2) {
        print_usage(stderr);
        return CLI_USAGE;
    }
    if (cli_is_help(argv[1])) {
        print_usage(stdout);
        return CLI_OK;
    }
    for (const auto& command : commands)
        if (std::strcmp(argv[1], command.name) == 0) return finish_output(command.run(argc - 1, argv + 1));
    std::fprintf(stderr, "kestrune-cli: unknown command '%s'\n", argv[1]);
    print_usage(stderr);
    return CLI_USAGE;
}
