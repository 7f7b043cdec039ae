// Batch memory shaped for the slower stage: layouts, the choice from measured rates, the probe.
#include "plotter/plotter_pace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "nonce/nonce.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotfile/plotfile.h"
#include "plotter/plotter_size.h"

namespace {

uint64_t round_up(uint64_t value, uint64_t group) { return (value + group - 1) / group * group; }

// Nonces a second of one layout: each of the D drives writes a batch (4096 rows) while the
// computing fills the next. With one buffer per drive a drive waits while its next batch is
// computed; with the spare it waits only when the computing falls behind, which with several
// drives it does for part of a batch (the spare was filled for one of them).
double layout_rate(uint32_t drives, const pace_layout_s& layout, double row_seconds, double nonce_seconds) {
    const double write = SCOOPS_PER_PLOT * row_seconds, compute = layout.capacity * nonce_seconds;
    const double wait = layout.spare ? compute * (drives - 1) / drives : compute;
    const double cycle = std::max(write + wait, drives * compute);
    return cycle > 0 ? drives * layout.capacity / cycle : 0;
}

}  // namespace

pace_layout_s plotter_pace_own(uint64_t arena_nonces, uint32_t drives, uint64_t largest_file, uint64_t sector_nonces) {
    const uint64_t group = std::max<uint64_t>(sector_nonces, 1), d = std::max<uint32_t>(drives, 1);
    uint64_t capacity = nonce_cut_to(arena_nonces / d, group);
    if (largest_file) capacity = std::min(capacity, round_up(largest_file, group));
    return {(uint32_t)d, std::max(capacity, group), false};
}

pace_layout_s plotter_pace_spare(uint64_t arena_nonces, uint32_t drives, uint64_t largest_file, uint64_t sector_nonces) {
    const uint64_t group = std::max<uint64_t>(sector_nonces, 1), d = std::max<uint32_t>(drives, 1);
    uint64_t capacity = nonce_cut_to(arena_nonces / (d + 1), group);
    if (largest_file) capacity = plotter_file_batch(largest_file, capacity, group);
    return {(uint32_t)d + 1, std::max(capacity, group), true};
}

pace_plan_s plotter_pace_choose(uint32_t drives, const pace_layout_s& own, const pace_layout_s& spare,
                                const pace_rates_s& rates) {
    pace_plan_s plan;
    plan.layout = spare;
    const bool known = rates.nonce_seconds > 0 && rates.own_row_seconds > 0 && rates.spare_row_seconds > 0;
    if (!known || drives == 0) return plan;
    // Two short measurements can disagree with how a drive works (a burst the drive or its
    // throttle allows at first): a longer row never takes less time than a shorter one, nor
    // more per byte.
    const double long_row = std::max(rates.own_row_seconds, rates.spare_row_seconds);
    const double short_row = std::max(rates.spare_row_seconds, long_row * spare.capacity / own.capacity);
    plan.compute_rate = 1.0 / rates.nonce_seconds;
    plan.drive_rate = drives * own.capacity / (SCOOPS_PER_PLOT * long_row);
    plan.own_rate = layout_rate(drives, own, long_row, rates.nonce_seconds);
    plan.spare_rate = layout_rate(drives, spare, short_row, rates.nonce_seconds);
    if (plan.own_rate > plan.spare_rate) plan.layout = own;
    return plan;
}

double plotter_pace_row_seconds(const pace_layout_s& own, const pace_layout_s& spare, const pace_rates_s& rates,
                                uint64_t row_bytes) {
    const double long_bytes = own.capacity * SCOOP_SIZE, short_bytes = spare.capacity * SCOOP_SIZE;
    const double long_row = rates.own_row_seconds, short_row = rates.spare_row_seconds;
    if (long_row <= 0 || short_row <= 0) return 0;
    if (long_bytes == short_bytes) return long_row;
    const double per_byte = std::max(0.0, (long_row - short_row) / (long_bytes - short_bytes));
    const double fixed = std::max(0.0, long_row - per_byte * long_bytes);
    const double seconds = fixed + per_byte * row_bytes;
    return seconds > 0 ? seconds : long_row;
}

bool plotter_pace_worth_change(const pace_layout_s& current, const pace_plan_s& plan) {
    if (plan.layout.spare == current.spare || plan.compute_rate <= 0) return false;
    const double now = current.spare ? plan.spare_rate : plan.own_rate;
    const double then = plan.layout.spare ? plan.spare_rate : plan.own_rate;
    return then >= now * 1.1;
}

std::string plotter_pace_text(const pace_plan_s& plan) {
    const uint64_t row = plan.layout.capacity * SCOOP_SIZE;
    char text[320], rows[32];
    fmt_size(sizeof rows, rows, row, true, "");
    char layout[96];
    std::snprintf(layout, sizeof layout, "%u buffer%s of %llu nonces, %s", (unsigned)plan.layout.buffers,
                  plan.layout.buffers == 1 ? "" : "s", (unsigned long long)plan.layout.capacity,
                  plan.layout.spare ? "one more than the drives written" : "one per drive written");
    if (plan.compute_rate <= 0) {
        std::snprintf(text, sizeof text, "Pace: drive rate unknown; %s, rows of %s\n", layout, rows);
        return text;
    }
    const double mb = PLOT_SIZE / 1e6;
    const bool drives_slower = plan.drive_rate < plan.compute_rate;
    std::snprintf(text, sizeof text,
                  "Pace: %s set the pace (computing %.1f MB/s, drives %.1f MB/s); %s, rows of %s (expected %.1f MB/s)\n",
                  drives_slower ? "the drives" : "the processors", plan.compute_rate * mb, plan.drive_rate * mb, layout,
                  rows, std::max(plan.own_rate, plan.spare_rate) * mb);
    return text;
}

double plotter_pace_probe(const char* folder, uint64_t row_bytes) {
    // Enough rows to average over a hard disk's request pace, spread out so that no two
    // merge into one request, and for long enough that a burst the drive (or a throttle)
    // allows at first does not decide; the rows go round the scratch file's places again
    // until then. The first few are not timed: a drive that was idle may take a short burst
    // faster than it keeps up.
    constexpr uint64_t BYTES = 8ull << 20, GAP = 1ull << 20, WARM = 4, MOST = 4096;
    constexpr double LEAST_SECONDS = 0.3;
    if (row_bytes == 0 || row_bytes % 512 != 0) return 0;
    const uint64_t rows = std::clamp<uint64_t>(BYTES / row_bytes, 16, 48);
    const uint64_t stride = row_bytes + GAP;
    int64_t fd = 0;
    if (sys_file_scratch_direct(folder, (rows + WARM) * stride, &fd).error) return 0;
    uint8_t* row = (uint8_t*)sys_alloc(row_bytes);
    bool failed = row == nullptr;
    sys_queue_s* queue = nullptr;
    if (row) {
        std::memset(row, 0, row_bytes);
        queue = sys_queue_open(fd, PLOTFILE_WRITE_DEPTH, [&](uint64_t, int error) { failed = failed || error != 0; });
    }
    const auto write = [&](uint64_t index) {
        const sys_err_s wrote = queue ? sys_queue_write(queue, index * stride, row_bytes, row, index)
                                      : sys_file_write_direct(fd, index * stride, row_bytes, row);
        const int error = wrote.error;
        failed = failed || error != 0;
    };
    double seconds = 0;
    if (!failed) {
        for (uint64_t i = 0; i < WARM; ++i) write(i);
        sys_queue_drain(queue);
        const double t0 = time_now();
        uint64_t timed = 0;
        while (!failed && timed < MOST && (timed < rows || time_now() - t0 < LEAST_SECONDS))
            write(WARM + timed++ % rows);
        sys_queue_drain(queue);
        seconds = (time_now() - t0) / timed;
    }
    sys_queue_close(queue);
    sys_free(row);
    sys_file_close(fd);
    return failed ? 0 : seconds;
}
