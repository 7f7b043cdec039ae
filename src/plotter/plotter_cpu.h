// The plotter's link to the CPU workers: one batch of a job, and the thread counts it logs.
#pragma once
#include <atomic>
#include <cstdint>

#include "plotter/job.h"

// Fills the job's compute buffer with its next batch (PoC1 order); returns early on stop.
void plotter_cpu_batch(job_s* job, const std::atomic<bool>* stop);
int32_t plotter_cpu_threads();
int32_t plotter_cpu_total();
// Chooses the CPU family by name (scalar, sse4, avx, avx2, avx512); false when the name is
// unknown or the processor lacks it.
bool plotter_cpu_set_family(const char* name);
