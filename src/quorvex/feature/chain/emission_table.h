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
// The table is an open-addressing hash table over one arena, like
// CPPAlphabet, with each row's (label, id) cells stored right after its
// key: the probe that finds a row has brought its cells into cache. A row
// is named by the offset of its entry in the arena (in 8-byte units), so
// that the combiner can accumulate rows like ids; rows lie in the arena in
// the order their first key appears in the dictionary.
//
// When every row's cells are a span (see row_spans.h), as key registration
// lays them out, a row stores its span instead of its cells (`spans`): a
// sixteenth of the bytes for a row of 8 cells, and entries found without
// walking cells.
//
// When, for every label, the ids of its keys grow with that order
// (`monotone`), a position's entries taken in row order are already in id
// order for every label, which is the order in which a sparse vector's
// dot product adds them; otherwise each label's entries must be sorted.
#ifndef QUORVEX_FEATURE_CHAIN_EMISSION_TABLE_H
#define QUORVEX_FEATURE_CHAIN_EMISSION_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "cxx_alph.h"
#include "cxx_gram.h"
#include "feature/chain/row_spans.h"

namespace qv {

class EmissionTable {
public:
    struct Cell {
        uint32_t label;
        coordinate_t id;
    };

    // Regroups every key of dict that starts with "<label>^" for one of
    // labels (as the dictionary stores them). A key may belong to several
    // labels when a label's bytes contain '^'. Throws std::bad_alloc.
    void build(const CPPAlphabet& dict, const std::vector<std::string>& labels);
    // The same from rows known already: base key r is bases.word(r) and has
    // the cells [start[r], start[r + 1]), in id order; rows in the order of
    // their first key in the dictionary.
    void layout(const CPPAlphabet& bases, const std::vector<uint32_t>& start, const std::vector<Cell>& cells,
                std::size_t labels);

    std::size_t rows() const { return rows_; }
    bool monotone() const { return monotone_; }
    // Whether rows are stored as spans (then span() is to be used, not the
    // cells).
    bool spans() const { return spans_; }

    // The combiner's probing calls: the row of a base key, or -1.
    void prefetch(uint64_t h) const {
        if (!slots_.empty()) prefetch_line(&slots_[h & mask_]);
    }
    void prefetch_entry(uint64_t h) const {
        if (slots_.empty()) return;
        const Slot& s = slots_[h & mask_];
        if (s.entry_plus_one != 0 && s.tag == static_cast<uint32_t>(h >> 32)) {
            prefetch_line(&arena_[s.entry_plus_one - 1]);
            prefetch_line(&arena_[s.entry_plus_one - 1] + 8);  // the cells may spill into the next line
        }
    }
    int32_t lookup(const char* p, std::size_t n, uint64_t h) const {
        if (slots_.empty()) return -1;
        const uint32_t tag = static_cast<uint32_t>(h >> 32);
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.entry_plus_one == 0) return -1;
            if (s.tag != tag) continue;
            const uint32_t row = s.entry_plus_one - 1;
            const Header* e = header(row);
            if (e->key_len == n && bytes_equal(reinterpret_cast<const char*>(e + 1), p, n))
                return static_cast<int32_t>(row);
        }
    }
    int32_t find(const char* p, std::size_t n) const { return lookup(p, n, hash_bytes(p, n)); }

    // A row's span (only when spans()).
    RowSpan span(uint32_t row) const {
        const uint64_t* p = &arena_[row + 1 + (header(row)->key_len + 7) / 8];
        return RowSpan{p[0], static_cast<coordinate_t>(p[1])};
    }
    // The (label, id) cells of a row, in id order (only when !spans()).
    const Cell* cells_begin(uint32_t row) const {
        const Header* e = header(row);
        return reinterpret_cast<const Cell*>(&arena_[row + 1 + (e->key_len + 7) / 8]);
    }
    const Cell* cells_end(uint32_t row) const { return cells_begin(row) + header(row)->cells; }
    // The same, as the cell source of an EntrySpreader.
    const Cell* begin(uint32_t row) const { return cells_begin(row); }
    const Cell* end(uint32_t row) const { return cells_end(row); }

private:
    struct Slot {
        uint32_t entry_plus_one;
        uint32_t tag;
    };
    struct Header {
        uint32_t key_len;
        uint32_t cells;
    };
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::vector<uint64_t> arena_;  // per row: header, key bytes (8-byte padded), cells
    std::size_t rows_ = 0;
    bool monotone_ = true;
    bool spans_ = false;

    const Header* header(uint32_t row) const { return reinterpret_cast<const Header*>(&arena_[row]); }
};

}  // namespace qv

#endif
