// A sentence with every feature lookup resolved: per position its
// candidate labels (distinct, in the order first given), and per candidate
// the entries of its emission vector, fc(flist, labels=[label]), as
// (id, value) pairs in id order. Decoding and training read only these
// arrays; compiling a training sentence once serves every epoch. When
// every value is 1.0 (binary features, the usual case) the values are not
// kept: a third of the memory, and of what each epoch reads.
#ifndef QUORVEX_FEATURE_CHAIN_COMPILED_CHAIN_H
#define QUORVEX_FEATURE_CHAIN_COMPILED_CHAIN_H

#include <cstdint>
#include <vector>

#include "cxx_gram.h"

namespace qv {

struct CompiledChain {
    std::vector<uint32_t> cand_start{0};   // candidates of position k: [cand_start[k], cand_start[k + 1])
    std::vector<uint32_t> cand_label;      // label index of each candidate
    std::vector<uint32_t> entry_start{0};  // entries of candidate c: [entry_start[c], entry_start[c + 1])
    std::vector<coordinate_t> entry_id;
    std::vector<double> entry_val;  // empty when every value is 1.0
    std::vector<uint32_t> gold;     // one label index per position, or empty

    double value(std::size_t j) const { return entry_val.empty() ? 1.0 : entry_val[j]; }
    std::size_t positions() const { return cand_start.size() - 1; }
    std::size_t candidates() const { return cand_label.size(); }
    void clear() {
        cand_start.assign(1, 0);
        cand_label.clear();
        entry_start.assign(1, 0);
        entry_id.clear();
        entry_val.clear();
        gold.clear();
    }
    // The candidate of position k with label l, or -1.
    int64_t find(std::size_t k, uint32_t l) const {
        for (uint32_t c = cand_start[k]; c < cand_start[k + 1]; ++c)
            if (cand_label[c] == l) return c;
        return -1;
    }
    std::size_t bytes() const {
        return (cand_start.capacity() + cand_label.capacity() + entry_start.capacity() + gold.capacity()) *
                   sizeof(uint32_t) +
               entry_id.capacity() * sizeof(coordinate_t) + entry_val.capacity() * sizeof(double);
    }
};

}  // namespace qv

#endif
