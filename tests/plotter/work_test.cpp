// The work thread end to end on real files: finished runs (direct, staged, paced), moves,
// faults that end a job, staged files that never replace a target's file, and files completed
// from their tail or on stop. Kill and resume are the CLI's interruption tests.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <thread>

#include "engine_support.h"
#include "platform/fault_injection.h"
#include "platform/sys.h"
#include "plotfile/convert.h"
#include "plotfile/plotfile.h"
#include "settings/settings.h"

namespace {

constexpr uint64_t ACCOUNT = 7900104405094198526ull;

// The folders of one case (staging folder s, targets a and b) with their drive records.
struct drives_s {
    test_dir_s s, a, b;
    drive_s ssd = engine_drive(s.path, true), ta = engine_drive(a.path, false), tb = engine_drive(b.path, false);
};

// Each test runs in a folder of its own, which takes log.txt.
struct work_fixture : ::testing::Test {
    plots_s plots;
    plotter_s* plotter = plotter_create();
    plan_input_s input;
    test_dir_s work;
    void SetUp() override {
        ASSERT_EQ(chdir(work.path.c_str()), 0);
        sys_log_reset_for_tests();
        settings_reset();
        input.account_id = ACCOUNT;
        input.auto_start = false;
    }
    void TearDown() override {
        plotter_destroy(plotter);
        sys_syscalls_reset();
        sys_log_reset_for_tests();
        EXPECT_EQ(chdir("/"), 0);
    }
    // The drives the next plan takes, with a fill of `fill` nonces per target.
    void route(const std::vector<drive_s*>& ssds, const std::vector<drive_s*>& targets, uint64_t fill) {
        input.ssds = ssds;
        input.targets = targets;
        input.max_fill_bytes = fill * PLOT_SIZE;
    }
    std::string log() const { return test_read_file(work.file("log.txt")); }
    // A fresh plotter and log for the next case.
    void next_case() {
        plotter_destroy(plotter);
        plotter = plotter_create();
        plots = plots_s();
        sys_log_reset_for_tests();
        std::remove(work.file("log.txt").c_str());
    }
};

std::string name_of(uint64_t start, uint64_t count, bool poc2 = false) { return plotfile_name(ACCOUNT, start, count, poc2); }

// Checks that the folders hold just the files "folder:start+count ...", in name order, each
// with the reference nonces.
void expect_plots(const drives_s& d, const std::string& files, bool poc2) {
    const std::map<char, const test_dir_s*> dirs = {{'s', &d.s}, {'a', &d.a}, {'b', &d.b}};
    std::map<char, std::vector<std::string>> names;
    std::istringstream list(files);
    char folder, colon, plus;
    for (uint64_t start, count; list >> folder >> colon >> start >> plus >> count;) {
        names[folder].push_back(name_of(start, count, poc2));
        EXPECT_EQ(engine_bad_nonces(dirs.at(folder)->file(names[folder].back()), ACCOUNT, start, count, poc2), 0) << files;
    }
    for (const auto& [folder, dir] : dirs) EXPECT_EQ(engine_list(dir->path), names[folder]) << folder;
}

// Every unfinished file renamed so far was renamed while its writer held its lock.
bool renamed_while_locked = true;
int rename_noting_lock(const char* from, const char* to) {
    if (std::strstr(from, ".plotting")) renamed_while_locked = renamed_while_locked && sys_file_locked(from);
    return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

}  // namespace

// Runs that end with every file complete and correct on its target and the staging folder s
// empty: direct PoC1 with two files per target; PoC2 staged through s; staging in the target
// folder itself (same spelling, or with a trailing slash: moving the file onto itself must
// not delete it); a file that is not a whole number of batches. A finished file is renamed
// while its writer still holds it, so nobody can take it over under its unfinished name.
// The drives count the bytes written or moved onto them while a reader watches the counts. A
// paced run (buffers shaped by the measured stages) writes the same bytes and says its choice.
TEST_F(work_fixture, runs_finish_every_file) {
    struct case_s {
        const char* ssd;                 // staging folder: none, "s", or the target folder "a" or "a/"
        int targets;                     // a, or a and b
        bool poc2;
        uint64_t fill, max_file, batch;  // nonces per target and per file; buffers the memory gives
        std::string files;
        uint64_t onto_ssd, onto_a, onto_b;  // nonces written or moved onto each drive
        bool pace = false;
    };
    const case_s cases[] = {
        {"", 2, false, 16, 8, 8, "a:0+8 a:8+8 b:16+8 b:24+8", 0, 16, 16},
        {"s", 2, true, 8, 0, 8, "a:0+8 b:8+8", 16, 8, 8},
        {"a", 1, false, 8, 0, 8, "a:0+8", 8, 0, 0},  // already in place: nothing moves onto a
        {"a/", 1, true, 8, 0, 8, "a:0+8", 8, 0, 0},
        {"", 1, true, 40, 0, 64, "a:0+40", 0, 40, 0},  // a quarter of 40 in sector groups: 16, 16, 8
        {"", 1, true, 32, 0, 8, "a:0+32", 0, 32, 0, true},
    };
    sys_syscalls().rename_noreplace = rename_noting_lock;
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.files);
        drives_s d;
        drive_s in_target = engine_drive(std::string(c.ssd) == "a/" ? d.a.path + "/" : d.a.path, true);
        drive_s &ssd = *c.ssd == 's' ? d.ssd : in_target, &ta = d.ta, &tb = d.tb;
        route(*c.ssd ? std::vector<drive_s*>{&ssd} : std::vector<drive_s*>{},
              c.targets == 2 ? std::vector<drive_s*>{&ta, &tb} : std::vector<drive_s*>{&ta}, c.fill);
        input.poc2 = c.poc2;
        input.max_file_bytes = c.max_file * PLOT_SIZE;
        std::atomic<bool> ran{false};
        uint64_t seen = 0;  // the progress screen's reads, while the tasks add
        std::thread reader([&] {
            for (; !ran; std::this_thread::yield())
                seen = std::max(seen, ssd.bytes_written.load() + ta.bytes_written.load() + tb.bytes_written.load());
        });
        engine_run(plotter, &plots, input, c.batch, c.pace);
        ran = true;
        reader.join();
        EXPECT_LE(seen, (c.onto_ssd + c.onto_a + c.onto_b) * PLOT_SIZE);
        EXPECT_EQ(std::tuple(ssd.bytes_written.load(), ta.bytes_written.load(), tb.bytes_written.load()),
                  std::tuple(c.onto_ssd * PLOT_SIZE, c.onto_a * PLOT_SIZE, c.onto_b * PLOT_SIZE));
        EXPECT_TRUE(plotter_finished(plotter));
        EXPECT_EQ(plotter->run.free_buffers.size(), plotter->run.all_buffers.size());
        expect_plots(d, c.files, c.poc2);
        EXPECT_EQ(log().find("Pace: ") != std::string::npos, c.pace) << log();
        next_case();
    }
    EXPECT_TRUE(renamed_while_locked);
}

// Moves to different drives run at once, even off one staging folder: each copy waits at its
// first chunk until the other one has started too (for ten seconds at most).
TEST_F(work_fixture, moves_to_different_drives_run_at_once) {
    static std::atomic<int> started{0}, together{0};
    sys_syscalls().sendfile = [](int out, int in, off_t* offset, size_t count) {
        if (*offset == 0) {
            ++started;
            for (int i = 0; i < 1000 && started < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (started == 2) ++together;
        }
        return sendfile(out, in, offset, count);
    };
    drives_s d;
    route({&d.ssd}, {&d.ta, &d.tb}, 8);
    engine_run(plotter, &plots, input, 8);
    EXPECT_EQ(together.load(), 2) << "each copy ran while the other one did";
    expect_plots(d, "a:0+8 b:8+8", false);
}

// Faults end the job without a finished plot, and an unfinished file of another range stays:
// creation that fails; a file that cannot take its plain name (it keeps its unfinished name
// rather than being reported complete); too little space (the run is stuck, not looping); a
// file another writer took over after planning (left alone: not written, not renamed, not
// done, and no failure). A failed job ends the run as finished, with the failure recorded;
// its text promises a resume only when the unfinished file is there.
TEST_F(work_fixture, faults_end_the_run_and_keep_other_files) {
    sys_syscalls_s plain = sys_syscalls(), no_create = plain, no_rename = plain, no_space = plain;
    no_create.open = [](const char*, int, mode_t) { return errno = EACCES, -1; };
    no_rename.rename_noreplace = [](const char*, const char*) { return errno = EACCES, -1; };
    no_space.statvfs = [](const char*, struct statvfs* info) { return *info = {}, 0; };
    const struct {
        const sys_syscalls_s* calls;  // system calls once the plan is made
        bool held;                    // another writer takes the file after planning
        bool failed, stuck, kept;     // the run failed, or was stuck; the unfinished file is there
    } cases[] = {{&no_create, false, true, false, false}, {&no_rename, false, true, false, true},
                 {&no_space, false, true, true, false}, {&plain, true, false, false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        drives_s d;
        const std::string own = name_of(0, 8) + ".plotting", other = name_of(100, 16) + ".plotting";
        test_write_file(d.a.file(other), "x");
        route({}, {&d.ta}, 8);
        plotter_plan(plotter, &plots, input);
        sys_syscalls() = *c.calls;
        const int64_t held = c.held ? test_create_file(d.a.file(own), 8 * PLOT_SIZE) : 0;
        ASSERT_TRUE(plotter_setup(plotter, {0, 2 * 8 * PLOT_SIZE, 0, 0}, 0, 1));
        plotter_wait(plotter);
        EXPECT_EQ(std::tuple(plotter->run.failed.load(), plotter->run.stuck.load(), plotter_finished(plotter)),
                  std::tuple(c.failed, c.stuck, !c.stuck));
        EXPECT_EQ(plotter->run.jobs.at(0)->job_state, c.failed && !c.stuck ? JOB_FAILED : JOB_WAITING);
        // The failure promises a resume only for a file that is there to resume.
        const std::string& failure = plotter->run.jobs.at(0)->failure;
        if (c.failed && !c.stuck) {
            EXPECT_TRUE(test_holds(failure, c.kept ? "; the next run resumes this file." : "; no file was left to resume."));
        }
        EXPECT_EQ(engine_list(d.a.path), (c.kept ? std::vector<std::string>{own, other} : std::vector<std::string>{other}));
        EXPECT_TRUE(!held || test_read_file(d.a.file(own)) == std::string(8 * PLOT_SIZE, '\0'));  // never written
        if (held) sys_file_close(held);
        next_case();
    }
}

// A staged file left on the SSD never replaces a file of its name on the target: a stale file
// beside the finished plot; an unfinished file of that name on the target; a file that takes
// the name while the move copies (the copy is dropped, the staged file kept, the job failed).
// A staged copy with the target's very bytes (a crash between a move's rename and its delete)
// is deleted, and the leftover that no target holds still moves. The planned file moves in each.
TEST_F(work_fixture, staged_files_never_replace_a_target_file) {
    const std::string name = name_of(0, 8), good = engine_reference_plot(ACCOUNT, 0, 8), stale(8 * PLOT_SIZE, 'x');
    const struct {
        const char* on_target;  // suffix of the file of that name already on the target, or none
        // The staged file holds other bytes than the reference; a file of that name appears on
        // the target during the move; the staged file is still on the SSD afterwards; its move
        // was refused (the job failed and the front end heard why).
        bool stale, appears, stays, refused;
        const char* log;  // the line that says why
    } cases[] = {{"", true, false, true, true, "already exists with other bytes and is never replaced"},
                 {".plotting", false, false, true, false, "stays where it is: "},
                 {nullptr, false, true, true, true, "appeared during the move and is never replaced"},
                 {"", false, false, false, false, "already has the same bytes; deleting the staged copy"},
                 {nullptr, false, false, false, false, "matches no planned file; it goes to"}};
    static std::string intruder;
    sys_syscalls().sendfile = [](int out, int in, off_t* offset, size_t count) {
        char from[4096] = {};
        const bool staged = readlink(("/proc/self/fd/" + std::to_string(in)).c_str(), from, sizeof from - 1) > 0 &&
                            std::strstr(from, "_0_8_8");
        if (staged && !intruder.empty()) test_write_file(std::exchange(intruder, ""), "intruder");
        return sendfile(out, in, offset, count);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        drives_s d;
        const std::string staged = c.stale ? stale : good;
        test_write_file(d.s.file(name), staged);
        if (c.on_target) test_write_file(d.a.file(name + c.on_target), good);
        intruder = c.appears ? d.a.file(name) : "";
        route({&d.ssd}, {&d.ta}, 8);
        input.start_nonce = 3000;
        std::string heard;
        plotter_set_on_failure(plotter, [&](const std::string& text) { heard += text; });
        engine_run(plotter, &plots, input, 8);
        EXPECT_EQ(plotter->run.failed, c.refused);
        EXPECT_EQ(heard.find(c.log) != std::string::npos, c.refused) << heard;
        EXPECT_TRUE(test_read_file(d.a.file(name + (c.on_target ? c.on_target : ""))) == (c.appears ? "intruder" : good));
        EXPECT_EQ(engine_bad_nonces(d.a.file(name_of(3000, 8)), ACCOUNT, 3000, 8, false), 0);
        EXPECT_EQ(engine_list(d.s.path), c.stays ? std::vector<std::string>{name} : std::vector<std::string>{});
        EXPECT_TRUE(!c.stays || test_read_file(d.s.file(name)) == staged);
        EXPECT_EQ(engine_list(d.a.path).size(), 2u);  // no .moving copy left behind
        EXPECT_TRUE(test_holds(log(), c.log));
        next_case();
    }
}

// A staged file is rewritten by nobody while it moves: the mover holds the file's writer lock
// from before its copy until the staged file is deleted. A convert started during the copy is
// refused with the reason and the target gets the plot's own bytes; a staged file that a
// convert already holds is not moved: the job fails through the failure path (the front end
// hears of it), the file stays untouched on the SSD, and a rerun moves it once it is free.
TEST_F(work_fixture, a_file_being_moved_is_never_converted) {
    const std::string name = name_of(0, 8), good = engine_reference_plot(ACCOUNT, 0, 8);
    static std::string staged_path;
    static convert_result_s during;
    sys_syscalls().sendfile = [](int out, int in, off_t* offset, size_t count) {
        if (*offset == 0 && during.message.empty()) during = convert_file(staged_path, true, 1 << 20);
        return sendfile(out, in, offset, count);
    };
    for (const bool held_before : {false, true}) {
        SCOPED_TRACE(held_before ? "a convert holds it first" : "a convert starts during the copy");
        drives_s d;
        staged_path = d.s.file(name);
        test_write_file(staged_path, good);
        during = {};
        int64_t converter = 0;
        if (held_before) {
            ASSERT_EQ(sys_file_hold(staged_path.c_str(), &converter).error, 0);
        }
        std::vector<std::string> heard;
        plotter_set_on_failure(plotter, [&](const std::string& text) { heard.push_back(text); });
        route({&d.ssd}, {&d.ta}, 8);
        engine_run(plotter, &plots, input, 8);
        const std::string log = this->log();
        EXPECT_EQ(test_read_file(staged_path) == good, held_before) << "moved, or kept whole";
        EXPECT_EQ(engine_list(d.s.path).size(), held_before ? 1u : 0u);
        if (held_before) {
            EXPECT_TRUE(plotter->run.failed);
            EXPECT_FALSE(d.ta.failed) << "the target drive did nothing wrong";
            ASSERT_EQ(heard.size(), 1u);
            EXPECT_TRUE(test_holds(heard[0], "is being converted or written by another process"));
            EXPECT_EQ(engine_list(d.a.path), std::vector<std::string>{});
            sys_file_close(converter);
            next_case();
            engine_run(plotter, &plots, input, 8);
            EXPECT_FALSE(plotter->run.failed);
        } else {
            EXPECT_EQ(during.status, CONVERT_REFUSED);
            EXPECT_TRUE(test_holds(during.message, "a running plot is writing or moving it"));
            EXPECT_FALSE(sys_file_exists(convert_journal_path(staged_path).c_str()));
            EXPECT_FALSE(plotter->run.failed) << log;
        }
        EXPECT_EQ(engine_list(d.s.path), std::vector<std::string>{});
        EXPECT_EQ(engine_bad_nonces(d.a.file(name), ACCOUNT, 0, 8, false), 0) << log;
        next_case();
    }
}

// One failing target (a row write, the resume record's sync, the mover's copy or its rename
// failing with EIO, ENOSPC or EROFS) ends only its own file: the other target's file is complete
// and right, the failed file keeps its name (an unfinished file its record, a staged file its
// copy on the SSD), the log names the file, the drive and the reason in words, and a new start
// of the same plotter completes the failed file byte-exact.
TEST_F(work_fixture, a_failing_drive_ends_only_its_files) {
    const struct {
        fault_call_e call;    // pwrite, fdatasync, sendfile (the mover's copy) or rename
        int error;
        uint64_t fail_after;  // calls on the failing drive that still succeed
        uint64_t record;      // nonces the failed file's resume record promises (direct runs)
    } cases[] = {{FAULT_PWRITE, EIO, SCOOPS_PER_PLOT + 1, 8}, {FAULT_PWRITE, ENOSPC, 3, 0},
                 {FAULT_FDATASYNC, EROFS, 0, 0},              {FAULT_FDATASYNC, EIO, 0, 0},
                 {FAULT_SENDFILE, ENOSPC, 0, 0},              {FAULT_SENDFILE, EIO, 0, 0},
                 {FAULT_RENAME, EROFS, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(strerror(c.error)) + " on " + fault_call_name(c.call));
        drives_s d;
        fault_install({c.call, c.fail_after + 1, true, c.error, d.b.path});  // drive b breaks from that call on
        const bool staged = c.call == FAULT_SENDFILE || c.call == FAULT_RENAME;
        route(staged ? std::vector<drive_s*>{&d.ssd} : std::vector<drive_s*>{}, {&d.ta, &d.tb}, 16);
        input.skip_complete = true;
        engine_run(plotter, &plots, input, 8);
        EXPECT_TRUE(plotter->run.failed && plotter_finished(plotter));
        EXPECT_TRUE(d.tb.failed && !d.ta.failed);
        EXPECT_TRUE(test_holds(log(), "drive " + d.b.path + ": " + strerror(c.error)));
        EXPECT_EQ(engine_bad_nonces(d.a.file(name_of(0, 16)), ACCOUNT, 0, 16, false), 0);
        if (staged) {
            EXPECT_EQ(engine_list(d.s.path), std::vector<std::string>{name_of(16, 16)});
            EXPECT_EQ(engine_list(d.b.path), std::vector<std::string>{});
        } else {
            EXPECT_EQ(test_resume_record(d.b.file(name_of(16, 16) + ".plotting"), 16), c.record);
        }
        // Started again in the same program with the same drive records, once the drive is back.
        fault_remove();
        plots = plots_s();
        engine_run(plotter, &plots, input, 8);
        EXPECT_FALSE(plotter->run.failed);
        expect_plots(d, "a:0+16 b:16+16", false);
        next_case();
    }
}

// An unfinished file whose resume record was overwritten by its last nonces (the rename to
// its plain name was lost in a crash). Its last 8 nonces, the tail, are written only once
// everything before them is on the disk, so they decide: a whole tail completes the file
// without plotting anything; part of one (here its last scoop row, over the record) resumes
// at the tail; a last sector of other bytes, with no tail written, starts from nonce 0. Each
// run ends with the right file under its plain name alone.
TEST_F(work_fixture, a_file_whose_tail_is_on_the_disk_is_completed_or_resumed_at_the_tail) {
    constexpr uint64_t N = 16, TAIL = 8;
    const struct {
        const char* what;
        bool poc2, other_bytes;  // other bytes: the last sector holds neither a record nor the tail
        uint64_t tail_rows;      // rows of the tail written, counted back from scoop 4095
        uint64_t resume_from;    // where the run went on
        const char* log;
    } cases[] = {
        {"whole tail", false, false, SCOOPS_PER_PLOT, N, "  the file is complete: its last 8 nonces are on the disk\n"},
        {"whole tail, PoC2", true, false, SCOOPS_PER_PLOT, N, "  the file is complete: its last 8 nonces are on the disk\n"},
        {"last row of the tail", false, false, 1, N - TAIL, "  part of its last 8 nonces is on the disk\n  resuming from nonce 8\n"},
        {"other bytes", false, true, 0, 0, "  incorrect resume data... starting from nonce 0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        drives_s d;
        std::string bytes = engine_reference_plot(ACCOUNT, 0, N, c.poc2);
        for (uint64_t s = 0; s < SCOOPS_PER_PLOT - c.tail_rows; ++s)  // the tail's rows not yet written
            bytes.replace((s * N + N - TAIL) * SCOOP_SIZE, TAIL * SCOOP_SIZE, TAIL * SCOOP_SIZE, '\0');
        if (c.other_bytes) bytes.replace(bytes.size() - 512, 512, std::string(512, 'x'));
        test_write_file(d.a.file(name_of(0, N, c.poc2) + ".plotting"), bytes);
        route({}, {&d.ta}, N);
        input.poc2 = c.poc2;
        engine_run(plotter, &plots, input, 8);
        EXPECT_TRUE(test_holds(log(), c.log));
        ASSERT_EQ(plotter->run.jobs.size(), 1u);
        EXPECT_EQ(plotter->run.jobs[0]->resume_from.load(), c.resume_from);
        EXPECT_FALSE(plotter->run.failed);
        expect_plots(d, "a:0+16", c.poc2);
        next_case();
    }
}

// A file whose last batch was written when the run stopped is completed on the way out.
TEST_F(work_fixture, written_file_is_completed_on_stop) {
    drives_s d;
    job_s* job = job_create(&d.ta, nullptr, ACCOUNT, 0, 8);
    plotter_add_job(plotter, job);
    // Lay the whole file down as its last writer would have, then stop before the next pass.
    job->fd = test_create_file(job_path(job, JOB_PATH_WRITTEN) + ".plotting", 8 * PLOT_SIZE);
    ASSERT_NE(job->fd, 0);
    const std::string bytes = engine_reference_plot(ACCOUNT, 0, 8);
    sys_file_write(job->fd, 0, bytes.size(), bytes.data());
    job->nonces_done = 8;
    d.ta.current_job = job;
    job->job_state = JOB_WRITTEN;
    plotter->run.stop = true;
    plotter_work_thread(plotter);
    EXPECT_EQ(job->job_state, JOB_DONE);
    expect_plots(d, "a:0+8", false);
}

// Nonces a front end shows: handed-off batches plus the published progress of the batch in
// the compute buffer while the job plots, whether or not a writer holds the other buffer (with
// one buffer per drive the next batch is computed after the writer returned); never past
// the file.
TEST(job_nonces_computed, counts_the_batch_in_progress) {
    test_batch_s compute(8), write(8);
    compute.batch.progress = 5;
    for (auto [state, buffers, done, want] : {std::tuple{JOB_WAITING, 0, 0, 0}, {JOB_PLOTTING, 2, 8, 13}, {JOB_PLOTTING, 0, 8, 8},
                                              {JOB_PLOTTING, 1, 8, 13}, {JOB_PLOTTING, 2, 18, 20},
                                              {JOB_WRITTEN, 2, 12, 20}, {JOB_DONE, 0, 0, 20}}) {
        job_s job;
        job.nonce_count = 20;
        job.job_state = state;
        job.nonces_done = done;
        job.compute_buffer = buffers ? &compute.batch : nullptr;
        job.write_buffer = buffers > 1 ? &write.batch : nullptr;
        EXPECT_EQ(job_nonces_computed(&job), (uint64_t)want) << state << " " << done;
    }
}
