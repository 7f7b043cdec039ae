// The preferences file config.yml: loads it into the settings values and writes them back.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// What loading found beyond the settings values themselves: the folder lists belong to
// higher layers, which add them (SSD folders through the setup screen's folder adder).
struct prefs_loaded_s {
    bool parsed = false;             // the file was read and parsed; false means it must be written afresh
    bool backed_up = false;          // an unparsable file was kept as "<path>.bak"
    int unreadable = 0;              // errno when the file exists but cannot be read: never replace it
    std::vector<std::string> ssds;   // staging folders in file order
    std::vector<std::string> plots;  // remembered plot folders in file order
};

// Reads `path` into the settings values. Every key is read on its own: a missing, null,
// mistyped, negative or out-of-range value keeps that key's fallback and the rest still
// load; a bad element of a list is skipped. GPU indices at or above gpu_count are ignored.
// An unparsable file is renamed to "<path>.bak" so the fresh file written next loses nothing;
// one that cannot be read at all (a folder, no permission) is logged and left in place.
prefs_loaded_s prefs_load(const char* path, int32_t gpu_count);

// The file text for the current settings and the given folder lists.
std::string prefs_text(const std::vector<std::string>& ssds, const std::vector<std::string>& plots);

// Writes prefs_text to a temporary file beside `path`, syncs it and renames it over `path`,
// so a crash leaves the old file or the new one, never half of one. False, after logging
// "Failed to write config.yml", when any step fails.
bool prefs_save(const char* path, const std::vector<std::string>& ssds, const std::vector<std::string>& plots);
