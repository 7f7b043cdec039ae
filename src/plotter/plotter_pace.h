// Shaping the batch memory for whichever stage is slower, computing or the drives: the two
// layouts, the choice between them from measured rates, and the measuring.
//
// With D drives written at once the memory is cut either into D buffers (one per drive:
// the longest rows, but a drive waits while its next batch is computed) or into D + 1 (one
// spare that the computing fills while the drives write: shorter rows, no waiting). A hard
// disk serves a limited number of requests a second whatever their size, so when it sets
// the pace the longer rows can outweigh the overlap.
#pragma once
#include <cstdint>
#include <string>

// How the batch memory is cut.
struct pace_layout_s {
    uint32_t buffers = 0;   // batch buffers
    uint64_t capacity = 0;  // nonces each holds
    bool spare = false;     // one more buffer than drives, filled while they write
};

// What was measured: the computing on every thread, and each layout's rows on the drives.
struct pace_rates_s {
    double nonce_seconds = 0;      // computing time of one nonce
    double own_row_seconds = 0;    // drive time of one row of the one-per-drive layout
    double spare_row_seconds = 0;  // drive time of one row of the spare layout
};

// The choice and what it expects, in nonces per second of all drives together.
struct pace_plan_s {
    pace_layout_s layout;
    double own_rate = 0;      // expected with one buffer per drive
    double spare_rate = 0;    // expected with the spare buffer
    double compute_rate = 0;  // what the computing alone could give
    double drive_rate = 0;    // what the drives alone could take, with the longest rows
};

// One buffer per drive: the arena's share of each, no larger than the largest file.
pace_layout_s plotter_pace_own(uint64_t arena_nonces, uint32_t drives, uint64_t largest_file, uint64_t sector_nonces);
// One more buffer than drives, each at most a quarter of the largest file, so that a file's
// writing overlaps the computing of its next batch from its first batch on.
pace_layout_s plotter_pace_spare(uint64_t arena_nonces, uint32_t drives, uint64_t largest_file, uint64_t sector_nonces);

// The layout the rates favour; the spare one on a tie or when a rate is unknown (0).
pace_plan_s plotter_pace_choose(uint32_t drives, const pace_layout_s& own, const pace_layout_s& spare,
                                const pace_rates_s& rates);

// The drive time the probe predicts for one row of `row_bytes`: a straight line through
// the two layouts' measured rows (a request's fixed cost plus its bytes), their one point when
// they are of one length; 0 when the probe measured nothing.
double plotter_pace_row_seconds(const pace_layout_s& own, const pace_layout_s& spare, const pace_rates_s& rates,
                                uint64_t row_bytes);

// Whether a run in `current` should change to the layout of `plan`: only for a gain of a
// tenth or more, since the change costs the drives a wait (every buffer must come back).
bool plotter_pace_worth_change(const pace_layout_s& current, const pace_plan_s& plan);

// The plan-log line: which stage sets the pace and the rows chosen.
std::string plotter_pace_text(const pace_plan_s& plan);

// Seconds per row on the drive of `folder` for rows of `row_bytes`, written directly into
// a nameless scratch file with the writer's requests in flight; 0 when the drive cannot be
// written that way (no direct I/O), which leaves the choice to the spare layout.
double plotter_pace_probe(const char* folder, uint64_t row_bytes);
