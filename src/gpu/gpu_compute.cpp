// GPU batch computation: the kernel dispatches of every pass, the copy-out of the scoop
// rows into the batch buffer, progress reporting, the spot check and the self-test.
//
// DESIGN: gpu_compute runs on the plotter's work thread and is the only user of its
// gpu_s while it runs. All devices of a pass are enqueued before the host waits for any,
// so they work in parallel. The runtime calls gpu_progress_cb on its own threads, possibly
// after the pass's results are already copied, so each pass gets its own heap record,
// shared by reference count between the pass and its callbacks; at the end of the pass
// the host detaches the batch from the record under the record's mutex, and callbacks
// that run later touch nothing but the record, which the last of them frees.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "gpu/gpu_context.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "settings/settings.h"

namespace {

// Shared between one pass and the progress callbacks of its nonce_step2 dispatches.
struct gpu_progress_s {
    std::mutex lock;                   // guards batch against the detach at the pass's end
    batch_buffer_s* batch = nullptr;   // batch being computed; none once the pass is over
    uint64_t base = 0;                 // the batch's progress when the pass began
    uint64_t pass_nonces = 0;          // nonces of the pass over all devices
    uint32_t hashes_per_dispatch = 0;  // hashes each finished dispatch adds
    int32_t count = 0;                 // devices in the pass
    std::atomic<uint64_t> hashes{0};   // hashes finished in this pass, all devices summed
    std::atomic<int32_t> refs{1};      // the pass itself plus one per registered callback
};

void progress_unref(gpu_progress_s* record) {
    if (record->refs.fetch_sub(1) == 1) delete record;
}

void progress_detach(gpu_progress_s* record) {
    {
        std::lock_guard<std::mutex> hold(record->lock);
        record->batch = nullptr;
    }
    progress_unref(record);
}

void CL_CALLBACK gpu_progress_cb(cl_event, cl_int status, void* user) {
    auto* record = static_cast<gpu_progress_s*>(user);
    if (status == CL_COMPLETE) {
        const uint64_t h = record->hashes.fetch_add(record->hashes_per_dispatch);
        std::lock_guard<std::mutex> hold(record->lock);
        if (record->batch) {
            const uint64_t done = (h + record->hashes_per_dispatch) * record->pass_nonces /
                                  ((uint64_t)record->count * GPU_MAX_DISPATCHES);
            // The last dispatch of a nonce may hash fewer than hashes_per_dispatch, so the
            // count can run past the pass; progress never does.
            record->batch->progress.store(record->base + std::min(done, record->pass_nonces));
        }
    }
    progress_unref(record);
}

bool slot_ready(const gpu_s* gpu, int32_t d) {
    return gpu->queue[d] && gpu->gen_buffer[d] && gpu->scoop_buffer[d] && gpu->kernel_step1[d] &&
           gpu->kernel_step2[d] && gpu->kernel_step3[d] && gpu->step2_events[d];
}

cl_int enqueue(const gpu_s* gpu, int32_t d, cl_kernel kernel, size_t local, cl_event* event) {
    const size_t global = gpu->nonces;
    return opencl_api.clEnqueueNDRangeKernel(gpu->queue[d], kernel, 1, nullptr, &global, &local, 0, nullptr, event);
}

// The statuses of the argument calls are folded in: any failure reaches the caller.
cl_int run_step1(const gpu_s* gpu, int32_t d, uint64_t account, uint64_t start, size_t local) {
    cl_kernel k = gpu->kernel_step1[d];
    const cl_ulong address = account, nonce = start;
    cl_int status = opencl_api.clSetKernelArg(k, 0, sizeof address, &address);
    status |= opencl_api.clSetKernelArg(k, 1, sizeof nonce, &nonce);
    status |= opencl_api.clSetKernelArg(k, 2, sizeof(cl_mem), &gpu->gen_buffer[d]);
    return status != CL_SUCCESS ? status : enqueue(gpu, d, k, local, nullptr);
}

cl_int run_step2(const gpu_s* gpu, int32_t d, uint64_t start, uint32_t offset, uint32_t count, size_t local,
                 cl_event* event) {
    cl_kernel k = gpu->kernel_step2[d];
    const cl_ulong nonce = start;
    const cl_uint hashes = count, hashes_offset = offset;
    cl_int status = opencl_api.clSetKernelArg(k, 0, sizeof nonce, &nonce);
    status |= opencl_api.clSetKernelArg(k, 1, sizeof(cl_mem), &gpu->gen_buffer[d]);
    status |= opencl_api.clSetKernelArg(k, 2, sizeof hashes_offset, &hashes_offset);
    status |= opencl_api.clSetKernelArg(k, 3, sizeof hashes, &hashes);
    return status != CL_SUCCESS ? status : enqueue(gpu, d, k, local, event);
}

cl_int run_step3(const gpu_s* gpu, int32_t d, size_t local, cl_event* event) {
    cl_kernel k = gpu->kernel_step3[d];
    const cl_uint stagger = (cl_uint)gpu->nonces;
    cl_int status = opencl_api.clSetKernelArg(k, 0, sizeof stagger, &stagger);
    status |= opencl_api.clSetKernelArg(k, 1, sizeof(cl_mem), &gpu->gen_buffer[d]);
    status |= opencl_api.clSetKernelArg(k, 2, sizeof(cl_mem), &gpu->scoop_buffer[d]);
    return status != CL_SUCCESS ? status : enqueue(gpu, d, k, local, event);
}

void release_event(cl_event* event) {
    if (*event) opencl_api.clReleaseEvent(*event);
    *event = nullptr;
}

void release_pass_events(gpu_s* gpu, int32_t d) {
    for (uint32_t e = 0; e < GPU_MAX_DISPATCHES; ++e) release_event(&gpu->step2_events[d][e]);
    release_event(&gpu->step3_event[d]);
    release_event(&gpu->map_event[d]);
}

cl_int report(cl_int status) {
    if (status != CL_SUCCESS) sys_log("Received error %d from OpenCL\n", status);
    return status;
}

// Everything one device does in a pass, up to the non-blocking map of its output.
bool enqueue_pass(gpu_s* gpu, int32_t d, uint64_t account, uint64_t start, size_t local,
                  gpu_progress_s* record, void** mapped) {
    release_pass_events(gpu, d);
    if (report(run_step1(gpu, d, account, start, local))) return false;
    uint32_t slot = 0;
    for (int32_t h = (int32_t)PLOT_SIZE; h > 0; h -= (int32_t)(gpu->hashes_per_dispatch * HASH_SIZE), ++slot) {
        cl_event* event = &gpu->step2_events[d][slot];
        if (report(run_step2(gpu, d, start, (uint32_t)h, gpu->hashes_per_dispatch, local, event))) return false;
        UTIL_ASSERT(*event != nullptr);
        record->refs.fetch_add(1);
        const cl_int status = opencl_api.clSetEventCallback(*event, CL_COMPLETE, gpu_progress_cb, record);
        if (status != CL_SUCCESS) record->refs.fetch_sub(1);
        if (report(status)) return false;
    }
    if (report(run_step3(gpu, d, local, &gpu->step3_event[d]))) return false;
    cl_int status = CL_SUCCESS;
    *mapped = opencl_api.clEnqueueMapBuffer(gpu->queue[d], gpu->scoop_buffer[d], CL_FALSE, CL_MAP_READ, 0,
                                            gpu->nonces * PLOT_SIZE, 0, nullptr, &gpu->map_event[d], &status);
    if (status != CL_SUCCESS) *mapped = nullptr;
    return report(status) == CL_SUCCESS;
}

// A row whose first four bytes are zero is suspicious: recompute the nonce it starts
// with on the CPU and compare scoop s.
bool spot_check(const gpu_s* gpu, uint64_t account, uint64_t nonce, uint64_t scoop, const uint8_t* row) {
    sys_log("Looks like GPU compute may have failed... spot checking...\n");
    std::unique_ptr<uint8_t[]> expected(new uint8_t[PLOT_SIZE]);
    if (gpu->reference) gpu->reference(account, nonce, expected.get());
    else nonce_compute(account, nonce, expected.get(), false);
    if (std::memcmp(row, expected.get() + scoop * SCOOP_SIZE, SCOOP_SIZE) != 0) {
        UTIL_ASSERT(false);
        sys_log("Yep it failed!\n");
        return false;
    }
    sys_log("Nah turns out it's all good. Carrying on...\n");
    return true;
}

// Waits for device d's output and copies its scoop rows to batch index `first` on.
bool collect_pass(gpu_s* gpu, int32_t d, uint64_t account, uint64_t first_nonce, uint64_t first,
                  batch_buffer_s* batch, void* mapped) {
    if (gpu->map_event[d] && report(opencl_api.clWaitForEvents(1, &gpu->map_event[d]))) return false;
    release_pass_events(gpu, d);
    const uint64_t row_bytes = gpu->nonces * SCOOP_SIZE;
    const auto* rows = static_cast<const uint8_t*>(mapped);
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s) {
        const uint8_t* row = rows + s * row_bytes;
        const bool suspicious = row[0] == 0 && row[1] == 0 && row[2] == 0 && row[3] == 0;
        if (suspicious && !spot_check(gpu, account, first_nonce, s, row)) return false;
        std::memcpy(batch->data + (s * batch->capacity + first) * SCOOP_SIZE, row, row_bytes);
    }
    return true;
}

void unmap_all(gpu_s* gpu, void** mapped) {
    for (int32_t d = 0; d < gpu->count; ++d) {
        if (mapped[d]) opencl_api.clEnqueueUnmapMemObject(gpu->queue[d], gpu->scoop_buffer[d], mapped[d], 0,
                                                          nullptr, nullptr);
        mapped[d] = nullptr;
    }
}

// One pass: every device computes gpu->nonces nonces from start_nonce + offset on.
bool run_pass(gpu_s* gpu, uint64_t account, uint64_t start_nonce, uint64_t offset, batch_buffer_s* batch,
              size_t local) {
    auto* record = new gpu_progress_s();
    record->batch = batch;
    record->base = batch->progress.load();
    record->pass_nonces = gpu->nonces * (uint64_t)gpu->count;
    record->hashes_per_dispatch = gpu->hashes_per_dispatch;
    record->count = gpu->count;
    void* mapped[GPU_MAX_SLOTS] = {};
    bool ok = true;
    for (int32_t d = 0; d < gpu->count && ok; ++d)
        ok = enqueue_pass(gpu, d, account, start_nonce + offset + d * gpu->nonces, local, record, &mapped[d]);
    for (int32_t d = 0; d < gpu->count && ok; ++d) {
        const uint64_t first = offset + d * gpu->nonces;
        ok = collect_pass(gpu, d, account, start_nonce + first, first, batch, mapped[d]);
    }
    unmap_all(gpu, mapped);
    progress_detach(record);
    return ok;
}

}  // namespace

uint64_t gpu_compute(gpu_s* gpu, uint64_t account_id, uint64_t start_nonce, batch_buffer_s* batch,
                     const std::atomic<bool>* stop) {
    // A setting outside what the event table holds is ignored: the built-in count stays.
    if (hash_per_dispatch >= 1 && hash_per_dispatch <= (int32_t)GPU_MAX_DISPATCHES)
        gpu->hashes_per_dispatch = (uint32_t)hash_per_dispatch;
    const size_t local = threads_per_group > 0 ? (size_t)threads_per_group : 32;
    batch->progress.store(0);
    if (batch->capacity == 0) return 0;
    const bool count_ok = gpu->count >= 1 && gpu->count <= GPU_MAX_SLOTS;
    UTIL_ASSERT(count_ok);
    if (!count_ok || gpu->nonces == 0) return 0;
    const uint64_t pass_nonces = gpu->nonces * (uint64_t)gpu->count;
    // A capacity that passes do not fill exactly would make the last pass write past data.
    const bool whole_passes = batch->capacity % pass_nonces == 0;
    UTIL_ASSERT(whole_passes);
    if (!whole_passes) return 0;
    for (int32_t d = 0; d < gpu->count; ++d) {
        if (!slot_ready(gpu, d)) {
            sys_log("GPU device %d is not set up\n", d);
            return 0;
        }
    }
    for (uint64_t offset = 0; offset < batch->capacity; offset += pass_nonces) {
        if (stop && stop->load(std::memory_order_relaxed)) return 0;
        const uint64_t base = batch->progress.load();
        if (!run_pass(gpu, account_id, start_nonce, offset, batch, local)) return 0;
        batch->progress.store(base + pass_nonces);
    }
    return batch->progress.load();
}

bool gpu_test(gpu_s* gpu, double* seconds) {
    const double start = time_now();
    if (seconds) *seconds = 0;
    if (!gpu || gpu->count < 1 || !slot_ready(gpu, 0)) {
        sys_log("  test failed: the GPU context is incomplete\n");
        return false;
    }
    const size_t local = 32;
    cl_int status = run_step1(gpu, 0, 123456789, 0, local);
    if (status != CL_SUCCESS) {
        sys_log("OpenCL error: %d\n", status);
        return false;
    }
    const uint32_t hashes = gpu->hashes_per_dispatch ? gpu->hashes_per_dispatch : GPU_DEFAULT_HASHES;
    for (int32_t h = (int32_t)PLOT_SIZE; h > 0; h -= (int32_t)(hashes * HASH_SIZE)) {
        if (run_step2(gpu, 0, 0, (uint32_t)h, hashes, local, nullptr) != CL_SUCCESS) {
            sys_log("  test failed hashing\n");
            return false;
        }
    }
    if (run_step3(gpu, 0, local, nullptr) != CL_SUCCESS) {
        sys_log("  test failed xor\n");
        return false;
    }
    status = opencl_api.clFinish(gpu->queue[0]);
    if (seconds) *seconds = time_now() - start;
    return status == CL_SUCCESS;
}
