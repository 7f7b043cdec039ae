// kestrune-cli plots: states, overlaps and totals of folders built here, read back from
// --json as whole objects.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "nonce/nonce.h"
#include "platform/sys.h"
#include "test_support.h"

namespace {

// A sparse file of `size` bytes; with `record`, the last eight bytes hold it (a resume record).
void make(const std::string& path, uint64_t size, int64_t record = -1) {
    { std::ofstream(path, std::ios::binary); }
    std::filesystem::resize_file(path, size);
    if (record < 0) return;
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp((std::streamoff)size - 8);
    for (int b = 0; b < 8; ++b) f.put((char)((uint64_t)record >> (8 * b)));
}

using object_t = std::map<std::string, std::string>;

// A JSON object as key -> text; a list becomes its items joined by " | ".
object_t flat(const YAML::Node& node) {
    object_t out;
    for (const auto& entry : node) {
        std::string text;
        if (entry.second.IsSequence()) {
            for (const auto& item : entry.second) text += (text.empty() ? "" : " | ") + item.as<std::string>();
        } else {
            text = entry.second.as<std::string>();
        }
        out[entry.first.as<std::string>()] = text;
    }
    return out;
}

std::vector<object_t> list(const YAML::Node& doc, const char* key, const std::vector<std::string>& keep = {}) {
    std::vector<object_t> out;
    for (const auto& item : doc[key]) {
        object_t o = flat(item);
        if (!keep.empty())
            for (auto it = o.begin(); it != o.end();)
                it = std::find(keep.begin(), keep.end(), it->first) == keep.end() ? o.erase(it) : std::next(it);
        out.push_back(o);
    }
    return out;
}

object_t file(const std::string& path, const char* account, const char* start, const char* nonces,
              const char* format, const char* state, uint64_t size, const char* written = nullptr) {
    object_t o{{"path", path},     {"account", account}, {"start", start},
               {"nonces", nonces}, {"format", format},   {"state", state}, {"size", std::to_string(size)}};
    if (written) o["written"] = written;
    return o;
}

}  // namespace

TEST(plots_cli, reports_states_overlaps_and_totals_of_two_folders) {
    test_dir_s d1, d2;
    const uint64_t P = PLOT_SIZE;
    make(d1.file("5_0_64_64"), 64 * P);
    make(d1.file("5_1000_16"), 16 * P - 4096);  // truncated copy
    make(d1.file("5_3000_64.plotting"), 64 * P, 0);
    make(d1.file("6_0_64"), 64 * P);  // same range, other account: no overlap
    make(d1.file("notes.txt"), 10);
    make(d2.file("5_2000_64.plotting"), 64 * P, 24);
    make(d2.file("5_32_64"), 64 * P);
    make(d2.file("5_60_8_8"), 8 * P);
    make(d2.file("7_0_8_8"), 8 * P);
    make(d2.file("7_0_8_8.converting"), 4096);
    // A running plot holds its file's lock; the command runs in another process.
    const int64_t writer = sys_file_create(d1.file("5_3000_64.plotting").c_str(), 0);
    ASSERT_NE(writer, 0);
    const test_cli_s run = test_run_cli("plots --json " + d1.path + " " + d2.path + "/");
    sys_file_close(writer);
    EXPECT_EQ(run.status, 1);  // overlaps and a wrong size
    const YAML::Node doc = YAML::Load(run.output);
    const std::string a = d1.path + "/", b = d2.path + "/";
    const std::vector<object_t> files = {
        file(a + "5_0_64_64", "5", "0", "64", "poc1", "complete", 64 * P),
        file(a + "5_1000_16", "5", "1000", "16", "poc2", "wrong-size", 16 * P - 4096),
        file(a + "5_3000_64.plotting", "5", "3000", "64", "poc2", "writing", 64 * P),
        file(a + "6_0_64", "6", "0", "64", "poc2", "complete", 64 * P),
        file(b + "5_2000_64.plotting", "5", "2000", "64", "poc2", "unfinished", 64 * P, "24"),
        file(b + "5_32_64", "5", "32", "64", "poc2", "complete", 64 * P),
        file(b + "5_60_8_8", "5", "60", "8", "poc1", "complete", 8 * P),
        file(b + "7_0_8_8", "7", "0", "8", "poc1", "converting", 8 * P),
    };
    EXPECT_EQ(list(doc, "files"), files);
    const std::vector<object_t> overlaps = {
        {{"account", "5"}, {"files", a + "5_0_64_64 | " + b + "5_32_64"}, {"nonces", "32"}},
        {{"account", "5"}, {"files", a + "5_0_64_64 | " + b + "5_60_8_8"}, {"nonces", "4"}},
        {{"account", "5"}, {"files", b + "5_32_64 | " + b + "5_60_8_8"}, {"nonces", "8"}},
    };
    EXPECT_EQ(list(doc, "overlaps"), overlaps);
    const std::vector<object_t> accounts = {
        {{"account", "5"}, {"files", "6"}, {"nonces", "280"}},
        {{"account", "6"}, {"files", "1"}, {"nonces", "64"}},
        {{"account", "7"}, {"files", "1"}, {"nonces", "8"}},
    };
    EXPECT_EQ(list(doc, "accounts", {"account", "files", "nonces"}), accounts);
    const std::vector<object_t> folders = {
        {{"path", d1.path}, {"files", "4"}, {"nonces", "208"}},
        {{"path", b}, {"files", "4"}, {"nonces", "144"}},
    };
    EXPECT_EQ(list(doc, "folders", {"path", "files", "nonces"}), folders);
    for (const auto& folder : doc["folders"]) EXPECT_GT(folder["free"].as<uint64_t>(), 0u);
}

TEST(plots_cli, exit_status_says_whether_a_folder_needs_attention) {
    const struct {
        const char* what;
        std::vector<std::pair<std::string, uint64_t>> files;
        int status;
    } cases[] = {
        {"clean", {{"5_0_8", 8 * PLOT_SIZE}, {"5_8_8_8", 8 * PLOT_SIZE}}, 0},  // adjacent ranges do not overlap
        {"wrong size alone", {{"5_0_8", 8 * PLOT_SIZE + 1}}, 1},
        {"overlap alone", {{"5_0_8", 8 * PLOT_SIZE}, {"5_7_8_8", 8 * PLOT_SIZE}}, 1},
        {"empty folder", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test_dir_s d;
        for (const auto& [name, size] : c.files) make(d.file(name), size);
        EXPECT_EQ(test_run_cli("plots " + d.path).status, c.status);
        const test_cli_s json = test_run_cli("plots --json " + d.path);
        EXPECT_EQ(json.status, c.status);
        EXPECT_EQ(YAML::Load(json.output)["files"].size(), c.files.size());
    }
}
