// kestrune-cli check: verifies plot files by sampled (or full) recomputation.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check/check.h"
#include "cli/cli.h"
#include "nonce/nonce.h"

namespace {

const char check_help[] =
    "usage: kestrune-cli check FILE... [--full]\n"
    "Recomputes 1770 scoops at random places of each plot file (new places on every run)\n"
    "and compares them with the file, on every processor. That is a sample: a file can pass\n"
    "it with damage elsewhere, and the verdict says how many of the file's scoops were read.\n"
    "  --full   compare every scoop of every nonce instead, reading ahead of the computation\n"
    "A file with a conversion journal (NAME.converting) beside it is not compared: its\n"
    "conversion is unfinished, and running convert again finishes it.\n"
    "Several files end with a summary line: files checked, bad, unreadable (and being converted).\n"
    "Exit status 1 when any file fails or cannot be checked.\n";

// What became of one file.
enum verdict_e { VERDICT_GOOD, VERDICT_BAD, VERDICT_UNREADABLE, VERDICT_CONVERTING };

// Checks one file and prints its verdict.
verdict_e check_one(const char* path, bool full) {
    std::string problem;
    check_options_s options;
    options.full = full;
    options.message = [&problem](const char* title, const char* text) { problem = std::string(title) + ": " + text; };
    checker_s* c = check_start(path, options);
    check_wait(c);
    bool good = false;
    const uint32_t result = c->result;
    const bool finished = result == CHECK_FINISHED;
    if (!finished) {
        std::printf("%s: %s\n", path, problem.empty() ? "check did not finish" : problem.c_str());
    } else if (full) {
        good = c->nonces_bad.load() == 0;
        std::printf("%s: %s (%llu of %llu nonces bad)\n", path, good ? "OK" : "FAILED",
                    (unsigned long long)c->nonces_bad.load(), (unsigned long long)c->nonces_checked.load());
    } else {
        // A sample that matches says nothing of the scoops it did not read.
        uint32_t compared = 0, bad = 0;
        check_counts(c, &compared, &bad);
        good = bad == 0 && compared == (uint32_t)c->sample_count;
        std::printf("%s: %s (sampled: %u bad of %u scoops read, of %llu in the file; --full reads them all)\n", path,
                    good ? "OK" : "FAILED", bad, compared,
                    (unsigned long long)(c->nonces_total.load() * SCOOPS_PER_PLOT));
    }
    std::fflush(stdout);
    check_destroy(c);
    if (result == CHECK_CONVERTING) return VERDICT_CONVERTING;
    return !finished ? VERDICT_UNREADABLE : good ? VERDICT_GOOD : VERDICT_BAD;
}

}  // namespace

int cli_check(int argc, char** argv) {
    std::vector<const char*> files;
    bool full = false;
    for (int i = 1; i < argc; ++i) {
        if (cli_is_help(argv[i])) {
            std::fputs(check_help, stdout);
            return CLI_OK;
        }
        if (std::strcmp(argv[i], "--full") == 0)
            full = true;
        else if (argv[i][0] == '-' && argv[i][1])
            return cli_usage_error("check", std::string("unknown option '") + argv[i] + "'");
        else
            files.push_back(argv[i]);
    }
    if (files.empty()) return cli_usage_error("check", "needs at least one plot file");
    size_t counts[4] = {0, 0, 0, 0};
    for (const char* file : files) ++counts[check_one(file, full)];
    if (files.size() > 1) {
        std::printf("%zu files checked, %zu bad, %zu unreadable", files.size(), counts[VERDICT_BAD],
                    counts[VERDICT_UNREADABLE]);
        if (counts[VERDICT_CONVERTING]) std::printf(", %zu being converted", counts[VERDICT_CONVERTING]);
        std::printf("\n");
    }
    return counts[VERDICT_GOOD] == files.size() ? CLI_OK : CLI_FAILED;
}
