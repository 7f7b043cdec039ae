// Fuzz target: the `kestrune-cli plot` command line. The input is split at NUL bytes into
// arguments; parsing must end in a status, and a complete command line must hold what
// the parser itself promises (an account, a target, -n and --fill not combined).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words{"plot"};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i]) {
            word += (char)data[i];
        } else {
            words.push_back(word);
            word.clear();
        }
    }
    if (!word.empty()) words.push_back(word);
    if (words.size() > 64) return 0;
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);

    cli_plot_options_s options;
    const int status = cli_plot_parse((int)words.size(), argv.data(), &options);
    require(status == -1 || status == CLI_OK || status == CLI_USAGE);
    if (status == -1) {
        require(options.have_account && !options.targets.empty());
        require(!(options.nonces && options.fill_bytes));
        require(options.nonces <= (UINT64_MAX >> 18));
        require(options.threads >= 0 && options.threads <= 4096);
    }
    return 0;
}
