// The spot check of zero-prefixed output rows: wrong rows end the batch, right ones are
// kept, and the nonce recomputed is the one the device's share of the pass starts with.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gpu/gpu_fixture.h"

namespace {

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

void pattern_nonce(uint64_t, uint64_t nonce, uint8_t* out) {
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        for (uint64_t b = 0; b < SCOOP_SIZE; ++b)
            out[s * SCOOP_SIZE + b] = (s == 5 && b < 4) ? 0 : (uint8_t)(3 * (nonce & 0xFF) + s + b + 1);
}

void true_nonce(uint64_t account, uint64_t nonce, uint8_t* out) { nonce_compute(account, nonce, out, false); }

size_t count_of(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// An all-zero slot fails at its row zero: the nonce recomputed is the first of that slot's
// share of the pass, and slots before it keep their copied output. A genuine zero-prefixed
// row is checked once per pass (each checks its own first nonce) and kept.
TEST(GpuSpotCheck, ZeroPrefixedRowsAreRecomputedOnce) {
    GPU_REQUIRE_DEVICE(pd);
    struct case_s {
        int32_t slots, broken;                       // devices in the context and the one replaced
        const char* body;                            // its nonce_step3
        void (*make)(uint64_t, uint64_t, uint8_t*);  // what the spot check computes instead
        uint64_t start, capacity, done;              // the batch and what gpu_compute returns
        std::vector<uint64_t> recomputed;            // the nonces the spot check recomputes
        uint64_t kept;                               // batch positions holding `make`'s nonces
    };
    const case_s cases[] = {
        {1, 0, zero_body, true_nonce, 640, 32, 0, {640}, 0},
        {2, 1, zero_body, true_nonce, 1000, 64, 0, {1032}, 32},
        {1, 0, pattern_body, pattern_nonce, 200, 64, 64, {200, 232}, 64},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.start);
        gpu_ptr gpu = gpu_activate_list(std::vector<gpu_pd_s>(c.slots, pd), 32);
        ASSERT_TRUE(gpu);
        ASSERT_TRUE(gpu_replace_step3(gpu.get(), c.broken, c.body));
        std::vector<uint64_t> recomputed;
        gpu->reference = [&recomputed, &c](uint64_t account, uint64_t nonce, uint8_t* out) {
            recomputed.push_back(nonce);
            c.make(account, nonce, out);
        };
        test_batch_s buffer(c.capacity);
        testing::internal::CaptureStderr();
        EXPECT_EQ(gpu_compute(gpu.get(), 9, c.start, &buffer.batch, nullptr), c.done);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(recomputed, c.recomputed);
        EXPECT_EQ(count_of(log, "Looks like GPU compute may have failed... spot checking...\n"), c.recomputed.size());
        EXPECT_EQ(count_of(log, "Nah turns out it's all good. Carrying on...\n"), c.done ? c.recomputed.size() : 0);
        EXPECT_EQ(count_of(log, "Yep it failed!\n") + count_of(log, "Assertion failure"), c.done ? 0u : 2u);
        std::vector<uint8_t> expected(PLOT_SIZE);
        for (uint64_t index = 0; index < c.kept; index += 31) {
            c.make(9, c.start + index, expected.data());
            for (uint64_t s = 0; s < SCOOPS_PER_PLOT; s += 5)
                ASSERT_EQ(0, std::memcmp(&buffer.storage[(s * c.capacity + index) * SCOOP_SIZE], &expected[s * SCOOP_SIZE],
                                         SCOOP_SIZE)) << "index " << index << " scoop " << s;
        }
    }
}

}  // namespace
