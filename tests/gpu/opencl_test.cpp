// The run-time OpenCL loader and device lookups: missing or unusable libraries mean no
// GPUs, known models match exactly, device names parse, the per-device nonce count, and the
// command-line device list and GPU benchmark.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "gpu/gpu_context.h"
#include "test_support.h"

namespace {

// Puts the standard library names back whatever a test pointed the loader at.
struct library_names_guard_s {
    ~library_names_guard_s() { opencl_set_library_names({}); }
};

// A missing library (-1, quietly) and one that opens but exports no OpenCL function (-3) both
// mean no GPUs.
TEST(OpenclLoader, MissingOrUnusableLibraryMeansNoGpusAndNoCrash) {
    library_names_guard_s guard;
    struct case_s {
        std::vector<std::string> names;  // libraries tried
        int loaded;                      // what opencl_load says
        const char* logged;              // what enumerating logs
    };
    const case_s cases[] = {{{"libkestrune-no-such-opencl.so", "libkestrune-no-such-opencl.so.1"}, -1, ""},
                            {{"libc.so.6"}, -3, "OpenCL library lacks clGetPlatformIDs; no GPU will be used\n"}};
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.names[0]);
        opencl_set_library_names(c.names);
        EXPECT_EQ(opencl_load(), c.loaded);
        EXPECT_TRUE(opencl_api.clGetPlatformIDs == nullptr && opencl_api.clFinish == nullptr);
        char names[8][64] = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(gpu_enumerate(8, 64, names), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.logged);
        EXPECT_TRUE(gpu_devices.empty() && gpu_list_all().empty() && !gpu_activate_pd({{0, 0}}, 32));
    }
}

// With the PoCL runtime (CPU devices only): a later library name is tried, a second load
// keeps the table, and enumerating lists the CPU devices in the log without recording them,
// since the plotter takes only GPUs from that list.
TEST(OpenclLoader, LaterNameIsTriedAndCpuDevicesAreNotRecorded) {
    const auto all = gpu_list_all();
    bool cpu_only = !all.empty();
    for (const auto& listed : all) cpu_only = cpu_only && !(listed.type & CL_DEVICE_TYPE_GPU);
    if (!cpu_only) GTEST_SKIP() << "needs an OpenCL runtime with CPU devices only (PoCL)";
    library_names_guard_s guard;
    opencl_set_library_names({"libkestrune-no-such-opencl.so", "libOpenCL.so.1"});
    ASSERT_EQ(opencl_load(), 0);
    const auto resolved = opencl_api.clGetPlatformIDs;
    EXPECT_EQ(opencl_load(), 0);
    EXPECT_EQ(opencl_api.clGetPlatformIDs, resolved);
    char names[8][64] = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpu_enumerate(8, 64, names), 0);
    const std::string log = testing::internal::GetCapturedStderr();
    for (const char* line : {"  found ", "  0: CPU, ", "     Mem global "})
        EXPECT_NE(log.find(line), std::string::npos) << line << log;
    EXPECT_TRUE(gpu_devices.empty() && names[0][0] == 0);
}

TEST(GpuLookup, KnownModelsDeviceNamesAndUnknownIndexes) {
    const std::pair<const char*, int> models[] = {
        {"GeForce GTX 1070 Ti", 2432}, {"GeForce GTX 1070", 1920}, {"GeForce GTX 745", 384},
        {"GeForce GTX 1080 Ti", 3584}, {"GeForce GTX 1070 Ti ", 0}, {"NVIDIA GeForce GTX 1070 Ti", 0},
        {"GeForce GTX 1070 Ti 8GB", 0}, {"geforce gtx 1070 ti", 0}, {"", 0}};
    for (const auto& c : models) EXPECT_EQ(gpu_model_nonces(c.first), c.second) << "'" << c.first << "'";

    gpu_pd_s pd;
    EXPECT_TRUE(gpu_parse_pd("2:13", &pd) && pd.platform == 2 && pd.device == 13);
    for (const char* bad : {"", "0", "0:", ":0", "a:0", "0:b", "0:0:0", "-1:0", "0:+1", " 0:0", "0:0 ", "99999:0"})
        EXPECT_FALSE(gpu_parse_pd(bad, &pd)) << "'" << bad << "'";
    EXPECT_FALSE(gpu_parse_pd(nullptr, &pd));

    gpu_devices.clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpu_optimal_nonces(3) + gpu_max_alloc(0) + gpu_global_mem(7) + gpu_nonces(nullptr), 0u);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Assertion failure gpu_device.cpp"), std::string::npos);
}

TEST(GpuSizing, NonceCountFollowsMemoryLimitsAndTunedCounts) {
    const uint64_t GiB = 1ull << 30, huge = 64 * 1024 * GiB;
    // memory, GPUs, buffers, device max alloc and global memory, tuned count, user limit;
    // the count chosen.
    const std::pair<gpu_sizing_s, uint64_t> cases[] = {
        {{12 * GiB, 1, 2, 2 * GiB, 8 * GiB, 0, 0}, 2048},               // 8191 fit, capped at 2048 untuned
        {{12 * GiB, 1, 2, 3000 * GEN_SIZE, 8 * GiB, 4096, 0}, 2976},    // the device limit, whole groups of 32
        {{12 * GiB, 1, 2, 3000 * GEN_SIZE, 8 * GiB, 1344, 0}, 1344},    // a tuned count below what fits wins
        {{12 * GiB, 1, 2, 3000 * GEN_SIZE, 8 * GiB, 1344, 1000}, 992},  // the user limit, whole groups of 32
        {{1 * GiB, 2, 4, 64 * GiB, 64 * GiB, 0, 0}, 512},               // memory shared by 2 GPUs, 4 buffers
        {{0, 2, 4, 64 * GiB, 64 * GiB, 0, 0}, 0},
        {{huge, 1, 2, huge, huge, 20000, 0}, 16352},  // the last work group the kernels' 32-bit offsets allow
    };
    for (const auto& c : cases)
        EXPECT_EQ(gpu_plan_nonces(c.first), c.second) << "memory " << c.first.memory << " tuned " << c.first.tuned;
}

// kestrune-cli devices, also with a runtime that has no platforms (the ICD loader reads its
// vendor list from OCL_ICD_VENDORS, and an empty folder has none); bench -g measures and
// checks one batch, and only takes well-formed arguments (plain "bench" is the CPU one).
TEST(CliGpu, DevicesAndBench) {
    const bool present = !gpu_list_all().empty();
    const std::string devices = test_run_cli("devices").output;
    EXPECT_EQ(present ? devices.rfind("0:0  ", 0) : devices.find("No OpenCL"), 0u) << devices;
    test_dir_s empty;
    const test_cli_s none = test_run_cli("devices", "OCL_ICD_VENDORS=" + empty.path);
    EXPECT_TRUE(none.status == 0 && none.output == "No OpenCL devices found.\n") << none.output;
    for (const char* bad : {"bench -g", "bench -g 0", "bench -g 0:0 --nonces 33", "bench -g 0:0 --nonces 0",
                            "bench -g 0:0 --seconds -1", "bench -g 0:0 --seconds x", "bench -g 0:0 --frobnicate"})
        EXPECT_EQ(test_run_cli(bad).status, 2) << bad;
    EXPECT_EQ(test_run_cli("bench -g 97:0 --nonces 32").status, 1);
    if (!present) return;
    const test_cli_s run = test_run_cli("bench -g 0:0 --nonces 32 --seconds 0 --csv");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.rfind("family,threads,nonces,seconds,nonces_per_min\nopencl:0:0,1,32,", 0), 0u) << run.output;
}

}  // namespace
