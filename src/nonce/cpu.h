// CPU plotting: a batch of nonces spread over worker threads running the multi-lane
// hash of the strongest instruction set, and the processor queries.
#pragma once
#include <atomic>
#include <cstdint>

struct batch_buffer_s;

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

// The hash families (forms) a batch can be computed with; BEST = the fastest available, as
// timed on first use. AVX512X2 and AVX512X4 are AVX-512 with two and four 16-lane
// states stepped together.
enum cpu_family_e {
    CPU_FAMILY_BEST,
    CPU_FAMILY_SCALAR,
    CPU_FAMILY_SSE4,
    CPU_FAMILY_AVX,
    CPU_FAMILY_AVX2,
    CPU_FAMILY_AVX512,
    CPU_FAMILY_AVX512X2,
    CPU_FAMILY_AVX512X4,
    CPU_FAMILY_COUNT
};

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
// Most plotting threads per processor: more only cost memory and switching.
constexpr int32_t CPU_THREADS_PER_PROCESSOR = 4;
// Plotting threads: the thread-count setting `setting` when above 0 (at most
// CPU_THREADS_PER_PROCESSOR per processor), else max(cpu_count() - 1, 1).
int32_t cpu_thread_count(int32_t setting);

// Family names and choice. Every caller passes the family it wants; BEST, or a family the
// processor lacks, means the automatic choice (the fastest form as timed on first use).
bool cpu_family_parse(const char* name, cpu_family_e* out);
const char* cpu_family_name(cpu_family_e family);
bool cpu_family_available(cpu_family_e family);
// The family that computes when `requested` is asked for.
cpu_family_e cpu_family_resolve(cpu_family_e requested);
// Nonces one group of the family (as cpu_family_resolve makes it) computes at once (1 for
// the scalar path).
uint32_t cpu_family_lanes(cpu_family_e family);
// Families this processor supports, bit 1 << family.
uint32_t cpu_families_supported();

// Seconds one lane of each family takes per compressed block; 0 = not timed.
struct cpu_form_times_s {
    double seconds_per_block[CPU_FAMILY_COUNT] = {};  // indexed by cpu_family_e
    double seconds_spent = 0;                          // how long the timing took
};
// The fastest family that is both timed and in `supported` (bit 1 << family); of equal
// times the one listed first in cpu_family_e. SCALAR when none qualifies. Pure.
cpu_family_e cpu_choose_family(const cpu_form_times_s& times, uint32_t supported);
// Every supported family's time, measured once per process in a few milliseconds on the
// calling thread, interleaved so that a load that comes and goes meets every form alike.
const cpu_form_times_s& cpu_form_times();

// How a batch of `count` nonces is divided over `threads` workers: worker t fills
// batch indices share * t .. share * t + share - 1, the calling thread the last
// `remainder` indices.
struct cpu_batch_split_s {
    uint64_t threads;    // workers started
    uint64_t share;      // nonces per worker, floor(count / threads)
    uint64_t remainder;  // nonces computed by the calling thread, count - share * threads
};
cpu_batch_split_s cpu_batch_split(uint64_t count, uint64_t threads);

// Computes `count` nonces (at most the buffer's capacity) from first_nonce for account_id
// into batch in PoC1 order with `family` (as cpu_family_resolve makes it) on `threads`
// workers, publishing the nonces finished to *progress. count should be a whole number of
// sector groups of sector_nonces (0 = no check). Returns the nonces finished: count, or
// fewer once `stop` (may be none) is seen; every worker has been joined by then.
uint64_t cpu_plot_batch(batch_buffer_s* batch, uint64_t account_id, uint64_t first_nonce, uint64_t count,
                        cpu_family_e family, int32_t threads, uint64_t sector_nonces, const std::atomic<bool>* stop,
                        std::atomic<uint64_t>* progress);
