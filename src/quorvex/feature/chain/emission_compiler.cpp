#include "feature/chain/emission_compiler.h"

#include <algorithm>

#include "common/errors.h"

namespace qv {

bool EmissionCompiler::probe_sentence(FeatureListObject* const* flists, std::size_t positions) {
    if (accs_.size() < positions) accs_.resize(positions, SparseAccum<double>{});
    prefetch_names(flists, positions);
    // (row, value) of every base key the table knows, per position: the
    // accumulators sum repeats in the order they came, as the
    // label-conjoined vector does, which also starts with the bias.
    BasicCombiner<EmissionTable>& c = combiner_;
    c.begin(&table_, use_utf8_, true);
    bool ok = true;
    for (std::size_t k = 0; k < positions && ok; ++k) {
        accs_[k].clear();
        if (bias_row_ >= 0) accs_[k].add(static_cast<coordinate_t>(bias_row_), 1.0);
        c.target(&accs_[k]);
        ok = c.load_part(flists[k]) && c.combine(n_, false, nullptr, 0, 1.0);
    }
    ok = ok && c.flush();
    c.target(nullptr);
    c.end();
    if (!ok) return false;
    for (std::size_t k = 0; k < positions; ++k) accs_[k].compact();
    return true;
}

bool EmissionCompiler::add_sentence(FeatureListObject* const* flists, std::size_t positions, const uint32_t* labels,
                                    const uint32_t* start, CompiledChain& out) {
    QV_TRY
    if (!probe_sentence(flists, positions)) return false;
    auto span_of = [this](uint32_t row) { return table_.span(row); };
    for (std::size_t k = 0; k < positions; ++k) {
        const AccumEntry<double>* rows = accs_[k].entries;
        const std::size_t nrows = accs_[k].len, count = start[k + 1] - start[k];
        if (table_.spans())
            spreader_.add_spans(span_of, table_.monotone(), rows, nrows, labels + start[k], count, out);
        else
            spreader_.add(table_, table_.monotone(), rows, nrows, labels + start[k], count, out);
    }
    return true;
    QV_CATCH(false)
}

bool EmissionCompiler::score_sentence(FeatureListObject* const* flists, std::size_t positions, const uint32_t* labels,
                                      const uint32_t* start, const Weights& w, CompiledChain& out,
                                      std::vector<double>& scores) {
    QV_TRY
    if (!probe_sentence(flists, positions)) return false;
    auto span_of = [this](uint32_t row) { return table_.span(row); };
    for (std::size_t k = 0; k < positions; ++k) {
        const AccumEntry<double>* rows = accs_[k].entries;
        const std::size_t nrows = accs_[k].len, count = start[k + 1] - start[k];
        if (table_.spans())
            spreader_.score_spans(span_of, rows, nrows, labels + start[k], count, w, out, scores);
        else
            spreader_.score(table_, rows, nrows, labels + start[k], count, w, out, scores);
    }
    return true;
    QV_CATCH(false)
}

void EmissionCompiler::prefetch_names(FeatureListObject* const* flists, std::size_t positions) {
    // The names of a sentence's feature lists lie anywhere in memory, three
    // dependent reads away (list, item array, name): start each stage for
    // every position before the next, so that the misses overlap.
    for (std::size_t k = 0; k < positions; ++k)
        if (flists[k]->features) prefetch_line(flists[k]->features);
    for (std::size_t k = 0; k < positions; ++k) {
        PyObject* names = flists[k]->features;
        if (!names || !PyList_Check(names)) continue;
        PyObject** items = reinterpret_cast<PyListObject*>(names)->ob_item;
        const Py_ssize_t m = PyList_GET_SIZE(names);
        for (Py_ssize_t i = 0; i < m; i += 8) prefetch_line(items + i);
    }
    for (std::size_t k = 0; k < positions; ++k) {
        PyObject* names = flists[k]->features;
        if (!names || !PyList_Check(names)) continue;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) prefetch_line(PyList_GET_ITEM(names, i));
    }
}

}  // namespace qv
