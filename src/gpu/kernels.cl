// Kestrune's OpenCL nonce kernels: one work item computes one nonce in its own
// generation area. nonce_step1 writes the seed, nonce_step2 runs a slice of the
// 8192-digest chain (many short dispatches keep every kernel run brief), and
// nonce_step3 hashes the whole area, XORs the result over it and stores the
// scoops scoop-major into the output buffer.
//
// Byte offsets are 32-bit: a device buffer holds at most 16383 generation areas.

#define HASH_SIZE 32
#define HASHES_PER_SCOOP 2
#define SCOOP_SIZE 64
#define SCOOPS_PER_PLOT 4096
#define PLOT_SIZE 262144
#define HASH_CAP 4096
#define GEN_SIZE 262160

// ---------------------------------------------------------------------------
// Byte order. Shabal words are little-endian; the seed numbers are big-endian.
// ---------------------------------------------------------------------------

uint load_le32(__global const uchar* p) {
#ifdef __ENDIAN_LITTLE__
    return *(__global const uint*)p;
#else
    return (uint)p[0] | ((uint)p[1] << 8) | ((uint)p[2] << 16) | ((uint)p[3] << 24);
#endif
}

void store_le32(__global uchar* p, uint v) {
#ifdef __ENDIAN_LITTLE__
    *(__global uint*)p = v;
#else
    p[0] = (uchar)v;
    p[1] = (uchar)(v >> 8);
    p[2] = (uchar)(v >> 16);
    p[3] = (uchar)(v >> 24);
#endif
}

void store_be64(__global uchar* p, ulong v) {
    for (int i = 0; i < 8; ++i) p[i] = (uchar)(v >> (56 - 8 * i));
}

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

typedef struct {
    uint A[12];
    uint B[16];
    uint C[16];
    ulong W;  // block counter
} shabal_context_t;

void shabal_init(shabal_context_t* s) {
    for (int i = 0; i < 12; ++i) s->A[i] = A_init_256[i];
    for (int i = 0; i < 16; ++i) s->B[i] = B_init_256[i];
    for (int i = 0; i < 16; ++i) s->C[i] = C_init_256[i];
    s->W = 1;
}

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

// Compression of one block without the counter increment (the final block runs
// four times with the same counter).
void shabal_block(shabal_context_t* s, const uint M[16]) {
    uint A[12], B[16], C[16];
    for (int i = 0; i < 12; ++i) A[i] = s->A[i];
    for (int i = 0; i < 16; ++i) B[i] = s->B[i] + M[i];   // INPUT_BLOCK_ADD
    for (int i = 0; i < 16; ++i) C[i] = s->C[i];
    A[0] ^= (uint)s->W;                                    // XOR_W
    A[1] ^= (uint)(s->W >> 32);
    for (int i = 0; i < 16; ++i) B[i] = rotate(B[i], 17U);
    APPLY_P_STEPS
#pragma unroll
    for (int k = 0; k < 36; ++k) A[k % 12] += C[(k + 3) % 16];
    for (int i = 0; i < 12; ++i) s->A[i] = A[i];
    // INPUT_BLOCK_SUB and SWAP_BC in one go: B takes the reduced C, C takes B.
    for (int i = 0; i < 16; ++i) {
        s->B[i] = C[i] - M[i];
        s->C[i] = B[i];
    }
}

void shabal_data_block(shabal_context_t* s, __global const uchar* p) {
    uint M[16];
    for (int i = 0; i < 16; ++i) M[i] = load_le32(p + 4 * i);
    shabal_block(s, M);
    s->W += 1;  // INCR_W
}

// Digest of len bytes of global memory (len a multiple of 4); the eight digest
// words are C[8..15].
void shabal_digest_global(__global const uchar* p, uint len, uint out[8]) {
    shabal_context_t s;
    shabal_init(&s);
    const uint blocks = len / 64;
    for (uint b = 0; b < blocks; ++b) shabal_data_block(&s, p + 64 * b);
    // Final block: the remaining words, then 0x80 and zeros, processed four times.
    __global const uchar* tail = p + 64 * blocks;
    const uint words = (len % 64) / 4;
    uint M[16];
    for (uint i = 0; i < 16; ++i) M[i] = i < words ? load_le32(tail + 4 * i) : (i == words ? 0x80U : 0U);
    for (int r = 0; r < 4; ++r) shabal_block(&s, M);
    for (int i = 0; i < 8; ++i) out[i] = s.C[8 + i];
}

// ---------------------------------------------------------------------------
// Kernels
// ---------------------------------------------------------------------------

// Seed of the nonce: account id and nonce number, big-endian, after the nonce data.
__kernel void nonce_step1(ulong p_address, ulong p_startNonce, __global uchar* p_gen) {
    const uint id = (uint)get_global_id(0);
    __global uchar* area = p_gen + id * (uint)GEN_SIZE;
    store_be64(area + PLOT_SIZE, p_address);
    store_be64(area + PLOT_SIZE + 8, p_startNonce + id);
}

// Up to p_hashesNumber chain digests going down from p_hashesOffset: each covers
// what lies after its own place, at most HASH_CAP bytes.
__kernel void nonce_step2(__global uchar* p_gen, uint p_hashesOffset, uint p_hashesNumber) {
    const uint id = (uint)get_global_id(0);
    __global uchar* area = p_gen + id * (uint)GEN_SIZE;
    uint count = p_hashesNumber;
    if (count * HASH_SIZE > p_hashesOffset) count = p_hashesOffset / HASH_SIZE;
    uint offset = p_hashesOffset;
    uint length = min((uint)GEN_SIZE - offset, (uint)HASH_CAP);
    for (uint h = 0; h < count; ++h) {
        uint digest[8];
        shabal_digest_global(area + offset, length, digest);
        for (int i = 0; i < 8; ++i) store_le32(area + offset - HASH_SIZE + 4 * i, digest[i]);
        offset -= HASH_SIZE;
        length = min(length + HASH_SIZE, (uint)HASH_CAP);
    }
}

// Final digest over the whole area, XORed over the nonce data on its way to the
// output buffer, where scoop s of nonce id lands at (s * p_staggerSize + id) * 64.
__kernel void nonce_step3(uint p_staggerSize, __global uchar* p_gen, __global uchar* p_scoops) {
    const uint id = (uint)get_global_id(0);
    __global const uchar* area = p_gen + id * (uint)GEN_SIZE;
    uint final_digest[8];
    shabal_digest_global(area, GEN_SIZE, final_digest);
    for (uint s = 0; s < SCOOPS_PER_PLOT; ++s) {
        __global const uchar* src = area + s * SCOOP_SIZE;
        __global uchar* dst = p_scoops + s * SCOOP_SIZE * p_staggerSize + id * SCOOP_SIZE;
        for (int i = 0; i < 16; ++i) store_le32(dst + 4 * i, load_le32(src + 4 * i) ^ final_digest[i % 8]);
    }
}
