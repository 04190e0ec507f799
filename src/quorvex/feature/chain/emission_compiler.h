// Compiles sentences: the base keys of every position's features (every
// conjunction of up to n features, as the combiner enumerates them) are
// probed once in an EmissionTable, all positions of a sentence in one
// batch (so that more cache misses overlap), merged into (row, value) pairs
// per position, and spread over the candidate labels as their emission
// entries.
#ifndef QUORVEX_FEATURE_CHAIN_EMISSION_COMPILER_H
#define QUORVEX_FEATURE_CHAIN_EMISSION_COMPILER_H

#include <cstdint>
#include <vector>

#include "feature/chain/compiled_chain.h"
#include "feature/chain/emission_table.h"
#include "feature/chain/entry_spreader.h"
#include "feature/chain/viterbi.h"
#include "feature/combine/combiner.h"

namespace qv {

class EmissionCompiler {
public:
    // n: the combiner's conjunction order; bias_row: the row of the bias
    // word (added first, with 1.0, as the combiner adds "label^bias"), or -1.
    EmissionCompiler(EmissionTable& table, int use_utf8, int n, int64_t bias_row, std::size_t labels)
        : table_(table), use_utf8_(use_utf8), n_(n), bias_row_(bias_row), spreader_(labels) {}
    ~EmissionCompiler() {
        for (SparseAccum<double>& a : accs_) a.release();
    }
    EmissionCompiler(const EmissionCompiler&) = delete;
    EmissionCompiler& operator=(const EmissionCompiler&) = delete;

    // Appends the positions of a sentence to out: position k has the
    // features flists[k] (kept alive by the caller throughout) and the
    // candidate labels labels[start[k], start[k + 1]), taken without
    // repeats. False with a Python error (a feature name that is not a
    // str); out then holds a partial sentence, to be discarded.
    bool add_sentence(FeatureListObject* const* flists, std::size_t positions, const uint32_t* labels,
                      const uint32_t* start, CompiledChain& out);

    // The same positions, but with each candidate's emission score under w
    // (appended to scores) in place of its entries; only for a monotone
    // table (see EntrySpreader::score).
    bool score_sentence(FeatureListObject* const* flists, std::size_t positions, const uint32_t* labels,
                        const uint32_t* start, const Weights& w, CompiledChain& out, std::vector<double>& scores);

private:
    // The merged (row, value) pairs of every position into accs_.
    bool probe_sentence(FeatureListObject* const* flists, std::size_t positions);

    EmissionTable& table_;
    int use_utf8_;
    int n_;
    int64_t bias_row_;
    BasicCombiner<EmissionTable> combiner_;
    std::vector<SparseAccum<double>> accs_;  // per position: its (row, value) pairs
    EntrySpreader spreader_;

    static void prefetch_names(FeatureListObject* const* flists, std::size_t positions);
};

}  // namespace qv

#endif
