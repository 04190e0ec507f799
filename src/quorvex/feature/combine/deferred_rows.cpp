// DeferredRows: recording rows, and walking them on one or two threads.
#include "feature/combine/deferred_rows.h"

#include <algorithm>
#include <atomic>

#include "common/chunk_threads.h"
#include "feature/combine/memo_walk.h"

namespace qv {

namespace {

// Below this many keys in all, a second thread costs more to start than it
// saves.
constexpr std::size_t kKeysForThreads = std::size_t(1) << 16;

}  // namespace

DeferredRows::~DeferredRows() {
    for (PyObject* name : names_) Py_DECREF(name);
}

void DeferredRows::record(const uint32_t* numbers, const double* vals, PyObject* const* names,
                          const char* const* name_bytes, const std::size_t* name_lens, std::size_t m, int depth_max,
                          double w, uint64_t memo_epoch) {
    if (tasks_.empty()) epoch_ = memo_epoch;
    Task t;
    t.first = numbers_.size();
    t.m = m;
    t.keys = MemoWalk::key_count(m, depth_max);
    t.depth_max = depth_max;
    t.w = w;
    // A task recorded against another state of the memo is never walked
    // here.
    t.stale = memo_epoch != epoch_;
    numbers_.insert(numbers_.end(), numbers, numbers + m);
    vals_.insert(vals_.end(), vals, vals + m);
    names_.insert(names_.end(), names, names + m);  // may throw: nothing is held yet
    for (std::size_t i = 0; i < m; ++i) Py_INCREF(names[i]);
    name_bytes_.insert(name_bytes_.end(), name_bytes, name_bytes + m);
    name_lens_.insert(name_lens_.end(), name_lens, name_lens + m);
    total_keys_ += t.keys;
    tasks_.push_back(t);
}

void DeferredRows::row_recorded() {
    Task& t = tasks_.back();
    t.at = room_end_;
    room_end_ += t.keys;
    places_.push_back({t.at, true, tasks_.size() - 1});
}

void DeferredRows::row_walked(const SparseAccum<double>& acc) {
    places_.push_back({room_end_, false, walked_.rows});
    walked_.append_row(acc.entries, acc.len);
    room_end_ += acc.len;
}

void DeferredRows::walk(const ConjMemo& memo, std::atomic<std::size_t>& next, std::size_t chunk, coordinate_t* cols,
                        double* vals) {
    MemoWalk walk;
    OwnedAccum<double> acc;
    // Every pair in the memo was filed before the walk: all are known.
    const uint64_t known = UINT64_MAX;
    const std::size_t count = tasks_.size();
    for (std::size_t begin; (begin = next.fetch_add(chunk)) < count;) {
        const std::size_t end = std::min(begin + chunk, count);
        std::size_t lacking = 0;
        for (std::size_t t = begin; t < end; ++t) {
            Task& task = tasks_[t];
            if (task.stale) continue;
            const uint32_t* numbers = numbers_.data() + task.first;
            bool whole = true;
            for (int d = 0; d < task.depth_max && static_cast<std::size_t>(d) < task.m && whole; ++d) {
                walk.fill(d, numbers, task.m);
                walk.probe(memo, d, known);
                whole = walk.misses.empty();
            }
            if (!whole) {
                ++lacking;
                continue;
            }
            acc.clear();
            walk.values(task.depth_max, vals_.data() + task.first, task.m, task.w, acc);
            acc.compact();
            coordinate_t* to_cols = cols + task.at;
            double* to_vals = vals + task.at;
            for (std::size_t i = 0; i < acc.len; ++i) {
                to_cols[i] = acc.entries[i].idx;
                to_vals[i] = acc.entries[i].val;
            }
            task.len = static_cast<std::ptrdiff_t>(acc.len);
        }
        // A memo that lacks the keys of most rows (one that has only begun
        // to file this batch's keys) would make every walk here a wasted
        // one: the rest go the usual way.
        if (2 * lacking > end - begin) next.store(count);
    }
}

void DeferredRows::run(const ConjMemo& memo, unsigned threads, coordinate_t* cols, double* vals) {
    if (tasks_.empty()) return;
    if (memo.epoch() != epoch_) return;  // every task goes the usual way
    if (total_keys_ < kKeysForThreads) threads = 1;
    run_chunks(threads, tasks_.size(), std::max<std::size_t>(1, tasks_.size() / 64),
               [&](std::atomic<std::size_t>& next, std::size_t chunk) { walk(memo, next, chunk, cols, vals); });
}

}  // namespace qv
