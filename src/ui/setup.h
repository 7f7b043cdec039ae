// The setup screens: the setup screen with its processor and folder strips, the first-run
// question, the text prompts, the folder and plot-file choices behind them, and the plan
// they make.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plotter/drive.h"
#include "ui/window.h"

// What the setup screens keep between paints. One record, owned by the setup code; the
// run's screens read the drive lists, which the planned jobs point into.
struct setup_s {
    std::vector<drive_s> ssd_drives;      // staging folders, in the order added
    std::vector<drive_s> target_drives;   // target folders, in the order added
    uint64_t next_start_nonce = 0;        // start nonce when auto_start_nonce is off
    uint64_t planned_max_file_bytes = 0;  // largest file of the current plan
    char fill_text[128] = {}, ram_text[128] = {}, account_text[128] = {}, nonce_text[128] = {},
         size_text[128] = {};             // the prompts' entry buffers
    int32_t fill_drive_index = 0;         // target drive the fill prompt edits
    std::function<void(uint64_t bytes)> fill_action;  // stores the fill prompt's value
    std::function<void()> start;          // "Start Plotting!"; set by the application flow
    std::function<void()> open_plots;     // the "Plots" link; set by the application flow
};

extern setup_s setup;

// Shows the setup screen (closing any prompt) with a fresh plan.
void setup_show();
// Shows the first screen: the setup screen, or the first-run question without an account.
void setup_show_first();
// Rebuilds the plotter's jobs from the folders and settings; sets planned_max_file_bytes.
void setup_plan();
// Forgets the folders, the plan and the prompts' texts (the start and Plots actions stay).
void setup_reset();

// Screens
void config_paint(void* user_data);
void ui_prompt_latest_plot_paint(void* user_data);
void start_get_account_paint(void* user_data);
void start_get_nonce_paint(void* user_data);
void start_get_size_paint(void* user_data);
void start_get_ram_paint(void* user_data);
void drive_fill_paint(void* user_data);

// The two lists of folders the setup screen keeps; also the index of each list's scroll state.
enum setup_folders_e : int32_t { SETUP_STAGING = 0, SETUP_TARGETS = 1 };
void setup_drive_add(setup_folders_e kind, const char* path, bool skip_space_check);
void setup_drive_remove(setup_folders_e kind, int32_t index);
// Why files cannot be written in a folder, as a sentence naming it; empty when they can.
std::string folder_write_refusal(const char* path);
// The folder part of a path, whatever its length.
std::string path_folder(const char* path);
void choose_latest_plot();
void paint_folder_input(window_s* window, const char* label, setup_folders_e kind, int32_t y);
// Prompt openers: fill the prompt's buffer, add its entry and show it.
void open_account_prompt();
void open_nonce_prompt();
void open_size_prompt();
void open_ram_prompt();
void open_fill_prompt(int32_t drive_index);

// A number as a prompt reads it from its text: the value, or why the text is refused.
struct prompt_number_s {
    uint64_t value = 0;   // the number read (bytes, for amounts); 0 when refused
    std::string refusal;  // why the text is not such a number, in words; empty when accepted
};
// A whole number (a start nonce): digits, blanks around them allowed.
prompt_number_s prompt_read_u64(const char* text);
// An amount of `unit` bytes written as a decimal number (2.5, 1e3), at most `most` bytes;
// `too_much` says why a larger one is refused (empty: the text "is too large").
prompt_number_s prompt_read_bytes(const char* text, double unit, uint64_t most, const std::string& too_much = "");
// The account of the prompt's text, 0 when it is not an account.
uint64_t prompt_read_account(const char* text);
