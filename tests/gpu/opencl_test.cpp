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
    struct case_s {
        uint64_t memory;            // budget
        uint32_t gpus, buffers;     // devices and batch buffers sharing it
        uint64_t max_alloc, global; // the devices' limits
        int32_t tuned, max_setting; // known-model count and user limit, 0 = none
        uint64_t nonces;            // the count chosen
    };
    const case_s cases[] = {
        {12 * GiB, 1, 2, 2 * GiB, 8 * GiB, 0, 0, 2048},             // 8191 fit, capped at 2048 untuned
        {12 * GiB, 1, 2, 3000 * GEN_SIZE, 8 * GiB, 4096, 0, 2976},  // the device limit, whole groups of 32
        {12 * GiB, 1, 2, 3000 * GEN_SIZE, 8 * GiB, 1344, 0, 1344},  // a tuned count below what fits wins
        {12 * GiB, 1, 2, 3000 * GEN_SIZE, 8 * GiB, 1344, 1000, 992},  // the user limit, whole groups of 32
        {1 * GiB, 2, 4, 64 * GiB, 64 * GiB, 0, 0, 512},             // memory shared by two GPUs and four buffers
        {0, 2, 4, 64 * GiB, 64 * GiB, 0, 0, 0},
        // Beyond what the kernels' 32-bit offsets allow: the last whole work group below it.
        {64 * 1024 * GiB, 1, 2, 64 * 1024 * GiB, 64 * 1024 * GiB, 20000, 0, 16352},
    };
    for (const case_s& c : cases) {
        gpu_sizing_s sizing;
        sizing.memory = c.memory;
        sizing.gpus = c.gpus;
        sizing.buffers = c.buffers;
        sizing.min_max_alloc = c.max_alloc;
        sizing.min_global_mem = c.global;
        sizing.tuned = c.tuned;
        sizing.max_setting = c.max_setting;
        EXPECT_EQ(gpu_plan_nonces(sizing), c.nonces) << "memory " << c.memory << " tuned " << c.tuned;
    }
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
