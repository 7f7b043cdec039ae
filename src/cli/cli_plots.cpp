// kestrune-cli plots: an inventory of plot folders as a table or one JSON object.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "plotter/inventory.h"

namespace {

const char plots_help[] =
    "usage: kestrune-cli plots DIR... [--json]\n"
    "Lists the plot files of the folders from their names, sizes, resume records and locks\n"
    "(no nonce data is read): state (complete, unfinished, writing, wrong-size, converting),\n"
    "overlapping nonce ranges of one account, and totals per account and per folder.\n"
    "  --json   print one JSON object instead of tables\n"
    "Exit status 1 when an overlap or a wrong-size file is found, else 0.\n";

constexpr double TIB = 1099511627776.0;

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

const char* format_name(bool poc2) { return poc2 ? "poc2" : "poc1"; }

void print_json(const plots_inventory_s& inv) {
    std::printf("{\"files\": [");
    const char* sep = "";
    for (const plots_file_s& f : inv.files) {
        std::printf("%s\n  {\"path\": %s, \"account\": %llu, \"start\": %llu, \"nonces\": %llu, \"format\": \"%s\", "
                    "\"state\": \"%s\", \"size\": %llu",
                    sep, json_string(f.path).c_str(), (unsigned long long)f.account, (unsigned long long)f.start,
                    (unsigned long long)f.nonces, format_name(f.poc2), plots_state_name(f.state),
                    (unsigned long long)f.size);
        if (f.state == PLOTS_UNFINISHED) std::printf(", \"written\": %llu", (unsigned long long)f.written);
        std::printf("}");
        sep = ",";
    }
    std::printf("],\n \"overlaps\": [");
    sep = "";
    for (const plots_overlap_s& o : inv.overlaps) {
        std::printf("%s\n  {\"account\": %llu, \"files\": [%s, %s], \"nonces\": %llu}", sep,
                    (unsigned long long)o.account, json_string(o.first).c_str(), json_string(o.second).c_str(),
                    (unsigned long long)o.nonces);
        sep = ",";
    }
    std::printf("],\n \"accounts\": [");
    sep = "";
    for (const plots_total_s& t : inv.accounts) {
        std::printf("%s\n  {\"account\": %llu, \"files\": %llu, \"nonces\": %llu, \"tib\": %.6f}", sep,
                    (unsigned long long)t.account, (unsigned long long)t.files, (unsigned long long)t.nonces,
                    t.bytes / TIB);
        sep = ",";
    }
    std::printf("],\n \"folders\": [");
    sep = "";
    for (const plots_total_s& t : inv.folders) {
        std::printf("%s\n  {\"path\": %s, \"files\": %llu, \"nonces\": %llu, \"tib\": %.6f, \"free\": %llu}", sep,
                    json_string(t.folder).c_str(), (unsigned long long)t.files, (unsigned long long)t.nonces,
                    t.bytes / TIB, (unsigned long long)t.free_bytes);
        sep = ",";
    }
    std::printf("]}\n");
}

void print_table(const plots_inventory_s& inv) {
    std::printf("%-10s %-6s %-22s %20s %12s  %s\n", "STATE", "FORMAT", "ACCOUNT", "START", "NONCES", "PATH");
    for (const plots_file_s& f : inv.files) {
        std::printf("%-10s %-6s %-22llu %20llu %12llu  %s", plots_state_name(f.state), format_name(f.poc2),
                    (unsigned long long)f.account, (unsigned long long)f.start, (unsigned long long)f.nonces,
                    f.path.c_str());
        if (f.state == PLOTS_UNFINISHED) std::printf("  (%llu written)", (unsigned long long)f.written);
        if (f.state == PLOTS_WRONG_SIZE) std::printf("  (%llu bytes)", (unsigned long long)f.size);
        std::printf("\n");
    }
    if (!inv.overlaps.empty()) std::printf("\nOverlaps:\n");
    for (const plots_overlap_s& o : inv.overlaps)
        std::printf("  account %llu: %llu nonces in both %s and %s\n", (unsigned long long)o.account,
                    (unsigned long long)o.nonces, o.first.c_str(), o.second.c_str());
    std::printf("\nAccounts:\n");
    for (const plots_total_s& t : inv.accounts)
        std::printf("  %-22llu %6llu files %14llu nonces %10.3f TiB\n", (unsigned long long)t.account,
                    (unsigned long long)t.files, (unsigned long long)t.nonces, t.bytes / TIB);
    std::printf("\nFolders:\n");
    for (const plots_total_s& t : inv.folders)
        std::printf("  %6llu files %14llu nonces %10.3f TiB %10.3f TiB free  %s\n", (unsigned long long)t.files,
                    (unsigned long long)t.nonces, t.bytes / TIB, t.free_bytes / TIB, t.folder.c_str());
}

}  // namespace

int cli_plots(int argc, char** argv) {
    std::vector<std::string> folders;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (cli_is_help(argv[i])) {
            std::fputs(plots_help, stdout);
            return CLI_OK;
        }
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (argv[i][0] == '-' && argv[i][1]) {
            return cli_usage_error("plots", std::string("unknown option '") + argv[i] + "'");
        } else {
            std::error_code error;
            if (!std::filesystem::is_directory(argv[i], error))
                return cli_usage_error("plots", std::string("'") + argv[i] + "' is not a folder");
            folders.push_back(argv[i]);
        }
    }
    if (folders.empty()) return cli_usage_error("plots", "needs at least one folder");
    const plots_inventory_s inv = plots_inventory(folders);
    if (json)
        print_json(inv);
    else
        print_table(inv);
    bool bad = !inv.overlaps.empty();
    for (const plots_file_s& f : inv.files) bad = bad || f.state == PLOTS_WRONG_SIZE;
    return bad ? CLI_FAILED : CLI_OK;
}
