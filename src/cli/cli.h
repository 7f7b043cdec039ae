// The headless front end's commands and the small argument helpers they share.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Exit statuses: 0 success, 1 the work failed, 2 the command line was wrong.
constexpr int CLI_OK = 0;
constexpr int CLI_FAILED = 1;
constexpr int CLI_USAGE = 2;

int cli_nonce(int argc, char** argv);
int cli_address(int argc, char** argv);
int cli_plot(int argc, char** argv);
int cli_check(int argc, char** argv);

struct plotter_s;
// Binds the -g devices to the plotter and sets the GPU mask; -1 on success, else the exit status.
int cli_plot_gpus(plotter_s* plotter, const std::vector<std::string>& devices, uint32_t* gpu_mask);
int cli_devices(int argc, char** argv);
// bench: CPU families; with -g P:D it hands over to cli_bench_gpu.
int cli_bench(int argc, char** argv);
// bench with -g P:D: OpenCL nonce throughput, the first batch checked against nonce_compute.
int cli_bench_gpu(int argc, char** argv);

// Prints "kestrune-cli: <message>" to standard error and returns CLI_USAGE.
int cli_usage_error(const char* command, const std::string& message);

// Parses a whole decimal unsigned 64-bit number; false on anything else or overflow.
bool cli_parse_u64(const char* text, uint64_t* value);

// Parses an account as a BURST- address or a decimal id.
bool cli_parse_account(const char* text, uint64_t* id);

bool cli_is_help(const char* arg);
