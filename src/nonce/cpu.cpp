// CPU plotting workers, the hash-family dispatcher and the processor queries.
//
// DESIGN: cpu_plot_batch runs on the plotter's work thread. It picks the hash family
// once per call: the one forced, else the one that was fastest when every family the
// processor supports was timed for a few milliseconds on first use (no single form is the
// fastest on every processor). It obtains every worker's generation areas, starts one thread per
// worker, computes the remainder nonces itself, then every 10 ms sums the workers'
// progress slots into the caller's progress counter until the batch is complete or the
// stop flag is seen; it joins every worker and publishes the final count before
// returning, so no thread outlives a call. Workers share only the batch buffer, where their index
// ranges do not overlap, and write only their own slot; slots sit on separate cache
// lines. This file is compiled without instruction-set flags: code of a family runs
// only after cpu_features() reported that family's instruction set and the operating
// system's support for its registers.
#include "nonce/cpu.h"

#include <cpuid.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "nonce/nonce.h"
#include "nonce/shabal_lanes.h"
#include "nonce/shabal.h"
#include "platform/sys.h"
#include "platform/util.h"

namespace {

// A worker's published count of finished nonces, alone on its cache line.
struct alignas(64) cpu_progress_slot_s {
    std::atomic<uint64_t> done{0};  // nonces of this worker's share finished
};

// What a worker body works on. `areas` are the worker's lanes + 1 generation areas,
// GEN_SIZE bytes each, 64-byte aligned, owned by the caller.
struct cpu_worker_args_s {
    batch_buffer_s* batch;              // batch buffer to fill
    uint64_t index;                     // worker index t
    uint64_t account_id;                // seed account
    uint64_t first_nonce;               // nonce number of the share's first nonce
    uint64_t share;                     // nonces in the share
    const std::atomic<bool>* stop;      // polled before every group and single nonce
    cpu_progress_slot_s* slots;         // one slot per worker
    uint8_t* const* areas;              // the worker's generation areas
};

void cpu_worker_scalar(const cpu_worker_args_s& args);
void cpu_worker_sse4(const cpu_worker_args_s& args);
void cpu_worker_avx(const cpu_worker_args_s& args);
void cpu_worker_avx2(const cpu_worker_args_s& args);
void cpu_worker_avx512(const cpu_worker_args_s& args);
void cpu_worker_avx512x2(const cpu_worker_args_s& args);
void cpu_worker_avx512x4(const cpu_worker_args_s& args);

// One family's dispatch entry.
struct family_ops_s {
    cpu_family_e family;                        // which family
    const char* name;                           // its command-line name
    uint32_t needs;                             // cpu_features() bits it requires
    uint32_t wide_lanes;                        // nonces per wide group; 0 = none
    nonce_group_fn wide_group;                  // two interleaved vectors of lanes
    uint32_t lanes;                             // nonces per group
    nonce_group_fn group;                       // one vector of lanes; null = scalar only
    void (*worker)(const cpu_worker_args_s&);   // its worker body
    uint32_t probe_lanes;                       // lanes its probe hashes at once
    uint32_t (*probe)(uint64_t blocks);         // the widest form's compression, for timing
};

// The scalar compression of one repeated block, for timing beside the lane families.
uint32_t scalar_probe(uint64_t blocks) {
    shabal_state_s state = shabal256_initial_state();
    alignas(64) static const uint8_t block[64] = {};
    for (uint64_t b = 0; b < blocks; ++b) shabal256_compress(&state, block, 1);
    return state.A[0];
}

const family_ops_s family_table[] = {
    {CPU_FAMILY_SCALAR, "scalar", 0, 0, nullptr, 1, nullptr, cpu_worker_scalar, 1, scalar_probe},
    {CPU_FAMILY_SSE4, "sse4", CPU_SSE41, 8, nonce_group_x8_sse41, 4, nonce_group_x4_sse41, cpu_worker_sse4, 8,
     shabal_x8_sse41_probe},
    {CPU_FAMILY_AVX, "avx", CPU_SSE41 | CPU_AVX, 8, nonce_group_x8_avx, 4, nonce_group_x4_avx, cpu_worker_avx, 8,
     shabal_x8_avx_probe},
    {CPU_FAMILY_AVX2, "avx2", CPU_AVX | CPU_AVX2, 16, nonce_group_x16_avx2, 8, nonce_group_x8, cpu_worker_avx2, 16,
     shabal_x16_avx2_probe},
    {CPU_FAMILY_AVX512, "avx512", CPU_AVX512F, 0, nullptr, 16, nonce_group_x16, cpu_worker_avx512, 16,
     shabal_x16_probe},
    {CPU_FAMILY_AVX512X2, "avx512x2", CPU_AVX512F, 32, nonce_group_x32, 16, nonce_group_x16, cpu_worker_avx512x2, 32,
     shabal_x32_probe},
    {CPU_FAMILY_AVX512X4, "avx512x4", CPU_AVX512F, 64, nonce_group_x64, 32, nonce_group_x32, cpu_worker_avx512x4, 64,
     shabal_x64_probe},
};

const family_ops_s* family_ops(cpu_family_e family) {
    for (const auto& ops : family_table)
        if (ops.family == family) return &ops;
    return nullptr;
}

constexpr uint64_t AREA_STRIDE = (GEN_SIZE + 63) / 64 * 64;

uint32_t widest(const family_ops_s& ops) { return ops.wide_lanes > ops.lanes ? ops.wide_lanes : ops.lanes; }

// Generation areas per worker: one per lane of the widest group plus one for single nonces.
uint32_t area_count(const family_ops_s& ops) { return ops.group ? widest(ops) + 1 : 1; }

bool bit(uint32_t value, int index) { return (value >> index) & 1u; }

cpu_id_regs_s cpu_read_regs() {
    cpu_id_regs_s r;
    uint32_t eax, ebx, ecx, edx;
    r.max_leaf = __get_cpuid_max(0, nullptr);
    if (r.max_leaf >= 1) {
        __cpuid(1, eax, ebx, ecx, edx);
        r.leaf1_ecx = ecx;
        r.leaf1_edx = edx;
        if (bit(ecx, 27)) {  // OSXSAVE: XGETBV may be executed
            uint32_t lo, hi;
            __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
            r.xcr0 = (uint64_t)hi << 32 | lo;
        }
    }
    if (r.max_leaf >= 7) {
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        r.leaf7_ebx = ebx;
    }
    r.max_ext_leaf = __get_cpuid_max(0x80000000u, nullptr);
    if (r.max_ext_leaf >= 0x80000001u) {
        __cpuid(0x80000001u, eax, ebx, ecx, edx);
        r.ext1_ecx = ecx;
    }
    return r;
}

}  // namespace

uint32_t cpu_features_decode(const cpu_id_regs_s& r) {
    if (r.max_leaf == 0) return 0;
    uint32_t mask = 0;
    if (bit(r.leaf1_edx, 25)) mask |= CPU_SSE;
    if (bit(r.leaf1_edx, 26)) mask |= CPU_SSE2;
    if (bit(r.leaf1_ecx, 0)) mask |= CPU_SSE3;
    if (bit(r.leaf1_ecx, 19)) mask |= CPU_SSE41;
    if (bit(r.leaf1_ecx, 20)) mask |= CPU_SSE42;
    // The OS must save the SSE and YMM state (XCR0 bits 1-2) for any VEX code, and in
    // addition the opmask and ZMM state (bits 5-7) for AVX-512.
    const bool ymm_state = bit(r.leaf1_ecx, 27) && (r.xcr0 & 0x6) == 0x6;
    const bool zmm_state = ymm_state && (r.xcr0 & 0xE0) == 0xE0;
    if (bit(r.leaf1_ecx, 28) && ymm_state) mask |= CPU_AVX;
    if (r.max_leaf >= 7 && bit(r.leaf7_ebx, 5) && ymm_state) mask |= CPU_AVX2;
    if (r.max_leaf >= 7 && bit(r.leaf7_ebx, 16) && zmm_state) mask |= CPU_AVX512F;
    if (r.max_ext_leaf >= 0x80000001u && bit(r.ext1_ecx, 6)) mask |= CPU_SSE4A;
    return mask;
}

uint32_t cpu_features() {
    static std::atomic<uint32_t> cached{0xFFFFFFFFu};
    uint32_t mask = cached.load(std::memory_order_relaxed);
    if (mask == 0xFFFFFFFFu) {
        mask = cpu_features_decode(cpu_read_regs());
        cached.store(mask, std::memory_order_relaxed);
    }
    return mask;
}

void cpu_log_features() {
    const uint32_t f = cpu_features();
    if (f & CPU_AVX512F)
        sys_log("  AVX512 support detected!\n");
    else if (f & CPU_AVX2)
        sys_log("  AVX2 support detected!\n");
    else if (f & CPU_AVX)
        sys_log("  AVX1 support detected!\n");
    else if (f & CPU_SSE42)
        sys_log("  SSE4.2 support detected!\n");
    else if (f & CPU_SSE41)
        sys_log("  SSE4.1 support detected!\n");
    else if (f & CPU_SSE4A)
        sys_log("  SSE4a support detected!\n");
}

void cpu_brand_string(uint64_t length, char* buffer) {
    char brand[49] = {};
    if (__get_cpuid_max(0x80000000u, nullptr) >= 0x80000004u) {
        for (uint32_t i = 0; i < 3; ++i) {
            uint32_t regs[4];
            __cpuid(0x80000002u + i, regs[0], regs[1], regs[2], regs[3]);
            std::memcpy(brand + 16 * i, regs, 16);
        }
    }
    if (length > 0) std::strncpy(buffer, brand, length);
}

int32_t cpu_count() {
    static std::atomic<int32_t> cached{0};
    int32_t count = cached.load(std::memory_order_relaxed);
    if (count == 0) {
        count = get_nprocs();
        if (count < 1) count = 1;
        cached.store(count, std::memory_order_relaxed);
    }
    return count;
}

int32_t cpu_thread_count(int32_t setting) {
    // A negative setting has no meaning; it is taken as 0, the automatic count.
    if (setting > 0) return std::min(setting, CPU_THREADS_PER_PROCESSOR * cpu_count());
    const int32_t count = cpu_count() - 1;
    return count > 1 ? count : 1;
}

bool cpu_family_parse(const char* name, cpu_family_e* out) {
    if (!name) return false;
    for (const auto& ops : family_table)
        if (std::strcmp(name, ops.name) == 0) {
            *out = ops.family;
            return true;
        }
    return false;
}

const char* cpu_family_name(cpu_family_e family) {
    const family_ops_s* ops = family_ops(family);
    return ops ? ops->name : "best";
}

bool cpu_family_available(cpu_family_e family) {
    if (family == CPU_FAMILY_BEST) return true;
    const family_ops_s* ops = family_ops(family);
    return ops && (cpu_features() & ops->needs) == ops->needs;
}

cpu_family_e cpu_family_resolve(cpu_family_e requested) {
    if (requested != CPU_FAMILY_BEST && cpu_family_available(requested)) return requested;
    // A processor with SSE4a but not SSE4.1 supports only the scalar path, which then wins.
    static const cpu_family_e fastest = cpu_choose_family(cpu_form_times(), cpu_families_supported());
    return fastest;
}

uint32_t cpu_families_supported() {
    uint32_t mask = 0;
    for (const auto& ops : family_table)
        if (cpu_family_available(ops.family)) mask |= 1u << ops.family;
    return mask;
}

cpu_family_e cpu_choose_family(const cpu_form_times_s& times, uint32_t supported) {
    cpu_family_e best = CPU_FAMILY_SCALAR;
    double best_time = 0;
    for (int f = CPU_FAMILY_SCALAR; f < CPU_FAMILY_COUNT; ++f) {
        const double t = times.seconds_per_block[f];
        if (!(supported >> f & 1u) || !(t > 0)) continue;
        if (best_time == 0 || t < best_time) best = (cpu_family_e)f, best_time = t;
    }
    return best;
}

namespace {

double probe_seconds(const family_ops_s& ops, uint64_t blocks) {
    const auto t0 = std::chrono::steady_clock::now();
    const uint32_t word = ops.probe(blocks);
    __asm__ volatile("" : : "r"(word));  // the result is used: the work is done before the clock is read
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Each supported form, sized to about PROBE_SECONDS a call, then PROBE_ROUNDS rounds over
// all forms; the fastest round of each counts, as the one least disturbed by other work.
cpu_form_times_s cpu_time_forms() {
    constexpr double PROBE_SECONDS = 0.0003;
    constexpr int PROBE_ROUNDS = 16;
    struct probe_s {
        const family_ops_s* ops;
        uint64_t blocks;
        double best;
    };
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<probe_s> probes;
    for (const auto& ops : family_table) {
        if (!cpu_family_available(ops.family)) continue;
        const double first = probe_seconds(ops, 16);  // also derives the form's initial value
        const double scaled = first > 0 ? 16 * PROBE_SECONDS / first : 4096;
        probes.push_back({&ops, (uint64_t)std::min(std::max(scaled, 1.0), 65536.0), 0});
    }
    for (int round = 0; round < PROBE_ROUNDS; ++round)
        for (probe_s& p : probes) {
            const double t = probe_seconds(*p.ops, p.blocks) / ((double)p.blocks * p.ops->probe_lanes);
            if (p.best == 0 || t < p.best) p.best = t;
        }
    cpu_form_times_s times;
    for (const probe_s& p : probes) times.seconds_per_block[p.ops->family] = p.best;
    times.seconds_spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return times;
}

}  // namespace

const cpu_form_times_s& cpu_form_times() {
    static const cpu_form_times_s times = cpu_time_forms();
    return times;
}

uint32_t cpu_family_lanes(cpu_family_e family) {
    const family_ops_s* ops = family_ops(cpu_family_resolve(family));
    return ops ? widest(*ops) : 1;
}

cpu_batch_split_s cpu_batch_split(uint64_t count, uint64_t threads) {
    cpu_batch_split_s split{threads, 0, count};
    if (threads > 0) {
        split.share = count / threads;
        split.remainder = count - split.share * threads;
    }
    return split;
}

namespace {

// The worker body of every family: wide groups while one fits in the share, then
// single-vector groups, then single nonces on the scalar path in the last area.
void worker_run(const family_ops_s& ops, const cpu_worker_args_s& a) {
    batch_buffer_s* batch = a.batch;
    const uint64_t base = a.index * a.share;
    uint8_t* single = a.areas[area_count(ops) - 1];
    std::atomic<uint64_t>& done = a.slots[a.index].done;
    uint64_t i = 0;
    while (i < a.share) {
        if (a.stop->load(std::memory_order_relaxed)) break;
        if (ops.wide_group && i + ops.wide_lanes <= a.share) {
            ops.wide_group(a.areas, a.account_id, a.first_nonce + i, batch, base + i);
            i += ops.wide_lanes;
        } else if (ops.group && i + ops.lanes <= a.share) {
            ops.group(a.areas, a.account_id, a.first_nonce + i, batch, base + i);
            i += ops.lanes;
        } else {
            nonce_generate(single, a.account_id, a.first_nonce + i);
            nonce_scatter(single, batch, base + i);
            i += 1;
        }
        done.store(i, std::memory_order_relaxed);
    }
}

void cpu_worker_scalar(const cpu_worker_args_s& args) { worker_run(*family_ops(CPU_FAMILY_SCALAR), args); }
void cpu_worker_sse4(const cpu_worker_args_s& args) { worker_run(*family_ops(CPU_FAMILY_SSE4), args); }
void cpu_worker_avx(const cpu_worker_args_s& args) { worker_run(*family_ops(CPU_FAMILY_AVX), args); }
void cpu_worker_avx2(const cpu_worker_args_s& args) { worker_run(*family_ops(CPU_FAMILY_AVX2), args); }
void cpu_worker_avx512(const cpu_worker_args_s& args) { worker_run(*family_ops(CPU_FAMILY_AVX512), args); }
void cpu_worker_avx512x2(const cpu_worker_args_s& args) { worker_run(*family_ops(CPU_FAMILY_AVX512X2), args); }
void cpu_worker_avx512x4(const cpu_worker_args_s& args) { worker_run(*family_ops(CPU_FAMILY_AVX512X4), args); }

struct free_deleter_s {
    void operator()(uint8_t* p) const { std::free(p); }
};
using area_block = std::unique_ptr<uint8_t, free_deleter_s>;

// Obtains each worker's areas; returns how many workers got theirs.
uint64_t obtain_areas(const family_ops_s& ops, uint64_t workers, std::vector<area_block>* blocks,
                      std::vector<uint8_t*>* areas) {
    const uint32_t per_worker = area_count(ops);
    for (uint64_t t = 0; t < workers; ++t) {
        area_block block(static_cast<uint8_t*>(std::aligned_alloc(64, per_worker * AREA_STRIDE)));
        if (!block) break;
        for (uint32_t j = 0; j < per_worker; ++j) areas->push_back(block.get() + j * AREA_STRIDE);
        blocks->push_back(std::move(block));
    }
    return blocks->size();
}

uint64_t slots_sum(const cpu_progress_slot_s* slots, uint64_t workers) {
    uint64_t sum = 0;
    for (uint64_t t = 0; t < workers; ++t) sum += slots[t].done.load(std::memory_order_relaxed);
    return sum;
}

}  // namespace

uint64_t cpu_plot_batch(batch_buffer_s* batch, uint64_t account_id, uint64_t first, uint64_t count,
                        cpu_family_e family, int32_t threads, uint64_t sector_nonces, const std::atomic<bool>* stop,
                        std::atomic<uint64_t>* progress) {
    static const std::atomic<bool> never{false};
    if (!stop) stop = &never;
    const family_ops_s& ops = *family_ops(cpu_family_resolve(family));
    UTIL_ASSERT(count <= batch->capacity);
    if (count > batch->capacity) count = batch->capacity;
    if (sector_nonces) UTIL_ASSERT(count % sector_nonces == 0);

    cpu_batch_split_s split = cpu_batch_split(count, threads > 0 ? (uint64_t)threads : 1);
    std::vector<area_block> blocks;
    std::vector<uint8_t*> areas;
    uint64_t workers = split.share > 0 ? split.threads : 0;
    if (workers > 0) {
        const uint64_t obtained = obtain_areas(ops, workers, &blocks, &areas);
        if (obtained < workers) {
            sys_log("  memory for only %llu of %llu CPU workers\n", (unsigned long long)obtained,
                    (unsigned long long)workers);
            split = cpu_batch_split(count, obtained);
            workers = split.share > 0 ? split.threads : 0;
        }
    }

    std::unique_ptr<cpu_progress_slot_s[]> slots(new cpu_progress_slot_s[workers > 0 ? workers : 1]);
    std::vector<cpu_worker_args_s> args(workers);
    std::vector<std::thread> pool;
    std::vector<uint64_t> not_started;
    for (uint64_t t = 0; t < workers; ++t) {
        args[t] = {batch, t, account_id, first + split.share * t, split.share, stop, slots.get(),
                   areas.data() + t * area_count(ops)};
        try {
            pool.emplace_back(ops.worker, std::cref(args[t]));
        } catch (const std::system_error&) {
            not_started.push_back(t);  // run below on this thread rather than lose its share
        }
    }

    // The nonces that do not divide evenly, on this thread while the workers run.
    if (split.remainder > 0) {
        std::unique_ptr<uint8_t[]> area(new uint8_t[PLOT_SIZE]);
        for (uint64_t j = 0; j < split.remainder; ++j) {
            const uint64_t index = split.share * workers + j;
            nonce_compute(account_id, first + index, area.get(), false);
            nonce_scatter(area.get(), batch, index);
        }
    }
    for (uint64_t t : not_started) ops.worker(args[t]);

    uint64_t published = progress->load(std::memory_order_relaxed);
    auto publish = [&] {
        const uint64_t sum = split.remainder + slots_sum(slots.get(), workers);
        if (sum != published) progress->store(sum);
        published = sum;
        return sum;
    };
    while (!stop->load(std::memory_order_relaxed) && publish() < count) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (auto& thread : pool) thread.join();
    return publish();
}
