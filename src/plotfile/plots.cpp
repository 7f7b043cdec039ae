// Remembered plot folders: scanning, continuation, collision tests and the fit rule.
#include "plotfile/plots.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "nonce/nonce.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotfile/convert.h"
#include "plotfile/plotfile.h"

namespace {

bool range_less(const plots_range_s& a, const plots_range_s& b) {
    return a.start != b.start ? a.start < b.start : a.count < b.count;
}

bool same_file(const plots_range_s& a, const plots_range_s& b) {
    return a.start == b.start && a.count == b.count && a.account == b.account && a.poc2 == b.poc2 &&
           a.plotting == b.plotting && a.plain == b.plain && a.moving == b.moving;
}

bool exempted(const std::vector<plots_exempt_s>* exempt, const std::string& folder, const plots_range_s& range) {
    if (!exempt) return false;
    for (const auto& e : *exempt)
        if (e.folder == folder && same_file(e.range, range)) return true;
    return false;
}

// Whether [s, s + n) meets the plot [a, a + c), where a range ending exactly at a also
// counts. Written without sums that could pass 2^64.
bool ranges_meet(uint64_t s, uint64_t n, uint64_t a, uint64_t c) {
    const uint64_t last = a + (c - 1);  // the plot's last nonce; c >= 1 and no overflow by the scan
    if (a <= s && s <= last) return true;
    if (s < a) return a - s <= n;  // s + n reaches a (or beyond)
    return false;
}

}  // namespace

plots_s* plots_create() { return new plots_s(); }

void plots_destroy(plots_s* plots) { delete plots; }

void plots_folder_add(plots_s* plots, const char* folder) {
    const std::string key = path_with_slash(folder);
    if (plots->folders.count(key)) return;
    plots->folders.insert(key);
    std::set<std::string> names;
    sys_dir_list(folder, [&](const char* file) { return names.insert(file), true; });
    const auto listed = [&](const std::string& name) { return names.count(name) > 0; };
    std::vector<plots_range_s> found;
    for (const std::string& file : names) {
        plotfile_name_s name;
        const plotfile_name_e kind = plotfile_name_parse(file.c_str(), &name);
        if (kind == PLOTFILE_NAME_NONE) continue;
        plots_range_s range;
        range.account = name.account;
        range.start = name.start;
        range.count = name.count;
        range.poc2 = kind == PLOTFILE_NAME_POC2;
        range.plotting = std::strcmp(name.rest, ".plotting") == 0;
        range.plain = *name.rest == 0;
        range.moving = std::strcmp(name.rest, ".moving") == 0;
        range.busy = range.plotting && sys_file_locked((std::string(folder) + "/" + file).c_str());
        convert_pending_s pending;
        range.converting = range.plain && convert_pending(file, &pending, listed);
        found.push_back(range);
    }
    std::sort(found.begin(), found.end(), range_less);
    plots->ranges[key] = std::move(found);
}

uint64_t plots_next_nonce(plots_s* plots, const char* folder) {
    const std::string key = path_with_slash(folder);
    if (!plots->folders.count(key)) plots_folder_add(plots, folder);
    const auto it = plots->ranges.find(key);
    if (it == plots->ranges.end() || it->second.empty()) return 0;
    const plots_range_s& last = it->second.back();
    // A plot reaching the last nonce number leaves nothing after it; saturate.
    return last.count > UINT64_MAX - last.start ? UINT64_MAX : last.start + last.count;
}


bool plots_collides(const plots_s* plots, uint64_t start, uint64_t count,
                    const std::vector<plots_exempt_s>* exempt) {
    for (const auto& [folder, list] : plots->ranges)
        for (const auto& range : list)
            if (ranges_meet(start, count, range.start, range.count) && !exempted(exempt, folder, range)) return true;
    return false;
}
