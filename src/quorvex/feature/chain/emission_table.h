// The emission keys of a frozen dictionary, regrouped for a linear-chain
// model: a label-conjoined key "L^k" is found as row k (the base key) and,
// within the row, label L.
//
// A position's features are then probed once, as base keys, instead of
// once per candidate label: fc(flist, labels=[L]) has the entry
// (id("L^k"), value of k) for every base key k that the combiner
// enumerates and the dictionary holds with L, so the vector of every label
// follows from one list of (row, value) pairs.
//
// Rows are numbered in the order their first key appears in the
// dictionary. When, for every label, the ids of its keys grow with the row
// number (`monotone`), a position's entries taken in row order are already
// in id order for every label, which is the order in which a sparse
// vector's dot product adds them; otherwise each label's entries must be
// sorted by id.
#ifndef QUORVEX_FEATURE_CHAIN_EMISSION_TABLE_H
#define QUORVEX_FEATURE_CHAIN_EMISSION_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "cxx_alph.h"
#include "cxx_gram.h"

namespace qv {

class EmissionTable {
public:
    // Regroups every key of dict that starts with "<label>^" for one of
    // labels (as the dictionary stores them). A key may belong to several
    // labels when a label's bytes contain '^'. Throws std::bad_alloc.
    void build(const CPPAlphabet& dict, const std::vector<std::string>& labels);

    // The base keys, probed by the combiner; frozen after build.
    CPPAlphabet& bases() { return bases_; }
    std::size_t rows() const { return row_start_.empty() ? 0 : row_start_.size() - 1; }
    bool monotone() const { return monotone_; }

    // The (label, id) pairs of row r, in id order.
    struct Cell {
        uint32_t label;
        coordinate_t id;
    };
    const Cell* row_begin(std::size_t r) const { return cells_.data() + row_start_[r]; }
    const Cell* row_end(std::size_t r) const { return cells_.data() + row_start_[r + 1]; }
    std::size_t cells() const { return cells_.size(); }

private:
    CPPAlphabet bases_;
    std::vector<uint32_t> row_start_;
    std::vector<Cell> cells_;
    bool monotone_ = true;
};

}  // namespace qv

#endif
