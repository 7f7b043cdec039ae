// A chosen folder (staging SSD or target) as the planner and the work thread see it.
#pragma once
#include <cstdint>

struct job_s;

struct drive_s {
    char path[260] = {};           // the folder as chosen
    char volume_name[260] = {};    // "No name" when empty, which on Linux is always
    char fs_name[260] = {};        // file-system name (empty on Linux)
    uint32_t serial = 0;           // volume serial (random on Linux); seeds the automatic start nonce
    uint64_t total_bytes = 0;      // size of the file system
    uint64_t free_bytes = 0;       // free space, refreshed by the work thread and the progress screen
    uint64_t sector_size = 512;    // bytes per sector; sizes the resume record
    bool is_ssd = false;           // a staging folder
    uint64_t bytes_written = 0;    // bytes written to or moved onto the drive in this run
    job_s* moving_job = nullptr;   // job whose file is being moved off this drive
    job_s* current_job = nullptr;  // job writing to this drive or moving a file into it
    double free_time = 0;          // when free_bytes was last read by the work thread
    uint64_t fill_limit = 0;       // bytes of this target to fill at most; 0 = no limit
    bool failed = false;           // a write, sync or move on it failed in this run; it takes no more
                                   // work (set under the plotter's lock)
    // Progress screen only.
    double shown_rate = 0;         // last displayed write rate, MiB/s
};
