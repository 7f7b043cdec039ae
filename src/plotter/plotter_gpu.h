// The plotter's GPU operations bound to the OpenCL layer, and the GPU size the plan logs.
#pragma once

#include "gpu/gpu.h"
#include "plotter/plotter.h"
#include "plotter/plotter_size.h"

// GPU operations bound to the OpenCL layer, dispatching with the given tuning.
plotter_gpu_api_s plotter_gpu_default(const gpu_tuning_s& tuning = gpu_tuning_s());

// Logs GPU id's own nonces per pass and what set them; 0 when it reports nothing usable.
uint64_t plotter_gpu_device_nonces(uint32_t id, const gpu_desc_s& desc, uint64_t forced);

// Logs that the GPUs get fewer nonces per pass than they could take, and why.
void plotter_gpu_log_cut(const sizing_input_s& in, const sizing_s& cfg);
