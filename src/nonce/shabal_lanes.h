// Multi-lane Shabal-256 (4, 8, 16 or 32 hashes in lockstep, one per vector lane) and the
// lane-parallel nonce group built on it. Each family lives in its own source file
// compiled for its instruction set; call a family only after cpu_family_available()
// said yes.
#pragma once
#include <cstdint>

#include "nonce/nonce.h"

// Four hashes at once. Word w of lane k is state[4 w + k]: A = words 0..11,
// B = 12..27, C = 28..43, so one vector load yields one word for every lane.
struct alignas(64) shabal_x4_s {
    uint8_t buf[4][64];                // pending partial block of each lane
    uint64_t ptr;                      // bytes pending in every lane's buffer, 0..63
    alignas(64) uint32_t state[176];   // interleaved chaining state of all lanes
    uint32_t Whigh;                    // high half of the block counter, shared by all lanes
    uint32_t Wlow;                     // low half of the block counter
    uint32_t out_size;                 // digest size in bits; always 256
};

// Eight hashes at once; word w of lane k is state[8 w + k].
struct alignas(64) shabal_x8_s {
    uint8_t buf[8][64];                // pending partial block of each lane
    uint64_t ptr;                      // bytes pending in every lane's buffer, 0..63
    alignas(64) uint32_t state[352];   // interleaved chaining state of all lanes
    uint32_t Whigh;                    // high half of the block counter
    uint32_t Wlow;                     // low half of the block counter
    uint32_t out_size;                 // digest size in bits; always 256
};

// Sixteen hashes at once; word w of lane k is state[16 w + k].
struct alignas(64) shabal_x16_s {
    uint8_t buf[16][64];               // pending partial block of each lane
    uint64_t ptr;                      // bytes pending in every lane's buffer, 0..63
    alignas(64) uint32_t state[704];   // interleaved chaining state of all lanes
    uint32_t Whigh;                    // high half of the block counter
    uint32_t Wlow;                     // low half of the block counter
    uint32_t out_size;                 // digest size in bits; always 256
};

// Thirty-two hashes at once; word w of lane k is state[32 w + k].
struct alignas(64) shabal_x32_s {
    uint8_t buf[32][64];               // pending partial block of each lane
    uint64_t ptr;                      // bytes pending in every lane's buffer, 0..63
    alignas(64) uint32_t state[1408];  // interleaved chaining state of all lanes
    uint32_t Whigh;                    // high half of the block counter
    uint32_t Wlow;                     // low half of the block counter
    uint32_t out_size;                 // digest size in bits; always 256
};

// Sixty-four hashes at once; word w of lane k is state[64 w + k].
struct alignas(64) shabal_x64_s {
    uint8_t buf[64][64];               // pending partial block of each lane
    uint64_t ptr;                      // bytes pending in every lane's buffer, 0..63
    alignas(64) uint32_t state[2816];  // interleaved chaining state of all lanes
    uint32_t Whigh;                    // high half of the block counter
    uint32_t Wlow;                     // low half of the block counter
    uint32_t out_size;                 // digest size in bits; always 256
};

// Every family has the same six entry points. Lane arrays hold one pointer per
// lane: a null input is replaced by the first non-null one (all null: nothing
// happens), a null output skips that lane. `ub` holds each lane's extra trailing
// bits (null = none) and `n` their count; the program always passes null and 0.
#define SHABAL_LANES_DECLARE(CTX, LANES, SUFFIX)                                              \
    void shabal_##SUFFIX##_init(CTX* ctx, uint32_t bits);                                    \
    void shabal_##SUFFIX##_update(CTX* ctx, const void* const in[LANES], uint64_t len);      \
    void shabal_##SUFFIX##_close(CTX* ctx, const uint32_t* ub, uint32_t n, void* const out[LANES]); \
    void shabal_##SUFFIX##_compress(CTX* ctx, const uint8_t* const blocks[LANES], uint64_t count); \
    void nonce_group_##SUFFIX(uint8_t* const gen[LANES], uint64_t account_id, uint64_t first_nonce, \
                              batch_buffer_s* batch, uint64_t first_index);                   \
    uint32_t shabal_##SUFFIX##_probe(uint64_t blocks);

// The documented widths, and for SSE4.1, AVX and AVX2 also twice each as two
// interleaved vectors: one hash's permutation is a serial chain through A, so a second
// set of lanes in flight gets more work done per cycle. AVX-512 has both a one-state
// form with A and B in registers and a two-state form with every word but the chains'
// in L1: which is faster depends on the processor (on one AVX-512 Xeon the one-state
// form wins; on a processor whose dependent vector operations take two cycles the
// two-state form does), so cpu.cpp times them on first use. Workers use the double
// width first and finish with the single one.
// shabal_*_probe compresses one block `blocks` times in every lane the way a nonce
// group does, for timing the form; it returns a state word so the work is kept.
SHABAL_LANES_DECLARE(shabal_x4_s, 4, x4_sse41)        // SSE4.1
SHABAL_LANES_DECLARE(shabal_x8_s, 8, x8_sse41)        // SSE4.1, two vectors
SHABAL_LANES_DECLARE(shabal_x4_s, 4, x4_avx)          // AVX (VEX encoding of the same code)
SHABAL_LANES_DECLARE(shabal_x8_s, 8, x8_avx)          // AVX, two vectors
SHABAL_LANES_DECLARE(shabal_x8_s, 8, x8)              // AVX2
SHABAL_LANES_DECLARE(shabal_x16_s, 16, x16_avx2)      // AVX2, two vectors
SHABAL_LANES_DECLARE(shabal_x16_s, 16, x16)           // AVX-512F
SHABAL_LANES_DECLARE(shabal_x32_s, 32, x32)           // AVX-512F, two states
SHABAL_LANES_DECLARE(shabal_x64_s, 64, x64)           // AVX-512F, four states

#undef SHABAL_LANES_DECLARE

// nonce_group_*: computes the nonces first_nonce .. first_nonce + LANES - 1 of an
// account in the generation areas gen[0 .. LANES - 1] (GEN_SIZE bytes each, 64-byte
// aligned; together they hold every lane's data interleaved word by word) and copies
// nonce m in PoC1 order to batch index first_index + m of the batch.
using nonce_group_fn = void (*)(uint8_t* const* gen, uint64_t account_id, uint64_t first_nonce,
                                batch_buffer_s* batch, uint64_t first_index);
