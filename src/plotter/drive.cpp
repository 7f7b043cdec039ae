// Drive records: filling one in for a chosen folder.
#include <cstring>

#include "plotter/drive.h"
#include "plotter/plots.h"
#include "platform/sys.h"
#include "platform/util.h"

bool drive_init(drive_s* drive, const char* path, bool is_ssd) {
    if (!path || !*path || std::strlen(path) > DRIVE_PATH_MAX) return false;
    *drive = drive_s();
    str_copy(drive->path, path, sizeof drive->path);
    sys_volume_info(path, sizeof drive->volume_name, drive->volume_name, drive->fs_name, &drive->serial);
    drive->free_bytes = sys_free_space(path, &drive->total_bytes);
    drive->sector_size = sys_sector_size(path);
    drive->is_ssd = is_ssd;
    return true;
}

uint64_t plots_next_nonce(plots_s* plots, const drive_s* drive) { return plots_next_nonce(plots, drive->path); }
