// Scalar Shabal-256 against published known answers, and independence from update splitting.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "nonce/shabal.h"
#include "test_support.h"

namespace {

std::string digest_hex(const std::vector<uint8_t>& message) {
    uint8_t out[32];
    shabal256_digest(message.data(), message.size(), out);
    return test_to_hex(out, 32);
}

std::vector<uint8_t> pattern(size_t length) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = (uint8_t)(i * 131 + (i >> 8) * 7 + 3);
    return data;
}

}  // namespace

TEST(Shabal256, MatchesPublishedVectors) {
    const auto rows = test_read_vectors("shabal256.tsv");
    ASSERT_GE(rows.size(), 20u);
    bool saw_multi_block = false;
    for (const auto& row : rows) {
        const size_t length = std::stoul(row[0]);
        const auto message = test_from_hex(row.size() > 1 ? row[1] : "");
        ASSERT_EQ(message.size(), length) << row[3];
        EXPECT_EQ(digest_hex(message), row[2]) << row[3];
        saw_multi_block |= length > 128;
    }
    EXPECT_TRUE(saw_multi_block);
}

TEST(Shabal256, InitialValueComesFromThePrefixBlocks) {
    const shabal_state_s& iv = shabal256_initial_state();
    EXPECT_EQ(iv.A[0], 0x52F84552u);
    EXPECT_EQ(iv.W, 1u);
    shabal256_s ctx;
    shabal256_init(&ctx, 256);
    EXPECT_EQ(0, std::memcmp(&ctx.state, &iv, sizeof iv));
    EXPECT_EQ(ctx.ptr, 0u);
}

TEST(Shabal256, DigestIndependentOfUpdateSplit) {
    const auto message = pattern(262160);
    const std::string whole = digest_hex(message);
    const size_t piece_sizes[] = {1, 63, 64, 65, 4096, 7};
    shabal256_s ctx;
    shabal256_init(&ctx, 256);
    size_t offset = 0, turn = 0;
    while (offset < message.size()) {
        size_t piece = std::min(piece_sizes[turn++ % 6], message.size() - offset);
        shabal256_update(&ctx, message.data() + offset, piece);
        offset += piece;
    }
    shabal256_update(&ctx, message.data(), 0);
    uint8_t out[32];
    shabal256_close(&ctx, 0, 0, out);
    EXPECT_EQ(test_to_hex(out, 32), whole);
}

TEST(Shabal256, UnalignedInputGivesTheSameDigest) {
    const auto message = pattern(4096 + 1);
    std::vector<uint8_t> aligned(message.begin() + 1, message.end());
    uint8_t a[32], b[32];
    shabal256_digest(message.data() + 1, 4096, a);
    shabal256_digest(aligned.data(), 4096, b);
    EXPECT_EQ(0, std::memcmp(a, b, 32));
}
