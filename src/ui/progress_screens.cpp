// The progress screen of a plotting run (compute, staging and target sections with rate
// charts, gauges, totals, the time estimate and Pause), the run's history sampler and the
// summary screen drawn from that history.
//
// DESIGN: everything here runs on the UI thread. The job counters and the drives' byte
// counts are atomics that the work thread and its writer and mover tasks store, read here for
// display only; plotter_for_each_job holds the plotter's lock while it visits the jobs, which
// keeps each drive's current job and the jobs' buffers from changing under the read.
#include "ui/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/util.h"
#include "plotter/plotter.h"
#include "plotter/plotter_eta.h"
#include "ui/session.h"
#include "ui/setup.h"

progress_state_s progress;

namespace {

constexpr double NONCE_BYTES = PLOT_SIZE;
constexpr double HISTORY_LIMIT = 1e7;  // records; about 115 days at the shortest bucket
constexpr double ETA_LIMIT = 3.6e8;    // seconds; longer estimates are shown as this

// One drive's current job as a paint sees it, read under the plotter's lock.
struct drive_view_s {
    const job_s* current = nullptr;
    double job_written = 0, job_moved = 0, job_bytes = 0;  // the current job's counters
    double buffer_bytes = 0, buffer_progress = 0;          // its write buffer: capacity, bytes written
    bool staged_waiting = false;                           // a finished staged file waits on it
    bool failed = false;                                   // a file's work on it failed in this run
};

struct totals_s {
    uint64_t computed = 0, total = 0;  // nonces
    double buffer_bytes = 0, buffer_fill = 0, written = 0, moved = 0, resumed = 0;
    std::vector<drive_view_s> ssds, targets;
};

// Index of drive in list, -1 when it is not one of its records.
int32_t drive_index(const std::vector<drive_s>& list, const drive_s* drive) {
    if (list.empty() || drive < list.data() || drive >= list.data() + list.size()) return -1;
    return (int32_t)(drive - list.data());
}

void count_drive(totals_s* t, const job_s* job, const drive_s* drive) {
    std::vector<drive_progress_s>* slots = &progress.ssds;
    std::vector<drive_view_s>* views = &t->ssds;
    int32_t i = drive_index(setup.ssd_drives, drive);
    if (i < 0) {
        slots = &progress.targets;
        views = &t->targets;
        i = drive_index(setup.target_drives, drive);
    }
    if (i < 0) return;
    (*slots)[i].planned_nonces += job->nonce_count;
    drive_view_s& view = (*views)[i];
    view.failed = drive->failed;
    if (drive->current_job == job) {
        view.current = job;
        view.job_written = (double)job->bytes_written.load(std::memory_order_relaxed);
        view.job_moved = (double)job->bytes_moved.load(std::memory_order_relaxed);
        view.job_bytes = (double)job->nonce_count * NONCE_BYTES;
        if (job->write_buffer) {
            view.buffer_bytes = (double)job->write_buffer->capacity * NONCE_BYTES;
            view.buffer_progress = (double)job->write_buffer->progress.load(std::memory_order_relaxed);
        }
    }
    if (drive == job->write_drive && job->job_state == JOB_READY_TO_MOVE) view.staged_waiting = true;
}

totals_s read_totals() {
    totals_s t;
    t.ssds.resize(setup.ssd_drives.size());
    t.targets.resize(setup.target_drives.size());
    progress.ssds.resize(setup.ssd_drives.size());
    progress.targets.resize(setup.target_drives.size());
    for (auto* slots : {&progress.ssds, &progress.targets})
        for (drive_progress_s& slot : *slots) slot.planned_nonces = 0;
    plotter_for_each_job(plotter, [&t](job_s* job) {
        if (job_lost(job)) {
            // No drive takes its nonces: they leave the totals and the estimate. The drive
            // still shows that it failed.
            if (job->write_drive) count_drive(&t, job, job->write_drive);
            if (job->final_drive) count_drive(&t, job, job->final_drive);
            return true;
        }
        t.computed += job_nonces_computed(job);
        t.total += job->nonce_count;
        if (job->compute_buffer) {
            t.buffer_bytes += (double)job->compute_buffer->capacity * NONCE_BYTES;
            if (job->job_state == JOB_PLOTTING)
                t.buffer_fill += (double)job->compute_buffer->progress.load(std::memory_order_relaxed) * NONCE_BYTES;
        }
        t.written += (double)job->bytes_written.load(std::memory_order_relaxed);
        t.moved += (double)job->bytes_moved.load(std::memory_order_relaxed);
        t.resumed += (double)job->resume_from.load(std::memory_order_relaxed) * NONCE_BYTES;
        if (job->write_drive) count_drive(&t, job, job->write_drive);
        if (job->final_drive) count_drive(&t, job, job->final_drive);
        return true;
    });
    return t;
}

double ratio(double part, double whole) { return whole > 0 ? part / whole : 0; }

void paint_title(window_s* w, const char* title, float y) {
    window_set_font(w, UI_FONT, 22);
    window_set_fill(w, COLOR_BLACK);
    window_draw_text(w, title, 24, y);
}

// The right column of a section: two captions with their values.
void paint_values(window_s* w, float y, const char* caption1, const char* value1, const char* caption2,
                  const char* value2) {
    const struct {
        const char* text;
        float size, dy;
        uint32_t colour;
    } lines[] = {{caption1, 8, 38, COLOR_BODY}, {value1, 13, 53, COLOR_BLACK},
                 {caption2, 8, 83, COLOR_BODY}, {value2, 13, 98, COLOR_BLACK}};
    for (const auto& line : lines) {
        window_set_font(w, UI_FONT, line.size);
        window_set_fill(w, line.colour);
        window_draw_text(w, line.text, 534, y + line.dy);
    }
}

void paint_processor_names(window_s* w) {
    window_set_font(w, UI_FONT, 11);
    window_set_fill(w, COLOR_BODY);
    const uint32_t mask = plotter->config.gpu_mask;
    if (!mask) {
        window_draw_text(w, cpu_brand, 524 - window_text_width(w, cpu_brand), 24);
        return;
    }
    float right = 524;
    for (int32_t i = 0; i < gpu_count && i < 8; ++i) {
        if (!(mask & (1u << i))) continue;
        const float width = window_text_width(w, gpu_names[i]);
        window_draw_text(w, gpu_names[i], right - width, 24);
        right -= width + 2;
    }
}

void paint_compute(window_s* w, double now, float h, bool ssd, const totals_s& t) {
    paint_title(w, "Compute", 12);
    paint_processor_names(w);
    const double fresh = std::max((double)t.computed * NONCE_BYTES - t.resumed, 0.0);
    const float rate = rate_series_add(&progress.compute_series, 4, (float)now, fresh * 60 / NONCE_BYTES);
    char caption[32];
    std::snprintf(caption, sizeof caption, "%g nonces/min", rate);
    paint_chart(w, 24, 50, ssd ? 500 : 442, h, caption, rate > 0, &progress.compute_series, CHART_COMPUTE,
                ratio((double)t.computed, (double)t.total));
    if (!ssd) paint_gauge(w, 50, h, t.buffer_fill, t.buffer_bytes);
    char computed[32], remaining[32];
    fmt_size(sizeof computed, computed, t.computed * PLOT_SIZE, false, "");
    fmt_size(sizeof remaining, remaining, (t.total - std::min(t.computed, t.total)) * PLOT_SIZE, false, "");
    paint_values(w, 12, "Computed", computed, "Remaining", remaining);
}

// The file name under a drive's chart, 5 points, clipped to the column.
constexpr uint32_t COLOR_FAILED = 0xFFC42B1C;
constexpr const char* DRIVE_FAILED_LINE = "This drive failed; it takes no more files in this run.";

void paint_file_line(window_s* w, const char* text, float x, float y, float width, uint32_t colour = COLOR_BODY) {
    window_clip_push(w, (int32_t)x, (int32_t)y, (int32_t)width, 10);
    window_set_font(w, UI_FONT, 5);
    window_set_fill(w, colour);
    window_draw_text(w, text, x, y + 2);
    window_clip_pop(w);
}

void paint_progress_line(window_s* w, uint32_t colour, float x, float y, float length) {
    window_set_stroke(w, colour);
    window_set_line_width(w, 2);
    window_draw_line(w, x, y, x + length, y);
    window_set_line_width(w, 1);
}

void paint_drive_path(window_s* w, const char* path, float x, float y, float width, float clip_left) {
    window_set_font(w, UI_FONT, 11);
    window_set_fill(w, COLOR_BODY);
    window_clip_push(w, (int32_t)clip_left, (int32_t)y, (int32_t)width, 24);
    const std::string shown = window_display_name(path);
    window_draw_text(w, shown.c_str(), x + width - window_text_width(w, shown.c_str()), y);
    window_clip_pop(w);
}

// A drive's write rate and its caption; the rate feeds the section's speed.
float drive_rate(drive_progress_s* slot, const drive_s& drive, double now, char (&caption)[32]) {
    const float rate = rate_series_add(&slot->write_series, 4, (float)now, (double)drive.bytes_written.load());
    fmt_size(sizeof caption, caption, (uint64_t)rate, false, "/s");
    return rate;
}

// Column width of a row of n drives.
int32_t column_width(size_t n) { return n ? (506 - 6 * (int32_t)n) / (int32_t)n : 0; }

float paint_ssds(window_s* w, double now, float y, float h, const totals_s& t) {
    paint_title(w, "Write", y);
    const int32_t cw = column_width(setup.ssd_drives.size());
    float speed = 0;
    for (size_t j = 0; j < setup.ssd_drives.size(); ++j) {
        const float x = (float)(24 + (int32_t)j * (cw + 6));
        char caption[32];
        const float rate = drive_rate(&progress.ssds[j], setup.ssd_drives[j], now, caption);
        speed += rate;
        const drive_view_s& view = t.ssds[j];
        const double f = view.current ? ratio(view.job_written, view.job_bytes) : 0;
        paint_chart(w, x, y + 38, (float)cw, h, caption, rate > 0, &progress.ssds[j].write_series, CHART_WRITE, f);
        paint_drive_path(w, setup.ssd_drives[j].path, x, y + 12, (float)cw, x);
        const float yb = y + 38 + h;
        if (view.failed) {
            paint_file_line(w, DRIVE_FAILED_LINE, x, yb, (float)cw, COLOR_FAILED);
        } else if (view.current) {
            paint_progress_line(w, CHART_WRITE.outline, x, yb, (float)(f * cw));
            paint_file_line(w, window_display_name(job_path(view.current, JOB_PATH_WRITTEN).c_str()).c_str(), x, yb, (float)cw);
        } else if (view.staged_waiting) {
            paint_file_line(w, "Staged file ready and waiting.", x, yb, (float)cw);
        }
    }
    return speed;
}

float paint_targets(window_s* w, double now, float y, float h, bool ssd, const totals_s& t) {
    const char* title = ssd ? "Move" : "Write";
    paint_title(w, title, y);
    const float title_end = 24 + window_text_width(w, title);
    const int32_t cw = column_width(setup.target_drives.size());
    const chart_colors_s& colours = ssd ? CHART_MOVE : CHART_WRITE;
    float speed = 0;
    for (size_t j = 0; j < setup.target_drives.size(); ++j) {
        const float x = (float)(24 + (int32_t)j * (cw + 6));
        drive_progress_s* slot = &progress.targets[j];
        char caption[32];
        const float rate = drive_rate(slot, setup.target_drives[j], now, caption);
        speed += rate;
        const drive_view_s& view = t.targets[j];
        const double f = ratio((double)setup.target_drives[j].bytes_written.load(), (double)slot->planned_nonces * NONCE_BYTES);
        if (!ssd && view.current && setup.target_drives.size() == 1) {
            paint_chart(w, 24, y + 38, 442, h, caption, rate > 0, &slot->write_series, colours, f);
            const double c = view.buffer_bytes, p = view.buffer_progress > 0 ? view.buffer_progress : c;
            paint_gauge(w, y + 38, h, std::max(c - p, 0.0), c);
        } else {
            paint_chart(w, x, y + 38, (float)cw, h, caption, rate > 0, &slot->write_series, colours, f);
        }
        paint_drive_path(w, setup.target_drives[j].path, x, y + 12, (float)cw, std::max(x, title_end));
        if (view.failed) {
            paint_file_line(w, DRIVE_FAILED_LINE, x, y + 38 + h, (float)cw, COLOR_FAILED);
        } else if (view.current) {
            const double g = ratio(ssd ? view.job_moved : view.job_written, view.job_bytes);
            paint_progress_line(w, colours.outline, x, y + 38 + h, (float)(g * cw));
            paint_file_line(w, window_display_name(job_path(view.current, JOB_PATH_FINAL).c_str()).c_str(), x, y + 38 + h,
                            (float)cw);
        }
    }
    return speed;
}

void paint_speed_values(window_s* w, float y, const char* caption, double bytes, float speed) {
    char value[32], rate[32];
    fmt_size(sizeof value, value, (uint64_t)bytes, false, "");
    fmt_size(sizeof rate, rate, (uint64_t)speed, false, "/s");
    paint_values(w, y, caption, value, "Speed", rate);
}

// Recomputes the time estimate every 5 s from the average rate of each stage since it
// began. The stages overlap, so the run ends when the slowest has done what is left to it:
// computing, writing, and in staged runs moving.
void update_estimate(double now, const totals_s& t, bool staged) {
    const double total = (double)t.total * NONCE_BYTES, computed = (double)t.computed * NONCE_BYTES;
    if (!(now - progress.last_eta_update > 5) || t.moved >= total) return;
    progress.last_eta_update = now;
    const auto rate = [now](double amount, double began) {
        return began > 0 && now > began ? amount / (now - began) : 0.0;
    };
    // Resumed nonces were written by an earlier run: this run computes and writes only the rest.
    const double compute = rate(std::max(computed - t.resumed, 0.0), progress.compute_began);
    const double write = rate(t.written, progress.write_began), move = rate(t.moved, progress.move_began);
    const double estimate = plotter_eta({{total - computed, compute},
                                         {total - t.resumed - t.written, write},
                                         {staged ? total - t.moved : 0, move}});
    if (now > 5 && estimate > 0)
        std::snprintf(progress.eta_text, sizeof progress.eta_text, "Estimated time remaining: %s",
                      fmt_duration(std::min(estimate, ETA_LIMIT)));
}

void toggle_pause() {
    plotter_toggle_pause(plotter);
    window_invalidate(main_window);
}

history_record_s lerp(const history_record_s& a, const history_record_s& b, double f) {
    return {a.moved + (b.moved - a.moved) * f, a.written + (b.written - a.written) * f,
            a.computed + (b.computed - a.computed) * f};
}

}  // namespace

void progress_paint(window_s* w, double now) {
    window_draw_clear(w, 0xFFFFFF);
    const totals_s t = read_totals();
    const bool ssd = !setup.ssd_drives.empty();
    const float h = ssd ? 92 : 160;
    if (progress.compute_began == 0 && t.computed != 0) progress.compute_began = now;
    if (progress.write_began == 0 && t.written != 0) progress.write_began = now;
    if (progress.move_began == 0 && t.moved != 0) progress.move_began = now;
    paint_compute(w, now, h, ssd, t);
    float y = h + 74;
    if (ssd) {
        const float speed = paint_ssds(w, now, y, h, t);
        paint_speed_values(w, y, "Written", t.written, speed);
        y = 2 * h + 136;
    }
    const float speed = paint_targets(w, now, y, h, ssd, t);
    paint_speed_values(w, y, ssd ? "Moved" : "Written", ssd ? t.moved : t.written, speed);
    update_estimate(now, t, ssd);
    if (progress.eta_text[0] && t.moved < (double)t.total * NONCE_BYTES) {
        window_set_font(w, UI_FONT, 9);
        window_set_fill(w, COLOR_BODY);
        window_draw_text(w, progress.eta_text, 24, 462);
    }
    paint_button(w, plotter_paused(plotter) ? "Resume" : "Pause", true, 534, 455, 86, 20, toggle_pause, 9);
}

void paint_cb(void*) { progress_paint(main_window, time_now()); }

float history_bucket_for(uint64_t total_nonces) {
    return std::max((float)((double)total_nonces * 60.0 / 100000.0) / 50, 1.0f);
}

void history_start(uint64_t total_nonces) {
    progress.history_bucket = history_bucket_for(total_nonces);
    window_timer_add(1000, [] {
        if (plotter_finished(plotter) || plotter->run.ended) return false;
        history_record(time_now());
        return true;
    });
}

void history_record(double now) {
    history_record_s sample;
    plotter_for_each_job(plotter, [&sample](job_s* job) {
        sample.moved += (double)job->bytes_moved.load(std::memory_order_relaxed);
        sample.written += (double)job->bytes_written.load(std::memory_order_relaxed);
        sample.computed += (double)job_nonces_computed(job) * NONCE_BYTES;
        return true;
    });
    const double index = now / progress.history_bucket;
    if (!(index >= 0 && index < HISTORY_LIMIT)) return;
    const size_t i = (size_t)index;
    std::vector<history_record_s>& history = progress.history;
    if (i < history.size()) {
        history[i] = sample;
        return;
    }
    const size_t first = history.size();
    const history_record_s before = first ? history.back() : history_record_s{};
    const double steps = (double)(i + 1 - first);
    for (size_t k = first; k <= i; ++k) history.push_back(lerp(before, sample, (double)(k + 1 - first) / steps));
}

void history_thin() {
    std::vector<history_record_s>& history = progress.history;
    if (history.size() < 101) return;
    const size_t k = history.size() / 75;
    std::vector<history_record_s> kept;
    for (size_t i = k - 1; i < history.size(); i += k) kept.push_back(history[i]);
    history.swap(kept);
}

// The files of the run that failed, one line each (the first few; the log has them all).
void paint_failures(window_s* w, const std::vector<std::string>& failures, float y) {
    if (failures.empty()) return;
    char heading[64];
    std::snprintf(heading, sizeof heading, "%zu file%s failed:", failures.size(), failures.size() == 1 ? "" : "s");
    window_set_font(w, UI_FONT, 11);
    window_set_fill(w, COLOR_FAILED);
    window_draw_text(w, heading, 24, y);
    const size_t shown = std::min<size_t>(failures.size(), 3);
    for (size_t i = 0; i < shown; ++i)
        paint_file_line(w, window_display_name(failures[i].c_str()).c_str(), 24, y + 18 + 12 * (float)i, 592, COLOR_FAILED);
    if (failures.size() > shown) paint_file_line(w, "... and more: see log.txt", 24, y + 18 + 12 * 3, 592, COLOR_FAILED);
}

void summary_draw(window_s* w) {
    window_draw_clear(w, 0xFFFFFF);
    paint_title(w, "Summary", 24);
    const std::vector<history_record_s>& history = progress.history;
    const int32_t m = (int32_t)history.size();
    const int32_t b = m ? std::max(592 / m, 1) : 1;
    const int32_t x0 = (int32_t)((float)(592 - m * b) * 0.5f + 24);
    std::vector<history_record_s> steps;
    double highest = 0;
    for (int32_t i = 0; i < m; ++i) {
        const history_record_s before = i ? history[i - 1] : history_record_s{};
        steps.push_back({history[i].moved - before.moved, history[i].written - before.written,
                         history[i].computed - before.computed});
        highest = std::max(highest, steps.back().moved + steps.back().written + steps.back().computed);
    }
    window_no_stroke(w);
    for (int32_t i = 0; highest > 0 && i < m; ++i) {
        const double scale = 240 / highest;
        const struct {
            double amount;
            uint32_t colour;
        } segments[] = {{steps[i].computed, 0xFF117DBB}, {steps[i].written, 0xFF4DA60C}, {steps[i].moved, 0xFFDBDB2F}};
        float base = 334;
        for (const auto& segment : segments) {
            const float top = std::floor(base - (float)std::max(segment.amount * scale, 0.0));
            window_set_fill(w, segment.colour);
            if (top < base) window_draw_rect(w, (float)(i * b + x0 + 1), top, (float)std::max(b - 2, 1), base - top);
            base = top;
        }
    }
    window_set_stroke(w, COLOR_BLACK);
    window_set_line_width(w, 2);
    window_draw_line(w, (float)x0, 334, (float)(x0 + m * b), 334);
    window_set_line_width(w, 1);
    uint64_t total = 0;
    std::vector<std::string> failures;
    plotter_for_each_job(plotter, [&](job_s* job) {
        if (job->job_state == JOB_FAILED) failures.push_back(job->failure);
        else total += job->nonce_count;
        return true;
    });
    char line[64];
    std::snprintf(line, sizeof line, "%s plotted in %s", fmt_size_tmp(total * PLOT_SIZE, false, ""),
                  fmt_duration(progress.done_time));
    window_set_font(w, UI_FONT, 16);
    window_set_fill(w, COLOR_BLACK);
    paint_text_centred(w, line, 370);
    paint_failures(w, failures, 400);
}

void summary_paint(void*) { summary_draw(main_window); }

void progress_reset() { progress = progress_state_s(); }
