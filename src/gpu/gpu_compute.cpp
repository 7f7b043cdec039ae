// GPU batch computation: the kernel dispatches of every pass, the read-back of the scoop
// rows into the batch buffer, progress reporting, the spot check and the self-test.
//
// DESIGN: gpu_compute runs on the plotter's work thread and is the only user of its
// gpu_s while it runs. Passes are pipelined: every device gets the kernels of pass k
// enqueued (on its compute queue, into output buffer k mod 2) before the host copies pass
// k-1's rows out of the device's pinned host buffer; then the non-blocking read of pass k
// into that pinned buffer goes onto the copy queue, waiting on the pass's last kernel. So
// the devices compute while results travel and while the host copies them, and all
// devices of a pass run in parallel. The runtime calls gpu_progress_cb on its own threads, possibly after
// the pass's results are already copied, so each pass gets its own heap record, shared
// by reference count between the pass and its callbacks; when the pass is collected the
// host detaches the batch's progress counter from the record under the record's mutex, and
// callbacks that run later touch nothing but the record, which the last of them frees. The
// self-test's pass reports its progress the same way.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>

#include "gpu/gpu_context.h"
#include "gpu/gpu_device.h"
#include "platform/sys.h"
#include "platform/util.h"

namespace {

// Shared between one pass and the progress callbacks of its nonce_step2 dispatches.
struct gpu_progress_s {
    std::mutex lock;                   // guards progress against the detach at the pass's end
    std::atomic<uint64_t>* progress = nullptr;  // the batch's (or self-test's) count; none once the pass is over
    uint64_t base = 0;                 // the batch's progress when the pass began
    uint64_t pass_nonces = 0;          // nonces of the pass over all devices
    uint32_t hashes_per_dispatch = 0;  // hashes each finished dispatch adds
    int32_t count = 0;                 // devices in the pass
    std::atomic<uint64_t> hashes{0};   // hashes finished in this pass, all devices summed
    std::atomic<int32_t> refs{1};      // the pass itself plus one per registered callback
};

// Two passes report at once; progress only ever grows.
void store_max(std::atomic<uint64_t>* progress, uint64_t value) {
    uint64_t seen = progress->load();
    while (seen < value && !progress->compare_exchange_weak(seen, value)) {
    }
}

void progress_unref(gpu_progress_s* record) {
    if (record->refs.fetch_sub(1) == 1) delete record;
}

void progress_detach(gpu_progress_s* record) {
    {
        std::lock_guard<std::mutex> hold(record->lock);
        record->progress = nullptr;
    }
    progress_unref(record);
}

void CL_CALLBACK gpu_progress_cb(cl_event, cl_int status, void* user) {
    auto* record = static_cast<gpu_progress_s*>(user);
    if (status == CL_COMPLETE) {
        const uint64_t h = record->hashes.fetch_add(record->hashes_per_dispatch);
        std::lock_guard<std::mutex> hold(record->lock);
        if (record->progress) {
            const uint64_t done = (h + record->hashes_per_dispatch) * record->pass_nonces /
                                  ((uint64_t)record->count * GPU_MAX_DISPATCHES);
            // The last dispatch of a nonce may hash fewer than hashes_per_dispatch, so the
            // count can run past the pass; progress never does.
            store_max(record->progress, record->base + std::min(done, record->pass_nonces));
        }
    }
    progress_unref(record);
}

// What slot d lacks to compute, or none.
const char* slot_missing(const gpu_s* gpu, int32_t d) {
    if (!gpu->queue[d] || !gpu->copy_queue[d]) return "a command queue";
    if (!gpu->parts[d]) return "generation buffers";
    for (uint32_t p = 0; p < gpu->parts[d]; ++p)
        if (!gpu->gen_buffer[d][p]) return "a generation buffer";
    for (int k = 0; k < 2; ++k) {
        if (!gpu->scoop_buffer[d][k]) return "an output buffer";
        if (!gpu->step2_events[d][k]) return "an event table";
    }
    if (!gpu->host_rows[d]) return "pinned host memory";
    if (!gpu->kernel_step1[d]) return "kernel nonce_step1";
    if (!gpu->kernel_step2[d]) return "kernel nonce_step2";
    if (!gpu->kernel_step3[d]) return "kernel nonce_step3";
    return nullptr;
}

bool slot_ready(const gpu_s* gpu, int32_t d) { return slot_missing(gpu, d) == nullptr; }

// One kernel argument: its size and where its value lies.
struct kernel_arg_s {
    size_t size;        // bytes
    const void* value;  // the value
};

// Sets the kernel's arguments in order and enqueues it over generation buffer p of slot d:
// its work items are numbered from the buffer's first nonce of the device's pass. The
// status of the first call that fails, so the log names the real error.
cl_int run_kernel(const gpu_s* gpu, int32_t d, uint32_t p, cl_kernel k, std::initializer_list<kernel_arg_s> args,
                  cl_event* event) {
    cl_uint index = 0;
    for (const kernel_arg_s& arg : args) {
        const cl_int status = opencl_api.clSetKernelArg(k, index++, arg.size, arg.value);
        if (status != CL_SUCCESS) return status;
    }
    const size_t offset = p * gpu->part_nonces[d];
    const size_t global = std::min<uint64_t>(gpu->part_nonces[d], gpu->nonces - offset);
    const size_t local = gpu->local_size;
    return opencl_api.clEnqueueNDRangeKernel(gpu->queue[d], k, 1, &offset, &global, &local, 0, nullptr, event);
}

cl_int run_step1(const gpu_s* gpu, int32_t d, uint32_t p, uint64_t account, uint64_t start) {
    const cl_ulong address = account, nonce = start;
    return run_kernel(gpu, d, p, gpu->kernel_step1[d],
                      {{sizeof address, &address}, {sizeof nonce, &nonce}, {sizeof(cl_mem), &gpu->gen_buffer[d][p]}},
                      nullptr);
}

cl_int run_step2(const gpu_s* gpu, int32_t d, uint32_t p, uint32_t offset, cl_event* event) {
    const cl_uint hashes = gpu->hashes_per_dispatch, hashes_offset = offset;
    return run_kernel(gpu, d, p, gpu->kernel_step2[d],
                      {{sizeof(cl_mem), &gpu->gen_buffer[d][p]}, {sizeof hashes_offset, &hashes_offset},
                       {sizeof hashes, &hashes}},
                      event);
}

cl_int run_step3(const gpu_s* gpu, int32_t d, uint32_t p, int k, cl_event* event) {
    const cl_uint stagger = (cl_uint)gpu->nonces;
    return run_kernel(gpu, d, p, gpu->kernel_step3[d],
                      {{sizeof stagger, &stagger}, {sizeof(cl_mem), &gpu->gen_buffer[d][p]},
                       {sizeof(cl_mem), &gpu->scoop_buffer[d][k]}},
                      event);
}

void release_event(cl_event* event) {
    if (*event) opencl_api.clReleaseEvent(*event);
    *event = nullptr;
}

void release_pass_events(gpu_s* gpu, int32_t d, int k) {
    for (uint32_t e = 0; e < GPU_MAX_DISPATCHES; ++e) release_event(&gpu->step2_events[d][k][e]);
    release_event(&gpu->step3_event[d][k]);
    release_event(&gpu->read_event[d][k]);
}

cl_int report(cl_int status) {
    if (status != CL_SUCCESS) sys_log("Received error %d from OpenCL\n", status);
    return status;
}

// The 8192 chain hashes of every generation buffer of slot d, hashes_per_dispatch at a
// time; the last buffer's dispatches get events (the queue is in order, so they finish
// after the others) and, with a record, progress callbacks. The first failing status.
cl_int enqueue_hashing(gpu_s* gpu, int32_t d, int k, gpu_progress_s* record) {
    uint32_t slot = 0;
    const uint32_t last = gpu->parts[d] - 1;
    for (int32_t h = (int32_t)PLOT_SIZE; h > 0; h -= (int32_t)(gpu->hashes_per_dispatch * HASH_SIZE), ++slot) {
        for (uint32_t p = 0; p < last; ++p)
            if (const cl_int status = report(run_step2(gpu, d, p, (uint32_t)h, nullptr))) return status;
        cl_event* event = record ? &gpu->step2_events[d][k][slot] : nullptr;
        if (const cl_int status = report(run_step2(gpu, d, last, (uint32_t)h, event))) return status;
        if (!record) continue;
        UTIL_ASSERT(*event != nullptr);
        record->refs.fetch_add(1);
        const cl_int status = opencl_api.clSetEventCallback(*event, CL_COMPLETE, gpu_progress_cb, record);
        if (status != CL_SUCCESS) record->refs.fetch_sub(1);
        if (report(status)) return status;
    }
    return CL_SUCCESS;
}

// A progress record for a pass of every slot of gpu, counting into `progress` from `base`.
gpu_progress_s* new_progress(const gpu_s* gpu, std::atomic<uint64_t>* progress, uint64_t base) {
    gpu_progress_s* record = new gpu_progress_s();
    record->progress = progress;
    record->base = base;
    record->pass_nonces = gpu->nonces * (uint64_t)gpu->count;
    record->hashes_per_dispatch = gpu->hashes_per_dispatch;
    record->count = gpu->count;
    return record;
}

// All kernels of one pass of slot d into output buffer k; step3_event marks their end.
bool enqueue_kernels(gpu_s* gpu, int32_t d, int k, uint64_t account, uint64_t start, gpu_progress_s* record) {
    for (uint32_t p = 0; p < gpu->parts[d]; ++p)
        if (report(run_step1(gpu, d, p, account, start))) return false;
    if (enqueue_hashing(gpu, d, k, record) != CL_SUCCESS) return false;
    for (uint32_t p = 0; p < gpu->parts[d]; ++p) {
        cl_event* event = p + 1 == gpu->parts[d] ? &gpu->step3_event[d][k] : nullptr;
        if (report(run_step3(gpu, d, p, k, event))) return false;
    }
    return true;
}

// The kernels of one pass of device d, submitted.
bool enqueue_pass(gpu_s* gpu, int32_t d, int k, uint64_t account, uint64_t start, gpu_progress_s* record) {
    release_pass_events(gpu, d, k);
    if (!enqueue_kernels(gpu, d, k, account, start, record)) return false;
    opencl_api.clFlush(gpu->queue[d]);
    return true;
}

// The non-blocking read of output k into the pinned buffer once the pass's kernels end.
bool enqueue_read(gpu_s* gpu, int32_t d, int k) {
    const cl_int status = opencl_api.clEnqueueReadBuffer(gpu->copy_queue[d], gpu->scoop_buffer[d][k], CL_FALSE, 0,
                                                         gpu->nonces * PLOT_SIZE, gpu->host_rows[d], 1,
                                                         &gpu->step3_event[d][k], &gpu->read_event[d][k]);
    if (report(status)) return false;
    opencl_api.clFlush(gpu->copy_queue[d]);
    return true;
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

// Waits for device d's read-back of output k and copies its scoop rows to batch index
// `first` on.
bool collect_pass(gpu_s* gpu, int32_t d, int k, uint64_t account, uint64_t first_nonce, uint64_t first,
                  batch_buffer_s* batch) {
    if (report(opencl_api.clWaitForEvents(1, &gpu->read_event[d][k]))) return false;
    release_pass_events(gpu, d, k);
    const uint64_t row_bytes = gpu->nonces * SCOOP_SIZE;
    const uint8_t* rows = gpu->host_rows[d];
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s) {
        const uint8_t* row = rows + s * row_bytes;
        const bool suspicious = row[0] == 0 && row[1] == 0 && row[2] == 0 && row[3] == 0;
        if (suspicious && !spot_check(gpu, account, first_nonce, s, row)) return false;
        std::memcpy(batch->data + (s * batch->capacity + first) * SCOOP_SIZE, row, row_bytes);
    }
    return true;
}

// A pass on its way: where it lies in the batch, its output buffer and its progress record.
struct pass_s {
    uint64_t offset = 0;               // batch index of the pass's first nonce
    int k = 0;                         // output buffer
    gpu_progress_s* record = nullptr;  // none while no pass is in flight
};

pass_s start_pass(gpu_s* gpu, uint64_t account, uint64_t start_nonce, uint64_t offset, int k, batch_buffer_s* batch,
                  bool* ok) {
    pass_s pass;
    pass.offset = offset;
    pass.k = k;
    pass.record = new_progress(gpu, &batch->progress, offset);
    for (int32_t d = 0; d < gpu->count && *ok; ++d)
        *ok = enqueue_pass(gpu, d, k, account, start_nonce + offset + d * gpu->nonces, pass.record);
    return pass;
}

bool finish_pass(gpu_s* gpu, pass_s* pass, uint64_t account, uint64_t start_nonce, batch_buffer_s* batch) {
    bool ok = true;
    for (int32_t d = 0; d < gpu->count && ok; ++d) {
        const uint64_t first = pass->offset + d * gpu->nonces;
        ok = collect_pass(gpu, d, pass->k, account, start_nonce + first, first, batch);
    }
    progress_detach(pass->record);
    pass->record = nullptr;
    if (ok) store_max(&batch->progress, pass->offset + gpu->nonces * (uint64_t)gpu->count);
    return ok;
}

void drop_pass(pass_s* pass) {
    if (pass->record) progress_detach(pass->record);
    pass->record = nullptr;
}

// A context whose every slot can compute; otherwise its problem names what a slot lacks.
bool test_ready(gpu_s* gpu) {
    if (!gpu || gpu->count < 1) return false;
    for (int32_t d = 0; d < gpu->count; ++d) {
        if (const char* missing = slot_missing(gpu, d)) {
            gpu_note_problem(gpu, d, std::string("the context lacks ") + missing);
            return false;
        }
    }
    return true;
}

void test_failed(gpu_s* gpu, int32_t d, const char* step, cl_int status) {
    gpu_note_problem(gpu, d, std::string("the self-test failed: ") + step + " returned " + gpu_error_text(status));
}

// The self-test's pass on slot d, enqueued; false (after its message) when a kernel is refused.
bool enqueue_test(gpu_s* gpu, int32_t d, gpu_progress_s* record) {
    release_pass_events(gpu, d, 0);
    cl_int status = CL_SUCCESS;
    for (uint32_t p = 0; p < gpu->parts[d] && status == CL_SUCCESS; ++p) status = run_step1(gpu, d, p, 123456789, 0);
    if (status != CL_SUCCESS) {
        sys_log("OpenCL error: %d\n", status);
        test_failed(gpu, d, "nonce_step1", status);
        return false;
    }
    if ((status = enqueue_hashing(gpu, d, 0, record)) != CL_SUCCESS) {
        sys_log("  test failed hashing\n");
        test_failed(gpu, d, "nonce_step2", status);
        return false;
    }
    for (uint32_t p = 0; p < gpu->parts[d] && status == CL_SUCCESS; ++p)
        status = run_step3(gpu, d, p, 0, p + 1 == gpu->parts[d] ? &gpu->step3_event[d][0] : nullptr);
    if (status != CL_SUCCESS) {
        sys_log("  test failed xor\n");
        test_failed(gpu, d, "nonce_step3", status);
        return false;
    }
    opencl_api.clFlush(gpu->queue[d]);
    return true;
}

}  // namespace

uint64_t gpu_compute(gpu_s* gpu, uint64_t account_id, uint64_t start_nonce, batch_buffer_s* batch,
                     const std::atomic<bool>* stop) {
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
    pass_s previous;
    bool ok = true, stopped = false;
    for (uint64_t offset = 0, k = 0;; offset += pass_nonces, k ^= 1) {
        stopped = stop && stop->load(std::memory_order_relaxed);
        const bool more = offset < batch->capacity && !stopped;
        pass_s current;
        if (more) current = start_pass(gpu, account_id, start_nonce, offset, (int)k, batch, &ok);
        if (ok && previous.record) ok = finish_pass(gpu, &previous, account_id, start_nonce, batch);
        drop_pass(&previous);
        // The pinned buffer is free again once the previous pass is copied out.
        for (int32_t d = 0; d < gpu->count && ok && more; ++d) ok = enqueue_read(gpu, d, (int)k);
        previous = current;
        if (!ok || !more) break;
    }
    drop_pass(&previous);
    if (!ok || stopped) return 0;
    return batch->progress.load();
}

bool gpu_test(gpu_s* gpu, double* seconds, std::atomic<uint64_t>* progress) {
    const double start = time_now();
    if (seconds) *seconds = 0;
    if (progress) progress->store(0);
    if (!test_ready(gpu)) {
        sys_log("  test failed: the GPU context is incomplete\n");
        return false;
    }
    gpu_progress_s* record = progress ? new_progress(gpu, progress, 0) : nullptr;
    bool ok = true;
    int32_t enqueued = 0;
    while (ok && enqueued < gpu->count) ok = enqueue_test(gpu, enqueued++, record);
    for (int32_t d = 0; d < enqueued; ++d) {
        cl_event* end = &gpu->step3_event[d][0];
        const cl_int status = *end ? opencl_api.clWaitForEvents(1, end) : CL_SUCCESS;
        if (ok && status != CL_SUCCESS) test_failed(gpu, d, "waiting for its end", status);
        ok = ok && status == CL_SUCCESS;
        release_pass_events(gpu, d, 0);
    }
    if (record) {
        if (ok) store_max(progress, record->pass_nonces);
        progress_detach(record);
    }
    if (seconds) *seconds = time_now() - start;
    return ok;
}
