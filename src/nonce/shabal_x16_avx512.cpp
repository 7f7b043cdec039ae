// 16-lane Shabal-256 and nonce group for AVX-512F (this file alone is built with
// -mavx512f, and uses nothing beyond the foundation subset).
// GCC 12's AVX-512 intrinsics start from a deliberately undefined register value, which
// -Wmaybe-uninitialized reports once they are inlined here.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "nonce/shabal_lanes.h"

#define LANES 16
#define LANES_CTX shabal_x16_s
#define LANES_NAME(f) shabal_x16_##f
#define LANES_GROUP nonce_group_x16

namespace {

using V = __m512i;

inline V v_load(const uint32_t* p) { return _mm512_load_si512(p); }
inline void v_store(uint32_t* p, V v) { _mm512_store_si512(p, v); }
inline V v_loadu(const uint8_t* p) { return _mm512_loadu_si512(p); }
inline void v_storeu(uint8_t* p, V v) { _mm512_storeu_si512(p, v); }
inline V v_add(V a, V b) { return _mm512_add_epi32(a, b); }
inline V v_sub(V a, V b) { return _mm512_sub_epi32(a, b); }
inline V v_xor(V a, V b) { return _mm512_xor_si512(a, b); }
inline V v_set1(uint32_t x) { return _mm512_set1_epi32((int)x); }
inline V v_rotl17(V x) { return _mm512_rol_epi32(x, 17); }

// Ternary-logic truth tables over (x, y, z) = (0xF0, 0xCC, 0xAA).
constexpr int XOR3 = 0x96;         // x ^ y ^ z
constexpr int XOR_ANDNOT = 0xB4;   // x ^ (y & ~z)
constexpr int XNOR = 0xC3;         // ~(x ^ y)

// A[a0] = ((A[a0] ^ rotl(A[a1], 15) * 5 ^ C) * 3) ^ B[b1] ^ (B[b2] & ~B[b3]) ^ M:
// native rotate, shift-and-add multiplications, three-input XORs; the chain through
// A is rotate, shift, add, xor3, add, add, xor3.
inline V perm_a(V a0, V a1, V b1, V b2, V b3, V c, V m) {
    V t = _mm512_rol_epi32(a1, 15);
    t = _mm512_add_epi32(t, _mm512_slli_epi32(t, 2));
    t = _mm512_ternarylogic_epi32(t, a0, c, XOR3);
    t = _mm512_add_epi32(t, _mm512_add_epi32(t, t));
    const V b = _mm512_ternarylogic_epi32(b1, b2, b3, XOR_ANDNOT);
    return _mm512_ternarylogic_epi32(t, b, m, XOR3);
}

// B[i] = ~(rotl(B[i], 1) ^ A[a0]).
inline V perm_b(V b0, V a0) { return _mm512_ternarylogic_epi32(_mm512_rol_epi32(b0, 1), a0, a0, XNOR); }

// One 64-byte load per lane. A 4x4 transpose of 128-bit blocks across lanes k, k+4,
// k+8, k+12 gives X[g][k] = quarter g of those four lanes; a 4x4 word transpose inside
// each 128-bit block then gives M[4g + w] in lane order 0..15.
inline void gather(const uint8_t* const* p, uint64_t off, V* M) {
    V X[4][4];
    for (int k = 0; k < 4; ++k) {
        const V r0 = v_loadu(p[k] + off), r1 = v_loadu(p[k + 4] + off);
        const V r2 = v_loadu(p[k + 8] + off), r3 = v_loadu(p[k + 12] + off);
        const V t0 = _mm512_shuffle_i32x4(r0, r1, 0x44), t1 = _mm512_shuffle_i32x4(r0, r1, 0xEE);
        const V t2 = _mm512_shuffle_i32x4(r2, r3, 0x44), t3 = _mm512_shuffle_i32x4(r2, r3, 0xEE);
        X[0][k] = _mm512_shuffle_i32x4(t0, t2, 0x88);
        X[1][k] = _mm512_shuffle_i32x4(t0, t2, 0xDD);
        X[2][k] = _mm512_shuffle_i32x4(t1, t3, 0x88);
        X[3][k] = _mm512_shuffle_i32x4(t1, t3, 0xDD);
    }
    for (int g = 0; g < 4; ++g) {
        const V t0 = _mm512_unpacklo_epi32(X[g][0], X[g][1]), t1 = _mm512_unpacklo_epi32(X[g][2], X[g][3]);
        const V t2 = _mm512_unpackhi_epi32(X[g][0], X[g][1]), t3 = _mm512_unpackhi_epi32(X[g][2], X[g][3]);
        M[4 * g + 0] = _mm512_unpacklo_epi64(t0, t1);
        M[4 * g + 1] = _mm512_unpackhi_epi64(t0, t1);
        M[4 * g + 2] = _mm512_unpacklo_epi64(t2, t3);
        M[4 * g + 3] = _mm512_unpackhi_epi64(t2, t3);
    }
}

}  // namespace

#include "nonce/shabal_lanes_impl.inc"
