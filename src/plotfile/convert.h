// In-place conversion of optimized plot files between PoC1 and PoC2 scoop order, made
// crash-safe by a journal beside the file.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

// How a conversion ended.
enum convert_status_e {
    CONVERT_DONE = 0,       // converted (or a crashed conversion finished) and renamed
    CONVERT_ALREADY = 1,    // nothing to do: the file already has the asked-for layout
    CONVERT_REFUSED = 2,    // not touched: the message says why
    CONVERT_FAILED = 3,     // an I/O error stopped it; a rerun finishes it
    CONVERT_STOPPED = 4,    // stopped on request after a whole step; the journal lets a rerun finish it
};

struct convert_result_s {
    convert_status_e status = CONVERT_REFUSED;
    std::string message;      // what happened, for the user (no trailing newline)
    std::string final_path;   // the file's name in the asked-for layout
    uint64_t bytes = 0;       // bytes of the file rewritten by this run
    bool resumed = false;     // the journal held a whole step of an earlier, interrupted run
};

// Called before the first step and after every step with the bytes of the file done so far (earlier runs included)
// and the file's size.
using convert_progress_fn = std::function<void(uint64_t done, uint64_t total)>;
// Asked before every step: true stops the conversion there, with the file and its journal
// as a crash after that step would leave them. Called on the converting thread.
using convert_stop_fn = std::function<bool()>;

// The journal of the file at plot_path while it is being converted.
std::string convert_journal_path(const std::string& plot_path);

// A conversion that has not finished yet.
struct convert_pending_s {
    std::string journal;  // its journal
    bool to_poc2 = true;  // the layout it converts to
};
// Whether the finished plot file at plot_path is in the middle of a conversion: a journal
// of either of its names lies beside it (the old name's journal stays until the file has its
// new name). `exists` tells whether a path exists (default: the file system).
bool convert_pending(const std::string& plot_path, convert_pending_s* pending,
                     const std::function<bool(const std::string&)>& exists = nullptr);
// What the pending conversion of plot_path means for the user, to follow the file's name:
// "is being converted to poc2: its journal ... lies beside it, and running `kestrune-cli
// convert ...` again finishes it".
std::string convert_pending_text(const std::string& plot_path, const convert_pending_s& pending);

// Converts the plot file named by `path` (either its PoC1 or its PoC2 name) to PoC2 order
// (to_poc2) or PoC1 order, in place, using at most about `memory` bytes of buffers (at
// least a few hundred bytes). The file keeps its old name until every byte is converted
// and flushed, then it is renamed and its journal deleted. A journal left by an interrupted
// run is finished first, whichever name is given. `stop` may end it between steps
// (CONVERT_STOPPED).
convert_result_s convert_file(const std::string& path, bool to_poc2, uint64_t memory,
                              const convert_progress_fn& progress = nullptr, const convert_stop_fn& stop = nullptr);
