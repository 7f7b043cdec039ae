// Helpers for the plotting-engine tests: checking plot files against nonce_compute and
// driving small runs of the work thread.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plotter/plotter.h"
#include "plotter/plotter_setup.h"
#include "plotter/plotter_size.h"
#include "plotter/plotter_work.h"
#include "test_support.h"

// Number of nonces of a plot file whose bytes differ from nonce_compute; -1 when the file
// is missing or has the wrong size.
int64_t engine_bad_nonces(const std::string& path, uint64_t account, uint64_t start, uint64_t count, bool poc2);

// The bytes of the plot file of nonces [start, start + count) as the reference computes them.
std::string engine_reference_plot(uint64_t account, uint64_t start, uint64_t count, bool poc2 = false);

// Plans with the given input, sets the plotter up on the CPU with room for batches of
// batch_nonces (paced: buffers shaped by the measured stages), and waits for the work thread
// to end. Returns the plan.
plan_result_s engine_run(plotter_s* plotter, plots_s* plots, const plan_input_s& input, uint64_t batch_nonces,
                         bool pace = false);

// A fresh plotter plots nonces [0, nonces) of `account` onto the target folder, through the
// staging folder when one is given, in batches of `batch`, computing with `cpu_batch` (none:
// the CPU code). 0 when the run ended well, 3 when it failed, 5 when it did not finish.
int engine_plot(const std::string& target, const std::string& ssd, uint64_t account, uint64_t nonces, uint64_t batch,
                decltype(plotter_seam_s::cpu_batch) cpu_batch = {});

// What `log` writes to standard error.
template <typename F>
std::string engine_logged(F log) {
    testing::internal::CaptureStderr();
    log();
    return testing::internal::GetCapturedStderr();
}

inline std::vector<std::string> engine_list(const std::string& folder) { return test_list(folder); }
// A drive record for a real folder, planned as if it had 1 TiB free: plans do not change
// with what other programs leave free on the disk (the work thread still checks it).
drive_s engine_drive(const std::string& path, bool ssd);

// A drive record for planning tests, with made-up free space and nonce seed.
drive_s make_drive(const std::string& path, uint64_t free_bytes, uint32_t nonce_seed = 0);

// Setup inputs of a machine with the given memory, folders and GPUs (8 GiB cards).
sizing_input_s machine(uint64_t ram, uint32_t ssds, uint32_t targets, uint32_t gpus = 0);
