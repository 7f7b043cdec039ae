// A chosen folder (staging SSD or target) as the planner and the work thread see it, and
// the nonce arithmetic of a drive.
#pragma once
#include <atomic>
#include <cstdint>

struct job_s;

// A byte count that writer and mover tasks add to while the progress screen reads it.
// Copying a record copies the count (records are copied only while no run uses them).
struct drive_counter_s {
    std::atomic<uint64_t> value{0};  // the count
    drive_counter_s() = default;
    drive_counter_s(const drive_counter_s& other) : value(other.load()) {}
    drive_counter_s& operator=(const drive_counter_s& other) {
        value.store(other.load(), std::memory_order_relaxed);
        return *this;
    }
    uint64_t load() const { return value.load(std::memory_order_relaxed); }
    void add(uint64_t bytes) { value.fetch_add(bytes, std::memory_order_relaxed); }
};

struct drive_s {
    char path[260] = {};           // the folder as chosen
    uint32_t nonce_seed = 0;       // the file system's serial; seeds the automatic start nonce, so every
                                   // run on that file system starts from the same base
    uint64_t total_bytes = 0;      // size of the file system
    uint64_t free_bytes = 0;       // free space when planned, refreshed by the work thread while it runs
    uint64_t sector_size = 512;    // logical block size; batches and file sizes are whole blocks
    bool is_ssd = false;           // a staging folder
    drive_counter_s bytes_written; // bytes written to or moved onto the drive in this run
    uint32_t moves_off = 0;        // moves of files off this drive running now, one per target
                                   // (under the plotter's lock)
    job_s* current_job = nullptr;  // job writing to this drive or moving a file into it (under the plotter's lock)
    double free_time = 0;          // when free_bytes was last read by the work thread
    uint64_t fill_limit = 0;       // bytes of this target to fill at most; 0 = no limit
    bool failed = false;           // a write, sync or move on it failed in this run; it takes no more
                                   // work (set under the plotter's lock)
};

// Longest folder path a drive accepts: its longest plot file name and the in-progress
// suffix must still fit the 260-byte path fields.
constexpr uint64_t DRIVE_PATH_MAX = 260 - 1 - 1 - (4 * 20 + 3) - 10;

// Fills a drive record for a folder. False (and nothing changed) when the path is too long
// to hold the names of its plot files; the caller reports it.
bool drive_init(drive_s* drive, const char* path, bool is_ssd);

// Nonces whose scoops fill one sector of `sector_size` bytes. A file on such a drive holds a
// whole number of these, so that each of its scoop rows (64 bytes a nonce) is whole sectors.
uint64_t drive_nonce_group(uint64_t sector_size);

// Planning counts free space in whole groups of this many nonces (1 GiB): a drive with
// less free space gets no file.
constexpr uint64_t DRIVE_PLAN_NONCES = 4096;

// Nonces a byte amount holds for planning: whole groups of DRIVE_PLAN_NONCES, below 2^46,
// then a multiple of sector_size / 64 when the sector size is not 0.
uint64_t drive_nonces_fit(uint64_t bytes, uint64_t sector_size);
