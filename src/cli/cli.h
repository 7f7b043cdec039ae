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

// The command line of `plot`, as parsed.
struct cli_plot_options_s {
    uint64_t account = 0;             // account id
    bool have_account = false;        // -i given
    std::vector<std::string> targets; // -p folders
    std::vector<std::string> ssds;    // --ssd folders
    bool have_start = false;          // -s given
    uint64_t start = 0;               // -s value
    uint64_t nonces = 0;              // -n value; 0 = fill
    uint64_t fill_bytes = 0;          // --fill in bytes
    std::string fill_text;            // --fill as given
    uint64_t max_file_bytes = 0;      // --max-file in bytes; 0 = the default
    uint64_t memory = 0;              // -m in bytes
    int32_t threads = 0;              // -c
    const char* family = nullptr;     // --family
    bool poc2 = false;                // --poc2
    std::vector<std::string> gpus;    // -g
    uint64_t gpu_nonces = 0;          // --gpu-nonces; 0 = sized from the devices
    bool cpu_fallback = false;        // --cpu-fallback
    bool discard = false;             // --discard
    bool quiet = false;               // -q
};

// Parses the arguments of `plot` (argv[0] is the command name) without touching the
// file system: -1 when they are complete, else the exit status (CLI_OK after --help,
// CLI_USAGE with the problem printed).
int cli_plot_parse(int argc, char** argv, cli_plot_options_s* options);

int cli_check(int argc, char** argv);
int cli_convert(int argc, char** argv);
int cli_plots(int argc, char** argv);

struct plotter_s;
// Binds the -g devices to the plotter and sets the GPU mask; -1 on success, else the exit status.
// gpu_nonces, when not 0, is the nonces per device and pass the user gave.
int cli_plot_gpus(plotter_s* plotter, const std::vector<std::string>& devices, uint64_t gpu_nonces,
                  uint32_t* gpu_mask);
struct gpu_desc_s;
// The nonces per pass plotting would give a device among `gpus` alike, with all of the
// host's memory budget, and the limit that set them.
struct cli_gpu_plan_s {
    uint64_t nonces = 0;
    const char* limit = "";   // what decided the size
    uint32_t gen_buffers = 0; // generation buffers at that size
};
cli_gpu_plan_s cli_gpu_plan(const gpu_desc_s& desc, uint32_t gpus, uint64_t forced);
// The GPU dispatch settings of config.yml, as the OpenCL layer takes them.
struct gpu_tuning_s;
gpu_tuning_s cli_gpu_tuning();
// Reads a --gpu-nonces value: a multiple of 32 from 32 to GPU_MAX_NONCES.
bool cli_parse_gpu_nonces(const char* text, uint64_t* nonces);
int cli_devices(int argc, char** argv);
// bench: CPU families; with -g P:D it hands over to cli_bench_gpu.
int cli_bench(int argc, char** argv);
// bench with -g P:D: OpenCL nonce throughput, the first batch checked against nonce_compute.
int cli_bench_gpu(int argc, char** argv);

// Where a final message sends the reader for the details: log.txt when this run's messages
// went there, else the messages it printed above.
const char* cli_log_hint();

// An engine's message for the user as a plain line on standard error: "<title>: <text>".
void cli_print_message(const char* title, const char* text);

// Prints "kestrune-cli: <message>" to standard error and returns CLI_USAGE.
int cli_usage_error(const char* command, const std::string& message);

// Parses a whole decimal unsigned 64-bit number; false on anything else or overflow.
bool cli_parse_u64(const char* text, uint64_t* value);

// Parses a positive decimal amount (fractions allowed) in `unit` bytes; false on anything
// else or when it comes to 0 bytes.
bool cli_parse_amount(const char* text, double unit, uint64_t* bytes);

// Parses an account as a BURST- address or a decimal id.
bool cli_parse_account(const char* text, uint64_t* id);

bool cli_is_help(const char* arg);
