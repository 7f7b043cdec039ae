// Nonce planning: turns the chosen folders into the list of plot files of a run.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "plotter/drive.h"
#include "plotfile/plots.h"

// Everything planning depends on, passed explicitly so tests can use made-up drives.
struct plan_input_s {
    std::vector<drive_s*> ssds;       // staging drives in list order (path, free_bytes, sector_size)
    std::vector<drive_s*> targets;    // target drives in list order (also nonce_seed and fill_limit)
    uint64_t account_id = 0;          // account of every planned file
    bool auto_start = true;           // start nonces per drive from its nonce seed and its plots
    uint64_t start_nonce = 0;         // first nonce of the first target when auto_start is off
    uint64_t max_file_bytes = 0;      // largest file; 0 = no limit
    uint64_t max_fill_bytes = 0;      // bytes of each target to fill at most; 0 = all free space
    bool poc2 = false;                // PoC2 files with three-number names
    bool skip_complete = false;       // a planned file already complete on its target is not plotted again
};

// One planned plot file.
struct plan_job_s {
    drive_s* write_drive = nullptr;   // drive the file is written on
    drive_s* final_drive = nullptr;   // target it moves to; none when written directly
    uint64_t start = 0;               // first nonce number
    uint64_t count = 0;               // number of nonces
    bool poc2 = false;                // PoC2 order, three-number name
    bool resume = false;              // its .plotting file exists and is continued
};

struct plan_result_s {
    std::vector<plan_job_s> jobs;      // files to plot, in order
    std::vector<plan_job_s> complete;  // planned files found already complete (skip_complete only)
    uint64_t max_file_bytes = 0;       // largest planned file in bytes
    bool nonces_ran_out = false;       // a target's planning stopped at the largest nonce number
    uint64_t busy = 0;                 // unfinished files left alone: another writer holds them
    std::vector<const drive_s*> left_out;  // targets too small for a file, in list order (each logged)
    std::vector<std::string> converting;   // files left alone because their conversion is unfinished:
                                           // for each, what it is and how to finish it (logged too)
};

// Nonces of each file planning makes under a largest file size (0 = no limit, which gives 0)
// on a drive of this sector size, when the drive has room for more: whole sectors, and at
// least one sector's worth even when the limit is smaller.
uint64_t plan_file_nonces(uint64_t max_file_bytes, uint64_t sector_size);

// Plans every target in turn. Scans the folders it looks at into plots and logs each
// decision; drives are only read.
plan_result_s plan_compute(plots_s* plots, const plan_input_s& input);
