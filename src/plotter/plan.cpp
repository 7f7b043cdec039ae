// Nonce planning: file sizes per target, start nonces, collision steering and resumable files.
#include "plotter/plan.h"

#include <algorithm>

#include "nonce/nonce.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotfile/convert.h"
#include "plotfile/plotfile.h"

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

uint64_t saturating_add(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

bool staging(const plan_state_s* st) { return !st->input->ssds.empty(); }

// Unfinished files of the planned account and form in a folder that no job has taken yet.
std::vector<plots_exempt_s> open_files_in(plan_state_s* st, const drive_s* drive) {
    const std::string key = path_with_slash(drive->path);
    std::vector<plots_exempt_s> found;
    for (const auto& e : st->open)
        if (e.folder == key) found.push_back(e);
    return found;
}

void take_open_file(plan_state_s* st, const plots_exempt_s& taken) {
    for (auto it = st->open.begin(); it != st->open.end(); ++it)
        if (it->folder == taken.folder && it->range.start == taken.range.start && it->range.count == taken.range.count) {
            st->open.erase(it);
            return;
        }
}

// The leftover that is exactly [start, start + count) and that a file for target may take:
// one in the target's own folder when writing directly, one on any staging drive otherwise.
bool leftover_for(const plan_state_s* st, const drive_s* target, uint64_t start, uint64_t count, plots_exempt_s* out) {
    const std::string key = path_with_slash(target->path);
    for (const auto& e : st->open)
        if (e.range.start == start && e.range.count == count && (staging(st) || e.folder == key)) {
            *out = e;
            return true;
        }
    return false;
}

// The writing drive whose folder is key.
drive_s* writer_of(const plan_state_s* st, const std::string& key) {
    for (drive_s* drive : staging(st) ? st->input->ssds : st->input->targets)
        if (path_with_slash(drive->path) == key) return drive;
    return nullptr;
}

std::string leftover_name(const plan_state_s* st, const plots_exempt_s& e) {
    return e.folder + plotfile_name(st->input->account_id, e.range.start, e.range.count, st->input->poc2) +
           (e.range.plotting ? ".plotting" : "");
}

// Says once that a finished file whose conversion is unfinished is left alone, and how to
// finish it: half of it may be in each order, so it is neither complete nor to be replaced.
void report_converting(plan_state_s* st, const std::string& key, const plots_range_s& r) {
    const std::string path = key + plotfile_name(r.account, r.start, r.count, r.poc2);
    convert_pending_s pending;
    if (!convert_pending(path, &pending)) return;  // finished meanwhile
    const std::string text = path + " " + convert_pending_text(path, pending) + "; it is left alone.";
    for (const std::string& said : st->result.converting)
        if (said == text) return;
    sys_log("%s\n", text.c_str());
    st->result.converting.push_back(text);
}

// Whether the file of exactly [start, start + n) lies, in either form, in a folder a file for
// target is written to, with its conversion unfinished (said once when it does).
bool converting_at(plan_state_s* st, const drive_s* target, uint64_t start, uint64_t n) {
    std::vector<std::string> keys = {path_with_slash(target->path)};
    if (staging(st))
        for (const drive_s* ssd : st->input->ssds) keys.push_back(path_with_slash(ssd->path));
    bool found = false;
    for (const std::string& key : keys) {
        const auto it = st->plots->ranges.find(key);
        if (it == st->plots->ranges.end()) continue;
        for (const plots_range_s& r : it->second)
            if (r.converting && r.account == st->input->account_id && r.start == start && r.count == n) {
                report_converting(st, key, r);
                found = true;
            }
    }
    return found;
}

// Collects every unfinished file of the account and form in the folders planning writes to.
// On staging drives a finished file counts too: a stopped run left it there before its
// move, and its job only needs to move it. A file another writer holds is left alone; its
// nonces stay taken.
void collect_open_files(plan_state_s* st) {
    const plan_input_s& in = *st->input;
    for (const drive_s* drive : staging(st) ? in.ssds : in.targets) {
        const std::string key = path_with_slash(drive->path);
        bool listed = false;
        for (const auto& e : st->open) listed = listed || e.folder == key;
        if (listed) continue;
        for (const plots_range_s& range : st->plots->ranges[key]) {
            if (!(range.plotting || (staging(st) && range.plain)) || range.account != in.account_id ||
                range.poc2 != in.poc2)
                continue;
            if (range.converting) {  // never moved while its conversion is unfinished
                report_converting(st, key, range);
                continue;
            }
            if (range.busy) {
                sys_log("%s is being written by another process; leaving it alone.\n",
                        leftover_name(st, {key, range}).c_str());
                ++st->result.busy;
                continue;
            }
            st->open.push_back({key, range});
        }
    }
}

// Nonces of a target to fill: its free space (plus what its resumable files already hold)
// within the fill limits.
uint64_t target_total(const plan_input_s& in, const drive_s* target, uint64_t reserved_nonces) {
    const uint64_t free_bytes = saturating_add(target->free_bytes, reserved_nonces * PLOT_SIZE);
    uint64_t total = drive_nonces_fit(free_bytes, 0);
    const uint64_t group = drive_nonce_group(target->sector_size);
    const uint64_t fill = in.max_fill_bytes / PLOT_SIZE;
    if (in.max_fill_bytes != 0 && total > fill) {
        total = nonce_cut_to(fill, group);
        sys_log("Limiting drive use to %s max.\n", fmt_size_tmp(in.max_fill_bytes, false, ""));
    }
    const uint64_t limit = target->fill_limit / PLOT_SIZE;
    if (target->fill_limit != 0 && total > limit) {
        total = nonce_cut_to(limit, group);
        sys_log("Limiting drive %s to %s.\n", target->path, fmt_size_tmp(target->fill_limit, false, ""));
    }
    return total;
}

void leave_out(plan_state_s* st, const drive_s* target) { st->result.left_out.push_back(target); }

// Says why a target's total came to 0 and leaves it out: its free space (with what its
// resumable files hold) is below the whole GiB planning counts in, or a fill limit is
// below its smallest file.
void leave_out_small(plan_state_s* st, const drive_s* target, uint64_t reserved_nonces) {
    const plan_input_s& in = *st->input;
    const uint64_t reserved = reserved_nonces * PLOT_SIZE;
    if (drive_nonces_fit(saturating_add(target->free_bytes, reserved), 0) == 0) {
        const uint64_t need = DRIVE_PLAN_NONCES * PLOT_SIZE - reserved;
        sys_log("Target %s is left out: it has %s free, and a file needs at least %s free there.\n", target->path,
                fmt_size_tmp(target->free_bytes, true, ""), fmt_size_tmp(need, true, ""));
    } else {
        uint64_t fill = in.max_fill_bytes;
        if (target->fill_limit != 0 && (fill == 0 || target->fill_limit < fill)) fill = target->fill_limit;
        const uint64_t group = drive_nonce_group(target->sector_size);
        sys_log("Target %s is left out: a fill of %s holds no file; the smallest there is %llu nonces (%s).\n",
                target->path, fmt_size_tmp(fill, false, ""), (unsigned long long)group,
                fmt_size_tmp(group * PLOT_SIZE, false, ""));
    }
    leave_out(st, target);
}

// Largest file in nonces; 0 = no limit. A limit below one nonce still limits.
uint64_t file_limit(uint64_t max_file_bytes) {
    if (max_file_bytes == 0) return 0;
    return std::max<uint64_t>(max_file_bytes / PLOT_SIZE, 1);
}

uint64_t file_limit(const plan_input_s& in) { return file_limit(in.max_file_bytes); }

// Nonces of one file on a target; 0 when the target cannot be planned.
uint64_t target_step(plan_state_s* st, const drive_s* target, const drive_s* ssd, uint64_t total) {
    const plan_input_s& in = *st->input;
    const uint64_t limit = file_limit(in);
    uint64_t f = limit != 0 ? std::min(limit, total) : total;
    if (ssd) {
        const uint64_t room = drive_nonces_fit(ssd->free_bytes / 2, ssd->sector_size);
        if (room == 0) {
            // A staged file may take half of the drive, counted in whole GiB.
            sys_log("Target %s is left out: staging drive %s has %s free, and a staged file needs at least %s there.\n",
                    target->path, ssd->path, fmt_size_tmp(ssd->free_bytes, true, ""),
                    fmt_size_tmp(2 * DRIVE_PLAN_NONCES * PLOT_SIZE, true, ""));
            leave_out(st, target);
            return 0;
        }
        uint64_t cap = limit != 0 ? std::min(room, limit) : room;
        cap = nonce_cut_to(cap, drive_nonce_group(ssd->sector_size));
        f = std::min(cap, total);
    }
    uint64_t step = nonce_cut_to(f, drive_nonce_group(target->sector_size));
    if (step == 0) {
        // A file limit below one sector group would give empty files; plot one group each.
        step = std::max(drive_nonce_group(target->sector_size), ssd ? drive_nonce_group(ssd->sector_size) : 1);
        if (!st->raised_logged)
            sys_log("Largest file size is below %llu nonces; using files of %llu nonces.\n",
                    (unsigned long long)step, (unsigned long long)step);
        st->raised_logged = true;
    }
    return step;
}

uint64_t target_start(plan_state_s* st, const drive_s* target) {
    if (!st->input->auto_start) return st->next;
    const uint64_t base = (uint64_t)target->nonce_seed << 32;
    const uint64_t last = plots_next_nonce(st->plots, target->path);
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
    for (const plots_range_s& r : st->plots->ranges[path_with_slash(target->path)])
        if (r.plain && r.start == start && r.count == count && r.account == st->input->account_id &&
            r.poc2 == st->input->poc2)
            return true;
    return false;
}

// The unfinished file on target that bears the final name of a staged leftover, or empty: such
// a leftover stays where it is. (A finished file of that name is the mover's to judge: a copy
// that a crash kept from being deleted after its move is dropped, anything else stays.)
std::string target_holder(const plan_state_s* st, const drive_s* target, const plots_exempt_s& staged) {
    const std::string key = path_with_slash(target->path);
    const auto it = st->plots->ranges.find(key);
    if (it == st->plots->ranges.end()) return "";
    for (const plots_range_s& r : it->second)
        if (r.plotting && r.start == staged.range.start && r.count == staged.range.count &&
            r.account == st->input->account_id && r.poc2 == st->input->poc2)
            return key + plotfile_name(r.account, r.start, r.count, r.poc2) + ".plotting";
    return "";
}

// Says why a staged leftover stays on its drive; true when a target holds its name.
bool leftover_held(plan_state_s* st, const plots_exempt_s& staged) {
    for (const drive_s* target : st->input->targets) {
        const std::string holder = target_holder(st, target, staged);
        if (holder.empty()) continue;
        sys_log("  %s stays where it is: %s already exists and is never replaced.\n",
                leftover_name(st, staged).c_str(), holder.c_str());
        return true;
    }
    return false;
}

// The files a job for [start, start + n) on target takes over, which therefore do not
// collide with it: the leftover it resumes or moves, and on the target what an interrupted
// move of that leftover left (its partial copy, or the finished copy of a staged file
// whose deletion the crash prevented, which the mover compares and never replaces).
std::vector<plots_exempt_s> taken_by(const plan_state_s* st, const drive_s* target, uint64_t start, uint64_t n) {
    std::vector<plots_exempt_s> exempt;
    plots_exempt_s leftover;
    if (!leftover_for(st, target, start, n, &leftover)) return exempt;
    exempt.push_back(leftover);
    if (!staging(st)) return exempt;
    const std::string key = path_with_slash(target->path);
    const auto it = st->plots->ranges.find(key);
    if (it == st->plots->ranges.end()) return exempt;
    for (const plots_range_s& r : it->second)
        if ((r.moving || (r.plain && leftover.range.plain)) && r.start == start && r.count == n &&
            r.account == st->input->account_id && r.poc2 == st->input->poc2)
            exempt.push_back({key, r});
    return exempt;
}

// Whether [start, start + n) shares nonces with a file this plan already holds (the same
// folder chosen twice continues after the same plots).
bool planned_collides(const plan_state_s* st, uint64_t start, uint64_t n) {
    for (const plan_job_s& job : st->result.jobs)
        if (start <= job.start + (job.count - 1) && job.start <= start + (n - 1)) return true;
    return false;
}

void ran_out(plan_state_s* st, const drive_s* target) {
    sys_log("No room left below the largest nonce number for %s; its planning stops.\n", target->path);
    st->result.nonces_ran_out = true;
}

// Whether [start, start + count) shares a nonce with a remembered plot (exempt ones aside).
bool overlaps_remembered(const plan_state_s* st, uint64_t start, uint64_t count,
                         const std::vector<plots_exempt_s>& exempt) {
    for (const auto& [folder, list] : st->plots->ranges)
        for (const plots_range_s& r : list) {
            if (!(start <= r.start + (r.count - 1) && r.start <= start + (count - 1))) continue;
            bool own = false;
            for (const auto& e : exempt)
                own = own || (e.folder == folder && e.range.start == r.start && e.range.count == r.count &&
                              e.range.plotting == r.plotting && e.range.plain == r.plain && e.range.moving == r.moving);
            if (!own) return true;
        }
    return false;
}

// Steps next past remembered plots; false when the range would pass the last nonce number.
// A range that takes over an existing file only has to share no nonce with the others: its
// file is already there, next to whatever it borders.
bool steer(plan_state_s* st, uint64_t* next, uint64_t n, const drive_s* target) {
    for (;;) {
        const std::vector<plots_exempt_s> exempt = taken_by(st, target, *next, n);
        const bool collides = exempt.empty() ? plots_collides(st->plots, *next, n)
                                             : overlaps_remembered(st, *next, n, exempt);
        if (!collides && !planned_collides(st, *next, n)) break;
        sys_log("Preventing collision with %llu\n", (unsigned long long)*next);
        if (n > UINT64_MAX - *next || !plots_range_valid(*next + n, n)) {
            ran_out(st, target);
            return false;
        }
        *next += n;
    }
    return true;
}

// Adds the job for [start, start + n) on target: it takes the leftover of exactly that
// range when there is one (written where the leftover lies), else writes a new file.
void plan_file(plan_state_s* st, drive_s* writer, drive_s* target, uint64_t start, uint64_t n) {
    plots_exempt_s leftover;
    const bool resume = leftover_for(st, target, start, n, &leftover);
    if (resume) {
        take_open_file(st, leftover);
        writer = writer_of(st, leftover.folder);
    }
    add_job(st, writer, target, start, n, resume);
}

// Plans one target's files from next on; returns false when the nonce numbers ran out.
bool plan_files(plan_state_s* st, drive_s* writer, drive_s* target, uint64_t total, uint64_t placed, uint64_t step,
                uint64_t* next) {
    while (placed < total) {
        const uint64_t n = std::min(total - placed, step);
        if (!plots_range_valid(*next, n)) {
            ran_out(st, target);
            return false;
        }
        // A finished copy still on a staging drive goes to the mover, which drops it when the
        // target's file has the same bytes and otherwise leaves both as they are.
        plots_exempt_s staged;
        if (converting_at(st, target, *next, n)) {
            // Its nonces stay with it; nothing is planned in their place.
        } else if (already_complete(st, target, *next, n) &&
            !(staging(st) && leftover_for(st, target, *next, n, &staged) && staged.range.plain)) {
            sys_log("%s already holds the complete plot of nonces %llu to %llu.\n", target->path,
                    (unsigned long long)*next, (unsigned long long)(*next + (n - 1)));
            st->result.complete.push_back({writer, writer == target ? nullptr : target, *next, n, st->input->poc2, false});
        } else {
            if (!steer(st, next, n, target)) return false;
            plan_file(st, writer, target, *next, n);
        }
        placed += n;
        if (n > UINT64_MAX - *next) return false;  // the plan reached the last nonce number exactly
        *next += n;
    }
    return true;
}

void plan_target(plan_state_s* st, drive_s* target, drive_s* ssd) {
    drive_s* writer = ssd ? ssd : target;
    const bool auto_start = st->input->auto_start;
    // Unfinished files in the target's own folder: with automatic start nonces they continue
    // first; with a given start only the one the plan names again is resumed.
    std::vector<plots_exempt_s> open;
    if (!ssd) open = open_files_in(st, target);
    std::sort(open.begin(), open.end(), [](const plots_exempt_s& a, const plots_exempt_s& b) {
        return a.range.start < b.range.start;
    });
    uint64_t reserved = 0;
    for (const auto& e : open)
        if (auto_start || e.range.start == st->next) reserved = saturating_add(reserved, e.range.count);
    reserved = std::min<uint64_t>(reserved, UINT64_MAX / PLOT_SIZE);
    const uint64_t total = target_total(*st->input, target, reserved);
    if (total == 0) {
        leave_out_small(st, target, reserved);
        return;
    }
    const uint64_t step = target_step(st, target, ssd, total);
    if (step == 0) return;
    uint64_t next = target_start(st, target);
    uint64_t placed = 0;
    for (const auto& e : open) {
        if (!auto_start) break;
        if (placed + e.range.count > total || planned_collides(st, e.range.start, e.range.count)) continue;
        sys_log("  resuming planned file %llu_%llu on %s\n", (unsigned long long)e.range.start,
                (unsigned long long)e.range.count, writer->path);
        take_open_file(st, e);
        add_job(st, writer, target, e.range.start, e.range.count, true);
        placed += e.range.count;
    }
    if (!plan_files(st, writer, target, total, placed, step, &next)) next = UINT64_MAX;
    st->next = next;
}

// Bytes this plan puts on a target.
uint64_t planned_bytes(const plan_state_s* st, const drive_s* target) {
    uint64_t bytes = 0;
    for (const plan_job_s& job : st->result.jobs)
        if ((job.final_drive ? job.final_drive : job.write_drive) == target)
            bytes = saturating_add(bytes, job.count * PLOT_SIZE);
    return bytes;
}

// Staged leftovers that no target's plan names: each goes to the first target with room
// for it where its nonces meet no other file, or stays where it is.
void place_leftovers(plan_state_s* st) {
    const std::vector<plots_exempt_s> left = st->open;
    for (const plots_exempt_s& e : left) {
        const std::string name = leftover_name(st, e);
        if (leftover_held(st, e)) continue;
        drive_s* home = nullptr;
        for (drive_s* target : st->input->targets) {
            const uint64_t need = saturating_add(planned_bytes(st, target), e.range.count * PLOT_SIZE);
            if (target->free_bytes < need || planned_collides(st, e.range.start, e.range.count)) continue;
            if (overlaps_remembered(st, e.range.start, e.range.count, taken_by(st, target, e.range.start, e.range.count)))
                continue;
            home = target;
            break;
        }
        if (!home) {
            sys_log("  %s matches no planned file and no target can take it; it stays where it is.\n", name.c_str());
            continue;
        }
        sys_log("  %s matches no planned file; it goes to %s\n", name.c_str(), home->path);
        plan_file(st, nullptr, home, e.range.start, e.range.count);
        // A target too small for new files that takes this one is no longer left out.
        auto& out = st->result.left_out;
        out.erase(std::remove(out.begin(), out.end(), home), out.end());
    }
}

}  // namespace

uint64_t plan_file_nonces(uint64_t max_file_bytes, uint64_t sector_size) {
    const uint64_t group = drive_nonce_group(sector_size);
    const uint64_t step = nonce_cut_to(file_limit(max_file_bytes), group);
    return step || max_file_bytes == 0 ? step : group;
}

plan_result_s plan_compute(plots_s* plots, const plan_input_s& input) {
    plan_state_s st;
    st.input = &input;
    st.plots = plots;
    if (input.targets.empty()) return st.result;
    st.next = input.start_nonce;
    // Every folder is looked at, whatever the mode: new files keep clear of all of them.
    for (const drive_s* drive : input.ssds) plots_folder_add(plots, drive->path);
    for (const drive_s* drive : input.targets) plots_folder_add(plots, drive->path);
    collect_open_files(&st);
    size_t ssd_index = 0;
    for (drive_s* target : input.targets) {
        drive_s* ssd = input.ssds.empty() ? nullptr : input.ssds[ssd_index];
        plan_target(&st, target, ssd);
        if (!input.ssds.empty()) ssd_index = (ssd_index + 1) % input.ssds.size();
    }
    if (staging(&st)) place_leftovers(&st);
    return st.result;
}
