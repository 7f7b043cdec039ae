// Fuzz target: the resume record. Arbitrary bytes become the last sector of an unfinished
// plot file (of a fuzzed nonce count and sector size, possibly cut short); reading the
// record must never crash and must continue only from a well-formed, in-range count.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "nonce/nonce.h"
#include "plotfile/plotfile.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// One in-memory file for the whole run; its size is set anew for every input.
int memory_file() {
    static const int fd = memfd_create("plotting", 0);
    require(fd > 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint64_t nonces = 1 + data[0] % 64;
    const uint64_t sector = data[1] & 1 ? 4096 : 512;
    const bool cut_short = data[2] & 1;  // the file ends before its last sector is complete
    std::vector<uint8_t> record(data + 3, data + size);
    record.resize(sector, 0);

    const int fd = memory_file();
    const uint64_t length = nonces * PLOT_SIZE;
    require(ftruncate(fd, 0) == 0 && ftruncate(fd, (off_t)length) == 0);
    require(pwrite(fd, record.data(), sector, (off_t)(length - sector)) == (ssize_t)sector);
    if (cut_short) require(ftruncate(fd, (off_t)(length - 1 - data[2] % sector)) == 0);

    const uint64_t resume = plotfile_resume_read(fd, nonces, sector);
    uint64_t value = 0;
    bool zero_prefix = true;
    for (uint64_t i = 0; i + 8 < sector; ++i) zero_prefix = zero_prefix && record[i] == 0;
    for (int b = 0; b < 8; ++b) value |= (uint64_t)record[sector - 8 + b] << (8 * b);
    const uint64_t expected = !cut_short && zero_prefix && value < nonces ? value : 0;
    require(resume == expected);
    return 0;
}
