// Argument helpers shared by the kestrune-cli commands: usage errors, numbers, accounts.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "account/address.h"
#include "cli/cli.h"
#include "platform/util.h"

int cli_usage_error(const char* command, const std::string& message) {
    std::fprintf(stderr, "kestrune-cli %s: %s\n", command, message.c_str());
    std::fprintf(stderr, "Try 'kestrune-cli %s --help'.\n", command);
    return CLI_USAGE;
}

bool cli_parse_u64(const char* text, uint64_t* value) {
    if (!text) return false;
    return str_read_u64(&text, value) && *text == 0;
}

bool cli_parse_account(const char* text, uint64_t* id) { return address_read_account(text, id); }

bool cli_is_help(const char* arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

bool cli_parse_amount(const char* text, double unit, uint64_t* bytes) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (!*text || *end || !(value > 0) || value * unit > 1.8e19) return false;
    *bytes = (uint64_t)(value * unit);
    // Zero means "not given" further on (a fill of 0 would fill the whole drive).
    return *bytes > 0;
}
