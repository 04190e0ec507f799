// Spreads a position's merged (row, value) pairs over its candidate
// labels: candidate L gets (id of "L^row", value) for every row that has a
// cell for L, in row order, sorted by id unless row order is already id
// order for every label (`monotone`). The rows are named however the cell
// source names them (EmissionTable: arena offsets; key registration:
// first-occurrence numbers).
#ifndef QUORVEX_FEATURE_CHAIN_ENTRY_SPREADER_H
#define QUORVEX_FEATURE_CHAIN_ENTRY_SPREADER_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "feature/chain/compiled_chain.h"
#include "feature/chain/row_spans.h"
#include "sparse_accum.h"

namespace qv {

class EntrySpreader {
public:
    explicit EntrySpreader(std::size_t labels) : slot_(labels, -1) {}

    // Appends one position to out: the candidates labels[0, count) without
    // repeats, then their entries (their values only once one is not 1.0). Cells::begin(row) / end(row) give the
    // row's cells, objects with `label` and `id`.
    template <class Cells>
    void add(const Cells& cells, bool monotone, const AccumEntry<double>* rows, std::size_t nrows,
             const uint32_t* labels, std::size_t count, CompiledChain& out);

    // The same, for rows whose cells are spans: span_of(r) is row r's.
    template <class SpanOf>
    void add_spans(SpanOf span_of, bool monotone, const AccumEntry<double>* rows, std::size_t nrows,
                   const uint32_t* labels, std::size_t count, CompiledChain& out);

    // The same candidates, but instead of their entries their emission
    // scores, appended to scores: the sum of value * w[id] over a
    // candidate's entries in row order, which is the dot product's order
    // when the table is monotone (the only case this may be used in).
    template <class Cells, class W>
    void score(const Cells& cells, const AccumEntry<double>* rows, std::size_t nrows, const uint32_t* labels,
               std::size_t count, const W& w, CompiledChain& out, std::vector<double>& scores);

    // The same as score, for rows whose cells are spans (span_of(r) is row
    // r's).
    template <class SpanOf, class W>
    void score_spans(SpanOf span_of, const AccumEntry<double>* rows, std::size_t nrows, const uint32_t* labels,
                     std::size_t count, const W& w, CompiledChain& out, std::vector<double>& scores);

private:
    // Appends the candidates labels[0, count) to out, each label once,
    // marking their slots; returns how many.
    uint32_t add_candidates(const uint32_t* labels, std::size_t count, CompiledChain& out);
    void clear_slots(const CompiledChain& out, uint32_t first) {
        for (std::size_t c = first; c < out.cand_label.size(); ++c) slot_[out.cand_label[c]] = -1;
    }

    // Clears the slots of out's candidates from `first` on, on every way
    // out of a scope.
    struct SlotReset {
        EntrySpreader& s;
        const CompiledChain& out;
        uint32_t first;
        ~SlotReset() { s.clear_slots(out, first); }
    };

    std::vector<int32_t> slot_;  // per label: its candidate at the current position, or -1
    static constexpr coordinate_t kAbsent = ~coordinate_t(0);  // never a dictionary id (they are int32)
    std::vector<coordinate_t> grid_;
    struct Pair {
        coordinate_t id;
        double val;
    };
    std::vector<Pair> pairs_;  // a candidate's entries while they are sorted
    // At most this many candidates are scored one at a time (see score_spans).
    static constexpr uint32_t kFewCandidates = 4;
    std::vector<RowSpan> spans_;  // the spans of a position's rows
    std::vector<double> vals_;    // and their values

    // Whether the entries are kept without values: out has none so far,
    // and every row's value is 1.0. If not, out gets the values of 1.0 it
    // left out until now.
    static bool unit_values(const AccumEntry<double>* rows, std::size_t nrows, CompiledChain& out) {
        bool unit = out.entry_val.empty();
        for (std::size_t i = 0; i < nrows && unit; ++i) unit = rows[i].val == 1.0;
        if (!unit) out.entry_val.resize(out.entry_id.size(), 1.0);
        return unit;
    }
    // The spans of the rows into spans_, and with_values their values into
    // vals_.
    template <class SpanOf>
    void gather_spans(SpanOf span_of, const AccumEntry<double>* rows, std::size_t nrows, bool with_values) {
        spans_.resize(nrows);
        for (std::size_t i = 0; i < nrows; ++i) spans_[i] = span_of(rows[i].idx);
        if (!with_values) return;
        vals_.resize(nrows);
        for (std::size_t i = 0; i < nrows; ++i) vals_[i] = rows[i].val;
    }
    // Sorts the entries [lo, hi) of out by id (the ids of one label are
    // distinct).
    void sort_entries(CompiledChain& out, std::size_t lo, std::size_t hi, bool with_values);

    template <bool with_values, class Cells>
    void spread(const Cells& cells, bool monotone, const AccumEntry<double>* rows, std::size_t nrows,
                const uint32_t* labels, std::size_t count, CompiledChain& out);
};

template <class Cells>
void EntrySpreader::add(const Cells& cells, bool monotone, const AccumEntry<double>* rows, std::size_t nrows,
                        const uint32_t* labels, std::size_t count, CompiledChain& out) {
    if (unit_values(rows, nrows, out))
        spread<false>(cells, monotone, rows, nrows, labels, count, out);
    else
        spread<true>(cells, monotone, rows, nrows, labels, count, out);
}

template <bool with_values, class Cells>
void EntrySpreader::spread(const Cells& cells, bool monotone, const AccumEntry<double>* rows, std::size_t nrows,
                           const uint32_t* labels, std::size_t count, CompiledChain& out) {
    // The slots are cleared on every way out.
    const uint32_t first = static_cast<uint32_t>(out.cand_label.size());
    SlotReset reset{*this, out, first};
    const uint32_t ncand = add_candidates(labels, count, out);

    // A grid with a line per row and a column per candidate, and a last
    // column for the labels not offered: (i, k) holds the id of row i's
    // cell for candidate k, or kAbsent (a label has at most one cell per
    // row). It is filled in the cells' order and read column by column
    // with a single write cursor, so that no write waits on a cursor that
    // the write before it moved.
    grid_.assign(nrows * (ncand + 1), kAbsent);
    const int32_t* slot = slot_.data();
    for (std::size_t i = 0; i < nrows; ++i) {
        coordinate_t* line = grid_.data() + i;
        for (auto cell = cells.begin(rows[i].idx), end = cells.end(rows[i].idx); cell != end; ++cell)
            line[std::min(static_cast<uint32_t>(slot[cell->label]), ncand) * nrows] = cell->id;
    }
    std::size_t at = out.entry_id.size();
    out.entry_id.resize(at + ncand * nrows);  // at most; cut to size below
    if constexpr (with_values) out.entry_val.resize(at + ncand * nrows);
    coordinate_t* id = out.entry_id.data();
    double* val = with_values ? out.entry_val.data() : nullptr;
    for (uint32_t k = 0; k < ncand; ++k) {
        const std::size_t lo = at;
        const coordinate_t* column = grid_.data() + k * nrows;
        for (std::size_t i = 0; i < nrows; ++i) {
            const coordinate_t c = column[i];
            id[at] = c;
            if constexpr (with_values) val[at] = rows[i].val;
            at += c != kAbsent;
        }
        if (!monotone) sort_entries(out, lo, at, with_values);
        out.entry_start.push_back(static_cast<uint32_t>(at));
    }
    out.entry_id.resize(at);
    if constexpr (with_values) out.entry_val.resize(at);
}

template <class SpanOf>
void EntrySpreader::add_spans(SpanOf span_of, bool monotone, const AccumEntry<double>* rows, std::size_t nrows,
                              const uint32_t* labels, std::size_t count, CompiledChain& out) {
    const bool with_values = !unit_values(rows, nrows, out);
    const uint32_t first = static_cast<uint32_t>(out.cand_label.size());
    SlotReset reset{*this, out, first};
    const uint32_t ncand = add_candidates(labels, count, out);
    gather_spans(span_of, rows, nrows, with_values);
    std::size_t at = out.entry_id.size();
    out.entry_id.resize(at + ncand * nrows);  // at most; cut to size below
    if (with_values) out.entry_val.resize(at + ncand * nrows);
    for (uint32_t k = 0; k < ncand; ++k) {
        const std::size_t lo = at;
        at += span_entries(spans_.data(), with_values ? vals_.data() : nullptr, nrows, out.cand_label[first + k],
                           out.entry_id.data() + at, with_values ? out.entry_val.data() + at : nullptr);
        if (!monotone) sort_entries(out, lo, at, with_values);
        out.entry_start.push_back(static_cast<uint32_t>(at));
    }
    out.entry_id.resize(at);
    if (with_values) out.entry_val.resize(at);
}

inline void EntrySpreader::sort_entries(CompiledChain& out, std::size_t lo, std::size_t hi, bool with_values) {
    coordinate_t* id = out.entry_id.data();
    if (!with_values) {
        std::sort(id + lo, id + hi);
        return;
    }
    double* val = out.entry_val.data();
    pairs_.clear();
    for (std::size_t j = lo; j < hi; ++j) pairs_.push_back({id[j], val[j]});
    std::sort(pairs_.begin(), pairs_.end(), [](const Pair& x, const Pair& y) { return x.id < y.id; });
    for (std::size_t j = lo; j < hi; ++j) id[j] = pairs_[j - lo].id, val[j] = pairs_[j - lo].val;
}

inline uint32_t EntrySpreader::add_candidates(const uint32_t* labels, std::size_t count, CompiledChain& out) {
    const uint32_t first = static_cast<uint32_t>(out.cand_label.size());
    for (std::size_t i = 0; i < count; ++i) {
        const uint32_t l = labels[i];
        if (slot_[l] >= 0) continue;
        out.cand_label.push_back(l);
        slot_[l] = static_cast<int32_t>(out.cand_label.size() - 1 - first);
    }
    const uint32_t ncand = static_cast<uint32_t>(out.cand_label.size()) - first;
    out.cand_start.push_back(first + ncand);
    return ncand;
}

template <class Cells, class W>
void EntrySpreader::score(const Cells& cells, const AccumEntry<double>* rows, std::size_t nrows, const uint32_t* labels,
                          std::size_t count, const W& w, CompiledChain& out, std::vector<double>& scores) {
    const uint32_t first = static_cast<uint32_t>(out.cand_label.size());
    SlotReset reset{*this, out, first};
    const uint32_t ncand = add_candidates(labels, count, out);
    // Candidate k sums into sum[k], other labels into one of kTrash trash
    // sums, taken in turn so that their additions do not wait on each
    // other, and read a zero instead of a weight (no cache miss for a
    // label that is not offered): a loop without branches.
    constexpr uint32_t kTrash = 8;
    const std::size_t at = scores.size();
    scores.resize(at + ncand + kTrash, 0.0);
    double* sum = scores.data() + at;
    const int32_t* slot = slot_.data();
    const double zero = 0.0;
    uint32_t turn = 0;
    for (std::size_t i = 0; i < nrows; ++i) {
        const double val = rows[i].val;
        for (auto cell = cells.begin(rows[i].idx), end = cells.end(rows[i].idx); cell != end; ++cell) {
            const uint32_t s = static_cast<uint32_t>(slot[cell->label]);
            const bool offered = s < ncand;
            const uint32_t k = offered ? s : ncand + (turn++ & (kTrash - 1));
            const double* weight = offered ? w.at(cell->id) : &zero;
            sum[k] += val * *weight;
        }
    }
    scores.resize(at + ncand);  // without the trash
}

template <class SpanOf, class W>
void EntrySpreader::score_spans(SpanOf span_of, const AccumEntry<double>* rows, std::size_t nrows,
                                const uint32_t* labels, std::size_t count, const W& w, CompiledChain& out,
                                std::vector<double>& scores) {
    const uint32_t first = static_cast<uint32_t>(out.cand_label.size());
    SlotReset reset{*this, out, first};
    const uint32_t ncand = add_candidates(labels, count, out);
    const std::size_t at = scores.size();
    scores.resize(at + ncand, 0.0);
    double* sum = scores.data() + at;
    gather_spans(span_of, rows, nrows, true);
    // Each candidate's sum adds its rows' terms in row order, either way.
    // Few candidates (a tag dictionary) go one at a time over the rows;
    // many go row by row, over the labels each row has.
    if (ncand <= kFewCandidates) {
        for (uint32_t k = 0; k < ncand; ++k)
            sum[k] = span_sum(spans_.data(), vals_.data(), nrows, out.cand_label[first + k], w.at(0));
        return;
    }
    const int32_t* slot = slot_.data();
    for (std::size_t i = 0; i < nrows; ++i) {
        const double val = vals_[i];
        const coordinate_t id0 = spans_[i].first;
        uint64_t bits = spans_[i].labels;
        for (coordinate_t j = 0; bits; bits &= bits - 1, ++j) {
            const uint32_t s = static_cast<uint32_t>(slot[__builtin_ctzll(bits)]);
            if (s < ncand) sum[s] += val * w[id0 + j];
        }
    }
}

}  // namespace qv

#endif
