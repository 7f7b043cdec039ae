// In-place conversion between PoC1 and PoC2 order, with a journal of the step in flight.
//
// DESIGN: converting either way exchanges the second halves of scoops s and 4095 - s of
// every nonce, which in an optimized file exchanges halves between region s and region
// 4095 - s. The work goes in steps over that pairing: whole pairs s0 .. s0 + P - 1 with all
// their nonces, or nonces a .. b - 1 of one pair when a whole pair does not fit the memory.
// Steps run in (pair, nonce) order, so a position tells that everything before it is done.
// One step: read both pieces, copy their second halves into a journal slot, flush the
// journal, write the pieces back exchanged, flush the file. The two slots alternate, so the
// previous step's slot stays whole while the next one is written; a torn slot fails its
// checksum. Redoing a step from its slot is idempotent (first halves never move and the slot
// holds the original second halves), so a rerun redoes the newest whole slot and goes on
// after it; with no whole slot the file was never touched. The file keeps its old name
// until the last step is flushed; the rename comes next and the journal is deleted last.
//
// The journal, in 64-bit little-endian words. Block 0 (4096 bytes): the magic, account,
// start nonce, nonce count, 1 when converting to PoC2 (else 0), slot capacity in bytes, and
// the checksum of those six words. Slot k (k = 0, 1) lies at 4096 + k * (4096 + capacity):
// a 4096-byte block of the magic, step number seq (k = seq mod 2), s0, pairs, a, b, the
// checksum of the halves and the checksum of those seven words; then the halves: the
// second halves of the low piece's scoops in file order, then those of the high piece.
// Journals of earlier releases carry the magics "STRCNVJ1" and "STRSLOT1"; they are read
// alike, so a conversion in flight across an upgrade finishes.
//
// The checksum of n bytes: lanes L0..L3 start as K1, K2, K1 xor K2 and n; each whole
// 32-byte block adds its words w0..w3 as Li = rotl(Li + wi * K2, 31) * K1. Then h = n * K1,
// each byte c left over gives h = (h xor c) * K2, each lane in turn gives
// h = ((h xor Li) * K1) xor (h >> 29), and the checksum is h xor (h >> 32), with
// K1 = 0x9e3779b97f4a7c15 and K2 = 0xc2b2ae3d27d4eb4f (arithmetic modulo 2^64).
#include "plotfile/convert.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "nonce/nonce.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotfile/plotfile.h"

namespace {

constexpr uint64_t PAIRS = SCOOPS_PER_PLOT / 2;
constexpr uint64_t HALF = HASH_SIZE;            // bytes that move, per scoop
constexpr uint64_t UNIT = 2 * SCOOP_SIZE;       // bytes of one nonce of one pair
constexpr uint64_t BLOCK = 4096;                // journal header and slot header size
constexpr uint64_t STEP_MAX = 128ull << 20;     // file bytes per step: bounds the journal
constexpr uint64_t HEADER_MAGIC = 0x314a4e525453454bull;      // "KESTRNJ1"
constexpr uint64_t SLOT_MAGIC = 0x31534e525453454bull;        // "KESTRNS1"
constexpr uint64_t EARLIER_HEADER_MAGIC = 0x314a564e43525453ull;  // "STRCNVJ1"
constexpr uint64_t EARLIER_SLOT_MAGIC = 0x31544f4c53525453ull;    // "STRSLOT1"

// A rectangle of the pairing: pairs s0 .. s0 + pairs - 1, nonces a .. b - 1 of each.
struct step_s {
    uint64_t s0 = 0, pairs = 0, a = 0, b = 0;
};

// Where the work stands: every pair before `pair` is done, and nonces before `nonce` of it.
struct position_s {
    uint64_t pair = 0, nonce = 0;
};

// One file being converted.
struct work_s {
    std::string source, target, journal, folder;  // old name, new name, journal, folder for syncs
    uint64_t account = 0, start = 0, nonces = 0;
    bool to_poc2 = true;
    bool resume = false;      // the journal exists
    bool redone = false;      // it held a whole step of an earlier run, finished again here
    int64_t fd = 0, jfd = 0;  // the plot file (locked) and the journal
    uint64_t capacity = 0;    // bytes of second halves one slot holds
    uint64_t step_bytes = 0;  // file bytes one step may cover
    uint64_t seq = 0;         // number of the last step written to the journal
    uint8_t* buffer = nullptr;  // room for two pieces (`pieces` bytes), then for two slots' halves
    uint64_t pieces = 0;
    uint64_t rewritten = 0;
    bool stopped = false;     // the stop request ended the steps early
};

// A checksum of the journal (described above): four independent multiply-rotate lanes over
// 64-bit words, fast enough to stay far below the disk's time, and sensitive to any torn or
// stale block.
uint64_t checksum(const uint8_t* data, uint64_t length) {
    constexpr uint64_t K1 = 0x9e3779b97f4a7c15ull, K2 = 0xc2b2ae3d27d4eb4full;
    uint64_t lane[4] = {K1, K2, K1 ^ K2, length};
    uint64_t i = 0;
    for (; i + 32 <= length; i += 32) {
        for (int l = 0; l < 4; ++l) {
            uint64_t w;
            std::memcpy(&w, data + i + 8 * l, 8);
            lane[l] += w * K2;
            lane[l] = ((lane[l] << 31) | (lane[l] >> 33)) * K1;
        }
    }
    uint64_t h = length * K1;
    for (; i < length; ++i) h = (h ^ data[i]) * K2;
    for (int l = 0; l < 4; ++l) h = ((h ^ lane[l]) * K1) ^ (h >> 29);
    return h ^ (h >> 32);
}

// Writes a range of the plot file or the journal; a failure is logged with the file's name.
bool write_at(const work_s& w, int64_t fd, uint64_t offset, uint64_t length, const void* data) {
    const sys_err_s wrote = sys_file_write(fd, offset, length, data);
    if (wrote.error == 0) return true;
    sys_log("Failed to write %llu bytes at offset %llu of %s: %s\n", (unsigned long long)length,
            (unsigned long long)offset, (fd == w.fd ? w.source : w.journal).c_str(), std::strerror(wrote.error));
    return false;
}

uint64_t step_units(const step_s& st) { return st.pairs * (st.b - st.a); }

step_s next_step(uint64_t nonces, position_s at, uint64_t step_bytes) {
    const uint64_t pair_bytes = nonces * UNIT;
    if (at.nonce == 0 && pair_bytes <= step_bytes)
        return {at.pair, std::min(step_bytes / pair_bytes, PAIRS - at.pair), 0, nonces};
    uint64_t k = step_bytes / UNIT;
    if (k >= 8) k -= k % 8;
    return {at.pair, 1, at.nonce, at.nonce + std::min(std::max<uint64_t>(k, 1), nonces - at.nonce)};
}

position_s after(const step_s& st, uint64_t nonces) {
    if (st.b == nonces) return {st.s0 + st.pairs, 0};
    return {st.s0, st.b};
}

// File offsets of the two pieces: the low regions s0.., and the high regions ..4095 - s0.
uint64_t low_offset(const work_s& w, const step_s& st) { return (st.s0 * w.nonces + st.a) * SCOOP_SIZE; }
uint64_t high_offset(const work_s& w, const step_s& st) {
    return ((SCOOPS_PER_PLOT - st.s0 - st.pairs) * w.nonces + st.a) * SCOOP_SIZE;
}

// Visits every scoop of the low piece with its partner in the high piece: row p of the low
// piece pairs with row pairs - 1 - p of the high one. `j` numbers the scoop in its piece.
template <typename F>
void for_each_pair(const step_s& st, uint8_t* low, uint8_t* high, F f) {
    const uint64_t width = st.b - st.a;
    for (uint64_t p = 0; p < st.pairs; ++p) {
        const uint64_t q = st.pairs - 1 - p;
        for (uint64_t i = 0; i < width; ++i) {
            const uint64_t jl = p * width + i, jh = q * width + i;
            f(low + jl * SCOOP_SIZE + HALF, jl, high + jh * SCOOP_SIZE + HALF, jh);
        }
    }
}

bool read_pieces(work_s& w, const step_s& st, uint8_t* low, uint8_t* high) {
    const uint64_t length = step_units(st) * SCOOP_SIZE;
    return sys_file_read(w.fd, low_offset(w, st), length, low).error == 0 &&
           sys_file_read(w.fd, high_offset(w, st), length, high).error == 0;
}

// Writes the pieces with each second half replaced by its partner's original from
// `halves` (low halves first, then high), and flushes the file.
bool write_exchanged(work_s& w, const step_s& st, uint8_t* low, uint8_t* high, const uint8_t* halves) {
    const uint64_t count = step_units(st);
    for_each_pair(st, low, high, [&](uint8_t* l, uint64_t jl, uint8_t* h, uint64_t jh) {
        std::memcpy(l, halves + (count + jh) * HALF, HALF);
        std::memcpy(h, halves + jl * HALF, HALF);
    });
    const uint64_t length = count * SCOOP_SIZE;
    if (!write_at(w, w.fd, low_offset(w, st), length, low)) return false;
    if (!write_at(w, w.fd, high_offset(w, st), length, high)) return false;
    w.rewritten += 2 * length;
    return sys_file_sync(w.fd).error == 0;
}

uint64_t slot_offset(const work_s& w, uint64_t seq) { return BLOCK + (seq % 2) * (BLOCK + w.capacity); }

void header_words(const work_s& w, uint64_t magic, uint64_t* words) {
    const uint64_t values[7] = {magic, w.account, w.start, w.nonces, w.to_poc2, w.capacity, 0};
    std::memcpy(words, values, sizeof values);
    words[6] = checksum((const uint8_t*)words, 6 * 8);
}

bool write_header(work_s& w) {
    uint8_t block[BLOCK] = {};
    header_words(w, HEADER_MAGIC, (uint64_t*)block);
    return write_at(w, w.jfd, 0, BLOCK, block);
}

// What a part of the journal (its header, a slot) holds. A read error is never taken for
// a torn part: redoing an older step and going on from there would journal half-converted
// scoops as originals.
enum part_e { PART_NONE, PART_WHOLE, PART_DAMAGED, PART_ERROR };

// Reads the journal's header and sets the capacity. PART_NONE: torn or missing, and no
// slot was ever written after it (the journal ends within the header's block), so the file
// is untouched. PART_DAMAGED: a bad header with slots after it.
part_e read_header(work_s& w, uint64_t journal_size) {
    uint64_t stored[7], expected[7];
    if (journal_size < sizeof stored) return PART_NONE;
    if (sys_file_read(w.jfd, 0, sizeof stored, stored).error) return PART_ERROR;
    w.capacity = stored[5];
    header_words(w, stored[0] == EARLIER_HEADER_MAGIC ? EARLIER_HEADER_MAGIC : HEADER_MAGIC, expected);
    if (std::memcmp(stored, expected, sizeof stored) == 0 && w.capacity % HALF == 0 && w.capacity > 0)
        return PART_WHOLE;
    return journal_size <= BLOCK ? PART_NONE : PART_DAMAGED;
}

// Writes `halves` as step `seq` into its slot and flushes the journal.
bool write_slot(work_s& w, uint64_t seq, const step_s& st, const uint8_t* halves) {
    const uint64_t length = step_units(st) * 2 * HALF;
    uint64_t words[BLOCK / 8] = {SLOT_MAGIC, seq, st.s0, st.pairs, st.a, st.b, checksum(halves, length), 0};
    words[7] = checksum((const uint8_t*)words, 7 * 8);
    const uint64_t at = slot_offset(w, seq);
    return write_at(w, w.jfd, at, BLOCK, words) &&
           write_at(w, w.jfd, at + BLOCK, length, halves) && sys_file_sync(w.jfd).error == 0;
}

// Reads the slot at `index` into `halves`: PART_WHOLE, PART_NONE (never written, torn or
// implausible) or PART_ERROR.
part_e read_slot(work_s& w, uint64_t index, uint64_t journal_size, step_s* st, uint64_t* seq, uint8_t* halves) {
    uint64_t words[8];
    const uint64_t at = slot_offset(w, index);
    if (at + sizeof words > journal_size) return PART_NONE;
    if (sys_file_read(w.jfd, at, sizeof words, words).error) return PART_ERROR;
    const bool magic = words[0] == SLOT_MAGIC || words[0] == EARLIER_SLOT_MAGIC;
    if (!magic || words[7] != checksum((const uint8_t*)words, 7 * 8)) return PART_NONE;
    *seq = words[1];
    *st = {words[2], words[3], words[4], words[5]};
    const bool sane = *seq % 2 == index && st->pairs >= 1 && st->s0 < PAIRS && st->pairs <= PAIRS - st->s0 &&
                      st->a < st->b && st->b <= w.nonces && (st->pairs == 1 || (st->a == 0 && st->b == w.nonces));
    const uint64_t length = sane ? step_units(*st) * 2 * HALF : 0;
    if (!sane || length > w.capacity || at + BLOCK + length > journal_size) return PART_NONE;
    if (sys_file_read(w.jfd, at + BLOCK, length, halves).error) return PART_ERROR;
    return checksum(halves, length) == words[6] ? PART_WHOLE : PART_NONE;
}

// Finishes the step of the newest whole slot; sets `at` after it. False on an I/O error.
bool redo_newest(work_s& w, uint64_t journal_size, position_s* at) {
    uint8_t* halves = w.buffer + w.pieces;
    uint8_t* other = halves + w.capacity;  // room for the second slot while both are compared
    step_s st[2];
    uint64_t seq[2];
    const part_e part[2] = {read_slot(w, 0, journal_size, &st[0], &seq[0], halves),
                            read_slot(w, 1, journal_size, &st[1], &seq[1], other)};
    if (part[0] == PART_ERROR || part[1] == PART_ERROR) return false;
    const bool whole[2] = {part[0] == PART_WHOLE, part[1] == PART_WHOLE};
    if (!whole[0] && !whole[1]) return true;
    const int newest = whole[0] && (!whole[1] || seq[0] > seq[1]) ? 0 : 1;
    const uint8_t* kept = newest == 0 ? halves : other;
    sys_log("  resuming: finishing step %llu from the journal\n", (unsigned long long)seq[newest]);
    w.redone = true;
    uint8_t* low = w.buffer;
    uint8_t* high = w.buffer + step_units(st[newest]) * SCOOP_SIZE;
    if (!read_pieces(w, st[newest], low, high) || !write_exchanged(w, st[newest], low, high, kept)) return false;
    w.seq = seq[newest];
    *at = after(st[newest], w.nonces);
    return true;
}

// Runs the steps from `at` to the end, or until `stop` asks to end (false, w.stopped set).
bool run_steps(work_s& w, position_s at, const convert_progress_fn& progress, const convert_stop_fn& stop) {
    const uint64_t total = w.nonces * PLOT_SIZE;
    if (progress) progress((at.pair * w.nonces + at.nonce) * UNIT, total);
    while (at.pair < PAIRS) {
        if (stop && stop()) return w.stopped = true, false;
        const step_s st = next_step(w.nonces, at, w.step_bytes);
        const uint64_t count = step_units(st);
        uint8_t* low = w.buffer;
        uint8_t* high = w.buffer + count * SCOOP_SIZE;
        uint8_t* halves = w.buffer + w.pieces;
        if (!read_pieces(w, st, low, high)) return false;
        for_each_pair(st, low, high, [&](uint8_t* l, uint64_t jl, uint8_t* h, uint64_t jh) {
            std::memcpy(halves + jl * HALF, l, HALF);
            std::memcpy(halves + (count + jh) * HALF, h, HALF);
        });
        if (!write_slot(w, ++w.seq, st, halves) || !write_exchanged(w, st, low, high, halves)) return false;
        at = after(st, w.nonces);
        if (progress) progress((at.pair * w.nonces + at.nonce) * UNIT, total);
    }
    return true;
}

convert_result_s outcome(convert_status_e status, const std::string& message, const work_s& w) {
    convert_result_s r;
    r.status = status;
    r.message = message;
    r.final_path = w.target;
    r.bytes = w.rewritten;
    r.resumed = w.redone;
    return r;
}

const char* layout(bool poc2) { return poc2 ? "poc2" : "poc1"; }

// The path as one word of a shell command: quoted when it holds anything but plain characters.
std::string shell_word(const std::string& path) {
    bool plain = !path.empty();
    for (const unsigned char c : path) plain = plain && (std::isalnum(c) || std::strchr("_./-+=:,@%", c));
    if (plain) return path;
    std::string quoted = "'";
    for (const char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The file has its new name, made durable before the journal was to be deleted: deletes
// the journal. Always false (nothing left to do); the result says how it went.
bool finish_journal(work_s* w, convert_result_s* result) {
    const bool deleted = sys_file_delete(w->journal.c_str()).error == 0;
    if (deleted) sys_dir_sync(w->folder.c_str());
    *result = deleted ? outcome(CONVERT_ALREADY, w->target + ": already converted to " + layout(w->to_poc2), *w)
                      : outcome(CONVERT_FAILED, w->journal + ": could not delete the finished journal", *w);
    return false;
}

// Reads the name given (either form, or its journal's) into both names and the journal's;
// false with the reason when it names no optimized plot file.
bool read_names(const std::string& path, bool to_poc2, work_s* w, std::string* why) {
    plotfile_name_s name;
    const plotfile_name_e kind = plotfile_name_parse(path.c_str(), &name);
    const std::string rest = kind == PLOTFILE_NAME_NONE ? "" : name.rest;
    if (kind == PLOTFILE_NAME_NONE || (!rest.empty() && rest != ".plotting" && rest != ".converting"))
        return *why = "not a plot file name", false;
    if (rest == ".plotting") return *why = "an unfinished plot file (.plotting): finish it with plot first", false;
    if (kind == PLOTFILE_NAME_NOT_OPTIMIZED)
        return *why = "its stagger differs from its nonce count: not an optimized file", false;
    if (name.count > UINT64_MAX / PLOT_SIZE) return *why = "too many nonces", false;
    const size_t slash = path.rfind('/');
    const std::string prefix = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    w->folder = prefix.empty() ? "." : prefix;
    w->account = name.account;
    w->start = name.start;
    w->nonces = name.count;
    w->to_poc2 = to_poc2;
    w->source = prefix + plotfile_name(name.account, name.start, name.count, !to_poc2);
    w->target = prefix + plotfile_name(name.account, name.start, name.count, to_poc2);
    w->journal = convert_journal_path(w->source);
    return true;
}

std::string wrong_size(uint64_t size, uint64_t nonces) {
    return "its size (" + std::to_string(size) + " bytes) does not match its name (" +
           std::to_string(nonces * PLOT_SIZE) + " bytes)";
}

// Why the file cannot be rewritten in place under its name alone, or empty: a link's bytes
// belong to another name (a symbolic link's file keeps its own name, which the rename would
// not follow; a file with hard links shows its bytes under every name).
std::string link_refusal(const std::string& path) {
    sys_path_info_s info;
    if (sys_path_info(path.c_str(), &info, false).error) return "";
    if (info.symlink) {
        std::string real;
        sys_real_path(path.c_str(), &real);
        return "it is a symbolic link" + (real.empty() ? std::string() : " to " + real) +
               ": convert the file itself, then point the link at its new name";
    }
    if (info.links > 1)
        return "it has " + std::to_string(info.links) + " names (hard links): converting it would change the " +
               "bytes under its other names too; remove the other names first";
    return "";
}

// Works out which names and journals exist. Returns true when there is work to do; else
// fills `result` (refused, already converted, or a leftover journal cleared).
bool resolve(const std::string& path, bool to_poc2, work_s* w, convert_result_s* result) {
    auto refuse = [&](const std::string& why) {
        *result = outcome(CONVERT_REFUSED, path + ": " + why, *w);
        return false;
    };
    std::string why;
    if (!read_names(path, to_poc2, w, &why)) return refuse(why);
    const bool source = sys_file_exists(w->source.c_str()), target = sys_file_exists(w->target.c_str());
    const bool journal = sys_file_exists(w->journal.c_str());
    // A rename done as a hard link and an unlink of the old name can stop between the two.
    if (source && target && journal && sys_same_file(w->source.c_str(), w->target.c_str()) &&
        sys_file_delete(w->source.c_str()).error == 0)
        return finish_journal(w, result);
    if (source && target) return refuse("both " + w->source + " and " + w->target + " exist");
    if (journal) {
        w->resume = true;
        if (source) return true;
        if (!target) return refuse("the journal " + w->journal + " has no plot file beside it");
        return finish_journal(w, result);
    }
    if (sys_file_exists(convert_journal_path(w->target).c_str()))
        return refuse(std::string("a conversion to ") + layout(!to_poc2) + " is in progress (" +
                      convert_journal_path(w->target) + "): finish it with --to " + layout(!to_poc2) + " first");
    if (target) {
        uint64_t size = 0;
        if (sys_path_size(w->target.c_str(), &size).error == 0 && size != w->nonces * PLOT_SIZE)
            return refuse(wrong_size(size, w->nonces));
        *result = outcome(CONVERT_ALREADY, w->target + ": already in " + layout(to_poc2) + " layout", *w);
        return false;
    }
    if (!source) return refuse("no such file");
    return true;
}

// Checks the file and takes its writer's lock; false (result filled) when it is refused.
bool open_source(work_s* w, convert_result_s* result) {
    uint64_t size = 0;
    auto refuse = [&](convert_status_e status, const std::string& why) {
        *result = outcome(status, w->source + ": " + why, *w);
        return false;
    };
    const std::string linked = link_refusal(w->source);
    if (!linked.empty()) return refuse(CONVERT_REFUSED, linked);
    if (sys_path_size(w->source.c_str(), &size).error) return refuse(CONVERT_REFUSED, "cannot read its size");
    if (size != w->nonces * PLOT_SIZE) return refuse(CONVERT_REFUSED, wrong_size(size, w->nonces));
    if (const sys_err_s writable = sys_file_writable(w->source.c_str()); writable.error)
        return refuse(CONVERT_REFUSED,
                      writable.error == EROFS ? "it is on a read-only file system" : "the file is read-only");
    const char* busy = "in use: a running plot is writing or moving it, or another convert holds it (its lock is taken)";
    if (sys_file_locked(w->source.c_str())) return refuse(CONVERT_REFUSED, busy);
    sys_create_e how = SYS_CREATE_EXISTING;
    const sys_err_s opened = sys_file_create(w->source.c_str(), 0, &w->fd, &how);
    if (opened.error == SYS_ERR_LOCKED) return refuse(CONVERT_REFUSED, busy);
    if (opened.error) return refuse(CONVERT_REFUSED, "cannot open it for writing");
    if (how == SYS_CREATE_NEW) {  // it vanished after the checks above; leave no empty file
        sys_file_close(w->fd);
        w->fd = 0;
        sys_file_delete(w->source.c_str());
        return refuse(CONVERT_REFUSED, "the file vanished");
    }
    return true;
}

// Sizes the steps: two step bytes of buffers within the memory, the journal within half
// the free space. When not even one nonce per step fits, says which of the two is short and
// the least it takes.
bool size_steps(work_s* w, uint64_t memory, std::string* why) {
    uint64_t step = std::min(memory / 2, STEP_MAX);
    if (step < UNIT) {
        *why = "not enough memory for a step: " + std::to_string(memory) + " bytes allowed, at least " +
               std::to_string(2 * UNIT) + " bytes needed";
        return false;
    }
    if (!w->resume) {
        const uint64_t free_bytes = sys_free_space(w->folder.c_str()), room = free_bytes / 2;
        step = room > 3 * BLOCK ? std::min(step, room - 3 * BLOCK) : 0;
        if (step < UNIT) {
            *why = std::string("not enough free space for the journal: ") + fmt_size_tmp(free_bytes, false, "") +
                   " free, at least " + fmt_size_tmp(2 * (3 * BLOCK + UNIT), false, "") + " needed";
            return false;
        }
    }
    step -= step % UNIT;
    w->step_bytes = step;
    w->capacity = step / 2;
    return true;
}

bool allocate(work_s* w) {
    // The pieces of a step of this run or of the journal's, and two slots' halves, so both
    // slots can be read on a resume.
    w->pieces = std::max(w->step_bytes, 2 * w->capacity);
    w->buffer = (uint8_t*)sys_alloc(w->pieces + 2 * w->capacity);
    return w->buffer != nullptr;
}

// Opens or creates the journal; on a resume finishes its newest step. Sets `at`.
bool open_journal(work_s* w, position_s* at, std::string* why) {
    const sys_err_s opened = sys_file_create(w->journal.c_str(), 0, &w->jfd);
    if (opened.error == SYS_ERR_LOCKED) return *why = "another convert holds its journal " + w->journal, false;
    if (opened.error)
        return *why = std::string("cannot ") + (w->resume ? "open" : "create") + " the journal " + w->journal + ": " +
                      std::strerror(opened.error),
               false;
    // A journal whose size cannot be read must not pass for an empty one: the file may be
    // half converted.
    const uint64_t budget = w->step_bytes;
    uint64_t size = 0;
    if (sys_file_size(w->jfd, &size).error) return *why = "cannot read the journal " + w->journal, false;
    const part_e header = w->resume ? read_header(*w, size) : PART_NONE;
    if (header == PART_ERROR) return *why = "cannot read the journal " + w->journal, false;
    if (header == PART_DAMAGED)
        return *why = "the journal " + w->journal + " is damaged: how far the conversion got is unknown", false;
    if (header == PART_WHOLE) {
        w->step_bytes = std::min(budget - budget % UNIT, w->capacity * 2);
        if (!allocate(w)) return *why = "not enough memory", false;
        if (!redo_newest(*w, size, at)) return *why = "I/O error while finishing the journal's step", false;
        return true;
    }
    w->capacity = w->step_bytes / 2;
    if (!allocate(w)) return *why = "not enough memory", false;
    if (!write_header(*w) || sys_file_sync(w->jfd).error || sys_dir_sync(w->folder.c_str()).error)
        return *why = "cannot write the journal " + w->journal, false;
    return true;
}

void release(work_s& w) {
    sys_free(w.buffer);
    w.buffer = nullptr;
    sys_file_close(w.jfd);
    sys_file_close(w.fd);
    w.jfd = w.fd = 0;
}

}  // namespace

std::string convert_journal_path(const std::string& plot_path) { return plot_path + ".converting"; }

// Either name works for the rerun, so the file's own journal is looked for first, then the
// one its old name leaves until the journal is deleted after the rename.
bool convert_pending(const std::string& plot_path, convert_pending_s* pending,
                     const std::function<bool(const std::string&)>& exists) {
    plotfile_name_s name;
    const plotfile_name_e kind = plotfile_name_parse(plot_path.c_str(), &name);
    if ((kind != PLOTFILE_NAME_POC1 && kind != PLOTFILE_NAME_POC2) || *name.rest) return false;
    const size_t slash = plot_path.rfind('/');
    const std::string prefix = slash == std::string::npos ? "" : plot_path.substr(0, slash + 1);
    const bool poc2 = kind == PLOTFILE_NAME_POC2;
    for (const bool journal_poc2 : {poc2, !poc2}) {
        const std::string journal =
            convert_journal_path(prefix + plotfile_name(name.account, name.start, name.count, journal_poc2));
        if (exists ? exists(journal) : sys_file_exists(journal.c_str())) {
            pending->journal = journal;
            pending->to_poc2 = !journal_poc2;
            return true;
        }
    }
    return false;
}

std::string convert_pending_text(const std::string& plot_path, const convert_pending_s& pending) {
    std::string command = "kestrune-cli convert " + shell_word(plot_path);
    if (!pending.to_poc2) command += " --to poc1";
    return std::string("is being converted to ") + layout(pending.to_poc2) + ": its journal " + pending.journal +
           " lies beside it, and running `" + command + "` again finishes it";
}

convert_result_s convert_file(const std::string& path, bool to_poc2, uint64_t memory,
                              const convert_progress_fn& progress, const convert_stop_fn& stop) {
    work_s w;
    convert_result_s result;
    if (!resolve(path, to_poc2, &w, &result) || !open_source(&w, &result)) return result;
    std::string why;
    if (!size_steps(&w, memory, &why)) {
        release(w);
        return outcome(CONVERT_REFUSED, w.source + ": " + why, w);
    }
    // A resume is told once the journal shows a whole step (redo_newest): without one,
    // nothing was done.
    sys_log("Converting %s to %s\n", w.source.c_str(), layout(to_poc2));
    position_s at;
    bool ok = open_journal(&w, &at, &why);
    if (!ok && !w.jfd && !w.resume) {  // nothing was touched
        release(w);
        return outcome(CONVERT_REFUSED, w.source + ": " + why, w);
    }
    if (ok && !run_steps(w, at, progress, stop)) ok = false, why = "I/O error while converting";
    if (ok && sys_file_rename_new(w.source.c_str(), w.target.c_str()).error) ok = false, why = "could not rename it";
    if (ok && sys_file_delete(w.journal.c_str()).error) ok = false, why = "could not delete the journal";
    if (ok) sys_dir_sync(w.folder.c_str());
    release(w);
    if (w.stopped) {
        sys_log("  stopped on request; the journal %s keeps the file safe\n", w.journal.c_str());
        return outcome(CONVERT_STOPPED, w.source + ": stopped before it was finished; rerun to finish", w);
    }
    if (!ok) return outcome(CONVERT_FAILED, w.source + ": " + why + "; rerun to finish", w);
    return outcome(CONVERT_DONE, w.target + ": converted to " + std::string(layout(to_poc2)), w);
}
