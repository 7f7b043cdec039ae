// Scalar Shabal-256: whole blocks straight from the input, the state held in locals.
#include "nonce/shabal.h"

#include <cstring>

namespace {

inline uint32_t rotl32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t load_le32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);  // x86-64 is little-endian, as the message words are
    return v;
}

// One step of the permutation: A[a0] absorbs its neighbour, C, three B words and a
// message word; then B[i] takes the new A[a0].
#define PERM_ELT(a0, a1, b0, b1, b2, b3, c, m)                                   \
    a0 = ((a0 ^ (rotl32(a1, 15) * 5u) ^ c) * 3u) ^ b1 ^ (b2 & ~b3) ^ m;         \
    b0 = ~(rotl32(b0, 1) ^ a0);

}  // namespace

// The hot loop: 44 state words in named locals so the compiler can keep as many as
// possible in registers, and every index of the permutation is a constant.
void shabal256_compress(shabal_state_s* s, const uint8_t* blocks, uint64_t count) {
    uint32_t A0 = s->A[0], A1 = s->A[1], A2 = s->A[2], A3 = s->A[3], A4 = s->A[4], A5 = s->A[5];
    uint32_t A6 = s->A[6], A7 = s->A[7], A8 = s->A[8], A9 = s->A[9], AA = s->A[10], AB = s->A[11];
    uint32_t B0 = s->B[0], B1 = s->B[1], B2 = s->B[2], B3 = s->B[3], B4 = s->B[4], B5 = s->B[5];
    uint32_t B6 = s->B[6], B7 = s->B[7], B8 = s->B[8], B9 = s->B[9], BA = s->B[10], BB = s->B[11];
    uint32_t BC = s->B[12], BD = s->B[13], BE = s->B[14], BF = s->B[15];
    uint32_t C0 = s->C[0], C1 = s->C[1], C2 = s->C[2], C3 = s->C[3], C4 = s->C[4], C5 = s->C[5];
    uint32_t C6 = s->C[6], C7 = s->C[7], C8 = s->C[8], C9 = s->C[9], CA = s->C[10], CB = s->C[11];
    uint32_t CC = s->C[12], CD = s->C[13], CE = s->C[14], CF = s->C[15];
    uint64_t W = s->W;

    for (; count > 0; --count, blocks += 64) {
        const uint32_t M0 = load_le32(blocks + 0), M1 = load_le32(blocks + 4);
        const uint32_t M2 = load_le32(blocks + 8), M3 = load_le32(blocks + 12);
        const uint32_t M4 = load_le32(blocks + 16), M5 = load_le32(blocks + 20);
        const uint32_t M6 = load_le32(blocks + 24), M7 = load_le32(blocks + 28);
        const uint32_t M8 = load_le32(blocks + 32), M9 = load_le32(blocks + 36);
        const uint32_t MA = load_le32(blocks + 40), MB = load_le32(blocks + 44);
        const uint32_t MC = load_le32(blocks + 48), MD = load_le32(blocks + 52);
        const uint32_t ME = load_le32(blocks + 56), MF = load_le32(blocks + 60);

        B0 += M0; B1 += M1; B2 += M2; B3 += M3; B4 += M4; B5 += M5; B6 += M6; B7 += M7;
        B8 += M8; B9 += M9; BA += MA; BB += MB; BC += MC; BD += MD; BE += ME; BF += MF;

        A0 ^= (uint32_t)W;
        A1 ^= (uint32_t)(W >> 32);

        B0 = rotl32(B0, 17); B1 = rotl32(B1, 17); B2 = rotl32(B2, 17); B3 = rotl32(B3, 17);
        B4 = rotl32(B4, 17); B5 = rotl32(B5, 17); B6 = rotl32(B6, 17); B7 = rotl32(B7, 17);
        B8 = rotl32(B8, 17); B9 = rotl32(B9, 17); BA = rotl32(BA, 17); BB = rotl32(BB, 17);
        BC = rotl32(BC, 17); BD = rotl32(BD, 17); BE = rotl32(BE, 17); BF = rotl32(BF, 17);

        PERM_ELT(A0, AB, B0, BD, B9, B6, C8, M0);
        PERM_ELT(A1, A0, B1, BE, BA, B7, C7, M1);
        PERM_ELT(A2, A1, B2, BF, BB, B8, C6, M2);
        PERM_ELT(A3, A2, B3, B0, BC, B9, C5, M3);
        PERM_ELT(A4, A3, B4, B1, BD, BA, C4, M4);
        PERM_ELT(A5, A4, B5, B2, BE, BB, C3, M5);
        PERM_ELT(A6, A5, B6, B3, BF, BC, C2, M6);
        PERM_ELT(A7, A6, B7, B4, B0, BD, C1, M7);
        PERM_ELT(A8, A7, B8, B5, B1, BE, C0, M8);
        PERM_ELT(A9, A8, B9, B6, B2, BF, CF, M9);
        PERM_ELT(AA, A9, BA, B7, B3, B0, CE, MA);
        PERM_ELT(AB, AA, BB, B8, B4, B1, CD, MB);
        PERM_ELT(A0, AB, BC, B9, B5, B2, CC, MC);
        PERM_ELT(A1, A0, BD, BA, B6, B3, CB, MD);
        PERM_ELT(A2, A1, BE, BB, B7, B4, CA, ME);
        PERM_ELT(A3, A2, BF, BC, B8, B5, C9, MF);

        PERM_ELT(A4, A3, B0, BD, B9, B6, C8, M0);
        PERM_ELT(A5, A4, B1, BE, BA, B7, C7, M1);
        PERM_ELT(A6, A5, B2, BF, BB, B8, C6, M2);
        PERM_ELT(A7, A6, B3, B0, BC, B9, C5, M3);
        PERM_ELT(A8, A7, B4, B1, BD, BA, C4, M4);
        PERM_ELT(A9, A8, B5, B2, BE, BB, C3, M5);
        PERM_ELT(AA, A9, B6, B3, BF, BC, C2, M6);
        PERM_ELT(AB, AA, B7, B4, B0, BD, C1, M7);
        PERM_ELT(A0, AB, B8, B5, B1, BE, C0, M8);
        PERM_ELT(A1, A0, B9, B6, B2, BF, CF, M9);
        PERM_ELT(A2, A1, BA, B7, B3, B0, CE, MA);
        PERM_ELT(A3, A2, BB, B8, B4, B1, CD, MB);
        PERM_ELT(A4, A3, BC, B9, B5, B2, CC, MC);
        PERM_ELT(A5, A4, BD, BA, B6, B3, CB, MD);
        PERM_ELT(A6, A5, BE, BB, B7, B4, CA, ME);
        PERM_ELT(A7, A6, BF, BC, B8, B5, C9, MF);

        PERM_ELT(A8, A7, B0, BD, B9, B6, C8, M0);
        PERM_ELT(A9, A8, B1, BE, BA, B7, C7, M1);
        PERM_ELT(AA, A9, B2, BF, BB, B8, C6, M2);
        PERM_ELT(AB, AA, B3, B0, BC, B9, C5, M3);
        PERM_ELT(A0, AB, B4, B1, BD, BA, C4, M4);
        PERM_ELT(A1, A0, B5, B2, BE, BB, C3, M5);
        PERM_ELT(A2, A1, B6, B3, BF, BC, C2, M6);
        PERM_ELT(A3, A2, B7, B4, B0, BD, C1, M7);
        PERM_ELT(A4, A3, B8, B5, B1, BE, C0, M8);
        PERM_ELT(A5, A4, B9, B6, B2, BF, CF, M9);
        PERM_ELT(A6, A5, BA, B7, B3, B0, CE, MA);
        PERM_ELT(A7, A6, BB, B8, B4, B1, CD, MB);
        PERM_ELT(A8, A7, BC, B9, B5, B2, CC, MC);
        PERM_ELT(A9, A8, BD, BA, B6, B3, CB, MD);
        PERM_ELT(AA, A9, BE, BB, B7, B4, CA, ME);
        PERM_ELT(AB, AA, BF, BC, B8, B5, C9, MF);

        A0 += C3; A1 += C4; A2 += C5; A3 += C6; A4 += C7; A5 += C8;
        A6 += C9; A7 += CA; A8 += CB; A9 += CC; AA += CD; AB += CE;
        A0 += CF; A1 += C0; A2 += C1; A3 += C2; A4 += C3; A5 += C4;
        A6 += C5; A7 += C6; A8 += C7; A9 += C8; AA += C9; AB += CA;
        A0 += CB; A1 += CC; A2 += CD; A3 += CE; A4 += CF; A5 += C0;
        A6 += C1; A7 += C2; A8 += C3; A9 += C4; AA += C5; AB += C6;

        C0 -= M0; C1 -= M1; C2 -= M2; C3 -= M3; C4 -= M4; C5 -= M5; C6 -= M6; C7 -= M7;
        C8 -= M8; C9 -= M9; CA -= MA; CB -= MB; CC -= MC; CD -= MD; CE -= ME; CF -= MF;

        // Exchange B and C by swapping names.
        uint32_t t;
#define SWAP_BC(x) t = B##x; B##x = C##x; C##x = t;
        SWAP_BC(0) SWAP_BC(1) SWAP_BC(2) SWAP_BC(3) SWAP_BC(4) SWAP_BC(5) SWAP_BC(6) SWAP_BC(7)
        SWAP_BC(8) SWAP_BC(9) SWAP_BC(A) SWAP_BC(B) SWAP_BC(C) SWAP_BC(D) SWAP_BC(E) SWAP_BC(F)
#undef SWAP_BC
        W += 1;
    }

    s->A[0] = A0; s->A[1] = A1; s->A[2] = A2; s->A[3] = A3; s->A[4] = A4; s->A[5] = A5;
    s->A[6] = A6; s->A[7] = A7; s->A[8] = A8; s->A[9] = A9; s->A[10] = AA; s->A[11] = AB;
    s->B[0] = B0; s->B[1] = B1; s->B[2] = B2; s->B[3] = B3; s->B[4] = B4; s->B[5] = B5;
    s->B[6] = B6; s->B[7] = B7; s->B[8] = B8; s->B[9] = B9; s->B[10] = BA; s->B[11] = BB;
    s->B[12] = BC; s->B[13] = BD; s->B[14] = BE; s->B[15] = BF;
    s->C[0] = C0; s->C[1] = C1; s->C[2] = C2; s->C[3] = C3; s->C[4] = C4; s->C[5] = C5;
    s->C[6] = C6; s->C[7] = C7; s->C[8] = C8; s->C[9] = C9; s->C[10] = CA; s->C[11] = CB;
    s->C[12] = CC; s->C[13] = CD; s->C[14] = CE; s->C[15] = CF;
    s->W = W;
}

#undef PERM_ELT

namespace {

// The standard defines the initial value as the state after two prefix blocks, words
// bits + 0..31, processed from an all-zero state with the counter at -1.
shabal_state_s derive_initial_state(uint32_t bits) {
    shabal_state_s s{};
    s.W = ~uint64_t(0);
    uint8_t block[64];
    for (uint32_t half = 0; half < 2; ++half) {
        for (uint32_t u = 0; u < 16; ++u) {
            uint32_t word = bits + 16 * half + u;
            std::memcpy(block + 4 * u, &word, 4);
        }
        shabal256_compress(&s, block, 1);
    }
    return s;
}

}  // namespace

const shabal_state_s& shabal256_initial_state() {
    static const shabal_state_s iv = derive_initial_state(256);
    return iv;
}

void shabal256_init(shabal256_s* ctx, uint32_t bits) {
    ctx->out_bits = bits;
    ctx->state = bits == 256 ? shabal256_initial_state() : derive_initial_state(bits);
    ctx->ptr = 0;
}

void shabal256_update(shabal256_s* ctx, const void* data, uint64_t len) {
    const uint8_t* in = static_cast<const uint8_t*>(data);
    const uint64_t room = 64 - ctx->ptr;
    if (len < room) {
        if (len > 0) std::memcpy(ctx->buf + ctx->ptr, in, len);
        ctx->ptr += len;
        return;
    }
    shabal_state_s s = ctx->state;
    if (ctx->ptr > 0) {
        std::memcpy(ctx->buf + ctx->ptr, in, room);
        shabal256_compress(&s, ctx->buf, 1);
        in += room;
        len -= room;
    }
    const uint64_t blocks = len / 64;
    if (blocks > 0) shabal256_compress(&s, in, blocks);
    in += blocks * 64;
    ctx->ptr = len % 64;
    if (ctx->ptr > 0) std::memcpy(ctx->buf, in, ctx->ptr);
    ctx->state = s;
}

void shabal256_close(shabal256_s* ctx, uint32_t ub, uint32_t n, void* dst) {
    const uint32_t z = 0x80u >> n;
    ctx->buf[ctx->ptr] = static_cast<uint8_t>((ub & ~(z - 1)) | z);
    std::memset(ctx->buf + ctx->ptr + 1, 0, 63 - ctx->ptr);
    shabal_state_s s = ctx->state;
    for (int round = 0; round < 4; ++round) {
        shabal256_compress(&s, ctx->buf, 1);
        s.W -= 1;
    }
    const uint32_t words = ctx->out_bits / 32;
    std::memcpy(dst, s.C + 16 - words, 4 * words);
}

void shabal256_digest(const void* data, uint64_t len, uint8_t out[32]) {
    shabal256_s ctx;
    shabal256_init(&ctx, 256);
    shabal256_update(&ctx, data, len);
    shabal256_close(&ctx, 0, 0, out);
}
