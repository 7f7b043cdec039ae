// The plotter's link to the CPU workers.
#include "plotter/plotter_cpu.h"

#include "nonce/plt_cpu.h"

void plotter_cpu_batch(job_s* job, const std::atomic<bool>* stop) { cpu_plot_batch(job, stop); }

int32_t plotter_cpu_threads() { return cpu_thread_count(); }

int32_t plotter_cpu_total() { return cpu_count(); }

bool plotter_cpu_set_family(const char* name) {
    cpu_family_e family;
    if (!cpu_family_parse(name, &family) || !cpu_family_available(family)) return false;
    cpu_set_family(family);
    return true;
}
