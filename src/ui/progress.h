// The progress and summary screens' state: rate series, stage start times, the time
// estimate and the run's history of cumulative totals per time bucket.
#pragma once
#include <cstdint>
#include <vector>

#include "ui/widgets.h"

// Cumulative bytes at the end of one history bucket.
struct history_record_s {
    double moved = 0, written = 0, computed = 0;
};

// What the progress screen keeps per drive, in the order of the app's drive lists.
struct drive_progress_s {
    rate_series_s write_series;  // bytes per second written to (or moved onto) the drive
    uint64_t planned_nonces = 0; // nonces of the jobs written to or moved to it; recounted per paint
};

struct progress_state_s {
    rate_series_s compute_series;                // nonces per minute
    std::vector<drive_progress_s> ssds, targets; // parallel to the setup's drive lists
    double compute_began = 0, write_began = 0, move_began = 0;  // first paint with data; 0 = not yet
    double last_eta_update = 0;
    char eta_text[128] = {};                     // last "Estimated time remaining: %s"
    std::vector<history_record_s> history;       // cumulative totals per bucket
    float history_bucket = 1;                    // seconds per history record
    double done_time = 0;                        // when the run finished
};

extern progress_state_s progress;

// Seconds per history record for a run of total_nonces: 50 records at 100000 nonces per
// minute, never shorter than the sampler's second.
float history_bucket_for(uint64_t total_nonces);
// Sets the bucket length and starts the 1000 ms sampler, which stops once the run finished.
void history_start(uint64_t total_nonces);
// Records the plotter's totals at time now into its bucket; skipped buckets are filled in
// evenly from the previous record to this one, so no bucket reads as a drop to zero.
void history_record(double now);
// Keeps about 75 records of a history of 101 or more (every k-th, k = records / 75).
void history_thin();
// The screens with an explicit clock, as paint_cb and summary_paint call them.
void progress_paint(window_s* window, double now);
void summary_draw(window_s* window);
// The screens as paint callbacks, on the window of the session.
void paint_cb(void* user_data);
void summary_paint(void* user_data);
// Forgets the run's progress, for tests.
void progress_reset();
