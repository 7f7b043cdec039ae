// The process-wide settings values with their start values; the screens change them, the
// front ends read them and hand the engine what it needs, the preferences file loads and
// saves them. Every setting is declared once, in SETTINGS_TABLE: the record, the
// process-wide variables and config.yml's keys all come from that list.
#pragma once
#include <cstdint>
#include <variant>

// How config.yml writes a setting, and so how its value is read back.
enum settings_form_e {
    SETTINGS_WHOLE,     // a whole decimal number from 0 to the row's most
    SETTINGS_FLAG,      // true or false (also y/n, yes/no, on/off)
    SETTINGS_GPU_LIST,  // a flow list of GPU indices, one per set bit, at most the row's most
    SETTINGS_GIB,       // bytes as a decimal number of GiB
    SETTINGS_GB,        // bytes as a decimal number of GB
    SETTINGS_WHOLE_GB,  // bytes as GB cut to whole GB; 0 bytes (no limit) as the largest whole GB of most bytes
};

// What a missing or bad value in config.yml gives.
enum settings_missing_e {
    SETTINGS_KEEP,   // the value held before loading
    SETTINGS_CLEAR,  // 0, or false
};

// The part of config.yml a setting is written in, in file order; the remembered part comes
// before the folder lists.
enum settings_part_e { SETTINGS_REMEMBERED, SETTINGS_OVERRIDES, SETTINGS_ADVANCED };

// Every setting in config.yml order, each with what it means:
//   X(type, name, start value, config.yml key, form, most, when missing, part, comment after it)
// `most` is the largest value the file may give: the number for SETTINGS_WHOLE, the GPU index
// for SETTINGS_GPU_LIST, the byte count for sizes. Numbers are never negative and sizes
// never 0 (a size of 0 or a whole GB of 0 counts as bad).
#define SETTINGS_TABLE(X)                                                                                     \
    /* account plots are made for; 0 = none chosen yet */                                                     \
    X(uint64_t, account_id, 0, "account", WHOLE, UINT64_MAX, KEEP, REMEMBERED, "")                             \
    /* choose start nonces per drive automatically */                                                         \
    X(bool, auto_start_nonce, true, "auto_start_nonce", FLAG, 1, KEEP, REMEMBERED, "")                         \
    /* bit i = GPU i computes; 0 = CPU only */                                                                \
    X(uint32_t, gpu_mask, 0, "gpus", GPU_LIST, 31, KEEP, REMEMBERED, "Last GPU(s) used or empty for CPU")      \
    /* memory the plotter may use; 0 = automatic */                                                           \
    X(uint64_t, max_ram_bytes, 0, "max_ram_gb", GIB, UINT64_MAX, KEEP, OVERRIDES, "")                          \
    /* largest plot file to create; 0 = no limit */                                                           \
    X(uint64_t, max_file_bytes, 1000000000000ull, "max_gb_per_file", WHOLE_GB, UINT64_MAX, KEEP, OVERRIDES,    \
      "Each plot file will be this size or less in GB")                                                       \
    /* amount of each target drive to fill; 0 = all free space */                                             \
    X(uint64_t, max_fill_bytes, 0, "max_gb_to_fill", GB, UINT64_MAX, KEEP, OVERRIDES,                          \
      "Use this to fill only part of a target drive")                                                         \
    /* kept and written back; no effect on Linux */                                                           \
    X(bool, dont_adjust_gpu_dog, false, "dont_adjust_gpu_dog", FLAG, 1, KEEP, ADVANCED, "")                    \
    /* hashes per nonce_step2 dispatch; 0 = built-in 8 */                                                     \
    X(int32_t, hash_per_dispatch, 32, "hash_per_dispatch", WHOLE, INT32_MAX, CLEAR, ADVANCED, "")              \
    /* OpenCL work-group size; 0 = 32 */                                                                      \
    X(int32_t, threads_per_group, 32, "threads_per_group", WHOLE, INT32_MAX, CLEAR, ADVANCED, "")              \
    /* CPU plotting threads; 0 (or negative) = automatic */                                                   \
    X(int32_t, cpu_threads, 0, "cpu_threads", WHOLE, INT32_MAX, CLEAR, ADVANCED, "Default is CPU threads - 1") \
    /* GPU nonces per device and pass at most; 0 = no limit */                                                \
    X(int32_t, max_gpu_nonces, 0, "max_gpu_nonces", WHOLE, INT32_MAX, CLEAR, ADVANCED,                         \
      "Try 1024 here if you get GPU errors")                                                                  \
    /* new files in PoC2 order with three-number names */                                                     \
    X(bool, use_poc2_format, false, "use_poc2_format", FLAG, 1, CLEAR, ADVANCED,                               \
      "PoC2 format (supported by jminer)")                                                                    \
    /* handed to the plotter at start-up */                                                                   \
    X(bool, ssd_scatter, false, "ssd_scatter", FLAG, 1, KEEP, ADVANCED, "")

// Every setting as one value, with the start values.
struct settings_s {
#define SETTINGS_FIELD(type, name, start, ...) type name = start;
    SETTINGS_TABLE(SETTINGS_FIELD)
#undef SETTINGS_FIELD
};

// The front ends' store: one variable per setting (meanings as in SETTINGS_TABLE).
#define SETTINGS_EXTERN(type, name, ...) extern type name;
SETTINGS_TABLE(SETTINGS_EXTERN)
#undef SETTINGS_EXTERN

// The member of settings_s a table row describes.
using settings_field_t =
    std::variant<uint64_t settings_s::*, uint32_t settings_s::*, int32_t settings_s::*, bool settings_s::*>;

// One setting as config.yml reads and writes it (columns as in SETTINGS_TABLE).
struct settings_row_s {
    settings_field_t field;      // where a record holds it
    const char* key;             // config.yml key
    settings_form_e form;        // how the file writes it
    uint64_t most;               // largest value the file may give
    settings_missing_e missing;  // what a missing or bad value gives
    settings_part_e part;        // the part of the file it is written in
    const char* comment;         // written after the value; empty for none
};

// SETTINGS_TABLE as rows, in file order.
inline constexpr settings_row_s settings_table[] = {
#define SETTINGS_ROW(type, name, start, key, form, most, missing, part, comment) \
    {&settings_s::name, key, SETTINGS_##form, most, SETTINGS_##missing, SETTINGS_##part, comment},
    SETTINGS_TABLE(SETTINGS_ROW)
#undef SETTINGS_ROW
};

// The process-wide values packed into one record.
settings_s settings_get();
// Stores every value of a record into the process-wide values.
void settings_set(const settings_s& values);
// Puts every value back to its start value (used by tests).
void settings_reset();
