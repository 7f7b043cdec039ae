// GPU discovery and setup: listing platforms and devices, the known-model table, and
// building and releasing the per-device contexts of a gpu_s.
#include <lz4.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "gpu/gpu_context.h"
#include "gpu/gpu_device.h"
#include "gpu/gpu_kernel_text.h"
#include "platform/sys.h"
#include "platform/util.h"

std::vector<gpu_device_s> gpu_devices;

const gpu_model_s gpu_known_models[20] = {
    {"GeForce GTX 745", 384},     {"GeForce GTX 750 Ti", 640},  {"GeForce GTX 760", 1152},
    {"GeForce GTX 760 Ti", 1344}, {"GeForce GTX 770", 1536},    {"GeForce GTX 780", 2304},
    {"GeForce GTX 780 Ti", 2880}, {"GeForce GTX 950", 768},     {"GeForce GTX 960", 1024},
    {"GeForce GTX 960M", 640},    {"GeForce GTX 970", 1664},    {"GeForce GTX 980", 2048},
    {"GeForce GTX 980 Ti", 2816}, {"GeForce GTX 1050", 640},    {"GeForce GTX 1050 Ti", 768},
    {"GeForce GTX 1060", 1280},   {"GeForce GTX 1070", 1920},   {"GeForce GTX 1070 Ti", 2432},
    {"GeForce GTX 1080", 2560},   {"GeForce GTX 1080 Ti", 3584},
};

namespace {

constexpr cl_uint MAX_PLATFORMS = 4;
constexpr cl_uint MAX_DEVICES = 32;

// A text property cut to 63 characters; a longer text must not come back empty.
void platform_text(cl_platform_id platform, cl_platform_info param, char out[64]) {
    char text[256] = {};
    opencl_api.clGetPlatformInfo(platform, param, sizeof text - 1, text, nullptr);
    str_copy(out, text, 64);
}

void device_text(cl_device_id device, cl_device_info param, char out[64]) {
    char text[256] = {};
    opencl_api.clGetDeviceInfo(device, param, sizeof text - 1, text, nullptr);
    str_copy(out, text, 64);
}

uint64_t device_u64(cl_device_id device, cl_device_info param) {
    cl_ulong value = 0;
    opencl_api.clGetDeviceInfo(device, param, sizeof value, &value, nullptr);
    return value;
}

std::vector<cl_device_id> platform_devices(cl_platform_id platform, cl_device_type type, cl_uint limit) {
    cl_device_id devices[MAX_DEVICES] = {};
    cl_uint found = 0;
    if (opencl_api.clGetDeviceIDs(platform, type, MAX_DEVICES, devices, &found) != CL_SUCCESS) return {};
    return std::vector<cl_device_id>(devices, devices + std::min(found, limit));
}

uint32_t device_u32(cl_device_id device, cl_device_info param) {
    cl_uint value = 0;
    if (opencl_api.clGetDeviceInfo(device, param, sizeof value, &value, nullptr) != CL_SUCCESS) return 0;
    return value;
}

// Vendor queries of the warp (NVIDIA) and wavefront (AMD) width; other devices refuse them.
constexpr cl_device_info DEVICE_WARP_SIZE_NV = 0x4003;
constexpr cl_device_info DEVICE_WAVEFRONT_WIDTH_AMD = 0x4043;

gpu_device_s describe(cl_device_id device) {
    gpu_device_s info;
    info.device = device;
    info.desc.global_mem_size = device_u64(device, CL_DEVICE_GLOBAL_MEM_SIZE);
    info.desc.max_alloc_size = device_u64(device, CL_DEVICE_MAX_MEM_ALLOC_SIZE);
    info.desc.compute_units = device_u32(device, CL_DEVICE_MAX_COMPUTE_UNITS);
    size_t group = 0;
    if (opencl_api.clGetDeviceInfo(device, CL_DEVICE_MAX_WORK_GROUP_SIZE, sizeof group, &group, nullptr) == CL_SUCCESS)
        info.desc.max_work_group = group;
    info.desc.preferred_multiple = std::max(device_u32(device, DEVICE_WARP_SIZE_NV),
                                            device_u32(device, DEVICE_WAVEFRONT_WIDTH_AMD));
    cl_bool unified = CL_FALSE;
    if (opencl_api.clGetDeviceInfo(device, CL_DEVICE_HOST_UNIFIED_MEMORY, sizeof unified, &unified, nullptr) == CL_SUCCESS)
        info.desc.host_memory = unified == CL_TRUE;
    device_text(device, CL_DEVICE_NAME, info.desc.name);
    return info;
}

void log_device(int32_t index, cl_device_id device) {
    cl_device_type type = 0;
    opencl_api.clGetDeviceInfo(device, CL_DEVICE_TYPE, sizeof type, &type, nullptr);
    char name[64], version[64], driver[64];
    device_text(device, CL_DEVICE_NAME, name);
    device_text(device, CL_DEVICE_VERSION, version);
    device_text(device, CL_DRIVER_VERSION, driver);
    sys_log("  %d: %s, %s, %s, %s\n", index, (type & CL_DEVICE_TYPE_GPU) ? "GPU" : "CPU", name, version, driver);
    size_t group = 0;
    opencl_api.clGetDeviceInfo(device, CL_DEVICE_MAX_WORK_GROUP_SIZE, sizeof group, &group, nullptr);
    sys_log("     Mem global %llu MB, local %llu KB, Max work group %llu, Max alloc %llu MB\n",
            (unsigned long long)(device_u64(device, CL_DEVICE_GLOBAL_MEM_SIZE) >> 20),
            (unsigned long long)(device_u64(device, CL_DEVICE_LOCAL_MEM_SIZE) >> 10),
            (unsigned long long)group,
            (unsigned long long)(device_u64(device, CL_DEVICE_MAX_MEM_ALLOC_SIZE) >> 20));
}

// The kernel text, decompressed to exactly its recorded length; empty on failure.
std::string kernel_text() {
    std::string text(gpu_kernel_text_size, '\0');
    const int size = LZ4_decompress_safe(reinterpret_cast<const char*>(gpu_kernel_packed), &text[0],
                                         (int)gpu_kernel_packed_size, (int)gpu_kernel_text_size);
    UTIL_ASSERT(size > 0);
    if (size != (int)gpu_kernel_text_size) return std::string();
    return text;
}

void log_build_failure(cl_program program, cl_device_id device) {
    size_t size = 0;
    if (opencl_api.clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size) != CL_SUCCESS)
        size = 0;
    std::string log(size + 1, '\0');
    if (size) opencl_api.clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, size, &log[0], nullptr);
    sys_log("Error building OpenCL program:\n%s\n", log.c_str());
}

cl_mem create_buffer(gpu_s* gpu, int32_t d, cl_mem_flags flags, uint64_t bytes, cl_int* status) {
    return opencl_api.clCreateBuffer(gpu->context[d], flags, bytes, nullptr, status);
}

// Why the generation areas of the activated nonces find no buffers within max_alloc.
std::string unsplittable(const gpu_s* gpu, uint64_t max_alloc) {
    const uint64_t group = gpu->local_size * GEN_SIZE;
    if (max_alloc < group)
        return "a work group of " + std::to_string(gpu->local_size) + " generation areas (" +
               fmt_size_tmp(group, true, "") + ") exceeds the largest allocation (" +
               fmt_size_tmp(max_alloc, true, "") + ")";
    return std::to_string(gpu->nonces) + " generation areas need more than " + std::to_string(GPU_MAX_PARTS) +
           " buffers within the largest allocation (" + fmt_size_tmp(max_alloc, true, "") + ")";
}

std::string failed_allocation(const char* what, uint64_t bytes, cl_int status) {
    return std::string("allocating ") + what + " of " + fmt_size_tmp(bytes, true, "") + " failed with " +
           gpu_error_text(status);
}

// The generation buffers, two output buffers and a pinned host buffer (mapped once).
bool create_buffers(gpu_s* gpu, int32_t d, uint64_t max_alloc) {
    cl_int status = CL_SUCCESS;
    gpu->parts[d] = gpu_gen_parts(gpu->nonces, max_alloc, (uint32_t)gpu->local_size, &gpu->part_nonces[d]);
    for (uint32_t p = 0; p < gpu->parts[d] && status == CL_SUCCESS; ++p) {
        const uint64_t nonces = std::min(gpu->part_nonces[d], gpu->nonces - p * gpu->part_nonces[d]);
        gpu->gen_buffer[d][p] = create_buffer(gpu, d, CL_MEM_READ_WRITE, nonces * GEN_SIZE, &status);
        if (status != CL_SUCCESS)
            gpu_note_problem(gpu, d, failed_allocation("a generation buffer", nonces * GEN_SIZE, status));
    }
    if (gpu->parts[d] == 0) gpu_note_problem(gpu, d, unsplittable(gpu, max_alloc));
    if (gpu->parts[d] == 0 || status != CL_SUCCESS) {
        sys_log("Failed to allocate GPU buffer with error %d\n", status);
        return false;
    }
    const uint64_t bytes = gpu->nonces * PLOT_SIZE;
    for (int k = 0; k < 2 && status == CL_SUCCESS; ++k)
        gpu->scoop_buffer[d][k] = create_buffer(gpu, d, CL_MEM_WRITE_ONLY, bytes, &status);
    if (status != CL_SUCCESS) gpu_note_problem(gpu, d, failed_allocation("an output buffer", bytes, status));
    if (status == CL_SUCCESS) {
        gpu->host_buffer[d] = create_buffer(gpu, d, CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR, bytes, &status);
        if (status != CL_SUCCESS) gpu_note_problem(gpu, d, failed_allocation("pinned host memory", bytes, status));
    }
    if (status == CL_SUCCESS) {
        gpu->host_rows[d] = static_cast<uint8_t*>(opencl_api.clEnqueueMapBuffer(
            gpu->copy_queue[d], gpu->host_buffer[d], CL_TRUE, CL_MAP_READ | CL_MAP_WRITE, 0, bytes, 0, nullptr, nullptr,
            &status));
        if (status != CL_SUCCESS)
            gpu_note_problem(gpu, d, "mapping the pinned host memory failed with " + gpu_error_text(status));
    }
    if (status != CL_SUCCESS) {
        sys_log("Failed to allocate GPU memory.\n");
        return false;
    }
    return true;
}

// Builds slot d of gpu; false (after its message) when the slot could not be completed.
bool activate_slot(gpu_s* gpu, int32_t d, uint64_t max_alloc, const std::string& text) {
    cl_int status = CL_SUCCESS;
    cl_device_id device = gpu->device[d];
    gpu->context[d] = opencl_api.clCreateContext(nullptr, 1, &device, nullptr, nullptr, &status);
    if (status != CL_SUCCESS || !gpu->context[d]) {
        sys_log("Failed to created OpenCL device with error %d!\n", status);
        gpu_note_problem(gpu, d, "creating an OpenCL context failed with " + gpu_error_text(status));
        return false;
    }
    for (cl_command_queue* queue : {&gpu->queue[d], &gpu->copy_queue[d]}) {
        *queue = opencl_api.clCreateCommandQueue(gpu->context[d], device, 0, &status);
        UTIL_ASSERT(status == CL_SUCCESS);
        if (!*queue) {
            gpu_note_problem(gpu, d, "creating a command queue failed with " + gpu_error_text(status));
            return false;
        }
    }
    if (!create_buffers(gpu, d, max_alloc)) return false;
    for (int k = 0; k < 2; ++k) gpu->step2_events[d][k] = new cl_event[GPU_MAX_DISPATCHES]();
    const char* source = text.data();
    const size_t length = text.size();
    gpu->program[d] = opencl_api.clCreateProgramWithSource(gpu->context[d], 1, &source, &length, &status);
    status = gpu->program[d] ? opencl_api.clBuildProgram(gpu->program[d], 0, nullptr, "", nullptr, nullptr)
                             : status;
    if (status != CL_SUCCESS) {
        if (gpu->program[d]) log_build_failure(gpu->program[d], device);
        else sys_log("Error building OpenCL program:\n\n");
        gpu_note_problem(gpu, d, "building the kernel program failed with " + gpu_error_text(status) +
                                     " (the compiler's messages are in the log)");
        return false;
    }
    cl_kernel* kernels[3] = {gpu->kernel_step1, gpu->kernel_step2, gpu->kernel_step3};
    const char* names[3] = {"nonce_step1", "nonce_step2", "nonce_step3"};
    for (int k = 0; k < 3; ++k) {
        kernels[k][d] = opencl_api.clCreateKernel(gpu->program[d], names[k], &status);
        UTIL_ASSERT(status == CL_SUCCESS);
        if (!kernels[k][d])
            gpu_note_problem(gpu, d, std::string("creating kernel ") + names[k] + " failed with " +
                                         gpu_error_text(status));
    }
    return gpu->problem.empty();
}

uint64_t max_alloc(const gpu_desc_s& desc, const gpu_tuning_s& tuning) {
    if (!desc.max_alloc_size) return tuning.max_alloc ? tuning.max_alloc : UINT64_MAX;
    return tuning.max_alloc ? std::min(tuning.max_alloc, desc.max_alloc_size) : desc.max_alloc_size;
}

// Shared by both activation entries: one slot per (device, logged index, name).
gpu_s* activate_devices(const std::vector<gpu_device_s>& devices, const std::vector<int32_t>& log_ids,
                        uint64_t nonces, const gpu_tuning_s& tuning) {
    if (nonces == 0 || nonces > GPU_MAX_NONCES || devices.empty() || devices.size() > (size_t)GPU_MAX_SLOTS)
        return nullptr;
    gpu_s* gpu = new gpu_s();
    gpu->nonces = nonces;
    gpu->count = (int32_t)devices.size();
    // A setting outside what the event table holds is ignored: the built-in count stays.
    const bool hashes_ok = tuning.hashes_per_dispatch >= 1 && tuning.hashes_per_dispatch <= (int32_t)GPU_MAX_DISPATCHES;
    gpu->hashes_per_dispatch = hashes_ok ? (uint32_t)tuning.hashes_per_dispatch : GPU_DEFAULT_HASHES;
    gpu->local_size = tuning.threads_per_group > 0 ? (size_t)tuning.threads_per_group : 32;
    for (int32_t d = 0; d < gpu->count; ++d) {
        gpu->device[d] = devices[d].device;
        gpu->device_id[d] = log_ids[d];
        sys_log("Activating device %d %s. Aiming for %s GPU RAM usage\n", log_ids[d], devices[d].desc.name,
                fmt_size_tmp(nonces * (GEN_SIZE + 2 * PLOT_SIZE), true, ""));
    }
    const std::string text = kernel_text();
    if (text.empty()) {
        gpu_note_problem(gpu, -1, "the built-in kernel program could not be unpacked");
        return gpu;
    }
    for (int32_t d = 0; d < gpu->count; ++d)
        if (!activate_slot(gpu, d, max_alloc(devices[d].desc, tuning), text)) break;
    return gpu;
}

// Every device of every platform; `handles` (may be none) receives each one's handle.
std::vector<gpu_listed_s> list_devices(std::vector<cl_device_id>* handles) {
    std::vector<gpu_listed_s> all;
    if (opencl_load() != 0) return all;
    cl_uint platform_count = 0;
    if (opencl_api.clGetPlatformIDs(0, nullptr, &platform_count) != CL_SUCCESS || platform_count == 0) return all;
    std::vector<cl_platform_id> platforms(platform_count);
    if (opencl_api.clGetPlatformIDs(platform_count, platforms.data(), nullptr) != CL_SUCCESS) return all;
    for (cl_uint p = 0; p < platform_count; ++p) {
        const auto devices = platform_devices(platforms[p], CL_DEVICE_TYPE_ALL, MAX_DEVICES);
        for (size_t d = 0; d < devices.size(); ++d) {
            gpu_listed_s listed;
            listed.platform = (int32_t)p;
            listed.index = (int32_t)d;
            cl_device_type type = 0;
            opencl_api.clGetDeviceInfo(devices[d], CL_DEVICE_TYPE, sizeof type, &type, nullptr);
            listed.type = type;
            platform_text(platforms[p], CL_PLATFORM_NAME, listed.platform_name);
            listed.desc = describe(devices[d]).desc;
            all.push_back(listed);
            if (handles) handles->push_back(devices[d]);
        }
    }
    return all;
}

}  // namespace

int32_t gpu_enumerate(int32_t max_gpus, uint64_t name_length, char (*names)[64]) {
    gpu_devices.clear();
    if (opencl_load() != 0) return 0;
    cl_platform_id platforms[MAX_PLATFORMS] = {};
    cl_uint platform_count = 0;
    const cl_int status = opencl_api.clGetPlatformIDs(MAX_PLATFORMS, platforms, &platform_count);
    sys_log("  found %d platforms\n", (int)platform_count);
    UTIL_ASSERT(status == CL_SUCCESS);
    if (status != CL_SUCCESS || platform_count < 1) return 0;
    int32_t count = 0;
    for (cl_uint p = 0; p < std::min(platform_count, MAX_PLATFORMS); ++p) {
        char name[64], vendor[64], version[64];
        platform_text(platforms[p], CL_PLATFORM_NAME, name);
        platform_text(platforms[p], CL_PLATFORM_VENDOR, vendor);
        platform_text(platforms[p], CL_PLATFORM_VERSION, version);
        sys_log("%d: %s / %s / %s\n", (int)p, name, vendor, version);
        const auto devices = platform_devices(platforms[p], CL_DEVICE_TYPE_CPU | CL_DEVICE_TYPE_GPU, MAX_DEVICES);
        for (size_t d = 0; d < devices.size(); ++d) {
            log_device((int32_t)d, devices[d]);
            cl_device_type type = 0;
            opencl_api.clGetDeviceInfo(devices[d], CL_DEVICE_TYPE, sizeof type, &type, nullptr);
            if (!(type & CL_DEVICE_TYPE_GPU) || count >= max_gpus) continue;
            gpu_devices.push_back(describe(devices[d]));
            if (names && name_length > 0)
                str_copy(names[count], gpu_devices.back().desc.name, std::min<uint64_t>(name_length, 64));
            ++count;
        }
    }
    return count;
}

gpu_s* gpu_activate(int32_t count, const uint32_t* gpu_ids, uint64_t nonces, const gpu_tuning_s& tuning) {
    if (nonces == 0 || count < 1 || count > GPU_MAX_SLOTS) return nullptr;
    std::vector<gpu_device_s> devices;
    std::vector<int32_t> log_ids;
    for (int32_t i = 0; i < count; ++i) {
        const bool known = gpu_ids[i] < gpu_devices.size();
        UTIL_ASSERT(known);
        devices.push_back(known ? gpu_devices[gpu_ids[i]] : gpu_device_s{});
        log_ids.push_back((int32_t)gpu_ids[i]);
    }
    return activate_devices(devices, log_ids, nonces, tuning);
}

gpu_s* gpu_activate_pd(const std::vector<gpu_pd_s>& list, uint64_t nonces, const gpu_tuning_s& tuning) {
    if (nonces == 0 || list.empty() || list.size() > (size_t)GPU_MAX_SLOTS) return nullptr;
    std::vector<cl_device_id> handles;
    const auto all = list_devices(&handles);
    std::vector<gpu_device_s> devices;
    std::vector<int32_t> log_ids;
    for (const auto& pd : list) {
        const gpu_listed_s* found = gpu_find_pd(all, pd);
        if (!found) {
            sys_log("No OpenCL device %d:%d\n", pd.platform, pd.device);
            return nullptr;
        }
        devices.push_back(describe(handles[found - all.data()]));
        log_ids.push_back((int32_t)log_ids.size());
    }
    return activate_devices(devices, log_ids, nonces, tuning);
}

void gpu_release(gpu_s* gpu) {
    if (!gpu) return;
    for (int32_t d = 0; d < GPU_MAX_SLOTS; ++d) {
        // Nothing may still run on buffers and events about to go.
        if (gpu->queue[d]) opencl_api.clFinish(gpu->queue[d]);
        if (gpu->copy_queue[d]) opencl_api.clFinish(gpu->copy_queue[d]);
        if (gpu->host_rows[d]) {
            opencl_api.clEnqueueUnmapMemObject(gpu->copy_queue[d], gpu->host_buffer[d], gpu->host_rows[d], 0, nullptr,
                                               nullptr);
            opencl_api.clFinish(gpu->copy_queue[d]);
        }
        if (gpu->host_buffer[d]) opencl_api.clReleaseMemObject(gpu->host_buffer[d]);
        for (int k = 0; k < 2; ++k) {
            if (gpu->scoop_buffer[d][k]) opencl_api.clReleaseMemObject(gpu->scoop_buffer[d][k]);
            if (gpu->step3_event[d][k]) opencl_api.clReleaseEvent(gpu->step3_event[d][k]);
            if (gpu->read_event[d][k]) opencl_api.clReleaseEvent(gpu->read_event[d][k]);
            if (gpu->step2_events[d][k]) {
                for (uint32_t e = 0; e < GPU_MAX_DISPATCHES; ++e)
                    if (gpu->step2_events[d][k][e]) opencl_api.clReleaseEvent(gpu->step2_events[d][k][e]);
                delete[] gpu->step2_events[d][k];
            }
        }
        for (uint32_t p = 0; p < GPU_MAX_PARTS; ++p)
            if (gpu->gen_buffer[d][p]) opencl_api.clReleaseMemObject(gpu->gen_buffer[d][p]);
        if (gpu->queue[d]) opencl_api.clReleaseCommandQueue(gpu->queue[d]);
        if (gpu->copy_queue[d]) opencl_api.clReleaseCommandQueue(gpu->copy_queue[d]);
        if (gpu->kernel_step3[d]) opencl_api.clReleaseKernel(gpu->kernel_step3[d]);
        if (gpu->kernel_step2[d]) opencl_api.clReleaseKernel(gpu->kernel_step2[d]);
        if (gpu->kernel_step1[d]) opencl_api.clReleaseKernel(gpu->kernel_step1[d]);
        if (gpu->program[d]) opencl_api.clReleaseProgram(gpu->program[d]);
        if (gpu->context[d]) opencl_api.clReleaseContext(gpu->context[d]);
    }
    delete gpu;
}

int32_t gpu_model_nonces(const char* name) {
    for (const auto& model : gpu_known_models)
        if (std::strcmp(model.name, name) == 0) return model.nonces;
    return 0;
}

int32_t gpu_optimal_nonces(uint32_t gpu_index) {
    UTIL_ASSERT(gpu_index < gpu_devices.size());
    return gpu_index < gpu_devices.size() ? gpu_model_nonces(gpu_devices[gpu_index].desc.name) : 0;
}

uint64_t gpu_max_alloc(uint32_t gpu_index) {
    UTIL_ASSERT(gpu_index < gpu_devices.size());
    return gpu_index < gpu_devices.size() ? gpu_devices[gpu_index].desc.max_alloc_size : 0;
}

uint64_t gpu_global_mem(uint32_t gpu_index) {
    UTIL_ASSERT(gpu_index < gpu_devices.size());
    return gpu_index < gpu_devices.size() ? gpu_devices[gpu_index].desc.global_mem_size : 0;
}

gpu_desc_s gpu_describe(uint32_t gpu_index) {
    return gpu_index < gpu_devices.size() ? gpu_devices[gpu_index].desc : gpu_desc_s{};
}

uint64_t gpu_nonces(const gpu_s* gpu) { return gpu ? gpu->nonces : 0; }

void gpu_note_problem(gpu_s* gpu, int32_t d, const std::string& text) {
    if (!gpu->problem.empty()) return;
    gpu->problem = d < 0 ? text : "device " + std::to_string(gpu->device_id[d]) + ": " + text;
}

std::string gpu_error_text(cl_int status) {
    return "error " + std::to_string(status) + " (" + opencl_error_name(status) + ")";
}

std::string gpu_problem(const gpu_s* gpu) { return gpu ? gpu->problem : "no GPU context"; }

std::vector<gpu_listed_s> gpu_list_all() { return list_devices(nullptr); }

const gpu_listed_s* gpu_find_pd(const std::vector<gpu_listed_s>& all, const gpu_pd_s& pd) {
    for (const auto& listed : all)
        if (listed.platform == pd.platform && listed.index == pd.device) return &listed;
    return nullptr;
}

const char* gpu_type_name(uint64_t type) {
    if (type & CL_DEVICE_TYPE_GPU) return "GPU";
    if (type & CL_DEVICE_TYPE_CPU) return "CPU";
    if (type & CL_DEVICE_TYPE_ACCELERATOR) return "accelerator";
    return "other";
}

bool gpu_parse_pd(const char* text, gpu_pd_s* out) {
    if (!text) return false;
    int32_t numbers[2] = {0, 0};
    for (int n = 0; n < 2; ++n) {
        if (n == 1 && *text++ != ':') return false;
        if (*text < '0' || *text > '9') return false;
        for (; *text >= '0' && *text <= '9'; ++text) {
            numbers[n] = numbers[n] * 10 + (*text - '0');
            if (numbers[n] > 9999) return false;
        }
    }
    if (*text) return false;
    out->platform = numbers[0];
    out->device = numbers[1];
    return true;
}

