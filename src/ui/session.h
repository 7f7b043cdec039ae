// What every screen of the desktop program shares: the window, the plotting engine, the
// remembered folders, the processor names, and the phase the program is in.
#pragma once
#include <cstdint>

#include "ui/window.h"

struct plotter_s;
struct plots_s;

// The program's phase, set together with the screen that shows it.
enum ui_phase_e : uint32_t {
    UI_SETUP = 0,    // the setup screen
    UI_PROMPT = 1,   // the first-run question or a text prompt
    UI_CHECK = 2,    // the plot checker's screen
    UI_RUN = 3,      // the progress screen of a run
    UI_SUMMARY = 4,  // the summary after a run
    UI_FARM = 5,     // the plot files of every folder, and their conversion
};

// Read and changed on the UI thread only.
extern window_s* main_window;   // the one window; none before start-up creates it
extern plotter_s* plotter;      // the plotting engine, holding the planned jobs
extern plots_s* plots;          // remembered plot folders
extern char cpu_brand[64];      // processor brand, shown on the setup and progress screens
extern int32_t gpu_count;       // GPUs found at start-up, at most 8
extern char gpu_names[8][64];   // their names
extern ui_phase_e ui_phase;     // the phase of the screen shown

// Shows a screen and records its phase.
void ui_show(ui_phase_e phase, window_paint_fn paint);
