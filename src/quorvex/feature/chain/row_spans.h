// A row's cells as a span: when the ids of a row's cells follow one
// another in label order (as key registration adds them), the row is one
// bit per label that has a cell and the id of its first cell; the cell of
// label l is then first + (the number of the row's labels below l). A
// position's entries for one label come out of its rows' spans without
// walking any cell, in one loop without branches.
#ifndef QUORVEX_FEATURE_CHAIN_ROW_SPANS_H
#define QUORVEX_FEATURE_CHAIN_ROW_SPANS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cxx_gram.h"

namespace qv {

struct RowSpan {
    uint64_t labels;  // bit l: the row has a cell for label l
    coordinate_t first;
};

// The spans of rows [0, rows) from their cells (Cells::begin(r) / end(r):
// objects with `label` and `id`, in label order); false, with spans left
// empty, when some row's cells are not a span or a label is past 63.
template <class Cells>
bool make_row_spans(const Cells& cells, std::size_t rows, std::vector<RowSpan>& spans) {
    spans.assign(rows, RowSpan{0, 0});
    for (std::size_t r = 0; r < rows; ++r) {
        RowSpan& s = spans[r];
        auto cell = cells.begin(static_cast<uint32_t>(r)), end = cells.end(static_cast<uint32_t>(r));
        if (cell != end) s.first = cell->id;
        for (coordinate_t next = s.first; cell != end; ++cell, ++next) {
            const uint64_t bit = cell->label < 64 ? uint64_t(1) << cell->label : 0;
            if (!bit || cell->id != next || (s.labels & ~(bit - 1))) {  // past 63, a gap, or out of label order
                spans.clear();
                return false;
            }
            s.labels |= bit;
        }
    }
    return true;
}

// Writes label's entries over the rows span[0, n) to id (and, with vals,
// their values to val), in row order; returns how many. id and val have
// room for n.
std::size_t span_entries(const RowSpan* span, const double* vals, std::size_t n, uint32_t label, coordinate_t* id,
                         double* val);

// The sum over the rows span[0, n) that have label, in row order, of
// vals[i] times w[the row's id for label]: the
// emission score of a candidate. Rows without the label add +0.0, which
// leaves a sum that starts at +0.0 unchanged bit for bit.
double span_sum(const RowSpan* span, const double* vals, std::size_t n, uint32_t label, const double* w);

}  // namespace qv

#endif
