// The plot file checker: name and size tests, sampled or full recomputation, verdicts.
#include "check/check.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "nonce/nonce.h"
#include "nonce/plt_cpu.h"
#include "platform/sys.h"
#include "platform/util.h"
#include "plotter/plot_file.h"

namespace {

constexpr uint64_t SCOOP_STEP = SCOOPS_PER_PLOT / CHECK_SAMPLES;  // 2: sample k looks at scoop 2k
constexpr uint64_t FULL_GROUP = 32;                               // nonces per step of a full check

// What one check works with, owned by check_thread_proc.
struct check_work_s {
    checker_s* checker = nullptr;          // the check
    uint64_t account = 0;                  // from the name
    uint64_t start = 0;                    // first nonce
    uint64_t count = 0;                    // nonces in the file
    bool poc2 = false;                     // three-number name
    int64_t fd = -1;                       // the open file
    std::vector<uint64_t> index;           // nonce index of each sample
    std::vector<uint8_t> file_bytes;       // PLOT_SIZE, sample k at 2k * 64
    std::vector<uint8_t> computed_bytes;   // PLOT_SIZE, indexed the same way
    std::vector<aio_request*> requests;    // one read per sample
    std::vector<std::vector<int32_t>> groups;  // samples sharing a nonce, one list per distinct nonce
};

void show(checker_s* c, const char* title, const char* text) {
    if (c->message) {
        c->message(title, text);
        return;
    }
    std::string t = title, x = text;
    sys_ui_post([t, x] { sys_message_box(t.c_str(), x.c_str()); });
}

int32_t worker_count(const checker_s* c) {
    return c->workers > 0 ? c->workers : std::max(cpu_count() - 1, 1);
}

void compare_sample(check_work_s* w, int32_t k) {
    check_sample_s& s = w->checker->samples[k];
    const uint64_t at = (uint64_t)k * SCOOP_STEP * SCOOP_SIZE;
    const bool same = std::memcmp(&w->file_bytes[at], &w->computed_bytes[at], SCOOP_SIZE) == 0;
    s.match.store(same);
    s.compared.store(1);
}

// Worker t recomputes every t-th distinct sampled nonce once and serves all samples that use it
// (small files repeat nonces many times).
void sample_worker(check_work_s* w, int32_t t, int32_t threads) {
    checker_s* c = w->checker;
    std::vector<uint8_t> nonce(PLOT_SIZE);
    for (size_t d = t; d < w->groups.size() && !c->stop.load(std::memory_order_relaxed); d += threads) {
        const std::vector<int32_t>& group = w->groups[d];
        for (int32_t k : group) c->samples[k].computing.store(1);
        nonce_compute(w->account, w->start + w->index[group[0]], nonce.data(), w->poc2);
        for (int32_t k : group) {
            const uint64_t at = (uint64_t)k * SCOOP_STEP * SCOOP_SIZE;
            std::memcpy(&w->computed_bytes[at], &nonce[at], SCOOP_SIZE);
            c->samples[k].computed.store(1);
            if (c->samples[k].read.load()) compare_sample(w, k);
        }
    }
}

// One sweep over the samples; true when every read has arrived or can no longer arrive.
bool sweep_reads(check_work_s* w) {
    checker_s* c = w->checker;
    bool all_read = true;
    for (int32_t k = 0; k < c->sample_count && !c->stop.load(std::memory_order_relaxed); ++k) {
        check_sample_s& s = c->samples[k];
        if (s.read.load()) {
            if (s.computed.load() && !s.compared.load()) compare_sample(w, k);
        } else if (!w->requests[k] || sys_aio_failed(w->requests[k])) {
            // Never arrives: settle_reads reads it directly once the sweep is over.
        } else if (sys_aio_done(w->requests[k])) {
            s.read.store(1);
        } else {
            all_read = false;
        }
    }
    return all_read;
}

// Reads that never arrived once every worker is done are cancelled and read again directly;
// a sample that still cannot be read counts as bad instead of holding the check forever.
void settle_reads(check_work_s* w) {
    checker_s* c = w->checker;
    for (int32_t k = 0; k < c->sample_count; ++k) {
        check_sample_s& s = c->samples[k];
        if (s.read.load()) continue;
        sys_aio_cancel(w->fd, w->requests[k]);
        const uint64_t at = (uint64_t)k * SCOOP_STEP * SCOOP_SIZE;
        const uint64_t offset = ((uint64_t)k * SCOOP_STEP * w->count + w->index[k]) * SCOOP_SIZE;
        if (sys_file_read(w->fd, offset, SCOOP_SIZE, &w->file_bytes[at])) {
            s.read.store(1);
        } else {
            ++c->reads_failed;
            s.match.store(0);
            s.compared.store(1);
        }
    }
}

void run_sampled(check_work_s* w) {
    checker_s* c = w->checker;
    w->index.resize(c->sample_count);
    for (int32_t k = 0; k < c->sample_count; ++k) w->index[k] = (uint64_t)std::rand() % w->count;
    w->file_bytes.assign(PLOT_SIZE, 0);
    w->computed_bytes.assign(PLOT_SIZE, 0);
    w->requests.assign(c->sample_count, nullptr);
    std::map<uint64_t, std::vector<int32_t>> by_nonce;
    for (int32_t k = 0; k < c->sample_count; ++k) by_nonce[w->index[k]].push_back(k);
    for (auto& entry : by_nonce) w->groups.push_back(std::move(entry.second));
    const int32_t threads = worker_count(c);
    std::vector<std::thread> workers;
    for (int32_t t = 0; t < threads; ++t) workers.emplace_back(sample_worker, w, t, threads);
    for (int32_t k = 0; k < c->sample_count && !c->stop.load(); ++k) {
        const uint64_t offset = ((uint64_t)k * SCOOP_STEP * w->count + w->index[k]) * SCOOP_SIZE;
        if (!sys_file_read(w->fd, offset, SCOOP_SIZE, &w->file_bytes[(uint64_t)k * SCOOP_STEP * SCOOP_SIZE],
                           &w->requests[k])) {
            sys_aio_free(w->requests[k]);  // never submitted
            w->requests[k] = nullptr;
        }
    }
    while (!sweep_reads(w) && !c->stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (auto& t : workers) t.join();
    if (c->stop.load()) {
        for (aio_request* r : w->requests) sys_aio_cancel(w->fd, r);
    } else {
        settle_reads(w);
    }
    for (aio_request* r : w->requests) sys_aio_free(r);
    for (int32_t k = 0; k < c->sample_count && !c->stop.load(); ++k)
        if (c->samples[k].read.load()) compare_sample(w, k);
}

// Compares every scoop of nonces [first, first + n) with their recomputation.
void full_group(check_work_s* w, uint64_t first, uint64_t n, int32_t threads) {
    checker_s* c = w->checker;
    std::vector<uint8_t> rows(SCOOPS_PER_PLOT * n * SCOOP_SIZE);
    bool readable = true;
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT && readable; ++s)
        readable = sys_file_read(w->fd, (s * w->count + first) * SCOOP_SIZE, n * SCOOP_SIZE, &rows[s * n * SCOOP_SIZE]);
    std::vector<uint8_t> bad(n, readable ? 0 : 1);
    auto work = [&](int32_t t) {
        std::vector<uint8_t> nonce(PLOT_SIZE);
        for (uint64_t i = t; i < n && readable && !c->stop.load(); i += threads) {
            nonce_compute(w->account, w->start + first + i, nonce.data(), w->poc2);
            for (uint64_t s = 0; s < SCOOPS_PER_PLOT && !bad[i]; ++s)
                bad[i] = std::memcmp(&rows[(s * n + i) * SCOOP_SIZE], &nonce[s * SCOOP_SIZE], SCOOP_SIZE) != 0;
        }
    };
    std::vector<std::thread> workers;
    for (int32_t t = 0; t < threads; ++t) workers.emplace_back(work, t);
    for (auto& t : workers) t.join();
    if (c->stop.load()) return;
    for (uint8_t b : bad) c->nonces_bad += b;
    c->nonces_checked += n;
}

void run_full(check_work_s* w) {
    checker_s* c = w->checker;
    c->nonces_total = w->count;
    const int32_t threads = worker_count(c);
    for (uint64_t first = 0; first < w->count && !c->stop.load(); first += FULL_GROUP)
        full_group(w, first, std::min(FULL_GROUP, w->count - first), threads);
}

// Name and size tests; false (message shown, result set) when the file cannot be checked.
bool check_file(check_work_s* w) {
    checker_s* c = w->checker;
    plot_name_s name;
    const plot_name_e kind = plot_name_parse(c->path.c_str(), &name);
    if (kind == PLOT_NAME_NONE || name.count > UINT64_MAX / PLOT_SIZE) {
        c->result = CHECK_BAD_NAME;
        show(c, "Error", "Incorrect filename format for plotfile.");
        return false;
    }
    w->account = name.account;
    w->start = name.start;
    w->count = name.count;
    w->poc2 = kind == PLOT_NAME_POC2;
    if (kind == PLOT_NAME_NOT_OPTIMIZED) {
        c->result = CHECK_NOT_OPTIMIZED;
        show(c, "Sorry", "Only optimized files are supported. Why would you plot anything else? :)");
        return false;
    }
    w->fd = sys_file_open_read(c->path.c_str());
    const uint64_t size = w->fd > 0 ? sys_file_size(w->fd) : 0;
    UTIL_ASSERT(w->fd > 0 && size != 0);
    if (size != w->count * PLOT_SIZE) {
        if (w->fd > 0) sys_file_close(w->fd);
        w->fd = -1;
        c->result = CHECK_BAD_SIZE;
        show(c, "Error", "File has incorrect size.");
        return false;
    }
    return true;
}

// The checker thread: name and size tests, then the sampled or full comparison.
void check_thread_proc(checker_s* c) {
    check_work_s w;
    w.checker = c;
    if (!check_file(&w)) return;
    if (c->full)
        run_full(&w);
    else
        run_sampled(&w);
    sys_file_close(w.fd);
    c->result = c->stop.load() ? CHECK_STOPPED : CHECK_FINISHED;
}

}  // namespace

checker_s* check_start(const char* path, bool full, check_message_fn message, int32_t workers) {
    checker_s* c = new checker_s();
    c->path = path;
    c->full = full;
    c->workers = workers;
    c->message = std::move(message);
    c->samples.reset(new check_sample_s[c->sample_count]);
    c->thread = std::thread(check_thread_proc, c);
    return c;
}

void check_wait(checker_s* c) {
    if (c->thread.joinable()) c->thread.join();
}

void check_stop(checker_s* c) {
    c->stop = true;
    check_wait(c);
}

void check_destroy(checker_s* c) {
    if (!c) return;
    check_stop(c);
    delete c;
}

void check_counts(const checker_s* c, uint32_t* compared, uint32_t* bad) {
    uint32_t done = 0, wrong = 0;
    for (int32_t k = 0; k < c->sample_count; ++k) {
        if (!c->samples[k].compared.load()) continue;
        ++done;
        wrong += !c->samples[k].match.load();
    }
    *compared = done;
    *bad = wrong;
}
