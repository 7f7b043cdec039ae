// The farm screen: every plot file of the chosen and remembered folders with its state and
// the overlaps between them, and the in-place conversion of PoC1 files to PoC2.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plotfile/inventory.h"
#include "ui/window.h"

// One file a conversion run works on.
struct farm_job_s {
    std::string path;     // the file as listed
    std::string folder;   // its folder as listed: the drive named when it fails
    bool to_poc2 = true;  // the layout it ends in (an interrupted conversion keeps its own)
    uint64_t bytes = 0;   // the file's size
};

// What the Convert button would do with the listed files.
struct farm_plan_s {
    std::vector<farm_job_s> jobs;      // complete PoC1 files and interrupted conversions
    uint64_t bytes = 0;                // their sizes together
    uint64_t resumes = 0;              // jobs that finish an interrupted conversion
    std::vector<std::string> skipped;  // why each other PoC1 file is left alone
};

// How a conversion run ended, counted by the worker.
struct farm_outcome_s {
    uint64_t converted = 0, failed = 0;
    std::vector<std::string> skipped;  // why each refused file was left alone
    bool stopped = false;              // Stop (or closing) ended it before its last file
};

// One line of the list.
enum farm_row_e { FARM_ROW_FOLDER, FARM_ROW_FILE, FARM_ROW_OVERLAP, FARM_ROW_EMPTY };
struct farm_row_s {
    farm_row_e kind = FARM_ROW_FILE;
    size_t index = 0;   // into the inventory's folders (folder rows) or files (file rows)
    std::string text;   // overlap rows: what the file shares with which other file
};

// The screen's state, on the UI thread. The worker reaches it only through sys_ui_post.
struct farm_s {
    inventory_s inventory;   // the last listing
    std::vector<farm_row_s> rows;  // the list drawn from it
    farm_plan_s plan;              // what Convert would do with it
    bool listing = false;          // a listing is being read
    bool converting = false;       // a conversion run is going
    bool stopping = false;         // Stop was pressed; the current step is finishing
    // The run's progress as last reported: file index, bytes done in it, bytes done by
    // this run alone (the rate), and when it began.
    std::vector<farm_job_s> run;
    size_t current = 0;
    uint64_t file_done = 0, fresh = 0;
    double began = 0;
    std::string summary;           // what the last run did; empty before one
    float scroll = 0;              // list offset from its top, pixels
    float content = 0;             // height of the whole list, pixels
    bool dragging = false;         // the list follows the pointer
    int32_t drag_y = 0;            // where the drag began
    float drag_scroll = 0;         // the offset then
};

extern farm_s farm;

// The folders listed: the setup screen's targets and staging folders, then those remembered.
std::vector<std::string> farm_folders();
// Shows the screen and reads the folders on the worker.
void farm_open();
void farm_paint(void* user_data);
// Wheel and drag over the list (pointer events of the window).
void farm_mouse(int32_t kind, int32_t x, int32_t y);
// The Convert button: asks, then converts the plan's files on the worker.
void farm_convert();
// The Stop button: the worker stops after its current step.
void farm_stop();
// Back to the setup screen, nothing changed.
void farm_back();
bool farm_converting();
// Stops a run after its current step and waits for the worker (closing the window, tests).
void farm_end();

// What Convert would do with a listing.
farm_plan_s farm_plan(const inventory_s& inventory);
// The text cut in its middle ("...") to fit `width` pixels in the current font.
std::string farm_shorten(window_s* window, const std::string& text, float width);
// The run's words: how many were converted, failed, skipped and why.
std::string farm_outcome_text(const farm_outcome_s& outcome);

// Where the text of a file that failed goes (the plotting failures' message path); called
// on the worker.
using farm_failure_fn = std::function<void(const std::string& text)>;
void farm_set_failure_path(farm_failure_fn path);

void farm_reset_for_tests();
