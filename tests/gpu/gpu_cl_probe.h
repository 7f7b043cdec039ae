// Test hooks over the OpenCL table: counting and failing calls of a real runtime, watching
// the batch progress the event callbacks store, and a no-op hashing kernel for quick passes.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "gpu/gpu_fixture.h"

// Installed over opencl_api for the lifetime of one object: counts the events and mappings
// made and undone, fails the n-th call of one function with a chosen status, and samples
// `watched`'s progress right after every progress callback.
struct cl_probe_s {
    static inline opencl_api_s real;                 // the table before the probe
    static inline std::atomic<int> events_made{0};    // events handed out by enqueues
    static inline std::atomic<int> events_released{0};  // clReleaseEvent calls
    static inline std::atomic<int> maps{0};           // successful map enqueues
    static inline std::atomic<int> unmaps{0};         // successful unmap enqueues
    static inline std::atomic<int> calls{0};          // calls of the failing function so far
    static inline int fail_at = 0;                    // 1-based failing call, 0 = none
    static inline cl_int fail_status = CL_SUCCESS;    // the status the failing call reports
    static inline std::string failing;                // "map", "wait", "kernel" or "callback"
    static inline batch_buffer_s* watched = nullptr;  // batch sampled after every callback
    static inline std::atomic<uint64_t> most_progress{0};  // largest progress sampled

    // One registered callback: the real one and its data.
    struct hop_s {
        void(CL_CALLBACK* fn)(cl_event, cl_int, void*);  // callback the code registered
        void* user;                                        // its data
    };

    static bool fail_now(const char* which) { return fail_at && failing == which && ++calls == fail_at; }

    static cl_int CL_API_CALL ndrange(cl_command_queue q, cl_kernel k, cl_uint dims, const size_t* off,
                                      const size_t* global, const size_t* local, cl_uint n, const cl_event* wait,
                                      cl_event* event) {
        if (fail_now("kernel")) return fail_status;
        const cl_int status = real.clEnqueueNDRangeKernel(q, k, dims, off, global, local, n, wait, event);
        if (status == CL_SUCCESS && event) ++events_made;
        return status;
    }
    static void* CL_API_CALL map(cl_command_queue q, cl_mem mem, cl_bool blocking, cl_map_flags flags, size_t off,
                                 size_t size, cl_uint n, const cl_event* wait, cl_event* event, cl_int* status) {
        if (fail_now("map")) {
            *status = fail_status;
            return nullptr;
        }
        void* p = real.clEnqueueMapBuffer(q, mem, blocking, flags, off, size, n, wait, event, status);
        if (*status == CL_SUCCESS) {
            ++maps;
            if (event) ++events_made;
        }
        return p;
    }
    static cl_int CL_API_CALL unmap(cl_command_queue q, cl_mem mem, void* p, cl_uint n, const cl_event* wait,
                                    cl_event* event) {
        const cl_int status = real.clEnqueueUnmapMemObject(q, mem, p, n, wait, event);
        if (status == CL_SUCCESS) ++unmaps;
        if (status == CL_SUCCESS && event) ++events_made;
        return status;
    }
    static cl_int CL_API_CALL wait(cl_uint n, const cl_event* list) {
        if (fail_now("wait")) return fail_status;
        return real.clWaitForEvents(n, list);
    }
    static cl_int CL_API_CALL release(cl_event event) {
        ++events_released;
        return real.clReleaseEvent(event);
    }
    static void CL_CALLBACK hop(cl_event event, cl_int status, void* data) {
        auto* h = static_cast<hop_s*>(data);
        h->fn(event, status, h->user);
        if (watched) {
            const uint64_t seen = watched->progress.load();
            uint64_t most = most_progress.load();
            while (seen > most && !most_progress.compare_exchange_weak(most, seen)) {
            }
        }
        delete h;
    }
    static cl_int CL_API_CALL callback(cl_event event, cl_int type, void(CL_CALLBACK* fn)(cl_event, cl_int, void*),
                                       void* user) {
        if (fail_now("callback")) return fail_status;
        auto* h = new hop_s{fn, user};
        const cl_int status = real.clSetEventCallback(event, type, hop, h);
        if (status != CL_SUCCESS) delete h;
        return status;
    }

    cl_probe_s(const char* which = "", int at = 0, cl_int status = CL_OUT_OF_RESOURCES) {
        real = opencl_api;
        events_made = events_released = maps = unmaps = calls = 0;
        most_progress = 0;
        watched = nullptr;
        failing = which;
        fail_at = at;
        fail_status = status;
        opencl_api.clEnqueueNDRangeKernel = ndrange;
        opencl_api.clEnqueueMapBuffer = map;
        opencl_api.clEnqueueUnmapMemObject = unmap;
        opencl_api.clWaitForEvents = wait;
        opencl_api.clReleaseEvent = release;
        opencl_api.clSetEventCallback = callback;
    }
    ~cl_probe_s() {
        opencl_api = real;
        watched = nullptr;
    }
};

// Replaces slot d's nonce_step2 with one that hashes nothing, so that a pass is quick when
// its results do not matter.
inline bool gpu_make_step2_idle(gpu_s* gpu, int32_t d) {
    const char* text =
        "__kernel void nonce_step2(ulong p_startNonce, __global uchar* p_gen, uint p_hashesOffset,\n"
        "                          uint p_hashesNumber) {}\n";
    const size_t length = std::strlen(text);
    cl_int status = CL_SUCCESS;
    cl_program program = opencl_api.clCreateProgramWithSource(gpu->context[d], 1, &text, &length, &status);
    if (status != CL_SUCCESS) return false;
    if (opencl_api.clBuildProgram(program, 0, nullptr, "", nullptr, nullptr) != CL_SUCCESS) {
        opencl_api.clReleaseProgram(program);
        return false;
    }
    cl_kernel kernel = opencl_api.clCreateKernel(program, "nonce_step2", &status);
    opencl_api.clReleaseProgram(program);  // the kernel keeps it alive
    if (status != CL_SUCCESS) return false;
    opencl_api.clReleaseKernel(gpu->kernel_step2[d]);
    gpu->kernel_step2[d] = kernel;
    return true;
}
