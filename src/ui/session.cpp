// The desktop program's shared objects and its phase.
#include "ui/session.h"

window_s* main_window = nullptr;
plotter_s* plotter = nullptr;
plots_s* plots = nullptr;
char cpu_brand[64];
int32_t gpu_count = 0;
char gpu_names[8][64];
ui_phase_e ui_phase = UI_SETUP;

void ui_show(ui_phase_e phase, window_paint_fn paint) {
    ui_phase = phase;
    if (main_window) window_set_paint(main_window, paint);
}
