#include "feature/chain/viterbi.h"

#include "cxx_alph.h"

namespace qv {

namespace {

const double kFloor = -1000.0;

// Starts loading the weights that the emissions of position k read.
inline void prefetch_position(const CompiledChain& cs, std::size_t k, const Weights& w) {
    const uint32_t first = cs.entry_start[cs.cand_start[k]], end = cs.entry_start[cs.cand_start[k + 1]];
    for (uint32_t j = first; j < end; ++j) prefetch_line(w.at(cs.entry_id[j]));
}

}  // namespace

int64_t ViterbiDecoder::decode(const CompiledChain& cs, const ChainVectors& vectors, const Weights& w,
                               std::vector<uint32_t>& labels) {
    const std::size_t K = cs.positions();
    labels.assign(K, 0);
    if (K == 0) return -1;
    const std::size_t nvec = vectors.store.size();
    if (tstamp_.size() != nvec) {
        tstamp_.assign(nvec, 0);
        tscore_.assign(nvec, 0.0);
        stamp_ = 0;
    }
    ++stamp_;
    inside_.resize(cs.candidates());
    back_.resize(cs.candidates());
    const double s0 = vectors.store.dot(0, w);  // the start node, and every state's own score

    prefetch_position(cs, 0, w);
    for (std::size_t k = 0; k < K; ++k) {
        if (k + 1 < K) prefetch_position(cs, k + 1, w);
        const bool last = k + 1 == K;
        for (uint32_t c = cs.cand_start[k]; c < cs.cand_start[k + 1]; ++c) {
            const uint32_t l = cs.cand_label[c];
            const double e = emission_score(cs, c, w);
            double best = kFloor;
            int64_t arg = -1;
            if (k == 0) {
                // The one previous state is the start node.
                const double v = (transition(vectors, w, 0, l, last) + e) + s0;
                if (v >= best) best = v, arg = 0;
            } else {
                for (uint32_t p = cs.cand_start[k - 1]; p < cs.cand_start[k]; ++p) {
                    const double v = (transition(vectors, w, cs.cand_label[p] + 1, l, last) + e) + inside_[p];
                    if (v >= best) best = v, arg = p;
                }
            }
            inside_[c] = best + s0;
            back_[c] = arg;
        }
    }
    // The stop node chooses among the last position's states.
    double best = kFloor;
    int64_t arg = -1;
    for (uint32_t c = cs.cand_start[K - 1]; c < cs.cand_start[K]; ++c)
        if (inside_[c] >= best) best = inside_[c], arg = c;
    if (arg < 0) return static_cast<int64_t>(K);
    for (std::size_t k = K; k-- > 0;) {
        labels[k] = cs.cand_label[arg];
        arg = back_[arg];
        if (arg < 0) return static_cast<int64_t>(k);
    }
    return -1;
}

}  // namespace qv
