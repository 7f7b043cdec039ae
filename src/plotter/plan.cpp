// Nonce planning: file sizes per target, start nonces, collision steering and resumable files.
#include "plotter/plan.h"

#include <algorithm>

#include "nonce/nonce.h"
#include "platform/sys.h"
#include "platform/util.h"

namespace {

// State carried from one target to the next.
struct plan_state_s {
    const plan_input_s* input = nullptr;  // what is planned
    plots_s* plots = nullptr;             // remembered folders
    plan_result_s result;                 // jobs so far
    std::vector<plots_exempt_s> open;     // unfinished files of this account and form not yet planned
    uint64_t next = 0;                    // next start nonce when not automatic
    bool raised_logged = false;           // the raised file size was logged
};

uint64_t sector_group(const drive_s* drive) {
    const uint64_t group = drive->sector_size / SCOOP_SIZE;
    return group ? group : 1;
}

uint64_t saturating_add(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

// Unfinished files of the planned account and form in a folder that no job has taken yet.
std::vector<plots_exempt_s> open_files_in(plan_state_s* st, const drive_s* drive) {
    plots_folder_add(st->plots, drive->path);
    const std::string key = path_with_slash(drive->path);
    std::vector<plots_exempt_s> found;
    for (const auto& e : st->open)
        if (e.folder == key) found.push_back(e);
    return found;
}

// Whether the unfinished file e is the file [start, start + count) in folder.
bool open_file_is(const plots_exempt_s& e, const std::string& folder, uint64_t start, uint64_t count) {
    return e.folder == folder && e.range.start == start && e.range.count == count;
}

void take_open_file(plan_state_s* st, const std::string& folder, uint64_t start, uint64_t count) {
    for (auto it = st->open.begin(); it != st->open.end(); ++it)
        if (open_file_is(*it, folder, start, count)) {
            st->open.erase(it);
            return;
        }
}

bool is_open_file(plan_state_s* st, const std::string& folder, uint64_t start, uint64_t count) {
    for (const auto& e : st->open)
        if (open_file_is(e, folder, start, count)) return true;
    return false;
}

// Collects every unfinished file of the account and form in the folders planning writes to.
// On staging drives a finished file counts too: a stopped run left it there before its
// move, and its job only needs to move it.
void collect_open_files(plan_state_s* st) {
    const plan_input_s& in = *st->input;
    const bool staging = !in.ssds.empty();
    const auto& writers = staging ? in.ssds : in.targets;
    for (const drive_s* drive : writers) {
        plots_folder_add(st->plots, drive->path);
        const std::string key = path_with_slash(drive->path);
        bool listed = false;
        for (const auto& e : st->open) listed = listed || e.folder == key;
        if (listed) continue;
        for (const plot_range_s& range : st->plots->ranges[key])
            if ((range.plotting || (staging && range.plain)) && range.account == in.account_id && range.poc2 == in.poc2)
                st->open.push_back({key, range});
    }
}

// Nonces of a target to fill: its free space (plus what its resumable files already hold)
// within the fill limits.
uint64_t target_total(const plan_input_s& in, const drive_s* target, uint64_t reserved_nonces) {
    const uint64_t free_bytes = saturating_add(target->free_bytes, reserved_nonces * PLOT_SIZE);
    uint64_t total = drive_nonces_fit(free_bytes, 0);
    const uint64_t group = sector_group(target);
    const uint64_t fill = in.max_fill_bytes / PLOT_SIZE;
    if (in.max_fill_bytes != 0 && total > fill) {
        total = nonce_cut_to(fill, group);
        sys_log("Limiting drive use to %llu GB max.\n", (unsigned long long)(in.max_fill_bytes / 1000000000ull));
    }
    const uint64_t limit = target->fill_limit / PLOT_SIZE;
    if (target->fill_limit != 0 && total > limit) {
        total = nonce_cut_to(limit, group);
        sys_log("Limiting drive %s to %0.1f GB.\n", target->path, target->fill_limit / 1e9);
    }
    return total;
}

// Largest file in nonces; 0 = no limit. A limit below one nonce still limits.
uint64_t file_limit(const plan_input_s& in) {
    if (in.max_file_bytes == 0) return 0;
    return std::max<uint64_t>(in.max_file_bytes / PLOT_SIZE, 1);
}

// Nonces of one file on a target; 0 when the target cannot be planned.
uint64_t target_step(plan_state_s* st, const drive_s* target, const drive_s* ssd, uint64_t total) {
    const plan_input_s& in = *st->input;
    const uint64_t limit = file_limit(in);
    uint64_t f = limit != 0 ? std::min(limit, total) : total;
    if (ssd) {
        const uint64_t room = drive_nonces_fit(ssd->free_bytes / 2, ssd->sector_size);
        if (room == 0) {
            sys_log("Not enough free space on staging drive %s for a file; skipping drive %s.\n", ssd->path,
                    target->path);
            return 0;
        }
        uint64_t cap = limit != 0 ? std::min(room, limit) : room;
        cap = nonce_cut_to(cap, sector_group(ssd));
        f = std::min(cap, total);
    }
    uint64_t step = nonce_cut_to(f, sector_group(target));
    if (step == 0) {
        // A file limit below one sector group would give empty files; plot one group each.
        step = std::max(sector_group(target), ssd ? sector_group(ssd) : 1);
        if (!st->raised_logged)
            sys_log("Largest file size is below %llu nonces; using files of %llu nonces.\n",
                    (unsigned long long)step, (unsigned long long)step);
        st->raised_logged = true;
    }
    return step;
}

uint64_t target_start(plan_state_s* st, const drive_s* target) {
    if (!st->input->auto_start) return st->next;
    const uint64_t base = (uint64_t)target->serial << 32;
    const uint64_t last = plots_next_nonce(st->plots, target);
    if (last <= base) {
        sys_log("Auto starting drive %s with nonce %llu\n", target->path, (unsigned long long)base);
        return base;
    }
    sys_log("Continuing drive %s from nonce %llu\n", target->path, (unsigned long long)last);
    return last;
}

void add_job(plan_state_s* st, drive_s* writer, drive_s* target, uint64_t start, uint64_t count, bool resume) {
    plan_job_s job;
    job.write_drive = writer;
    job.final_drive = writer == target ? nullptr : target;
    job.start = start;
    job.count = count;
    job.poc2 = st->input->poc2;
    job.resume = resume;
    st->result.jobs.push_back(job);
    st->result.max_file_bytes = std::max(st->result.max_file_bytes, count * PLOT_SIZE);
}

// True when the plain file of this range is already on the target (skip_complete).
bool already_complete(plan_state_s* st, const drive_s* target, uint64_t start, uint64_t count) {
    if (!st->input->skip_complete) return false;
    for (const plot_range_s& r : st->plots->ranges[path_with_slash(target->path)])
        if (r.plain && r.start == start && r.count == count && r.account == st->input->account_id &&
            r.poc2 == st->input->poc2)
            return true;
    return false;
}

// The unfinished file in the writer's folder that is exactly [start, start + n), which the
// job resumes; every other unfinished file still occupies its nonces.
std::vector<plots_exempt_s> resumed_by(const plan_state_s* st, const std::string& writer_key, uint64_t start,
                                       uint64_t n) {
    std::vector<plots_exempt_s> exempt;
    for (const auto& e : st->open)
        if (open_file_is(e, writer_key, start, n)) exempt.push_back(e);
    return exempt;
}

// Whether [start, start + n) shares nonces with a file this plan already holds (the same
// folder chosen twice continues after the same plots).
bool planned_collides(const plan_state_s* st, uint64_t start, uint64_t n) {
    for (const plan_job_s& job : st->result.jobs)
        if (start <= job.start + (job.count - 1) && job.start <= start + (n - 1)) return true;
    return false;
}

// Steps next past remembered plots; false when the range would pass the last nonce number.
bool steer(plan_state_s* st, uint64_t* next, uint64_t n, const drive_s* target, const std::string& writer_key) {
    for (;;) {
        const std::vector<plots_exempt_s> exempt = resumed_by(st, writer_key, *next, n);
        if (!plots_collides(st->plots, *next, n, &exempt) && !planned_collides(st, *next, n)) break;
        sys_log("Preventing collision with %llu\n", (unsigned long long)*next);
        if (n > UINT64_MAX - *next || !nonce_range_valid(*next + n, n)) {
            sys_log("No room left below the largest nonce number for %s; its planning stops.\n", target->path);
            return false;
        }
        *next += n;
    }
    return true;
}

// Plans one target's files from next on; returns false when the nonce numbers ran out.
bool plan_files(plan_state_s* st, drive_s* writer, drive_s* target, uint64_t total, uint64_t placed, uint64_t step,
                uint64_t* next) {
    const std::string writer_key = path_with_slash(writer->path);
    while (placed < total) {
        const uint64_t n = std::min(total - placed, step);
        if (!nonce_range_valid(*next, n)) {
            sys_log("No room left below the largest nonce number for %s; its planning stops.\n", target->path);
            return false;
        }
        if (already_complete(st, target, *next, n)) {
            sys_log("%s already holds the complete plot of nonces %llu to %llu.\n", target->path,
                    (unsigned long long)*next, (unsigned long long)(*next + (n - 1)));
            st->result.complete.push_back({writer, writer == target ? nullptr : target, *next, n, st->input->poc2, false});
        } else {
            if (!steer(st, next, n, target, writer_key)) return false;
            const bool resume = is_open_file(st, writer_key, *next, n);
            if (resume) take_open_file(st, writer_key, *next, n);
            add_job(st, writer, target, *next, n, resume);
        }
        placed += n;
        if (n > UINT64_MAX - *next) return false;  // the plan reached the last nonce number exactly
        *next += n;
    }
    return true;
}

void plan_target(plan_state_s* st, drive_s* target, drive_s* ssd) {
    drive_s* writer = ssd ? ssd : target;
    std::vector<plots_exempt_s> open = open_files_in(st, writer);
    std::sort(open.begin(), open.end(), [](const plots_exempt_s& a, const plots_exempt_s& b) {
        return a.range.start < b.range.start;
    });
    uint64_t reserved = 0;
    if (!ssd)
        for (const auto& e : open) reserved = saturating_add(reserved, e.range.count);
    reserved = std::min<uint64_t>(reserved, UINT64_MAX / PLOT_SIZE);
    const uint64_t total = target_total(*st->input, target, reserved);
    if (total == 0) return;
    const uint64_t step = target_step(st, target, ssd, total);
    if (step == 0) return;
    uint64_t next = target_start(st, target);
    // Unfinished files of this account and form continue before anything new is planned.
    uint64_t placed = 0;
    for (const auto& e : open) {
        if (placed + e.range.count > total || planned_collides(st, e.range.start, e.range.count)) continue;
        sys_log("  resuming planned file %llu_%llu on %s\n", (unsigned long long)e.range.start,
                (unsigned long long)e.range.count, writer->path);
        take_open_file(st, e.folder, e.range.start, e.range.count);
        add_job(st, writer, target, e.range.start, e.range.count, true);
        placed += e.range.count;
    }
    if (!plan_files(st, writer, target, total, placed, step, &next)) next = UINT64_MAX;
    st->next = next;
}

}  // namespace

plan_result_s plan_compute(plots_s* plots, const plan_input_s& input) {
    plan_state_s st;
    st.input = &input;
    st.plots = plots;
    if (input.targets.empty()) return st.result;
    st.next = input.start_nonce;
    collect_open_files(&st);
    size_t ssd_index = 0;
    for (drive_s* target : input.targets) {
        drive_s* ssd = input.ssds.empty() ? nullptr : input.ssds[ssd_index];
        plan_target(&st, target, ssd);
        if (!input.ssds.empty()) ssd_index = (ssd_index + 1) % input.ssds.size();
    }
    return st.result;
}
