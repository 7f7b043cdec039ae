// The setup screens: the setup screen with its processor and folder strips, the first-run
// question, the five text prompts, and the folder and plot-file choices behind them.
//
// [SECTION] Plan and screens   [SECTION] Typed values   [SECTION] Folders   [SECTION] Setup screen
// [SECTION] First-run question   [SECTION] Prompts
#include "ui/setup.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "account/address.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotter/plan.h"
#include "plotfile/plotfile.h"
#include "plotter/plotter.h"
#include "settings/settings.h"
#include "ui/session.h"
#include "ui/widgets.h"

setup_s setup;

namespace {

constexpr const char* SAMPLE_ADDRESS = "BURST-8V9Y-58B4-RVWP-8HQAV";
constexpr const char* SAMPLE_ID = "7900104405094198526";
constexpr uint64_t MIN_FREE_BYTES = 134217728;  // a drive with less is not worth planning on
constexpr double GIB = 1024.0 * 1024.0 * 1024.0;
constexpr uint32_t COLOR_REFUSAL = 0xFFC42B1C;  // a prompt's reason for refusing its text
const char* const processor_labels[9] = {"CPU", "GPU0", "GPU1", "GPU2", "GPU3", "GPU4", "GPU5", "GPU6", "GPU7"};

scroll_state_s processor_scroll;
scroll_state_s folder_scroll[2];
bool folder_scroll_to_end[2];
uint64_t fill_bytes_typed = 0;  // the fill prompt's value as last painted

std::vector<drive_s>& drives_of(setup_folders_e kind) {
    return kind == SETUP_STAGING ? setup.ssd_drives : setup.target_drives;
}

uint64_t ram_shown() { return max_ram_bytes ? max_ram_bytes : sys_total_ram() / 4 * 3; }

// Bytes the plan writes to each target, in the order of the target list.
std::vector<uint64_t> planned_target_bytes() {
    std::vector<uint64_t> bytes(setup.target_drives.size(), 0);
    plotter_for_each_job(plotter, [&bytes](job_s* job) {
        const drive_s* target = job->final_drive ? job->final_drive : job->write_drive;
        for (size_t i = 0; i < bytes.size(); ++i)
            if (target == &setup.target_drives[i]) bytes[i] += job->nonce_count * PLOT_SIZE;
        return true;
    });
    return bytes;
}

// The largest sector of the chosen folders: the one that rounds file sizes most.
uint64_t widest_sector() {
    uint64_t sector = 512;
    for (const auto* drives : {&setup.ssd_drives, &setup.target_drives})
        for (const drive_s& drive : *drives) sector = std::max(sector, drive.sector_size);
    return sector;
}

// What a largest file size means for the files of the plan.
std::string file_size_meaning(uint64_t bytes) {
    if (bytes == 0) return "0 = no limit: each file as large as its drive allows";
    const uint64_t nonces = plan_file_nonces(bytes, widest_sector());
    char line[128];
    std::snprintf(line, sizeof line, "%s = %llu nonces", fmt_size_tmp(nonces * PLOT_SIZE, false, ""),
                  (unsigned long long)nonces);
    return line;
}

void text_at(window_s* w, const char* text, float size, uint32_t color, float x, float y) {
    window_set_font(w, UI_FONT, size);
    window_set_fill(w, color);
    window_draw_text(w, text, x, y);
}

void centred(window_s* w, const char* text, float size, uint32_t color, float y) {
    window_set_font(w, UI_FONT, size);
    window_set_fill(w, color);
    paint_text_centred(w, text, y);
}

void choose_folder_of(setup_folders_e kind) {
    std::string path;
    const char* title = kind == SETUP_TARGETS ? "Path to external drive plots" : "Path to SSD folder";
    if (window_choose_folder(main_window, title, &path)) setup_drive_add(kind, path.c_str(), false);
    folder_scroll_to_end[kind] = true;
}

// A prompt's line under its entry: what the typed value means, or why it is refused.
void prompt_line(window_s* w, const std::string& meaning, const prompt_number_s& typed) {
    if (!typed.refusal.empty()) centred(w, typed.refusal.c_str(), 12, COLOR_REFUSAL, 267);
    else if (!meaning.empty()) centred(w, meaning.c_str(), 12, COLOR_BODY, 267);
}

// Shared frame of the text prompts: title, the line under the entry.
void prompt_frame(window_s* w, const char* title) {
    window_draw_clear(w, 0xFFFFFF);
    centred(w, title, 22, COLOR_BODY, 150);
    window_set_stroke(w, COLOR_BODY);
    window_draw_line(w, 110, 259, 530, 259);
    window_no_stroke(w);
}

void open_prompt(char* buffer, int32_t height, window_paint_fn screen) {
    window_entry_add(main_window, 110, 225, 420, height, 128, buffer);
    ui_show(UI_PROMPT, screen);
}

void start_run() {
    if (setup.start) setup.start();
}

void paint_processor_items(window_s* w, int32_t count, int32_t item_w, int32_t x, int32_t y, const region_adder& add) {
    for (int32_t i = 0; i < count; ++i, x += item_w + 4) {
        const bool hovered = add(x, y, item_w, 64, [w, i] {
            gpu_mask = i == 0 ? 0 : gpu_mask ^ (1u << (i - 1));
            window_invalidate(w);
        });
        const bool selected = i == 0 ? gpu_mask == 0 : (gpu_mask >> (i - 1)) & 1;
        if (selected || hovered) {
            window_set_stroke(w, 0xFFD9EAF4);
            window_set_fill(w, selected ? 0xFFF1F6FA : 0);
            window_draw_rect(w, (float)x, (float)y, (float)item_w, 64);
            window_no_stroke(w);
        }
        window_set_font(w, UI_FONT, 14);
        window_set_fill(w, COLOR_ACCENT);
        const char* label = processor_labels[i];
        window_draw_text(w, label, (float)x + (float)(int32_t)(item_w - window_text_width(w, label)) / 2, (float)y + 10);
        const char* caption = i == 0 ? cpu_brand : gpu_names[i - 1];
        window_set_font(w, UI_FONT, 9);
        window_set_fill(w, COLOR_BODY);
        const float caption_w = window_text_width(w, caption);
        if (caption_w <= item_w) {
            window_draw_text(w, caption, (float)x + (float)(int32_t)(item_w - caption_w) / 2, (float)y + 36);
        } else {
            window_clip_push(w, x, y, item_w - 2, 64);
            window_draw_text(w, caption, (float)x, (float)y + 36);
            window_clip_pop(w);
        }
    }
}

// "Plots" at the top right, beside the title: the farm screen.
void paint_plots_link(window_s* w) {
    window_set_font(w, UI_FONT, 12);
    const float width = window_text_width(w, "Plots");
    const int32_t x = 590 - (int32_t)width / 2;
    const bool hovered = window_hit_region_add(w, x - 8, 28, (int32_t)width + 16, 24, [] {
        if (setup.open_plots) setup.open_plots();
    });
    window_set_fill(w, hovered ? COLOR_LINK_HOVER : COLOR_ACCENT);
    window_draw_text(w, "Plots", (float)x, 32);
    if (hovered) {
        window_set_stroke(w, COLOR_LINK_HOVER);
        window_draw_line(w, (float)x, 50, (float)x + width, 50);
        window_no_stroke(w);
    }
}

void paint_plan_summary(window_s* w) {
    window_set_font(w, UI_FONT, 10);
    window_set_fill(w, COLOR_BODY);
    uint64_t files = 0, nonces = 0;
    plotter_for_each_job(plotter, [&](job_s* job) {
        ++files;
        nonces += job->nonce_count;
        return true;
    });
    if (files == 0) {
        window_draw_text(w, "Select target paths for plot files and optionally SSDs for fast staging.", 24, 74);
        return;
    }
    char size[64], line[128];
    fmt_size(sizeof size, size, nonces * PLOT_SIZE, false, "");
    const size_t drives = setup.target_drives.size();
    std::snprintf(line, sizeof line, "%s will be written to %llu file%s %s %d drive%s.", size,
                  (unsigned long long)files, files >= 2 ? "s" : "", drives == 1 ? "on" : "across", (int)drives,
                  drives >= 2 ? "s" : "");
    window_draw_text(w, line, 24, 74);
}

void paint_setting_lines(window_s* w) {
    int32_t y = setup.ssd_drives.empty() ? 426 : 417;
    if (setup.target_drives.empty()) y -= 9;
    char line[128];
    if (auto_start_nonce)
        std::snprintf(line, sizeof line, "Start nonce: Automatic");
    else
        std::snprintf(line, sizeof line, "Start nonce: %llu", (unsigned long long)setup.next_start_nonce);
    paint_text_link(w, line, 24, y, open_nonce_prompt);
    if (!setup.target_drives.empty()) {
        y += 18;
        if (max_file_bytes == 0)
            std::snprintf(line, sizeof line, "Max file size: no limit");
        else
            std::snprintf(line, sizeof line, "Max file size: %s", fmt_size_tmp(setup.planned_max_file_bytes, false, ""));
        paint_text_link(w, line, 24, y, open_size_prompt);
    }
    if (setup.ssd_drives.empty()) {
        y += 18;
        std::snprintf(line, sizeof line, "RAM to use: %s", fmt_size_tmp(ram_shown(), true, ""));
        paint_text_link(w, line, 24, y, open_ram_prompt);
    }
}

}  // namespace

// [SECTION] Plan and screens

void setup_show() {
    window_entries_clear(main_window);
    ui_show(UI_SETUP, config_paint);
    setup_plan();
    window_invalidate(main_window);
}

void setup_show_first() {
    if (account_id != 0)
        ui_show(UI_SETUP, config_paint);
    else
        ui_show(UI_PROMPT, ui_prompt_latest_plot_paint);
}

void setup_plan() {
    if (!plotter || !plots) return;
    plan_input_s input;
    for (drive_s& drive : setup.ssd_drives) input.ssds.push_back(&drive);
    for (drive_s& drive : setup.target_drives) input.targets.push_back(&drive);
    input.account_id = account_id;
    input.auto_start = auto_start_nonce;
    input.start_nonce = setup.next_start_nonce;
    input.max_file_bytes = max_file_bytes;
    input.max_fill_bytes = max_fill_bytes;
    input.poc2 = use_poc2_format;
    setup.planned_max_file_bytes = plotter_plan(plotter, plots, input).max_file_bytes;
}

void setup_reset() {
    std::function<void()> start = std::move(setup.start), open_plots = std::move(setup.open_plots);
    setup = setup_s();
    setup.start = std::move(start);
    setup.open_plots = std::move(open_plots);
}

// [SECTION] Typed values

namespace {

prompt_number_s refused(const std::string& why) {
    prompt_number_s number;
    number.refusal = why;
    return number;
}

std::string trimmed(const char* text) {
    std::string t(text);
    const size_t first = t.find_first_not_of(" \t\n");
    if (first == std::string::npos) return "";
    return t.substr(first, t.find_last_not_of(" \t\n") - first + 1);
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Whole numbers are digits only; decimal numbers also take a point and an exponent
// (strtod alone would also read hexadecimal, "inf" and "nan").
bool whole_number(const std::string& t) { return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos; }

bool decimal_number(const std::string& t, double* value) {
    if (t.empty() || t.find_first_not_of("0123456789.eE+-") != std::string::npos) return false;
    char* end = nullptr;
    *value = std::strtod(t.c_str(), &end);
    return end != t.c_str() && *end == 0;
}

}  // namespace

prompt_number_s prompt_read_u64(const char* text) {
    const std::string t = trimmed(text);
    if (t.empty()) return refused("Type a number.");
    if (t[0] == '-' && whole_number(t.substr(1))) return refused("The number cannot be negative.");
    if (!whole_number(t)) return refused(quoted(t) + " is not a number.");
    const char* digits = t.c_str();
    prompt_number_s number;
    if (!str_read_u64(&digits, &number.value)) return refused(quoted(t) + " is too large.");
    return number;
}

prompt_number_s prompt_read_bytes(const char* text, double unit, uint64_t most, const std::string& too_much) {
    const std::string t = trimmed(text);
    double value = 0;
    if (t.empty()) return refused("Type a number.");
    if (!decimal_number(t, &value)) return refused(quoted(t) + " is not a number.");
    if (value < 0) return refused("The number cannot be negative.");
    const double bytes = value * unit;
    if (!(bytes < 18446744073709551615.0)) return refused(quoted(t) + " is too large.");
    if ((uint64_t)bytes > most) return refused(too_much.empty() ? quoted(t) + " is too large." : too_much);
    prompt_number_s number;
    number.value = (uint64_t)bytes;
    return number;
}

uint64_t prompt_read_account(const char* text) {
    uint64_t id = 0;
    return address_read_account(text, &id) ? id : 0;
}

// [SECTION] Folders

std::string path_folder(const char* path) {
    std::string folder(std::strlen(path) + 1, '\0');
    path_dirname(folder.size(), folder.data(), path);
    return folder.c_str();
}

std::string folder_write_refusal(const char* path) {
    const int error = sys_dir_try_write(path).error;
    if (error == 0) return "";
    return "Kestrune cannot write files in " + window_display_name(path) + ": " + std::strerror(error) + ".";
}

void setup_drive_add(setup_folders_e kind, const char* path, bool skip_space_check) {
    std::vector<drive_s>& drives = drives_of(kind);
    for (const drive_s& drive : drives)
        if (std::strcmp(drive.path, path) == 0) return;
    const std::string refusal = folder_write_refusal(path);
    if (!refusal.empty()) {
        sys_log("Not adding %s: %s\n", path, refusal.c_str());
        window_message_box(main_window, "Sorry", "%s", refusal.c_str());
        return;
    }
    plots_folder_add(plots, path);
    drive_s drive;
    if (!drive_init(&drive, path, kind == SETUP_STAGING)) {
        window_message_box(main_window, "Sorry", "The path of this folder is too long for plot file names.");
        return;
    }
    if (!skip_space_check &&
        (drive_nonces_fit(drive.free_bytes / 2, drive.sector_size) == 0 || drive.free_bytes < MIN_FREE_BYTES)) {
        char free_text[32], need_text[32];
        fmt_size(sizeof free_text, free_text, drive.free_bytes, false, "");
        fmt_size(sizeof need_text, need_text, MIN_FREE_BYTES, false, "");
        sys_log("Not adding %s: %s free, the plan needs at least %s\n", path, free_text, need_text);
        window_message_box(main_window, "Sorry", "There isn't enough free space on this drive.\n%s has %s free; at least %s is needed.",
                    window_display_name(path).c_str(), free_text, need_text);
        return;
    }
    drives.push_back(drive);
    setup_plan();
    if (main_window) window_invalidate(main_window);
}

void setup_drive_remove(setup_folders_e kind, int32_t index) {
    std::vector<drive_s>& drives = drives_of(kind);
    if (index < 0 || index >= (int32_t)drives.size()) return;
    drives.erase(drives.begin() + index);
    setup_plan();
    window_invalidate(main_window);
}

void paint_folder_input(window_s* w, const char* label, setup_folders_e kind, int32_t y) {
    text_at(w, label, 14, COLOR_BLACK, 24, (float)y);
    std::vector<drive_s>& drives = drives_of(kind);
    std::vector<std::string> captions, shown;
    std::vector<float> widths;
    float content = 0;
    // A target's caption is what the plan writes to it, as the plan summary counts it.
    const std::vector<uint64_t> planned = kind == SETUP_TARGETS ? planned_target_bytes() : std::vector<uint64_t>();
    for (size_t i = 0; i < drives.size(); ++i) {
        const drive_s& drive = drives[i];
        char caption[64];
        if (kind == SETUP_TARGETS && planned[i] != 0)
            std::snprintf(caption, sizeof caption, "Fill %s", fmt_size_tmp(planned[i], false, ""));
        else if (kind == SETUP_TARGETS)
            std::snprintf(caption, sizeof caption, "Nothing planned: %s free", fmt_size_tmp(drive.free_bytes, false, ""));
        else
            std::snprintf(caption, sizeof caption, "%s free", fmt_size_tmp(drive.free_bytes, false, ""));
        window_set_font(w, UI_FONT, 12);
        shown.push_back(window_display_name(drive.path));
        const float path_w = window_text_width(w, shown.back().c_str());
        window_set_font(w, UI_FONT, 7);
        const float caption_w = window_text_width(w, caption);
        captions.push_back(caption);
        widths.push_back(path_w);
        widths.push_back(caption_w);
        content += std::max(path_w, caption_w) + 20;
    }
    const bool adding = drives.size() < 12;
    const char* add_text = drives.empty() ? "Click to select..." : "+";
    window_set_font(w, UI_FONT, drives.empty() ? 12 : 20);
    const float add_w = std::max(32.0f, window_text_width(w, add_text));
    if (adding) content += add_w;
    folder_scroll[kind].content_width = content;
    if (folder_scroll_to_end[kind]) {
        folder_scroll_to_end[kind] = false;
        folder_scroll[kind].offset = -content;
    }
    paint_scroll_horz(w, &folder_scroll[kind], y + 14, 64, [&](int32_t x, int32_t sy, const region_adder& add) {
        const int32_t ty = sy + 24, cy = ty + 22;
        for (int32_t i = 0; i < (int32_t)drives.size(); ++i) {
            const float path_w = widths[2 * i], caption_w = widths[2 * i + 1];
            const int32_t item_w = (int32_t)(std::max(path_w, caption_w) + 20);
            const bool hovered = add(x, sy, item_w, cy - sy, [kind, i] { setup_drive_remove(kind, i); });
            text_at(w, shown[i].c_str(), 12, hovered ? 0xFF8B12AE : 0xFF4DA60C, (float)x, (float)ty);
            const bool caption_hovered =
                kind == SETUP_TARGETS && add(x, cy, (int32_t)caption_w + 2, 16, [i] { open_fill_prompt(i); });
            text_at(w, captions[i].c_str(), 7, caption_hovered ? COLOR_ACCENT : COLOR_BODY, (float)x + 2, (float)cy);
            x += item_w;
        }
        if (!adding) return;
        const int32_t item_y = drives.empty() ? sy + 4 : sy;
        const int32_t row = item_y + 24;
        const bool hovered = add(x, item_y, (int32_t)add_w, 64, [kind] { choose_folder_of(kind); });
        window_set_font(w, UI_FONT, drives.empty() ? 12 : 20);
        window_set_fill(w, drives.empty() || hovered ? COLOR_ACCENT : COLOR_BODY);
        window_draw_text(w, add_text, (float)x + (float)(int32_t)(add_w - window_text_width(w, add_text)) / 2, (float)row);
        if (drives.empty() && hovered) {
            window_set_stroke(w, COLOR_ACCENT);
            window_draw_line(w, (float)x, (float)row + 18, (float)x + add_w, (float)row + 18);
            window_no_stroke(w);
        }
    });
}

void choose_latest_plot() {
    std::string path;
    const char* title = auto_start_nonce
                            ? "Select any plot file. Your account id will be read from it."
                            : "Select your latest plot file. Account id and starting nonce will be determined from this.";
    if (!window_choose_file(main_window, title, &path)) return;
    plotfile_name_s name;
    if (plotfile_name_parse(path.c_str(), &name) == PLOTFILE_NAME_NONE) {
        window_message_box(main_window, "Error", "Incorrect filename format for plotfile.");
        return;
    }
    plots_folder_add(plots, path_folder(path.c_str()).c_str());
    setup.next_start_nonce = auto_start_nonce ? 0 : name.start + name.count;
    account_id = name.account;
    setup_show();
}

// [SECTION] Setup screen

void config_paint(void*) {
    window_s* w = main_window;
    window_hit_regions_clear(w);
    window_draw_clear(w, 0xFFFFFF);
    text_at(w, "Config", 22, COLOR_BLACK, 24, 24);
    paint_plots_link(w);
    paint_plan_summary(w);
    text_at(w, "Processor", 14, COLOR_BLACK, 24, 114);
    const int32_t count = std::min(gpu_count, 8) + 1;
    const int32_t item_w = std::max((560 - (count - 1) * 4) / count, 106);
    processor_scroll.content_width = (float)((count - 1) * 4 + count * item_w);
    paint_scroll_horz(w, &processor_scroll, 142, 65, [w, count, item_w](int32_t x, int32_t y, const region_adder& add) {
        paint_processor_items(w, count, item_w, x, y, add);
    });
    const int32_t base = 142 + 64;
    paint_folder_input(w, "SSD path", SETUP_STAGING, base + 32);
    paint_folder_input(w, "Target disk path", SETUP_TARGETS, base + 122);
    paint_setting_lines(w);
    paint_button(w, "Start Plotting!", account_id != 0 && plotter_job_count(plotter) > 0, 486, 416, 130, 40,
                 start_run, 12);
}

// [SECTION] First-run question

void ui_prompt_latest_plot_paint(void*) {
    window_s* w = main_window;
    window_hit_regions_clear(w);
    window_draw_clear(w, 0xFFFFFF);
    centred(w, "Do you have existing plots?", 22, COLOR_BODY, 150);
    paint_button(w, "Yes", true, 210, 214, 100, 34, choose_latest_plot, 12);
    paint_button(w, "No", true, 330, 214, 100, 34, open_account_prompt, 12);
    centred(w, "Pointing Kestrune to one of your plots will allow it to determine your account id automatically.", 10,
            COLOR_BLACK, 314);
}

// [SECTION] Prompts

void open_account_prompt() { open_prompt(setup.account_text, 26, start_get_account_paint); }

void open_nonce_prompt() {
    std::snprintf(setup.nonce_text, sizeof setup.nonce_text, "%llu", (unsigned long long)setup.next_start_nonce);
    open_prompt(setup.nonce_text, 30, start_get_nonce_paint);
}

void open_size_prompt() {
    const uint64_t shown = max_file_bytes == 0 ? 0 : setup.planned_max_file_bytes;
    std::snprintf(setup.size_text, sizeof setup.size_text, "%g", shown / 1e9);
    open_prompt(setup.size_text, 30, start_get_size_paint);
}

void open_ram_prompt() {
    std::snprintf(setup.ram_text, sizeof setup.ram_text, "%0.1f", ram_shown() / GIB);
    open_prompt(setup.ram_text, 30, start_get_ram_paint);
}

void open_fill_prompt(int32_t drive_index) {
    std::snprintf(setup.fill_text, sizeof setup.fill_text, "%0.1f", max_fill_bytes / 1e9);
    setup.fill_drive_index = drive_index;
    setup.fill_action = [drive_index](uint64_t bytes) {
        if (drive_index < (int32_t)setup.target_drives.size()) setup.target_drives[drive_index].fill_limit = bytes;
        setup_plan();
    };
    open_prompt(setup.fill_text, 30, drive_fill_paint);
}

void start_get_account_paint(void*) {
    window_s* w = main_window;
    account_id = prompt_read_account(setup.account_text);
    prompt_frame(w, "Please enter your address or account id");
    char example[128];
    std::snprintf(example, sizeof example, "Example: %s or %s", SAMPLE_ADDRESS, SAMPLE_ID);
    centred(w, example, 10, COLOR_BODY, 274);
    paint_button(w, "OK", account_id != 0, 270, 339, 100, 34, setup_show, 12);
}

void start_get_nonce_paint(void*) {
    window_s* w = main_window;
    const prompt_number_s typed = prompt_read_u64(setup.nonce_text);
    if (typed.refusal.empty()) setup.next_start_nonce = typed.value;
    prompt_frame(w, "Enter a new starting nonce");
    prompt_line(w, "", typed);
    paint_button(w, "Use Auto mode", true, 95, 339, 140, 34, [] {
        setup.next_start_nonce = 0;
        auto_start_nonce = true;
        setup_show();
    }, 12);
    paint_button(w, "Choose from file", true, 250, 339, 140, 34, [] {
        auto_start_nonce = false;
        choose_latest_plot();
    }, 12);
    paint_button(w, "Done", typed.refusal.empty(), 405, 339, 140, 34, [] {
        auto_start_nonce = false;
        setup_show();
    }, 12);
}

void start_get_size_paint(void*) {
    window_s* w = main_window;
    const prompt_number_s typed = prompt_read_bytes(setup.size_text, 1e9, UINT64_MAX);
    if (typed.refusal.empty()) max_file_bytes = typed.value;
    prompt_frame(w, "Enter new max file size in GB");
    prompt_line(w, file_size_meaning(max_file_bytes), typed);
    paint_button(w, "OK", typed.refusal.empty(), 270, 339, 100, 34, setup_show, 12);
}

void start_get_ram_paint(void*) {
    window_s* w = main_window;
    // The memory as shown (to a tenth of a GiB) may be typed back; more than that is refused.
    const uint64_t memory = sys_total_ram();
    const uint64_t shown = (uint64_t)(std::ceil(memory / GIB * 10) / 10 * GIB);
    const std::string too_much =
        std::string("This machine has ") + fmt_size_tmp(memory, true, "") + " of memory; type at most that.";
    const prompt_number_s typed = prompt_read_bytes(setup.ram_text, GIB, shown, too_much);
    if (typed.refusal.empty()) max_ram_bytes = std::min(typed.value, memory);
    prompt_frame(w, "Enter new max RAM size to use in GiB");
    prompt_line(w, "", typed);
    paint_button(w, "OK", typed.refusal.empty(), 270, 339, 100, 34, setup_show, 12);
}

void drive_fill_paint(void*) {
    window_s* w = main_window;
    const prompt_number_s typed = prompt_read_bytes(setup.fill_text, 1e9, UINT64_MAX);
    if (typed.refusal.empty()) fill_bytes_typed = typed.value;
    prompt_frame(w, "How many GB should be filled on this drive?");
    std::string available;
    if (setup.fill_drive_index < (int32_t)setup.target_drives.size()) {
        const drive_s& drive = setup.target_drives[setup.fill_drive_index];
        char line[128];
        std::snprintf(line, sizeof line, "%s available of %s total", fmt_size_tmp(drive.free_bytes, false, ""),
                      fmt_size_tmp(drive.total_bytes, false, ""));
        available = line;
    }
    prompt_line(w, available, typed);
    paint_button(w, "OK", typed.refusal.empty(), 270, 339, 100, 34, [w] {
        window_entries_clear(w);
        ui_show(UI_SETUP, config_paint);
        if (setup.fill_action) setup.fill_action(fill_bytes_typed);
        window_invalidate(w);
    }, 12);
}
