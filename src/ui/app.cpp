// The application flow: start-up, the application state, starting and ending a run,
// closing the window and files dropped on it.
//
// DESIGN: all of this runs on the UI thread. The plotter's threads reach it only through
// the callables app_main puts in the plotter's seam, which post to this thread with
// sys_ui_post (the completion notice, failed files); a worker that needs an answer posts
// the question and waits on a promise the UI thread fulfils.
#include "ui/app.h"

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>

#include "gpu/gpu.h"
#include "nonce/cpu.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotfile/plotfile.h"
#include "plotter/plotter.h"
#include "plotter/plotter_gpu.h"
#include "plotter/plotter_setup.h"
#include "settings/prefs.h"
#include "settings/settings.h"
#include "ui/check_screen.h"
#include "ui/farm_screen.h"
#include "ui/progress.h"
#include "ui/session.h"
#include "ui/setup.h"

std::string start_dir;

namespace {

// Settings are written only by the process that holds the start folder and could read
// the config.yml found there.
bool prefs_writable = false;

// config.yml in the start folder. The name is relative, so a folder too long to be named
// whole still works: nothing but this changes the working folder, and only back to it.
std::string config_path() {
    std::string here;
    if (!start_dir.empty() && (sys_getcwd(&here).error || here != start_dir)) sys_chdir(start_dir.c_str());
    return "config.yml";
}

// Whether a run is going on: started, and neither completed nor ended by an error.
bool run_in_progress() { return plotter && plotter_running(plotter) && !plotter->run.ended.load(); }

// Failures of the run not yet shown in a dialog: one that ends the run is said together with
// the run's outcome, in one message.
std::vector<std::string> failures_unsaid;
constexpr size_t FAILURES_SAID = 3;  // failure texts one message quotes; the log has them all

// Whether the run ends with nothing more to do: every file done or lost. A stopped run ends
// without an outcome message.
bool run_ends_with_failures() {
    if (plotter->run.stop) return false;
    bool going = false;
    plotter_for_each_job(plotter, [&going](job_s* job) {
        going = job->job_state != JOB_DONE && !job_lost(job);
        return !going;
    });
    return !going;
}

// The unsaid failures as a paragraph, emptied.
std::string take_unsaid_failures() {
    std::string text;
    for (size_t i = 0; i < failures_unsaid.size() && i < FAILURES_SAID; ++i)
        text += (i ? "\n" : "") + failures_unsaid[i];
    if (failures_unsaid.size() > FAILURES_SAID)
        text += "\n... and " + std::to_string(failures_unsaid.size() - FAILURES_SAID) + " more in log.txt.";
    failures_unsaid.clear();
    return text;
}

// What a new start does for the failed files of the run: resume those whose unfinished file
// is there, move those whose staged copy is there (a failed move).
std::string resume_sentence() {
    uint64_t unfinished = 0, staged = 0;
    plotter_for_each_job(plotter, [&](job_s* job) {
        if (job->job_state != JOB_FAILED) return true;
        const std::string written = job_path(job, JOB_PATH_WRITTEN);
        if (sys_file_exists((written + ".plotting").c_str())) ++unfinished;
        else if (job->final_drive && sys_file_exists(written.c_str())) ++staged;
        return true;
    });
    if (unfinished + staged == 0) return "No unfinished file was kept, so there is nothing to resume.";
    const auto files = [](uint64_t n, const char* kind) {
        return std::to_string(n) + " " + kind + " file" + (n == 1 ? "" : "s");
    };
    std::string work;
    if (unfinished) work = "resumes the " + files(unfinished, "unfinished");
    if (staged) work += std::string(unfinished ? " and moves the " : "moves the ") + files(staged, "staged");
    return "Start plotting again once the drives are back: it " + work + ".";
}

// The folders of the run that no longer take files, as sentences; empty when all do.
std::string unwritable_folders() {
    std::string refusals;
    for (const auto* drives : {&setup.ssd_drives, &setup.target_drives})
        for (const drive_s& drive : *drives) {
            const std::string refusal = folder_write_refusal(drive.path);
            if (!refusal.empty()) refusals += (refusals.empty() ? "" : "\n") + refusal;
        }
    return refusals;
}


// Runs call on the UI thread and waits for it; directly when already there.
template <typename T>
T on_ui_thread(std::function<T()> call) {
    if (window_on_ui_thread()) return call();
    auto done = std::make_shared<std::promise<T>>();
    std::future<T> answer = done->get_future();
    sys_ui_post([done, call] { done->set_value(call()); });
    // A run being stopped means the UI thread may be waiting for this very thread to end,
    // and will never drain the queue again: give up with the default answer then.
    while (answer.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        if (plotter && plotter->run.stop) return T();
    return answer.get();
}

// Resumes a dropped unfinished file; false when the user declines, so the file is checked instead.
bool resume_dropped(const char* path) {
    plotfile_name_s name;
    const plotfile_name_e kind = plotfile_name_parse(path, &name);
    if (kind != PLOTFILE_NAME_POC1 && kind != PLOTFILE_NAME_POC2) {
        window_message_box(main_window, "Error", "Incorrect filename format for plotfile.");
        return true;
    }
    if (name.account != account_id) {
        window_message_box(main_window, "Error", "Can't resume plot for a different account id.");
        return true;
    }
    if (!window_ask_yes_no(main_window, "Resume?", "Would you like to resume plotting this file with the currently set options?"))
        return false;
    const std::string folder = path_folder(path);
    setup.ssd_drives.clear();
    setup.target_drives.clear();
    setup_drive_add(SETUP_TARGETS, folder.c_str(), true);
    if (setup.target_drives.empty()) return true;
    plotter_clear_jobs(plotter);
    job_s* job = job_create(&setup.target_drives[0], nullptr, name.account, name.start, name.count);
    job->poc2 = kind == PLOTFILE_NAME_POC2;
    plotter_add_job(plotter, job);
    processing_start();
    return true;
}

}  // namespace

void app_mouse(void*, int32_t kind, int32_t x, int32_t y) {
    if (ui_phase == UI_FARM) farm_mouse(kind, x, y);
}

void app_message_any_thread(const char* title, const char* text) {
    const std::string t = title, x = text;
    on_ui_thread<bool>([t, x] {
        window_message_box(main_window, t.c_str(), "%s", x.c_str());
        return true;
    });
}

void app_failure_any_thread(const std::string& text) {
    sys_ui_post([text] {
        failures_unsaid.push_back(text);
        // A failure that ends the run waits for the run's outcome, which says both at once;
        // a conversion's failure has no run outcome to wait for.
        if (ui_phase == UI_FARM || !run_ends_with_failures()) window_message_box(main_window, "Error", "%s", take_unsaid_failures().c_str());
    });
}

bool app_ask_any_thread(const char* title, const char* text) {
    const std::string t = title, x = text;
    return on_ui_thread<bool>([t, x] { return window_ask_yes_no(main_window, t.c_str(), "%s", x.c_str()); });
}

bool app_setting_up() { return !main_window || ui_phase == UI_SETUP || ui_phase == UI_PROMPT || ui_phase == UI_CHECK; }

bool app_start_folder() {
    const sys_err_s found = sys_getcwd(&start_dir);
    prefs_writable = false;
    if (found.error) {
        const int error = found.error;
        sys_log("The folder Kestrune was started in cannot be found: %s\n", std::strerror(error));
        window_message_box(nullptr, "Error",
                    "Kestrune cannot find the folder it was started in (%s). Settings and the log will not be kept.",
                    std::strerror(error));
        return true;
    }
    const sys_log_e log = sys_log_claim();
    const int log_error = errno;
    if (log == SYS_LOG_BUSY) {
        window_message_box(nullptr, "Sorry", "Kestrune is already running in this folder.");
        return false;
    }
    const std::string shown = window_display_name(start_dir.c_str());
    if (const int error = sys_dir_try_write(start_dir.c_str()).error) {
        const char* lost = log == SYS_LOG_OWN ? "Settings" : "Settings and the log";
        sys_log("The folder Kestrune was started in, %s, takes no files: %s\n", start_dir.c_str(), std::strerror(error));
        window_message_box(nullptr, "Error", "Kestrune cannot write to %s, the folder it was started in: %s. %s will not be kept there.",
                    shown.c_str(), std::strerror(error), lost);
        return true;
    }
    if (log != SYS_LOG_OWN) {
        window_message_box(nullptr, "Error", "Kestrune cannot write log.txt in %s: %s. The log will not be kept there.",
                    shown.c_str(), std::strerror(log_error));
    }
    prefs_writable = true;
    return true;
}

void app_prefs_load() {
    if (start_dir.empty()) return;
    const prefs_loaded_s loaded = prefs_load(config_path().c_str(), gpu_count);
    if (loaded.unreadable) {
        prefs_writable = false;
        window_message_box(main_window, "Error",
                    "config.yml in %s cannot be read: %s.\nKestrune starts with default settings and leaves the file "
                    "as it is.",
                    window_display_name(start_dir.c_str()).c_str(), std::strerror(loaded.unreadable));
    }
    for (const std::string& ssd : loaded.ssds) setup_drive_add(SETUP_STAGING, ssd.c_str(), false);
    for (const std::string& folder : loaded.plots) plots_folder_add(plots, folder.c_str());
    if (!loaded.parsed) app_prefs_save();
}

void app_prefs_save() {
    for (const drive_s& drive : setup.target_drives) plots_folder_add(plots, drive.path);
    if (!prefs_writable) return;
    std::vector<std::string> ssds, folders(plots->folders.begin(), plots->folders.end());
    for (const drive_s& drive : setup.ssd_drives) ssds.push_back(drive.path);
    prefs_save(config_path().c_str(), ssds, folders);
}

void app_main() {
    sys_init();
    time_init();
    if (!app_start_folder()) return;
    if (!(cpu_features() & (CPU_SSE41 | CPU_SSE4A))) {
        window_message_box(nullptr, "Sorry", "A CPU with SSE4 instruction support is required.");
        return;
    }
    setup.next_start_nonce = 0;
    sys_log("Kestrune version %s\n", APP_VERSION);
    cpu_brand_string(sizeof cpu_brand, cpu_brand);
    cpu_brand[sizeof cpu_brand - 1] = 0;
    sys_log("CPU: %s\n", cpu_brand);
    cpu_log_features();
    sys_log("Starting up OpenCL...\n");
    gpu_count = gpu_enumerate(8, 64, gpu_names);
    plots = plots_create();
    plotter = plotter_create();
    plotter_set_on_finished(plotter, [] { sys_ui_post(plotting_done); });
    plotter_set_asker(plotter, app_ask_any_thread);
    plotter_set_message(plotter, app_message_any_thread);
    app_prefs_load();
    gpu_tuning_s tuning;
    tuning.hashes_per_dispatch = hash_per_dispatch;
    tuning.threads_per_group = threads_per_group;
    plotter_set_gpu_api(plotter, plotter_gpu_default(tuning));
    plotter_set_on_failure(plotter, app_failure_any_thread);
    setup.start = processing_start;
    setup.open_plots = farm_open;
    farm_set_failure_path(app_failure_any_thread);
    main_window = window_create("Kestrune", 640, 480);
    window_set_callbacks(main_window, nullptr, app_close, app_drop, app_mouse, nullptr);
    setup_show_first();
    window_run_loop();
}

void processing_start() {
    // A resume dropped on a prompt leaves no entry over the progress screen, one dropped
    // on the checker's screen no check computing beside the run.
    window_entries_clear(main_window);
    ui_check_end();
    // A folder that stopped taking files since it was chosen is named with the reason.
    const std::string refusals = unwritable_folders();
    if (!refusals.empty()) {
        sys_log("Plotting cannot start: %s\n", refusals.c_str());
        window_message_box(main_window, "Sorry", "Plotting cannot start: %s", refusals.c_str());
        setup_show();
        return;
    }
    app_prefs_save();
    time_init();
    window_hit_regions_clear(main_window);
    ui_show(UI_RUN, paint_cb);
    window_invalidate(main_window);
    window_set_repaint_interval(main_window, 500);
    // A start that failed before leaves nothing behind for this one.
    progress_reset();
    const settings_s s = settings_get();
    if (!plotter_setup(plotter, {s.gpu_mask, s.max_ram_bytes, s.max_gpu_nonces, s.cpu_threads, CPU_FAMILY_BEST, true},
                       (uint32_t)setup.ssd_drives.size(), (uint32_t)setup.target_drives.size())) {
        window_set_repaint_interval(main_window, 0);
        window_message_box(main_window, "Error", "Plotting could not start: %s", plotter->run.setup_failure.c_str());
        setup_show();
        return;
    }
    uint64_t total = 0;
    plotter_for_each_job(plotter, [&total](job_s* job) { return total += job->nonce_count, true; });
    history_start(total);
}

void plotting_done() {
    progress.done_time = time_now();
    uint64_t files = 0, done = 0;
    plotter_for_each_job(plotter, [&](job_s* job) {
        ++files;
        done += job->job_state == JOB_DONE;
        return true;
    });
    window_set_repaint_interval(main_window, 0);
    if (done == files) {
        sys_log("All done!\n");
    } else {
        sys_log("Plotting ended: %llu of %llu files failed (see above).\n", (unsigned long long)(files - done),
                (unsigned long long)files);
    }
    // One message: the outcome, the failures not yet shown, and what a new start does.
    std::string outcome;
    if (done != files) {
        char verdict[128];
        if (done == 0)
            std::snprintf(verdict, sizeof verdict, "No file was completed: every file of the run failed (see log.txt).");
        else
            std::snprintf(verdict, sizeof verdict, "%llu of %llu files failed; the summary lists them.",
                          (unsigned long long)(files - done), (unsigned long long)files);
        const std::string unsaid = take_unsaid_failures();
        outcome = std::string(verdict) + (unsaid.empty() ? "" : "\n\n" + unsaid) + "\n\n" +
                  resume_sentence();
    }
    failures_unsaid.clear();
    if (done == 0 && files != 0) {
        // Nothing to summarise: back to the setup screen, where a new start plans again.
        setup_show();
        window_message_box(nullptr, "Error", "%s", outcome.c_str());
        return;
    }
    // The sampler may last have looked up to a second ago: the summary ends with the final totals.
    history_record(progress.done_time);
    history_thin();
    ui_show(UI_SUMMARY, summary_paint);
    if (done == files)
        window_message_box(nullptr, "Done!", "All done! All plot files have been completed.");
    else
        window_message_box(nullptr, "Error", "%s", outcome.c_str());
}

bool app_close(void*) {
    ui_check_end();  // a check's threads end before the process does
    if (farm_converting()) {
        if (!window_ask_yes_no(main_window, "Close Kestrune?",
                        "Are you sure you want to stop converting and close Kestrune? The file being converted "
                        "stops after its current step; its journal keeps it safe and the conversion resumes next time."))
            return false;
        farm_end();
        return true;
    }
    farm_end();  // a listing being read ends before the process does
    if (!run_in_progress()) return true;
    if (!window_ask_yes_no(main_window, "Close Kestrune?", "Are you sure you want to stop plotting and close Kestrune?"))
        return false;
    // Each question waits in a nested loop where the run may end: an answer given after
    // that no longer applies, and there are no unfinished files left to ask about.
    if (!run_in_progress()) return true;
    const bool keep = window_ask_yes_no(main_window, "Leave work in progress files?",
                                 "Would you like to leave the in progress .plotting file(s) so you can resume later?");
    if (run_in_progress()) plotter_stop(plotter, keep);
    return true;
}

void app_drop(void*, int32_t count, char** paths, int32_t, int32_t) {
    sys_log("Files dropped:\n");
    for (int32_t i = 0; i < count; ++i) sys_log("  %s\n", paths[i]);
    if (count < 1) return;
    if (ui_phase == UI_FARM) {
        sys_log("  ignored: the plots screen is shown\n");
        return;
    }
    // A second run cannot start while one is in progress or has finished.
    if (!app_setting_up()) {
        sys_log("  ignored: plotting has already started\n");
        return;
    }
    if (std::strstr(paths[0], ".plotting") && resume_dropped(paths[0])) return;
    if (ui_phase == UI_SETUP || ui_phase == UI_CHECK) ui_check_start(main_window, count, paths);
}

void app_reset_for_tests() {
    farm_reset_for_tests();
    progress_reset();
    ui_check_end();
    setup_reset();
    setup.start = processing_start;
    setup.open_plots = farm_open;
    farm_set_failure_path(app_failure_any_thread);
    if (plotter) plotter_clear_jobs(plotter);
    ui_phase = UI_SETUP;
}
