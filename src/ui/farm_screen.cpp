// The farm screen: the plot files of every listed folder with their states, totals and
// overlaps in a list that scrolls, and the conversion of PoC1 files to PoC2 with its
// progress view, Stop, failures and outcome.
//
// [SECTION] Plan and words   [SECTION] Worker   [SECTION] List   [SECTION] Progress view
// [SECTION] Screen and input
//
// DESIGN: the screen's state (farm) belongs to the UI thread. One worker thread at a time
// reads the folders (inventory_list) or converts files (convert_file, with its lock and
// journal); it hands every result and progress report to the UI thread through sys_ui_post,
// and reads only the stop flag, an atomic. Failures go through the path the application
// sets, the message path of plotting failures. The worker's thread object is joined on the UI thread
// once its last post arrives, or by farm_end when the window closes.
#include "ui/farm_screen.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <thread>

#include "nonce/nonce.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotfile/convert.h"
#include "plotfile/plots.h"
#include "ui/session.h"
#include "ui/setup.h"
#include "ui/widgets.h"

farm_s farm;

namespace {

// Buffers of one conversion: two of the engine's largest steps.
constexpr uint64_t FARM_MEMORY = 256ull << 20;
constexpr uint32_t COLOR_RED = 0xFFC42B1C;    // wrong-size files and overlaps
constexpr uint32_t COLOR_AMBER = 0xFFD98C00;  // unfinished files and conversions under way
constexpr int32_t LIST_TOP = 106, LIST_BOTTOM = 404, LIST_LEFT = 24, LIST_WIDTH = 592;
constexpr float FOLDER_ROW = 36, FILE_ROW = 18, NOTE_ROW = 18, FOLDER_GAP = 8;
constexpr float WHEEL_STEP = 3 * FILE_ROW;

std::thread worker;
std::atomic<bool> stop_asked{false};
farm_failure_fn failure_path;  // where a failed file is said; any thread
uint64_t listings = 0;          // listings asked for; only the newest one's answer is shown

std::string plural(uint64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

std::string file_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void join_worker() {
    if (worker.joinable()) worker.join();
}

// Why a PoC1 file that is not complete is left alone.
const char* skip_reason(inventory_state_e state) {
    switch (state) {
        case INVENTORY_WRITING: return "being plotted";
        case INVENTORY_MOVING: return "being moved";
        case INVENTORY_UNFINISHED: return "unfinished";
        case INVENTORY_WRONG_SIZE: return "wrong size";
        default: return "";
    }
}

// Reasons counted: "2 being plotted, 1 wrong size".
std::string grouped(const std::vector<std::string>& reasons) {
    std::map<std::string, uint64_t> counts;
    std::vector<std::string> order;
    for (const std::string& r : reasons)
        if (counts[r]++ == 0) order.push_back(r);
    std::string text;
    for (const std::string& r : order) text += (text.empty() ? "" : ", ") + std::to_string(counts[r]) + " " + r;
    return text;
}

// The reason of a conversion's message, without the path it begins with.
std::string reason_of(const convert_result_s& r) {
    const size_t colon = r.message.find(": ");
    return colon == std::string::npos ? r.message : r.message.substr(colon + 2);
}

void set_text(window_s* w, float size, uint32_t colour) {
    window_set_font(w, UI_FONT, size);
    window_set_fill(w, colour);
}

// Text of a list row: window_draw_text puts each text's baseline one text height below y, so texts
// with and without descenders would sit at different heights; these share the digits' baseline.
void row_text(window_s* w, const std::string& text, float x, float y) {
    window_draw_text(w, text.c_str(), x, y + window_text_height(w, "0") - window_text_height(w, text.c_str()));
}

}  // namespace

// [SECTION] Plan and words

std::vector<std::string> farm_folders() {
    std::vector<std::string> folders;
    const auto add = [&folders](std::string folder) {
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (!folder.empty() && std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(folder);
    };
    for (const drive_s& drive : setup.target_drives) add(drive.path);
    for (const drive_s& drive : setup.ssd_drives) add(drive.path);
    if (plots)
        for (const std::string& folder : plots->folders) add(folder);
    return folders;
}

farm_plan_s farm_plan(const inventory_s& inventory) {
    farm_plan_s plan;
    for (const inventory_file_s& f : inventory.files) {
        farm_job_s job{f.path, f.folder, true, f.size};
        convert_pending_s pending;
        if (f.state == INVENTORY_CONVERTING && convert_pending(f.path, &pending)) {
            job.to_poc2 = pending.to_poc2;
            ++plan.resumes;
        } else if (f.poc2) {
            continue;
        } else if (f.state != INVENTORY_COMPLETE) {
            plan.skipped.push_back(skip_reason(f.state));
            continue;
        }
        plan.bytes += job.bytes;
        plan.jobs.push_back(job);
    }
    return plan;
}

std::string farm_outcome_text(const farm_outcome_s& o) {
    std::string text = "Converted " + plural(o.converted, "file");
    if (o.failed) text += ", " + std::to_string(o.failed) + " failed";
    text += o.skipped.empty() ? ", skipped none." : "; skipped " + std::to_string(o.skipped.size()) + ": " + grouped(o.skipped) + ".";
    if (o.stopped) text += " Stopped: the interrupted file resumes next time.";
    return text;
}

std::string farm_shorten(window_s* w, const std::string& text, float width) {
    if (window_text_width(w, text.c_str()) <= width) return text;
    // Cut at character boundaries (the text is UTF-8): drop characters from the middle.
    std::string head = text.substr(0, text.size() / 2), tail = text.substr(text.size() / 2);
    const auto continuation = [](char c) { return ((unsigned char)c & 0xC0) == 0x80; };
    while (!head.empty() || !tail.empty()) {
        const std::string shown = head + "..." + tail;
        if (window_text_width(w, shown.c_str()) <= width) return shown;
        if (head.size() >= tail.size() && !head.empty()) {
            do head.pop_back();
            while (!head.empty() && continuation(head.back()));
        } else {
            do tail.erase(0, 1);
            while (!tail.empty() && continuation(tail[0]));
        }
    }
    return "...";
}

// [SECTION] Worker

namespace {

void rows_build();
void start_run(const std::vector<farm_job_s>& jobs, const std::vector<std::string>& skipped);

// The listing has arrived: the list, the plan, and the offer to finish interrupted conversions.
void listed(const inventory_s& inventory, bool offer_resume) {
    join_worker();
    farm.listing = false;
    farm.inventory = inventory;
    farm.plan = farm_plan(inventory);
    rows_build();
    window_invalidate(main_window);
    if (!offer_resume || farm.plan.resumes == 0 || ui_phase != UI_FARM) return;
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s %s being converted when the conversion stopped. Finish converting %s now?",
                  plural(farm.plan.resumes, "file").c_str(), farm.plan.resumes == 1 ? "was" : "were",
                  farm.plan.resumes == 1 ? "it" : "them");
    if (!window_ask_yes_no(main_window, "Resume converting?", "%s", text)) return;
    farm_plan_s resumes;
    for (const farm_job_s& job : farm.plan.jobs) {
        convert_pending_s pending;
        if (convert_pending(job.path, &pending)) resumes.jobs.push_back(job);
    }
    start_run(resumes.jobs, {});
}

void list_on_worker(bool offer_resume) {
    join_worker();
    farm.listing = true;
    const uint64_t id = ++listings;
    worker = std::thread([folders = farm_folders(), offer_resume, id] {
        const inventory_s inventory = inventory_list(folders);
        sys_ui_post([inventory, offer_resume, id] {
            if (id == listings) listed(inventory, offer_resume);  // a screen opened again asked anew
        });
    });
}

// The run has ended: its words, and the folders listed again.
void run_ended(const farm_outcome_s& outcome, const inventory_s& inventory) {
    farm.converting = farm.stopping = false;
    farm.summary = farm_outcome_text(outcome);
    sys_log("%s\n", farm.summary.c_str());
    listed(inventory, false);
}

void failure(const farm_job_s& job, const std::string& reason) {
    sys_log("Converting %s failed: %s\n", job.path.c_str(), reason.c_str());
    if (failure_path)
        failure_path("Converting " + window_display_name(file_name(job.path).c_str()) + " in " +
                     window_display_name(job.folder.c_str()) + " failed: " + reason +
                     ". The file is safe: its journal lets the next conversion finish it.");
}

void convert_all(const std::vector<farm_job_s>& jobs, std::vector<std::string> skipped,
                 const std::vector<std::string>& folders) {
    farm_outcome_s outcome;
    outcome.skipped = std::move(skipped);
    for (size_t i = 0; i < jobs.size() && !outcome.stopped; ++i) {
        const farm_job_s& job = jobs[i];
        const convert_result_s r = convert_file(
            job.path, job.to_poc2, FARM_MEMORY,
            [i](uint64_t done, uint64_t) {
                sys_ui_post([i, done] {
                    if (i == farm.current && done > farm.file_done) farm.fresh += done - farm.file_done;
                    farm.current = i;
                    farm.file_done = done;
                });
            },
            [] { return stop_asked.load(); });
        switch (r.status) {
            case CONVERT_DONE: ++outcome.converted; break;
            case CONVERT_ALREADY: outcome.skipped.push_back("already converted"); break;
            case CONVERT_REFUSED:
                sys_log("Not converting %s: %s\n", job.path.c_str(), reason_of(r).c_str());
                outcome.skipped.push_back(reason_of(r));
                break;
            case CONVERT_FAILED: ++outcome.failed, failure(job, reason_of(r)); break;
            case CONVERT_STOPPED: outcome.stopped = true; break;
        }
        if (stop_asked.load() && i + 1 < jobs.size()) outcome.stopped = true;
    }
    const inventory_s inventory = inventory_list(folders);
    sys_ui_post([outcome, inventory] { run_ended(outcome, inventory); });
}

void start_run(const std::vector<farm_job_s>& jobs, const std::vector<std::string>& skipped) {
    join_worker();
    farm.run = jobs;
    farm.current = 0;
    farm.file_done = farm.fresh = 0;
    farm.began = time_now();
    farm.converting = true;
    farm.stopping = false;
    farm.summary.clear();
    stop_asked = false;
    sys_log("Converting %s to PoC2\n", plural(jobs.size(), "file").c_str());
    worker = std::thread([jobs, skipped, folders = farm_folders()] { convert_all(jobs, skipped, folders); });
    window_invalidate(main_window);
}

}  // namespace

void farm_convert() {
    if (farm.converting || farm.listing || farm.plan.jobs.empty()) return;
    char text[400];
    std::snprintf(text, sizeof text,
                  "Convert %s (%s) to PoC2 in place? Miners need PoC2. Each file keeps its bytes safe at every "
                  "moment; an interrupted conversion resumes next time.",
                  plural(farm.plan.jobs.size(), "file").c_str(), fmt_size_tmp(farm.plan.bytes, false, ""));
    if (!window_ask_yes_no(main_window, "Convert to PoC2?", "%s", text)) return;
    start_run(farm.plan.jobs, farm.plan.skipped);
}

void farm_stop() {
    stop_asked = true;
    farm.stopping = true;
    window_invalidate(main_window);
}

bool farm_converting() { return farm.converting; }

void farm_end() {
    stop_asked = true;
    join_worker();
    farm.converting = farm.stopping = farm.listing = false;
}

// [SECTION] List

namespace {

void rows_build() {
    farm.rows.clear();
    const inventory_s& inv = farm.inventory;
    for (size_t k = 0; k < inv.folders.size(); ++k) {
        farm.rows.push_back({FARM_ROW_FOLDER, k, ""});
        bool any = false;
        for (size_t i = 0; i < inv.files.size(); ++i) {
            if (inv.files[i].folder != inv.folders[k].folder) continue;
            any = true;
            farm.rows.push_back({FARM_ROW_FILE, i, ""});
            for (const inventory_overlap_s& o : inv.overlaps) {
                if (o.first != inv.files[i].path && o.second != inv.files[i].path) continue;
                const std::string& other = o.first == inv.files[i].path ? o.second : o.first;
                farm.rows.push_back({FARM_ROW_OVERLAP, i,
                                     "overlaps " + window_display_name(other.c_str()) + ": " +
                                         plural(o.nonces, "nonce") + " shared"});
            }
        }
        if (!any && inv.folders[k].error.empty()) farm.rows.push_back({FARM_ROW_EMPTY, k, ""});
    }
}

float row_height(const farm_row_s& row, size_t i) {
    switch (row.kind) {
        case FARM_ROW_FOLDER: return FOLDER_ROW + (i ? FOLDER_GAP : 0);
        case FARM_ROW_FILE: return FILE_ROW;
        default: return NOTE_ROW;
    }
}

bool overlapping(const std::string& path) {
    for (const inventory_overlap_s& o : farm.inventory.overlaps)
        if (o.first == path || o.second == path) return true;
    return false;
}

// The colour that marks a file needing the user; 0 for none.
uint32_t file_mark(const inventory_file_s& f) {
    if (f.state == INVENTORY_WRONG_SIZE || overlapping(f.path)) return COLOR_RED;
    if (f.state == INVENTORY_UNFINISHED || f.state == INVENTORY_CONVERTING) return COLOR_AMBER;
    return 0;
}

std::string state_text(const inventory_file_s& f) {
    std::string text = inventory_state_name(f.state);
    if (f.state == INVENTORY_UNFINISHED || f.state == INVENTORY_WRITING) text += ", " + std::to_string(f.written) + " written";
    return text;
}

void paint_folder_row(window_s* w, const inventory_total_s& t, float y) {
    set_text(w, 12, COLOR_BLACK);
    window_draw_text(w, farm_shorten(w, window_display_name(t.folder.c_str()), LIST_WIDTH).c_str(), LIST_LEFT, y);
    std::string caption;
    if (!t.error.empty()) {
        caption = "This folder cannot be read: " + t.error + ".";
    } else {
        uint64_t unfinished = 0, wrong = 0;
        for (const inventory_file_s& f : farm.inventory.files) {
            if (f.folder != t.folder) continue;
            unfinished += f.state == INVENTORY_UNFINISHED || f.state == INVENTORY_WRITING;
            wrong += f.state == INVENTORY_WRONG_SIZE;
        }
        char line[256];
        std::snprintf(line, sizeof line, "%s free  -  %s complete (%s)  -  %llu unfinished  -  %llu wrong-size",
                      fmt_size_tmp(t.free_bytes, false, ""), plural(t.nonces, "nonce").c_str(),
                      fmt_size_tmp(t.nonces * PLOT_SIZE, false, ""), (unsigned long long)unfinished,
                      (unsigned long long)wrong);
        caption = line;
    }
    set_text(w, 8, t.error.empty() ? COLOR_BODY : COLOR_RED);
    window_draw_text(w, farm_shorten(w, caption, LIST_WIDTH).c_str(), LIST_LEFT, y + 18);
}

void paint_right(window_s* w, const std::string& text, float right, float y) {
    row_text(w, text, right - window_text_width(w, text.c_str()), y);
}

void paint_file_row(window_s* w, const inventory_file_s& f, float y) {
    const uint32_t mark = file_mark(f);
    if (mark) {
        window_set_fill(w, mark);
        window_no_stroke(w);
        window_draw_rect(w, LIST_LEFT + 2, y + 5, 6, 6);
    }
    set_text(w, 10, COLOR_BODY);
    row_text(w, farm_shorten(w, window_display_name(file_name(f.path).c_str()), 250), 36, y);
    paint_right(w, std::to_string(f.nonces), 350, y);
    paint_right(w, fmt_size_tmp(f.size, false, ""), 420, y);
    row_text(w, f.poc2 ? "PoC2" : "PoC1", 430, y);
    set_text(w, 10, mark ? mark : COLOR_BODY);
    row_text(w, farm_shorten(w, state_text(f), 616 - 480), 480, y);
}

void paint_list(window_s* w) {
    const float visible = LIST_BOTTOM - LIST_TOP;
    farm.content = 0;
    for (size_t i = 0; i < farm.rows.size(); ++i) farm.content += row_height(farm.rows[i], i);
    farm.scroll = std::max(0.0f, std::min(farm.scroll, farm.content - visible));
    window_clip_push(w, LIST_LEFT, LIST_TOP, LIST_WIDTH + 8, (int32_t)visible);
    float y = LIST_TOP - farm.scroll;
    for (size_t i = 0; i < farm.rows.size(); ++i) {
        const farm_row_s& row = farm.rows[i];
        const float h = row_height(row, i), top = y + (h - (row.kind == FARM_ROW_FOLDER ? FOLDER_ROW : h));
        y += h;
        if (y < LIST_TOP || top > LIST_BOTTOM) continue;  // drawn only where it shows
        if (row.kind == FARM_ROW_FOLDER) paint_folder_row(w, farm.inventory.folders[row.index], top);
        if (row.kind == FARM_ROW_FILE) paint_file_row(w, farm.inventory.files[row.index], top);
        if (row.kind == FARM_ROW_OVERLAP) {
            set_text(w, 9, COLOR_RED);
            row_text(w, farm_shorten(w, row.text, 616 - 48), 48, top);
        }
        if (row.kind == FARM_ROW_EMPTY) {
            set_text(w, 9, COLOR_BODY);
            window_draw_text(w, "No plot files.", 36, top);
        }
    }
    window_clip_pop(w);
    if (farm.content > visible) {  // where the shown part lies in the whole list
        const float bar = std::max(visible * visible / farm.content, 16.0f);
        const float at = LIST_TOP + (visible - bar) * farm.scroll / (farm.content - visible);
        window_set_fill(w, COLOR_BORDER);
        window_no_stroke(w);
        window_draw_rect(w, 626, at, 4, bar);
    }
}

void paint_columns(window_s* w) {
    set_text(w, 8, COLOR_BODY);
    row_text(w, "File", 36, 90);
    paint_right(w, "Nonces", 350, 90);
    paint_right(w, "Size", 420, 90);
    row_text(w, "Format", 430, 90);
    row_text(w, "State", 480, 90);
}

// The line under the title: the whole inventory's totals.
void paint_totals(window_s* w) {
    uint64_t complete = 0, unfinished = 0, wrong = 0;
    for (const inventory_file_s& f : farm.inventory.files) {
        if (f.state == INVENTORY_COMPLETE || f.state == INVENTORY_CONVERTING) complete += f.nonces;
        unfinished += f.state == INVENTORY_UNFINISHED || f.state == INVENTORY_WRITING;
        wrong += f.state == INVENTORY_WRONG_SIZE;
    }
    char line[256];
    std::snprintf(line, sizeof line, "%s in %s: %s complete, %llu unfinished, %llu wrong-size, %s.",
                  plural(farm.inventory.files.size(), "file").c_str(),
                  plural(farm.inventory.folders.size(), "folder").c_str(), fmt_size_tmp(complete * PLOT_SIZE, false, ""),
                  (unsigned long long)unfinished, (unsigned long long)wrong,
                  plural(farm.inventory.overlaps.size(), "overlap").c_str());
    set_text(w, 10, farm.inventory.overlaps.empty() && wrong == 0 ? COLOR_BODY : COLOR_RED);
    window_draw_text(w, farm_shorten(w, line, 592).c_str(), 24, 62);
}

// Beside the buttons: what Convert would do, or what the last run did.
void paint_plan_note(window_s* w) {
    std::string first, second;
    if (!farm.summary.empty()) {
        first = farm.summary;
    } else if (farm.plan.jobs.empty()) {
        first = "No complete PoC1 file to convert.";
    } else {
        first = plural(farm.plan.jobs.size(), "file") + " (" + fmt_size_tmp(farm.plan.bytes, false, "") +
                ") to convert";
        if (farm.plan.resumes) first += "; " + std::to_string(farm.plan.resumes) + " resume" + (farm.plan.resumes == 1 ? "s" : "");
        first += ".";
    }
    if (farm.summary.empty() && !farm.plan.skipped.empty())
        second = "Left alone: " + grouped(farm.plan.skipped) + ".";
    set_text(w, 10, COLOR_BODY);
    // The outcome may be long: it takes both lines, cut where the first is full.
    std::string shown = farm_shorten(w, first, 300);
    if (shown != first && second.empty()) {
        size_t cut = first.size();
        while (cut > 0 && window_text_width(w, first.substr(0, cut).c_str()) > 300) cut = first.rfind(' ', cut - 1);
        shown = first.substr(0, cut);
        second = first.substr(cut == 0 ? 0 : cut + 1);
    }
    window_draw_text(w, shown.c_str(), 174, 420);
    window_draw_text(w, farm_shorten(w, second, 300).c_str(), 174, 436);
}

}  // namespace

// [SECTION] Progress view

namespace {

void paint_progress(window_s* w) {
    const size_t count = farm.run.size(), i = std::min(farm.current, count ? count - 1 : 0);
    uint64_t total = 0, before = 0;
    for (size_t k = 0; k < count; ++k) {
        total += farm.run[k].bytes;
        if (k < i) before += farm.run[k].bytes;
    }
    const uint64_t done = std::min(before + farm.file_done, total);
    const std::string heading = "Converting file " + std::to_string(i + 1) + " of " + std::to_string(count) + " to PoC2";
    set_text(w, 14, COLOR_BLACK);
    window_draw_text(w, heading.c_str(), 24, 120);
    if (count) {
        set_text(w, 12, COLOR_BODY);
        window_draw_text(w, farm_shorten(w, window_display_name(farm.run[i].path.c_str()), 592).c_str(), 24, 150);
    }
    const double file_bytes = count ? (double)farm.run[i].bytes : 0;
    const double fraction = file_bytes > 0 ? std::min(farm.file_done / file_bytes, 1.0) : 0;
    window_set_stroke(w, CHART_WRITE.outline);
    window_set_fill(w, CHART_WRITE.area);
    window_draw_rect(w, 24, 180, 592, 24);
    window_no_stroke(w);
    window_set_fill(w, CHART_WRITE.outline);
    if (fraction > 0) window_draw_rect(w, 24, 180, (float)(592 * fraction), 24);
    char line[160];
    std::snprintf(line, sizeof line, "%0.1f%% of this file", fraction * 100);
    set_text(w, 9, COLOR_BODY);
    window_draw_text(w, line, 24, 210);
    std::snprintf(line, sizeof line, "%s done, %s left", fmt_size_tmp(done, false, ""),
                  fmt_size_tmp(total - done, false, ""));
    set_text(w, 13, COLOR_BLACK);
    window_draw_text(w, line, 24, 240);
    const double seconds = time_now() - farm.began;
    const double rate = seconds > 0 ? farm.fresh / seconds : 0;
    if (rate > 0)
        std::snprintf(line, sizeof line, "%s/s, about %s left", fmt_size_tmp((uint64_t)rate, false, ""),
                      fmt_duration((double)(total - done) / rate));
    else
        std::snprintf(line, sizeof line, "Measuring the rate...");
    set_text(w, 10, COLOR_BODY);
    window_draw_text(w, line, 24, 268);
    if (farm.stopping) window_draw_text(w, "Stopping after the current step; the journal keeps the file safe.", 24, 292);
}

}  // namespace

// [SECTION] Screen and input

void farm_open() {
    farm.summary.clear();
    farm.scroll = 0;
    farm.dragging = false;
    window_hit_regions_clear(main_window);
    ui_show(UI_FARM, farm_paint);
    list_on_worker(true);
}

void farm_back() {
    if (farm.converting) return;
    join_worker();
    farm.listing = false;
    ui_show(UI_SETUP, config_paint);
    window_invalidate(main_window);
}

void farm_paint(void*) {
    window_s* w = main_window;
    window_draw_clear(w, 0xFFFFFF);
    set_text(w, 22, COLOR_BLACK);
    window_draw_text(w, "Plots", 24, 24);
    if (farm.converting) {
        paint_progress(w);
        paint_button(w, farm.stopping ? "Stopping..." : "Stop", !farm.stopping, 481, 416, 140, 40, farm_stop, 12);
        return;
    }
    if (farm.listing) {
        set_text(w, 10, COLOR_BODY);
        window_draw_text(w, "Reading the folders...", 24, 62);
    } else {
        paint_totals(w);
        paint_columns(w);
        paint_list(w);
        paint_plan_note(w);
    }
    paint_button(w, "Back", true, 24, 416, 130, 40, farm_back, 12);
    // Where "Start Plotting!" is on the setup screen, a little wider for its label.
    paint_button(w, "Convert to PoC2", !farm.listing && !farm.plan.jobs.empty(), 481, 416, 140, 40, farm_convert, 12);
}

void farm_mouse(int32_t kind, int32_t x, int32_t y) {
    const bool in_list = x >= LIST_LEFT && x < 640 && y >= LIST_TOP && y < LIST_BOTTOM;
    const float before = farm.scroll;
    if ((kind == MOUSE_WHEEL_UP || kind == MOUSE_WHEEL_DOWN) && in_list)
        farm.scroll += kind == MOUSE_WHEEL_UP ? -WHEEL_STEP : WHEEL_STEP;
    if (kind == MOUSE_PRESS && in_list) farm.dragging = true, farm.drag_y = y, farm.drag_scroll = farm.scroll;
    if (kind == MOUSE_MOTION && farm.dragging) farm.scroll = farm.drag_scroll - (float)(y - farm.drag_y);
    if (kind == MOUSE_RELEASE) farm.dragging = false;
    const float visible = LIST_BOTTOM - LIST_TOP;
    farm.scroll = std::max(0.0f, std::min(farm.scroll, farm.content - visible));
    if (farm.scroll != before) window_invalidate(main_window);
}

void farm_set_failure_path(farm_failure_fn path) { failure_path = std::move(path); }

void farm_reset_for_tests() {
    farm_end();
    farm = farm_s();
    stop_asked = false;
}
