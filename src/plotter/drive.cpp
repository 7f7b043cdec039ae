// Drive records: filling one in for a chosen folder, and the nonces a byte amount holds.
#include "plotter/drive.h"

#include <cstring>

#include "nonce/nonce.h"
#include "platform/sys.h"
#include "platform/util.h"

bool drive_init(drive_s* drive, const char* path, bool is_ssd) {
    if (!path || !*path || std::strlen(path) > DRIVE_PATH_MAX) return false;
    *drive = drive_s();
    str_copy(drive->path, path, sizeof drive->path);
    drive->nonce_seed = sys_volume_serial(path);
    drive->free_bytes = sys_free_space(path, &drive->total_bytes);
    drive->sector_size = sys_sector_size(path);
    drive->is_ssd = is_ssd;
    return true;
}

uint64_t drive_nonce_group(uint64_t sector_size) {
    const uint64_t group = sector_size / SCOOP_SIZE;
    return group ? group : 1;
}

uint64_t drive_nonces_fit(uint64_t bytes, uint64_t sector_size) {
    uint64_t nonces = nonce_cut_to(bytes / PLOT_SIZE, DRIVE_PLAN_NONCES);
    nonces &= ((uint64_t)1 << 46) - 1;
    const uint64_t group = sector_size / SCOOP_SIZE;
    if (sector_size != 0 && group != 0) nonces -= nonces % group;
    return nonces;
}
