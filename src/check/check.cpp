// The plot file checker: name and size tests, sampled or full recomputation through the CPU
// lane families, verdicts.
//
// DESIGN: check_start creates a checker_s and starts the checker thread, which tests the
// name and size, plans the pieces of consecutive nonces to recompute and starts the compute
// threads of one engine (engine_start). Each compute thread takes the next piece, computes it
// into its own batch buffer with cpu_plot_batch (lane families) and compares it with the file.
// Sampled check: 1770 samples, each a random scoop of a random nonce over the whole file,
// from a fresh seed per check; the nonces come in runs one lane group long, one compute
// thread per processor, each running cpu_plot_batch with one worker. Meanwhile the checker
// thread queues one asynchronous 64-byte read per sample and sweeps them every 10 ms; whichever
// of it and a compute thread sees a sample both read and computed compares it (both store the
// same verdict). Full check: batches of consecutive nonces, one compute thread running
// cpu_plot_batch on every processor, while the checker thread reads the file rows of the next
// batches into two read buffers (ready/free handed over under a mutex); the compute thread
// compares a computed batch with its read buffer and frees it. The checker thread joins the
// compute threads before it ends; check_stop / check_destroy join the checker thread before
// freeing anything.
#include "check/check.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "nonce/nonce.h"
#include "nonce/cpu.h"
#include "platform/sys.h"
#include "plotfile/convert.h"
#include "plotfile/plotfile.h"

namespace {

constexpr uint64_t FULL_BATCH = 512;  // nonces per batch of a full check (more when one round is wider)

// A batch buffer owning its memory (none when it could not be obtained).
struct owned_batch_s {
    batch_buffer_s batch;
    explicit owned_batch_s(uint64_t capacity) {
        batch.data = (uint8_t*)sys_alloc(capacity * PLOT_SIZE);
        batch.capacity = batch.data ? capacity : 0;
    }
    ~owned_batch_s() { sys_free(batch.data); }
};

// The compute engine: `slots` threads share the pieces, each computing a piece with
// cpu_plot_batch on `threads` workers into its own buffer, rounding the count up to whole
// `round`s (the nonces past the piece are computed but never compared; that is cheaper than
// the scalar path a partial lane group would take).
struct engine_s {
    int32_t slots = 1;                  // compute threads
    int32_t threads = 1;                // cpu_plot_batch workers of each
    uint64_t capacity = 0;              // nonces of each compute thread's batch buffer
    uint64_t round = 1;                 // computed counts are whole multiples of this
    std::vector<check_piece_s> pieces;  // what to compute, taken in order
    std::function<void(size_t piece)> on_start;                            // before computing
    std::function<void(size_t piece, batch_buffer_s* batch)> on_computed;  // piece in PoC1 order
    std::atomic<size_t> next{0};               // the next piece to take
    std::atomic<bool> short_of_memory{false};  // a buffer could not be obtained
};

// What one check works with, owned by check_thread_proc.
struct check_work_s {
    checker_s* checker = nullptr;          // the check
    uint64_t account = 0;                  // from the name
    uint64_t start = 0;                    // first nonce
    uint64_t count = 0;                    // nonces in the file
    bool poc2 = false;                     // three-number name
    int64_t fd = 0;                        // the open file; 0 = none
    check_plan_s plan;                     // where the samples look
    std::vector<uint8_t> file_bytes;       // 64 bytes per sample, sample k at k * 64
    std::vector<uint8_t> computed_bytes;   // indexed the same way
    std::vector<aio_request*> requests;    // one read per sample
};

// Two read buffers of a full check, filled by the checker thread ahead of the computation.
struct full_reads_s {
    std::mutex lock;
    std::condition_variable changed;
    std::unique_ptr<owned_batch_s> rows[2];  // the file rows of one piece, as a batch of the compute capacity
    int64_t holds[2] = {-1, -1};            // piece each buffer holds; -1 = free
    bool readable[2] = {false, false};      // every row of it was read
};

void show(checker_s* c, const char* title, const char* text) {
    if (c->options.message)
        c->options.message(title, text);
    else
        sys_log("%s: %s\n", title, text);
}

int32_t worker_count(const checker_s* c) {
    return c->options.workers > 0 ? c->options.workers : std::max(cpu_count(), 1);
}

bool stopped(const checker_s* c) { return c->stop.load(std::memory_order_relaxed); }

void engine_slot(check_work_s* w, engine_s* e) {
    owned_batch_s owned(e->capacity);
    if (!owned.batch.data) {
        e->short_of_memory = true;
        return;
    }
    for (size_t p = e->next++; p < e->pieces.size() && !stopped(w->checker); p = e->next++) {
        const uint64_t count = std::min((e->pieces[p].count + e->round - 1) / e->round * e->round, e->capacity);
        if (e->on_start) e->on_start(p);
        owned.batch.progress = 0;
        const uint64_t done = cpu_plot_batch(&owned.batch, w->account, w->start + e->pieces[p].index, count,
                                             w->checker->options.family, e->threads, 0, &w->checker->stop,
                                             &owned.batch.progress);
        if (done < count) return;  // stopped
        e->on_computed(p, &owned.batch);
    }
}

std::vector<std::thread> engine_start(check_work_s* w, engine_s* e) {
    std::vector<std::thread> slots;
    for (int32_t t = 0; t < e->slots; ++t) slots.emplace_back(engine_slot, w, e);
    return slots;
}

void engine_join(std::vector<std::thread>* slots) {
    for (auto& t : *slots) t.join();
}

// Scoop s of batch index i in the file's order: PoC2 takes the second half from scoop 4095 - s.
void batch_scoop(const batch_buffer_s* b, uint64_t i, uint64_t s, bool poc2, uint8_t* out) {
    std::memcpy(out, b->data + (s * b->capacity + i) * SCOOP_SIZE, poc2 ? HASH_SIZE : SCOOP_SIZE);
    if (poc2)
        std::memcpy(out + HASH_SIZE, b->data + ((SCOOPS_PER_PLOT - 1 - s) * b->capacity + i) * SCOOP_SIZE + HASH_SIZE,
                    HASH_SIZE);
}

uint64_t sample_offset(const check_work_s* w, int32_t k) {
    return (w->plan.scoop[k] * w->count + w->plan.index[k]) * SCOOP_SIZE;
}

void compare_sample(check_work_s* w, int32_t k) {
    check_sample_s& s = w->checker->samples[k];
    const uint64_t at = (uint64_t)k * SCOOP_SIZE;
    const bool same = std::memcmp(&w->file_bytes[at], &w->computed_bytes[at], SCOOP_SIZE) == 0;
    s.match.store(same);
    s.compared.store(1);
}

// One sweep over the samples; true when every read has arrived or can no longer arrive.
bool sweep_reads(check_work_s* w) {
    checker_s* c = w->checker;
    bool all_read = true;
    for (int32_t k = 0; k < c->sample_count && !stopped(c); ++k) {
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

// Reads that never arrived are cancelled and read again directly; a sample that still
// cannot be read counts as bad instead of holding the check forever.
void settle_reads(check_work_s* w) {
    checker_s* c = w->checker;
    for (int32_t k = 0; k < c->sample_count; ++k) {
        check_sample_s& s = c->samples[k];
        if (s.read.load()) continue;
        sys_aio_cancel(w->fd, w->requests[k]);
        if (sys_file_read(w->fd, sample_offset(w, k), SCOOP_SIZE, &w->file_bytes[(uint64_t)k * SCOOP_SIZE]).error == 0) {
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
    const int32_t n = c->sample_count;
    engine_s e;
    e.slots = worker_count(c);
    e.threads = 1;
    e.round = cpu_family_lanes(c->options.family);
    e.capacity = e.round;
    w->plan = check_plan_samples(w->count, n, e.round, sys_random_u64());
    e.pieces = w->plan.pieces;
    w->file_bytes.assign((uint64_t)n * SCOOP_SIZE, 0);
    w->computed_bytes.assign((uint64_t)n * SCOOP_SIZE, 0);
    w->requests.assign(n, nullptr);
    e.on_start = [w](size_t p) {
        for (int32_t k : w->plan.piece_samples[p]) w->checker->samples[k].computing.store(1);
    };
    e.on_computed = [w, &e](size_t p, batch_buffer_s* batch) {
        for (int32_t k : w->plan.piece_samples[p]) {
            batch_scoop(batch, w->plan.index[k] - e.pieces[p].index, w->plan.scoop[k], w->poc2,
                        &w->computed_bytes[(uint64_t)k * SCOOP_SIZE]);
            w->checker->samples[k].computed.store(1);
            if (w->checker->samples[k].read.load()) compare_sample(w, k);
        }
    };
    std::vector<std::thread> slots = engine_start(w, &e);
    for (int32_t k = 0; k < n && !stopped(c); ++k) {
        if (sys_file_read(w->fd, sample_offset(w, k), SCOOP_SIZE, &w->file_bytes[(uint64_t)k * SCOOP_SIZE],
                          &w->requests[k]).error) {
            sys_aio_free(w->requests[k]);  // never submitted
            w->requests[k] = nullptr;
        }
    }
    while (!sweep_reads(w) && !stopped(c)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    engine_join(&slots);
    if (stopped(c)) {
        for (aio_request* r : w->requests) sys_aio_cancel(w->fd, r);
    } else {
        settle_reads(w);
    }
    for (aio_request* r : w->requests) sys_aio_free(r);
    for (int32_t k = 0; k < n && !stopped(c); ++k)
        if (c->samples[k].read.load() && c->samples[k].computed.load()) compare_sample(w, k);
    if (e.short_of_memory) sys_log("  check: not enough memory for every computing thread\n");
}

// Compares piece p, computed in `batch`, with its file rows; counts its bad nonces.
void full_compare(check_work_s* w, const check_piece_s& piece, batch_buffer_s* batch, const uint8_t* rows,
                  bool readable) {
    const uint64_t n = piece.count, cap = batch->capacity;
    if (w->poc2) poc2_convert_batch(batch, n);
    std::vector<uint8_t> bad(n, readable ? 0 : 1);
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT && readable; ++s) {
        const uint8_t* file = rows + s * cap * SCOOP_SIZE;
        const uint8_t* computed = batch->data + s * cap * SCOOP_SIZE;
        if (std::memcmp(file, computed, n * SCOOP_SIZE) == 0) continue;
        for (uint64_t i = 0; i < n; ++i)
            bad[i] |= std::memcmp(file + i * SCOOP_SIZE, computed + i * SCOOP_SIZE, SCOOP_SIZE) != 0;
    }
    for (uint8_t b : bad) w->checker->nonces_bad += b;
    w->checker->nonces_checked += n;
}

void run_full(check_work_s* w) {
    checker_s* c = w->checker;
    engine_s e;
    e.slots = 1;
    e.threads = worker_count(c);
    e.round = (uint64_t)e.threads * cpu_family_lanes(c->options.family);
    e.capacity = std::max(FULL_BATCH / e.round, (uint64_t)1) * e.round;
    for (uint64_t i = 0; i < w->count; i += e.capacity) e.pieces.push_back({i, std::min(e.capacity, w->count - i)});
    full_reads_s reads;
    for (auto& rows : reads.rows) rows.reset(new owned_batch_s(e.capacity));
    if (!reads.rows[0]->batch.data || !reads.rows[1]->batch.data) e.short_of_memory = true;
    auto wait_until = [&](std::unique_lock<std::mutex>& hold, const std::function<bool()>& ready) {
        while (!ready() && !stopped(c)) reads.changed.wait_for(hold, std::chrono::milliseconds(10));
        return !stopped(c);
    };
    e.on_computed = [&](size_t p, batch_buffer_s* batch) {
        std::unique_lock<std::mutex> hold(reads.lock);
        if (!wait_until(hold, [&] { return reads.holds[p % 2] == (int64_t)p; })) return;
        hold.unlock();
        full_compare(w, e.pieces[p], batch, reads.rows[p % 2]->batch.data, reads.readable[p % 2]);
        hold.lock();
        reads.holds[p % 2] = -1;
        reads.changed.notify_all();
    };
    std::vector<std::thread> slots;
    if (!e.short_of_memory) slots = engine_start(w, &e);
    for (size_t p = 0; p < e.pieces.size() && !e.short_of_memory; ++p) {
        std::unique_lock<std::mutex> hold(reads.lock);
        if (!wait_until(hold, [&] { return reads.holds[p % 2] < 0 || e.short_of_memory; }) || e.short_of_memory) break;
        hold.unlock();
        const check_piece_s& piece = e.pieces[p];
        bool readable = true;
        for (uint64_t s = 0; s < SCOOPS_PER_PLOT && readable && !stopped(c); ++s)
            readable = sys_file_read(w->fd, (s * w->count + piece.index) * SCOOP_SIZE, piece.count * SCOOP_SIZE,
                                     reads.rows[p % 2]->batch.data + s * e.capacity * SCOOP_SIZE).error == 0;
        hold.lock();
        reads.readable[p % 2] = readable;
        reads.holds[p % 2] = (int64_t)p;
        reads.changed.notify_all();
    }
    engine_join(&slots);
    if (e.short_of_memory && !stopped(c)) {
        sys_log("  check: not enough memory for a batch of %llu nonces\n", (unsigned long long)e.capacity);
        c->stop = true;
    }
}

// Name and size tests; false (message shown, result set) when the file cannot be checked.
bool check_file(check_work_s* w) {
    checker_s* c = w->checker;
    plotfile_name_s name;
    const plotfile_name_e kind = plotfile_name_parse(c->path.c_str(), &name);
    if (kind == PLOTFILE_NAME_NONE || name.count > UINT64_MAX / PLOT_SIZE) {
        c->result = CHECK_BAD_NAME;
        show(c, "Error", "Incorrect filename format for plotfile.");
        return false;
    }
    w->account = name.account;
    w->start = name.start;
    w->count = name.count;
    w->poc2 = kind == PLOTFILE_NAME_POC2;
    if (kind == PLOTFILE_NAME_NOT_OPTIMIZED) {
        c->result = CHECK_NOT_OPTIMIZED;
        show(c, "Sorry", "Only optimized files are supported. Why would you plot anything else? :)");
        return false;
    }
    // Part of it may be in each order: comparing would call a file damaged that one more
    // convert finishes.
    convert_pending_s pending;
    if (convert_pending(c->path, &pending)) {
        c->result = CHECK_CONVERTING;
        const std::string text =
            sys_file_locked(c->path.c_str())
                ? std::string("The file is being converted to ") + (pending.to_poc2 ? "poc2" : "poc1") +
                      " by a running convert; check it once that has finished. Nothing was compared."
                : "The file " + convert_pending_text(c->path, pending) + ". Nothing was compared.";
        show(c, "Error", text.c_str());
        return false;
    }
    // Its nonces are not all there yet: every comparison would only report missing data.
    if (sys_file_locked(c->path.c_str())) {
        c->result = CHECK_BEING_WRITTEN;
        show(c, "Error", "The file is being written; check it once plotting has finished.");
        return false;
    }
    if (std::strcmp(name.rest, ".plotting") == 0 || std::strcmp(name.rest, ".moving") == 0) {
        c->result = CHECK_UNFINISHED;
        show(c, "Error", "The file is unfinished; finish plotting it before checking it.");
        return false;
    }
    if (sys_file_open_read(c->path.c_str(), &w->fd).error) {
        w->fd = 0;
        c->result = CHECK_NO_FILE;
        show(c, "Error", "Cannot open the plot file.");
        return false;
    }
    uint64_t size = 0;
    if (sys_file_size(w->fd, &size).error || size != w->count * PLOT_SIZE) {
        sys_file_close(w->fd);
        w->fd = 0;
        c->result = CHECK_BAD_SIZE;
        show(c, "Error", "File has incorrect size.");
        return false;
    }
    c->nonces_total = w->count;
    return true;
}

// The checker thread: name and size tests, then the sampled or full comparison.
void check_thread_proc(checker_s* c) {
    check_work_s w;
    w.checker = c;
    if (!check_file(&w)) return;
    if (c->options.full)
        run_full(&w);
    else
        run_sampled(&w);
    sys_file_close(w.fd);
    c->result = stopped(c) ? CHECK_STOPPED : CHECK_FINISHED;
}

}  // namespace

// Every sample's nonce and scoop are uniform over the whole file. A file no longer than the
// sample count is computed whole, once; otherwise the samples come in runs of `run`
// consecutive nonces from a uniform start, wrapping at the end of the file.
check_plan_s check_plan_samples(uint64_t count, int32_t samples, uint64_t run, uint64_t seed) {
    check_plan_s plan;
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<uint64_t> any_nonce(0, count - 1), any_scoop(0, SCOOPS_PER_PLOT - 1);
    plan.index.resize(samples);
    plan.scoop.resize(samples);
    for (int32_t k = 0; k < samples; ++k) plan.scoop[k] = any_scoop(random);
    std::vector<size_t> piece_of(samples);
    if (count <= (uint64_t)samples) {
        for (uint64_t i = 0; i < count; i += run) plan.pieces.push_back({i, std::min(run, count - i)});
        for (int32_t k = 0; k < samples; ++k) {
            plan.index[k] = any_nonce(random);
            piece_of[k] = plan.index[k] / run;
        }
    } else {
        for (int32_t k = 0; k < samples; k += (int32_t)run) {
            const uint64_t first = any_nonce(random), before_end = std::min(run, count - first);
            plan.pieces.push_back({first, before_end});
            if (before_end < run) plan.pieces.push_back({0, run - before_end});
            for (int32_t j = 0; j < (int32_t)run && k + j < samples; ++j) {
                plan.index[k + j] = (first + j) % count;
                piece_of[k + j] = plan.pieces.size() - ((uint64_t)j < before_end && before_end < run ? 2 : 1);
            }
        }
    }
    plan.piece_samples.assign(plan.pieces.size(), {});
    for (int32_t k = 0; k < samples; ++k) plan.piece_samples[piece_of[k]].push_back(k);
    return plan;
}

checker_s* check_start(const char* path, check_options_s options) {
    checker_s* c = new checker_s();
    c->path = path;
    c->options = std::move(options);
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
