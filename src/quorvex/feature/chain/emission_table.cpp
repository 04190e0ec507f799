#include "feature/chain/emission_table.h"

#include <cstring>

namespace qv {

void EmissionTable::build(const CPPAlphabet& dict, const std::vector<std::string>& labels) {
    CPPAlphabet label_ids;
    for (const std::string& l : labels) label_ids.lookup(l.data(), l.size());
    label_ids.growing = false;

    // Every (row, label, id) of the dictionary, in id order.
    struct Hit {
        uint32_t row;
        Cell cell;
    };
    std::vector<Hit> hits;
    bases_.clear();
    bases_.growing = true;
    const std::size_t n = dict.size();
    for (std::size_t id = 0; id < n; ++id) {
        const char* w = dict.word(static_cast<int32_t>(id));
        const std::size_t len = dict.word_len(static_cast<int32_t>(id));
        for (const char* caret = static_cast<const char*>(std::memchr(w, '^', len)); caret;
             caret = static_cast<const char*>(std::memchr(caret + 1, '^', len - (caret + 1 - w)))) {
            const int32_t label = label_ids.find(w, static_cast<std::size_t>(caret - w));
            if (label < 0) continue;
            const char* base = caret + 1;
            const int32_t row = bases_.lookup(base, len - (base - w));
            hits.push_back({static_cast<uint32_t>(row), {static_cast<uint32_t>(label), static_cast<coordinate_t>(id)}});
        }
    }
    bases_.growing = false;

    // Counting sort by row; stable, so every row keeps id order.
    const std::size_t nrows = bases_.size();
    row_start_.assign(nrows + 1, 0);
    for (const Hit& h : hits) ++row_start_[h.row + 1];
    for (std::size_t r = 0; r < nrows; ++r) row_start_[r + 1] += row_start_[r];
    cells_.resize(hits.size());
    std::vector<uint32_t> fill(row_start_.begin(), row_start_.end() - 1);
    for (const Hit& h : hits) cells_[fill[h.row]++] = h.cell;

    // Monotone: walking the rows in order meets each label's ids in
    // increasing order.
    std::vector<int64_t> last(labels.size(), -1);
    monotone_ = true;
    for (const Cell& c : cells_) {
        if (static_cast<int64_t>(c.id) <= last[c.label]) {
            monotone_ = false;
            break;
        }
        last[c.label] = c.id;
    }
}

}  // namespace qv
