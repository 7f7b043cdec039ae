// The plotter's GPU operations bound to the OpenCL layer.
#pragma once

#include "plotter/plotter.h"

// GPU operations bound to the OpenCL layer.
plotter_gpu_api_s plotter_gpu_default();
