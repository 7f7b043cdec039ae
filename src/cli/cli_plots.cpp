// kestrune-cli plots: an inventory of plot folders as a table or one JSON object.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "nonce/nonce.h"
#include "platform/util.h"
#include "plotfile/inventory.h"

namespace {

const char plots_help[] =
    "usage: kestrune-cli plots DIR... [--json]\n"
    "Lists the plot files of the folders from their names, sizes, resume records and locks\n"
    "(no nonce data is read): state (complete, unfinished, writing, wrong-size, converting,\n"
    "moving), overlapping nonce ranges of one account, and totals per account and per folder.\n"
    "Totals count the nonces on the disk: those of complete (and converting) files, and apart\n"
    "from them what unfinished files have written. A folder or file reached twice (another\n"
    "spelling, a link) is listed once; only regular files are plot files.\n"
    "  --json   print one JSON object instead of tables; a path that is not UTF-8 shows each\n"
    "           stray byte as U+FFFD and comes with its exact bytes in hex beside it\n"
    "           (\"path_hex\", \"journal_hex\", an overlap's \"files_hex\")\n"
    "Exit status 1 when an overlap or a wrong-size file is found or a folder cannot be listed,\n"
    "else 0.\n";

constexpr double NONCES_PER_TIB = 4194304.0;  // 2^40 / 2^18

// The size of `nonces` nonces in a fitting unit; the byte count may pass 2^64.
std::string nonces_size(uint64_t nonces) { return fmt_size_wide((double)nonces * PLOT_SIZE, true); }

// Length of the UTF-8 character at text[i], or 0 when the byte there starts none (overlong
// forms, surrogates and code points past U+10FFFF included).
size_t utf8_length(const std::string& text, size_t i) {
    const unsigned char b = text[i];
    if (b < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) length = 2;
    else if (b >= 0xE0 && b <= 0xEF) length = 3, low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
    else if (b >= 0xF0 && b <= 0xF4) length = 4, low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
    if (length == 0 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char c = text[i + k];
        if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

// A JSON string of text; a byte that starts no UTF-8 character becomes U+FFFD, and `exact`
// is cleared.
std::string json_string(const std::string& text, bool* exact) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = text[i];
        const size_t length = utf8_length(text, i);
        if (length == 0) {
            out += "\\ufffd";
            *exact = false;
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out + "\"";
}

std::string hex_string(const std::string& bytes) {
    std::string out = "\"";
    for (const unsigned char c : bytes) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
    return out + "\"";
}

// "key": "text", then "key_hex": "..." with the exact bytes when text is not UTF-8.
std::string json_path(const char* key, const std::string& text) {
    bool exact = true;
    std::string out = std::string("\"") + key + "\": " + json_string(text, &exact);
    if (!exact) out += std::string(", \"") + key + "_hex\": " + hex_string(text);
    return out;
}

// "files": [first, second], then "files_hex" when either is not UTF-8.
std::string json_pair(const std::string& first, const std::string& second) {
    bool exact = true;
    std::string out = "\"files\": [" + json_string(first, &exact) + ", " + json_string(second, &exact) + "]";
    if (!exact) out += ", \"files_hex\": [" + hex_string(first) + ", " + hex_string(second) + "]";
    return out;
}

const char* format_name(bool poc2) { return poc2 ? "poc2" : "poc1"; }

bool shows_written(const inventory_file_s& f) { return f.state == INVENTORY_UNFINISHED || f.state == INVENTORY_WRITING; }

void print_json(const inventory_s& inv) {
    std::printf("{\"files\": [");
    const char* sep = "";
    for (const inventory_file_s& f : inv.files) {
        std::printf("%s\n  {%s, \"account\": %llu, \"start\": %llu, \"nonces\": %llu, \"format\": \"%s\", "
                    "\"state\": \"%s\", \"size\": %llu",
                    sep, json_path("path", f.path).c_str(), (unsigned long long)f.account, (unsigned long long)f.start,
                    (unsigned long long)f.nonces, format_name(f.poc2), inventory_state_name(f.state),
                    (unsigned long long)f.size);
        if (shows_written(f)) std::printf(", \"written\": %llu", (unsigned long long)f.written);
        if (f.state == INVENTORY_CONVERTING) std::printf(", %s", json_path("journal", f.journal).c_str());
        std::printf("}");
        sep = ",";
    }
    std::printf("],\n \"overlaps\": [");
    sep = "";
    for (const inventory_overlap_s& o : inv.overlaps) {
        std::printf("%s\n  {\"account\": %llu, %s, \"nonces\": %llu}", sep, (unsigned long long)o.account,
                    json_pair(o.first, o.second).c_str(), (unsigned long long)o.nonces);
        sep = ",";
    }
    std::printf("],\n \"accounts\": [");
    sep = "";
    for (const inventory_total_s& t : inv.accounts) {
        std::printf("%s\n  {\"account\": %llu, \"files\": %llu, \"nonces\": %llu, \"written\": %llu, \"tib\": %.17g}",
                    sep, (unsigned long long)t.account, (unsigned long long)t.files, (unsigned long long)t.nonces,
                    (unsigned long long)t.written, t.nonces / NONCES_PER_TIB);
        sep = ",";
    }
    std::printf("],\n \"folders\": [");
    sep = "";
    for (const inventory_total_s& t : inv.folders) {
        std::printf("%s\n  {%s, \"files\": %llu, \"nonces\": %llu, \"written\": %llu, \"tib\": %.17g, \"free\": %llu",
                    sep, json_path("path", t.folder).c_str(), (unsigned long long)t.files, (unsigned long long)t.nonces,
                    (unsigned long long)t.written, t.nonces / NONCES_PER_TIB, (unsigned long long)t.free_bytes);
        bool exact = true;
        if (!t.error.empty()) std::printf(", \"error\": %s", json_string(t.error, &exact).c_str());
        std::printf("}");
        sep = ",";
    }
    std::printf("]}\n");
}

void print_table(const inventory_s& inv) {
    std::printf("%-10s %-6s %-22s %20s %12s  %s\n", "STATE", "FORMAT", "ACCOUNT", "START", "NONCES", "PATH");
    for (const inventory_file_s& f : inv.files) {
        std::printf("%-10s %-6s %-22llu %20llu %12llu  %s", inventory_state_name(f.state), format_name(f.poc2),
                    (unsigned long long)f.account, (unsigned long long)f.start, (unsigned long long)f.nonces,
                    f.path.c_str());
        if (shows_written(f)) std::printf("  (%llu written)", (unsigned long long)f.written);
        if (f.state == INVENTORY_WRONG_SIZE)
            std::printf("  (%llu bytes; its name needs %s)", (unsigned long long)f.size, nonces_size(f.nonces).c_str());
        if (f.state == INVENTORY_CONVERTING)
            std::printf("  (journal %s: rerun kestrune-cli convert to finish it)", f.journal.c_str());
        std::printf("\n");
    }
    if (!inv.overlaps.empty()) std::printf("\nOverlaps:\n");
    for (const inventory_overlap_s& o : inv.overlaps)
        std::printf("  account %llu: %llu nonces in both %s and %s\n", (unsigned long long)o.account,
                    (unsigned long long)o.nonces, o.first.c_str(), o.second.c_str());
    std::printf("\nAccounts (nonces on the disk; written: nonces of unfinished files):\n");
    for (const inventory_total_s& t : inv.accounts)
        std::printf("  %-22llu %6llu files %14llu nonces %10s %14llu written\n", (unsigned long long)t.account,
                    (unsigned long long)t.files, (unsigned long long)t.nonces, nonces_size(t.nonces).c_str(),
                    (unsigned long long)t.written);
    std::printf("\nFolders:\n");
    for (const inventory_total_s& t : inv.folders) {
        if (!t.error.empty()) {
            std::printf("  cannot list %s: %s\n", t.folder.c_str(), t.error.c_str());
            continue;
        }
        std::printf("  %6llu files %14llu nonces %10s %14llu written %10s free  %s\n", (unsigned long long)t.files,
                    (unsigned long long)t.nonces, nonces_size(t.nonces).c_str(), (unsigned long long)t.written,
                    fmt_size_wide((double)t.free_bytes, true).c_str(), t.folder.c_str());
    }
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
    const inventory_s inv = inventory_list(folders);
    if (json)
        print_json(inv);
    else
        print_table(inv);
    bool bad = !inv.overlaps.empty();
    for (const inventory_file_s& f : inv.files) bad = bad || f.state == INVENTORY_WRONG_SIZE;
    for (const inventory_total_s& t : inv.folders)
        if (!t.error.empty()) {
            std::fprintf(stderr, "kestrune-cli plots: cannot list %s: %s\n", t.folder.c_str(), t.error.c_str());
            bad = true;
        }
    return bad ? CLI_FAILED : CLI_OK;
}
