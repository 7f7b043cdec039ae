// Power-loss replay: the recorder in the system-call seam and the states built from what it saw.
#include "platform/crash_replay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string_view>

#include "platform/sys.h"
#include "test_support.h"

namespace {

constexpr uint64_t PAGE = 4096;

// Files by identity (device and inode), numbered as first seen.
struct identities_s {
    std::map<std::pair<dev_t, ino_t>, uint64_t> ids;
    uint64_t next = 1;
    // A `fresh` file gets a new number: it may reuse the inode of one removed before.
    uint64_t of(const struct stat& info, bool fresh) {
        uint64_t& id = ids[{info.st_dev, info.st_ino}];
        if (id == 0 || fresh) id = next++;
        return id;
    }
};

struct recorder_s {
    crash_recording_s* recording = nullptr;
    sys_syscalls_s real;
    std::mutex lock;
    std::map<int, uint32_t> folders;  // descriptors of watched folders -> folder index
    std::map<int, uint64_t> files;    // descriptors of files in them -> file
    identities_s identities;
} recorder;

std::string normal(const std::string& path) {
    std::filesystem::path p = std::filesystem::absolute(path).lexically_normal();
    if (!p.has_filename() && p.has_parent_path() && p != p.root_path()) p = p.parent_path();
    return p.string();
}

// Where a path lies: a watched folder itself, or a name directly in one.
enum place_e { PLACE_OUTSIDE, PLACE_FOLDER, PLACE_ENTRY };
place_e locate(const char* path, crash_entry_s* entry) {
    const std::filesystem::path p = normal(path);
    const std::vector<std::string>& folders = recorder.recording->folders;
    for (uint32_t i = 0; i < folders.size(); ++i) {
        if (p == folders[i]) return entry->folder = i, PLACE_FOLDER;
        if (p.parent_path() == folders[i]) return *entry = {i, p.filename().string()}, PLACE_ENTRY;
    }
    return PLACE_OUTSIDE;
}

uint64_t identity(int fd, bool fresh) {
    struct stat info;
    return fstat(fd, &info) == 0 ? recorder.identities.of(info, fresh) : 0;
}

// The file a watched descriptor writes to; 0 for a descriptor not watched.
uint64_t watched_file(int fd) {
    auto found = recorder.files.find(fd);
    return found == recorder.files.end() ? 0 : found->second;
}

void add(crash_op_e kind, uint64_t file, uint64_t offset = 0, uint64_t size = 0, std::string bytes = "") {
    recorder.recording->ops.push_back({kind, file, offset, size, std::move(bytes), {}, {}});
}
void add_name(crash_op_e kind, const crash_entry_s& entry, const crash_entry_s& to = {}, uint64_t file = 0) {
    recorder.recording->ops.push_back({kind, file, 0, 0, "", entry, to});
}

int rec_open(const char* path, int flags, mode_t mode) {
    std::lock_guard<std::mutex> hold(recorder.lock);
    crash_entry_s entry;
    const place_e place = locate(path, &entry);
    struct stat before;
    const bool existed = lstat(path, &before) == 0;
    const int fd = recorder.real.open(path, flags, mode);
    if (fd < 0) return fd;
    recorder.folders.erase(fd);  // the number may have been a closed watched descriptor
    recorder.files.erase(fd);
    if (place == PLACE_FOLDER) recorder.folders[fd] = entry.folder;
    if (place != PLACE_ENTRY) return fd;
    const bool created = (flags & O_CREAT) && !existed;
    const uint64_t file = recorder.files[fd] = identity(fd, created);
    if (created) add_name(CRASH_CREATE, entry, {}, file);
    if ((flags & O_TRUNC) && existed) add(CRASH_RESIZE, file, 0, 0);
    return fd;
}

// A name change between two paths (rename or link): a rename out of the watched folders
// drops the old name.
int rec_rename_like(const char* from, const char* to, int (*call)(const char*, const char*), crash_op_e kind) {
    std::lock_guard<std::mutex> hold(recorder.lock);
    crash_entry_s a, b;
    const place_e pa = locate(from, &a), pb = locate(to, &b);
    const int result = call(from, to);
    if (result != 0) return result;
    if (pa == PLACE_ENTRY && pb == PLACE_ENTRY) add_name(kind, a, b);
    else if (pa == PLACE_ENTRY && kind == CRASH_RENAME) add_name(CRASH_UNLINK, a);
    return result;
}

// The recording entries of the seam: each makes the real call, then notes what it changed.
// Syncs are only noted: what they make durable is the model's business.
void install_recorder(sys_syscalls_s& t) {
    t.open = rec_open;
    t.pwrite = [](int fd, const void* buffer, size_t length, off_t offset) {
        std::lock_guard<std::mutex> hold(recorder.lock);
        const ssize_t put = recorder.real.pwrite(fd, buffer, length, offset);
        if (put > 0 && watched_file(fd))
            add(CRASH_WRITE, watched_file(fd), (uint64_t)offset, 0, std::string((const char*)buffer, (size_t)put));
        return put;
    };
    t.posix_fallocate = [](int fd, off_t offset, off_t length) {
        std::lock_guard<std::mutex> hold(recorder.lock);
        const int error = recorder.real.posix_fallocate(fd, offset, length);
        if (error == 0 && watched_file(fd)) add(CRASH_GROW, watched_file(fd), 0, (uint64_t)(offset + length));
        return error;
    };
    t.ftruncate = [](int fd, off_t length) {
        std::lock_guard<std::mutex> hold(recorder.lock);
        const int result = recorder.real.ftruncate(fd, length);
        if (result == 0 && watched_file(fd)) add(CRASH_RESIZE, watched_file(fd), 0, (uint64_t)length);
        return result;
    };
    t.fdatasync = t.fsync = [](int fd) {
        std::lock_guard<std::mutex> hold(recorder.lock);
        if (recorder.folders.count(fd)) add_name(CRASH_SYNC_DIR, {recorder.folders[fd], ""});
        if (watched_file(fd)) add(CRASH_SYNC_FILE, watched_file(fd));
        return 0;
    };
    t.rename = [](const char* a, const char* b) { return rec_rename_like(a, b, recorder.real.rename, CRASH_RENAME); };
    t.rename_noreplace = [](const char* a, const char* b) {
        return rec_rename_like(a, b, recorder.real.rename_noreplace, CRASH_RENAME);
    };
    t.link = [](const char* a, const char* b) { return rec_rename_like(a, b, recorder.real.link, CRASH_LINK); };
    t.unlink = [](const char* path) {
        std::lock_guard<std::mutex> hold(recorder.lock);
        crash_entry_s entry;
        const place_e place = locate(path, &entry);
        const int result = recorder.real.unlink(path);
        if (result == 0 && place == PLACE_ENTRY) add_name(CRASH_UNLINK, entry);
        return result;
    };
    // sendfile writes at the destination's position what it read at the source's.
    t.sendfile = [](int out, int in, off_t* offset, size_t count) {
        std::lock_guard<std::mutex> hold(recorder.lock);
        const off_t out_at = lseek(out, 0, SEEK_CUR), in_at = offset ? *offset : lseek(in, 0, SEEK_CUR);
        const ssize_t sent = recorder.real.sendfile(out, in, offset, count);
        std::string bytes(sent > 0 && watched_file(out) ? (size_t)sent : 0, '\0');
        if (!bytes.empty() && ::pread(in, bytes.data(), bytes.size(), in_at) == sent)
            add(CRASH_WRITE, watched_file(out), (uint64_t)out_at, 0, std::move(bytes));
        return sent;
    };
}

crash_image_s read_folders(const std::vector<std::string>& folders, identities_s* identities) {
    crash_image_s image;
    for (uint32_t i = 0; i < folders.size(); ++i) {
        std::error_code error;
        for (const auto& item : std::filesystem::directory_iterator(folders[i], error)) {
            const std::string path = item.path().string();
            struct stat info;
            if (lstat(path.c_str(), &info) != 0) continue;
            const uint64_t id = identities->of(info, false);
            if (!image.files.count(id)) image.files[id] = S_ISREG(info.st_mode) ? test_read_file(path) : "(not a regular file)";
            image.names[{i, item.path().filename().string()}] = id;
        }
    }
    return image;
}

bool is_data(crash_op_e kind) { return kind == CRASH_WRITE || kind == CRASH_GROW || kind == CRASH_RESIZE; }
bool is_name(crash_op_e kind) {
    return kind == CRASH_CREATE || kind == CRASH_RENAME || kind == CRASH_LINK || kind == CRASH_UNLINK;
}

// The folder whose sync makes a name change durable: the folder of the name it makes, or of
// the name it removes.
uint32_t name_folder(const crash_op_s& op) {
    return op.kind == CRASH_RENAME || op.kind == CRASH_LINK ? op.to.folder : op.entry.folder;
}

// A create names its file; a rename or link gives the file `entry` names to `to`; a rename or
// unlink drops `entry`. Other ops change no name.
void apply_name(const crash_op_s& op, std::map<crash_entry_s, uint64_t>* names) {
    const auto from = names->find(op.entry);
    if (op.kind == CRASH_CREATE) (*names)[op.entry] = op.file;
    if (!is_name(op.kind) || op.kind == CRASH_CREATE || from == names->end()) return;
    const uint64_t file = from->second;
    if (op.kind != CRASH_LINK) names->erase(from);
    if (op.kind != CRASH_UNLINK) (*names)[op.to] = file;
}

// Applies a write, or only the 4 KiB pages of it whose index has the given parity (0 or 1;
// -1 for all).
void apply_write(const crash_op_s& op, std::string* bytes, int parity) {
    const uint64_t end = op.offset + op.bytes.size();
    if (bytes->size() < end) bytes->resize(end, '\0');
    for (uint64_t at = op.offset; at < end;) {
        const uint64_t page_end = std::min(end, (at / PAGE + 1) * PAGE);
        if (parity < 0 || (int)((at / PAGE) % 2) == parity)
            bytes->replace(at, page_end - at, op.bytes, at - op.offset, page_end - at);
        at = page_end;
    }
}

void apply_data(const crash_op_s& op, std::string* bytes, int parity) {
    if (op.kind == CRASH_WRITE) apply_write(op, bytes, parity);
    if (op.kind == CRASH_GROW && bytes->size() < op.size) bytes->resize(op.size, '\0');
    if (op.kind == CRASH_RESIZE) bytes->resize(op.size, '\0');
}

}  // namespace

void crash_record_start(crash_recording_s* recording, const std::vector<std::string>& folders) {
    recording->folders.clear();
    for (const std::string& folder : folders) recording->folders.push_back(normal(folder));
    recording->ops.clear();
    recorder.recording = recording;
    recorder.folders.clear();
    recorder.files.clear();
    recorder.identities = {};
    recording->initial = read_folders(recording->folders, &recorder.identities);
    recorder.real = sys_syscalls();
    install_recorder(sys_syscalls());
}

void crash_record_stop() {
    sys_syscalls() = recorder.real;
    recorder.recording = nullptr;
}

std::string crash_state_text(const crash_state_s& state) {
    static const char* const data[] = {"all data", "no data", "older half of the data", "newer half of the data",
                                       "even 4 KiB pages", "odd 4 KiB pages"};
    static const char* const names[] = {"all names", "no names", "all names but the last"};
    return "power loss after op " + std::to_string(state.cut) + ", unsynced: " + data[state.data] + ", " +
           names[state.names];
}

std::vector<size_t> crash_cuts(const crash_recording_s& recording, size_t stretch_points) {
    std::vector<size_t> cuts{0, recording.ops.size()};
    size_t stretch = 0;  // first op of the current run of data ops
    for (size_t j = 0; j <= recording.ops.size(); ++j) {
        const bool data = j < recording.ops.size() && is_data(recording.ops[j].kind);
        if (data) continue;
        for (size_t k = 1; k <= stretch_points && j - stretch > 1; ++k) cuts.push_back(stretch + (j - stretch) * k / (stretch_points + 1));
        if (j < recording.ops.size()) cuts.push_back(j);
        stretch = j + 1;
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    return cuts;
}

crash_image_s crash_image(const crash_recording_s& recording, const crash_state_s& state) {
    const std::vector<crash_op_s>& ops = recording.ops;
    // Durable ops: those a later sync (before the power loss) covers.
    std::vector<bool> durable(state.cut, false);
    std::set<uint64_t> synced_files;
    std::set<uint32_t> synced_folders;
    size_t pending_data = 0, pending_names = 0;
    for (size_t j = state.cut; j-- > 0;) {
        const crash_op_s& op = ops[j];
        if (op.kind == CRASH_SYNC_FILE) synced_files.insert(op.file);
        if (op.kind == CRASH_SYNC_DIR) synced_folders.insert(op.entry.folder);
        if (is_data(op.kind)) durable[j] = synced_files.count(op.file) > 0, pending_data += !durable[j];
        if (is_name(op.kind)) durable[j] = synced_folders.count(name_folder(op)) > 0, pending_names += !durable[j];
    }
    const size_t half = (pending_data + 1) / 2;
    const size_t names_kept = state.names == CRASH_NAMES_ALL    ? pending_names
                              : state.names == CRASH_NAMES_NONE ? 0
                                                                : (pending_names ? pending_names - 1 : 0);
    crash_image_s image = recording.initial;
    size_t data_rank = 0, name_rank = 0;
    for (size_t j = 0; j < state.cut; ++j) {
        const crash_op_s& op = ops[j];
        if (is_name(op.kind)) {
            const bool kept = durable[j] || name_rank++ < names_kept;
            if (kept) apply_name(op, &image.names);
            if (op.kind == CRASH_CREATE) image.files[op.file];  // the file exists, named or not
        } else if (is_data(op.kind)) {
            std::string* bytes = &image.files[op.file];
            const crash_data_e d = durable[j] ? CRASH_DATA_ALL : state.data;
            const size_t rank = durable[j] ? 0 : data_rank++;
            if (d == CRASH_DATA_ALL || (d == CRASH_DATA_OLDER_HALF && rank < half) || (d == CRASH_DATA_NEWER_HALF && rank >= half))
                apply_data(op, bytes, -1);
            else if (d == CRASH_DATA_EVEN_PAGES || d == CRASH_DATA_ODD_PAGES)
                apply_data(op, bytes, d == CRASH_DATA_ODD_PAGES);
        }
    }
    // Files without a name are gone.
    std::set<uint64_t> named;
    for (const auto& [entry, file] : image.names) named.insert(file);
    for (auto it = image.files.begin(); it != image.files.end();) it = named.count(it->first) ? std::next(it) : image.files.erase(it);
    return image;
}

std::string crash_image_key(const crash_image_s& image) {
    std::string key;
    for (const auto& [entry, file] : image.names) {
        const std::string& bytes = image.files.at(file);
        key += std::to_string(entry.folder) + "/" + entry.name + ":" + std::to_string(file) + ":" +
               std::to_string(bytes.size()) + ":" + std::to_string(std::hash<std::string_view>()(bytes)) + ";";
    }
    return key;
}

size_t crash_first_sync(const crash_recording_s& recording, const crash_entry_s& entry) {
    std::map<crash_entry_s, uint64_t> names = recording.initial.names;
    for (size_t j = 0; j < recording.ops.size(); ++j) {
        const crash_op_s& op = recording.ops[j];
        apply_name(op, &names);
        const auto found = names.find(entry);
        if (op.kind == CRASH_SYNC_FILE && found != names.end() && found->second == op.file) return j;
    }
    return SIZE_MAX;
}

void crash_materialize(const crash_image_s& image, const std::vector<std::string>& folders) {
    std::map<uint64_t, std::string> first_path;
    for (const auto& [entry, file] : image.names) {
        const std::string path = folders.at(entry.folder) + "/" + entry.name;
        const auto seen = first_path.find(file);
        if (seen != first_path.end() && link(seen->second.c_str(), path.c_str()) == 0) continue;
        test_write_file(path, image.files.at(file));
        first_path.emplace(file, path);  // a copy made where a link failed stays a copy
    }
}

crash_image_s crash_read_folders(const std::vector<std::string>& folders) {
    identities_s identities;
    return read_folders(folders, &identities);
}

std::string crash_image_diff(const crash_image_s& want, const crash_image_s& got) {
    std::string diff;
    const auto name_of = [](const crash_entry_s& e) { return "folder " + std::to_string(e.folder) + ": " + e.name; };
    for (const auto& [entry, file] : want.names) {
        const auto found = got.names.find(entry);
        if (found == got.names.end()) {
            diff += "missing " + name_of(entry) + "\n";
            continue;
        }
        const std::string &a = want.files.at(file), &b = got.files.at(found->second);
        if (a == b) continue;
        size_t at = 0;
        while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
        diff += name_of(entry) + " differs: " + std::to_string(b.size()) + " bytes instead of " +
                std::to_string(a.size()) + ", first difference at byte " + std::to_string(at) + "\n";
    }
    for (const auto& [entry, file] : got.names)
        if (!want.names.count(entry)) diff += "stray " + name_of(entry) + "\n";
    return diff;
}
