// kestrune-cli plot: binding explicitly named OpenCL devices to the plotter.
#include "cli/cli.h"
#include "plotter/plotter.h"

int cli_plot_gpus(plotter_s* /*plotter*/, const std::vector<std::string>& devices, uint32_t* gpu_mask) {
    *gpu_mask = 0;
    if (devices.empty()) return -1;
    return cli_usage_error("plot", "this build has no OpenCL support for -g");
}
