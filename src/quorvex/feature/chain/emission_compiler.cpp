#include "feature/chain/emission_compiler.h"

#include <algorithm>

#include "common/errors.h"

namespace qv {

bool EmissionCompiler::add_position(FeatureListObject* fl, const uint32_t* labels, std::size_t count,
                                    CompiledChain& out) {
    QV_TRY
    // The candidates, each label once.
    const uint32_t first = static_cast<uint32_t>(out.cand_label.size());
    // The slots are cleared on every way out.
    struct SlotReset {
        std::vector<int32_t>& slot;
        const CompiledChain& out;
        uint32_t first;
        ~SlotReset() {
            for (std::size_t c = first; c < out.cand_label.size(); ++c) slot[out.cand_label[c]] = -1;
        }
    } reset{slot_, out, first};
    for (std::size_t i = 0; i < count; ++i) {
        const uint32_t l = labels[i];
        if (slot_[l] >= 0) continue;
        out.cand_label.push_back(l);
        slot_[l] = static_cast<int32_t>(out.cand_label.size() - 1 - first);
    }
    const uint32_t ncand = static_cast<uint32_t>(out.cand_label.size()) - first;
    out.cand_start.push_back(first + ncand);

    // (row, value) of every base key the table knows, merged and in row
    // order: the accumulator sums repeats in the order they came, as the
    // label-conjoined vector does.
    Combiner& c = combiner_;
    c.begin(&table_.bases(), use_utf8_);
    if (bias_row_ >= 0) c.acc.add(static_cast<coordinate_t>(bias_row_), 1.0);
    const bool ok = c.load_part(fl) && c.combine(n_, false, nullptr, 0, 1.0) && c.flush();
    c.end();
    if (!ok) return false;
    c.acc.compact();
    const AccumEntry<double>* rows = c.acc.entries;
    const std::size_t nrows = c.acc.len;

    // Count, place, then fill each candidate's entries.
    fill_.assign(ncand + 1, 0);
    for (std::size_t i = 0; i < nrows; ++i)
        for (const EmissionTable::Cell* cell = table_.row_begin(rows[i].idx); cell != table_.row_end(rows[i].idx);
             ++cell)
            if (slot_[cell->label] >= 0) ++fill_[slot_[cell->label] + 1];
    const uint32_t base = static_cast<uint32_t>(out.entry_id.size());
    for (uint32_t s = 0; s < ncand; ++s) {
        fill_[s + 1] += fill_[s];
        out.entry_start.push_back(base + fill_[s + 1]);
    }
    out.entry_id.resize(base + fill_[ncand]);
    out.entry_val.resize(base + fill_[ncand]);
    for (std::size_t i = 0; i < nrows; ++i)
        for (const EmissionTable::Cell* cell = table_.row_begin(rows[i].idx); cell != table_.row_end(rows[i].idx);
             ++cell) {
            const int32_t s = slot_[cell->label];
            if (s < 0) continue;
            const uint32_t at = base + fill_[s]++;
            out.entry_id[at] = cell->id;
            out.entry_val[at] = rows[i].val;
        }
    if (!table_.monotone()) {
        // Each candidate's entries into id order (the ids are distinct).
        for (uint32_t s = 0; s < ncand; ++s) {
            const uint32_t lo = out.entry_start[first + s], hi = out.entry_start[first + s + 1];
            sort_.clear();
            for (uint32_t j = lo; j < hi; ++j) sort_.push_back({out.entry_id[j], out.entry_val[j]});
            std::sort(sort_.begin(), sort_.end(), [](const Pair& a, const Pair& b) { return a.id < b.id; });
            for (uint32_t j = lo; j < hi; ++j) {
                out.entry_id[j] = sort_[j - lo].id;
                out.entry_val[j] = sort_[j - lo].val;
            }
        }
    }
    return true;
    QV_CATCH(false)
}

}  // namespace qv
