// Clock probe: a chain of dependent register-to-register adds retires one per cycle,
// so adds per second of thread CPU time is the core clock while this thread runs (an
// add of an immediate would not do: newer cores fold those chains at rename). Divide nonce rates by it to
// compare runs taken at different clocks (nonces per minute per GHz).
#include <benchmark/benchmark.h>

#include <cstdint>

namespace {

void bench_clock_ghz(benchmark::State& state) {
    constexpr uint64_t ADDS = 1u << 24;  // per iteration, 64 per loop turn
    uint64_t x = 0;
    const uint64_t one = 1;
    for (auto _ : state) {
        uint64_t n = ADDS / 64;
        __asm__ volatile(
            "1:\n\t"
            ".rept 64\n\t"
            "addq %2, %0\n\t"
            ".endr\n\t"
            "decq %1\n\t"
            "jnz 1b\n\t"
            : "+r"(x), "+r"(n)
            : "r"(one));
    }
    benchmark::DoNotOptimize(x);
    state.counters["GHz"] = benchmark::Counter(ADDS * 1e-9 * state.iterations(), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(bench_clock_ghz);
