// Google Benchmarks of the hash families: one nonce group per iteration (nonces per
// minute on one thread) and the bare compression over 4096 cached bytes per lane.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "nonce/nonce.h"
#include "nonce/cpu.h"
#include "nonce/shabal.h"
#include "nonce/shabal_lanes.h"

namespace {

struct bench_areas_s {
    std::vector<uint8_t*> areas;  // 64-byte aligned generation areas
    explicit bench_areas_s(uint32_t count) {
        for (uint32_t i = 0; i < count; ++i)
            areas.push_back(static_cast<uint8_t*>(std::aligned_alloc(64, (GEN_SIZE + 63) / 64 * 64)));
    }
    ~bench_areas_s() {
        for (uint8_t* area : areas) std::free(area);
    }
};

void bench_group(benchmark::State& state, cpu_family_e family, uint32_t lanes, nonce_group_fn group) {
    if (!cpu_family_available(family)) {
        state.SkipWithError("processor lacks this family");
        return;
    }
    bench_areas_s areas(lanes);
    std::vector<uint8_t> storage(lanes * PLOT_SIZE);
    batch_buffer_s batch;
    batch.capacity = lanes;
    batch.data = storage.data();
    uint64_t nonce = 0;
    for (auto _ : state) {
        group(areas.areas.data(), 7900104405094198526ull, nonce, &batch, 0);
        nonce += lanes;
        benchmark::DoNotOptimize(batch.data);
    }
    state.counters["nonces_per_min"] = benchmark::Counter(60.0 * lanes * state.iterations(), benchmark::Counter::kIsRate);
}

template <class CTX, uint32_t L, void (*INIT)(CTX*, uint32_t), void (*COMPRESS)(CTX*, const uint8_t* const*, uint64_t)>
void bench_compress(benchmark::State& state, cpu_family_e family) {
    if (!cpu_family_available(family)) {
        state.SkipWithError("processor lacks this family");
        return;
    }
    std::vector<uint8_t> data(L * 4096, 0x5A);
    const uint8_t* lanes[L];
    for (uint32_t k = 0; k < L; ++k) lanes[k] = data.data() + 4096 * k;
    CTX ctx;
    INIT(&ctx, 256);
    for (auto _ : state) {
        COMPRESS(&ctx, lanes, 64);
        benchmark::DoNotOptimize(ctx.state[0]);
    }
    state.counters["lane_blocks_per_s"] = benchmark::Counter(64.0 * L * state.iterations(), benchmark::Counter::kIsRate);
}

void bench_compress_scalar(benchmark::State& state) {
    std::vector<uint8_t> data(4096, 0x5A);
    shabal_state_s s = shabal256_initial_state();
    for (auto _ : state) {
        shabal256_compress(&s, data.data(), 64);
        benchmark::DoNotOptimize(s.A[0]);
    }
    state.counters["lane_blocks_per_s"] = benchmark::Counter(64.0 * state.iterations(), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK_CAPTURE(bench_group, sse4, CPU_FAMILY_SSE4, 4, nonce_group_x4_sse41)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bench_group, avx, CPU_FAMILY_AVX, 4, nonce_group_x4_avx)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bench_group, avx2, CPU_FAMILY_AVX2, 8, nonce_group_x8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bench_group, sse4_x2, CPU_FAMILY_SSE4, 8, nonce_group_x8_sse41)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bench_group, avx_x2, CPU_FAMILY_AVX, 8, nonce_group_x8_avx)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bench_group, avx2_x2, CPU_FAMILY_AVX2, 16, nonce_group_x16_avx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bench_group, avx512, CPU_FAMILY_AVX512, 16, nonce_group_x16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bench_group, avx512_x2, CPU_FAMILY_AVX512X2, 32, nonce_group_x32)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bench_group, avx512_x4, CPU_FAMILY_AVX512X4, 64, nonce_group_x64)->Unit(benchmark::kMillisecond);

void compress_sse4(benchmark::State& s) {
    bench_compress<shabal_x4_s, 4, shabal_x4_sse41_init, shabal_x4_sse41_compress>(s, CPU_FAMILY_SSE4);
}
void compress_avx(benchmark::State& s) {
    bench_compress<shabal_x4_s, 4, shabal_x4_avx_init, shabal_x4_avx_compress>(s, CPU_FAMILY_AVX);
}
void compress_avx2(benchmark::State& s) { bench_compress<shabal_x8_s, 8, shabal_x8_init, shabal_x8_compress>(s, CPU_FAMILY_AVX2); }
void compress_avx512(benchmark::State& s) {
    bench_compress<shabal_x16_s, 16, shabal_x16_init, shabal_x16_compress>(s, CPU_FAMILY_AVX512);
}

void compress_sse4_x2(benchmark::State& s) {
    bench_compress<shabal_x8_s, 8, shabal_x8_sse41_init, shabal_x8_sse41_compress>(s, CPU_FAMILY_SSE4);
}
void compress_avx2_x2(benchmark::State& s) {
    bench_compress<shabal_x16_s, 16, shabal_x16_avx2_init, shabal_x16_avx2_compress>(s, CPU_FAMILY_AVX2);
}
void compress_avx512_x2(benchmark::State& s) {
    bench_compress<shabal_x32_s, 32, shabal_x32_init, shabal_x32_compress>(s, CPU_FAMILY_AVX512X2);
}
void compress_avx512_x4(benchmark::State& s) {
    bench_compress<shabal_x64_s, 64, shabal_x64_init, shabal_x64_compress>(s, CPU_FAMILY_AVX512X4);
}

BENCHMARK(bench_compress_scalar);
BENCHMARK(compress_sse4_x2);
BENCHMARK(compress_avx2_x2);
BENCHMARK(compress_avx512_x2);
BENCHMARK(compress_avx512_x4);
BENCHMARK(compress_sse4);
BENCHMARK(compress_avx);
BENCHMARK(compress_avx2);
BENCHMARK(compress_avx512);
