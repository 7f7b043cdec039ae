// The process-wide settings values, their start values, and packing them into a record.
#include "settings/settings.h"

namespace {
const settings_s start_values;
}

uint64_t account_id = start_values.account_id;
bool auto_start_nonce = start_values.auto_start_nonce;
uint32_t gpu_mask = start_values.gpu_mask;
uint64_t max_ram_bytes = start_values.max_ram_bytes;
uint64_t max_file_bytes = start_values.max_file_bytes;
uint64_t max_fill_bytes = start_values.max_fill_bytes;
bool dont_adjust_gpu_dog = start_values.dont_adjust_gpu_dog;
int32_t hash_per_dispatch = start_values.hash_per_dispatch;
int32_t threads_per_group = start_values.threads_per_group;
int32_t cpu_threads = start_values.cpu_threads;
int32_t max_gpu_nonces = start_values.max_gpu_nonces;
bool use_poc2_format = start_values.use_poc2_format;
bool ssd_scatter = start_values.ssd_scatter;

settings_s settings_get() {
    settings_s s;
    s.account_id = account_id;
    s.auto_start_nonce = auto_start_nonce;
    s.gpu_mask = gpu_mask;
    s.max_ram_bytes = max_ram_bytes;
    s.max_file_bytes = max_file_bytes;
    s.max_fill_bytes = max_fill_bytes;
    s.dont_adjust_gpu_dog = dont_adjust_gpu_dog;
    s.hash_per_dispatch = hash_per_dispatch;
    s.threads_per_group = threads_per_group;
    s.cpu_threads = cpu_threads;
    s.max_gpu_nonces = max_gpu_nonces;
    s.use_poc2_format = use_poc2_format;
    s.ssd_scatter = ssd_scatter;
    return s;
}

void settings_set(const settings_s& s) {
    account_id = s.account_id;
    auto_start_nonce = s.auto_start_nonce;
    gpu_mask = s.gpu_mask;
    max_ram_bytes = s.max_ram_bytes;
    max_file_bytes = s.max_file_bytes;
    max_fill_bytes = s.max_fill_bytes;
    dont_adjust_gpu_dog = s.dont_adjust_gpu_dog;
    hash_per_dispatch = s.hash_per_dispatch;
    threads_per_group = s.threads_per_group;
    cpu_threads = s.cpu_threads;
    max_gpu_nonces = s.max_gpu_nonces;
    use_poc2_format = s.use_poc2_format;
    ssd_scatter = s.ssd_scatter;
}

void settings_reset() { settings_set(start_values); }
