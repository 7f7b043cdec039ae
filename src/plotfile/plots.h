// Remembered plot folders: which ranges exist, where a folder continues, and whether a new
// range collides.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>


// One plot file found by a folder scan.
struct plots_range_s {
    uint64_t start = 0;     // first nonce number
    uint64_t count = 0;     // number of nonces (at least 1; the range never passes 2^64 - 1)
    uint64_t account = 0;   // account id from the name
    bool poc2 = false;      // three-number name (PoC2 order)
    bool plotting = false;  // unfinished: the name ends in ".plotting"
    bool plain = false;     // nothing follows the numbers: a finished plot file
    bool moving = false;    // the name ends in ".moving": a copy a move is making
    bool busy = false;      // unfinished, and another writer holds its lock
    bool converting = false;  // finished, and a conversion journal of either of its names lies beside it
};

// Every folder scanned so far and the plot files found in each.
struct plots_s {
    std::set<std::string> folders;                               // scanned folders, each ending in "/"
    std::map<std::string, std::vector<plots_range_s>> ranges;     // per folder, ascending by start, then count
};

plots_s* plots_create();
void plots_destroy(plots_s* plots);

// Scans a folder once; later calls for the same folder do nothing.
void plots_folder_add(plots_s* plots, const char* folder);

// The nonce just after the remembered plots of a folder (0 when there are none).
uint64_t plots_next_nonce(plots_s* plots, const char* folder);

// A range the collision test leaves out: the unfinished file a planned job resumes.
struct plots_exempt_s {
    std::string folder;     // folder key (ending in "/")
    plots_range_s range;     // the .plotting file's account, range and form
};

// Whether [start, start + count) collides with any remembered plot. A range ending exactly
// where a plot begins counts as colliding. Ranges listed in exempt are passed over.
bool plots_collides(const plots_s* plots, uint64_t start, uint64_t count,
                    const std::vector<plots_exempt_s>* exempt = nullptr);

// True when a range of count nonces starting at start stays within the nonce numbers.
inline bool plots_range_valid(uint64_t start, uint64_t count) {
    return count > 0 && count - 1 <= UINT64_MAX - start;
}
