// Shaping the buffers for the slower stage: the two layouts, the choice from measured rates
// (cases worked by hand from the emulated disks and the host's disk), even batches, when a
// run changes its layout, and the time left of a run whose stages overlap. A paced run ends
// byte-exact in the work test.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <tuple>

#include "nonce/cpu.h"
#include "platform/sys.h"
#include "plotfile/plotfile.h"
#include "plotter/engine_support.h"
#include "plotter/plotter_eta.h"
#include "plotter/plotter_pace.h"
#include "plotter/plotter_size.h"

namespace {

// Seconds per nonce of a processor computing `mbps` MB/s of nonces.
double per_nonce(double mbps) { return PLOT_SIZE / (mbps * 1e6); }

std::tuple<uint32_t, uint64_t, bool> fields(const pace_layout_s& l) { return {l.buffers, l.capacity, l.spare}; }

}  // namespace

// Rows of 256 KiB on a 25 MB/s, 100 requests/s drive take 262144 / 25e6 = 10.5 ms, rows of
// 128 KiB or 170 KiB one request's 10 ms; on the host's disk (about 1 GB/s) 0.26 and 0.13 ms.
TEST(plotter_pace, the_layout_the_rates_favour) {
    const struct {
        const char* name;
        uint32_t drives;
        uint64_t arena;              // nonces of memory
        pace_layout_s own, spare;    // as worked out by hand from the memory and a 16384-nonce file
        pace_rates_s rates;
        bool spare_chosen;
        double expected;             // nonces/s of the chosen layout, by hand
    } cases[] = {
        // 4096 x (10.5 ms x 4096 written + 1.54 ms x 4096 computed) = 49.2 s per 4096 nonces,
        // against 2048 per 41 s with the spare.
        {"one slow drive, 1 GiB", 1, 4096, {1, 4096, false}, {2, 2048, true},
         {per_nonce(170), 262144 / 25e6, 0.01}, false, 4096 / (4096 * 262144 / 25e6 + 4096 * per_nonce(170))},
        // Per drive 42.9 s written + 6.3 s computed, both drives: 8192 per 49.2 s; with the spare
        // (2728 nonces, 4.2 s each): 41 s + 2.1 s per 5456.
        {"two slow drives, 2 GiB", 2, 8192, {2, 4096, false}, {3, 2728, true},
         {per_nonce(170), 262144 / 25e6, 0.01}, false, 8192 / (4096 * 262144 / 25e6 + 4096 * per_nonce(170))},
        // The disk takes a batch in about a second; the computing of 2048 nonces takes 3.2 s.
        {"host disk", 1, 4096, {1, 4096, false}, {2, 2048, true},
         {per_nonce(170), 262144 / 1e9, 131072 / 1e9}, true, 170e6 / PLOT_SIZE},
        // 20 MB/s of computing: 41 s written against 26.8 s computed with the spare, 42.9 +
        // 53.7 s with the buffer of its own.
        {"slow processor, slow drive", 1, 4096, {1, 4096, false}, {2, 2048, true},
         {per_nonce(20), 262144 / 25e6, 0.01}, true, 2048 / 41.0},
        // Short rows measured during a burst (2 ms for 128 KiB): counted at no less per byte than
        // the long ones, so nothing promises more than the drive's 25 MB/s.
        {"a burst in the short rows' probe", 1, 4096, {1, 4096, false}, {2, 2048, true},
         {per_nonce(170), 262144 / 25e6, 0.002}, true, 2048 / (4096 * 131072 / 25e6)},
        // A drive that could not be measured keeps the computing and the writing overlapped.
        {"drive not measured", 1, 4096, {1, 4096, false}, {2, 2048, true}, {per_nonce(170), 0, 0}, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const pace_layout_s own = plotter_pace_own(c.arena, c.drives, 16384, 8);
        const pace_layout_s spare = plotter_pace_spare(c.arena, c.drives, 16384, 8);
        EXPECT_EQ(fields(own), fields(c.own));
        EXPECT_EQ(fields(spare), fields(c.spare));
        const pace_plan_s plan = plotter_pace_choose(c.drives, own, spare, c.rates);
        EXPECT_EQ(fields(plan.layout), fields(c.spare_chosen ? c.spare : c.own));
        EXPECT_NEAR(std::max(plan.own_rate, plan.spare_rate), c.expected, c.expected * 0.005);
    }
}

// Small files and plenty of memory: a buffer of its own holds at most the largest file, the
// spare layout a quarter of it; too little memory still gives one sector group.
TEST(plotter_pace, layouts_stop_at_what_the_files_use) {
    EXPECT_EQ(plotter_pace_own(1 << 20, 2, 1000, 8).capacity, 1000u);
    EXPECT_EQ(plotter_pace_own(1 << 20, 2, 1001, 8).capacity, 1008u);
    EXPECT_EQ(plotter_pace_spare(1 << 20, 2, 1000, 8).capacity, 256u);
    EXPECT_EQ(plotter_pace_own(4, 1, 1000, 8).capacity, 8u);
    EXPECT_EQ(plotter_pace_spare(16, 3, 1000, 8).buffers, 4u);
}

// A file is cut into as few batches as the buffer allows, all about the same size.
TEST(plotter_pace, even_batches) {
    const struct {
        uint64_t file, capacity, expected;
    } cases[] = {
        {16384, 4096, 4096},  // four whole buffers
        {16384, 4080, 3280},  // five batches of 3276.8, in sector groups
        {12289, 2048, 1760},  // seven of 1755.6
        {100, 4096, 104},     // one batch, rounded up to a sector group (the writer takes only the rest)
    };
    for (const auto& c : cases) EXPECT_EQ(plotter_even_batch(c.file, c.capacity, 8), c.expected) << c.file;
}

// The time left is the slowest stage's: a drive-bound run that has computed everything still
// has its writing ahead of it.
TEST(plotter_eta, the_slowest_stage_decides) {
    const struct {
        const char* name;
        eta_stage_s compute, write, move;
        double seconds;
    } cases[] = {
        // 4 GiB file: 3 GiB left to compute at 170 MB/s (19 s), 3.5 GB left to write at 25 MB/s.
        {"drive-bound", {3221225472, 170e6}, {3.5e9, 25e6}, {}, 140},
        // Everything computed, the last buffer of 1 GiB still to write at 25 MB/s.
        {"computing done, writing not", {0, 170e6}, {1073741824, 25e6}, {}, 42.94967296},
        {"processor-bound", {2e9, 20e6}, {2e9, 900e6}, {}, 100},
        // A staged run whose moves lag: 8 GB to move at 100 MB/s.
        {"moves behind", {1e9, 170e6}, {1e9, 500e6}, {8e9, 100e6}, 80},
        // A stage with no rate yet (the first move has not begun) does not count.
        {"move not begun", {1e9, 100e6}, {1e9, 200e6}, {4e9, 0}, 10},
        {"nothing measured", {1e9, 0}, {1e9, 0}, {}, 0},
        {"all done", {0, 170e6}, {0, 25e6}, {0, 100e6}, 0},
    };
    for (const auto& c : cases) EXPECT_NEAR(plotter_eta({c.compute, c.write, c.move}), c.seconds, 1e-6) << c.name;
}

// A run changes its layout only for a gain of a tenth or more: the change makes every drive
// wait until all buffers are back.
TEST(plotter_pace, a_change_only_for_a_tenth_more) {
    const pace_layout_s own{1, 4096, false}, spare{2, 2048, true};
    // The layout the run has, then the plan: its choice, the rates with each layout and of the computing.
    EXPECT_TRUE(plotter_pace_worth_change(spare, pace_plan_s{own, 61.3, 50, 100}));  // the slow-drive case: +23 %
    EXPECT_FALSE(plotter_pace_worth_change(spare, pace_plan_s{own, 52, 50, 100}));   // +4 %
    EXPECT_TRUE(plotter_pace_worth_change(own, pace_plan_s{spare, 42.4, 50, 100}));  // slow processor: +18 %
    EXPECT_FALSE(plotter_pace_worth_change(own, pace_plan_s{own, 83, 50, 100}));     // already there
    EXPECT_FALSE(plotter_pace_worth_change(spare, pace_plan_s{own, 0, 0, 0}));       // nothing measured
}

// What the probe's two rows predict for the rows a run writes: a drive that costs a request
// whatever its size, one that costs its bytes, and one of each (worked by hand).
TEST(plotter_pace, rows_predicted_from_the_probe) {
    const pace_layout_s own{1, 4096, false}, spare{2, 2048, true};
    struct case_s {
        double own_row, spare_row;
        uint64_t row_bytes;
        double seconds;
    } cases[] = {
        {10e-3, 10e-3, 64 << 10, 10e-3},         // requests only
        {10e-3, 5e-3, 64 << 10, 2.5e-3},         // bytes only
        {12e-3, 7e-3, 64 << 10, 4.5e-3},         // 2 ms a request and 10 ms per 256 KiB
        {12e-3, 7e-3, 512 << 10, 22e-3},         // the same, past the longer row
        {0, 7e-3, 64 << 10, 0},                  // nothing measured
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(testing::Message() << c.own_row << " " << c.spare_row << " " << c.row_bytes);
        EXPECT_NEAR(plotter_pace_row_seconds(own, spare, {0, c.own_row, c.spare_row}, c.row_bytes), c.seconds, 1e-9);
    }
    EXPECT_DOUBLE_EQ(plotter_pace_row_seconds(own, own, {0, 8e-3, 8e-3}, 1024), 8e-3);  // one length: its one point
}

namespace {

// The nonces of the run below, computed once; the run's source copies them out at a set pace.
constexpr uint64_t BELIED_ACCOUNT = 7900104405094198526ull, BELIED_START = 5000, BELIED_NONCES = 64;
test_batch_s* belied_nonces = nullptr;

uint64_t copied_batch(batch_buffer_s* batch, uint64_t, uint64_t first, uint64_t count, cpu_family_e, int32_t,
                      uint64_t, const std::atomic<bool>*, std::atomic<uint64_t>* progress) {
    const batch_buffer_s& from = belied_nonces->batch;
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        std::memcpy(batch->data + s * batch->capacity * SCOOP_SIZE,
                    from.data + (s * from.capacity + first - BELIED_START) * SCOOP_SIZE, count * SCOOP_SIZE);
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * count));  // 2 ms a nonce
    *progress = count;
    return count;
}

ssize_t slow_pwrite(int fd, const void* buffer, size_t length, off_t offset) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    return pwrite(fd, buffer, length, offset);
}

}  // namespace

// A drive that takes the probe's few rows far faster than it keeps up (as a hard disk's cache
// does): the run starts with the spare buffer, its own rows show the drive setting the pace,
// and it changes to one longer buffer mid-run, says so, and writes the same bytes.
TEST(plotter_pace, the_run_s_own_rows_overrule_the_probe) {
    test_batch_s reference(BELIED_NONCES);
    std::atomic<uint64_t> progress{0};
    ASSERT_EQ(cpu_plot_batch(&reference.batch, BELIED_ACCOUNT, BELIED_START, BELIED_NONCES, CPU_FAMILY_BEST, 0, 0,
                             nullptr, &progress),
              BELIED_NONCES);
    belied_nonces = &reference;
    test_dir_s dir;
    drive_s target = engine_drive(dir.path, false);
    plotter_s* plotter = plotter_create();
    plotter->seam.cpu_batch = copied_batch;
    plotter->seam.drive_probe = [](const char*, uint64_t) { return 10e-6; };  // a batch's 4096 rows in 41 ms
    job_s* job = job_create(&target, nullptr, BELIED_ACCOUNT, BELIED_START, BELIED_NONCES);
    plotter_add_job(plotter, job);
    sys_syscalls().pwrite = slow_pwrite;  // 4096 rows in 0.4 s or more
    testing::internal::CaptureStderr();
    ASSERT_TRUE(plotter_setup(plotter, {0, 32 * PLOT_SIZE, 0, 0, CPU_FAMILY_BEST, true}, 0, 1));
    plotter_wait(plotter);
    sys_syscalls_reset();
    sys_ui_drain();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(job->job_state, JOB_DONE);
    EXPECT_TRUE(test_holds(log, "Pace: the processors set the pace"));
    EXPECT_TRUE(test_holds(log, "2 buffers of 16 nonces, one more than the drives written"));
    EXPECT_TRUE(test_holds(log, "Pace, as the run's batches show it: the drives set the pace"));
    EXPECT_TRUE(test_holds(log, "1 buffer of 32 nonces, one per drive written"));
    plotter_destroy(plotter);
    // A PoC1 file holds the scoops in the order the reference batch (as long as the file) does.
    const std::string file = test_read_file(dir.file(plotfile_name(BELIED_ACCOUNT, BELIED_START, BELIED_NONCES, false)));
    EXPECT_TRUE(file == std::string(reference.storage.begin(), reference.storage.end()));
}
