// Direct writes kept in flight together through io_uring, so a drive always has its next request.
#include <fcntl.h>
#include <liburing.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/sys.h"

namespace {

constexpr uint64_t QUEUE_ALIGN = 512;  // the smallest logical block of a disk

// One write in flight: where it goes and what it carries, kept until it ends so a short
// transfer can be finished.
struct pending_s {
    uint64_t offset = 0;
    uint64_t length = 0;
    const uint8_t* buffer = nullptr;
    uint64_t tag = 0;
    bool busy = false;
};

}  // namespace

struct sys_queue_s {
    io_uring ring;
    int fd = -1;
    uint32_t in_flight = 0;
    std::vector<pending_s> slots;  // indexed by the request's user data
    sys_queue_done done;
};

namespace {

// Ends one write: a short transfer is finished with a plain direct write.
void finish(sys_queue_s* queue, pending_s* slot, int result) {
    int error = 0;
    if (result < 0) {
        error = -result;
    } else if ((uint64_t)result < slot->length) {
        error = sys_file_write_direct(queue->fd, slot->offset + result, slot->length - result, slot->buffer + result).error;
    }
    slot->busy = false;
    --queue->in_flight;
    queue->done(slot->tag, error);
}

// Waits for one write to end and reports it.
void reap_one(sys_queue_s* queue) {
    io_uring_cqe* cqe = nullptr;
    int waited;
    do {
        waited = io_uring_wait_cqe(&queue->ring, &cqe);
    } while (waited == -EINTR);
    if (waited < 0 || !cqe) {
        // The ring itself failed: every write in flight is reported failed.
        for (pending_s& slot : queue->slots)
            if (slot.busy) finish(queue, &slot, waited < 0 ? waited : -EIO);
        return;
    }
    pending_s* slot = &queue->slots[io_uring_cqe_get_data64(cqe)];
    const int result = cqe->res;
    io_uring_cqe_seen(&queue->ring, cqe);
    finish(queue, slot, result);
}

}  // namespace

sys_queue_s* sys_queue_open(int64_t direct_fd, uint32_t depth, sys_queue_done done) {
    if (direct_fd <= 0 || depth == 0 || sys_syscalls().pwrite != ::pwrite) return nullptr;
    sys_queue_s* queue = new sys_queue_s();
    if (io_uring_queue_init(depth, &queue->ring, 0) != 0) {
        delete queue;
        return nullptr;
    }
    queue->fd = (int)direct_fd;
    queue->slots.resize(depth);
    queue->done = std::move(done);
    return queue;
}

sys_err_s sys_queue_write(sys_queue_s* queue, uint64_t offset, uint64_t length, const void* buffer, uint64_t tag) {
    if ((offset | length | (uintptr_t)buffer) % QUEUE_ALIGN != 0) return {errno = EINVAL};
    while (queue->in_flight == queue->slots.size()) reap_one(queue);
    uint64_t index = 0;
    while (queue->slots[index].busy) ++index;
    io_uring_sqe* sqe = io_uring_get_sqe(&queue->ring);
    if (!sqe) {
        // Only when every entry is taken, which in_flight rules out; wait and try once more.
        reap_one(queue);
        sqe = io_uring_get_sqe(&queue->ring);
        if (!sqe) return {errno = EBUSY};
    }
    pending_s& slot = queue->slots[index];
    slot = {offset, length, static_cast<const uint8_t*>(buffer), tag, true};
    io_uring_prep_write(sqe, queue->fd, buffer, (unsigned)length, offset);
    io_uring_sqe_set_data64(sqe, index);
    int submitted;
    do {
        submitted = io_uring_submit(&queue->ring);
    } while (submitted == -EINTR);
    if (submitted < 0) {
        slot.busy = false;
        return {errno = -submitted};
    }
    ++queue->in_flight;
    return {};
}

void sys_queue_drain(sys_queue_s* queue) {
    while (queue && queue->in_flight > 0) reap_one(queue);
}

void sys_queue_close(sys_queue_s* queue) {
    if (!queue) return;
    sys_queue_drain(queue);
    io_uring_queue_exit(&queue->ring);
    delete queue;
}

sys_err_s sys_file_scratch_direct(const char* folder, uint64_t size, int64_t* fd_out) {
    *fd_out = 0;
    int fd = sys_syscalls().open(folder, O_TMPFILE | O_WRONLY | O_DIRECT | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EINVAL && errno != ENOENT) {
        // File systems without nameless files: a name of its own, gone again at once.
        const std::string path = std::string(folder) + "/.kestrune-scratch-" + std::to_string(getpid());
        fd = sys_syscalls().open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_DIRECT | O_CLOEXEC, 0600);
        if (fd >= 0) sys_syscalls().unlink(path.c_str());
    }
    if (fd < 0) return {errno};
    const int error = sys_syscalls().posix_fallocate(fd, 0, (off_t)size);
    if (error != 0) {
        sys_syscalls().close(fd);
        return {errno = error};
    }
    *fd_out = fd;
    return {};
}
