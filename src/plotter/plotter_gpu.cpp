// The plotter's GPU operations bound to the OpenCL layer.
#include "plotter/plotter.h"

plotter_gpu_api_s plotter_gpu_default() {
    // No OpenCL layer is linked yet: the plotter runs on the CPU.
    return plotter_gpu_api_s();
}
