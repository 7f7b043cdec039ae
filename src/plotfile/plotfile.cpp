// Plot file names, scoop-row writes of a batch, and the resume record.
#include "plotfile/plotfile.h"

#include <cerrno>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/sys.h"
#include "platform/util.h"

namespace {


// The record's offset, or false when the file cannot hold a record of this size.
bool record_offset(uint64_t file_nonces, uint64_t sector_size, uint64_t* offset) {
    const bool fits = sector_size >= 8 && file_nonces > 0 && file_nonces <= UINT64_MAX / PLOT_SIZE &&
                      sector_size <= file_nonces * PLOT_SIZE;
    UTIL_ASSERT(fits);
    if (fits) *offset = file_nonces * PLOT_SIZE - sector_size;
    return fits;
}

}  // namespace

std::string plotfile_name(uint64_t account, uint64_t start, uint64_t count, bool poc2) {
    char name[96];
    if (poc2) {
        std::snprintf(name, sizeof name, "%llu_%llu_%llu", (unsigned long long)account,
                      (unsigned long long)start, (unsigned long long)count);
    } else {
        std::snprintf(name, sizeof name, "%llu_%llu_%llu_%llu", (unsigned long long)account,
                      (unsigned long long)start, (unsigned long long)count, (unsigned long long)count);
    }
    return name;
}

std::string plotfile_path(const char* folder, uint64_t account, uint64_t start, uint64_t count, bool poc2) {
    return std::string(folder) + "/" + plotfile_name(account, start, count, poc2);
}

plotfile_name_e plotfile_name_parse(const char* path, plotfile_name_s* name) {
    const char* slash = std::strrchr(path, '/');
    const char* text = slash ? slash + 1 : path;
    uint64_t numbers[4] = {0, 0, 0, 0};
    int found = 0;
    while (found < 4) {
        const char* after = found == 0 ? text : text + 1;
        if ((found > 0 && *text != '_') || !str_read_u64(&after, &numbers[found])) break;
        text = after;
        ++found;
    }
    if (found < 3 || numbers[2] == 0 || numbers[2] - 1 > UINT64_MAX - numbers[1]) return PLOTFILE_NAME_NONE;
    name->account = numbers[0];
    name->start = numbers[1];
    name->count = numbers[2];
    name->rest = text;
    if (found == 3) return PLOTFILE_NAME_POC2;
    return numbers[3] == numbers[2] ? PLOTFILE_NAME_POC1 : PLOTFILE_NAME_NOT_OPTIMIZED;
}

int plotfile_write_batch(int64_t fd, uint64_t file_nonces, uint64_t first_index, uint64_t count,
                          const batch_buffer_s* batch, const std::atomic<bool>* stop,
                          const std::function<void(uint64_t row_bytes)>& row_done, int64_t direct_fd,
                          uint64_t scoop_begin, uint64_t scoop_end) {
    // A batch reaching past its place would overwrite other nonces' scoops.
    const bool fits = count <= batch->capacity && first_index <= file_nonces && count <= file_nonces - first_index &&
                      scoop_begin <= scoop_end && scoop_end <= SCOOPS_PER_PLOT;
    UTIL_ASSERT(fits);
    if (!fits) return PLOTFILE_WRITE_MISFIT;
    const uint64_t row_bytes = count * SCOOP_SIZE;
    const auto row_of = [&](uint64_t s) { return batch->data + s * batch->capacity * SCOOP_SIZE; };
    const auto offset_of = [&](uint64_t s) { return (s * file_nonces + first_index) * SCOOP_SIZE; };
    int failure = 0;
    bool refused = false;  // the system refused a direct row: this one and the rest go buffered
    const auto ended = [&](uint64_t s, int error) {
        if (error == EINVAL) {
            refused = true;
            error = sys_file_write(fd, offset_of(s), row_bytes, row_of(s)).error;
        }
        if (error != 0 && failure == 0) failure = error;
        if (error == 0 && row_done) row_done(row_bytes);
    };
    sys_queue_s* queue = direct_fd ? sys_queue_open(direct_fd, PLOTFILE_WRITE_DEPTH, ended) : nullptr;
    bool stopped = false;
    for (uint64_t s = scoop_begin; s < scoop_end && failure == 0; ++s) {
        if (stop && stop->load(std::memory_order_relaxed)) {
            stopped = true;
            break;
        }
        if (queue && !refused) {
            const int error = sys_queue_write(queue, offset_of(s), row_bytes, row_of(s), s).error;
            if (error == 0) continue;
            if (error != EINVAL) {
                failure = error;
                break;
            }
        }
        // One synchronous transfer; a refused direct one (EINVAL) is written buffered by `ended`.
        ended(s, direct_fd && !refused ? sys_file_write_direct(direct_fd, offset_of(s), row_bytes, row_of(s)).error : EINVAL);
    }
    sys_queue_close(queue);
    if (failure != 0) return failure;
    return stopped ? PLOTFILE_WRITE_STOPPED : 0;
}

bool plotfile_resume_write(int64_t fd, uint64_t file_nonces, uint64_t sector_size, uint64_t nonces_written) {
    uint64_t offset = 0;
    if (nonces_written >= file_nonces || !record_offset(file_nonces, sector_size, &offset)) return true;
    // In a file of an odd size the last sector also holds scoops of written nonces; the
    // record would overwrite them, so it is left out (a resume then starts from 0).
    if ((file_nonces - nonces_written) * SCOOP_SIZE < sector_size) return true;
    std::vector<uint8_t> record(sector_size, 0);
    for (int b = 0; b < 8; ++b) record[sector_size - 8 + b] = (uint8_t)(nonces_written >> (8 * b));
    return sys_file_write(fd, offset, sector_size, record.data()).error == 0;
}

bool plotfile_resume_commit(int64_t fd, uint64_t file_nonces, uint64_t sector_size, uint64_t nonces_written) {
    return sys_file_sync(fd).error == 0 && plotfile_resume_write(fd, file_nonces, sector_size, nonces_written);
}

bool plotfile_resume_value(int64_t fd, uint64_t file_nonces, uint64_t sector_size, uint64_t* value) {
    uint64_t offset = 0;
    *value = 0;
    bool valid = record_offset(file_nonces, sector_size, &offset);
    std::vector<uint8_t> record(valid ? sector_size : 0);
    valid = valid && sys_file_read(fd, offset, sector_size, record.data()).error == 0;
    for (uint64_t i = 0; valid && i < sector_size - 8; ++i) valid = record[i] == 0;
    for (int b = 0; valid && b < 8; ++b) *value |= (uint64_t)record[sector_size - 8 + b] << (8 * b);
    return valid && *value < file_nonces;
}

uint64_t plotfile_tail_first(uint64_t file_nonces) {
    return file_nonces > PLOTFILE_TAIL_NONCES ? file_nonces - PLOTFILE_TAIL_NONCES : 0;
}

plotfile_tail_e plotfile_tail_compare(int64_t fd, uint64_t file_nonces, const batch_buffer_s* tail) {
    const uint64_t first = plotfile_tail_first(file_nonces), count = file_nonces - first;
    if (!tail || tail->capacity < count) return PLOTFILE_TAIL_NONE;
    std::vector<uint8_t> row(count * SCOOP_SIZE);
    uint64_t same = 0;
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s) {
        if (sys_file_read(fd, (s * file_nonces + first) * SCOOP_SIZE, row.size(), row.data()).error) return PLOTFILE_TAIL_NONE;
        const uint8_t* computed = tail->data + s * tail->capacity * SCOOP_SIZE;
        for (uint64_t i = 0; i < count; ++i)
            same += std::memcmp(row.data() + i * SCOOP_SIZE, computed + i * SCOOP_SIZE, SCOOP_SIZE) == 0;
    }
    if (same == 0) return PLOTFILE_TAIL_NONE;
    return same == count * SCOOPS_PER_PLOT ? PLOTFILE_TAIL_WHOLE : PLOTFILE_TAIL_PART;
}

uint64_t plotfile_resume_read(int64_t fd, uint64_t file_nonces, uint64_t sector_size,
                          const std::function<const batch_buffer_s*()>& compute_tail) {
    uint64_t value = 0;
    if (plotfile_resume_value(fd, file_nonces, sector_size, &value)) {
        sys_log("  resuming from nonce %llu\n", (unsigned long long)value);
        return value;
    }
    const plotfile_tail_e tail = compute_tail ? plotfile_tail_compare(fd, file_nonces, compute_tail()) : PLOTFILE_TAIL_NONE;
    const unsigned long long first = plotfile_tail_first(file_nonces), count = file_nonces - first;
    if (tail == PLOTFILE_TAIL_WHOLE) {
        sys_log("  the file is complete: its last %llu nonces are on the disk\n", count);
        return file_nonces;
    }
    if (tail == PLOTFILE_TAIL_PART) {
        sys_log("  part of its last %llu nonces is on the disk\n  resuming from nonce %llu\n", count, first);
        return first;
    }
    sys_log("  incorrect resume data... starting from nonce 0\n");
    return 0;
}
