// Viterbi decoding of a compiled sentence, scored exactly as the forest
// that make_simple_crf builds for the same candidates is scored by
// decode_simple_crf, so both choose the same labels, ties included:
//
//   start node    s0 = fc([]) . w   (0 unless the combiner has a bias)
//   candidate     e(k, l) = fc(flist_k, labels=[l]) . w
//   transition    t(p, l) = fc([("T<p>-<l>", 1.0)]) . w, and into the last
//                 position fc([("T<p>-<l>", 1.0), ("STOP", 1.0)]) . w
//   state (k, l)  inside = max over p of (t(p, l) + e(k, l)) + inside(k-1, p),
//                 at least the floor (-1000.0 in a forest), then + s0; the
//                 later of equal scores wins
//   stop          the best state of the last position by the same rule
//
// Every sum is taken in the forest's order (dot products add a vector's
// entries in id order from 0.0), so the scores are equal bit for bit. A
// chosen state whose transitions all score below the floor has no best
// derivation: decoding fails there, as the forest's extraction does. A
// floor of -inf keeps every path (only NaN scores can then fail).
#ifndef QUORVEX_FEATURE_CHAIN_VITERBI_H
#define QUORVEX_FEATURE_CHAIN_VITERBI_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "feature/chain/compiled_chain.h"

namespace qv {

// A dense weight array as a decode reads it (contiguous).
struct Weights {
    const double* data;
    const double* at(coordinate_t k) const { return data + k; }
    double operator[](coordinate_t k) const { return data[k]; }
};

// A number never handed out before (from 1).
inline uint64_t next_serial() {
    static std::atomic<uint64_t> last{0};
    return ++last;
}

// Small sparse vectors (id order) in one flat store.
struct VectorStore {
    std::vector<uint32_t> start{0};
    std::vector<coordinate_t> id;
    std::vector<double> val;

    std::size_t size() const { return start.size() - 1; }
    void add(const coordinate_t* ids, const double* vals, std::size_t n) {
        id.insert(id.end(), ids, ids + n);
        val.insert(val.end(), vals, vals + n);
        start.push_back(static_cast<uint32_t>(id.size()));
    }
    double dot(std::size_t v, const Weights& w) const {
        double s = 0.0;
        for (uint32_t j = start[v]; j < start[v + 1]; ++j) s += val[j] * w[id[j]];
        return s;
    }
};

// The vectors of the nodes that are not candidates: vector 0 is fc([]);
// then, for previous label p (0 the start, l + 1 label l) and label l,
// the transition vector at 1 + 2 * (p * labels + l) and its variant into
// the last position right after it.
struct ChainVectors {
    VectorStore store;
    uint32_t labels = 0;
    // Tells these vectors from any other model's: a decoder keeps scores
    // made from them while this and the weights they read are unchanged.
    uint64_t serial = next_serial();

    std::size_t transition(uint32_t prev_plus_one, uint32_t l, bool last) const {
        return 1 + 2 * (static_cast<std::size_t>(prev_plus_one) * labels + l) + (last ? 1 : 0);
    }
};

class ViterbiDecoder {
public:
    // Decodes positions of cs against w into labels (one label index per
    // position). Returns -1, or the position whose chosen state has no
    // transition at or above `floor` (positions() for the stop node).
    // emissions: the candidates' emission scores when known already (then
    // cs need not hold entries), else computed from cs.
    int64_t decode(const CompiledChain& cs, const ChainVectors& vectors, const Weights& w,
                   std::vector<uint32_t>& labels, double floor, const double* emissions = nullptr);

private:
    // Transition scores of this decode, computed when first needed.
    std::vector<double> tscore_;
    std::vector<uint64_t> tstamp_;
    uint64_t stamp_ = 0;
    std::vector<double> inside_;    // per candidate
    std::vector<double> emission_;  // per candidate
    // Every transition score (dense mode), kept from one decode to the
    // next while the vectors (by serial) and the weights they read are
    // unchanged, as they are across a training epoch's right guesses.
    std::vector<double> by_prev_;
    uint64_t by_prev_serial_ = 0;
    std::vector<coordinate_t> by_prev_ids_;  // the ids the transition vectors read, once each
    std::vector<double> by_prev_w_;          // their weights when by_prev_ was last brought up to date
    // The cells of by_prev_ that read by_prev_ids_[i], with their vectors:
    // reader_cell_/reader_vector_[reader_start_[i], reader_start_[i + 1]).
    std::vector<uint32_t> reader_start_, reader_cell_, reader_vector_;
    // Makes by_prev_ for these vectors, or scores again the transitions
    // whose weights changed since.
    void refresh_by_prev(const ChainVectors& vectors, const Weights& w);
    void make_by_prev(const ChainVectors& vectors, const Weights& w);
    std::vector<double> step_e_, step_best_;  // a position's emissions and best scores, padded
    std::vector<int64_t> step_arg_;
    std::vector<int64_t> back_;  // per candidate: the previous position's candidate, or -1

    double transition(const ChainVectors& vectors, const Weights& w, uint32_t prev_plus_one, uint32_t l, bool last) {
        const std::size_t v = vectors.transition(prev_plus_one, l, last);
        if (tstamp_[v] != stamp_) {
            tstamp_[v] = stamp_;
            tscore_[v] = vectors.store.dot(v, w);
        }
        return tscore_[v];
    }
};

// The emission scores e(k, c) of candidates [c0, c1) into out[0, c1 - c0).
// Each is the sum of its entries in order, as a dot product adds them;
// several candidates go along together so that their additions overlap.
void emission_scores(const CompiledChain& cs, uint32_t c0, uint32_t c1, const Weights& w, double* out);

}  // namespace qv

#endif
