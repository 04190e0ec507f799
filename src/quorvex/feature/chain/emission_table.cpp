#include "feature/chain/emission_table.h"

#include <cstring>

namespace qv {

void EmissionTable::build(const CPPAlphabet& dict, const std::vector<std::string>& labels) {
    CPPAlphabet label_ids;
    for (const std::string& l : labels) label_ids.lookup(l.data(), l.size());
    label_ids.growing = false;

    // Every (base key, label, id) of the dictionary, in id order; base keys
    // are numbered as they first occur.
    struct Hit {
        uint32_t base;
        Cell cell;
    };
    std::vector<Hit> hits;
    CPPAlphabet bases;
    const std::size_t n = dict.size();
    for (std::size_t id = 0; id < n; ++id) {
        const char* w = dict.word(static_cast<int32_t>(id));
        const std::size_t len = dict.word_len(static_cast<int32_t>(id));
        for (const char* caret = static_cast<const char*>(std::memchr(w, '^', len)); caret;
             caret = static_cast<const char*>(std::memchr(caret + 1, '^', len - (caret + 1 - w)))) {
            const int32_t label = label_ids.find(w, static_cast<std::size_t>(caret - w));
            if (label < 0) continue;
            const char* base = caret + 1;
            const int32_t b = bases.lookup(base, len - (base - w));
            hits.push_back({static_cast<uint32_t>(b), {static_cast<uint32_t>(label), static_cast<coordinate_t>(id)}});
        }
    }

    // The cells grouped by base key (a stable counting sort keeps id order).
    const std::size_t nrows = bases.size();
    std::vector<uint32_t> start(nrows + 1, 0);
    for (const Hit& h : hits) ++start[h.base + 1];
    for (std::size_t r = 0; r < nrows; ++r) start[r + 1] += start[r];
    std::vector<Cell> cells(hits.size());
    {
        std::vector<uint32_t> fill(start.begin(), start.end() - 1);
        for (const Hit& h : hits) cells[fill[h.base]++] = h.cell;
    }

    layout(bases, start, cells, labels.size());
}

void EmissionTable::layout(const CPPAlphabet& bases, const std::vector<uint32_t>& start, const std::vector<Cell>& cells,
                           std::size_t labels) {
    rows_ = bases.size();
    // Monotone: walking the rows in order meets each label's ids in
    // increasing order.
    std::vector<int64_t> last(labels, -1);
    monotone_ = true;
    for (const Cell& c : cells) {
        if (static_cast<int64_t>(c.id) <= last[c.label]) {
            monotone_ = false;
            break;
        }
        last[c.label] = c.id;
    }

    // Spans when every row's cells are one (two units per row: the label
    // bits and the first id).
    std::vector<RowSpan> spans;
    struct RowCells {
        const std::vector<uint32_t>& start;
        const std::vector<Cell>& cells;
        const Cell* begin(uint32_t r) const { return cells.data() + start[r]; }
        const Cell* end(uint32_t r) const { return cells.data() + start[r + 1]; }
    };
    spans_ = labels <= 64 && make_row_spans(RowCells{start, cells}, rows_, spans);
    auto row_units = [&](std::size_t r) -> std::size_t { return spans_ ? 2 : start[r + 1] - start[r]; };

    // The arena, row after row, and the slots.
    std::size_t units = 8;  // padding, so that prefetching past the last row stays inside
    for (std::size_t r = 0; r < rows_; ++r)
        units += 1 + (bases.word_len(static_cast<int32_t>(r)) + 7) / 8 + row_units(r);
    if (units > UINT32_MAX - 1) throw std::length_error("emission table too large");
    arena_.assign(units, 0);
    std::size_t cap = 64;
    while (cap < 2 * rows_) cap *= 2;
    slots_.assign(cap, Slot{0, 0});
    mask_ = cap - 1;
    std::size_t at = 0;
    for (std::size_t r = 0; r < rows_; ++r) {
        const char* key = bases.word(static_cast<int32_t>(r));
        const std::size_t key_len = bases.word_len(static_cast<int32_t>(r));
        const uint32_t ncells = start[r + 1] - start[r];
        Header* e = reinterpret_cast<Header*>(&arena_[at]);
        e->key_len = static_cast<uint32_t>(key_len);
        e->cells = ncells;
        std::memcpy(&arena_[at + 1], key, key_len);
        uint64_t* body = &arena_[at + 1 + (key_len + 7) / 8];
        if (spans_) {
            body[0] = spans[r].labels;
            body[1] = spans[r].first;
        } else {
            std::memcpy(body, cells.data() + start[r], ncells * sizeof(Cell));
        }
        const uint64_t h = hash_bytes(key, key_len);
        std::size_t i = h & mask_;
        while (slots_[i].entry_plus_one != 0) i = (i + 1) & mask_;
        slots_[i] = Slot{static_cast<uint32_t>(at + 1), static_cast<uint32_t>(h >> 32)};
        at += 1 + (key_len + 7) / 8 + row_units(r);
    }
}

}  // namespace qv
