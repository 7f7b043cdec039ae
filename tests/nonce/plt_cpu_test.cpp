// CPU batches against nonce_compute for every family, the batch split, stop, and the
// processor queries.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "nonce/nonce.h"
#include "nonce/plt_cpu.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

const uint64_t ACCOUNT = 7900104405094198526ull;

const cpu_family_e all_families[] = {CPU_FAMILY_SCALAR, CPU_FAMILY_SSE4, CPU_FAMILY_AVX, CPU_FAMILY_AVX2,
                                     CPU_FAMILY_AVX512};

// A batch buffer filled with a marker byte, and the batch computed into it.
struct cpu_batch_s {
    test_batch_s buffer;  // capacity nonces of 0xEE
    uint64_t first = 0;   // nonce number of batch index 0
    cpu_batch_s(uint64_t capacity, uint64_t first_nonce) : buffer(capacity, 0xEE), first(first_nonce) {}
    uint64_t run(uint64_t count, int32_t threads, const std::atomic<bool>* stop = nullptr) {
        return cpu_plot_batch(&buffer.batch, ACCOUNT, first, count, threads, 0, stop, &buffer.batch.progress);
    }
    uint64_t progress() const { return buffer.batch.progress.load(); }
    // Checks batch indices 0 .. count - 1 against the reference, the rest untouched.
    void expect_nonces(uint64_t count) const {
        const uint64_t capacity = buffer.batch.capacity;
        for (uint64_t n = 0; n < capacity; ++n) {
            if (n < count) {
                EXPECT_TRUE(test_rows_hold(buffer.storage.data(), capacity, n, ACCOUNT, first + n)) << "index " << n;
            } else {
                for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
                    ASSERT_EQ(buffer.storage[(s * capacity + n) * 64], 0xEE) << "index " << n << " beyond the batch";
            }
        }
    }
};

// Restores the settings and the automatic family after each test.
class CpuPlot : public testing::Test {
protected:
    void TearDown() override {
        settings_reset();
        cpu_set_family(CPU_FAMILY_BEST);
    }
};

}  // namespace

TEST(CpuBatchSplit, DividesTheBatchOverWorkersAndTheCallingThread) {
    struct case_s {
        uint64_t count, threads, share, remainder;  // batch, workers, nonces per worker, left to the caller
    };
    // 1000 over 3: workers take 0..332, 333..665, 666..998 and the calling thread 999.
    for (case_s c : {case_s{1000, 3, 333, 1}, case_s{2, 3, 0, 2}, case_s{0, 4, 0, 0}, case_s{17, 1, 17, 0},
                     case_s{5, 0, 0, 5}}) {
        const cpu_batch_split_s split = cpu_batch_split(c.count, (uint32_t)c.threads);
        EXPECT_EQ(split.share, c.share) << c.count << " over " << c.threads;
        EXPECT_EQ(split.remainder, c.remainder) << c.count << " over " << c.threads;
    }
}

TEST_F(CpuPlot, ThreadCountFollowsTheSetting) {
    const int32_t automatic = cpu_count() > 1 ? cpu_count() - 1 : 1;
    // More than four threads per processor only cost memory; a negative count means automatic.
    for (auto c : {std::make_pair(3, 3), {100000, 4 * cpu_count()}, {0, automatic}, {-4, automatic}}) {
        cpu_threads = c.first;
        EXPECT_EQ(cpu_thread_count(), c.second) << c.first;
    }
}

TEST_F(CpuPlot, BatchesEqualTheReference) {
    struct case_s {
        cpu_family_e family;
        int32_t threads;                   // workers asked for
        uint64_t capacity, first, count;   // the batch buffer and the batch
    };
    std::vector<case_s> cases = {
        {CPU_FAMILY_BEST, 3, 13, 0, 13},  // shares of 4 and a remainder of 1
        {CPU_FAMILY_BEST, 3, 4, 77, 2},   // c < T: all done by the calling thread
        {CPU_FAMILY_BEST, 2, 2, 0, 0},    // nothing to do: c = 0
    };
    // One worker with a share of 2 L - 1: one widest group of L, then (two-vector families)
    // one single-vector group of L / 2, then single nonces.
    for (cpu_family_e f : all_families) cases.push_back({f, 1, 2 * cpu_family_lanes(f) + 1, 5040, 2 * cpu_family_lanes(f) - 1});
    for (const case_s& c : cases) {
        if (!cpu_family_available(c.family)) continue;
        SCOPED_TRACE(std::string(cpu_family_name(c.family)) + " threads " + std::to_string(c.threads) + " nonces " +
                     std::to_string(c.count));
        cpu_set_family(c.family);
        cpu_batch_s t(c.capacity, c.first);
        EXPECT_EQ(t.run(c.count, c.threads), c.count);
        EXPECT_EQ(t.progress(), c.count);
        t.expect_nonces(c.count);
    }
}

TEST_F(CpuPlot, StopBeforeTheBatchLeavesOnlyTheRemainder) {
    std::atomic<bool> stop{true};
    cpu_batch_s t(5, 0);  // share 2 per worker, remainder 1
    EXPECT_EQ(t.run(5, 2, &stop), 1u);
    EXPECT_EQ(t.progress(), 1u);
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        for (uint64_t n = 0; n < 4; ++n)
            ASSERT_EQ(t.buffer.storage[(s * 5 + n) * 64], 0xEE) << "worker ran after stop";
}

TEST_F(CpuPlot, StopDuringTheBatchEndsItAndJoinsTheWorkers) {
    cpu_set_family(CPU_FAMILY_SCALAR);  // one nonce at a time: the stop lands mid-share
    cpu_batch_s t(40, 0);
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        while (t.progress() == 0) std::this_thread::yield();
        stop = true;
    });
    t.run(40, 2, &stop);
    stopper.join();
    const uint64_t progress = t.progress();
    EXPECT_GT(progress, 0u);
    EXPECT_LT(progress, 40u);
    // Every worker has been joined: nothing changes the buffer any more.
    const std::vector<uint8_t> after = t.buffer.storage;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(after, t.buffer.storage);
    EXPECT_EQ(t.progress(), progress);
}

TEST(CpuFeatures, DecodesLeavesAndOperatingSystemState) {
    EXPECT_EQ(cpu_features_decode(cpu_id_regs_s()), 0u);  // no standard leaves at all
    cpu_id_regs_s all;
    all.max_leaf = 7;
    all.leaf1_edx = (1u << 25) | (1u << 26);
    all.leaf1_ecx = 1u | (1u << 19) | (1u << 20) | (1u << 27) | (1u << 28);
    all.leaf7_ebx = (1u << 5) | (1u << 16);
    all.max_ext_leaf = 0x80000001u;
    all.ext1_ecx = 1u << 6;
    all.xcr0 = 0xE7;
    const uint32_t vex = CPU_AVX | CPU_AVX2 | CPU_AVX512F;
    struct case_s {
        const char* what;
        void (*change)(cpu_id_regs_s*);
        uint32_t expected;  // of vex | CPU_SSE4A
    };
    const case_s cases[] = {
        {"everything", [](cpu_id_regs_s*) {}, vex | CPU_SSE4A},
        {"the OS saves YMM but not the AVX-512 state", [](cpu_id_regs_s* r) { r->xcr0 = 0x7; }, CPU_AVX | CPU_AVX2 | CPU_SSE4A},
        {"AVX state not saved: no VEX code may run", [](cpu_id_regs_s* r) { r->xcr0 = 0x3; }, CPU_SSE4A},
        {"no OSXSAVE", [](cpu_id_regs_s* r) { r->leaf1_ecx &= ~(1u << 27); }, CPU_SSE4A},
        {"no leaf 7", [](cpu_id_regs_s* r) { r->max_leaf = 6; }, CPU_AVX | CPU_SSE4A},
        {"no extended leaf 1", [](cpu_id_regs_s* r) { r->max_ext_leaf = 0x80000000u; }, vex},
    };
    for (const case_s& c : cases) {
        cpu_id_regs_s r = all;
        c.change(&r);
        EXPECT_EQ(cpu_features_decode(r) & (vex | CPU_SSE4A), c.expected) << c.what;
    }
    EXPECT_EQ(cpu_features_decode(all) & ~(vex | CPU_SSE4A), CPU_SSE | CPU_SSE2 | CPU_SSE3 | CPU_SSE41 | CPU_SSE42);
}

TEST_F(CpuPlot, FamilyNamesAndChoice) {
    for (cpu_family_e f : all_families) {
        cpu_family_e parsed = CPU_FAMILY_BEST;
        ASSERT_TRUE(cpu_family_parse(cpu_family_name(f), &parsed));
        EXPECT_EQ(parsed, f);
    }
    cpu_family_e parsed;
    EXPECT_FALSE(cpu_family_parse("avx3", &parsed));
    EXPECT_FALSE(cpu_family_parse("", &parsed));
    EXPECT_TRUE(cpu_family_available(CPU_FAMILY_SCALAR));
    cpu_set_family(CPU_FAMILY_SCALAR);
    EXPECT_EQ(cpu_family_selected(), CPU_FAMILY_SCALAR);
}

TEST(CpuQueries, BrandStringHasBoundedCopySemantics) {
    char full[64], small[4] = {'x', 'x', 'x', 'x'};
    cpu_brand_string(sizeof full, full);
    cpu_brand_string(sizeof small, small);
    EXPECT_LT(std::strlen(full), 49u);
    EXPECT_EQ(0, std::strncmp(small, full, sizeof small));
    EXPECT_GE(cpu_count(), 1);
}
