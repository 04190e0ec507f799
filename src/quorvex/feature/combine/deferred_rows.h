// DeferredRows: rows of a batch (FCombo.transform) whose keys all go
// through the conjunction memo, kept aside while the batch is read and then
// walked together, on two threads when the batch is large.
//
// Reading a row needs Python (its names and values), walking it does not:
// the walk reads the memo by numbers and writes the row's entries. So the
// combiner, when asked, records a row's name numbers, values and names
// instead of walking it (record), and finish() walks every recorded row
// while the caller holds the GIL and runs no Python code: nothing changes
// the memo meanwhile, and the recorded names are held. A row whose keys the
// memo does not all hold is walked again the usual way (filing the missing
// keys) by the caller's walk_again.
#ifndef QUORVEX_FEATURE_COMBINE_DEFERRED_ROWS_H
#define QUORVEX_FEATURE_COMBINE_DEFERRED_ROWS_H

#include <Python.h>
#include <algorithm>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/chunk_threads.h"
#include "csr_rows.h"
#include "feature/combine/conj_memo.h"
#include "sparse_accum.h"

namespace qv {

class DeferredRows {
public:
    struct Task {
        std::size_t first;  // where its names begin in the flat arrays
        std::size_t m;      // its names
        std::size_t keys;   // its keys (conjunctions of up to depth_max names): the most entries it can have
        int depth_max;
        double w;
        std::size_t at = 0;  // where run() writes its entries
        // After run(): its entries (at most `keys`), or -1 when the caller
        // walks it: the memo lacked keys, or was emptied after the row was
        // recorded.
        std::ptrdiff_t len = -1;
        bool stale = false;  // recorded against an earlier state of the memo
    };

    DeferredRows() = default;
    DeferredRows(const DeferredRows&) = delete;
    DeferredRows& operator=(const DeferredRows&) = delete;
    // Lets go of the recorded names (the caller holds the GIL).
    ~DeferredRows();

    // Whether the recorded rows take room for a segment of the batch
    // (kSegmentRoom entries, 48 MiB): the caller then finishes them, so that
    // the room taken beyond the rows' entries stays bounded, and goes on
    // with a fresh DeferredRows.
    bool segment_full() const { return room_end_ >= kSegmentRoom; }
    // Records a row of m names: the memo's numbers, the values, the name
    // objects (held from now on, so that their bytes stay valid whatever
    // happens to the lists) and their bytes. Throws std::bad_alloc.
    void record(const uint32_t* numbers, const double* vals, PyObject* const* names, const char* const* name_bytes,
                const std::size_t* name_lens, std::size_t m, int depth_max, double w, uint64_t memo_epoch);

    // Once a row has been recorded, the caller tells each further row
    // apart: recorded (the task recorded last), or walked at once (its
    // entries, merged, in acc). Throws std::bad_alloc.
    void row_recorded();
    void row_walked(const SparseAccum<double>& acc);
    bool empty() const { return tasks_.empty(); }
    std::size_t size() const { return tasks_.size(); }
    const double* vals(const Task& t) const { return vals_.data() + t.first; }
    const char* const* name_bytes(const Task& t) const { return name_bytes_.data() + t.first; }
    const std::size_t* name_lens(const Task& t) const { return name_lens_.data() + t.first; }

    // Appends the rows from the first recorded one on to `rows`, whose
    // rows so far are those before it: every task is walked against the
    // memo (run), each into room for as many entries as it has keys in
    // rows' own arrays; walk_again(task, acc) walks the tasks the memo
    // could not answer whole into acc, the usual way; then the rows are
    // closed up, and the arrays given back what they hold beyond the rows.
    // Throws std::bad_alloc (and what walk_again throws).
    template <class WalkAgain>
    void finish(const ConjMemo& memo, CsrRows<double>& rows, WalkAgain&& walk_again);

private:
    static const std::size_t kSegmentRoom = std::size_t(1) << 22;
    // Where each row from the first recorded one on goes: its room in the
    // matrix's arrays, and its task or its row in walked_.
    struct Place {
        std::size_t at;
        bool recorded;
        std::size_t index;
    };
    std::vector<Place> places_;
    std::size_t room_end_ = 0;  // the room taken so far, past the rows before
    CsrRows<double> walked_;    // rows walked at once among the recorded ones
    std::vector<Task> tasks_;
    std::vector<uint32_t> numbers_;
    std::vector<double> vals_;
    std::vector<PyObject*> names_;
    std::vector<const char*> name_bytes_;
    std::vector<std::size_t> name_lens_;
    std::size_t total_keys_ = 0;
    uint64_t epoch_ = 0;

    // Walks every task against the memo (which must be the state the
    // numbers were taken from: its epoch unchanged), writing each one's
    // entries, merged and in order, to cols[at...] and vals[at...], on up to
    // `threads` threads when the tasks hold enough keys to pay for starting
    // them. Tasks the memo cannot answer whole keep len -1.
    void run(const ConjMemo& memo, unsigned threads, coordinate_t* cols, double* vals);
    // Walks chunks of `chunk` tasks, taking the next one from `next` until
    // none is left.
    void walk(const ConjMemo& memo, std::atomic<std::size_t>& next, std::size_t chunk, coordinate_t* cols,
              double* vals);
};

template <class WalkAgain>
void DeferredRows::finish(const ConjMemo& memo, CsrRows<double>& rows, WalkAgain&& walk_again) {
    if (places_.empty()) return;
    // The room of the first recorded row starts where the rows before end.
    const std::size_t base = rows.nnz;
    rows.reserve_entries(base + room_end_);
    run(memo, available_threads(), rows.indices + base, rows.data + base);
    // Into their room: the rows the memo could not answer whole, and those
    // walked at once.
    OwnedAccum<double> acc;
    std::vector<std::size_t> lens(places_.size());
    for (std::size_t p = 0; p < places_.size(); ++p) {
        const Place& place = places_[p];
        coordinate_t* to_cols = rows.indices + base + place.at;
        double* to_vals = rows.data + base + place.at;
        if (!place.recorded) {
            const std::size_t begin = static_cast<std::size_t>(walked_.indptr[place.index]);
            lens[p] = static_cast<std::size_t>(walked_.indptr[place.index + 1]) - begin;
            std::copy_n(walked_.indices + begin, lens[p], to_cols);
            std::copy_n(walked_.data + begin, lens[p], to_vals);
        } else if (tasks_[place.index].len >= 0) {
            lens[p] = static_cast<std::size_t>(tasks_[place.index].len);
        } else {
            acc.clear();
            walk_again(tasks_[place.index], acc);
            acc.compact();
            for (std::size_t k = 0; k < acc.len; ++k) {
                to_cols[k] = acc.entries[k].idx;
                to_vals[k] = acc.entries[k].val;
            }
            lens[p] = acc.len;
        }
    }
    // Closed up: a row shorter than its room (keys absent from the
    // dictionary, or summed into one) moves the rows after it down.
    for (std::size_t p = 0; p < places_.size(); ++p) {
        const std::size_t at = base + places_[p].at;
        if (at != rows.nnz) {
            std::memmove(rows.indices + rows.nnz, rows.indices + at, lens[p] * sizeof(coordinate_t));
            std::memmove(rows.data + rows.nnz, rows.data + at, lens[p] * sizeof(double));
        }
        rows.append_written_row(lens[p]);
    }
    rows.shrink_to_fit();
}

}  // namespace qv

#endif
