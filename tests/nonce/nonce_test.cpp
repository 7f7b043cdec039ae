// nonce_compute against independent nonce vectors, the PoC2 order and the batch layout.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "nonce/nonce.h"
#include "test_support.h"

namespace {

std::vector<uint8_t> compute(uint64_t account, uint64_t nonce, bool poc2) {
    std::vector<uint8_t> out(PLOT_SIZE);
    nonce_compute(account, nonce, out.data(), poc2);
    return out;
}

}  // namespace

TEST(NonceCompute, MatchesReferenceNonces) {
    const auto rows = test_read_vectors("nonces.tsv");
    ASSERT_GE(rows.size(), 4u);
    for (const auto& row : rows) {
        const uint64_t account = std::stoull(row[0]);
        const uint64_t nonce = std::stoull(row[1]);
        const auto poc1 = compute(account, nonce, false);
        const auto poc2 = compute(account, nonce, true);
        EXPECT_EQ(test_sha256_hex(poc1.data(), PLOT_SIZE), row[2]) << account << " " << nonce;
        EXPECT_EQ(test_sha256_hex(poc2.data(), PLOT_SIZE), row[3]) << account << " " << nonce;
        EXPECT_EQ(test_to_hex(poc1.data(), 64), row[4]);
        EXPECT_EQ(test_to_hex(poc1.data() + PLOT_SIZE - 64, 64), row[5]);
    }
}

TEST(NonceCompute, Poc2SwapsSecondHalvesAndIsItsOwnInverse) {
    const auto poc1 = compute(1, 2, false);
    auto poc2 = compute(1, 2, true);
    for (uint64_t s : {0ull, 1ull, 2047ull, 2048ull, 4095ull}) {
        const uint64_t mirror = 4095 - s;
        EXPECT_EQ(0, std::memcmp(&poc2[s * 64], &poc1[s * 64], 32)) << "first half moved, scoop " << s;
        EXPECT_EQ(0, std::memcmp(&poc2[s * 64 + 32], &poc1[mirror * 64 + 32], 32)) << "scoop " << s;
    }
    poc2_convert_nonce(poc2.data());
    EXPECT_EQ(poc1, poc2);
}

TEST(NonceCompute, SeedIsBigEndian) {
    std::unique_ptr<uint8_t[]> gen(new uint8_t[GEN_SIZE]);
    nonce_write_seed(gen.get(), 1, 2);
    const uint8_t expected[16] = {0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2};
    EXPECT_EQ(0, std::memcmp(gen.get() + PLOT_SIZE, expected, 16));
}

TEST(BatchBuffer, ScatterAndPoc2ConversionFollowTheScoopMajorLayout) {
    const uint64_t capacity = 5, count = 3, account = 7900104405094198526ull, first = 1337;
    std::vector<uint8_t> storage(capacity * PLOT_SIZE, 0xEE);
    batch_buffer_s batch;
    batch.capacity = capacity;
    batch.data = storage.data();
    std::vector<std::vector<uint8_t>> expected;
    for (uint64_t n = 0; n < count; ++n) {
        expected.push_back(compute(account, first + n, false));
        nonce_scatter(expected.back().data(), &batch, n);
    }
    // Scoop 1 of index 0 lies one row (capacity * 64 bytes) after scoop 0 of index 0.
    EXPECT_EQ(0, std::memcmp(storage.data() + capacity * 64, &expected[0][64], 64));
    EXPECT_EQ(0, std::memcmp(storage.data() + 64, &expected[1][0], 64));

    poc2_convert_batch(&batch, count);
    for (uint64_t n = 0; n < count; ++n) {
        const auto poc2 = compute(account, first + n, true);
        for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
            ASSERT_EQ(0, std::memcmp(storage.data() + (s * capacity + n) * 64, &poc2[s * 64], 64))
                << "nonce " << n << " scoop " << s;
    }
    // Slots beyond the batch's count are never touched.
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; s += 511)
        EXPECT_EQ(storage[(s * capacity + 4) * 64], 0xEE);
}
