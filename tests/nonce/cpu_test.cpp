// CPU batches against the reference nonces for every family and every way of splitting a
// batch, stop, the family names and choice, the thread count, and the processor queries.

#include <cstring>
#include <thread>
#include <tuple>

#include "nonce/cpu.h"
#include "test_support.h"

namespace {

const uint64_t ACCOUNT = 7900104405094198526ull;

// Every family and the name the command line knows it by.
const std::pair<cpu_family_e, const char*> families[] = {
    {CPU_FAMILY_SCALAR, "scalar"}, {CPU_FAMILY_SSE4, "sse4"}, {CPU_FAMILY_AVX, "avx"}, {CPU_FAMILY_AVX2, "avx2"},
    {CPU_FAMILY_AVX512, "avx512"}, {CPU_FAMILY_AVX512X2, "avx512x2"}, {CPU_FAMILY_AVX512X4, "avx512x4"}};

// cpu_plot_batch of `count` nonces from `first` into `t`, publishing its progress there.
uint64_t run(test_batch_s* t, cpu_family_e family, uint64_t first, uint64_t count, int32_t threads,
             const std::atomic<bool>* stop = nullptr) {
    return cpu_plot_batch(&t->batch, ACCOUNT, first, count, family, threads, 0, stop, &t->batch.progress);
}

// Whether no scoop of batch index n still holds the 0xEE marker the buffer was filled with.
bool untouched(const test_batch_s& t, uint64_t n) {
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        if (t.storage[(s * t.batch.capacity + n) * SCOOP_SIZE] != 0xEE) return false;
    return true;
}

}  // namespace

// Every batch index below the count holds its reference nonce, none above it is written.
TEST(CpuPlot, BatchesEqualTheReference) {
    // No worker at all (no memory for one) leaves the whole batch to the calling thread.
    EXPECT_EQ(cpu_batch_split(5, 0).remainder, 5u);
    // The family, the workers asked for; the batch buffer's capacity, the batch's first nonce and count.
    std::vector<std::tuple<cpu_family_e, int32_t, uint64_t, uint64_t, uint64_t>> cases = {
        {CPU_FAMILY_BEST, 3, 13, 0, 13},  // shares of 4 and a remainder of 1
        {CPU_FAMILY_BEST, 3, 4, 77, 2},   // c < T: all done by the calling thread
        {CPU_FAMILY_BEST, 2, 2, 0, 0},    // nothing to do: c = 0
    };
    // One worker with a share of 2 L - 1: one widest group of L, then (two-vector families)
    // one single-vector group of L / 2, then single nonces.
    for (const auto& f : families)
        cases.push_back({f.first, 1, 2 * cpu_family_lanes(f.first) + 1, 5040, 2 * cpu_family_lanes(f.first) - 1});
    for (const auto& [family, threads, capacity, first, count] : cases) {
        if (!cpu_family_available(family)) continue;
        SCOPED_TRACE(std::string(cpu_family_name(family)) + ", " + std::to_string(count) + " nonces");
        test_batch_s t(capacity, 0xEE);
        EXPECT_EQ(run(&t, family, first, count, threads), count);
        EXPECT_EQ(t.batch.progress.load(), count);
        for (uint64_t n = 0; n < capacity; ++n)
            EXPECT_TRUE(n < count ? test_rows_hold(t.storage.data(), capacity, n, ACCOUNT, first + n) : untouched(t, n))
                << "index " << n;
    }
}

// A stop before the batch leaves only the calling thread's remainder done; a stop during it
// ends the batch part-way, with the progress counting what was done.
TEST(CpuPlot, StopEndsTheBatchAndJoinsTheWorkers) {
    std::atomic<bool> stop{true};
    test_batch_s before(5, 0xEE);  // share 2 per worker, remainder 1
    EXPECT_EQ(run(&before, CPU_FAMILY_BEST, 0, 5, 2, &stop), 1u);
    EXPECT_EQ(before.batch.progress.load(), 1u);
    for (uint64_t n = 0; n < 4; ++n) EXPECT_TRUE(untouched(before, n)) << "worker ran after stop: index " << n;

    test_batch_s during(40, 0xEE);
    stop = false;
    std::thread stopper([&] {
        while (during.batch.progress.load() == 0) std::this_thread::yield();
        stop = true;
    });
    // Scalar: one nonce at a time, so the stop lands mid-share.
    const uint64_t done = run(&during, CPU_FAMILY_SCALAR, 0, 40, 2, &stop);
    stopper.join();
    EXPECT_TRUE(done > 0 && done < 40) << done;
    EXPECT_EQ(during.batch.progress.load(), done);
}

TEST(CpuQueries, FeaturesFollowLeavesAndOperatingSystemStateAndTheBrandIsBounded) {
    EXPECT_EQ(cpu_features_decode(cpu_id_regs_s()), 0u);  // no standard leaves at all
    // max_leaf; leaf1_ecx: SSE3 (bit 0), SSE4.1 (19), SSE4.2 (20), OSXSAVE (27), AVX (28); leaf1_edx:
    // SSE (25), SSE2 (26); leaf7_ebx: AVX2 (5), AVX-512F (16); max_ext_leaf; ext1_ecx: SSE4a (6);
    // xcr0: SSE, YMM, opmask and ZMM state saved.
    const cpu_id_regs_s all{7, 0x18180001u, 0x06000000u, 0x00010020u, 0x80000001u, 0x40u, 0xE7u};
    const uint32_t vex = CPU_AVX | CPU_AVX2 | CPU_AVX512F;
    // What differs from `all`, the change, the features of vex | CPU_SSE4A then found.
    const std::tuple<const char*, void (*)(cpu_id_regs_s*), uint32_t> cases[] = {
        {"everything", [](cpu_id_regs_s*) {}, vex | CPU_SSE4A},
        {"YMM state saved, AVX-512 state not", [](cpu_id_regs_s* r) { r->xcr0 = 0x7; }, CPU_AVX | CPU_AVX2 | CPU_SSE4A},
        {"AVX state not saved: no VEX code may run", [](cpu_id_regs_s* r) { r->xcr0 = 0x3; }, CPU_SSE4A},
        {"no OSXSAVE", [](cpu_id_regs_s* r) { r->leaf1_ecx &= ~(1u << 27); }, CPU_SSE4A},
        {"no leaf 7", [](cpu_id_regs_s* r) { r->max_leaf = 6; }, CPU_AVX | CPU_SSE4A},
        {"no extended leaf 1", [](cpu_id_regs_s* r) { r->max_ext_leaf = 0x80000000u; }, vex},
    };
    for (const auto& [what, change, expected] : cases) {
        cpu_id_regs_s r = all;
        change(&r);
        EXPECT_EQ(cpu_features_decode(r) & (vex | CPU_SSE4A), expected) << what;
    }
    EXPECT_EQ(cpu_features_decode(all) & ~(vex | CPU_SSE4A), CPU_SSE | CPU_SSE2 | CPU_SSE3 | CPU_SSE41 | CPU_SSE42);

    // The brand string is copied with strncpy semantics over the length given.
    char full[64], small[4] = {'x', 'x', 'x', 'x'};
    cpu_brand_string(sizeof full, full);
    cpu_brand_string(sizeof small, small);
    EXPECT_LT(std::strlen(full), 49u);
    EXPECT_EQ(0, std::strncmp(small, full, sizeof small));
}

// The names the command line takes; an unknown name is refused. A family asked for is the one
// used where the processor has it, the automatic choice where it has not.
TEST(CpuPlot, FamilyNamesAndChoice) {
    cpu_family_e parsed = CPU_FAMILY_BEST;
    for (const auto& c : families) {
        EXPECT_STREQ(cpu_family_name(c.first), c.second);
        EXPECT_TRUE(cpu_family_parse(c.second, &parsed) && parsed == c.first) << c.second;
    }
    for (const char* unknown : {"avx3", ""}) EXPECT_FALSE(cpu_family_parse(unknown, &parsed)) << unknown;
    EXPECT_FALSE(cpu_family_parse(nullptr, &parsed));
    const cpu_family_e automatic = cpu_family_resolve(CPU_FAMILY_BEST);
    EXPECT_NE(automatic, CPU_FAMILY_BEST);
    for (const auto& c : families)
        EXPECT_EQ(cpu_family_resolve(c.first), cpu_family_available(c.first) ? c.first : automatic) << c.second;
}

// The automatic choice from a table of fake timings (seconds per lane block, 0 = not timed)
// and a mask of the families the processor has.
TEST(CpuChoice, FastestSupportedTimedFamilyWins) {
    const auto bit = [](cpu_family_e f) { return 1u << f; };
    const uint32_t all = bit(CPU_FAMILY_SCALAR) | bit(CPU_FAMILY_SSE4) | bit(CPU_FAMILY_AVX) | bit(CPU_FAMILY_AVX2) |
                         bit(CPU_FAMILY_AVX512) | bit(CPU_FAMILY_AVX512X2) | bit(CPU_FAMILY_AVX512X4);
    struct case_s {
        const char* what;
        double times[CPU_FAMILY_COUNT];  // BEST, scalar, sse4, avx, avx2, avx512, avx512x2, avx512x4
        uint32_t supported;
        cpu_family_e expected;
    } cases[] = {
        {"four states fastest (2-cycle vector latency)", {0, 9, 4, 4, 2, 1.0, 0.6, 0.5}, all, CPU_FAMILY_AVX512X4},
        {"two states fastest", {0, 9, 4, 4, 2, 1.0, 0.6, 0.7}, all, CPU_FAMILY_AVX512X2},
        {"one state fastest (1-cycle latency)", {0, 9, 4, 4, 2, 0.5, 0.6, 0.7}, all, CPU_FAMILY_AVX512},
        {"a weaker set can win", {0, 9, 4, 4, 0.4, 0.5, 0.6}, all, CPU_FAMILY_AVX2},
        {"a tie goes to the family listed first", {0, 9, 4, 4, 2, 0.5, 0.5}, all, CPU_FAMILY_AVX512},
        {"fastest timing of a family the processor lacks is ignored", {0, 9, 4, 4, 2, 0.5, 0.1},
         all & ~bit(CPU_FAMILY_AVX512X2), CPU_FAMILY_AVX512},
        {"a family not timed is never chosen", {0, 9, 4, 4, 2, 0, 0.6}, all, CPU_FAMILY_AVX512X2},
        {"a time for BEST itself is no family", {0.01, 9, 4, 4, 2, 1, 0.6}, all | 1u, CPU_FAMILY_AVX512X2},
        {"nothing timed: the scalar path", {}, all, CPU_FAMILY_SCALAR},
        {"nothing supported: the scalar path", {0, 9, 4, 4, 2, 1, 0.6}, 0, CPU_FAMILY_SCALAR},
    };
    for (const auto& c : cases) {
        cpu_form_times_s times;
        for (int f = 0; f < CPU_FAMILY_COUNT; ++f) times.seconds_per_block[f] = c.times[f];
        EXPECT_EQ(cpu_choose_family(times, c.supported), c.expected) << c.what;
    }
    // This processor's own timings cover exactly the families it supports, and the
    // automatic choice is one of them.
    const cpu_form_times_s& own = cpu_form_times();
    for (int f = CPU_FAMILY_SCALAR; f < CPU_FAMILY_COUNT; ++f)
        EXPECT_EQ(own.seconds_per_block[f] > 0, cpu_family_available((cpu_family_e)f)) << f;
    EXPECT_TRUE(cpu_family_available(cpu_family_resolve(CPU_FAMILY_BEST)));
}
