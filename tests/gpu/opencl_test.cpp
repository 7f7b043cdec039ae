// The run-time OpenCL loader and device lookups: missing or unusable libraries mean no
// GPUs, known models match exactly, device names parse, and the per-device nonce count.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "gpu/gpu_context.h"
#include "test_support.h"

namespace {

// Puts the standard library names back whatever a test pointed the loader at.
struct library_names_guard_s {
    ~library_names_guard_s() { opencl_set_library_names({}); }
};

TEST(OpenclLoader, MissingLibraryMeansNoGpusAndNoCrash) {
    library_names_guard_s guard;
    opencl_set_library_names({"libkestrune-no-such-opencl.so", "libkestrune-no-such-opencl.so.1"});
    EXPECT_EQ(opencl_load(), -1);
    EXPECT_EQ(opencl_api.clGetPlatformIDs, nullptr);
    char names[8][64] = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpu_enumerate(8, 64, names), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "no library: nothing is logged";
    EXPECT_TRUE(gpu_devices.empty());
    EXPECT_TRUE(gpu_list_all().empty());
    EXPECT_EQ(gpu_activate_pd({{0, 0}}, 32), nullptr);
}

TEST(OpenclLoader, LibraryLackingNeededFunctionsCountsAsAbsent) {
    library_names_guard_s guard;
    opencl_set_library_names({"libc.so.6"});  // opens fine, exports no OpenCL function
    EXPECT_EQ(opencl_load(), -3);
    EXPECT_EQ(opencl_api.clGetPlatformIDs, nullptr);
    EXPECT_EQ(opencl_api.clFinish, nullptr);
    char names[8][64] = {};
    EXPECT_EQ(gpu_enumerate(8, 64, names), 0);
    EXPECT_TRUE(gpu_list_all().empty());
}

TEST(OpenclLoader, LaterNameIsTriedAndASecondLoadKeepsTheTable) {
    library_names_guard_s guard;
    opencl_set_library_names({"libkestrune-no-such-opencl.so", "libOpenCL.so.1"});
    if (opencl_load() != 0) GTEST_SKIP() << "no OpenCL ICD loader (libOpenCL.so.1) installed";
    const auto resolved = opencl_api.clGetPlatformIDs;
    EXPECT_NE(resolved, nullptr);
    EXPECT_NE(opencl_api.clEnqueueMapBuffer, nullptr);
    EXPECT_EQ(opencl_load(), 0);
    EXPECT_EQ(opencl_api.clGetPlatformIDs, resolved);
}

TEST(OpenclLoader, EnumerateListsCpuDevicesWithoutRecordingThem) {
    const auto all = gpu_list_all();
    bool cpu_only = !all.empty();
    for (const auto& listed : all) cpu_only = cpu_only && !(listed.type & CL_DEVICE_TYPE_GPU);
    if (!cpu_only) GTEST_SKIP() << "needs an OpenCL runtime with CPU devices only (PoCL)";
    char names[8][64] = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpu_enumerate(8, 64, names), 0);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("  found "), std::string::npos) << log;
    EXPECT_NE(log.find("  0: CPU, "), std::string::npos) << log;
    EXPECT_NE(log.find("     Mem global "), std::string::npos) << log;
    EXPECT_TRUE(gpu_devices.empty());
    EXPECT_EQ(names[0][0], 0);
}

TEST(GpuLookup, KnownModelsMatchExactNamesOnly) {
    const std::pair<const char*, int> cases[] = {
        {"GeForce GTX 1070 Ti", 2432}, {"GeForce GTX 1070", 1920}, {"GeForce GTX 745", 384},
        {"GeForce GTX 1080 Ti", 3584}, {"GeForce GTX 1070 Ti ", 0}, {"NVIDIA GeForce GTX 1070 Ti", 0},
        {"GeForce GTX 1070 Ti 8GB", 0}, {"geforce gtx 1070 ti", 0}, {"", 0}};
    for (const auto& c : cases) EXPECT_EQ(gpu_model_nonces(c.first), c.second) << "'" << c.first << "'";
}

TEST(GpuLookup, UnknownGpuIndexGivesZeroAndAnAssertionReport) {
    gpu_devices.clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpu_optimal_nonces(3), 0);
    EXPECT_EQ(gpu_max_alloc(0), 0u);
    EXPECT_EQ(gpu_global_mem(7), 0u);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Assertion failure gpu_device.cpp"), std::string::npos) << log;
    EXPECT_EQ(gpu_nonces(nullptr), 0u);
}

TEST(GpuLookup, DeviceNamesParseAsPlatformColonDevice) {
    gpu_pd_s pd;
    ASSERT_TRUE(gpu_parse_pd("2:13", &pd));
    EXPECT_EQ(pd.platform, 2);
    EXPECT_EQ(pd.device, 13);
    for (const char* bad : {"", "0", "0:", ":0", "a:0", "0:b", "0:0:0", "-1:0", "0:+1", " 0:0", "0:0 ", "99999:0"})
        EXPECT_FALSE(gpu_parse_pd(bad, &pd)) << "'" << bad << "'";
    EXPECT_FALSE(gpu_parse_pd(nullptr, &pd));
}

TEST(GpuSizing, NonceCountFollowsMemoryLimitsAndTunedCounts) {
    const uint64_t GiB = 1ull << 30;
    gpu_sizing_s sizing;
    // 16 GiB, one GPU with 8 GiB and 2 GiB allocations, no tuned count: 8191 capped at 2048.
    sizing.memory = 12 * GiB;
    sizing.min_max_alloc = 2 * GiB;
    sizing.min_global_mem = 8 * GiB;
    EXPECT_EQ(gpu_plan_nonces(sizing), 2048u);
    // A tuned 4096 on a device that allows about 3000: the device limit, low 5 bits cleared.
    sizing.min_max_alloc = 3000 * GEN_SIZE;
    sizing.tuned = 4096;
    EXPECT_EQ(gpu_plan_nonces(sizing), 2976u);
    // A tuned count below what fits wins, with its low 5 bits cleared.
    sizing.tuned = 1344;
    EXPECT_EQ(gpu_plan_nonces(sizing), 1344u);
    // The user limit applies and stays a multiple of 32.
    sizing.max_setting = 1000;
    EXPECT_EQ(gpu_plan_nonces(sizing), 992u);
    // Memory shared by two GPUs and four buffers.
    sizing = gpu_sizing_s{};
    sizing.memory = 1 * GiB;
    sizing.gpus = 2;
    sizing.buffers = 4;
    sizing.min_max_alloc = sizing.min_global_mem = 64 * GiB;
    EXPECT_EQ(gpu_plan_nonces(sizing), 512u);
    sizing.memory = 0;
    EXPECT_EQ(gpu_plan_nonces(sizing), 0u);
    // A tuned count beyond what the kernels' 32-bit offsets allow: the last whole work group.
    sizing.memory = sizing.min_max_alloc = sizing.min_global_mem = 64 * 1024 * GiB;
    sizing.gpus = 1;
    sizing.tuned = 20000;
    EXPECT_EQ(gpu_plan_nonces(sizing), 16352u);
}

// kestrune-cli devices and bench -g on the first listed device.
TEST(CliDevices, ListsEveryDeviceOrSaysThereIsNone) {
    const test_cli_s run = test_run_cli("devices");
    const std::string& out = run.output;
    EXPECT_EQ(run.status, 0);
    if (gpu_list_all().empty()) {
        EXPECT_NE(out.find("No OpenCL"), std::string::npos) << out;
        return;
    }
    EXPECT_EQ(out.rfind("0:0  ", 0), 0u) << out;
    EXPECT_NE(out.find("max alloc"), std::string::npos) << out;
}

TEST(CliDevices, RuntimeWithoutPlatformsIsNotAnError) {
    // The ICD loader reads its vendor list from OCL_ICD_VENDORS; an empty folder has none.
    test_dir_s empty;
    const test_cli_s run = test_run_cli("devices", "OCL_ICD_VENDORS=" + empty.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("No OpenCL"), std::string::npos) << run.output;
}

TEST(CliBenchGpu, MeasuresAndChecksTheFirstBatch) {
    if (gpu_list_all().empty()) GTEST_SKIP() << "no OpenCL device present (install PoCL)";
    const test_cli_s run = test_run_cli("bench -g 0:0 --nonces 32 --seconds 0 --csv");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.rfind("family,threads,nonces,seconds,nonces_per_min\nopencl:0:0,1,32,", 0), 0u) << run.output;
}

TEST(CliBenchGpu, RejectsBadArguments) {
    // Plain "bench" is the CPU benchmark; only the -g forms belong to the GPU one.
    for (const char* bad : {"bench -g", "bench -g 0", "bench -g 0:0 --nonces 33", "bench -g 0:0 --nonces 0",
                            "bench -g 0:0 --seconds -1", "bench -g 0:0 --seconds x", "bench -g 0:0 --frobnicate"}) {
        EXPECT_EQ(test_run_cli(bad).status, 2) << bad;
    }
    EXPECT_EQ(test_run_cli("bench -g 97:0 --nonces 32").status, 1);
}

}  // namespace
