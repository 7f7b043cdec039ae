// The OpenCL runtime, opened at run time: the program never links against libOpenCL.
#pragma once
#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>

#include <cstdint>
#include <string>
#include <vector>

// The OpenCL functions the program calls. A library lacking any of them counts as absent,
// so no entry is ever called empty.
#define OPENCL_FUNCTIONS(X)                                                                  \
    X(clGetPlatformIDs) X(clGetPlatformInfo) X(clGetDeviceIDs) X(clGetDeviceInfo)            \
    X(clCreateContext) X(clCreateCommandQueue) X(clCreateBuffer) X(clCreateProgramWithSource) \
    X(clBuildProgram) X(clGetProgramBuildInfo) X(clCreateKernel) X(clReleaseContext)         \
    X(clReleaseCommandQueue) X(clReleaseMemObject) X(clReleaseProgram) X(clReleaseKernel)    \
    X(clReleaseEvent) X(clSetKernelArg) X(clEnqueueNDRangeKernel) X(clSetEventCallback)      \
    X(clWaitForEvents) X(clEnqueueMapBuffer) X(clEnqueueUnmapMemObject) X(clFinish)               \
    X(clEnqueueReadBuffer) X(clFlush)

struct opencl_api_s {
#define OPENCL_API_ENTRY(name) decltype(&::name) name;  // resolved entry; empty while unloaded
    OPENCL_FUNCTIONS(OPENCL_API_ENTRY)
#undef OPENCL_API_ENTRY
};

// The process-wide table; filled by opencl_load, read-only afterwards.
extern opencl_api_s opencl_api;

// Loads the library (once): 0 loaded, -1 no library file opens, -2 the exit handler
// cannot be registered, -3 the library lacks a function the program calls.
int32_t opencl_load();

// The name of an OpenCL status ("CL_OUT_OF_RESOURCES"); "an unknown error" for others.
const char* opencl_error_name(cl_int status);

// Closes the library and empties the table. Registered as an exit handler by opencl_load.
void opencl_unload();

// Test hook: the library file names tried by the next opencl_load (empty = the standard
// names). Unloads the current library so that the next load uses the new names.
void opencl_set_library_names(const std::vector<std::string>& names);
