// What a nonce is: the chain of Shabal-256 digests, the two scoop orders and the batch layout.
#pragma once
#include <atomic>
#include <cstdint>

constexpr uint64_t HASH_SIZE = 32;
constexpr uint64_t HASHES_PER_SCOOP = 2;
constexpr uint64_t SCOOP_SIZE = 64;
constexpr uint64_t SCOOPS_PER_PLOT = 4096;
constexpr uint64_t PLOT_SIZE = 262144;
constexpr uint64_t HASH_CAP = 4096;
constexpr uint64_t GEN_SIZE = 262160;

// A batch of nonces in scoop-major order: scoop s of batch index n lies at
// (s * capacity + n) * 64 of data. Producers fill it in PoC1 order.
struct batch_buffer_s {
    uint64_t capacity = 0;               // nonces the buffer holds; also one scoop row's length in scoops
    std::atomic<uint64_t> progress{0};   // nonces of the current batch finished
    uint8_t* data = nullptr;             // capacity * PLOT_SIZE bytes
};

// Computes one nonce into out (PLOT_SIZE bytes, any alignment), PoC1 or PoC2 order.
void nonce_compute(uint64_t account_id, uint64_t nonce, uint8_t* out, bool poc2);

// Runs the whole chain in a caller-owned generation area (GEN_SIZE bytes, 32-byte
// aligned); afterwards its first PLOT_SIZE bytes are the nonce in PoC1 order.
void nonce_generate(uint8_t* gen, uint64_t account_id, uint64_t nonce);

// Writes the 16 seed bytes (both numbers big-endian) at the end of a generation area.
void nonce_write_seed(uint8_t* gen, uint64_t account_id, uint64_t nonce);

// Copies the 4096 scoops of one PoC1 nonce into batch index `index` of a batch buffer.
void nonce_scatter(const uint8_t* nonce_data, batch_buffer_s* batch, uint64_t index);

// Rearranges one nonce between PoC1 and PoC2 order (its own inverse).
void poc2_convert_nonce(uint8_t* nonce_data);

// Rearranges the first `count` nonces of a batch from PoC1 to PoC2 order in place.
void poc2_convert_batch(batch_buffer_s* batch, uint64_t count);

// A nonce count cut down to a whole number of groups (sector groups, passes); a group of 0
// leaves it as it is.
inline uint64_t nonce_cut_to(uint64_t count, uint64_t group) { return group ? count - count % group : count; }
