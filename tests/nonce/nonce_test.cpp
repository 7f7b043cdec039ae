// nonce_compute against independent nonce vectors, the PoC2 conversion of a nonce and of a
// scoop-major batch.
#include <gtest/gtest.h>

#include <vector>

#include "nonce/nonce.h"
#include "test_support.h"

namespace {

std::vector<uint8_t> compute(uint64_t account, uint64_t nonce, bool poc2) {
    std::vector<uint8_t> out(PLOT_SIZE);
    nonce_compute(account, nonce, out.data(), poc2);
    return out;
}

TEST(NonceCompute, MatchesReferenceNoncesAndPoc2ConversionIsItsOwnInverse) {
    const auto rows = test_read_vectors("nonces.tsv");
    ASSERT_GE(rows.size(), 4u);
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0] + " " + row[1]);
        const uint64_t account = std::stoull(row[0]), nonce = std::stoull(row[1]);
        const auto poc1 = compute(account, nonce, false);
        auto poc2 = compute(account, nonce, true);
        EXPECT_EQ(test_sha256_hex(poc1.data(), PLOT_SIZE), row[2]);
        EXPECT_EQ(test_sha256_hex(poc2.data(), PLOT_SIZE), row[3]);
        EXPECT_EQ(test_to_hex(poc1.data(), 64), row[4]);
        EXPECT_EQ(test_to_hex(poc1.data() + PLOT_SIZE - 64, 64), row[5]);
        poc2_convert_nonce(poc2.data());
        EXPECT_TRUE(poc2 == poc1);
    }
}

// Nonces scattered into scoop rows `capacity` apart and converted in place; slots beyond
// the batch's count are never touched.
TEST(BatchBuffer, ScatterAndPoc2ConversionFollowTheScoopMajorLayout) {
    const uint64_t capacity = 5, count = 3, account = 7900104405094198526ull, first = 1337;
    test_batch_s buffer(capacity, 0xEE);
    for (uint64_t n = 0; n < count; ++n) nonce_scatter(compute(account, first + n, false).data(), &buffer.batch, n);
    poc2_convert_batch(&buffer.batch, count);
    for (uint64_t n = 0; n < count; ++n)
        EXPECT_TRUE(test_rows_hold(buffer.storage.data(), capacity, n, account, first + n, true)) << n;
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; s += 511) EXPECT_EQ(buffer.storage[(s * capacity + 4) * 64], 0xEE);
}

}  // namespace
