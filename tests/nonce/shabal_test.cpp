// Scalar Shabal-256 against published known answers; the digest must not depend on how the
// message is split into updates or on its alignment.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "nonce/shabal.h"
#include "test_support.h"

namespace {

std::string digest_hex(const uint8_t* message, size_t length) {
    uint8_t out[32];
    shabal256_digest(message, length, out);
    return test_to_hex(out, 32);
}

TEST(Shabal256, MatchesPublishedVectors) {
    const auto rows = test_read_vectors("shabal256.tsv");
    ASSERT_GE(rows.size(), 20u);
    for (const auto& row : rows) {
        const auto message = test_from_hex(row.size() > 1 ? row[1] : "");
        ASSERT_EQ(message.size(), std::stoul(row[0])) << row[3];
        EXPECT_EQ(digest_hex(message.data(), message.size()), row[2]) << row[3];
    }
}

TEST(Shabal256, DigestIndependentOfUpdateSplitAndAlignment) {
    std::vector<uint8_t> message(262161);
    for (size_t i = 0; i < message.size(); ++i) message[i] = (uint8_t)(i * 131 + (i >> 8) * 7 + 3);
    const std::string whole = digest_hex(message.data(), 262160);
    const std::vector<uint8_t> aligned(&message[1], &message[4097]);
    EXPECT_EQ(digest_hex(message.data() + 1, 4096), digest_hex(aligned.data(), 4096));
    const size_t pieces[] = {1, 63, 64, 65, 4096, 7, 0};
    shabal256_s ctx;
    shabal256_init(&ctx, 256);
    for (size_t offset = 0, turn = 0; offset < 262160; ++turn) {
        const size_t piece = std::min(pieces[turn % 7], 262160 - offset);
        shabal256_update(&ctx, message.data() + offset, piece);
        offset += piece;
    }
    uint8_t out[32];
    shabal256_close(&ctx, 0, 0, out);
    EXPECT_EQ(test_to_hex(out, 32), whole);
}

}  // namespace
