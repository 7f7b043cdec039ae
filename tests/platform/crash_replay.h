// Power-loss replay: records every change a program makes to the files of some folders through
// the system-call seam, then builds the file-system states a power loss may leave at any point
// (unsynced writes dropped, half kept or torn at 4 KiB; unsynced creates, renames and unlinks
// lost) so that a test can put each one in place, run the same operation again and compare.
//
// The model: a write, a preallocation or a truncation is durable once its file is synced
// (fdatasync or fsync); a creation, rename, link or unlink is durable once the folder of the
// name it makes or removes is synced. Anything else may or may not have reached the disk.
// Unsynced name changes are kept in the order they were made (a journaling file system
// commits them in order); unsynced data may land in any subset. Files are followed by their
// identity, not their name, so data written under one name and renamed stays with the file.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One recorded change.
enum crash_op_e {
    CRASH_CREATE,     // `entry` names a new file `file`
    CRASH_WRITE,      // `bytes` written into `file` at `offset`
    CRASH_GROW,       // `file` is at least `size` bytes (preallocation)
    CRASH_RESIZE,     // `file` is cut or extended to `size` bytes
    CRASH_SYNC_FILE,  // `file`'s data and size are on the disk
    CRASH_SYNC_DIR,   // the names in folder `entry.folder` are on the disk
    CRASH_RENAME,     // `entry` is renamed to `to`, replacing what `to` named
    CRASH_LINK,       // `to` names the file `entry` names
    CRASH_UNLINK,     // `entry` no longer names a file
};

// A name inside a watched folder: the folder's index and the file's name there.
struct crash_entry_s {
    uint32_t folder = 0;
    std::string name;
    bool operator<(const crash_entry_s& o) const { return folder != o.folder ? folder < o.folder : name < o.name; }
};

struct crash_op_s {
    crash_op_e kind = CRASH_WRITE;
    uint64_t file = 0;            // the file written, resized, synced or created
    uint64_t offset = 0, size = 0;
    std::string bytes;            // what a write put there
    crash_entry_s entry, to;      // names the op makes or removes; entry.folder: the folder synced
};

// What the folders held: names (per folder) and the bytes of each file.
struct crash_image_s {
    std::map<crash_entry_s, uint64_t> names;  // entry -> file
    std::map<uint64_t, std::string> files;    // file -> bytes
};

struct crash_recording_s {
    std::vector<std::string> folders;  // the watched folders, as absolute paths
    crash_image_s initial;             // their contents when recording began (all of it durable)
    std::vector<crash_op_s> ops;       // every change since, in the order the calls returned
};

// Snapshots the folders and puts the recorder into the system-call seam: from now on the
// changes the file services make to files in these folders are recorded. Syncs are recorded
// but not sent to the disk (nothing here needs them to be durable for real). Only one
// recording runs at a time; the recording must outlive crash_record_stop.
void crash_record_start(crash_recording_s* recording, const std::vector<std::string>& folders);
// Restores the seam as it was before crash_record_start.
void crash_record_stop();

// Which unsynced data reached the disk.
enum crash_data_e {
    CRASH_DATA_ALL,          // every unsynced write, preallocation and truncation
    CRASH_DATA_NONE,         // none of them
    CRASH_DATA_OLDER_HALF,   // the older half of them, in the order they were made
    CRASH_DATA_NEWER_HALF,   // the newer half (the disk wrote in another order)
    CRASH_DATA_EVEN_PAGES,   // every size change, and the even 4 KiB pages of every write (torn writes)
    CRASH_DATA_ODD_PAGES,    // every size change, and the odd 4 KiB pages of every write
    CRASH_DATA_COUNT,
};
// Which unsynced name changes reached the disk.
enum crash_names_e {
    CRASH_NAMES_ALL,          // all of them
    CRASH_NAMES_NONE,         // none
    CRASH_NAMES_ALL_BUT_LAST, // all but the newest
    CRASH_NAMES_COUNT,
};

// A power loss after the first `cut` ops, with what of the unsynced changes survived.
struct crash_state_s {
    size_t cut = 0;
    crash_data_e data = CRASH_DATA_ALL;
    crash_names_e names = CRASH_NAMES_ALL;
};
std::string crash_state_text(const crash_state_s& state);

// The points worth a power loss: before the first op, before every sync and name change, and
// after the last op; with `stretch_points` > 0 also that many points inside every run of
// writes between them.
std::vector<size_t> crash_cuts(const crash_recording_s& recording, size_t stretch_points = 0);

// The folders' contents after that power loss.
crash_image_s crash_image(const crash_recording_s& recording, const crash_state_s& state);
// A text that two images share exactly when they hold the same names with the same bytes.
std::string crash_image_key(const crash_image_s& image);
// Index of the first op that syncs the file `entry` named when that op ran; SIZE_MAX if none.
size_t crash_first_sync(const crash_recording_s& recording, const crash_entry_s& entry);

// Writes an image into empty folders (one per watched folder, in the same order); names of
// one file become hard links.
void crash_materialize(const crash_image_s& image, const std::vector<std::string>& folders);
// Reads folders back as an image (regular files only, one file per name).
crash_image_s crash_read_folders(const std::vector<std::string>& folders);
// Empty when two images hold the same names with the same bytes; else what differs.
std::string crash_image_diff(const crash_image_s& want, const crash_image_s& got);
