// In-place conversion: round trips against nonce_compute and the known-answer files,
// refusals that touch nothing, and a fault sweep through the system-call seam.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <tuple>

#include "platform/fault_injection.h"
#include "platform/sys.h"
#include "plotfile/convert.h"
#include "plotfile/plotfile.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 7900104405094198526ull;  // the known-answer files' account
constexpr uint64_t PAIR = 2 * SCOOP_SIZE;              // bytes one nonce of one scoop pair takes
constexpr uint64_t N = 64, MEMORY = 2 * 700 * N * PAIR;  // the file of most tests, converted in three steps

// A whole file of n nonces in the given order, from the eight reference nonces 0..7: file
// nonce i is reference nonce i % 8 with every byte XORed with i / 8, so every nonce differs
// and both orders come from nonce_compute alone. Built once per size and order.
const std::string& image(uint64_t n, bool poc2) {
    static std::map<std::pair<uint64_t, bool>, std::string> built;
    std::string& bytes = built[{n, poc2}];
    if (!bytes.empty()) return bytes;
    bytes.assign(n * PLOT_SIZE, '\0');
    for (uint64_t i = 0; i < n; ++i) {
        const uint8_t* ref = test_reference_nonce(ACCOUNT, i % 8, poc2);
        for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
            for (uint64_t b = 0; b < SCOOP_SIZE; ++b)
                bytes[(s * n + i) * SCOOP_SIZE + b] = (char)(ref[s * SCOOP_SIZE + b] ^ (uint8_t)(i / 8));
    }
    return bytes;
}

std::string path_of(const test_dir_s& d, uint64_t n, bool poc2) { return d.file(plotfile_name(ACCOUNT, 0, n, poc2)); }

// A folder holding the PoC1 file of n nonces, ready to convert.
struct poc1_dir_s : test_dir_s {
    explicit poc1_dir_s(uint64_t n = N) { test_write_file(path_of(*this, n, false), image(n, false)); }
};

// The folder holds the file of n nonces in the given layout alone, byte-exact.
void expect_only(const test_dir_s& d, uint64_t n, bool poc2) {
    EXPECT_EQ(test_list(d.path), std::vector<std::string>{plotfile_name(ACCOUNT, 0, n, poc2)});
    EXPECT_TRUE(test_read_file(path_of(d, n, poc2)) == image(n, poc2));
}

// Syncs succeed without touching the disk: the many small steps stay fast. The sweep
// makes one chosen call fail; a failing write leaves its first half written, as a crash in
// mid-write would.
void install_hooks(fault_call_e call, uint64_t nth) {
    fault_s fault;
    fault.call = call;
    fault.nth = nth;
    fault.torn_writes = true;
    fault_install(fault);
}

struct convert_test : ::testing::Test {
    void SetUp() override { install_hooks(FAULT_NONE, 0); }
    void TearDown() override { fault_remove(); }
};

}  // namespace

// Both ways against the known-answer files. A file already in the asked layout, asked for by
// its new name or its old one, is then left alone.
TEST_F(convert_test, known_answer_files_convert_both_ways) {
    const auto vectors = test_read_vectors("files.tsv");
    ASSERT_EQ(vectors.size(), 2u);
    poc1_dir_s d(8);
    for (const bool to_poc2 : {true, false}) {
        const convert_result_s r = convert_file(path_of(d, 8, !to_poc2), to_poc2, 40 * PAIR);
        ASSERT_EQ(r.status, CONVERT_DONE) << r.message;
        for (const bool by_new_name : {true, false})
            EXPECT_EQ(convert_file(path_of(d, 8, by_new_name == to_poc2), to_poc2, 1 << 20).status, CONVERT_ALREADY);
        expect_only(d, 8, to_poc2);
        EXPECT_EQ(test_sha256_hex((const uint8_t*)image(8, to_poc2).data(), 8 * PLOT_SIZE), vectors[to_poc2 ? 1 : 0][6]);
    }
}

// Memory sizes give steps of part of one pair (8 or 24 nonces), of several whole pairs, and
// of the whole file at once; 100 nonces is not a multiple of the 8-nonce piece rounding.
TEST_F(convert_test, round_trips_are_byte_exact_for_every_step_shape) {
    const std::pair<uint64_t, uint64_t> cases[] = {  // nonces, memory
        {64, 2 * 8 * PAIR}, {64, 2 * 3 * 64 * PAIR + 2 * PAIR}, {100, 2 * 24 * PAIR}, {100, 4 * 100 * PLOT_SIZE},
        {256, 2 * 5 * 256 * PAIR}};
    for (const auto& [n, memory] : cases) {
        SCOPED_TRACE(std::to_string(n) + " nonces, memory " + std::to_string(memory));
        poc1_dir_s d(n);
        for (const bool to_poc2 : {true, false}) {
            ASSERT_EQ(convert_file(path_of(d, n, !to_poc2), to_poc2, memory).status, CONVERT_DONE);
            expect_only(d, n, to_poc2);
        }
    }
}

// Files convert must not touch, each refused with its name and the reason.
TEST_F(convert_test, refusals_change_no_byte_and_leave_no_file) {
    enum setup_e { PLAIN, READ_ONLY, READ_ONLY_MOUNT, LOCKED, TWIN, SYMLINK, HARD_LINK, NO_JOURNAL, FULL };
    const std::string poc1 = plotfile_name(ACCOUNT, 0, 8, false), poc2 = plotfile_name(ACCOUNT, 0, 8, true);
    const uint64_t size = 8 * PLOT_SIZE, mib = 1 << 20;
    // What is wrong; the file to create and convert, its size, its setting, the memory; the reason the message gives.
    const std::tuple<const char*, std::string, uint64_t, setup_e, uint64_t, const char*> cases[] = {
        {"unfinished", poc1 + ".plotting", size, PLAIN, mib, "unfinished plot file"},
        {"short", poc1, size - 512, PLAIN, mib, "does not match its name"},
        {"long", poc1, size + 1, PLAIN, mib, "does not match its name"},
        {"short, named in the asked-for layout", poc2, size - 512, PLAIN, mib, "does not match its name"},
        {"stagger", poc2 + "_4", size, PLAIN, mib, "stagger"},
        {"read-only", poc1, size, READ_ONLY, mib, "the file is read-only"},
        {"read-only mount", poc1, size, READ_ONLY_MOUNT, mib, "read-only file system"},
        {"locked by a plot", poc1, size, LOCKED, mib, "a running plot is writing or moving it"},
        {"both names", poc1, size, TWIN, mib, "both"},
        {"not a plot name", "notes.txt", size, PLAIN, mib, "not a plot file name"},
        {"symbolic link", poc1, size, SYMLINK, mib, "symbolic link to "},
        {"hard link", poc1, size, HARD_LINK, mib, "2 names (hard links)"},
        {"journal not creatable", poc1, size, NO_JOURNAL, mib, "cannot create the journal"},
        {"memory too small", poc1, size, PLAIN, 100, "not enough memory for a step: 100 bytes allowed, at least 256 bytes needed"},
        {"disk nearly full", poc1, size, FULL, mib, "not enough free space for the journal"},
    };
    for (const auto& [what, name, bytes_size, setup, memory, why] : cases) {
        SCOPED_TRACE(what);
        test_dir_s d, elsewhere;
        std::string bytes = image(8, false);
        bytes.resize(bytes_size, 'x');
        const std::string file = setup == SYMLINK ? elsewhere.file(name) : d.file(name);
        test_write_file(file, bytes);
        ASSERT_EQ(setup == SYMLINK     ? symlink(file.c_str(), d.file(name).c_str())
                  : setup == HARD_LINK ? link(file.c_str(), elsewhere.file("other name").c_str())
                  : setup == READ_ONLY ? chmod(file.c_str(), 0444) : 0, 0);
        if (setup == TWIN) test_write_file(path_of(d, 8, true), bytes);
        if (setup == READ_ONLY_MOUNT) sys_syscalls().access = [](const char* p, int mode) { return mode == W_OK ? (errno = EROFS, -1) : access(p, mode); };
        if (setup == NO_JOURNAL)
            sys_syscalls().open = [](const char* p, int f, mode_t m) {
                return std::strstr(p, ".converting") ? (errno = EACCES, -1) : open(p, f, m);
            };
        if (setup == FULL) sys_syscalls().statvfs = [](const char*, struct statvfs* info) { return *info = {}, 0; };
        const int64_t lock = setup == LOCKED ? test_create_file(file, 0) : 0;
        const std::vector<std::string> before = test_list(d.path);
        const convert_result_s r = convert_file(d.file(name), true, memory);
        sys_file_close(lock);
        install_hooks(FAULT_NONE, 0);
        EXPECT_EQ(r.status, CONVERT_REFUSED) << r.message;
        EXPECT_TRUE(test_holds(r.message, name));
        EXPECT_TRUE(test_holds(r.message, why));
        EXPECT_EQ(test_list(d.path), before);
        EXPECT_TRUE(test_read_file(file) == bytes);
    }
}

// Every system call of the conversion fails once in turn (a failing write leaves half its bytes);
// then a rerun, given the old or the new name in turn and with other memory, must finish
// the file byte-exact under its new name alone.
TEST_F(convert_test, a_fault_at_any_call_leaves_a_file_that_a_rerun_finishes) {
    ASSERT_EQ(convert_file(path_of(poc1_dir_s(), N, false), true, MEMORY).status, CONVERT_DONE);
    uint64_t totals[FAULT_NONE];
    for (int call = 0; call < FAULT_NONE; ++call) totals[call] = fault_calls((fault_call_e)call);
    ASSERT_GE(totals[FAULT_PWRITE], 13u);  // header, then per step two slot writes and two piece writes
    uint64_t runs = 0;  // alternates the name and the memory of the reruns
    for (int kind = 0; kind < FAULT_NONE; ++kind) {
        const fault_call_e call = (fault_call_e)kind;
        for (uint64_t nth = 1; nth <= totals[call]; ++nth) {
            SCOPED_TRACE(std::string(fault_call_name(call)) + " call " + std::to_string(nth));
            poc1_dir_s d;
            install_hooks(call, nth);
            const convert_result_s faulted = convert_file(path_of(d, N, false), true, MEMORY);
            install_hooks(FAULT_NONE, 0);
            const bool by_new_name = (++runs % 2) == 0;
            const convert_result_s rerun = convert_file(path_of(d, N, by_new_name), true, MEMORY / (1 + runs % 3));
            EXPECT_TRUE(rerun.status == CONVERT_DONE || rerun.status == CONVERT_ALREADY) << rerun.message;
            EXPECT_TRUE(faulted.status != CONVERT_DONE || rerun.status == CONVERT_ALREADY) << faulted.message;
            expect_only(d, N, true);
        }
    }
    for (const fault_call_e call : {FAULT_PWRITE, FAULT_FDATASYNC, FAULT_FSYNC, FAULT_RENAME, FAULT_UNLINK})
        EXPECT_GT(totals[call], 0u) << fault_call_name(call) << " is never called";
}

// A read error while a rerun reads the journal or the file must stop it, not pass for a
// torn slot: going on after an older step would journal half-converted scoops as originals.
TEST_F(convert_test, a_read_error_while_resuming_stops_the_rerun_and_the_next_one_finishes) {
    const uint64_t step2_low_piece = 8;  // pwrite calls: header, then slot header, halves, low, high per step
    for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE("pread call " + std::to_string(nth) + " of the first rerun");
        poc1_dir_s d;
        install_hooks(FAULT_PWRITE, step2_low_piece);
        ASSERT_EQ(convert_file(path_of(d, N, false), true, MEMORY).status, CONVERT_FAILED);
        install_hooks(FAULT_PREAD, nth);
        const convert_result_s first = convert_file(path_of(d, N, false), true, MEMORY);
        const bool reached = fault_calls(FAULT_PREAD) >= nth;
        install_hooks(FAULT_NONE, 0);
        const convert_result_s second = convert_file(path_of(d, N, true), true, MEMORY);
        EXPECT_TRUE(second.status == CONVERT_DONE || (!reached && second.status == CONVERT_ALREADY)) << second.message;
        expect_only(d, N, true);
        EXPECT_EQ(reached, first.status == CONVERT_FAILED) << first.message;
        if (!reached) break;
    }
}

// A rerun says it resumes (in the log, and in the result the CLI reports) only when the
// journal holds a whole step, which it then finishes. A journal cut short after its header
// (its first sync failed), or one whose first slot is torn, means no step was done: the
// rerun converts from the start without that word. Journals carry the magics naming Kestrune.
TEST_F(convert_test, a_rerun_says_resuming_only_when_a_step_was_done) {
    // What the run met; the call that failed and which of its calls; whether a step was done.
    const std::tuple<const char*, fault_call_e, uint64_t, bool> cases[] = {
        {"header only", FAULT_FDATASYNC, 1, false},
        {"first slot torn", FAULT_PWRITE, 2, false},  // pwrite calls: header, then slot header, halves, ...
        {"second step's piece fails", FAULT_PWRITE, 8, true}};
    for (const auto& [what, call, nth, step_done] : cases) {
        SCOPED_TRACE(what);
        poc1_dir_s d;
        install_hooks(call, nth);
        ASSERT_EQ(convert_file(path_of(d, N, false), true, MEMORY).status, CONVERT_FAILED);
        install_hooks(FAULT_NONE, 0);
        const std::string journal = test_read_file(convert_journal_path(path_of(d, N, false)));
        EXPECT_EQ(journal.substr(0, 8), "KESTRNJ1");  // new journals carry the magics naming Kestrune
        EXPECT_TRUE(!step_done || (journal.find("KESTRNS1") != std::string::npos &&
                                   journal.find("STRSLOT1") == std::string::npos));
        testing::internal::CaptureStderr();
        const convert_result_s rerun = convert_file(path_of(d, N, false), true, MEMORY);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rerun.status, CONVERT_DONE) << rerun.message;
        EXPECT_EQ(rerun.resumed, step_done);
        EXPECT_EQ(log.find("resum") != std::string::npos, step_done) << log;
        expect_only(d, N, true);
    }
}

namespace {

// The journal checksum as the converter documents it.
uint64_t journal_checksum(const std::string& bytes) {
    constexpr uint64_t K1 = 0x9e3779b97f4a7c15ull, K2 = 0xc2b2ae3d27d4eb4full;
    const auto rotl31 = [](uint64_t x) { return x << 31 | x >> 33; };
    const uint64_t n = bytes.size();
    uint64_t lanes[4] = {K1, K2, K1 ^ K2, n};
    uint64_t done = 0;
    for (; done + 32 <= n; done += 32)
        for (int l = 0; l < 4; ++l) {
            uint64_t word = 0;
            std::memcpy(&word, bytes.data() + done + 8 * l, 8);
            lanes[l] = rotl31(lanes[l] + word * K2) * K1;
        }
    uint64_t h = n * K1;
    for (; done < n; ++done) h = (h ^ (uint8_t)bytes[done]) * K2;
    for (uint64_t lane : lanes) h = ((h ^ lane) * K1) ^ (h >> 29);
    return h ^ (h >> 32);
}

std::string words_of(std::initializer_list<uint64_t> words) {
    std::string bytes;
    for (uint64_t w : words) bytes.append((const char*)&w, 8);
    return bytes;
}

}  // namespace

// A conversion in flight under an earlier release ("STRCNVJ1" journal, "STRSLOT1" slots)
// finishes byte-exact: the journal holds the first step (scoop pair 0 and 4095 of every
// nonce) and the crash tore the file after the low piece was written back exchanged.
TEST_F(convert_test, a_journal_of_an_earlier_release_is_finished) {
    const uint64_t n = N, half = SCOOP_SIZE / 2, capacity = n * 2 * half;
    const std::string& poc1 = image(n, false);
    const uint64_t low = 0, high = (SCOOPS_PER_PLOT - 1) * n * SCOOP_SIZE;  // rows of scoop 0 and 4095
    std::string halves, torn = poc1;
    for (uint64_t row : {low, high})
        for (uint64_t i = 0; i < n; ++i) halves += poc1.substr(row + i * SCOOP_SIZE + half, half);
    for (uint64_t i = 0; i < n; ++i)
        torn.replace(low + i * SCOOP_SIZE + half, half, poc1.substr(high + i * SCOOP_SIZE + half, half));
    std::string header = words_of({0x314a564e43525453ull, ACCOUNT, 0, n, 1, capacity});  // "STRCNVJ1"
    header += words_of({journal_checksum(header)});
    // Step 1 sits in slot 1; slot 0 was never written.
    std::string slot = words_of({0x31544f4c53525453ull, 1, 0, 1, 0, n, journal_checksum(halves)});  // "STRSLOT1"
    slot += words_of({journal_checksum(slot)});
    const uint64_t slot1 = 4096 + (4096 + capacity);
    std::string journal(slot1 + 4096 + capacity, '\0');
    journal.replace(0, header.size(), header);
    journal.replace(slot1, slot.size(), slot);
    journal.replace(slot1 + 4096, capacity, halves);

    test_dir_s d;
    test_write_file(path_of(d, n, false), torn);
    test_write_file(convert_journal_path(path_of(d, n, false)), journal);
    const convert_result_s rerun = convert_file(path_of(d, n, false), true, MEMORY);
    EXPECT_EQ(rerun.status, CONVERT_DONE) << rerun.message;
    EXPECT_TRUE(rerun.resumed);
    expect_only(d, n, true);
}

// A stop asked before step k + 1 of three ends the run there with the old name and the
// journal kept and the steps done so far on the disk; a rerun by either name finishes it
// byte-exact, and says it resumed only when a step had been done.
TEST_F(convert_test, a_stop_between_steps_leaves_the_journal_and_a_rerun_finishes) {
    for (const uint64_t k : {0, 1, 2}) {
        SCOPED_TRACE("stop after step " + std::to_string(k));
        poc1_dir_s d;
        uint64_t asked = 0, last_done = 0;
        const convert_result_s stopped = convert_file(
            path_of(d, N, false), true, MEMORY, [&](uint64_t done, uint64_t) { last_done = done; },
            [&] { return asked++ == k; });
        EXPECT_EQ(stopped.status, CONVERT_STOPPED) << stopped.message;
        EXPECT_EQ(asked, k + 1);
        EXPECT_EQ(test_list(d.path), (std::vector<std::string>{plotfile_name(ACCOUNT, 0, N, false),
                                                      plotfile_name(ACCOUNT, 0, N, false) + ".converting"}));
        EXPECT_EQ(last_done == 0, k == 0);
        EXPECT_EQ(stopped.bytes == 0, k == 0);
        const convert_result_s rerun = convert_file(path_of(d, N, k % 2 == 1), true, MEMORY);
        EXPECT_EQ(rerun.status, CONVERT_DONE) << rerun.message;
        EXPECT_EQ(rerun.resumed, k > 0);
        expect_only(d, N, true);
    }
}
