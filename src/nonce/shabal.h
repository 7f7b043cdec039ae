// Shabal-256 on one message at a time: the reference hash every faster path is checked against.
#pragma once
#include <cstdint>

// Chaining state; A, B, C and W lie together in this order.
struct shabal_state_s {
    uint32_t A[12];  // chaining state A
    uint32_t B[16];  // chaining state B
    uint32_t C[16];  // chaining state C
    uint64_t W;      // block counter; 1 for the first message block
};

struct alignas(64) shabal256_s {
    uint8_t buf[64];       // current, not yet complete 64-byte block
    uint64_t ptr;          // valid bytes in buf, 0..63
    shabal_state_s state;  // chaining state
    uint32_t out_bits;     // digest size in bits; always 256
};

void shabal256_init(shabal256_s* ctx, uint32_t bits);
void shabal256_update(shabal256_s* ctx, const void* data, uint64_t len);
void shabal256_close(shabal256_s* ctx, uint32_t ub, uint32_t n, void* dst);
void shabal256_compress(shabal_state_s* state, const uint8_t* blocks, uint64_t count);

// The standard's 256-bit initial value (counter 1), derived once from the prefix blocks.
const shabal_state_s& shabal256_initial_state();

// One-call digest of a whole message.
void shabal256_digest(const void* data, uint64_t len, uint8_t out[32]);
