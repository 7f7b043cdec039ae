// Kestrune's OpenCL nonce kernels: one work item computes one nonce. nonce_step1 writes
// the seed, nonce_step2 runs a slice of the 8192-digest chain (many short dispatches keep
// every kernel run brief), and nonce_step3 hashes the whole area, XORs the result over it
// and stores the scoops scoop-major into the output buffer.
//
// Generation layout: a dispatch covers one generation buffer, whose work items are
// numbered from the dispatch's global offset. Word w of the area of work item i of the
// buffer lies at w * (work items of the buffer) + i, so neighbouring work items read and
// write neighbouring words. Every offset is 64-bit.

#define HASH_SIZE 32
#define HASHES_PER_SCOOP 2
#define SCOOP_SIZE 64
#define SCOOPS_PER_PLOT 4096
#define PLOT_SIZE 262144
#define HASH_CAP 4096
#define GEN_SIZE 262160

// ---------------------------------------------------------------------------
// Shabal-256
// ---------------------------------------------------------------------------

__constant uint A_init_256[12] = {
    0x52F84552, 0xE54B7999, 0x2D8EE3EC, 0xB9645191, 0xE0078B86, 0xBB7C44C9,
    0xD2B5C1CA, 0xB0D2EB8C, 0x14CE5A45, 0x22AF50DC, 0xEFFDBC6B, 0xEB21B74A};

__constant uint B_init_256[16] = {
    0xB555C6EE, 0x3E710596, 0xA72A652F, 0x9301515F, 0xDA28C1FA, 0x696FD868,
    0x9CB6BF72, 0x0AFE4002, 0xA6E03615, 0x5138C1D4, 0xBE216306, 0xB38B8890,
    0x3EA8B96B, 0x3299ACE4, 0x30924DD4, 0x55CB34A5};

__constant uint C_init_256[16] = {
    0xB405F031, 0xC4233EBA, 0xB3733979, 0xC0DD9D55, 0xC51C28AE, 0xA327B8E1,
    0x56C56167, 0xED614433, 0x88B59D60, 0x60E2CEBA, 0x758B4B8B, 0x83E82A7F,
    0xBC968828, 0xE6E00BF7, 0xBA839E55, 0x9B491C60};

#define GEN_WORDS (GEN_SIZE / 4)

// Index of word w of this work item's area in its generation buffer.
#define AREA_INDEX(w) ((ulong)(w) * stride + item)

// One step of the permutation; every index is a literal so the state stays in registers.
#define PERM_ELT(a0, a1, b0, b1, b2, b3, c, m)                                          \
    A[a0] = ((A[a0] ^ (rotate(A[a1], 15U) * 5U) ^ C[c]) * 3U) ^ B[b1] ^ (B[b2] & ~B[b3]) \
            ^ M[m];                                                                     \
    B[b0] = ~(rotate(B[b0], 1U) ^ A[a0]);
// The 48 steps: three passes over the 16 message words.
#define APPLY_P_STEPS                          \
    PERM_ELT(0, 11, 0, 13, 9, 6, 8, 0)         \
    PERM_ELT(1, 0, 1, 14, 10, 7, 7, 1)         \
    PERM_ELT(2, 1, 2, 15, 11, 8, 6, 2)         \
    PERM_ELT(3, 2, 3, 0, 12, 9, 5, 3)          \
    PERM_ELT(4, 3, 4, 1, 13, 10, 4, 4)         \
    PERM_ELT(5, 4, 5, 2, 14, 11, 3, 5)         \
    PERM_ELT(6, 5, 6, 3, 15, 12, 2, 6)         \
    PERM_ELT(7, 6, 7, 4, 0, 13, 1, 7)          \
    PERM_ELT(8, 7, 8, 5, 1, 14, 0, 8)          \
    PERM_ELT(9, 8, 9, 6, 2, 15, 15, 9)         \
    PERM_ELT(10, 9, 10, 7, 3, 0, 14, 10)       \
    PERM_ELT(11, 10, 11, 8, 4, 1, 13, 11)      \
    PERM_ELT(0, 11, 12, 9, 5, 2, 12, 12)       \
    PERM_ELT(1, 0, 13, 10, 6, 3, 11, 13)       \
    PERM_ELT(2, 1, 14, 11, 7, 4, 10, 14)       \
    PERM_ELT(3, 2, 15, 12, 8, 5, 9, 15)        \
    PERM_ELT(4, 3, 0, 13, 9, 6, 8, 0)          \
    PERM_ELT(5, 4, 1, 14, 10, 7, 7, 1)         \
    PERM_ELT(6, 5, 2, 15, 11, 8, 6, 2)         \
    PERM_ELT(7, 6, 3, 0, 12, 9, 5, 3)          \
    PERM_ELT(8, 7, 4, 1, 13, 10, 4, 4)         \
    PERM_ELT(9, 8, 5, 2, 14, 11, 3, 5)         \
    PERM_ELT(10, 9, 6, 3, 15, 12, 2, 6)        \
    PERM_ELT(11, 10, 7, 4, 0, 13, 1, 7)        \
    PERM_ELT(0, 11, 8, 5, 1, 14, 0, 8)         \
    PERM_ELT(1, 0, 9, 6, 2, 15, 15, 9)         \
    PERM_ELT(2, 1, 10, 7, 3, 0, 14, 10)        \
    PERM_ELT(3, 2, 11, 8, 4, 1, 13, 11)        \
    PERM_ELT(4, 3, 12, 9, 5, 2, 12, 12)        \
    PERM_ELT(5, 4, 13, 10, 6, 3, 11, 13)       \
    PERM_ELT(6, 5, 14, 11, 7, 4, 10, 14)       \
    PERM_ELT(7, 6, 15, 12, 8, 5, 9, 15)        \
    PERM_ELT(8, 7, 0, 13, 9, 6, 8, 0)          \
    PERM_ELT(9, 8, 1, 14, 10, 7, 7, 1)         \
    PERM_ELT(10, 9, 2, 15, 11, 8, 6, 2)        \
    PERM_ELT(11, 10, 3, 0, 12, 9, 5, 3)        \
    PERM_ELT(0, 11, 4, 1, 13, 10, 4, 4)        \
    PERM_ELT(1, 0, 5, 2, 14, 11, 3, 5)         \
    PERM_ELT(2, 1, 6, 3, 15, 12, 2, 6)         \
    PERM_ELT(3, 2, 7, 4, 0, 13, 1, 7)          \
    PERM_ELT(4, 3, 8, 5, 1, 14, 0, 8)          \
    PERM_ELT(5, 4, 9, 6, 2, 15, 15, 9)         \
    PERM_ELT(6, 5, 10, 7, 3, 0, 14, 10)        \
    PERM_ELT(7, 6, 11, 8, 4, 1, 13, 11)        \
    PERM_ELT(8, 7, 12, 9, 5, 2, 12, 12)        \
    PERM_ELT(9, 8, 13, 10, 6, 3, 11, 13)       \
    PERM_ELT(10, 9, 14, 11, 7, 4, 10, 14)      \
    PERM_ELT(11, 10, 15, 12, 8, 5, 9, 15)

// Compression of one block with counter (wlo, whi), state in A, B, C (private arrays that
// the unrolled loops keep in registers). INPUT_BLOCK_SUB and SWAP_BC end it in one go.
#define SHABAL_BLOCK(wlo, whi)                                          \
    {                                                                   \
        _Pragma("unroll") for (int i = 0; i < 16; ++i) B[i] = rotate(B[i] + M[i], 17U); \
        A[0] ^= (wlo);                                                  \
        A[1] ^= (whi);                                                  \
        APPLY_P_STEPS                                                   \
        _Pragma("unroll") for (int k = 0; k < 36; ++k) A[k % 12] += C[(k + 3) % 16]; \
        _Pragma("unroll") for (int i = 0; i < 16; ++i) {                \
            const uint t = C[i] - M[i];                                 \
            C[i] = B[i];                                                \
            B[i] = t;                                                   \
        }                                                               \
    }

// Digest of `words` words of this work item's area from word `first` on (words a
// multiple of 4); the eight digest words are C[8..15].
void area_digest(__global const uint* gen, ulong stride, ulong item, uint first, uint words, uint out[8]) {
    uint A[12], B[16], C[16], M[16];
#pragma unroll
    for (int i = 0; i < 12; ++i) A[i] = A_init_256[i];
#pragma unroll
    for (int i = 0; i < 16; ++i) {
        B[i] = B_init_256[i];
        C[i] = C_init_256[i];
    }
    const uint blocks = words / 16;
    uint w = 1;
    for (uint b = 0; b < blocks; ++b, ++w) {
#pragma unroll
        for (int i = 0; i < 16; ++i) M[i] = gen[AREA_INDEX(first + 16 * b + i)];
        SHABAL_BLOCK(w, 0U)
    }
    // Final block: the remaining words, then 0x80 and zeros, processed four times.
    const uint tail = first + 16 * blocks, left = words % 16;
#pragma unroll
    for (uint i = 0; i < 16; ++i) M[i] = i < left ? gen[AREA_INDEX(tail + i)] : (i == left ? 0x80U : 0U);
    for (int r = 0; r < 4; ++r) SHABAL_BLOCK(w, 0U)
#pragma unroll
    for (int i = 0; i < 8; ++i) out[i] = C[8 + i];
}

// ---------------------------------------------------------------------------
// Kernels
// ---------------------------------------------------------------------------

// This work item's place in its generation buffer and the buffer's width.
#define AREA_SETUP                                                   \
    const ulong item = get_global_id(0) - get_global_offset(0);      \
    const ulong stride = get_global_size(0);

// Seed of the nonce: account id and nonce number, big-endian, after the nonce data. The
// global id counts from the start of the device's share of the pass.
__kernel void nonce_step1(ulong p_address, ulong p_startNonce, __global uint* p_gen) {
    AREA_SETUP
    const ulong nonce = p_startNonce + get_global_id(0);
    const uint seed = PLOT_SIZE / 4;
    p_gen[AREA_INDEX(seed)] = as_uint(as_uchar4((uint)(p_address >> 32)).wzyx);
    p_gen[AREA_INDEX(seed + 1)] = as_uint(as_uchar4((uint)p_address).wzyx);
    p_gen[AREA_INDEX(seed + 2)] = as_uint(as_uchar4((uint)(nonce >> 32)).wzyx);
    p_gen[AREA_INDEX(seed + 3)] = as_uint(as_uchar4((uint)nonce).wzyx);
}

// Up to p_hashesNumber chain digests going down from byte p_hashesOffset: each covers
// what lies after its own place, at most HASH_CAP bytes.
__kernel void nonce_step2(__global uint* p_gen, uint p_hashesOffset, uint p_hashesNumber) {
    AREA_SETUP
    uint count = p_hashesNumber;
    if (count * HASH_SIZE > p_hashesOffset) count = p_hashesOffset / HASH_SIZE;
    uint word = p_hashesOffset / 4;
    uint words = min((uint)GEN_WORDS - word, (uint)HASH_CAP / 4);
    for (uint h = 0; h < count; ++h) {
        uint digest[8];
        area_digest(p_gen, stride, item, word, words, digest);
        word -= HASH_SIZE / 4;
#pragma unroll
        for (int i = 0; i < 8; ++i) p_gen[AREA_INDEX(word + i)] = digest[i];
        words = min(words + HASH_SIZE / 4, (uint)HASH_CAP / 4);
    }
}

// Final digest over the whole area, XORed over the nonce data on its way to the output
// buffer, where scoop s of the device's nonce id lands at (s * p_staggerSize + id) * 64.
__kernel void nonce_step3(uint p_staggerSize, __global uint* p_gen, __global uint* p_scoops) {
    AREA_SETUP
    uint digest[8];
    area_digest(p_gen, stride, item, 0, GEN_WORDS, digest);
    const ulong id = get_global_id(0);
    for (uint s = 0; s < SCOOPS_PER_PLOT; ++s) {
        __global uint* dst = p_scoops + ((ulong)s * p_staggerSize + id) * (SCOOP_SIZE / 4);
#pragma unroll
        for (uint i = 0; i < 16; ++i) dst[i] = p_gen[AREA_INDEX(s * 16 + i)] ^ digest[i % 8];
    }
}
