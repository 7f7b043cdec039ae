// Every multi-lane Shabal family against the scalar hash and nonce_compute, lane by lane.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "nonce/nonce.h"
#include "nonce/plt_cpu.h"
#include "nonce/shabal.h"
#include "nonce/shabal_lanes.h"
#include "test_support.h"

namespace {

// One family's entry points (x8 and x16_avx2 are the two-vector forms) behind a lane-count-independent face.
struct lane_family_s {
    const char* label;     // test name suffix
    cpu_family_e family;   // family it belongs to (for the availability check)
    uint32_t lanes;        // hashes per context
    void (*digest)(const uint8_t* const* in, const std::vector<uint64_t>& pieces, uint8_t* const* out);
    nonce_group_fn group;  // the lane-parallel nonce group
};

// Test listings show a family by its label rather than as raw bytes.
void PrintTo(const lane_family_s& f, std::ostream* os) { *os << f.label; }

// init, one update per piece, close, for every lane.
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
        for (int k = 0; k < L; ++k) at[k] = static_cast<const uint8_t*>(at[k]) + piece;
    }
    CLOSE(&ctx, nullptr, 0, dst);
}

#define FAMILY(fam, CTX, L, name, group) \
    lane_family_s { #name, fam, L, digest_lanes<CTX, L, shabal_##name##_init, shabal_##name##_update, shabal_##name##_close>, group }

const lane_family_s families[] = {
    FAMILY(CPU_FAMILY_SSE4, shabal_x4_s, 4, x4_sse41, nonce_group_x4_sse41),
    FAMILY(CPU_FAMILY_SSE4, shabal_x8_s, 8, x8_sse41, nonce_group_x8_sse41),
    FAMILY(CPU_FAMILY_AVX, shabal_x4_s, 4, x4_avx, nonce_group_x4_avx),
    FAMILY(CPU_FAMILY_AVX, shabal_x8_s, 8, x8_avx, nonce_group_x8_avx),
    FAMILY(CPU_FAMILY_AVX2, shabal_x8_s, 8, x8, nonce_group_x8),
    FAMILY(CPU_FAMILY_AVX2, shabal_x16_s, 16, x16_avx2, nonce_group_x16_avx2),
    FAMILY(CPU_FAMILY_AVX512, shabal_x16_s, 16, x16, nonce_group_x16),
};

// Per-lane messages with distinct contents; lane k starts k bytes into its buffer so
// that no two lanes share an alignment.
struct lane_inputs_s {
    std::vector<std::vector<uint8_t>> storage;  // one buffer per lane
    std::vector<const uint8_t*> in;             // lane message starts
    lane_inputs_s(uint32_t lanes, uint64_t length) {
        for (uint32_t k = 0; k < lanes; ++k) {
            storage.emplace_back(length + k + 1);
            for (uint64_t i = 0; i < length; ++i) storage[k][k + i] = (uint8_t)(i * 167 + k * 29 + (i >> 9));
        }
        for (uint32_t k = 0; k < lanes; ++k) in.push_back(storage[k].data() + k);
    }
};

struct lane_outputs_s {
    std::vector<uint8_t> bytes;  // 32 bytes per lane
    std::vector<uint8_t*> out;   // lane digest pointers
    explicit lane_outputs_s(uint32_t lanes) : bytes(32 * lanes) {
        for (uint32_t k = 0; k < lanes; ++k) out.push_back(bytes.data() + 32 * k);
    }
};

struct aligned_areas_s {
    std::vector<uint8_t*> areas;  // GEN_SIZE bytes each, 64-byte aligned
    explicit aligned_areas_s(uint32_t count) {
        for (uint32_t i = 0; i < count; ++i)
            areas.push_back(static_cast<uint8_t*>(std::aligned_alloc(64, (GEN_SIZE + 63) / 64 * 64)));
    }
    ~aligned_areas_s() {
        for (uint8_t* area : areas) std::free(area);
    }
};

class ShabalLanes : public testing::TestWithParam<lane_family_s> {
protected:
    void SetUp() override {
        if (!cpu_family_available(GetParam().family)) GTEST_SKIP() << cpu_family_name(GetParam().family) << " missing";
    }
};

}  // namespace

// Whole messages of every length class, then messages fed in pieces: empty pieces, pieces
// across block edges, and one that fills exactly the room left in the first block.
TEST_P(ShabalLanes, EachLaneEqualsTheScalarDigest) {
    const lane_family_s& f = GetParam();
    const std::vector<uint64_t> piece_lists[] = {{0},     {16},      {48},   {63},   {64}, {65}, {4080}, {4096},
                                                 {262160}, {1, 63, 64, 0, 65, 7, 4096}, {10, 54}};
    for (const std::vector<uint64_t>& pieces : piece_lists) {
        const uint64_t length = std::accumulate(pieces.begin(), pieces.end(), (uint64_t)0);
        lane_inputs_s inputs(f.lanes, length);
        lane_outputs_s outputs(f.lanes);
        f.digest(inputs.in.data(), pieces, outputs.out.data());
        for (uint32_t k = 0; k < f.lanes; ++k) {
            uint8_t expected[32];
            shabal256_digest(inputs.in[k], length, expected);
            EXPECT_EQ(0, std::memcmp(outputs.out[k], expected, 32))
                << "length " << length << " in " << pieces.size() << " pieces, lane " << k;
        }
    }
}

TEST_P(ShabalLanes, NullLanePointersFollowTheFirstLane) {
    const lane_family_s& f = GetParam();
    lane_inputs_s inputs(f.lanes, 100);
    std::vector<const uint8_t*> in = inputs.in;
    in[0] = nullptr;
    in[f.lanes - 1] = nullptr;
    lane_outputs_s outputs(f.lanes);
    std::vector<uint8_t*> out = outputs.out;
    out[2] = nullptr;
    std::memset(outputs.bytes.data(), 0x5C, outputs.bytes.size());
    f.digest(in.data(), {100}, out.data());
    uint8_t lane1[32];
    shabal256_digest(inputs.in[1], 100, lane1);
    EXPECT_EQ(0, std::memcmp(outputs.out[0], lane1, 32));
    EXPECT_EQ(0, std::memcmp(outputs.out[f.lanes - 1], lane1, 32));
    EXPECT_EQ(std::vector<uint8_t>(32, 0x5C), std::vector<uint8_t>(outputs.out[2], outputs.out[2] + 32));
}

INSTANTIATE_TEST_SUITE_P(Families, ShabalLanes, testing::ValuesIn(families),
                         [](const testing::TestParamInfo<lane_family_s>& info) { return std::string(info.param.label); });

// One test for every family so that the reference nonces are computed once.
TEST(ShabalLaneGroups, EveryGroupEqualsNonceComputeScoopByScoop) {
    const uint64_t account = 7900104405094198526ull, first = 1000, first_index = 2;
    for (const lane_family_s& f : families) {
        if (!cpu_family_available(f.family)) continue;
        SCOPED_TRACE(f.label);
        const uint64_t capacity = f.lanes + 3;
        test_batch_s buffer(capacity, 0xEE);
        aligned_areas_s areas(f.lanes);
        f.group(areas.areas.data(), account, first, &buffer.batch, first_index);
        for (uint32_t m = 0; m < f.lanes; ++m)
            EXPECT_TRUE(test_rows_hold(buffer.storage.data(), capacity, first_index + m, account, first + m))
                << "lane " << m;
        for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
            for (uint64_t n : {(uint64_t)0, (uint64_t)1, capacity - 1})
                ASSERT_EQ(buffer.storage[(s * capacity + n) * 64], 0xEE) << "index " << n << " scoop " << s << " written";
    }
}
