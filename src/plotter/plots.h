// Remembered plot folders and the nonce arithmetic of planning: which ranges exist, where
// a drive continues, whether a new range collides, and how many nonces a byte amount holds.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

struct drive_s;

// One plot file found by a folder scan.
struct plot_range_s {
    uint64_t start = 0;     // first nonce number
    uint64_t count = 0;     // number of nonces (at least 1; the range never passes 2^64 - 1)
    uint64_t account = 0;   // account id from the name
    bool poc2 = false;      // three-number name (PoC2 order)
    bool plotting = false;  // unfinished: the name ends in ".plotting"
    bool plain = false;     // nothing follows the numbers: a finished plot file
};

// Every folder scanned so far and the plot files found in each.
struct plots_s {
    std::set<std::string> folders;                               // scanned folders, each ending in "/"
    std::map<std::string, std::vector<plot_range_s>> ranges;     // per folder, ascending by start, then count
};

// Longest folder path a drive accepts: its longest plot file name and the in-progress
// suffix must still fit the 260-byte path fields.
constexpr uint64_t DRIVE_PATH_MAX = 260 - 1 - 1 - (4 * 20 + 3) - 10;

// Fills a drive record for a folder. False (and nothing changed) when the path is too long
// to hold the names of its plot files; the caller reports it.
bool drive_init(drive_s* drive, const char* path, bool is_ssd);

plots_s* plots_create();
void plots_destroy(plots_s* plots);

// Scans a folder once; later calls for the same folder do nothing.
void plots_folder_add(plots_s* plots, const char* folder);

// The nonce just after the remembered plots of a folder (0 when there are none).
uint64_t plots_next_nonce(plots_s* plots, const char* folder);
uint64_t plots_next_nonce(plots_s* plots, const drive_s* drive);

// A range the collision test leaves out: the unfinished file a planned job resumes.
struct plots_exempt_s {
    std::string folder;     // folder key (ending in "/")
    plot_range_s range;     // the .plotting file's account, range and form
};

// Whether [start, start + count) collides with any remembered plot. A range ending exactly
// where a plot begins counts as colliding. Ranges listed in exempt are passed over.
bool plots_collides(const plots_s* plots, uint64_t start, uint64_t count,
                    const std::vector<plots_exempt_s>* exempt = nullptr);

// True when a range of count nonces starting at start stays within the nonce numbers.
inline bool nonce_range_valid(uint64_t start, uint64_t count) {
    return count > 0 && count - 1 <= UINT64_MAX - start;
}

// Nonces a byte amount holds for planning: whole groups of 4096 nonces, below 2^46,
// then a multiple of sector_size / 64 when the sector size is not 0.
uint64_t drive_nonces_fit(uint64_t bytes, uint64_t sector_size);
