// Compiles positions: the base keys of a position's features (every
// conjunction of up to n features, as the combiner enumerates them) are
// probed once in an EmissionTable, merged into (row, value) pairs, and
// spread over the candidate labels as their emission entries.
#ifndef QUORVEX_FEATURE_CHAIN_EMISSION_COMPILER_H
#define QUORVEX_FEATURE_CHAIN_EMISSION_COMPILER_H

#include <cstdint>
#include <vector>

#include "feature/chain/compiled_chain.h"
#include "feature/chain/emission_table.h"
#include "feature/combine/combiner.h"

namespace qv {

class EmissionCompiler {
public:
    // n: the combiner's conjunction order; bias_row: the row of the bias
    // word (added first, with 1.0, as the combiner adds "label^bias"), or -1.
    EmissionCompiler(EmissionTable& table, int use_utf8, int n, int64_t bias_row, std::size_t labels)
        : table_(table), use_utf8_(use_utf8), n_(n), bias_row_(bias_row), slot_(labels, -1) {}
    EmissionCompiler(const EmissionCompiler&) = delete;
    EmissionCompiler& operator=(const EmissionCompiler&) = delete;

    // Appends position (fl, candidate labels) to out: the candidates
    // without repeats, then their entries. False with a Python error (a
    // feature name that is not a str); out is then left with a partial
    // position, to be discarded.
    bool add_position(FeatureListObject* fl, const uint32_t* labels, std::size_t count, CompiledChain& out);

private:
    EmissionTable& table_;
    int use_utf8_;
    int n_;
    int64_t bias_row_;
    Combiner combiner_;
    std::vector<int32_t> slot_;  // per label: its candidate of the current position, or -1
    std::vector<uint32_t> fill_;
    struct Pair {
        coordinate_t id;
        double val;
    };
    std::vector<Pair> sort_;
};

}  // namespace qv

#endif
