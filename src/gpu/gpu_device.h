// The recorded GPUs, the known-model table and the problem texts of an activation, kept by
// gpu_device.cpp for the GPU layer's own files and its tests; everyone else uses gpu.h.
#pragma once
#include <string>
#include <vector>

#include "gpu/gpu.h"
#include "gpu/opencl.h"

// One recorded GPU.
struct gpu_device_s {
    cl_device_id device = nullptr;  // the device
    gpu_desc_s desc;                // what it reports
};

// The GPUs found by gpu_enumerate, in discovery order; the index is the GPU index.
extern std::vector<gpu_device_s> gpu_devices;

// Records why gpu cannot be used, naming slot d's device (none for d < 0), unless an
// earlier problem, the cause of this one, is recorded already.
void gpu_note_problem(gpu_s* gpu, int32_t d, const std::string& text);
// An OpenCL status as problem texts give it: "error -5 (CL_OUT_OF_RESOURCES)".
std::string gpu_error_text(cl_int status);

// Built-in nonce counts per pass for known models, looked up by exact name.
struct gpu_model_s {
    const char* name;  // CL_DEVICE_NAME of the model
    int32_t nonces;    // nonces per device and pass that suit it
};
extern const gpu_model_s gpu_known_models[20];
