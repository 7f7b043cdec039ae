// The checker on real files: correct and damaged files in both orders, sampled and full,
// bad sizes and names, where the samples look, and asynchronous reads that fail.

#include <aio.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <tuple>

#include "check/check.h"
#include "platform/sys.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 7900104405094198526ull;
constexpr uint64_t COUNT = 8;
const char* const NAMES[] = {"7900104405094198526_0_8_8", "7900104405094198526_0_8"};  // PoC1, PoC2

// A finished check of `data` (none: no file) written under `name`: the checker, the last
// title and text it showed, and its samples compared and bad.
struct check_run_s {
    checker_s* c = nullptr;
    std::string title, text;
    uint32_t compared = 0, bad = 0;
    check_run_s(const test_dir_s& dir, const std::string& name, const std::string* data, bool full) {
        if (data) test_write_file(dir.file(name), *data);
        check_options_s options;
        options.full = full;
        options.workers = 2;
        options.message = [this](const char* t, const char* x) { title = t, text = x; };
        c = check_start(dir.file(name).c_str(), options);
        check_wait(c);
        check_counts(c, &compared, &bad);
    }
    ~check_run_s() { check_destroy(c); }
};

enum damage_e { INTACT, ODD_SCOOPS_ZEROED, LATE_SCOOPS_FLIPPED, ONE_NONCE_LATE_SCOOP };

// The eight-nonce file of ACCOUNT in PoC1 or PoC2 order from the scalar reference nonces (the
// bytes of the files.tsv files, which the writer's tests hold to their digests), damaged.
std::string plot_bytes(bool poc2, damage_e damage) {
    std::string data(COUNT * PLOT_SIZE, 0);
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        for (uint64_t i = 0; i < COUNT; ++i) {
            char* scoop = &data[(s * COUNT + i) * SCOOP_SIZE];
            std::copy_n(test_reference_nonce(ACCOUNT, i, poc2) + s * SCOOP_SIZE, SCOOP_SIZE, scoop);
            if (damage == ODD_SCOOPS_ZEROED && s % 2) std::fill_n(scoop, SCOOP_SIZE, 0);
            if (damage == LATE_SCOOPS_FLIPPED && s > 3540) scoop[40] ^= 1;
            if (damage == ONE_NONCE_LATE_SCOOP && s == 4000 && i == 5) scoop[63] ^= (char)0x80;
        }
    return data;
}

int failing_directory_fd = -1, submissions = 0;

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
    // PoC2 order written, under the three-number name; the damage; a full check; the expected bad
    // samples (or bad nonces) from low to high; asynchronous reads that fail.
    const std::tuple<bool, bool, damage_e, bool, uint32_t, uint32_t, bool> cases[] = {
        {false, false, INTACT, false, 0, 0, true},
        {true, true, INTACT, false, 0, 0, false},
        {false, true, INTACT, false, 1770, 1770, false},  // PoC1 bytes compared in PoC2 order
        {false, false, ODD_SCOOPS_ZEROED, false, 700, 1070, false},
        {true, true, ODD_SCOOPS_ZEROED, false, 700, 1070, false},
        {true, true, LATE_SCOOPS_FLIPPED, false, 150, 340, false},  // ~240 of 1770 samples land there
        {true, true, INTACT, true, 0, 0, false},
        {false, false, ODD_SCOOPS_ZEROED, true, COUNT, COUNT, false},
        {false, false, ONE_NONCE_LATE_SCOOP, true, 1, 1, false},
        {true, true, ONE_NONCE_LATE_SCOOP, true, 1, 1, false},
    };
    test_dir_s dir;
    failing_directory_fd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(failing_directory_fd, 0);
    std::vector<std::vector<uint8_t>> odd_patterns;  // match flags of the sampled odd-scoop checks
    for (const auto& [poc2_bytes, poc2_name, damage, full, low, high, unreliable_reads] : cases) {
        const std::string data = plot_bytes(poc2_bytes, damage);
        if (unreliable_reads) sys_syscalls().aio_read = unreliable_aio_read;
        const check_run_s run(dir, NAMES[poc2_name], &data, full);
        sys_syscalls_reset();
        SCOPED_TRACE(testing::Message() << "PoC2 bytes, name " << poc2_bytes << poc2_name << ", damage " << damage << ", full " << full);
        EXPECT_EQ(run.c->result, CHECK_FINISHED);
        EXPECT_EQ(run.c->nonces_total.load(), COUNT);  // a sampled verdict says how much of the file it saw
        EXPECT_EQ(full ? run.c->nonces_checked.load() : run.compared, full ? COUNT : CHECK_SAMPLES);
        const uint64_t bad = full ? run.c->nonces_bad.load() : run.bad;
        EXPECT_TRUE(bad >= low && bad <= high) << bad;
        if (damage != ODD_SCOOPS_ZEROED || full) continue;
        odd_patterns.emplace_back();
        for (int32_t k = 0; k < CHECK_SAMPLES; ++k) odd_patterns.back().push_back(run.c->samples[k].match.load());
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
                    // Unsigned: an index below the piece wraps to a huge difference.
                    ASSERT_TRUE(plan.index[k] - piece.index < piece.count && plan.scoop[k] < SCOOPS_PER_PLOT) << k;
                    late += plan.scoop[k] > 3540;
                    odd += plan.scoop[k] % 2;
                    last = std::max(last, plan.index[k]);
                }
            }
            EXPECT_EQ(served, (uint64_t)CHECK_SAMPLES);
            EXPECT_LE(computed, CHECK_SAMPLES + 16u);
            EXPECT_TRUE(late > 150 && odd > 700 && last >= count - count / 10) << late << " " << odd << " " << last;
        }
}

// Files that are not compared, each with its message: 8 nonces one byte short or long,
// missing, under a name that is no plot name or names a stagger that is not the count (the
// names themselves: the plot name tests). A file whose writer holds its lock, and an
// unfinished one: their missing nonces would only read as damage. A file with a conversion
// journal beside it (its own, or its old name's after the rename) may hold each order in
// part, and the message says how to finish the conversion; a running convert holds the lock.
// A journal of another range changes nothing.
TEST(check, files_that_cannot_be_compared_give_their_messages) {
    const std::map<check_result_e, std::string> messages = {
        {CHECK_BAD_SIZE, "Error|File has incorrect size."},
        {CHECK_NO_FILE, "Error|Cannot open the plot file."},
        {CHECK_BAD_NAME, "Error|Incorrect filename format for plotfile."},
        {CHECK_NOT_OPTIMIZED, "Sorry|Only optimized files are supported. Why would you plot anything else? :)"},
        {CHECK_BEING_WRITTEN, "Error|The file is being written; check it once plotting has finished."},
        {CHECK_UNFINISHED, "Error|The file is unfinished; finish plotting it before checking it."},
        {CHECK_FINISHED, "|"}};
    test_dir_s dir;
    const int64_t SIZE = COUNT * PLOT_SIZE;
    const std::string id = std::to_string(ACCOUNT), d = dir.path + "/", name = NAMES[0];
    const auto converting = [&](const std::string& journal, const std::string& file, const char* to) {
        return "Error|The file is being converted to " + std::string(to) + ": its journal " + d + journal +
               " lies beside it, and running `kestrune-cli convert " + d + file +
               (to == std::string("poc1") ? " --to poc1" : "") + "` again finishes it. Nothing was compared.";
    };
    // The file, its size (-1: no file), a conversion journal beside it, whether a writer or a
    // running convert holds it; the result and its message (empty: the result's own).
    const std::tuple<std::string, int64_t, std::string, bool, check_result_e, std::string> cases[] = {
        {"123_0_8_8", SIZE - 1, "", false, CHECK_BAD_SIZE, ""},
        {"123_0_8", SIZE + 1, "", false, CHECK_BAD_SIZE, ""},
        {"124_0_8_8", -1, "", false, CHECK_NO_FILE, ""},
        {"plot.dat", SIZE, "", false, CHECK_BAD_NAME, ""},
        {"1_2_8_4", SIZE, "", false, CHECK_NOT_OPTIMIZED, ""},
        {name, SIZE, "", true, CHECK_BEING_WRITTEN, ""},
        {name + ".plotting", SIZE, "", true, CHECK_BEING_WRITTEN, ""},
        {name + ".plotting", SIZE, "", false, CHECK_UNFINISHED, ""},
        {name + ".moving", SIZE, "", false, CHECK_UNFINISHED, ""},
        {id + "_0_8_8", SIZE, id + "_0_8_8.converting", false, CHECK_CONVERTING,
         converting(id + "_0_8_8.converting", id + "_0_8_8", "poc2")},
        {id + "_0_8", SIZE, id + "_0_8_8.converting", false, CHECK_CONVERTING,
         converting(id + "_0_8_8.converting", id + "_0_8", "poc2")},
        {id + "_0_8", SIZE, id + "_0_8.converting", false, CHECK_CONVERTING,
         converting(id + "_0_8.converting", id + "_0_8", "poc1")},
        {id + "_0_8_8", SIZE, id + "_0_8_8.converting", true, CHECK_CONVERTING,
         "Error|The file is being converted to poc2 by a running convert; check it once that has finished. "
         "Nothing was compared."},
        {id + "_0_8_8", SIZE, id + "_0_16_16.converting", false, CHECK_FINISHED, ""},
    };
    for (const auto& [file, bytes, journal, locked, result, message] : cases) {
        SCOPED_TRACE(file + " beside " + journal);
        if (bytes >= 0) test_write_file(dir.file(file), std::string(bytes, '\0'));
        if (!journal.empty()) test_write_file(dir.file(journal), std::string(4096, '\1'));
        const int64_t writer = locked ? test_create_file(dir.file(file), bytes) : 0;
        const check_run_s run(dir, file, nullptr, false);
        if (writer) sys_file_close(writer);
        EXPECT_EQ(run.c->result, result);
        EXPECT_EQ(run.title + "|" + run.text, message.empty() ? messages.at(result) : message);
        EXPECT_EQ(run.compared, result == CHECK_FINISHED ? (uint32_t)CHECK_SAMPLES : 0u);
        std::filesystem::remove(dir.file(file));
        if (!journal.empty()) std::filesystem::remove(dir.file(journal));
    }
}
