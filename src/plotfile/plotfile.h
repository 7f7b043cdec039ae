// Plot files on disk: their names, the scoop-major layout a batch is written into, and
// the resume record in the last sector of an unfinished file.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "nonce/nonce.h"

// "account_start_count" (PoC2) or "account_start_count_count" (PoC1 optimized).
std::string plotfile_name(uint64_t account, uint64_t start, uint64_t count, bool poc2);
// The name above joined to a folder with "/".
std::string plotfile_path(const char* folder, uint64_t account, uint64_t start, uint64_t count, bool poc2);

// What a plot file name says about its file.
enum plotfile_name_e {
    PLOTFILE_NAME_NONE = 0,           // not a plot file name
    PLOTFILE_NAME_POC2 = 1,           // account_start_count
    PLOTFILE_NAME_POC1 = 2,           // account_start_count_count (PoC1 optimized)
    PLOTFILE_NAME_NOT_OPTIMIZED = 3,  // four numbers whose stagger is not the count
};

struct plotfile_name_s {
    uint64_t account = 0;    // account id
    uint64_t start = 0;      // first nonce number
    uint64_t count = 0;      // nonces in the file, at least 1; start + count - 1 fits 64 bits
    const char* rest = "";   // what follows the numbers: "" for a finished file, ".plotting", ...
};

// Reads the part of `path` after its last "/": three or four plain decimal numbers that fit
// 64 bits, joined by "_". A count of 0 or a range past nonce 2^64 - 1 is no plot name;
// `name` is filled for every other kind.
plotfile_name_e plotfile_name_parse(const char* path, plotfile_name_s* name);

// How plotfile_write_batch ends besides 0 (the whole batch written) or a system error number.
constexpr int PLOTFILE_WRITE_STOPPED = -1;  // the stop flag ended the write early
constexpr int PLOTFILE_WRITE_MISFIT = -2;   // the batch does not fit the file or buffer; nothing written

// Direct row writes a drive is given at once, so that it never waits for the next request.
constexpr uint32_t PLOTFILE_WRITE_DEPTH = 4;

// Writes the first `count` nonces of a batch (already in the file's scoop order) into a
// file of `file_nonces` nonces at file-relative index `first_index`: scoop row s goes
// to file offset (s * file_nonces + first_index) * 64, for the scoops [scoop_begin,
// scoop_end). `row_done` (may be empty) runs after every row with its byte count. The stop
// flag is checked before every row. Returns 0 when the rows are written, PLOTFILE_WRITE_STOPPED,
// PLOTFILE_WRITE_MISFIT (after logging an assertion failure), or the error number of the first
// failed write. With `direct_fd` (from sys_file_open_direct) rows go around the page cache,
// PLOTFILE_WRITE_DEPTH of them in flight where the system allows it; once one is refused, the
// rest go through `fd`.
int plotfile_write_batch(int64_t fd, uint64_t file_nonces, uint64_t first_index, uint64_t count,
                          const batch_buffer_s* batch, const std::atomic<bool>* stop,
                          const std::function<void(uint64_t row_bytes)>& row_done = nullptr,
                          int64_t direct_fd = 0, uint64_t scoop_begin = 0, uint64_t scoop_end = SCOOPS_PER_PLOT);

// Size of the resume record on every disk: the size unfinished files have always had it in,
// so a file resumes whatever the block size of the disk it lies on.
constexpr uint64_t PLOTFILE_RECORD_BYTES = 512;

// Writes the resume record (zeros, then `nonces_written` as 64-bit little-endian) into
// the last sector. Nothing is written once the file is complete, nor when that sector
// also holds scoops of nonces already written (a count that is not a whole number of
// sector groups): the sector then holds plot data. False, with errno, when the write failed.
bool plotfile_resume_write(int64_t fd, uint64_t file_nonces, uint64_t sector_size, uint64_t nonces_written);

// Flushes the file's data, then writes the resume record, so a record never promises
// nonces that could still be lost in a crash. False, with errno, if the flush or the
// record's write failed.
bool plotfile_resume_commit(int64_t fd, uint64_t file_nonces, uint64_t sector_size, uint64_t nonces_written);

// Reads the resume record without logging: true with the count it promises when the
// record is valid (zeros before a value below file_nonces).
bool plotfile_resume_value(int64_t fd, uint64_t file_nonces, uint64_t sector_size, uint64_t* value);

// The tail of a file: its last PLOTFILE_TAIL_NONCES nonces (the whole of a smaller file). Their
// row of scoop 4095 is the file's last 512 bytes, where the resume record lies, so the
// record is overwritten exactly when that row is written. The writer issues no write into
// the last sector before everything else of the file is flushed and the record says so (it
// splits the batch that reaches into the tail there), so a last sector of plot data on the
// disk proves the rest of the file, the other tail rows included, durable. The tail's place
// follows from the file's size alone: a resume finds it whatever batch sizes earlier runs
// used (they depend on memory and processors).
constexpr uint64_t PLOTFILE_TAIL_NONCES = PLOTFILE_RECORD_BYTES / SCOOP_SIZE;
// The file-relative index of the tail's first nonce.
uint64_t plotfile_tail_first(uint64_t file_nonces);

// How much of a file's tail is on the disk.
enum plotfile_tail_e {
    PLOTFILE_TAIL_NONE = 0,   // no scoop of it (or the file could not be read)
    PLOTFILE_TAIL_PART = 1,   // some scoops, not all
    PLOTFILE_TAIL_WHOLE = 2,  // every scoop
};
// Compares the file's tail with its nonces computed anew: `tail` holds them from index 0,
// in the file's scoop order.
plotfile_tail_e plotfile_tail_compare(int64_t fd, uint64_t file_nonces, const batch_buffer_s* tail);

// Reads the resume record and logs the outcome; returns the file-relative index to
// continue from. When the record is unreadable or invalid, `compute_tail` (may be empty)
// gives the tail's nonces computed anew (none when it cannot), and the tail decides: all of
// it on the disk gives file_nonces (the file is complete), part of it the tail's first
// index; otherwise the file starts from 0.
uint64_t plotfile_resume_read(int64_t fd, uint64_t file_nonces, uint64_t sector_size,
                          const std::function<const batch_buffer_s*()>& compute_tail = nullptr);
