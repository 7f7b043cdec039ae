// The run-time OpenCL loader and device lookups: missing or unusable libraries mean no
// GPUs, known models match exactly, device names parse, the per-device nonce count, and the
// command-line device list and GPU benchmark.

#include <regex>
#include <tuple>

#include "gpu/gpu_device.h"
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
    // The libraries tried; what opencl_load says; what enumerating logs.
    const std::tuple<std::vector<std::string>, int, const char*> cases[] = {
        {{"libkestrune-no-such-opencl.so", "libkestrune-no-such-opencl.so.1"}, -1, ""},
        {{"libc.so.6"}, -3, "OpenCL library lacks clGetPlatformIDs; no GPU will be used\n"}};
    for (const auto& [names, loaded, logged] : cases) {
        SCOPED_TRACE(names[0]);
        opencl_set_library_names(names);
        EXPECT_EQ(opencl_load(), loaded);
        EXPECT_TRUE(opencl_api.clGetPlatformIDs == nullptr && opencl_api.clFinish == nullptr);
        char found[8][64] = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(gpu_enumerate(8, 64, found), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), logged);
        EXPECT_TRUE(gpu_devices.empty() && gpu_list_all().empty() && !gpu_activate_pd({{0, 0}}, 32, {}));
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
    for (const char* line : {"  found ", "  0: CPU, ", "     Mem global "}) EXPECT_TRUE(test_holds(log, line));
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

// A device's own size from what it reports (every count by hand: memory less an eighth, or a
// quarter of the host's memory, over
// GEN_SIZE + 2 x PLOT_SIZE = 786448 bytes per nonce, one output buffer per allocation, compute
// units x work-group width x 4), the limit that decided it and the generation buffers split
// to fit the largest allocation.
TEST(GpuSizing, DeviceSizeFromWhatTheDeviceReports) {
    const uint64_t GiB = 1ull << 30;
    const gpu_overrides_s plain;
    // The device; what it reports and the settings; its size, the limit that decided it, its generation buffers.
    const std::tuple<const char*, gpu_desc_s, gpu_overrides_s, uint64_t, gpu_limit_e, uint32_t> cases[] = {
        // 2 GiB, 512 MiB allocations: 2389 fit the memory, 2048 one allocation; 2048 areas of
        // 262160 bytes are just over 512 MiB, so two generation buffers.
        {"small card", {"Small", 2 * GiB, 512ull << 20, 10, 1024, 32}, plain, 2048, GPU_LIMIT_ALLOCATION, 2},
        // 80 GiB, one allocation may take it all: 95571 fit, cut to 95552.
        {"H100-like", {"H100", 80 * GiB, 80 * GiB, 132, 1024, 32}, plain, 95552, GPU_LIMIT_MEMORY, 1},
        // A quarter of 16 GiB per allocation: 16384 output rows fit one; their areas need two.
        {"quarter allocation", {"Quarter", 16 * GiB, 4 * GiB, 60, 256, 64}, plain, 16384, GPU_LIMIT_ALLOCATION, 2},
        // Two compute units of work groups up to 4096: 32768 in flight, far below the memory.
        {"few compute units", {"Cpu", 64 * GiB, 16 * GiB, 2, 4096, 0}, plain, 32768, GPU_LIMIT_FILL, 1},
        // The same device on the host's own memory: a quarter of 64 GiB holds 21844 nonces.
        {"host memory", {"Cpu", 64 * GiB, 16 * GiB, 2, 4096, 0, true}, plain, 21824, GPU_LIMIT_MEMORY, 1},
        {"reports nothing", {"Mystery", 0, 0, 0, 0, 0}, plain, 2048, GPU_LIMIT_FALLBACK, 1},
        {"known model", {"GeForce GTX 1080 Ti", 11 * GiB, 2816ull << 20, 28, 1024, 32}, plain, 3584, GPU_LIMIT_MODEL, 1},
        {"known model, nothing reported", {"GeForce GTX 960", 0, 0, 0, 0, 0}, plain, 1024, GPU_LIMIT_MODEL, 1},
        {"setting", {"Small", 2 * GiB, 512ull << 20, 10, 1024, 32}, {0, 1000, 32}, 992, GPU_LIMIT_SETTING, 1},
        // The user's count wins over the device and the setting, in whole groups.
        {"option", {"Mystery", 0, 0, 0, 0, 0}, {16448, 1000, 32}, 16448, GPU_LIMIT_OPTION, 1},
        {"option, uneven", {"Small", 2 * GiB, 512ull << 20, 10, 1024, 32}, {3000, 0, 64}, 2944, GPU_LIMIT_OPTION, 2},
    };
    for (const auto& [what, desc, overrides, nonces, limit, gen_buffers] : cases) {
        const gpu_size_s size = gpu_size_device(desc, overrides);
        EXPECT_EQ(std::make_tuple(size.nonces, size.limit, size.gen_buffers), std::make_tuple(nonces, limit, gen_buffers))
            << what << ": " << gpu_limit_name(size.limit);
    }
    uint64_t part = 0;
    // 100 nonces in groups of 32 with room for two groups per buffer: 4 groups in 2 buffers.
    EXPECT_EQ(gpu_gen_parts(100, 2 * 32 * GEN_SIZE, 32, &part), 2u);
    EXPECT_EQ(part, 64u);
    EXPECT_EQ(gpu_gen_parts(100, 32 * GEN_SIZE - 1, 32, &part), 0u) << "not one group fits";
    EXPECT_EQ(gpu_gen_parts(65 * 32, 32 * GEN_SIZE, 32, &part), 0u) << "more buffers than a device may hold";
}

TEST(GpuSizing, RunSizeWithinTheHostMemory) {
    const uint64_t GiB = 1ull << 30, huge = 64 * 1024 * GiB;
    // memory, GPUs, buffers, device max alloc and global memory, the devices' own size, user
    // limit; the count chosen.
    const std::pair<gpu_sizing_s, uint64_t> cases[] = {
        {{12 * GiB, 1, 2, 3000 * GEN_SIZE, 8 * GiB, 1344, 0}, 1344},    // the device's own size below what fits
        {{1 * GiB, 2, 4, 64 * GiB, 64 * GiB, 0, 0}, 512},               // 1 GiB for 2 GPUs x 4 buffers
        {{4 * GiB, 1, 2, 64 * GiB, 64 * GiB, 95552, 0}, 8192},          // host memory cuts a large device
        {{0, 2, 4, 64 * GiB, 64 * GiB, 0, 0}, 0},
        {{huge, 1, 2, huge, huge, 20000, 0}, 20000},  // beyond what 32-bit offsets could address
    };
    for (const auto& c : cases)
        EXPECT_EQ(gpu_plan_nonces(c.first), c.second) << "memory " << c.first.memory << " own " << c.first.tuned;
}

// kestrune-cli devices, also with a runtime that has no platforms (the ICD loader reads its
// vendor list from OCL_ICD_VENDORS, and an empty folder has none); bench -g measures and
// checks one batch, and only takes well-formed arguments (plain "bench" is the CPU one).
TEST(CliGpu, DevicesAndBench) {
    const bool present = !gpu_list_all().empty();
    const std::string devices = test_run_cli("devices").output;
    EXPECT_EQ(present ? devices.rfind("0:0  ", 0) : devices.find("No OpenCL"), 0u) << devices;
    EXPECT_EQ(devices.find(" nonces per pass (set by ") != std::string::npos, present) << devices;
    test_dir_s empty;
    const test_cli_s none = test_run_cli("devices", "OCL_ICD_VENDORS=" + empty.path);
    EXPECT_TRUE(none.status == 0 && none.output == "No OpenCL devices found.\n") << none.output;
    for (const char* bad : {"bench -g", "bench -g 0", "bench -g 0:0 --nonces 33", "bench -g 0:0 --gpu-nonces 0",
                            "bench -g 0:0 --seconds -1", "bench -g 0:0 --seconds x", "bench -g 0:0 --frobnicate"})
        EXPECT_EQ(test_run_cli(bad).status, 2) << bad;
    EXPECT_EQ(test_run_cli("bench -g 97:0 --nonces 32").status, 1);
    if (!present) GTEST_SKIP() << "no OpenCL device: only the checks above without one ran";
    const std::string said_file = empty.file("stderr");
    const test_cli_s run = test_run_cli("bench -g 0:0 --nonces 32 --seconds 0 --csv 2>" + said_file + "; exit $?");
    EXPECT_EQ(run.status, 0) << run.output;
    // One batch of two passes of 32, the copy-out of the first overlapping the second.
    EXPECT_EQ(run.output.rfind("family,threads,nonces,seconds,nonces_per_min,gpu_nonces,limit\nopencl:0:0,1,64,", 0), 0u) << run.output;
    EXPECT_NE(run.output.find(",32,--gpu-nonces\n"), std::string::npos) << run.output;
    // Standard error names the pass size before the devices are set up, and shows the self-test
    // pass and the batch while they run: a line at some point between 0 and 100 %, and at the end.
    const std::string said = test_read_file(said_file);
    const size_t announced = said.find("opencl:0:0: 32 nonces per device and pass (set by --gpu-nonces); a self-test "
                                       "pass, then batches of 64 nonces for at least 0 s\n");
    EXPECT_LT(announced, said.find("Activating device")) << said;
    for (const char* line : {"  self-test +(0\\.[1-9]|[1-9]\\d?\\.\\d)% of 32 nonces", "  self-test +100\\.0% of 32 nonces",
                             "  batch 1 +(0\\.[1-9]|[1-9]\\d?\\.\\d)% of 64 nonces", "  batch 1 +100\\.0% of 64 nonces"})
        EXPECT_TRUE(std::regex_search(said, std::regex(line))) << line << ":\n" << said;
}

}  // namespace
