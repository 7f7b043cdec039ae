// kestrune-cli devices: every OpenCL platform and device, named "P:D" as -g expects them.
#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "gpu/gpu.h"
#include "gpu/opencl.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "settings/settings.h"

namespace {

const char devices_help[] =
    "usage: kestrune-cli devices\n"
    "Lists every OpenCL device as P:D (platform and device index) with its type, name,\n"
    "global memory and largest allocation, and the nonces per pass plotting would give it\n"
    "alone, with the limit that decided them. Any listed device, CPU devices included, can\n"
    "compute with -g P:D.\n";

}  // namespace

int cli_devices(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (cli_is_help(argv[i])) {
            std::fputs(devices_help, stdout);
            return CLI_OK;
        }
        return cli_usage_error("devices", std::string("unexpected argument '") + argv[i] + "'");
    }
    const int32_t status = opencl_load();
    if (status == -1) {
        std::printf("No OpenCL library found: no OpenCL devices.\n");
        return CLI_OK;
    }
    if (status != 0) {
        std::printf("The OpenCL library cannot be used: no OpenCL devices.\n");
        return CLI_OK;
    }
    const auto all = gpu_list_all();
    if (all.empty()) {
        std::printf("No OpenCL devices found.\n");
        return CLI_OK;
    }
    for (const auto& listed : all) {
        const gpu_desc_s& desc = listed.desc;
        std::printf("%d:%d  %-4s %s  [%s]  global %s, max alloc %s, %u compute units\n", listed.platform,
                    listed.index, gpu_type_name(listed.type), desc.name, listed.platform_name,
                    fmt_size_tmp(desc.global_mem_size, true, ""), fmt_size_tmp(desc.max_alloc_size, true, ""),
                    (unsigned)desc.compute_units);
        const cli_gpu_plan_s plan = cli_gpu_plan(desc, 1, 0);
        std::printf("     plans %llu nonces per pass (set by %s), %u generation buffer%s\n",
                    (unsigned long long)plan.nonces, plan.limit, (unsigned)plan.gen_buffers,
                    plan.gen_buffers == 1 ? "" : "s");
    }
    return CLI_OK;
}
