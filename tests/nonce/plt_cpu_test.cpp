// CPU batches against nonce_compute for every family, the batch split, stop, and the
// processor queries.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "nonce/nonce.h"
#include "nonce/plt_cpu.h"
#include "plotter/job.h"
#include "settings/settings.h"

namespace {

const uint64_t ACCOUNT = 7900104405094198526ull;

// A job with its own batch buffer, filled with a marker byte.
struct test_batch_s {
    std::vector<uint8_t> storage;  // capacity * PLOT_SIZE bytes
    batch_buffer_s batch;          // the compute buffer
    job_s job;                     // the job computing into it
    test_batch_s(uint64_t capacity, uint64_t start, uint64_t nonce_count, uint64_t done)
        : storage(capacity * PLOT_SIZE, 0xEE) {
        batch.capacity = capacity;
        batch.data = storage.data();
        job.account_id = ACCOUNT;
        job.start_nonce = start;
        job.nonce_count = nonce_count;
        job.nonces_done = done;
        job.compute_buffer = &batch;
    }
    // Checks batch indices 0 .. count - 1 against nonce_compute, the rest untouched.
    void expect_nonces(uint64_t count) const {
        std::vector<uint8_t> expected(PLOT_SIZE);
        for (uint64_t n = 0; n < batch.capacity; ++n) {
            if (n < count) nonce_compute(ACCOUNT, job.start_nonce + job.nonces_done + n, expected.data(), false);
            for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s) {
                const uint8_t* got = &storage[(s * batch.capacity + n) * 64];
                if (n < count) {
                    ASSERT_EQ(0, std::memcmp(got, &expected[s * 64], 64)) << "index " << n << " scoop " << s;
                } else {
                    ASSERT_EQ(got[0], 0xEE) << "index " << n << " beyond the batch was written";
                }
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

class CpuPlotFamily : public CpuPlot, public testing::WithParamInterface<cpu_family_e> {
protected:
    void SetUp() override {
        if (!cpu_family_available(GetParam()))
            GTEST_SKIP() << "processor lacks the " << cpu_family_name(GetParam()) << " family";
        cpu_set_family(GetParam());
    }
};

}  // namespace

TEST(CpuBatchSplit, DividesTheBatchOverWorkersAndTheCallingThread) {
    const cpu_batch_split_s split = cpu_batch_split(1000, 3);
    EXPECT_EQ(split.share, 333u);
    EXPECT_EQ(split.remainder, 1u);
    EXPECT_EQ(split.share * 1, 333u);               // worker 1 starts at 333
    EXPECT_EQ(split.share * 1 + split.share - 1, 665u);  // and ends at 665
    EXPECT_EQ(split.share * split.threads, 999u);   // the calling thread takes index 999

    const cpu_batch_split_s few = cpu_batch_split(2, 3);
    EXPECT_EQ(few.share, 0u);
    EXPECT_EQ(few.remainder, 2u);
    const cpu_batch_split_s none = cpu_batch_split(0, 4);
    EXPECT_EQ(none.share + none.remainder, 0u);
    const cpu_batch_split_s one = cpu_batch_split(17, 1);
    EXPECT_EQ(one.share, 17u);
    EXPECT_EQ(one.remainder, 0u);
    const cpu_batch_split_s no_workers = cpu_batch_split(5, 0);
    EXPECT_EQ(no_workers.share, 0u);
    EXPECT_EQ(no_workers.remainder, 5u);
}

TEST_F(CpuPlot, ThreadCountFollowsTheSetting) {
    cpu_threads = 32;
    EXPECT_EQ(cpu_thread_count(), 32);
    cpu_threads = 0;
    const int32_t automatic = cpu_count() > 1 ? cpu_count() - 1 : 1;
    EXPECT_EQ(cpu_thread_count(), automatic);
    cpu_threads = -4;  // meaningless: treated as automatic
    EXPECT_EQ(cpu_thread_count(), automatic);
}

TEST_P(CpuPlotFamily, WorkersEndTheirSharesWithSingleNonces) {
    // One worker with a share of 2 L - 1: one widest group of L, then (two-vector
    // families) one single-vector group of L / 2, then single nonces.
    const uint64_t lanes = cpu_family_lanes(GetParam());
    const uint64_t count = 2 * lanes - 1;
    cpu_threads = 1;
    test_batch_s t(count + 2, 5000, 40 + count, 40);  // the file has `count` nonces left
    cpu_plot_batch(&t.job, nullptr);
    EXPECT_EQ(t.batch.progress.load(), count);
    t.expect_nonces(count);
    EXPECT_GT(t.job.compute_rate, 0.0);
}

INSTANTIATE_TEST_SUITE_P(Families, CpuPlotFamily,
                         testing::Values(CPU_FAMILY_SCALAR, CPU_FAMILY_SSE4, CPU_FAMILY_AVX, CPU_FAMILY_AVX2,
                                         CPU_FAMILY_AVX512),
                         [](const testing::TestParamInfo<cpu_family_e>& info) {
                             return std::string(cpu_family_name(info.param));
                         });

TEST_F(CpuPlot, ThreeThreadsWithARemainder) {
    cpu_threads = 3;
    test_batch_s t(13, 0, 13, 0);
    cpu_plot_batch(&t.job, nullptr);
    EXPECT_EQ(t.batch.progress.load(), 13u);
    t.expect_nonces(13);
}

TEST_F(CpuPlot, FewerNoncesThanThreadsAreAllComputedByTheCaller) {
    cpu_threads = 3;
    test_batch_s t(4, 77, 2, 0);  // the file has only 2 nonces left: c = 2 < T
    cpu_plot_batch(&t.job, nullptr);
    EXPECT_EQ(t.batch.progress.load(), 2u);
    t.expect_nonces(2);
}

TEST_F(CpuPlot, EmptyBatchComputesNothing) {
    cpu_threads = 2;
    test_batch_s t(2, 0, 10, 10);
    cpu_plot_batch(&t.job, nullptr);
    EXPECT_EQ(t.batch.progress.load(), 0u);
    t.expect_nonces(0);
}

TEST_F(CpuPlot, StopBeforeTheBatchLeavesOnlyTheRemainder) {
    cpu_threads = 2;
    std::atomic<bool> stop{true};
    test_batch_s t(5, 0, 5, 0);  // share 2 per worker, remainder 1
    cpu_plot_batch(&t.job, &stop);
    EXPECT_EQ(t.batch.progress.load(), 1u);
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        for (uint64_t n = 0; n < 4; ++n) ASSERT_EQ(t.storage[(s * 5 + n) * 64], 0xEE) << "worker ran after stop";
}

TEST_F(CpuPlot, StopDuringTheBatchEndsItAndJoinsTheWorkers) {
    cpu_set_family(CPU_FAMILY_SCALAR);  // one nonce at a time: the stop lands mid-share
    cpu_threads = 2;
    test_batch_s t(40, 0, 40, 0);
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        while (t.batch.progress.load() == 0) std::this_thread::yield();
        stop = true;
    });
    cpu_plot_batch(&t.job, &stop);
    stopper.join();
    const uint64_t progress = t.batch.progress.load();
    EXPECT_GT(progress, 0u);
    EXPECT_LT(progress, 40u);
    // Every worker has been joined: nothing changes the buffer any more.
    const std::vector<uint8_t> after = t.storage;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(after, t.storage);
    EXPECT_EQ(t.batch.progress.load(), progress);
}

TEST(CpuFeatures, DecodesLeavesAndOperatingSystemState) {
    cpu_id_regs_s r;
    EXPECT_EQ(cpu_features_decode(r), 0u);  // no standard leaves at all

    r.max_leaf = 7;
    r.leaf1_edx = (1u << 25) | (1u << 26);
    r.leaf1_ecx = 1u | (1u << 19) | (1u << 20) | (1u << 27) | (1u << 28);
    r.leaf7_ebx = (1u << 5) | (1u << 16);
    r.max_ext_leaf = 0x80000001u;
    r.ext1_ecx = 1u << 6;
    r.xcr0 = 0xE7;
    EXPECT_EQ(cpu_features_decode(r), CPU_SSE | CPU_SSE2 | CPU_SSE3 | CPU_SSE4A | CPU_SSE41 | CPU_SSE42 | CPU_AVX |
                                          CPU_AVX2 | CPU_AVX512F);

    cpu_id_regs_s no_zmm = r;
    no_zmm.xcr0 = 0x7;  // the OS saves YMM but not the AVX-512 state
    EXPECT_EQ(cpu_features_decode(no_zmm) & (CPU_AVX | CPU_AVX2 | CPU_AVX512F), CPU_AVX | CPU_AVX2);

    cpu_id_regs_s no_ymm = r;
    no_ymm.xcr0 = 0x3;  // AVX state not saved: no VEX code may run
    EXPECT_EQ(cpu_features_decode(no_ymm) & (CPU_AVX | CPU_AVX2 | CPU_AVX512F), 0u);
    cpu_id_regs_s no_osxsave = r;
    no_osxsave.leaf1_ecx &= ~(1u << 27);
    EXPECT_EQ(cpu_features_decode(no_osxsave) & (CPU_AVX | CPU_AVX2 | CPU_AVX512F), 0u);

    cpu_id_regs_s no_leaf7 = r;
    no_leaf7.max_leaf = 6;
    EXPECT_EQ(cpu_features_decode(no_leaf7) & (CPU_AVX2 | CPU_AVX512F), 0u);
    cpu_id_regs_s no_ext = r;
    no_ext.max_ext_leaf = 0x80000000u;
    EXPECT_EQ(cpu_features_decode(no_ext) & CPU_SSE4A, 0u);

    EXPECT_EQ(cpu_features(), cpu_features());
}

TEST_F(CpuPlot, FamilyNamesAndAutomaticChoice) {
    for (cpu_family_e f : {CPU_FAMILY_SCALAR, CPU_FAMILY_SSE4, CPU_FAMILY_AVX, CPU_FAMILY_AVX2, CPU_FAMILY_AVX512}) {
        cpu_family_e parsed = CPU_FAMILY_BEST;
        ASSERT_TRUE(cpu_family_parse(cpu_family_name(f), &parsed));
        EXPECT_EQ(parsed, f);
    }
    cpu_family_e parsed;
    EXPECT_FALSE(cpu_family_parse("avx3", &parsed));
    EXPECT_FALSE(cpu_family_parse("", &parsed));
    EXPECT_TRUE(cpu_family_available(CPU_FAMILY_SCALAR));

    const uint32_t f = cpu_features();
    const cpu_family_e best = (f & CPU_AVX512F) ? CPU_FAMILY_AVX512
                              : (f & CPU_AVX2)  ? CPU_FAMILY_AVX2
                              : (f & CPU_AVX)   ? CPU_FAMILY_AVX
                              : (f & CPU_SSE41) ? CPU_FAMILY_SSE4
                                                : CPU_FAMILY_SCALAR;
    cpu_set_family(CPU_FAMILY_BEST);
    EXPECT_EQ(cpu_family_selected(), best);
    cpu_set_family(CPU_FAMILY_SCALAR);
    EXPECT_EQ(cpu_family_selected(), CPU_FAMILY_SCALAR);
}

TEST(CpuQueries, BrandStringHasBoundedCopySemantics) {
    char full[64];
    cpu_brand_string(sizeof full, full);
    EXPECT_LT(std::strlen(full), 49u);
    char small[4] = {'x', 'x', 'x', 'x'};
    cpu_brand_string(sizeof small, small);
    EXPECT_EQ(0, std::strncmp(small, full, sizeof small));
    EXPECT_GE(cpu_count(), 1);
}
