// Start values of the process-wide settings.
#include "settings/settings.h"

uint64_t account_id = 0;
bool auto_start_nonce = true;
uint32_t gpu_mask = 0;
uint64_t max_ram_bytes = 0;
uint64_t max_file_bytes = 1000000000000ull;
uint64_t max_fill_bytes = 0;
bool dont_adjust_gpu_dog = false;
int32_t hash_per_dispatch = 32;
int32_t threads_per_group = 32;
int32_t cpu_threads = 0;
int32_t max_gpu_nonces = 0;
bool use_poc2_format = false;
bool ssd_scatter = false;

void settings_reset() {
    account_id = 0;
    auto_start_nonce = true;
    gpu_mask = 0;
    max_ram_bytes = 0;
    max_file_bytes = 1000000000000ull;
    max_fill_bytes = 0;
    dont_adjust_gpu_dog = false;
    hash_per_dispatch = 32;
    threads_per_group = 32;
    cpu_threads = 0;
    max_gpu_nonces = 0;
    use_poc2_format = false;
    ssd_scatter = false;
}
