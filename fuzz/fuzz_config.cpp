// Fuzz target: config.yml loading. Any bytes load without a crash or an escaping exception,
// and what was loaded, written back and loaded again gives the same settings and folders.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "settings/prefs.h"
#include "settings/settings.h"

namespace {

void require(bool condition, int line = __builtin_LINE()) {
    if (condition) return;
    std::fprintf(stderr, "fuzz_config.cpp:%d: requirement failed\n", line);
    std::abort();
}

// The emitter writes text as UTF-8; a folder name of other bytes does not come back as it was.
bool utf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = (unsigned char)text[i];
        const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k)
            if (((unsigned char)text[i + k] >> 6) != 2) return false;
        i += length;
    }
    return true;
}

bool all_utf8(const std::vector<std::string>& texts) {
    for (const std::string& text : texts)
        if (!utf8(text)) return false;
    return true;
}

bool near(uint64_t a, uint64_t b) {
    const uint64_t difference = a > b ? a - b : b - a;
    return difference <= 2 || difference <= (a > b ? a : b) / 1000000000000ull;
}

// Sizes are stored in GB or GiB as decimals, so a reload may differ from the bytes by rounding;
// every other setting comes back exactly.
bool same_values(const settings_s& first, const settings_s& again) {
    for (const settings_row_s& row : settings_table) {
        const bool size = row.form == SETTINGS_GIB || row.form == SETTINGS_GB || row.form == SETTINGS_WHOLE_GB;
        const bool same = std::visit(
            [&](auto member) {
                return size ? near((uint64_t)(first.*member), (uint64_t)(again.*member)) : first.*member == again.*member;
            },
            row.field);
        if (!same) return false;
    }
    return true;
}

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    require(file != nullptr);
    if (size) require(std::fwrite(data, 1, size, file) == size);
    std::fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = [] {
        char name[] = "/tmp/kestrune-fuzz-config-XXXXXX";
        require(mkdtemp(name) != nullptr);
        return std::string(name);
    }();
    const std::string path = folder + "/config.yml";
    settings_reset();
    write_file(path, data, size);
    const prefs_loaded_s first = prefs_load(path.c_str(), 4);
    if (!first.parsed) return 0;
    const settings_s loaded = settings_get();
    require(prefs_save(path.c_str(), first.ssds, first.plots));
    settings_reset();
    const prefs_loaded_s again = prefs_load(path.c_str(), 4);
    require(again.parsed);
    require(same_values(loaded, settings_get()));
    if (all_utf8(first.ssds) && all_utf8(first.plots)) require(again.ssds == first.ssds && again.plots == first.plots);
    return 0;
}
