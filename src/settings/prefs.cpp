// config.yml: per-key loading with fallbacks, and the commented file the emitter writes.
#include "settings/prefs.h"

#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/sys.h"
#include "platform/util.h"
#include "settings/settings.h"

namespace {

const char* scalar_text(const YAML::Node& node) {
    return node && node.IsScalar() ? node.Scalar().c_str() : nullptr;
}

// A whole unsigned decimal number; anything else (a sign, letters, overflow) is no value.
bool read_u64(const YAML::Node& node, uint64_t* out) {
    const char* text = scalar_text(node);
    uint64_t value = 0;
    if (!text || !str_read_u64(&text, &value) || *text != 0) return false;
    *out = value;
    return true;
}

// A whole number from 0 to INT32_MAX; negatives would only wrap into nonsense counts.
bool read_count(const YAML::Node& node, int32_t* out) {
    uint64_t value = 0;
    if (!read_u64(node, &value) || value > INT32_MAX) return false;
    *out = (int32_t)value;
    return true;
}

bool read_bool(const YAML::Node& node, bool fallback) {
    try {
        return node.as<bool>(fallback);
    } catch (const YAML::Exception&) {
        return fallback;
    }
}

// A finite, positive number of units that still fits 64 bits once multiplied by unit.
bool read_amount(const YAML::Node& node, double unit, double* out) {
    double value = 0;
    try {
        value = node.as<double>(0.0);
    } catch (const YAML::Exception&) {
        return false;
    }
    if (!std::isfinite(value) || value <= 0 || value * unit >= 18446744073709551615.0) return false;
    *out = value;
    return true;
}

// The text elements of a sequence; elements that are not plain text are logged and skipped.
std::vector<std::string> read_folders(const YAML::Node& node, const char* key) {
    std::vector<std::string> folders;
    if (!node || !node.IsSequence()) return folders;
    for (const YAML::Node& element : node) {
        const char* text = scalar_text(element);
        if (text && *text) {
            folders.push_back(text);
        } else {
            sys_log("  config.yml: skipping a bad entry under %s\n", key);
        }
    }
    return folders;
}

void read_gpus(const YAML::Node& node, int32_t gpu_count) {
    if (!node || !node.IsSequence()) return;
    for (const YAML::Node& element : node) {
        uint64_t index = 0;
        if (!read_u64(element, &index)) {
            sys_log("  config.yml: skipping a bad entry under gpus\n");
            continue;
        }
        if (gpu_count > 0 && index < (uint64_t)gpu_count) gpu_mask |= 1u << index;
    }
}

// A file size without limit (0 in memory). A 0 in the file means the default size, so no limit
// is written as the largest whole number of GB that fits the byte count, and read back as 0.
constexpr uint64_t NO_FILE_LIMIT_GB = UINT64_MAX / 1000000000ull;

void apply(const YAML::Node& root, int32_t gpu_count, prefs_loaded_s* loaded) {
    read_u64(root["account"], &account_id);
    auto_start_nonce = read_bool(root["auto_start_nonce"], auto_start_nonce);
    dont_adjust_gpu_dog = read_bool(root["dont_adjust_gpu_dog"], dont_adjust_gpu_dog);
    ssd_scatter = read_bool(root["ssd_scatter"], ssd_scatter);
    double amount = 0;
    const double gib = 1024.0 * 1024.0 * 1024.0;
    if (read_amount(root["max_ram_gb"], gib, &amount)) max_ram_bytes = (uint64_t)(amount * gib);
    if (read_amount(root["max_gb_to_fill"], 1e9, &amount)) max_fill_bytes = (uint64_t)(amount * 1e9);
    if (read_amount(root["max_gb_per_file"], 1e9, &amount) && (uint64_t)amount != 0)
        max_file_bytes = (uint64_t)amount >= NO_FILE_LIMIT_GB ? 0 : (uint64_t)amount * 1000000000ull;
    read_gpus(root["gpus"], gpu_count);
    loaded->ssds = read_folders(root["ssds"], "ssds");
    loaded->plots = read_folders(root["plots"], "plots");
    int32_t* const counts[] = {&hash_per_dispatch, &threads_per_group, &cpu_threads, &max_gpu_nonces};
    const char* const count_keys[] = {"hash_per_dispatch", "threads_per_group", "cpu_threads", "max_gpu_nonces"};
    for (int i = 0; i < 4; ++i) {
        *counts[i] = 0;
        read_count(root[count_keys[i]], counts[i]);
    }
    use_poc2_format = read_bool(root["use_poc2_format"], false);
}

// The whole file into text; 0, or the reason it cannot be read (ENOENT: there is none).
int read_file_text(const char* path, std::string* text) {
    errno = 0;
    FILE* file = std::fopen(path, "rb");
    if (!file) return errno ? errno : EIO;
    char chunk[16384];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text->append(chunk, got);
    const int error = std::ferror(file) ? (errno ? errno : EIO) : 0;
    std::fclose(file);
    return error;
}

void emit_gap(YAML::Emitter& out, const char* comment) {
    out << YAML::Newline << YAML::Newline << YAML::Comment(comment) << YAML::Newline;
}

}  // namespace

prefs_loaded_s prefs_load(const char* path, int32_t gpu_count) {
    prefs_loaded_s loaded;
    const double started = time_now();
    std::string text;
    const int error = read_file_text(path, &text);
    if (error == ENOENT) return loaded;  // no file yet: the first run
    if (error) {
        sys_log("config.yml cannot be read: %s; the settings start from their defaults and the file is left as it is\n",
                std::strerror(error));
        loaded.unreadable = error;
        return loaded;
    }
    YAML::Node root;
    try {
        root = YAML::Load(text);
    } catch (const std::exception& error) {
        const std::string backup = std::string(path) + ".bak";
        sys_log("config.yml could not be read (%s); keeping it as %s\n", error.what(), backup.c_str());
        loaded.backed_up = sys_file_rename(path, backup.c_str()).error == 0;
        return loaded;
    }
    // A file holding only a scalar or a list has no keys; every value keeps its fallback.
    if (!root.IsMap()) root = YAML::Node(YAML::NodeType::Map);
    apply(root, gpu_count, &loaded);
    loaded.parsed = true;
    sys_log("Prefs loaded in %0.0fms\n", (time_now() - started) * 1000);
    return loaded;
}

std::string prefs_text(const std::vector<std::string>& ssds, const std::vector<std::string>& plots) {
    YAML::Emitter out;
    out << YAML::Comment(
        "Configuration file for Kestrune\nThis file stores remembered settings from your prior plots\n"
        "and advanced settings and overrides.\nYou can delete this file to return to all default values.");
    out << YAML::Newline << YAML::BeginMap;
    out << YAML::Key << "account" << YAML::Value << (unsigned long long)account_id;
    out << YAML::Key << "auto_start_nonce" << YAML::Value << auto_start_nonce;
    out << YAML::Newline;
    out << YAML::Key << "gpus" << YAML::Value << YAML::Flow << YAML::BeginSeq;
    for (int bit = 0; bit < 32; ++bit)
        if (gpu_mask & (1u << bit)) out << std::to_string(bit);
    out << YAML::EndSeq << YAML::Comment("Last GPU(s) used or empty for CPU");
    out << YAML::Key << "ssds" << YAML::Value << YAML::Flow << YAML::BeginSeq;
    for (const std::string& ssd : ssds) out << ssd;
    out << YAML::EndSeq;
    emit_gap(out, "Paths you made plots in are remembered to double check and\n"
                  "ensure new plots never overlap nonces of existing plots.");
    out << YAML::Key << "plots" << YAML::Value << YAML::BeginSeq;
    for (const std::string& folder : plots) out << folder;
    out << YAML::EndSeq;
    emit_gap(out, "Overrides");
    const double to_gib = 1.0 / 1024.0 / 1024.0 / 1024.0;
    out << YAML::Key << "max_ram_gb" << YAML::Value << max_ram_bytes * to_gib;
    out << YAML::Key << "max_gb_per_file" << YAML::Value;
    if (max_file_bytes == 0) out << NO_FILE_LIMIT_GB;
    else out << max_file_bytes / 1000.0 / 1000.0 / 1000.0;
    out
        << YAML::Comment("Each plot file will be this size or less in GB");
    out << YAML::Key << "max_gb_to_fill" << YAML::Value << max_fill_bytes / 1000.0 / 1000.0 / 1000.0
        << YAML::Comment("Use this to fill only part of a target drive");
    emit_gap(out, "Advanced and experimental settings");
    out << YAML::Key << "dont_adjust_gpu_dog" << YAML::Value << dont_adjust_gpu_dog;
    out << YAML::Key << "hash_per_dispatch" << YAML::Value << hash_per_dispatch;
    out << YAML::Key << "threads_per_group" << YAML::Value << threads_per_group;
    out << YAML::Key << "cpu_threads" << YAML::Value << cpu_threads << YAML::Comment("Default is CPU threads - 1");
    out << YAML::Key << "max_gpu_nonces" << YAML::Value << max_gpu_nonces
        << YAML::Comment("Try 1024 here if you get GPU errors");
    out << YAML::Key << "use_poc2_format" << YAML::Value << use_poc2_format
        << YAML::Comment("PoC2 format (supported by jminer)");
    out << YAML::Key << "ssd_scatter" << YAML::Value << ssd_scatter;
    out << YAML::Newline << YAML::EndMap;
    return out.c_str();
}

bool prefs_save(const char* path, const std::vector<std::string>& ssds, const std::vector<std::string>& plots) {
    const std::string text = prefs_text(ssds, plots);
    const std::string temporary = std::string(path) + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "w");
    bool written = file && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file) written = std::fclose(file) == 0 && written;
    if (written) {
        int64_t fd = 0;
        written = sys_file_open_read(temporary.c_str(), &fd).error == 0 && sys_file_sync(fd).error == 0;
        sys_file_close(fd);
    }
    if (written) written = sys_file_rename(temporary.c_str(), path).error == 0;
    if (!written) {
        if (file) sys_file_delete(temporary.c_str());
        sys_log("Failed to write config.yml\n");
    }
    return written;
}
