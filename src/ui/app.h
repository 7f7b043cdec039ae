// The desktop program's flow: start-up, starting a run, its end, closing the window and
// files dropped on it. The screens themselves live in setup.h, progress.h and check_screen.h.
#pragma once
#include <cstdint>
#include <string>

// The release, set by the build (KESTRUNE_VERSION in CMakeLists.txt).
constexpr const char* APP_VERSION = KESTRUNE_VERSION;

extern std::string start_dir;  // working directory at start-up; empty when unknown

void app_main();
void processing_start();
void plotting_done();
bool app_close(void* user_data);
void app_drop(void* user_data, int32_t count, char** paths, int32_t x, int32_t y);
// The window's pointer events: only the farm screen's list follows them (wheel and drag);
// clicks go by hit regions.
void app_mouse(void* user_data, int32_t kind, int32_t x, int32_t y);
// Records the start folder and takes hold of it (log.txt's lock). A folder that cannot be
// found is reported and kept nowhere; false when another Kestrune already holds the folder.
bool app_start_folder();
// Loads config.yml from start_dir (writing a fresh one when it was missing or unparsable,
// never over one it could not read) and applies its folder lists.
void app_prefs_load();
// Writes config.yml into start_dir, remembering the target folders first.
void app_prefs_save();
// Shows a message or asks a question from any thread: on the UI thread directly,
// elsewhere posted to it while the caller waits for the answer.
void app_message_any_thread(const char* title, const char* text);
bool app_ask_any_thread(const char* title, const char* text);
// Shows the text of a file that failed, from any thread, without waiting for the answer:
// a worker goes on with the other drives while the message is up.
void app_failure_any_thread(const std::string& text);
// Whether the program is in its setting-up phase (the prompts, the setup and checker screens).
bool app_setting_up();

// Forgets the folders and the screen state, for tests that start over.
void app_reset_for_tests();
