// Helpers for the plotting-engine tests.
#include "engine_support.h"

#include <algorithm>

#include "platform/sys.h"
#include "plotter/drive.h"
#include "settings/settings.h"
#include "test_support.h"

int64_t engine_bad_nonces(const std::string& path, uint64_t account, uint64_t start, uint64_t count, bool poc2) {
    const std::string data = test_read_file(path);
    if (data.size() != count * PLOT_SIZE || (count == 0 && !sys_file_exists(path.c_str()))) return -1;
    int64_t bad = 0;
    for (uint64_t i = 0; i < count; ++i)
        bad += !test_rows_hold((const uint8_t*)data.data(), count, i, account, start + i, poc2);
    return bad;
}

std::string engine_reference_plot(uint64_t account, uint64_t start, uint64_t count, bool poc2) {
    std::string bytes;
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        for (uint64_t i = 0; i < count; ++i)
            bytes.append((const char*)test_reference_nonce(account, start + i, poc2) + s * SCOOP_SIZE, SCOOP_SIZE);
    return bytes;
}

plan_result_s engine_run(plotter_s* plotter, plots_s* plots, const plan_input_s& input, uint64_t batch_nonces, bool pace) {
    plan_result_s plan = plotter_plan(plotter, plots, input);
    // Direct tasks depend on the machine's memory; size the limit for as many as setup may ask.
    const uint64_t ssds = input.ssds.size(), targets = input.targets.size();
    const uint64_t tasks = ssds ? ssds : std::clamp<uint64_t>(sys_total_ram() >> 32, 1, std::max<uint64_t>(targets, 1));
    const plotter_options_s options{0, batch_nonces * PLOT_SIZE * 2 * tasks, 0, 0, CPU_FAMILY_BEST, pace};
    plotter_setup(plotter, options, (uint32_t)ssds, (uint32_t)targets);
    plotter_wait(plotter);
    return plan;
}

int engine_plot(const std::string& target, const std::string& ssd, uint64_t account, uint64_t nonces, uint64_t batch,
                decltype(plotter_seam_s::cpu_batch) cpu_batch) {
    settings_reset();
    plotter_s* plotter = plotter_create();
    plotter->seam.cpu_batch = cpu_batch;
    plots_s plots;
    drive_s target_drive = engine_drive(target, false), ssd_drive = engine_drive(ssd, true);
    plan_input_s input;
    input.account_id = account;
    input.auto_start = false;
    input.skip_complete = true;
    input.targets = {&target_drive};
    if (!ssd.empty()) input.ssds = {&ssd_drive};
    input.max_fill_bytes = nonces * PLOT_SIZE;
    engine_run(plotter, &plots, input, batch);
    const int end = plotter->run.failed ? 3 : plotter_finished(plotter) ? 0 : 5;
    plotter_destroy(plotter);
    return end;
}

drive_s engine_drive(const std::string& path, bool ssd) {
    drive_s d;
    drive_init(&d, path.c_str(), ssd);
    d.free_bytes = 1ull << 40;
    return d;
}

drive_s make_drive(const std::string& path, uint64_t free_bytes, uint32_t nonce_seed) {
    drive_s d;
    snprintf(d.path, sizeof d.path, "%s", path.c_str());
    d.free_bytes = free_bytes;
    d.nonce_seed = nonce_seed;
    return d;
}

sizing_input_s machine(uint64_t ram, uint32_t ssds, uint32_t targets, uint32_t gpus) {
    sizing_input_s in;
    in.total_ram = ram;
    in.ssd_count = ssds;
    in.target_count = targets;
    in.gpu_count = gpus;
    in.gpu_global_mem = 8ull << 30;
    in.gpu_max_alloc = 2ull << 30;
    return in;
}
