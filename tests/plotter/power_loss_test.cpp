// Power-loss replay of a short plot, a staged move and a convert. Each operation runs once with
// its file-system calls recorded through the system-call seam; then every state a power loss
// may leave at a sync or a name change (unsynced writes dropped, half kept or torn at 4 KiB;
// unsynced creates, renames and unlinks lost) is put into fresh folders and the same operation
// runs again. Every rerun must end byte-exact with the recorded run, with nothing stray. Also:
// once the program has finished, a power loss changes nothing; a plot never starts over from
// nonce 0 (a crash leaves either its record or its tail); and once a plot's data has been
// synced, its unfinished file keeps its name through any crash.
//
// The default suite takes the states at the syncs and name changes; KESTRUNE_REPLAY_POINTS=n
// (scripts/power_loss.sh) adds n points inside every run of writes, for a larger run.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "engine_support.h"
#include "nonce/cpu.h"
#include "platform/crash_replay.h"
#include "platform/sys.h"
#include "plotfile/convert.h"
#include "plotfile/plotfile.h"

namespace {

constexpr uint64_t ACCOUNT = 7900104405094198526ull;
constexpr uint64_t PLOT_NONCES = 48;  // three batches of 16; the last one reaches into the tail
constexpr uint64_t PLOT_BATCH = 16;
constexpr uint64_t FILE_NONCES = 16;  // the staged file and the file converted
constexpr uint64_t CONVERT_MEMORY = 2 * 700 * FILE_NONCES * 2 * SCOOP_SIZE;  // three steps

// Nonces computed once per process by the real CPU code and handed out again from memory, so
// that the many reruns of the plot cost no hashing.
std::map<uint64_t, std::string> computed;  // nonce -> its PLOT_SIZE bytes, PoC1 order

uint64_t remembered_batch(batch_buffer_s* batch, uint64_t account, uint64_t first, uint64_t count, cpu_family_e family,
                          int32_t threads, uint64_t sector_nonces, const std::atomic<bool>* stop,
                          std::atomic<uint64_t>* progress) {
    bool known = true;
    for (uint64_t i = 0; i < count; ++i) known = known && computed.count(first + i);
    if (!known) {
        const uint64_t done = cpu_plot_batch(batch, account, first, count, family, threads, sector_nonces, stop, progress);
        for (uint64_t i = 0; i < done; ++i)
            for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
                computed[first + i].append((const char*)batch->data + (s * batch->capacity + i) * SCOOP_SIZE, SCOOP_SIZE);
        return done;
    }
    for (uint64_t i = 0; i < count; ++i) nonce_scatter((const uint8_t*)computed[first + i].data(), batch, i);
    return *progress = count;
}

// Bytes that stand for a plot where nothing checks the nonces (a move and a convert): each
// 8-byte word holds its own offset, so no two scoop halves are alike.
std::string pattern() {
    std::string bytes(FILE_NONCES * PLOT_SIZE, '\0');
    for (uint64_t i = 0; i < bytes.size(); i += 8) std::memcpy(&bytes[i], &i, 8);
    return bytes;
}

// Plots the file of `nonces` onto the target folder, or moves the staged one there when an SSD
// folder is given; true when the run ended well.
bool run_plot(const std::string& target_folder, const std::string& ssd_folder, uint64_t nonces) {
    return engine_plot(target_folder, ssd_folder, ACCOUNT, nonces, PLOT_BATCH, remembered_batch) == 0;
}

// The PoC1 file of FILE_NONCES in the folder.
std::string file_path(const std::string& folder) { return folder + "/" + plotfile_name(ACCOUNT, 0, FILE_NONCES, false); }

using folder_list = std::vector<std::string>;  // the folders an operation works in

// One operation to replay: how its folders start, and the operation itself (true when it
// ended well), given the folders it works in.
struct scenario_s {
    const char* name;
    size_t folders;
    std::function<void(const folder_list& folders)> prepare;
    std::function<bool(const folder_list& folders)> run;
    std::string progress_name;  // a file whose synced data must keep its name (or this name without ".plotting")
    std::vector<std::string> paths;  // log lines some rerun must reach: the recovery paths the states exercise
};

folder_list paths_of(const std::vector<test_dir_s>& dirs) {
    folder_list paths;
    for (const test_dir_s& d : dirs) paths.push_back(d.path);
    return paths;
}

// The checks of one state that need no rerun: what a finished operation made stays, and
// synced progress keeps its name.
std::string check_image(const scenario_s& sc, const crash_recording_s& rec, const crash_state_s& state,
                        const crash_image_s& image, const crash_image_s& expected, size_t progress_synced) {
    if (state.cut == rec.ops.size()) {
        const std::string diff = crash_image_diff(expected, image);
        if (!diff.empty()) return "after the operation ended, a power loss changes its result: " + diff;
    }
    if (!sc.progress_name.empty() && state.cut > progress_synced) {
        const std::string plain = sc.progress_name.substr(0, sc.progress_name.size() - std::string(".plotting").size());
        if (!image.names.count({0, sc.progress_name}) && !image.names.count({0, plain}))
            return sc.progress_name + " lost its name after its data was synced";
    }
    return "";
}

// Records the operation, reruns it on every distinct state a power loss may leave, and expects
// each rerun to end well and byte-exact with the recorded run.
void expect_all_survive(const scenario_s& sc) {
    size_t states = 0;
    std::vector<std::string> failures;      // one line per state that failed, with why
    std::map<std::string, size_t> reached;  // reruns whose log has each of the scenario's lines
    const auto began = std::chrono::steady_clock::now();
    test_dir_s work;  // log.txt of every run
    ASSERT_EQ(chdir(work.path.c_str()), 0);

    const std::vector<test_dir_s> original_dirs(sc.folders);
    const folder_list originals = paths_of(original_dirs);
    sc.prepare(originals);
    crash_recording_s rec;
    crash_record_start(&rec, originals);
    const bool recorded_ok = sc.run(originals);
    crash_record_stop();
    if (!recorded_ok) failures.push_back("the recorded run failed:\n" + test_read_file(work.file("log.txt")));
    const crash_image_s expected = crash_read_folders(originals);
    const std::string model = crash_image_diff(expected, crash_image(rec, {rec.ops.size()}));
    if (!model.empty()) failures.push_back("the recording does not rebuild the run's result:\n" + model);
    const size_t progress_synced = sc.progress_name.empty() ? SIZE_MAX : crash_first_sync(rec, {0, sc.progress_name});
    if (!sc.progress_name.empty() && progress_synced == SIZE_MAX) failures.push_back(sc.progress_name + " is never synced");

    const char* points = std::getenv("KESTRUNE_REPLAY_POINTS");  // more points inside each run of writes
    const std::vector<size_t> cuts = crash_cuts(rec, points ? std::strtoull(points, nullptr, 10) : 0);
    std::set<std::string> seen;
    for (const size_t cut : cuts) {
        for (int data = 0; data < CRASH_DATA_COUNT; ++data) {
            for (int names = 0; names < CRASH_NAMES_COUNT; ++names) {
                const crash_state_s state{cut, (crash_data_e)data, (crash_names_e)names};
                const crash_image_s image = crash_image(rec, state);
                std::string why = check_image(sc, rec, state, image, expected, progress_synced);
                if (!seen.insert(crash_image_key(image)).second && why.empty()) continue;
                ++states;
                const std::vector<test_dir_s> scratch_dirs(sc.folders);
                const folder_list scratch = paths_of(scratch_dirs);
                crash_materialize(image, scratch);
                // Reruns need no durability; syncs that do nothing keep them off the disk's queue.
                sys_syscalls().fdatasync = [](int) { return 0; };
                sys_syscalls().fsync = [](int) { return 0; };
                sys_log_reset_for_tests();
                const bool ok = sc.run(scratch);
                sys_syscalls_reset();
                const std::string log = test_read_file(work.file("log.txt"));
                for (const std::string& line : sc.paths) reached[line] += log.find(line) != std::string::npos;
                const std::string diff = crash_image_diff(expected, crash_read_folders(scratch));
                if (!ok) why += "the rerun failed; ";
                if (!diff.empty()) why += "the rerun ended with other files: " + diff;
                if (log.find("incorrect resume data") != std::string::npos) why += "the rerun started over from nonce 0; ";
                if (!why.empty()) failures.push_back(crash_state_text(state) + ": " + why + "\nlog:\n" + log);
            }
        }
    }
    EXPECT_EQ(chdir("/"), 0);
    std::printf("power-loss replay of %s: %zu recorded ops, %zu points, %zu distinct states rerun in %.1f s\n", sc.name,
                rec.ops.size(), cuts.size(), states,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    if (std::getenv("KESTRUNE_REPLAY_ALL_FAILURES"))
        for (const std::string& f : failures) std::printf("%s\n", f.substr(0, f.find('\n')).c_str());
    EXPECT_GE(states, 5u);  // a recording that missed the calls would leave one or two
    for (const std::string& line : sc.paths) EXPECT_GT(reached[line], 0u) << "no rerun logs: " << line;
    EXPECT_EQ(failures.size(), 0u) << failures.size() << " states failed; the first:\n"
                                   << (failures.empty() ? "" : failures[0]);
}

}  // namespace

// A plot of three batches straight onto its target: creating the unfinished file, two batches
// with their records, the last batch split before the file's last sector, the rename.
TEST(power_loss, a_plot_ends_byte_exact_from_every_state) {
    const std::string unfinished = plotfile_name(ACCOUNT, 0, PLOT_NONCES, false) + ".plotting";
    expect_all_survive({"a plot", 1, [](const folder_list&) {},
                        [](const folder_list& f) { return run_plot(f[0], "", PLOT_NONCES); }, unfinished,
                        {"  resuming from nonce 16\n", "  resuming from nonce 32\n", "  resuming from nonce 40\n",
                         "  the file is complete: its last 8 nonces are on the disk\n"}});
}

// A finished staged file moved to its target: the copy under a temporary name, its sync,
// the rename, the staged file's deletion.
TEST(power_loss, a_staged_move_ends_byte_exact_from_every_state) {
    expect_all_survive({"a staged move", 2, [](const folder_list& f) { test_write_file(file_path(f[1]), pattern()); },
                        [](const folder_list& f) { return run_plot(f[0], f[1], FILE_NONCES); }, "",
                        {"Move of 0 completed\n", "already has the same bytes; deleting the staged copy"}});
}

// A conversion to PoC2 in three journalled steps, its rename and the journal's deletion.
TEST(power_loss, a_convert_ends_byte_exact_from_every_state) {
    expect_all_survive({"a convert", 1, [](const folder_list& f) { test_write_file(file_path(f[0]), pattern()); },
                        [](const folder_list& f) {
                            const convert_result_s r = convert_file(file_path(f[0]), true, CONVERT_MEMORY);
                            return r.status == CONVERT_DONE || r.status == CONVERT_ALREADY;
                        },
                        "", {"  resuming: finishing step 1 from the journal\n", "  resuming: finishing step 3 from the journal\n"}});
}
