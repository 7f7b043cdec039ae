// The desktop program's state and flow: start-up, the screens in turn, starting a run,
// its end, closing the window and files dropped on it.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plotter/drive.h"
#include "ui/widgets.h"
#include "ui/window.h"

struct plotter_s;
struct plots_s;

// The release, set by the build (KESTRUNE_VERSION in CMakeLists.txt).
constexpr const char* APP_VERSION = KESTRUNE_VERSION;

// Application state; read and changed on the UI thread only.
extern window_s* main_window;              // the one window; none before start-up creates it
extern plotter_s* plotter;                 // the plotting engine, holding the planned jobs
extern plots_s* plots;                     // remembered plot folders
extern std::vector<drive_s> ssd_drives;    // staging folders, in the order added
extern std::vector<drive_s> target_drives; // target folders, in the order added
extern char cpu_brand[64];                 // processor brand, shown on the setup screen
extern int32_t gpu_count;                  // GPUs found at start-up, at most 8
extern char gpu_names[8][64];              // their names
extern uint64_t planned_max_file_bytes;    // largest file of the current plan
extern uint64_t next_start_nonce;          // start nonce when auto_start_nonce is off
extern std::string start_dir;              // working directory at start-up; empty when unknown
extern char fill_text[128], ram_text[128], account_text[128], nonce_text[128], size_text[128];
extern int32_t fill_drive_index;           // target drive the fill prompt edits
extern std::function<void(uint64_t bytes)> fill_action;  // stores the fill prompt's value

void app_main();
void processing_start();
void setup_return();
void plotting_done();
bool app_close(void* user_data);
void app_drop(void* user_data, int32_t count, char** paths, int32_t x, int32_t y);
// Rebuilds the plotter's jobs from the folders and settings; sets planned_max_file_bytes.
void app_plan();
// Records the start folder and takes hold of it (log.txt's lock). A folder that cannot be
// found is reported and kept nowhere; false when another Kestrune already holds the folder.
bool app_start_folder();
// Loads config.yml from start_dir (writing a fresh one when it was missing or unreadable)
// and applies its folder lists.
void app_prefs_load();
// Writes config.yml into start_dir, remembering the target folders first.
void app_prefs_save();
// Shows a message or asks a question from any thread: on the UI thread directly,
// elsewhere posted to it while the caller waits for the answer.
void app_message_any_thread(const char* title, const char* text);
bool app_ask_any_thread(const char* title, const char* text);
// Whether the program is in its setting-up phase (the prompts and the setup screen).
bool app_setting_up();

// Screens
void config_paint(void* user_data);
void ui_prompt_latest_plot_paint(void* user_data);
void start_get_account_paint(void* user_data);
void start_get_nonce_paint(void* user_data);
void start_get_size_paint(void* user_data);
void start_get_ram_paint(void* user_data);
void drive_fill_paint(void* user_data);
void paint_cb(void* user_data);
void summary_paint(void* user_data);

// The plot checker's screen: checks the first dropped path; Back returns to the setup screen.
void ui_check_start(window_s* window, int32_t count, char** paths);
void ui_check_paint_cb(void* user_data);
void ui_check_back();
// Stops and frees the check, if any, without changing the screen.
void ui_check_end();
// The check the screen shows; none when no check exists.
const struct checker_s* ui_check_current();

// Setup operations
void drive_add(int32_t kind, const char* path, bool skip_space_check);
// The folder part of a path, whatever its length.
std::string path_folder(const char* path);
void drive_remove(int32_t kind, int32_t index);
void choose_latest_plot();
void paint_folder_input(window_s* window, const char* label, int32_t kind, int32_t y);
// Prompt openers: fill the prompt's buffer, add its entry and show it.
void open_account_prompt();
void open_nonce_prompt();
void open_size_prompt();
void open_ram_prompt();
void open_fill_prompt(int32_t drive_index);

// Typed numbers: leading blanks skipped, reading stops at the first unfit character and
// no number gives 0. A negative or out-of-range number gives the setting's start value
// (0 for a start nonce) instead of wrapping into a huge one.
uint64_t prompt_read_u64(const char* text);
uint64_t prompt_read_bytes(const char* text, double unit, uint64_t fallback);
// The account of the prompt's text, 0 when it is not an account.
uint64_t prompt_read_account(const char* text);

// Forgets the folders and the screen state, for tests that start over.
void app_reset_for_tests();
