// CPU plotting: a batch of nonces spread over worker threads running the multi-lane
// hash of the strongest instruction set, and the processor queries.
#pragma once
#include <atomic>
#include <cstdint>

struct job_s;

// Instruction-set bits of cpu_features(). AVX, AVX2 and AVX-512F are reported only
// when the operating system also saves the wider register state.
constexpr uint32_t CPU_SSE = 1;
constexpr uint32_t CPU_SSE2 = 2;
constexpr uint32_t CPU_SSE3 = 4;
constexpr uint32_t CPU_SSE4A = 8;
constexpr uint32_t CPU_SSE41 = 16;
constexpr uint32_t CPU_SSE42 = 32;
constexpr uint32_t CPU_AVX = 64;
constexpr uint32_t CPU_AVX2 = 128;
constexpr uint32_t CPU_AVX512F = 256;

// The hash families a batch can be computed with; BEST = the strongest available.
enum cpu_family_e { CPU_FAMILY_BEST, CPU_FAMILY_SCALAR, CPU_FAMILY_SSE4, CPU_FAMILY_AVX, CPU_FAMILY_AVX2, CPU_FAMILY_AVX512 };

// The CPUID/XGETBV values cpu_features() is computed from.
struct cpu_id_regs_s {
    uint32_t max_leaf = 0;       // leaf 0 EAX: highest standard leaf
    uint32_t leaf1_ecx = 0;      // leaf 1 ECX
    uint32_t leaf1_edx = 0;      // leaf 1 EDX
    uint32_t leaf7_ebx = 0;      // leaf 7 sub-leaf 0 EBX (0 when max_leaf < 7)
    uint32_t max_ext_leaf = 0;   // leaf 0x80000000 EAX: highest extended leaf
    uint32_t ext1_ecx = 0;       // leaf 0x80000001 ECX (0 when not available)
    uint64_t xcr0 = 0;           // XGETBV(0) when leaf 1 reports OSXSAVE, else 0
};

// The feature mask of the given register values (pure; used by cpu_features and tests).
uint32_t cpu_features_decode(const cpu_id_regs_s& regs);
// The processor's feature mask, computed once.
uint32_t cpu_features();
// Logs the strongest instruction set ("  AVX2 support detected!\n" ...).
void cpu_log_features();
// The processor brand string with strncpy semantics over `length` bytes.
void cpu_brand_string(uint64_t length, char* buffer);
// Online processors, asked once.
int32_t cpu_count();
// Plotting threads: the cpu_threads setting when above 0, else max(cpu_count() - 1, 1).
int32_t cpu_thread_count();

// Family choice, process-wide. cpu_set_family(BEST) restores the automatic choice;
// a family the processor lacks also falls back to it.
bool cpu_family_parse(const char* name, cpu_family_e* out);
const char* cpu_family_name(cpu_family_e family);
bool cpu_family_available(cpu_family_e family);
void cpu_set_family(cpu_family_e family);
cpu_family_e cpu_family_selected();
// Nonces one group of the family computes at once (1 for the scalar path).
uint32_t cpu_family_lanes(cpu_family_e family);

// How a batch of `count` nonces is divided over `threads` workers: worker t fills
// batch indices share * t .. share * t + share - 1, the calling thread the last
// `remainder` indices.
struct cpu_batch_split_s {
    uint64_t threads;    // workers started
    uint64_t share;      // nonces per worker, floor(count / threads)
    uint64_t remainder;  // nonces computed by the calling thread, count - share * threads
};
cpu_batch_split_s cpu_batch_split(uint64_t count, uint64_t threads);

// A worker's published count of finished nonces, alone on its cache line.
struct alignas(64) cpu_progress_slot_s {
    std::atomic<uint64_t> done{0};  // nonces of this worker's share finished
};

// Computes the job's next batch (min(nonces left, capacity) nonces) into its compute
// buffer in PoC1 order, keeping the buffer's progress current. Returns when the batch
// is complete, or early once `stop` is seen, always after joining every worker.
void cpu_plot_batch(job_s* job, const std::atomic<bool>* stop);

// Worker bodies. `areas` are the worker's lanes + 1 generation areas, GEN_SIZE bytes
// each, 64-byte aligned, owned by the caller.
struct cpu_worker_args_s {
    job_s* job;                         // batch buffer to fill
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
