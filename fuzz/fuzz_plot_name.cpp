// Fuzz target: plot file names. Both readers (the checker's plot_name_parse and the folder
// scan's stricter plots_parse_name) take any bytes; what they accept must be consistent
// with the names the program writes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "plotter/plot_file.h"
#include "plotter/plots.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);  // stops at an inner NUL
    uint64_t account = 0, start = 0, count = 0, stagger = 0;
    if (plot_name_parse(path.c_str(), &account, &start, &count, &stagger)) {
        // The name the program would write for these numbers reads back the same.
        const bool poc2 = stagger == 0;
        uint64_t a = 1, s = 1, c = 1, g = 1;
        require(plot_name_parse(plot_file_path("/plots", account, start, count, poc2).c_str(), &a, &s, &c, &g));
        require(a == account && s == start && c == count && g == (poc2 ? 0 : count));
    }
    plot_range_s range;
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (plots_parse_name(name.c_str(), &range)) {
        require(range.count >= 1);
        require(range.start + (range.count - 1) >= range.start);  // never passes 2^64 - 1
        require(!(range.plain && range.plotting));
        if (range.plain) {
            // A finished name is exactly what the program writes for its numbers.
            const uint64_t named = range.count;
            plot_range_s again;
            require(plots_parse_name(plot_file_name(range.account, range.start, named, range.poc2).c_str(), &again));
            require(again.account == range.account && again.start == range.start && again.poc2 == range.poc2);
        }
    }
    return 0;
}
