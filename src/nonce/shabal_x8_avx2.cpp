// 8-lane Shabal-256 and nonce group for AVX2 (this file alone is built with -mavx2).
#include <immintrin.h>

#include "nonce/shabal_lanes.h"

#define LANES 8
#define LANES_CTX shabal_x8_s
#define LANES_NAME(f) shabal_x8_##f
#define LANES_GROUP nonce_group_x8

namespace {

using V = __m256i;

inline V v_load(const uint32_t* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
inline void v_store(uint32_t* p, V v) { _mm256_store_si256(reinterpret_cast<__m256i*>(p), v); }
inline V v_loadu(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void v_storeu(uint8_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
inline V v_add(V a, V b) { return _mm256_add_epi32(a, b); }
inline V v_sub(V a, V b) { return _mm256_sub_epi32(a, b); }
inline V v_xor(V a, V b) { return _mm256_xor_si256(a, b); }
inline V v_set1(uint32_t x) { return _mm256_set1_epi32((int)x); }
inline V v_rotl17(V x) { return _mm256_or_si256(_mm256_slli_epi32(x, 17), _mm256_srli_epi32(x, 15)); }

// A[a0] = ((A[a0] ^ rotl(A[a1], 15) * 5 ^ C) * 3) ^ B[b1] ^ (B[b2] & ~B[b3]) ^ M,
// multiplications as shift-and-add, the B/M terms combined off the chain through A.
inline V perm_a(V a0, V a1, V b1, V b2, V b3, V c, V m) {
    V t = _mm256_or_si256(_mm256_slli_epi32(a1, 15), _mm256_srli_epi32(a1, 17));
    t = _mm256_add_epi32(t, _mm256_slli_epi32(t, 2));
    t = _mm256_xor_si256(t, _mm256_xor_si256(a0, c));
    t = _mm256_add_epi32(t, _mm256_add_epi32(t, t));
    return _mm256_xor_si256(t, _mm256_xor_si256(_mm256_xor_si256(b1, _mm256_andnot_si256(b3, b2)), m));
}

// B[i] = ~(rotl(B[i], 1) ^ A[a0]).
inline V perm_b(V b0, V a0) {
    const V rotated = _mm256_or_si256(_mm256_add_epi32(b0, b0), _mm256_srli_epi32(b0, 31));
    return _mm256_xor_si256(_mm256_xor_si256(rotated, a0), _mm256_set1_epi32(-1));
}

// Lane k's quarter block in the low half and lane k + 4's in the high half, then the
// 4x4 word transpose inside each 128-bit half: M[j] comes out in lane order 0..7.
inline void gather(const uint8_t* const* p, uint64_t off, V* M) {
    for (int g = 0; g < 4; ++g) {
        V r[4];
        for (int k = 0; k < 4; ++k) {
            const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p[k] + off + 16 * g));
            const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p[k + 4] + off + 16 * g));
            r[k] = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
        }
        const V t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpacklo_epi32(r[2], r[3]);
        const V t2 = _mm256_unpackhi_epi32(r[0], r[1]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
        M[4 * g + 0] = _mm256_unpacklo_epi64(t0, t1);
        M[4 * g + 1] = _mm256_unpackhi_epi64(t0, t1);
        M[4 * g + 2] = _mm256_unpacklo_epi64(t2, t3);
        M[4 * g + 3] = _mm256_unpackhi_epi64(t2, t3);
    }
}

}  // namespace

#include "nonce/shabal_lanes_impl.inc"
