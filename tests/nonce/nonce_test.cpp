// The hashes a nonce is made of and the nonce itself against independent known answers
// (scalar Shabal-256, and nonce_compute with the PoC2 conversion of a nonce), and every
// multi-lane family's digest against the scalar hash fed the same pieces, lane by lane, which
// also holds the scalar hash to messages split into updates at odd addresses. The lane
// families' nonce groups are held to the reference nonces through cpu_plot_batch in
// cpu_test.cpp; the scatter into scoop rows and the PoC2 conversion of a batch to
// whole-file digests in plotfile_test.cpp.

#include "nonce/cpu.h"
#include "nonce/shabal.h"
#include "nonce/shabal_lanes.h"
#include "test_support.h"

namespace {

// Scalar Shabal-256 of the message at `in`, fed in `pieces`.
void scalar_digest(const uint8_t* in, const std::vector<uint64_t>& pieces, uint8_t* out) {
    shabal256_s ctx;
    shabal256_init(&ctx, 256);
    for (uint64_t piece : pieces) {
        shabal256_update(&ctx, in, piece);
        in += piece;
    }
    shabal256_close(&ctx, 0, 0, out);
}

// A lane family's init, one update per piece, close, for every lane; null lanes stay null.
template <class CTX, int L, void (*INIT)(CTX*, uint32_t), void (*UPDATE)(CTX*, const void* const*, uint64_t),
          void (*CLOSE)(CTX*, const uint32_t*, uint32_t, void* const*)>
void digest_lanes(const uint8_t* const* in, const std::vector<uint64_t>& pieces, uint8_t* const* out) {
    CTX ctx;
    INIT(&ctx, 256);
    const void* at[L];
    void* dst[L];
    for (int k = 0; k < L; ++k) at[k] = in[k], dst[k] = out[k];
    for (uint64_t piece : pieces) {
        UPDATE(&ctx, at, piece);
        for (int k = 0; k < L; ++k) at[k] = at[k] ? static_cast<const uint8_t*>(at[k]) + piece : nullptr;
    }
    CLOSE(&ctx, nullptr, 0, dst);
}

// One family's entry points (x8, x16_avx2 and x32 are two-vector forms, x64 a four-vector
// one) behind one face.
struct lane_family_s {
    const char* label;    // test name suffix
    cpu_family_e family;  // family it belongs to (for the availability check)
    uint32_t lanes;       // hashes per context
    void (*digest)(const uint8_t* const* in, const std::vector<uint64_t>& pieces, uint8_t* const* out);
};

void PrintTo(const lane_family_s& f, std::ostream* os) { *os << f.label; }

#define FAMILY(fam, CTX, L, name) \
    lane_family_s { #name, fam, L, digest_lanes<CTX, L, shabal_##name##_init, shabal_##name##_update, shabal_##name##_close> }

const lane_family_s families[] = {
    FAMILY(CPU_FAMILY_SSE4, shabal_x4_s, 4, x4_sse41),  FAMILY(CPU_FAMILY_SSE4, shabal_x8_s, 8, x8_sse41),
    FAMILY(CPU_FAMILY_AVX, shabal_x4_s, 4, x4_avx),     FAMILY(CPU_FAMILY_AVX, shabal_x8_s, 8, x8_avx),
    FAMILY(CPU_FAMILY_AVX2, shabal_x8_s, 8, x8),        FAMILY(CPU_FAMILY_AVX2, shabal_x16_s, 16, x16_avx2),
    FAMILY(CPU_FAMILY_AVX512, shabal_x16_s, 16, x16),    FAMILY(CPU_FAMILY_AVX512X2, shabal_x32_s, 32, x32),
    FAMILY(CPU_FAMILY_AVX512X4, shabal_x64_s, 64, x64),
};

class ShabalLanes : public testing::TestWithParam<lane_family_s> {};

}  // namespace

TEST(Shabal256, MatchesPublishedVectors) {
    const auto rows = test_read_vectors("shabal256.tsv");
    ASSERT_GE(rows.size(), 20u);
    for (const auto& row : rows) {
        const auto message = test_from_hex(row.size() > 1 ? row[1] : "");
        ASSERT_EQ(message.size(), std::stoul(row[0])) << row[3];
        uint8_t digest[32];
        shabal256_digest(message.data(), message.size(), digest);
        EXPECT_EQ(test_to_hex(digest, 32), row[2]) << row[3];
    }
}

TEST(NonceCompute, MatchesReferenceNoncesAndPoc2ConversionIsItsOwnInverse) {
    const auto rows = test_read_vectors("nonces.tsv");
    ASSERT_GE(rows.size(), 4u);
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0] + " " + row[1]);
        const uint64_t account = std::stoull(row[0]), nonce = std::stoull(row[1]);
        std::vector<uint8_t> poc1(PLOT_SIZE), poc2(PLOT_SIZE);
        nonce_compute(account, nonce, poc1.data(), false);
        nonce_compute(account, nonce, poc2.data(), true);
        EXPECT_EQ(test_sha256_hex(poc1.data(), PLOT_SIZE), row[2]);
        EXPECT_EQ(test_sha256_hex(poc2.data(), PLOT_SIZE), row[3]);
        poc2_convert_nonce(poc2.data());
        EXPECT_TRUE(poc2 == poc1);
    }
}

// Whole messages of every length class, then messages fed in pieces: empty pieces, pieces
// across block edges, and one that fills exactly the room left in the first block. Lane k's
// message starts k bytes into one buffer, so lanes differ in contents and alignment. Last,
// null inputs take the first lane given and a null output is left alone.
TEST_P(ShabalLanes, EachLaneEqualsTheScalarDigest) {
    const lane_family_s& f = GetParam();
    if (!cpu_family_available(f.family)) GTEST_SKIP() << cpu_family_name(f.family) << " missing";
    std::vector<uint8_t> message(262160 + f.lanes), digests(32 * f.lanes), expected(32 * f.lanes);
    for (size_t i = 0; i < message.size(); ++i) message[i] = (uint8_t)(i * 167 + (i >> 9));
    std::vector<const uint8_t*> in(f.lanes);
    std::vector<uint8_t*> out(f.lanes);
    for (uint32_t k = 0; k < f.lanes; ++k) {
        in[k] = &message[k];
        out[k] = &digests[32 * k];
    }
    const std::vector<uint64_t> piece_lists[] = {{0},    {16},     {48},   {63},   {64}, {65}, {4080}, {4096},
                                                 {262160}, {1, 63, 64, 0, 65, 7, 4096}, {10, 54}};
    for (const std::vector<uint64_t>& pieces : piece_lists) {
        for (uint32_t k = 0; k < f.lanes; ++k) scalar_digest(in[k], pieces, &expected[32 * k]);
        f.digest(in.data(), pieces, out.data());
        EXPECT_EQ(digests, expected) << pieces.size() << " pieces from " << pieces[0] << " bytes";
    }
    digests.assign(digests.size(), 0x5C);
    expected.assign(expected.size(), 0x5C);
    for (uint32_t k = 0; k < f.lanes; ++k)
        if (k != 2) shabal256_digest(in[k == 0 || k == f.lanes - 1 ? 1 : k], 100, &expected[32 * k]);
    in.front() = in.back() = nullptr;
    out[2] = nullptr;
    f.digest(in.data(), {100}, out.data());
    EXPECT_EQ(digests, expected) << "null lanes";
}

INSTANTIATE_TEST_SUITE_P(Families, ShabalLanes, testing::ValuesIn(families),
                         [](const testing::TestParamInfo<lane_family_s>& info) { return std::string(info.param.label); });
