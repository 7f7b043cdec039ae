// The kernel program text as built into the engine: one LZ4 block and its exact length.
#pragma once
#include <cstdint>

extern const uint64_t gpu_kernel_text_size;    // bytes of the kernel text once decompressed
extern const uint64_t gpu_kernel_packed_size;  // bytes of the LZ4 block
extern const uint8_t gpu_kernel_packed[];      // the LZ4 block
