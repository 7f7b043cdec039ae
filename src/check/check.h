// The plot file checker: recomputes sampled scoops (or every nonce) of a plot file on the
// CPU and compares them with the file, on threads of its own, for a screen or the CLI.
// Sample flags are atomic bytes that only go from 0 to 1 (match is stored before compared is
// set), so a painter may read them at any time; the threads are described in check.cpp.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "nonce/cpu.h"

constexpr int32_t CHECK_SAMPLES = 1770;

// Progress and verdict of one sample.
struct check_sample_s {
    std::atomic<uint8_t> read{0};       // the file's 64 bytes have arrived
    std::atomic<uint8_t> computing{0};  // recomputation started
    std::atomic<uint8_t> computed{0};   // the recomputed scoop is in place
    std::atomic<uint8_t> match{0};      // file and recomputed bytes are equal (valid once compared)
    std::atomic<uint8_t> compared{0};   // the comparison was made
};

enum check_result_e : uint32_t {
    CHECK_RUNNING = 0,       // not finished yet
    CHECK_FINISHED = 1,      // every sample (or nonce) compared
    CHECK_BAD_NAME = 2,      // "Incorrect filename format for plotfile."
    CHECK_NOT_OPTIMIZED = 3, // stagger differs from the nonce count
    CHECK_BAD_SIZE = 4,      // "File has incorrect size."
    CHECK_STOPPED = 5,       // ended by check_stop
    CHECK_NO_FILE = 6,       // "Cannot open the plot file." (missing, unreadable)
    CHECK_BEING_WRITTEN = 7, // a writer holds the file's lock; nothing compared
    CHECK_UNFINISHED = 8,    // an unfinished ".plotting" (or partial ".moving") file; nothing compared
    CHECK_CONVERTING = 9,    // a conversion journal lies beside it: half of it may be in each order; nothing compared
};

// Shows a message; called on the checker thread, so the GUI posts a dialog to its own
// thread, the CLI prints.
using check_message_fn = std::function<void(const char* title, const char* text)>;

// How a check runs; the front ends fill it.
struct check_options_s {
    bool full = false;                          // compare every scoop of every nonce instead of samples
    int32_t workers = 0;                        // computing threads; 0 = every processor
    cpu_family_e family = CPU_FAMILY_BEST;      // CPU hash family recomputing; BEST = the fastest here
    check_message_fn message;                   // how failures are shown; none = log only
};

struct checker_s {
    int32_t sample_count = CHECK_SAMPLES;     // samples of a sampled check
    std::string path;                         // the plot file under test
    std::thread thread;                       // the checker thread
    std::atomic<bool> stop{false};            // set to end the check early
    std::unique_ptr<check_sample_s[]> samples;  // sample_count records, read by the painter
    check_options_s options;                  // as check_start was given them
    std::atomic<uint32_t> result{CHECK_RUNNING};  // outcome, check_result_e
    std::atomic<uint64_t> nonces_total{0};    // nonces in the file, once its name and size are checked
    std::atomic<uint64_t> nonces_checked{0};  // full check: nonces compared so far
    std::atomic<uint64_t> nonces_bad{0};      // full check: nonces with any differing scoop
    std::atomic<uint32_t> reads_failed{0};    // samples whose read failed (counted as bad)
};

// Starts checking path.
checker_s* check_start(const char* path, check_options_s options);
// Waits for the check to end on its own.
void check_wait(checker_s* checker);
// Sets stop and joins the thread.
void check_stop(checker_s* checker);
void check_destroy(checker_s* checker);
// Sampled check: samples compared so far and how many of them differed.
void check_counts(const checker_s* checker, uint32_t* compared, uint32_t* bad);

// Consecutive nonces of a file to recompute: file-relative first index and count.
struct check_piece_s {
    uint64_t index;
    uint64_t count;
};

// Where the samples of a sampled check look: sample k compares scoop scoop[k] of nonce
// index[k] (file-relative), which lies in the piece whose piece_samples list holds k.
struct check_plan_s {
    std::vector<uint64_t> index;
    std::vector<uint64_t> scoop;
    std::vector<check_piece_s> pieces;
    std::vector<std::vector<int32_t>> piece_samples;
};
// Plans `samples` samples of a file of `count` (> 0) nonces from `seed`, in runs of `run`
// consecutive nonces (one lane group), every sample uniform over the whole file.
check_plan_s check_plan_samples(uint64_t count, int32_t samples, uint64_t run, uint64_t seed);
