// kestrune-cli nonce / address: one nonce's bytes, and account text to account id.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

#include "cli/cli.h"
#include "nonce/nonce.h"
#include "platform/sys.h"

namespace {

const char nonce_help[] =
    "usage: kestrune-cli nonce ACCOUNT NONCE [--poc2] [-o FILE]\n"
    "Writes the 262144 bytes of one nonce, PoC1 order unless --poc2 is given.\n"
    "  ACCOUNT     a decimal account id or a BURST- address\n"
    "  NONCE       the nonce number (decimal)\n"
    "  --poc2      PoC2 scoop order\n"
    "  -o FILE     write to FILE instead of standard output\n";

const char address_help[] =
    "usage: kestrune-cli address TEXT\n"
    "Prints the account id of a BURST- address or a decimal id.\n";

}  // namespace

int cli_nonce(int argc, char** argv) {
    const char* positional[2] = {nullptr, nullptr};
    int positional_count = 0;
    bool poc2 = false;
    const char* output = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (cli_is_help(arg)) {
            std::fputs(nonce_help, stdout);
            return CLI_OK;
        } else if (std::strcmp(arg, "--poc2") == 0) {
            poc2 = true;
        } else if (std::strcmp(arg, "-o") == 0 || std::strcmp(arg, "--output") == 0) {
            if (i + 1 >= argc) return cli_usage_error("nonce", "option -o needs a file name");
            output = argv[++i];
        } else if (arg[0] == '-' && arg[1] != 0) {
            return cli_usage_error("nonce", std::string("unknown option '") + arg + "'");
        } else if (positional_count < 2) {
            positional[positional_count++] = arg;
        } else {
            return cli_usage_error("nonce", std::string("unexpected argument '") + arg + "'");
        }
    }
    if (positional_count < 2) return cli_usage_error("nonce", "needs ACCOUNT and NONCE");
    uint64_t account = 0, nonce = 0;
    if (!cli_parse_account(positional[0], &account))
        return cli_usage_error("nonce", std::string("'") + positional[0] + "' is not an account id or address");
    if (!cli_parse_u64(positional[1], &nonce))
        return cli_usage_error("nonce", std::string("'") + positional[1] + "' is not a nonce number");

    std::unique_ptr<uint8_t[]> data(new uint8_t[PLOT_SIZE]);
    nonce_compute(account, nonce, data.get(), poc2);

    int64_t fd = STDOUT_FILENO;
    if (output) {
        if (const sys_err_s opened = sys_file_open_write(output, &fd); opened.error) {
            std::fprintf(stderr, "kestrune-cli nonce: cannot open %s: %s\n", output, std::strerror(opened.error));
            return CLI_FAILED;
        }
    }
    if (const sys_err_s wrote = sys_file_write_stream(fd, data.get(), PLOT_SIZE, output != nullptr); wrote.error) {
        std::fprintf(stderr, "kestrune-cli nonce: writing failed: %s\n", std::strerror(wrote.error));
        return CLI_FAILED;
    }
    return CLI_OK;
}

int cli_address(int argc, char** argv) {
    const char* text = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (cli_is_help(argv[i])) {
            std::fputs(address_help, stdout);
            return CLI_OK;
        }
        if (text) return cli_usage_error("address", std::string("unexpected argument '") + argv[i] + "'");
        text = argv[i];
    }
    if (!text) return cli_usage_error("address", "needs TEXT");
    uint64_t id = 0;
    if (!cli_parse_account(text, &id)) {
        std::fprintf(stderr, "kestrune-cli address: '%s' is not a valid Burst address or account id\n", text);
        return CLI_FAILED;
    }
    std::printf("%llu\n", (unsigned long long)id);
    return CLI_OK;
}
