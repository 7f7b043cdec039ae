// Shared test helpers: vector files, hex, SHA-256 (to compare with published digests), temp
// folders, files, the command-line program and the reference nonce cache.
#include "test_support.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <tuple>

std::vector<std::vector<std::string>> test_read_vectors(const std::string& file_name) {
    std::ifstream in(std::string(KESTRUNE_VECTORS_DIR) + "/" + file_name);
    if (!in) throw std::runtime_error("missing vector file " + file_name);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    bool header_seen = false;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (!header_seen) {
            header_seen = true;
            continue;
        }
        std::vector<std::string> fields;
        std::stringstream split(line);
        std::string field;
        while (std::getline(split, field, '\t')) fields.push_back(field);
        rows.push_back(fields);
    }
    return rows;
}

std::vector<uint8_t> test_from_hex(const std::string& hex) {
    std::vector<uint8_t> bytes(hex.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (uint8_t)std::stoul(hex.substr(2 * i, 2), nullptr, 16);
    return bytes;
}

std::string test_to_hex(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += digits[data[i] >> 4];
        hex += digits[data[i] & 15];
    }
    return hex;
}

namespace {

uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

const uint32_t sha_k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

void sha256_block(uint32_t h[8], const uint8_t* block) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t)block[4 * i] << 24 | (uint32_t)block[4 * i + 1] << 16 | (uint32_t)block[4 * i + 2] << 8 |
               block[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + sha_k[i] + w[i];
        const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        hh = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
}

}  // namespace

std::string test_sha256_hex(const uint8_t* data, size_t length) {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    size_t whole = length / 64 * 64;
    for (size_t i = 0; i < whole; i += 64) sha256_block(h, data + i);
    uint8_t tail[128] = {};
    const size_t rest = length - whole;
    std::memcpy(tail, data + whole, rest);
    tail[rest] = 0x80;
    const size_t tail_len = rest + 9 <= 64 ? 64 : 128;
    const uint64_t bits = (uint64_t)length * 8;
    for (int i = 0; i < 8; ++i) tail[tail_len - 1 - i] = (uint8_t)(bits >> (8 * i));
    for (size_t i = 0; i < tail_len; i += 64) sha256_block(h, tail + i);
    uint8_t digest[32];
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = (uint8_t)(h[i] >> (24 - 8 * j));
    return test_to_hex(digest, 32);
}

test_dir_s::test_dir_s() {
    char pattern[] = "/tmp/kestrune_test_XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) throw std::runtime_error("mkdtemp failed");
    path = made;
}

test_dir_s::~test_dir_s() {
    std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

std::string test_read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void test_write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

uint64_t test_resume_record(const std::string& path, uint64_t nonces) {
    std::ifstream f(path, std::ios::binary);
    uint8_t bytes[8] = {};
    if (!f.seekg((std::streamoff)(nonces * PLOT_SIZE - 8)).read((char*)bytes, 8)) return 0;
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= (uint64_t)bytes[i] << (8 * i);
    return value;
}

test_cli_s test_run_cli(const std::string& arguments, const std::string& environment) {
    const std::string command = environment + " " + KESTRUNE_CLI_PATH + " " + arguments + " 2>/dev/null";
    test_cli_s result{-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char chunk[65536];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) result.output.append(chunk, got);
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

const uint8_t* test_reference_nonce(uint64_t account, uint64_t nonce, bool poc2) {
    // Scalar nonces are slow; many tests check the same ones.
    static std::map<std::tuple<uint64_t, uint64_t, bool>, std::unique_ptr<uint8_t[]>> cache;
    std::unique_ptr<uint8_t[]>& slot = cache[std::make_tuple(account, nonce, poc2)];
    if (!slot) {
        slot.reset(new uint8_t[PLOT_SIZE]);
        nonce_compute(account, nonce, slot.get(), poc2);
    }
    return slot.get();
}

bool test_rows_hold(const uint8_t* data, uint64_t row_nonces, uint64_t index, uint64_t account, uint64_t nonce,
                    bool poc2) {
    const uint8_t* expected = test_reference_nonce(account, nonce, poc2);
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        if (std::memcmp(data + (s * row_nonces + index) * SCOOP_SIZE, expected + s * SCOOP_SIZE, SCOOP_SIZE))
            return false;
    return true;
}

test_batch_s::test_batch_s(uint64_t capacity, uint8_t fill) : storage(capacity * PLOT_SIZE, fill) {
    batch.capacity = capacity;
    batch.data = storage.data();
}
