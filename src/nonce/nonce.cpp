// The nonce algorithm on the scalar hash, the scoop orders and the batch layout.
#include "nonce/nonce.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "nonce/shabal.h"

namespace {

void store_be64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<uint8_t>(v);
        v >>= 8;
    }
}

struct aligned_free_s {
    void operator()(uint8_t* p) const { std::free(p); }
};

}  // namespace

void nonce_write_seed(uint8_t* gen, uint64_t account_id, uint64_t nonce) {
    store_be64(gen + PLOT_SIZE, account_id);
    store_be64(gen + PLOT_SIZE + 8, nonce);
}

void nonce_generate(uint8_t* gen, uint64_t account_id, uint64_t nonce) {
    nonce_write_seed(gen, account_id, nonce);
    shabal256_s ctx;
    shabal256_init(&ctx, 256);
    for (uint64_t i = 0; i < PLOT_SIZE / HASH_SIZE; ++i) {
        const uint64_t p = PLOT_SIZE - HASH_SIZE * i;
        const uint64_t len = 16 + HASH_SIZE * i < HASH_CAP ? 16 + HASH_SIZE * i : HASH_CAP;
        shabal256_update(&ctx, gen + p, len);
        shabal256_close(&ctx, 0, 0, gen + p - HASH_SIZE);
        shabal256_init(&ctx, 256);
    }
    uint8_t final_digest[32];
    shabal256_update(&ctx, gen, GEN_SIZE);
    shabal256_close(&ctx, 0, 0, final_digest);

    uint64_t f[4];
    std::memcpy(f, final_digest, 32);
    for (uint64_t j = 0; j < PLOT_SIZE; j += 32) {
        uint64_t w[4];
        std::memcpy(w, gen + j, 32);
        w[0] ^= f[0]; w[1] ^= f[1]; w[2] ^= f[2]; w[3] ^= f[3];
        std::memcpy(gen + j, w, 32);
    }
}

void nonce_compute(uint64_t account_id, uint64_t nonce, uint8_t* out, bool poc2) {
    std::unique_ptr<uint8_t, aligned_free_s> gen(
        static_cast<uint8_t*>(std::aligned_alloc(32, (GEN_SIZE + 31) / 32 * 32)));
    if (!gen) {
        std::memset(out, 0, PLOT_SIZE);  // never leave stale bytes that could pass as a nonce
        return;
    }
    nonce_generate(gen.get(), account_id, nonce);
    std::memcpy(out, gen.get(), PLOT_SIZE);
    if (poc2) poc2_convert_nonce(out);
}

void nonce_scatter(const uint8_t* nonce_data, batch_buffer_s* batch, uint64_t index) {
    const uint64_t row = batch->capacity * SCOOP_SIZE;
    uint8_t* dst = batch->data + index * SCOOP_SIZE;
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s, dst += row)
        std::memcpy(dst, nonce_data + s * SCOOP_SIZE, SCOOP_SIZE);
}

void poc2_convert_nonce(uint8_t* nonce_data) {
    uint8_t tmp[HASH_SIZE];
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT / 2; ++s) {
        uint8_t* a = nonce_data + s * SCOOP_SIZE + HASH_SIZE;
        uint8_t* b = nonce_data + (SCOOPS_PER_PLOT - 1 - s) * SCOOP_SIZE + HASH_SIZE;
        std::memcpy(tmp, a, HASH_SIZE);
        std::memcpy(a, b, HASH_SIZE);
        std::memcpy(b, tmp, HASH_SIZE);
    }
}

void poc2_convert_batch(batch_buffer_s* batch, uint64_t count) {
    const uint64_t row = batch->capacity * SCOOP_SIZE;
    uint8_t tmp[HASH_SIZE];
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT / 2; ++s) {
        uint8_t* row_a = batch->data + s * row + HASH_SIZE;
        uint8_t* row_b = batch->data + (SCOOPS_PER_PLOT - 1 - s) * row + HASH_SIZE;
        for (uint64_t n = 0; n < count; ++n) {
            uint8_t* a = row_a + n * SCOOP_SIZE;
            uint8_t* b = row_b + n * SCOOP_SIZE;
            std::memcpy(tmp, a, HASH_SIZE);
            std::memcpy(a, b, HASH_SIZE);
            std::memcpy(b, tmp, HASH_SIZE);
        }
    }
}
