// Argument helpers shared by the kestrune-cli commands: usage errors, numbers, accounts.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "account/address.h"
#include "cli/cli.h"
#include "gpu/gpu.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "settings/settings.h"

int cli_usage_error(const char* command, const std::string& message) {
    std::fprintf(stderr, "kestrune-cli %s: %s\n", command, message.c_str());
    std::fprintf(stderr, "Try 'kestrune-cli %s --help'.\n", command);
    return CLI_USAGE;
}

void cli_print_message(const char* title, const char* text) { std::fprintf(stderr, "%s: %s\n", title, text); }

const char* cli_log_hint() { return sys_log_state() == SYS_LOG_OWN ? "see log.txt" : "see the messages above"; }

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

bool cli_parse_gpu_nonces(const char* text, uint64_t* nonces) {
    uint64_t value = 0;
    if (!cli_parse_u64(text, &value) || value == 0 || value % 32 != 0 || value > GPU_MAX_NONCES) return false;
    *nonces = value;
    return true;
}

gpu_tuning_s cli_gpu_tuning() {
    gpu_tuning_s value;
    value.hashes_per_dispatch = hash_per_dispatch;
    value.threads_per_group = threads_per_group;
    return value;
}

cli_gpu_plan_s cli_gpu_plan(const gpu_desc_s& desc, uint32_t gpus, uint64_t forced) {
    gpu_overrides_s overrides;
    overrides.forced = forced;
    overrides.max_setting = max_gpu_nonces > 0 ? (uint64_t)max_gpu_nonces : 0;
    const gpu_size_s size = gpu_size_device(desc, overrides);
    cli_gpu_plan_s plan;
    plan.nonces = size.nonces;
    plan.limit = gpu_limit_name(size.limit);
    plan.gen_buffers = size.gen_buffers;
    // Within the host's memory budget as plotting without a limit would have it.
    gpu_sizing_s sizing;
    sizing.memory = sys_total_ram() / 4 * 3;
    sizing.gpus = std::max<uint32_t>(gpus, 1);
    sizing.min_max_alloc = desc.max_alloc_size ? desc.max_alloc_size : UINT64_MAX;
    sizing.min_global_mem = desc.global_mem_size ? desc.global_mem_size : UINT64_MAX;
    sizing.tuned = size.limit == GPU_LIMIT_FALLBACK ? 0 : (int32_t)std::min<uint64_t>(size.nonces, INT32_MAX);
    const uint64_t host = gpu_plan_nonces(sizing);
    if (host < plan.nonces) {
        plan.nonces = host;
        plan.limit = "host memory";
        uint64_t part_nonces = 0;
        plan.gen_buffers = gpu_gen_parts(host, sizing.min_max_alloc, 32, &part_nonces);
    }
    return plan;
}
