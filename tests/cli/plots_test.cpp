// kestrune-cli plots: states, overlaps and totals of folders built here, read back from
// --json as whole objects.
#include <yaml-cpp/yaml.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <tuple>

#include "platform/sys.h"
#include "test_support.h"

namespace {

// A sparse file of `size` bytes; with `record`, the last eight bytes hold it (a resume record,
// little-endian like this machine).
void make(const std::string& path, uint64_t size, int64_t record = -1) {
    test_write_file(path, "");
    std::filesystem::resize_file(path, size);
    if (record >= 0)
        std::fstream(path, std::ios::binary | std::ios::in | std::ios::out).seekp(size - 8).write((const char*)&record, 8);
}

using object_t = std::map<std::string, std::string>;

// The objects of doc[key], each as key -> text (a list: its items joined by " | "), with only
// the `keep` keys when any are given.
std::vector<object_t> list(const YAML::Node& doc, const char* key, const std::vector<std::string>& keep = {}) {
    std::vector<object_t> out;
    for (const auto& item : doc[key]) {
        object_t& o = out.emplace_back();
        for (const auto& entry : item) {
            const std::string name = entry.first.as<std::string>();
            if (!keep.empty() && std::find(keep.begin(), keep.end(), name) == keep.end()) continue;
            std::string& text = o[name];
            if (!entry.second.IsSequence()) text = entry.second.as<std::string>();
            for (size_t i = 0; entry.second.IsSequence() && i < entry.second.size(); ++i)
                text += (i ? " | " : "") + entry.second[i].as<std::string>();
        }
    }
    return out;
}

// A file's object; `written` and `journal` only where given.
object_t file(const std::string& path, const char* account, const char* start, const char* nonces, const char* format,
              const char* state, uint64_t size, const char* written = nullptr, const std::string& journal = "") {
    object_t o{{"path", path},     {"account", account}, {"start", start},
               {"nonces", nonces}, {"format", format},   {"state", state}, {"size", std::to_string(size)}};
    if (written) o["written"] = written;
    if (!journal.empty()) o["journal"] = journal;
    return o;
}

}  // namespace

TEST(plots_cli, reports_states_overlaps_and_totals_of_two_folders) {
    test_dir_s d1, d2;
    const uint64_t P = PLOT_SIZE;
    make(d1.file("5_0_64_64"), 64 * P);
    make(d1.file("5_1000_16"), 16 * P - 4096);  // truncated copy
    make(d1.file("5_3000_64.plotting"), 64 * P, 0);
    make(d1.file("5_4000_8"), 8 * P);  // a staged file being moved to d2
    make(d1.file("6_0_64"), 64 * P);  // same range, other account: no overlap
    make(d1.file("notes.txt"), 10);
    make(d2.file("5_2000_64.plotting"), 64 * P, 24);
    make(d2.file("5_32_64"), 64 * P);
    make(d2.file("5_4000_8.moving"), 4 * P);  // the mover's copy, half done
    make(d2.file("5_60_8_8"), 8 * P);
    make(d2.file("7_0_8_8"), 8 * P);
    make(d2.file("7_0_8_8.converting"), 4096);
    make(d2.file("8_0_8"), 8 * P);  // renamed by its conversion, whose journal is not deleted yet
    make(d2.file("8_0_8_8.converting"), 4096);
    // A running plot holds its file's lock; the command runs in another process.
    const int64_t writer = test_create_file(d1.file("5_3000_64.plotting"), 0);
    ASSERT_NE(writer, 0);
    const test_cli_s run = test_run_cli("plots --json " + d1.path + " " + d2.path + "/");
    sys_file_close(writer);
    EXPECT_EQ(run.status, 1);  // overlaps and a wrong size
    const YAML::Node doc = YAML::Load(run.output);
    const std::string a = d1.path + "/", b = d2.path + "/";
    const std::vector<object_t> files = {
        file(a + "5_0_64_64", "5", "0", "64", "poc1", "complete", 64 * P),
        file(a + "5_1000_16", "5", "1000", "16", "poc2", "wrong-size", 16 * P - 4096),
        file(a + "5_3000_64.plotting", "5", "3000", "64", "poc2", "writing", 64 * P, "0"),
        file(a + "5_4000_8", "5", "4000", "8", "poc2", "complete", 8 * P),
        file(a + "6_0_64", "6", "0", "64", "poc2", "complete", 64 * P),
        file(b + "5_2000_64.plotting", "5", "2000", "64", "poc2", "unfinished", 64 * P, "24"),
        file(b + "5_32_64", "5", "32", "64", "poc2", "complete", 64 * P),
        file(b + "5_4000_8.moving", "5", "4000", "8", "poc2", "moving", 4 * P),
        file(b + "5_60_8_8", "5", "60", "8", "poc1", "complete", 8 * P),
        file(b + "7_0_8_8", "7", "0", "8", "poc1", "converting", 8 * P, nullptr, b + "7_0_8_8.converting"),
        file(b + "8_0_8", "8", "0", "8", "poc2", "converting", 8 * P, nullptr, b + "8_0_8_8.converting"),
    };
    EXPECT_EQ(list(doc, "files"), files);
    const std::vector<object_t> overlaps = {  // a mover's copy overlaps nothing: it becomes the staged file
        {{"account", "5"}, {"files", a + "5_0_64_64 | " + b + "5_32_64"}, {"nonces", "32"}},
        {{"account", "5"}, {"files", a + "5_0_64_64 | " + b + "5_60_8_8"}, {"nonces", "4"}},
        {{"account", "5"}, {"files", b + "5_32_64 | " + b + "5_60_8_8"}, {"nonces", "8"}},
    };
    EXPECT_EQ(list(doc, "overlaps"), overlaps);
    // Nonces on the disk only: complete and converting files; unfinished ones by what they wrote.
    const std::vector<object_t> accounts = {
        {{"account", "5"}, {"files", "8"}, {"nonces", "144"}, {"written", "24"}},
        {{"account", "6"}, {"files", "1"}, {"nonces", "64"}, {"written", "0"}},
        {{"account", "7"}, {"files", "1"}, {"nonces", "8"}, {"written", "0"}},
        {{"account", "8"}, {"files", "1"}, {"nonces", "8"}, {"written", "0"}},
    };
    EXPECT_EQ(list(doc, "accounts", {"account", "files", "nonces", "written"}), accounts);
    const std::vector<object_t> folders = {
        {{"path", d1.path}, {"files", "5"}, {"nonces", "136"}, {"written", "0"}},
        {{"path", b}, {"files", "6"}, {"nonces", "88"}, {"written", "24"}},
    };
    EXPECT_EQ(list(doc, "folders", {"path", "files", "nonces", "written"}), folders);
    for (const auto& folder : doc["folders"]) EXPECT_GT(folder["free"].as<uint64_t>(), 0u);
}

// Totals count only nonces on the disk, and sizes take a unit that fits however large the
// count: a name claiming 2^46 nonces (2^64 bytes) once wrapped to "0.000 TiB". The exit status
// says whether a folder needs attention: a wrong size or an overlap (adjacent ranges are none).
TEST(plots_cli, sizes_count_nonces_on_the_disk_in_fitting_units) {
    const uint64_t P = PLOT_SIZE;
    const struct {
        const char* what;
        std::vector<std::tuple<std::string, uint64_t, int64_t>> files;  // name, bytes, resume record (-1: none)
        const char* folder;  // the folder's line before its free space and path
        double tib;          // the folder's "tib" in --json
        const char* extra;   // a line the table also holds ("" for none)
        int status;
    } cases[] = {
        {"one small file", {{"5_0_8", 8 * P, -1}}, "1 files 8 nonces 2.0 MiB 0 written", 8.0 / 4194304, "", 0},
        {"a terabyte and a bit", {{"5_0_4194304", 4194304 * P, -1}, {"5_4194304_8", 8 * P, -1}},
         "2 files 4194312 nonces 1.0 TiB 0 written", 1 + 8.0 / 4194304, "", 0},
        {"a short file with a huge name", {{"5_0_70368744177664", 4096, -1}, {"6_0_8", 8 * P, -1}},
         "2 files 8 nonces 2.0 MiB 0 written", 8.0 / 4194304,
         "wrong-size poc2 5 0 70368744177664 DIR/5_0_70368744177664 (4096 bytes; its name needs 16.0 EiB)", 1},
        {"unfinished", {{"5_0_64.plotting", 64 * P, 24}}, "1 files 0 nonces 0.0 KiB 24 written", 0, "", 0},
        {"adjacent", {{"5_0_8", 8 * P, -1}, {"5_8_8_8", 8 * P, -1}}, "2 files 16 nonces 4.0 MiB 0 written", 16.0 / 4194304,
         "", 0},
        {"overlap", {{"5_0_8", 8 * P, -1}, {"5_7_8_8", 8 * P, -1}}, "2 files 16 nonces 4.0 MiB 0 written", 16.0 / 4194304,
         "account 5: 1 nonces in both DIR/5_0_8 and DIR/5_7_8_8", 1},
        {"empty folder", {}, "0 files 0 nonces 0.0 KiB 0 written", 0, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test_dir_s d;
        for (const auto& [name, size, record] : c.files) make(d.file(name), size, record);
        const test_cli_s run = test_run_cli("plots " + d.path), json = test_run_cli("plots --json " + d.path);
        // The table with runs of blanks squeezed to one.
        const std::string table = std::regex_replace(run.output, std::regex(" +"), " ");
        EXPECT_TRUE(test_holds(table, std::string(" ") + c.folder + " "));
        EXPECT_TRUE(test_holds(table, std::regex_replace(c.extra, std::regex("DIR"), d.path)));
        EXPECT_EQ(std::make_pair(run.status, json.status), std::make_pair(c.status, c.status));
        EXPECT_DOUBLE_EQ(YAML::Load(json.output)["folders"][0]["tib"].as<double>(), c.tib);
    }
}

// A folder given again under another spelling or through a link, and a file reached under
// a second name (hard link, symbolic link), are listed once, where first met: nothing
// overlaps itself and no total counts twice. Only regular files are plot files: a folder, a
// FIFO (which must not hang the listing) or a dangling link under a plot name is not listed.
TEST(plots_cli, folders_and_files_are_listed_once_however_they_are_reached) {
    test_dir_s d, other, odd;
    make(d.file("5_0_8"), 8 * PLOT_SIZE);
    ASSERT_EQ(symlink(d.path.c_str(), other.file("link").c_str()), 0);
    ASSERT_EQ(link(d.file("5_0_8").c_str(), other.file("5_0_8").c_str()), 0);
    ASSERT_EQ(symlink(d.file("5_0_8").c_str(), other.file("6_0_8").c_str()), 0);  // its name does not matter
    ASSERT_EQ(mkdir(odd.file("5_0_8").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(odd.file("5_8_8").c_str(), 0644), 0);
    ASSERT_EQ(symlink(other.file("gone").c_str(), odd.file("5_16_8").c_str()), 0);
    ASSERT_EQ(symlink(d.file("5_0_8").c_str(), odd.file("5_24_8").c_str()), 0);
    const struct {
        const char* what;
        std::string folders;
        std::vector<std::string> files, listed;  // paths of the files and of the folders
    } cases[] = {
        {"three spellings", d.path + " " + d.path + "/ " + d.path + "/./", {d.file("5_0_8")}, {d.path}},
        {"a link to the folder", other.file("link") + " " + d.path, {other.file("link") + "/5_0_8"}, {other.file("link")}},
        {"a hard link and a symbolic link", d.path + " " + other.path, {d.file("5_0_8")}, {d.path, other.path}},
        {"files that are not regular", odd.path, {odd.file("5_24_8")}, {odd.path}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const test_cli_s run = test_run_cli("plots --json " + c.folders, "timeout 60");
        EXPECT_EQ(run.status, 0);
        const YAML::Node doc = YAML::Load(run.output);
        std::vector<std::string> files, listed;
        for (const auto& f : doc["files"]) files.push_back(f["path"].as<std::string>());
        for (const auto& f : doc["folders"]) listed.push_back(f["path"].as<std::string>());
        EXPECT_EQ(files, c.files);
        EXPECT_EQ(listed, c.listed);
        EXPECT_EQ(doc["overlaps"].size(), 0u);
        EXPECT_EQ(doc["accounts"][0]["nonces"].as<uint64_t>(), 8u);
        EXPECT_EQ(doc["folders"][0]["files"].as<uint64_t>(), 1u);
    }
}

// A folder that cannot be listed is an error with its reason, in the table (and on standard
// error) and in --json; the other folders are still listed. (Root reads every folder, so the
// command runs as nobody there.)
TEST(plots_cli, a_folder_that_cannot_be_listed_is_an_error_with_its_reason) {
    test_dir_s d;
    ASSERT_EQ(chmod(d.path.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(d.file("locked").c_str(), 0), 0);
    ASSERT_EQ(mkdir(d.file("open").c_str(), 0755), 0);
    make(d.file("open/5_0_8"), 8 * PLOT_SIZE);
    ASSERT_EQ(chmod(d.file("open/5_0_8").c_str(), 0644), 0);
    const std::string as_user = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
    const std::string folders = d.file("locked") + " " + d.file("open");
    const test_cli_s table = test_run_cli("plots " + folders + " 2>&1", as_user);
    EXPECT_EQ(table.status, 1);
    EXPECT_TRUE(test_holds(table.output, "cannot list " + d.file("locked") + ": Permission denied"));
    const test_cli_s json = test_run_cli("plots --json " + folders, as_user);
    EXPECT_EQ(json.status, 1);
    const YAML::Node doc = YAML::Load(json.output);
    EXPECT_EQ(list(doc, "folders", {"path", "files", "error"}),
              (std::vector<object_t>{{{"path", d.file("locked")}, {"files", "0"}, {"error", "Permission denied"}},
                                     {{"path", d.file("open")}, {"files", "1"}}}));
    EXPECT_EQ(doc["files"].size(), 1u);
}

// Names that are not UTF-8 still give valid JSON (UTF-8 throughout): each byte that is not
// part of a UTF-8 character reads as U+FFFD in "path", and "path_hex" (or "files_hex" of an
// overlap) then holds the exact bytes. Valid names, control characters included, need no hex.
TEST(plots_cli, json_stays_valid_and_keeps_names_that_are_not_utf8) {
    test_dir_s d;
    const std::string latin1 = d.file("caf\xe9"), utf8 = d.file("caf\xc3\xa9"), tab = d.file("a\tb");
    for (const std::string& folder : {latin1, utf8, tab}) ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    make(latin1 + "/5_0_8", 8 * PLOT_SIZE);
    make(utf8 + "/5_4_8", 8 * PLOT_SIZE);
    make(tab + "/6_0_8", 8 * PLOT_SIZE);
    const test_cli_s run = test_run_cli("plots --json '" + latin1 + "' '" + utf8 + "' '" + tab + "'");
    EXPECT_EQ(run.status, 1);  // the two files of account 5 overlap
    EXPECT_TRUE(test_utf8_valid(run.output)) << run.output;
    const YAML::Node doc = YAML::Load(run.output);
    const std::string shown = d.file("caf\xef\xbf\xbd");  // U+FFFD in UTF-8
    const std::vector<object_t> files = list(doc, "files", {"path", "path_hex"});
    const std::string hex = test_to_hex((const uint8_t*)latin1.data(), latin1.size()) + "2f355f305f38";  // "/5_0_8"
    EXPECT_EQ(files, (std::vector<object_t>{{{"path", shown + "/5_0_8"}, {"path_hex", hex}},
                                            {{"path", utf8 + "/5_4_8"}},
                                            {{"path", tab + "/6_0_8"}}}));
    EXPECT_EQ(list(doc, "folders", {"path", "path_hex"})[0],
              (object_t{{"path", shown}, {"path_hex", test_to_hex((const uint8_t*)latin1.data(), latin1.size())}}));
    EXPECT_EQ(list(doc, "overlaps", {"files", "files_hex"}),
              (std::vector<object_t>{{{"files", shown + "/5_0_8 | " + utf8 + "/5_4_8"},
                                      {"files_hex", hex + " | " + test_to_hex((const uint8_t*)utf8.data(), utf8.size()) +
                                                        "2f355f345f38"}}}));
    EXPECT_NE(run.output.find("a\\u0009b"), std::string::npos);  // JSON's escape of the tab
}
