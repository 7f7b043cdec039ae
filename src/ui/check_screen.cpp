// The plot checker's screen: one square per sample coloured by its progress and verdict,
// the file's path, a verdict line and the Back button.
//
// DESIGN: the screen runs on the UI thread and owns the one checker_s. The checker's
// thread and workers only set the samples' atomic flags, which every paint (250 ms) reads;
// starting a new check or leaving with Back stops the running one and joins its thread
// before freeing it. Dialogs of a failed check reach this thread through sys_ui_post.
#include "ui/check_screen.h"

#include <cstdio>
#include <string>

#include "check/check.h"
#include "nonce/nonce.h"
#include "platform/sys.h"
#include "ui/session.h"
#include "ui/setup.h"
#include "ui/widgets.h"

namespace {

checker_s* checker = nullptr;       // the check shown; none when no check exists
window_s* check_window = nullptr;   // the window it draws into
int32_t dropped_count = 0;          // files dropped together; only the first is checked

uint32_t sample_colour(const check_sample_s& s) {
    if (s.compared.load()) return s.match.load() ? 0xFF4CD964 : 0xFFDE1D10;
    if (s.computed.load()) return 0xFFFF9500;
    if (s.computing.load()) return 0xFFDBDB2F;
    if (s.read.load()) return 0xFF34AADC;
    return 0xFFF0F0F0;
}

// The verdict beside the Back button, and below it how much of the file the sample read.
void paint_verdict(window_s* w) {
    const ui_check_verdict_s verdict = ui_check_verdict(checker);
    window_set_font(w, UI_FONT, 10);
    window_set_fill(w, verdict.bad ? 0xFFDE1D10 : COLOR_BODY);
    window_draw_text(w, verdict.line.c_str(), 174, 420);
    window_set_fill(w, COLOR_BODY);
    window_draw_text(w, verdict.note.c_str(), 174, 436);
}

// A failed check's message, from the checker thread: shown on the UI thread without holding
// the checker.
void show_on_ui_thread(const char* title, const char* text) {
    const std::string t = title, x = text;
    sys_ui_post([t, x] { window_message_box(main_window, t.c_str(), "%s", x.c_str()); });
}

}  // namespace

// Counts while the check runs, the verdict once it has finished; nothing after a dialog. A
// sample that matches says nothing of the scoops it did not read, so every line says it is one.
ui_check_verdict_s ui_check_verdict(const checker_s* c) {
    ui_check_verdict_s verdict;
    const uint32_t result = c ? c->result.load() : (uint32_t)CHECK_STOPPED;
    if (result != CHECK_RUNNING && result != CHECK_FINISHED) return verdict;
    uint32_t compared = 0, bad = 0;
    check_counts(c, &compared, &bad);
    const unsigned long long scoops = c->nonces_total.load() * SCOOPS_PER_PLOT;
    char line[160];
    if (result == CHECK_RUNNING)
        std::snprintf(line, sizeof line, "Checking: %u of %d sampled scoops compared", compared, c->sample_count);
    else if (bad == 0)
        std::snprintf(line, sizeof line, "All %u sampled scoops match.", compared);
    else
        std::snprintf(line, sizeof line, "%u of %u sampled scoops differ: the file is damaged.", bad, compared);
    verdict.line = line;
    if (result == CHECK_RUNNING)
        std::snprintf(line, sizeof line, "Sampled: %d of the file's %llu scoops are read.", c->sample_count, scoops);
    else
        std::snprintf(line, sizeof line, "Sampled: only %u of the file's %llu scoops were read; the others were not checked.",
                      compared, scoops);
    verdict.note = line;
    verdict.bad = bad != 0;
    return verdict;
}

void ui_check_end() {
    check_destroy(checker);
    checker = nullptr;
}

const checker_s* ui_check_current() { return checker; }

void ui_check_start(window_s* window, int32_t count, char** paths) {
    if (count < 1) return;
    ui_check_end();
    check_window = window;
    check_options_s options;
    options.message = show_on_ui_thread;
    checker = check_start(paths[0], options);
    dropped_count = count;
    if (count > 1) sys_log("  %d files dropped; only the first is checked\n", (int)count);
    window_hit_regions_clear(window);
    ui_show(UI_CHECK, ui_check_paint_cb);
    window_set_repaint_interval(window, 250);
}

void ui_check_back() {
    ui_check_end();
    window_set_repaint_interval(check_window, 0);
    setup_show();
}

void ui_check_paint_cb(void*) {
    window_s* w = check_window;
    window_draw_clear(w, 0xFFFFFF);
    window_set_font(w, UI_FONT, 22);
    window_set_fill(w, COLOR_BLACK);
    window_draw_text(w, "Check", 24, 24);
    window_no_stroke(w);
    for (int32_t k = 0; k < CHECK_SAMPLES; ++k) {
        window_set_fill(w, checker && k < checker->sample_count ? sample_colour(checker->samples[k]) : 0xFFF0F0F0);
        window_draw_rect(w, (float)(24 + 10 * (k % 59)), (float)(74 + 10 * (k / 59)), 9, 9);
    }
    if (checker) {
        window_clip_push(w, 24, 376, 590, 16);
        window_set_font(w, UI_FONT, 7);
        window_set_fill(w, COLOR_BODY);
        window_draw_text(w, window_display_name(checker->path.c_str()).c_str(), 24, 376);
        window_clip_pop(w);
        paint_verdict(w);
    }
    if (checker && dropped_count > 1) {
        char line[96];
        std::snprintf(line, sizeof line, "Only the first of the %d dropped files is checked.", (int)dropped_count);
        window_set_font(w, UI_FONT, 10);
        window_set_fill(w, COLOR_BODY);
        window_draw_text(w, line, 174, 452);
    }
    paint_button(w, "Back", true, 24, 416, 130, 40, ui_check_back, 12);
}
