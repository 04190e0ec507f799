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
#include <type_traits>
#include <vector>

#include "feature/chain/compiled_chain.h"
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

    // The same candidates, but instead of their entries their emission
    // scores, appended to scores: the sum of value * w[id] over a
    // candidate's entries in row order, which is the dot product's order
    // when the table is monotone (the only case this may be used in).
    template <class Cells, class W>
    void score(const Cells& cells, const AccumEntry<double>* rows, std::size_t nrows, const uint32_t* labels,
               std::size_t count, const W& w, CompiledChain& out, std::vector<double>& scores);

private:
    // Appends the candidates labels[0, count) to out, each label once,
    // marking their slots; returns how many.
    uint32_t add_candidates(const uint32_t* labels, std::size_t count, CompiledChain& out);
    void clear_slots(const CompiledChain& out, uint32_t first) {
        for (std::size_t c = first; c < out.cand_label.size(); ++c) slot_[out.cand_label[c]] = -1;
    }

    std::vector<int32_t> slot_;  // per label: its candidate at the current position, or -1
    struct Pair {
        coordinate_t id;
        double val;
    };
    // Per candidate of the current position, then a trash entry: its
    // entries, with or without values.
    std::vector<Pair> pairs_;
    std::vector<coordinate_t> ids_;
    std::vector<Pair*> pair_cursor_;
    std::vector<coordinate_t*> id_cursor_;
    std::vector<std::size_t> step_;
    template <class Slot>
    std::vector<Slot>& scratch_of() {
        if constexpr (std::is_same_v<Slot, Pair>)
            return pairs_;
        else
            return ids_;
    }
    template <class Slot>
    std::vector<Slot*>& cursor_of() {
        if constexpr (std::is_same_v<Slot, Pair>)
            return pair_cursor_;
        else
            return id_cursor_;
    }

    template <bool with_values, class Cells>
    void spread(const Cells& cells, bool monotone, const AccumEntry<double>* rows, std::size_t nrows,
                const uint32_t* labels, std::size_t count, CompiledChain& out);
};

template <class Cells>
void EntrySpreader::add(const Cells& cells, bool monotone, const AccumEntry<double>* rows, std::size_t nrows,
                        const uint32_t* labels, std::size_t count, CompiledChain& out) {
    // The values are kept only once one is not 1.0; those before it are 1.0.
    bool unit = out.entry_val.empty();
    for (std::size_t i = 0; i < nrows && unit; ++i) unit = rows[i].val == 1.0;
    if (!unit) out.entry_val.resize(out.entry_id.size(), 1.0);
    if (unit)
        spread<false>(cells, monotone, rows, nrows, labels, count, out);
    else
        spread<true>(cells, monotone, rows, nrows, labels, count, out);
}

template <bool with_values, class Cells>
void EntrySpreader::spread(const Cells& cells, bool monotone, const AccumEntry<double>* rows, std::size_t nrows,
                           const uint32_t* labels, std::size_t count, CompiledChain& out) {
    // The slots are cleared on every way out.
    const uint32_t first = static_cast<uint32_t>(out.cand_label.size());
    struct SlotReset {
        EntrySpreader& s;
        const CompiledChain& out;
        uint32_t first;
        ~SlotReset() { s.clear_slots(out, first); }
    } reset{*this, out, first};
    const uint32_t ncand = add_candidates(labels, count, out);

    // Candidate k writes to its own stretch of the scratch (a label has at
    // most one cell per row), other labels to a trash entry, so that the
    // loop has no branches. Without values the scratch holds ids only.
    using Slot = std::conditional_t<with_values, Pair, coordinate_t>;
    std::vector<Slot>& scratch = scratch_of<Slot>();
    const std::size_t stride = nrows + 1;
    scratch.resize((ncand + 1) * stride);
    std::vector<Slot*>& cursor = cursor_of<Slot>();
    cursor.resize(ncand + 1);
    step_.resize(ncand + 1);
    for (uint32_t k = 0; k <= ncand; ++k) {
        cursor[k] = scratch.data() + k * stride;
        step_[k] = k < ncand ? 1 : 0;
    }
    const int32_t* slot = slot_.data();
    Slot** cur = cursor.data();
    const std::size_t* step = step_.data();
    for (std::size_t i = 0; i < nrows; ++i) {
        const double val = rows[i].val;
        for (auto cell = cells.begin(rows[i].idx), end = cells.end(rows[i].idx); cell != end; ++cell) {
            const uint32_t k = std::min(static_cast<uint32_t>(slot[cell->label]), ncand);
            Slot* p = cur[k];
            if constexpr (with_values)
                *p = {cell->id, val};
            else
                *p = cell->id;
            cur[k] = p + step[k];
        }
    }
    std::size_t total = 0;
    for (uint32_t k = 0; k < ncand; ++k) total += static_cast<std::size_t>(cur[k] - (scratch.data() + k * stride));
    std::size_t at = out.entry_id.size();
    out.entry_id.resize(at + total);
    if constexpr (with_values) out.entry_val.resize(at + total);
    for (uint32_t k = 0; k < ncand; ++k) {
        Slot* lo = scratch.data() + k * stride;
        Slot* hi = cur[k];
        // The ids of one label are distinct.
        if constexpr (with_values) {
            if (!monotone) std::sort(lo, hi, [](const Pair& x, const Pair& y) { return x.id < y.id; });
            for (const Pair* p = lo; p != hi; ++p, ++at) {
                out.entry_id[at] = p->id;
                out.entry_val[at] = p->val;
            }
        } else {
            if (!monotone) std::sort(lo, hi);
            std::copy(lo, hi, out.entry_id.data() + at);
            at += static_cast<std::size_t>(hi - lo);
        }
        out.entry_start.push_back(static_cast<uint32_t>(at));
    }
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
    struct SlotReset {
        EntrySpreader& s;
        const CompiledChain& out;
        uint32_t first;
        ~SlotReset() { s.clear_slots(out, first); }
    } reset{*this, out, first};
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

}  // namespace qv

#endif
