// An inventory of plot folders from names, sizes, resume records and locks alone (no nonce
// data is read): each file's state, overlapping ranges, totals per account and per folder.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// What the inventory found out about one file.
enum inventory_state_e {
    INVENTORY_COMPLETE = 0,    // finished name, size matching the name
    INVENTORY_UNFINISHED = 1,  // a .plotting file nobody is writing
    INVENTORY_WRITING = 2,     // another process holds the writer's lock
    INVENTORY_WRONG_SIZE = 3,  // the size does not match the name
    INVENTORY_CONVERTING = 4,  // a conversion journal of either of its names lies beside it
    INVENTORY_MOVING = 5,      // a mover's copy (".moving"), growing until it gets its plain name
};
const char* inventory_state_name(inventory_state_e state);  // "complete", "unfinished", ...

struct inventory_file_s {
    std::string path;         // folder as given, "/", name
    std::string folder;       // the folder as given
    uint64_t account = 0;     // account id from the name
    uint64_t start = 0;       // first nonce number
    uint64_t nonces = 0;      // nonce count from the name
    bool poc2 = false;        // three-number name
    inventory_state_e state = INVENTORY_COMPLETE;
    uint64_t size = 0;        // bytes on disk
    uint64_t written = 0;     // unfinished and writing: nonces the resume record promises (0 when invalid)
    std::string journal;      // converting: the journal beside it
};

// Two files of one account whose nonce ranges share `nonces` nonces.
struct inventory_overlap_s {
    uint64_t account = 0;
    std::string first, second;  // paths, in the order the files are listed
    uint64_t nonces = 0;
};

// Totals of a group of files (one account or one folder). Only nonces that are on the disk
// count: those of complete files (and of files being converted, which hold all of theirs),
// and apart from them the nonces unfinished files have written. Sums saturate at 2^64 - 1;
// a size in bytes (nonces x 262144) may pass 2^64 and is left to the reader to scale.
struct inventory_total_s {
    std::string folder;       // folder totals: the folder as given
    uint64_t account = 0;     // account totals: the account
    uint64_t files = 0;       // files listed, in any state
    uint64_t nonces = 0;      // nonces of complete and converting files
    uint64_t written = 0;     // nonces written so far into unfinished files
    uint64_t free_bytes = 0;  // folder totals: free space on its file system
    std::string error;        // folder totals: why the folder could not be listed; empty when it was
};

struct inventory_s {
    std::vector<inventory_file_s> files;       // by folder as given, then by name
    std::vector<inventory_overlap_s> overlaps;  // by account, then by the first file's place
    std::vector<inventory_total_s> accounts;   // ascending by account
    std::vector<inventory_total_s> folders;    // in the order given, each once
};

// Lists the plot files of every folder. Folders and files are told apart by device and
// inode, so a folder given twice (under another spelling or through a link) and a file
// reached under two names are listed once, where they are first met. Only regular files
// are plot files. A folder that cannot be listed has no files and says why in its error.
inventory_s inventory_list(const std::vector<std::string>& folders);
