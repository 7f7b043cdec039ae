// The plot inventory: states from names, sizes, resume records, locks and journals.
#include "plotfile/inventory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "nonce/nonce.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotfile/convert.h"
#include "plotfile/plotfile.h"

namespace {

using identity_t = std::pair<uint64_t, uint64_t>;  // device and inode

std::string join(const std::string& folder, const std::string& name) {
    return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool size_matches(uint64_t size, uint64_t nonces) {
    return nonces <= UINT64_MAX / PLOT_SIZE && size == nonces * PLOT_SIZE;
}

uint64_t add_saturating(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

// Nonces the resume record of an unfinished file promises; 0 when it is invalid.
uint64_t promised(const std::string& path, uint64_t nonces) {
    int64_t fd = 0;
    sys_file_open_read(path.c_str(), &fd);
    uint64_t value = 0;
    if (fd && !plotfile_resume_value(fd, nonces, sys_sector_size(path.c_str()), &value)) value = 0;
    sys_file_close(fd);
    return value;
}

// The state of a plot file from its name's suffix, its size, its lock and its neighbours.
void judge(const std::string& rest, const std::set<std::string>& names, const std::string& name, inventory_file_s* f) {
    const bool right_size = size_matches(f->size, f->nonces);
    convert_pending_s pending;
    const auto listed = [&](const std::string& other) { return names.count(other) > 0; };
    if (rest.empty() && convert_pending(name, &pending, listed)) {
        f->state = INVENTORY_CONVERTING;
        f->journal = join(f->folder, pending.journal);
    } else if (rest == ".moving") {
        f->state = INVENTORY_MOVING;  // grows until the mover renames it; the staged file is the one that counts
    } else if (sys_file_locked(f->path.c_str())) {
        f->state = INVENTORY_WRITING;
        if (rest == ".plotting" && right_size) f->written = promised(f->path, f->nonces);
    } else if (!right_size) {
        f->state = INVENTORY_WRONG_SIZE;
    } else if (rest == ".plotting") {
        f->state = INVENTORY_UNFINISHED;
        f->written = promised(f->path, f->nonces);
    } else {
        f->state = INVENTORY_COMPLETE;
    }
}

// The file's entry, or false when the name is no plot file of the inventory (other
// suffixes, journals, anything but a regular file) or the file was already listed.
bool examine(const std::string& folder, const std::string& name, const std::set<std::string>& names,
             std::set<identity_t>* seen, inventory_file_s* f) {
    plotfile_name_s parsed;
    const plotfile_name_e kind = plotfile_name_parse(name.c_str(), &parsed);
    if (kind == PLOTFILE_NAME_NONE) return false;
    const std::string rest = parsed.rest;
    if (!rest.empty() && rest != ".plotting" && rest != ".moving") return false;
    f->path = join(folder, name);
    sys_path_info_s info;
    if (sys_path_info(f->path.c_str(), &info).error || !info.regular) return false;  // gone meanwhile, or no file
    if (!seen->insert({info.device, info.inode}).second) return false;
    f->folder = folder;
    f->account = parsed.account;
    f->start = parsed.start;
    f->nonces = parsed.count;
    f->poc2 = kind == PLOTFILE_NAME_POC2;
    f->size = info.size;
    judge(rest, names, name, f);
    return true;
}

// Adds a file to a total: the nonces it holds on the disk.
void count(const inventory_file_s& f, inventory_total_s* total) {
    ++total->files;
    if (f.state == INVENTORY_COMPLETE || f.state == INVENTORY_CONVERTING) total->nonces = add_saturating(total->nonces, f.nonces);
    if (f.state == INVENTORY_UNFINISHED || f.state == INVENTORY_WRITING) total->written = add_saturating(total->written, f.written);
}

void list_folder(const std::string& folder, std::set<identity_t>* seen, inventory_s* inv) {
    inventory_total_s total;
    total.folder = folder;
    std::set<std::string> names;
    if (const sys_err_s listed = sys_dir_list(folder.c_str(), [&](const char* name) { return names.insert(name), true; });
        listed.error) {
        total.error = std::strerror(listed.error);
        names.clear();
    }
    total.free_bytes = sys_free_space(folder.c_str());
    for (const std::string& name : names) {
        inventory_file_s f;
        if (!examine(folder, name, names, seen, &f)) continue;
        count(f, &total);
        inv->files.push_back(f);
    }
    inv->folders.push_back(total);
}

// Every pair of files of one account whose ranges meet. A mover's copy is left out: it is
// the staged file on its way, not a second plot.
void find_overlaps(inventory_s* inv) {
    std::vector<size_t> order;
    for (size_t i = 0; i < inv->files.size(); ++i)
        if (inv->files[i].state != INVENTORY_MOVING) order.push_back(i);
    const auto& files = inv->files;
    std::sort(order.begin(), order.end(), [&](size_t x, size_t y) {
        if (files[x].account != files[y].account) return files[x].account < files[y].account;
        return files[x].start != files[y].start ? files[x].start < files[y].start : x < y;
    });
    std::vector<std::pair<size_t, size_t>> pairs;
    for (size_t i = 0; i < order.size(); ++i) {
        const inventory_file_s& a = files[order[i]];
        const uint64_t a_last = a.start + (a.nonces - 1);  // the name parser keeps this within 64 bits
        for (size_t j = i + 1; j < order.size(); ++j) {
            const inventory_file_s& b = files[order[j]];
            if (b.account != a.account || b.start > a_last) break;
            const uint64_t b_last = b.start + (b.nonces - 1);
            inventory_overlap_s o;
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
    std::vector<inventory_overlap_s> sorted;
    for (size_t i : by_place) sorted.push_back(inv->overlaps[i]);
    inv->overlaps = std::move(sorted);
}

}  // namespace

const char* inventory_state_name(inventory_state_e state) {
    switch (state) {
        case INVENTORY_COMPLETE: return "complete";
        case INVENTORY_UNFINISHED: return "unfinished";
        case INVENTORY_WRITING: return "writing";
        case INVENTORY_WRONG_SIZE: return "wrong-size";
        case INVENTORY_CONVERTING: return "converting";
        case INVENTORY_MOVING: return "moving";
    }
    return "unknown";
}

inventory_s inventory_list(const std::vector<std::string>& folders) {
    inventory_s inv;
    std::set<identity_t> seen_folders, seen_files;
    for (const std::string& folder : folders) {
        sys_path_info_s info;
        if (sys_path_info(folder.c_str(), &info).error == 0 && !seen_folders.insert({info.device, info.inode}).second) continue;
        list_folder(folder, &seen_files, &inv);
    }
    find_overlaps(&inv);
    std::map<uint64_t, inventory_total_s> accounts;
    for (const inventory_file_s& f : inv.files) {
        inventory_total_s& t = accounts[f.account];
        t.account = f.account;
        count(f, &t);
    }
    for (const auto& entry : accounts) inv.accounts.push_back(entry.second);
    return inv;
}
