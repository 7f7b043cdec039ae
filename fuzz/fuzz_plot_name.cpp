// Fuzz target: plot file names. The one name reader takes any bytes; what it accepts must be
// consistent with the names the program writes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plotfile/plotfile.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);  // stops at an inner NUL
    plotfile_name_s name;
    const plotfile_name_e kind = plotfile_name_parse(path.c_str(), &name);
    if (kind == PLOTFILE_NAME_NONE || kind == PLOTFILE_NAME_NOT_OPTIMIZED) return 0;
    require(name.count >= 1);
    require(name.start + (name.count - 1) >= name.start);  // never passes 2^64 - 1
    // The name the program would write for these numbers reads back the same.
    const bool poc2 = kind == PLOTFILE_NAME_POC2;
    const std::string written = plotfile_path("/plots", name.account, name.start, name.count, poc2);
    plotfile_name_s again;  // its `rest` points into `written`
    require(plotfile_name_parse(written.c_str(), &again) == kind);
    require(again.account == name.account && again.start == name.start && again.count == name.count);
    require(std::strcmp(again.rest, "") == 0);
    return 0;
}
