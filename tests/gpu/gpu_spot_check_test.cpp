// The spot check of zero-prefixed output rows: wrong rows end the batch, right ones are
// kept, and the nonce recomputed is the one the device's share of the pass starts with.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gpu/gpu_fixture.h"

namespace {

using gpu_ptr = std::unique_ptr<gpu_s, void (*)(gpu_s*)>;

// A device whose output buffer comes back all zeros.
const char zero_body[] =
    "    for (uint s = 0; s < 4096; ++s)\n"
    "        for (uint b = 0; b < 64; ++b) p_scoops[s * 64 * p_staggerSize + id * 64 + b] = 0;";

// Output byte b of scoop s of nonce k is (3 k + s + b + 1) mod 256, except that scoop 5
// begins with four zero bytes. k comes from the seed nonce_step1 wrote.
const char pattern_body[] =
    "    const uchar k = p_gen[id * 262160u + 262159u];\n"
    "    for (uint s = 0; s < 4096; ++s)\n"
    "        for (uint b = 0; b < 64; ++b)\n"
    "            p_scoops[s * 64 * p_staggerSize + id * 64 + b] =\n"
    "                (s == 5 && b < 4) ? 0 : (uchar)(3 * k + s + b + 1);";

void pattern_nonce(uint64_t nonce, uint8_t* out) {
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        for (uint64_t b = 0; b < SCOOP_SIZE; ++b)
            out[s * SCOOP_SIZE + b] = (s == 5 && b < 4) ? 0 : (uint8_t)(3 * (nonce & 0xFF) + s + b + 1);
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// An all-zero slot fails at its row zero; the nonce recomputed is the first of that slot's
// share of the pass, and slots before it keep their copied output.
TEST(GpuSpotCheck, AllZeroSlotFailsAtTheFirstNonceOfItsShare) {
    GPU_REQUIRE_DEVICE(pd);
    struct case_s {
        int32_t slots, broken;  // devices in the context and the one giving zeros
        uint64_t start;         // first nonce of the batch
        uint64_t recomputed;    // the nonce the spot check recomputes
    };
    for (const case_s& c : {case_s{1, 0, 640, 640}, case_s{2, 1, 1000, 1032}}) {
        SCOPED_TRACE(c.broken);
        gpu_ptr gpu(gpu_activate_pd(std::vector<gpu_pd_s>(c.slots, pd), 32), gpu_release);
        ASSERT_TRUE(gpu);
        ASSERT_TRUE(gpu_replace_step3(gpu.get(), c.broken, zero_body));
        std::vector<uint64_t> recomputed;
        gpu_record_reference(gpu.get(), &recomputed, [](uint64_t account, uint64_t nonce, uint8_t* out) {
            nonce_compute(account, nonce, out, false);
        });
        test_batch_s buffer(32 * c.slots);
        testing::internal::CaptureStderr();
        EXPECT_EQ(gpu_compute(gpu.get(), 9, c.start, &buffer.batch, nullptr), 0u);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(count_of(log, "Looks like GPU compute may have failed... spot checking...\n"), 1u);
        EXPECT_EQ(count_of(log, "Yep it failed!\n"), 1u);
        EXPECT_EQ(count_of(log, "Assertion failure"), 1u);
        EXPECT_EQ(recomputed, std::vector<uint64_t>{c.recomputed});
        for (uint64_t index = 0; index < (uint64_t)c.broken * 32; index += 31)
            expect_batch_nonce(buffer.batch, index, 9, c.start + index);
    }
}

TEST(GpuSpotCheck, GenuineZeroPrefixedRowIsCheckedAndKept) {
    GPU_REQUIRE_DEVICE(pd);
    gpu_ptr gpu(gpu_activate_pd({pd}, 32), gpu_release);
    ASSERT_TRUE(gpu);
    ASSERT_TRUE(gpu_replace_step3(gpu.get(), 0, pattern_body));
    std::vector<uint64_t> recomputed;
    gpu_record_reference(gpu.get(), &recomputed, [](uint64_t, uint64_t nonce, uint8_t* out) { pattern_nonce(nonce, out); });
    test_batch_s buffer(64);  // two passes: each checks its own first nonce
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpu_compute(gpu.get(), 9, 200, &buffer.batch, nullptr), 64u);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_of(log, "Nah turns out it's all good. Carrying on...\n"), 2u);
    EXPECT_EQ(count_of(log, "Yep it failed!"), 0u);
    EXPECT_EQ(recomputed, (std::vector<uint64_t>{200, 232}));
    std::vector<uint8_t> expected(PLOT_SIZE);
    for (uint64_t index : {0, 17, 32, 63}) {
        pattern_nonce(200 + index, expected.data());
        for (uint64_t s : {0, 5, 4095})
            EXPECT_EQ(0, std::memcmp(buffer.storage.data() + (s * 64 + index) * SCOOP_SIZE,
                                     expected.data() + s * SCOOP_SIZE, SCOOP_SIZE))
                << "index " << index << " scoop " << s;
    }
}

}  // namespace
