// OpenCL runtime loader: dlopen of the system's ICD loader and dlsym of every function
// the program calls into opencl_api.
//
// DESIGN: loading happens once on the UI thread before any other thread uses OpenCL;
// afterwards the table is only read, so it needs no lock.
#include "gpu/opencl.h"

#include <dlfcn.h>

#include <cstdlib>

#include "platform/sys.h"

opencl_api_s opencl_api;

namespace {

void* library = nullptr;
bool exit_handler_registered = false;
std::vector<std::string> library_names;  // empty: the standard names

const char* const default_names[] = {"libOpenCL.so", "libOpenCL.so.0", "libOpenCL.so.1", "libOpenCL.so.2"};

void* open_first_library() {
    if (library_names.empty()) {
        for (const char* name : default_names)
            if (void* handle = dlopen(name, RTLD_NOW | RTLD_GLOBAL)) return handle;
        return nullptr;
    }
    for (const auto& name : library_names)
        if (void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_GLOBAL)) return handle;
    return nullptr;
}

// Fills the table; returns the first missing name, or none when all resolved.
const char* resolve_all() {
    const char* missing = nullptr;
#define OPENCL_RESOLVE(name)                                                   \
    opencl_api.name = reinterpret_cast<decltype(opencl_api.name)>(dlsym(library, #name)); \
    if (!opencl_api.name && !missing) missing = #name;
    OPENCL_FUNCTIONS(OPENCL_RESOLVE)
#undef OPENCL_RESOLVE
    return missing;
}

}  // namespace

int32_t opencl_load() {
    if (library) return 0;
    library = open_first_library();
    if (!library) return -1;
    if (!exit_handler_registered) {
        if (std::atexit(opencl_unload) != 0) {
            dlclose(library);
            library = nullptr;
            return -2;
        }
        exit_handler_registered = true;
    }
    if (const char* missing = resolve_all()) {
        sys_log("OpenCL library lacks %s; no GPU will be used\n", missing);
        opencl_unload();
        return -3;
    }
    return 0;
}

void opencl_unload() {
    if (library) dlclose(library);
    library = nullptr;
    opencl_api = opencl_api_s{};
}

void opencl_set_library_names(const std::vector<std::string>& names) {
    opencl_unload();
    library_names = names;
}

const char* opencl_error_name(cl_int status) {
#define OPENCL_ERROR_NAME(name) \
    case name: return #name;
    switch (status) {
        OPENCL_ERROR_NAME(CL_SUCCESS) OPENCL_ERROR_NAME(CL_DEVICE_NOT_FOUND) OPENCL_ERROR_NAME(CL_DEVICE_NOT_AVAILABLE)
        OPENCL_ERROR_NAME(CL_COMPILER_NOT_AVAILABLE) OPENCL_ERROR_NAME(CL_MEM_OBJECT_ALLOCATION_FAILURE)
        OPENCL_ERROR_NAME(CL_OUT_OF_RESOURCES) OPENCL_ERROR_NAME(CL_OUT_OF_HOST_MEMORY)
        OPENCL_ERROR_NAME(CL_BUILD_PROGRAM_FAILURE) OPENCL_ERROR_NAME(CL_MAP_FAILURE)
        OPENCL_ERROR_NAME(CL_EXEC_STATUS_ERROR_FOR_EVENTS_IN_WAIT_LIST) OPENCL_ERROR_NAME(CL_INVALID_VALUE)
        OPENCL_ERROR_NAME(CL_INVALID_DEVICE) OPENCL_ERROR_NAME(CL_INVALID_CONTEXT)
        OPENCL_ERROR_NAME(CL_INVALID_COMMAND_QUEUE) OPENCL_ERROR_NAME(CL_INVALID_MEM_OBJECT)
        OPENCL_ERROR_NAME(CL_INVALID_BUILD_OPTIONS) OPENCL_ERROR_NAME(CL_INVALID_PROGRAM)
        OPENCL_ERROR_NAME(CL_INVALID_PROGRAM_EXECUTABLE) OPENCL_ERROR_NAME(CL_INVALID_KERNEL_NAME)
        OPENCL_ERROR_NAME(CL_INVALID_KERNEL) OPENCL_ERROR_NAME(CL_INVALID_ARG_INDEX)
        OPENCL_ERROR_NAME(CL_INVALID_ARG_VALUE) OPENCL_ERROR_NAME(CL_INVALID_ARG_SIZE)
        OPENCL_ERROR_NAME(CL_INVALID_KERNEL_ARGS) OPENCL_ERROR_NAME(CL_INVALID_WORK_DIMENSION)
        OPENCL_ERROR_NAME(CL_INVALID_WORK_GROUP_SIZE) OPENCL_ERROR_NAME(CL_INVALID_WORK_ITEM_SIZE)
        OPENCL_ERROR_NAME(CL_INVALID_GLOBAL_OFFSET) OPENCL_ERROR_NAME(CL_INVALID_EVENT_WAIT_LIST)
        OPENCL_ERROR_NAME(CL_INVALID_EVENT) OPENCL_ERROR_NAME(CL_INVALID_OPERATION)
        OPENCL_ERROR_NAME(CL_INVALID_BUFFER_SIZE) OPENCL_ERROR_NAME(CL_INVALID_GLOBAL_WORK_SIZE)
    }
#undef OPENCL_ERROR_NAME
    return "an unknown error";
}
