// The checker on real files: correct and damaged files in both orders, sampled and full,
// bad sizes and names, where the samples look, and asynchronous reads that fail.
#include <gtest/gtest.h>

#include <aio.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "check/check.h"
#include "nonce/nonce.h"
#include "platform/sys.h"
#include "test_support.h"

namespace {

constexpr uint64_t COUNT = 8;

// One row of files.tsv: a whole file and its name.
struct vector_file_s {
    std::string name;
    std::string data;
};

// The files.tsv file of `order`, rebuilt from the scalar reference nonces and held to its SHA-256.
const vector_file_s& vector_file(const std::string& order) {
    static std::map<std::string, vector_file_s> files;
    vector_file_s& file = files[order];
    if (!file.name.empty()) return file;
    for (const auto& row : test_read_vectors("files.tsv")) {
        if (row[3] != order) continue;
        const uint64_t account = std::stoull(row[0]), start = std::stoull(row[1]), n = std::stoull(row[2]);
        file.name = row[4];
        file.data.assign(n * PLOT_SIZE, 0);
        for (uint64_t i = 0; i < n; ++i)
            for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
                std::copy_n(test_reference_nonce(account, start + i, order == "poc2") + s * SCOOP_SIZE, SCOOP_SIZE,
                            &file.data[(s * n + i) * SCOOP_SIZE]);
        EXPECT_EQ(test_sha256_hex((const uint8_t*)file.data.data(), file.data.size()), row[6]) << order;
    }
    return file;
}

// A finished check of `data` written under `name`: the checker, the last title and text it
// showed, and its samples compared and bad.
struct check_run_s {
    checker_s* c = nullptr;
    std::string title, text;
    uint32_t compared = 0, bad = 0;
    check_run_s(const test_dir_s& dir, const std::string& name, const std::string* data, bool full) {
        if (data) test_write_file(dir.file(name), *data);
        c = check_start(dir.file(name).c_str(), full, [this](const char* t, const char* x) { title = t, text = x; }, 2);
        check_wait(c);
        check_counts(c, &compared, &bad);
    }
    ~check_run_s() { check_destroy(c); }
};

enum damage_e { INTACT, ODD_SCOOPS_ZEROED, LATE_SCOOPS_FLIPPED, ONE_NONCE_LATE_SCOOP };

std::string damaged(std::string data, damage_e damage) {
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        for (uint64_t i = 0; i < COUNT; ++i) {
            char* scoop = &data[(s * COUNT + i) * SCOOP_SIZE];
            if (damage == ODD_SCOOPS_ZEROED && s % 2) std::fill_n(scoop, SCOOP_SIZE, 0);
            if (damage == LATE_SCOOPS_FLIPPED && s > 3540) scoop[40] ^= 1;
            if (damage == ONE_NONCE_LATE_SCOOP && s == 4000 && i == 5) scoop[63] ^= (char)0x80;
        }
    return data;
}

int failing_directory_fd = -1;
int submissions = 0;

// Every third read is refused at submission, every third one after that is pointed at a
// folder so it fails once running; the rest are real.
int unreliable_aio_read(aio_request* request) {
    const int turn = submissions++ % 3;
    if (turn == 0) return errno = EINVAL, -1;
    if (turn == 1) request->aio_fildes = failing_directory_fd;
    return aio_read(request);
}

}  // namespace

// Bad samples of 1770 (sampled) lie in [low, high]; a full check counts exactly `low` bad nonces.
// Refused and failed asynchronous reads are read again directly, with true verdicts.
TEST(check, good_files_pass_and_damage_anywhere_is_found) {
    struct case_s {
        const char* order;   // files.tsv row whose bytes are written
        bool poc2_name;      // written under the three-number name
        damage_e damage;
        bool full;
        uint32_t low, high;  // expected bad samples (or bad nonces)
        bool unreliable_reads = false;
    } cases[] = {
        {"poc1", false, INTACT, false, 0, 0, true},
        {"poc1", false, INTACT, false, 0, 0},
        {"poc2", true, INTACT, false, 0, 0},
        {"poc1", true, INTACT, false, 1770, 1770},  // PoC1 bytes compared in PoC2 order
        {"poc1", false, ODD_SCOOPS_ZEROED, false, 700, 1070},
        {"poc2", true, ODD_SCOOPS_ZEROED, false, 700, 1070},
        {"poc2", true, LATE_SCOOPS_FLIPPED, false, 150, 340},  // ~240 of 1770 samples land there
        {"poc1", false, INTACT, true, 0, 0},
        {"poc2", true, INTACT, true, 0, 0},
        {"poc1", false, ODD_SCOOPS_ZEROED, true, COUNT, COUNT},
        {"poc1", false, ONE_NONCE_LATE_SCOOP, true, 1, 1},
        {"poc2", true, ONE_NONCE_LATE_SCOOP, true, 1, 1},
    };
    test_dir_s dir;
    failing_directory_fd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(failing_directory_fd, 0);
    std::vector<std::vector<uint8_t>> odd_patterns;  // match flags of the odd-scoop checks
    for (const case_s& t : cases) {
        const vector_file_s& file = vector_file(t.order);
        const std::string name = t.poc2_name ? vector_file("poc2").name : vector_file("poc1").name;
        const std::string data = damaged(file.data, t.damage);
        if (t.unreliable_reads) sys_syscalls().aio_read = unreliable_aio_read;
        const check_run_s run(dir, name, &data, t.full);
        sys_syscalls_reset();
        const std::string label = std::string(t.order) + " as " + name + " damage " + std::to_string(t.damage) +
                                  (t.unreliable_reads ? " unreliable reads" : "");
        EXPECT_EQ(run.c->result, CHECK_FINISHED) << label;
        if (t.full) {
            EXPECT_EQ(run.c->nonces_checked.load(), COUNT) << label;
            EXPECT_EQ(run.c->nonces_bad.load(), t.low) << label;
        } else {
            EXPECT_EQ(run.compared, (uint32_t)CHECK_SAMPLES) << label;
            EXPECT_GE(run.bad, t.low) << label;
            EXPECT_LE(run.bad, t.high) << label;
        }
        if (t.damage == ODD_SCOOPS_ZEROED && !t.full) odd_patterns.emplace_back();
        for (int32_t k = 0; k < CHECK_SAMPLES && t.damage == ODD_SCOOPS_ZEROED && !t.full; ++k)
            odd_patterns.back().push_back(run.c->samples[k].match.load());
    }
    close(failing_directory_fd);
    EXPECT_GT(submissions, 0);
    // Each check draws its own places: the same damage gives another pattern of verdicts.
    ASSERT_EQ(odd_patterns.size(), 2u);
    EXPECT_NE(odd_patterns[0], odd_patterns[1]);
}

// Plans for files longer than the sample count, wrapping at the end: every sample lies in the
// piece that serves it, scoops and nonces reach the ends, the work stays about 1770 nonces.
TEST(check, sample_plans_cover_the_whole_file_in_lane_runs) {
    for (uint64_t count : {1771ull, 1000000ull})
        for (uint64_t seed = 1; seed <= 4; ++seed) {
            const check_plan_s plan = check_plan_samples(count, CHECK_SAMPLES, 16, seed);
            uint64_t computed = 0, served = 0, late = 0, odd = 0, last = 0;
            for (size_t p = 0; p < plan.pieces.size(); ++p) {
                const check_piece_s& piece = plan.pieces[p];
                ASSERT_LE(piece.index + piece.count, count);
                computed += piece.count;
                for (int32_t k : plan.piece_samples[p]) {
                    ++served;
                    ASSERT_TRUE(plan.index[k] >= piece.index && plan.index[k] < piece.index + piece.count) << k;
                    ASSERT_LT(plan.scoop[k], SCOOPS_PER_PLOT);
                    late += plan.scoop[k] > 3540;
                    odd += plan.scoop[k] % 2;
                    last = std::max(last, plan.index[k]);
                }
            }
            EXPECT_EQ(served, (uint64_t)CHECK_SAMPLES);
            EXPECT_LE(computed, CHECK_SAMPLES + 16u);
            EXPECT_GT(late, 150u);
            EXPECT_GT(odd, 700u);
            EXPECT_GE(last, count - count / 10);
        }
    EXPECT_NE(check_plan_samples(1000000, CHECK_SAMPLES, 16, 1).index,
              check_plan_samples(1000000, CHECK_SAMPLES, 16, 2).index);
}

TEST(check, names_sizes_and_missing_files_give_their_messages) {
    const char* NOT_OPTIMIZED = "Only optimized files are supported. Why would you plot anything else? :)";
    struct case_s {
        const char* name;
        int64_t size_change;  // bytes added to a file of 8 nonces
        bool written;         // false: no file at all
        check_result_e result;
        const char* title;
        const char* text;
    } cases[] = {
        {"123_0_8_8", -1, true, CHECK_BAD_SIZE, "Error", "File has incorrect size."},
        {"123_0_8", 1, true, CHECK_BAD_SIZE, "Error", "File has incorrect size."},
        {"123_0_8_8", 0, false, CHECK_NO_FILE, "Error", "Cannot open the plot file."},
        {"plot.dat", 0, true, CHECK_BAD_NAME, "Error", "Incorrect filename format for plotfile."},
        {"12_x_3", 0, true, CHECK_BAD_NAME, "Error", "Incorrect filename format for plotfile."},
        {"1_2_0", 0, true, CHECK_BAD_NAME, "Error", "Incorrect filename format for plotfile."},
        // A stagger of 0 is not the PoC2 form either: it was once checked as one.
        {"1_2_8_4", 0, true, CHECK_NOT_OPTIMIZED, "Sorry", NOT_OPTIMIZED},
        {"1_2_8_0", 0, true, CHECK_NOT_OPTIMIZED, "Sorry", NOT_OPTIMIZED},
    };
    test_dir_s dir;
    for (const case_s& t : cases) {
        const std::string data(COUNT * PLOT_SIZE + t.size_change, 0);
        const check_run_s run(dir, t.name, t.written ? &data : nullptr, false);
        EXPECT_EQ(run.c->result, t.result) << t.name;
        EXPECT_EQ(run.title, t.title) << t.name;
        EXPECT_EQ(run.text, t.text) << t.name;
        std::remove(dir.file(t.name).c_str());
    }
}
