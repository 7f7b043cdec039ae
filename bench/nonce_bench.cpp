// Google Benchmark of the scalar nonce: nonces per minute on one thread.
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "nonce/nonce.h"
#include "nonce/shabal.h"

static void BM_NonceComputeScalar(benchmark::State& state) {
    std::vector<uint8_t> out(PLOT_SIZE);
    uint64_t nonce = 0;
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        nonce_compute(7900104405094198526ull, nonce++, out.data(), false);
        benchmark::DoNotOptimize(out.data());
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    state.counters["nonces_per_min"] = 60.0 * state.iterations() / elapsed.count();
}
BENCHMARK(BM_NonceComputeScalar)->Unit(benchmark::kMillisecond)->MinTime(2.0);

static void BM_Shabal256_4096(benchmark::State& state) {
    std::vector<uint8_t> data(4096, 0x5A);
    uint8_t out[32];
    for (auto _ : state) {
        shabal256_digest(data.data(), data.size(), out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_Shabal256_4096);
