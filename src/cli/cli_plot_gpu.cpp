// kestrune-cli plot: binding explicitly named OpenCL devices ("P:D", CPU devices included)
// to the plotter in place of the recorded GPU list.
#include <algorithm>
#include <memory>

#include "cli/cli.h"
#include "gpu/gpu.h"
#include "plotter/plotter.h"
#include "plotter/plotter_gpu.h"

int cli_plot_gpus(plotter_s* plotter, const std::vector<std::string>& devices, uint64_t gpu_nonces,
                  uint32_t* gpu_mask) {
    *gpu_mask = 0;
    if (devices.empty()) return -1;
    if (devices.size() > 8) return cli_usage_error("plot", "at most 8 devices can be used together");
    auto chosen = std::make_shared<std::vector<gpu_pd_s>>();
    auto listed = std::make_shared<std::vector<gpu_listed_s>>();
    const std::vector<gpu_listed_s> all = gpu_list_all();
    for (const std::string& text : devices) {
        gpu_pd_s pd;
        if (!gpu_parse_pd(text.c_str(), &pd)) return cli_usage_error("plot", "bad device '" + text + "' (use P:D)");
        const gpu_listed_s* found = gpu_find_pd(all, pd);
        if (!found)
            return cli_usage_error("plot", "no OpenCL device " + text + " (see kestrune-cli devices)");
        chosen->push_back(pd);
        listed->push_back(*found);
    }
    // The plotter numbers the chosen devices 0..n-1; every activation uses the whole list.
    const gpu_tuning_s tuning = cli_gpu_tuning();
    plotter_gpu_api_s api = plotter_gpu_default(tuning);
    api.activate = [chosen, tuning](uint32_t, const uint32_t*, uint64_t nonces) {
        return gpu_activate_pd(*chosen, nonces, tuning);
    };
    api.optimal_nonces = [listed, gpu_nonces](uint32_t id) {
        return plotter_gpu_device_nonces(id, (*listed)[id].desc, gpu_nonces);
    };
    api.forced_nonces = gpu_nonces;
    api.global_mem = [listed](uint32_t id) { return (*listed)[id].desc.global_mem_size; };
    api.max_alloc = [listed](uint32_t id) { return (*listed)[id].desc.max_alloc_size; };
    plotter_set_gpu_api(plotter, api);
    *gpu_mask = (uint32_t)((1ull << devices.size()) - 1);
    return -1;
}
