// config.yml: per-key loading with fallbacks, and the commented file the emitter writes.
#include "settings/prefs.h"

#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <type_traits>
#include <variant>

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

// A whole number up to `most`; a larger one would only wrap into nonsense.
template <typename T>
void load_whole(const YAML::Node& node, uint64_t most, T* value) {
    uint64_t number = 0;
    if (read_u64(node, &number) && number <= most) *value = (T)number;
}

bool read_bool(const YAML::Node& node, bool fallback) {
    try {
        return node.as<bool>(fallback);
    } catch (const YAML::Exception&) {
        return fallback;
    }
}

// Sizes are GiB (steps of 1024) or GB (steps of 1000). A save divides the bytes by the step
// three times: other roundings could change the decimal text of files already written.
double size_step(settings_form_e form) { return form == SETTINGS_GIB ? 1024.0 : 1000.0; }

// A finite, positive number of units whose bytes stay below `most` (2^64 once a double).
bool read_amount(const YAML::Node& node, double unit, uint64_t most, double* out) {
    double value = 0;
    try {
        value = node.as<double>(0.0);
    } catch (const YAML::Exception&) {
        return false;
    }
    if (!std::isfinite(value) || value <= 0 || value * unit >= (double)most) return false;
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

// A file size without limit is 0 in memory, but a 0 in the file means the default size, so
// no limit is written as the largest whole number of GB that fits the byte count.
uint64_t no_limit_gb(const settings_row_s& row) { return row.most / 1000000000ull; }

void load_value(const YAML::Node& node, const settings_row_s&, int32_t, bool* value) {
    *value = read_bool(node, *value);
}

void load_value(const YAML::Node& node, const settings_row_s& row, int32_t, int32_t* value) {
    load_whole(node, row.most, value);
}

// GPU indices join the GPUs already chosen; indices of GPUs this machine lacks are dropped.
void load_value(const YAML::Node& node, const settings_row_s& row, int32_t gpu_count, uint32_t* value) {
    if (!node || !node.IsSequence()) return;
    for (const YAML::Node& element : node) {
        uint64_t index = 0;
        if (!read_u64(element, &index)) {
            sys_log("  config.yml: skipping a bad entry under %s\n", row.key);
            continue;
        }
        if (gpu_count > 0 && index < (uint64_t)gpu_count && index <= row.most) *value |= 1u << index;
    }
}

void load_value(const YAML::Node& node, const settings_row_s& row, int32_t, uint64_t* value) {
    if (row.form == SETTINGS_WHOLE) return load_whole(node, row.most, value);
    const double step = size_step(row.form), unit = step * step * step;
    double amount = 0;
    if (!read_amount(node, unit, row.most, &amount)) return;
    if (row.form != SETTINGS_WHOLE_GB) {
        *value = (uint64_t)(amount * unit);
    } else if ((uint64_t)amount != 0) {
        *value = (uint64_t)amount >= no_limit_gb(row) ? 0 : (uint64_t)amount * 1000000000ull;
    }
}

// Each form is read and written for one type of value, and a count's limit fits its type.
template <typename T>
constexpr bool form_fits(settings_form_e form, uint64_t most) {
    switch (form) {
    case SETTINGS_WHOLE:
        return std::is_same_v<T, uint64_t> || (std::is_same_v<T, int32_t> && most <= INT32_MAX);
    case SETTINGS_FLAG: return std::is_same_v<T, bool>;
    case SETTINGS_GPU_LIST: return std::is_same_v<T, uint32_t> && most < 32;
    default: return std::is_same_v<T, uint64_t>;
    }
}
#define PREFS_FORM_FITS(type, name, start, key, form, most, ...) \
    static_assert(form_fits<type>(SETTINGS_##form, most), #name ": its form does not suit its type or limit");
SETTINGS_TABLE(PREFS_FORM_FITS)
#undef PREFS_FORM_FITS

// Each setting from its own key; the folder lists are left to the caller.
void load_settings(const YAML::Node& root, int32_t gpu_count, settings_s* values) {
    for (const settings_row_s& row : settings_table) {
        std::visit(
            [&](auto member) {
                if (row.missing == SETTINGS_CLEAR) values->*member = 0;
                load_value(root[row.key], row, gpu_count, &(values->*member));
            },
            row.field);
    }
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

void save_value(YAML::Emitter& out, const settings_row_s&, bool value) { out << value; }

void save_value(YAML::Emitter& out, const settings_row_s&, int32_t value) { out << value; }

void save_value(YAML::Emitter& out, const settings_row_s& row, uint32_t value) {
    out << YAML::Flow << YAML::BeginSeq;
    for (uint64_t bit = 0; bit <= row.most; ++bit)
        if (value & (1u << bit)) out << std::to_string(bit);
    out << YAML::EndSeq;
}

void save_value(YAML::Emitter& out, const settings_row_s& row, uint64_t value) {
    const double step = size_step(row.form);
    if (row.form == SETTINGS_WHOLE) {
        out << value;
    } else if (row.form == SETTINGS_WHOLE_GB && value == 0) {
        out << no_limit_gb(row);
    } else {
        out << value / step / step / step;
    }
}

// The settings of one part of the file, each with its comment.
void save_part(YAML::Emitter& out, const settings_s& values, settings_part_e part) {
    for (const settings_row_s& row : settings_table) {
        if (row.part != part) continue;
        out << YAML::Key << row.key << YAML::Value;
        std::visit([&](auto member) { save_value(out, row, values.*member); }, row.field);
        if (*row.comment) out << YAML::Comment(row.comment);
    }
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
    settings_s values = settings_get();
    load_settings(root, gpu_count, &values);
    settings_set(values);
    loaded.ssds = read_folders(root["ssds"], "ssds");
    loaded.plots = read_folders(root["plots"], "plots");
    loaded.parsed = true;
    sys_log("Prefs loaded in %0.0fms\n", (time_now() - started) * 1000);
    return loaded;
}

std::string prefs_text(const std::vector<std::string>& ssds, const std::vector<std::string>& plots) {
    const settings_s values = settings_get();
    YAML::Emitter out;
    out << YAML::Comment(
        "Configuration file for Kestrune\nThis file stores remembered settings from your prior plots\n"
        "and advanced settings and overrides.\nYou can delete this file to return to all default values.");
    out << YAML::Newline << YAML::BeginMap;
    save_part(out, values, SETTINGS_REMEMBERED);
    out << YAML::Key << "ssds" << YAML::Value << YAML::Flow << YAML::BeginSeq;
    for (const std::string& ssd : ssds) out << ssd;
    out << YAML::EndSeq;
    emit_gap(out, "Paths you made plots in are remembered to double check and\n"
                  "ensure new plots never overlap nonces of existing plots.");
    out << YAML::Key << "plots" << YAML::Value << YAML::BeginSeq;
    for (const std::string& folder : plots) out << folder;
    out << YAML::EndSeq;
    emit_gap(out, "Overrides");
    save_part(out, values, SETTINGS_OVERRIDES);
    emit_gap(out, "Advanced and experimental settings");
    save_part(out, values, SETTINGS_ADVANCED);
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
