// The plot inventory: states from names, sizes, resume records, locks and journals.
#include "plotter/inventory.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "nonce/nonce.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotter/convert.h"
#include "plotter/plot_file.h"

namespace {

std::string join(const std::string& folder, const std::string& name) {
    return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool size_matches(uint64_t size, uint64_t nonces) {
    return nonces <= UINT64_MAX / PLOT_SIZE && size == nonces * PLOT_SIZE;
}

// Nonces the resume record of an unfinished file promises; 0 when it is invalid.
uint64_t promised(const std::string& path, uint64_t nonces) {
    const int64_t fd = sys_file_open_read(path.c_str());
    uint64_t value = 0;
    if (fd && !plot_resume_value(fd, nonces, sys_sector_size(path.c_str()), &value)) value = 0;
    sys_file_close(fd);
    return value;
}

// The file's entry, or false when the name is no plot file of the inventory (other
// suffixes, journals).
bool examine(const std::string& folder, const std::string& name, const std::set<std::string>& names,
             plots_file_s* f) {
    plot_name_s parsed;
    const plot_name_e kind = plot_name_parse(name.c_str(), &parsed);
    if (kind == PLOT_NAME_NONE) return false;
    const std::string rest = parsed.rest;
    const bool plain = rest.empty(), unfinished = rest == ".plotting" || rest == ".moving";
    if (!plain && !unfinished) return false;
    f->path = join(folder, name);
    f->folder = folder;
    f->account = parsed.account;
    f->start = parsed.start;
    f->nonces = parsed.count;
    f->poc2 = kind == PLOT_NAME_POC2;
    if (!sys_path_size(f->path.c_str(), &f->size)) return false;  // gone meanwhile
    const bool right_size = size_matches(f->size, f->nonces);
    const bool locked = sys_file_locked(f->path.c_str());
    if (plain && names.count(convert_journal_path(name))) {
        f->state = PLOTS_CONVERTING;
    } else if (locked) {
        f->state = PLOTS_WRITING;
    } else if (!right_size) {
        f->state = PLOTS_WRONG_SIZE;
    } else if (unfinished) {
        f->state = PLOTS_UNFINISHED;
        if (rest == ".plotting") f->written = promised(f->path, f->nonces);
    } else {
        f->state = PLOTS_COMPLETE;
    }
    return true;
}

void list_folder(const std::string& folder, plots_inventory_s* inv) {
    std::set<std::string> names;
    sys_dir_list(folder.c_str(), [&](const char* name) {
        names.insert(name);
        return true;
    });
    plots_total_s total;
    total.folder = folder;
    total.free_bytes = sys_free_space(folder.c_str());
    for (const std::string& name : names) {
        plots_file_s f;
        if (!examine(folder, name, names, &f)) continue;
        ++total.files;
        total.nonces += f.nonces;
        inv->files.push_back(f);
    }
    total.bytes = total.nonces * PLOT_SIZE;
    inv->folders.push_back(total);
}

// Every pair of files of one account whose ranges meet.
void find_overlaps(plots_inventory_s* inv) {
    std::vector<size_t> order(inv->files.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    const auto& files = inv->files;
    std::sort(order.begin(), order.end(), [&](size_t x, size_t y) {
        if (files[x].account != files[y].account) return files[x].account < files[y].account;
        return files[x].start != files[y].start ? files[x].start < files[y].start : x < y;
    });
    std::vector<std::pair<size_t, size_t>> pairs;
    for (size_t i = 0; i < order.size(); ++i) {
        const plots_file_s& a = files[order[i]];
        const uint64_t a_last = a.start + (a.nonces - 1);  // the name parser keeps this within 64 bits
        for (size_t j = i + 1; j < order.size(); ++j) {
            const plots_file_s& b = files[order[j]];
            if (b.account != a.account || b.start > a_last) break;
            const uint64_t b_last = b.start + (b.nonces - 1);
            plots_overlap_s o;
            o.account = a.account;
            o.nonces = std::min(a_last, b_last) - b.start + 1;
            const size_t lo = std::min(order[i], order[j]), hi = std::max(order[i], order[j]);
            o.first = files[lo].path;
            o.second = files[hi].path;
            pairs.push_back({lo, hi});
            inv->overlaps.push_back(o);
        }
    }
    std::vector<size_t> by_place(pairs.size());
    for (size_t i = 0; i < by_place.size(); ++i) by_place[i] = i;
    std::sort(by_place.begin(), by_place.end(), [&](size_t x, size_t y) {
        const uint64_t ax = inv->overlaps[x].account, ay = inv->overlaps[y].account;
        return ax != ay ? ax < ay : pairs[x] < pairs[y];
    });
    std::vector<plots_overlap_s> sorted;
    for (size_t i : by_place) sorted.push_back(inv->overlaps[i]);
    inv->overlaps = std::move(sorted);
}

}  // namespace

const char* plots_state_name(plots_state_e state) {
    switch (state) {
        case PLOTS_COMPLETE: return "complete";
        case PLOTS_UNFINISHED: return "unfinished";
        case PLOTS_WRITING: return "writing";
        case PLOTS_WRONG_SIZE: return "wrong-size";
        case PLOTS_CONVERTING: return "converting";
    }
    return "unknown";
}

plots_inventory_s plots_inventory(const std::vector<std::string>& folders) {
    plots_inventory_s inv;
    std::set<std::string> seen;
    for (const std::string& folder : folders)
        if (seen.insert(path_with_slash(folder.c_str())).second) list_folder(folder, &inv);
    find_overlaps(&inv);
    std::map<uint64_t, plots_total_s> accounts;
    for (const plots_file_s& f : inv.files) {
        plots_total_s& t = accounts[f.account];
        t.account = f.account;
        ++t.files;
        t.nonces += f.nonces;
        t.bytes += f.nonces * PLOT_SIZE;
    }
    for (const auto& entry : accounts) inv.accounts.push_back(entry.second);
    return inv;
}
