// The plot checker's screen, shown for files dropped on the setup screen.
#pragma once
#include <cstdint>
#include <string>

#include "ui/window.h"

struct checker_s;

// Checks the first dropped path (saying on screen when more were dropped); Back returns
// to the setup screen.
void ui_check_start(window_s* window, int32_t count, char** paths);
void ui_check_paint_cb(void* user_data);
void ui_check_back();
// Stops and frees the check, if any, without changing the screen.
void ui_check_end();
// The check the screen shows; none when no check exists.
const checker_s* ui_check_current();

// The screen's words on a check: the verdict (or the progress) and how much of the file the
// sample reads. Both empty when a dialog has said why the file was not checked.
struct ui_check_verdict_s {
    std::string line;   // counts while running, the verdict once finished
    std::string note;   // the sample's share of the file's scoops
    bool bad = false;   // some sample differs
};
ui_check_verdict_s ui_check_verdict(const checker_s* checker);
