#include "feature/chain/viterbi.h"

#include <cstring>

#include "cxx_alph.h"

namespace qv {

namespace {

const double kFloor = -1000.0;

// Starts loading the weights that the emissions of position k read.
inline void prefetch_position(const CompiledChain& cs, std::size_t k, const Weights& w) {
    const uint32_t first = cs.entry_start[cs.cand_start[k]], end = cs.entry_start[cs.cand_start[k + 1]];
    for (uint32_t j = first; j < end; ++j) prefetch_line(w.at(cs.entry_id[j]));
}

// The best previous state of a state whose transitions score t(i) + e
// from previous state i (inside score ins[i]): the largest
// v = (t(i) + e) + ins[i] at least kFloor, the later i of equal scores.
// Four lanes of every fourth state keep their own maximum, so that the
// comparisons do not wait on each other; merging them by value, then by
// the later state, gives what one pass in order gives.
template <class Transition>
inline void best_previous(Transition t, double e, const double* ins, uint32_t n, double* best_out, int64_t* arg_out) {
    double b0 = kFloor, b1 = kFloor, b2 = kFloor, b3 = kFloor;
    int64_t a0 = -1, a1 = -1, a2 = -1, a3 = -1;
    auto step = [](double v, int64_t i, double& b, int64_t& a) {
        const bool take = v >= b;
        b = take ? v : b;
        a = take ? i : a;
    };
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const double v0 = (t(i) + e) + ins[i], v1 = (t(i + 1) + e) + ins[i + 1];
        const double v2 = (t(i + 2) + e) + ins[i + 2], v3 = (t(i + 3) + e) + ins[i + 3];
        step(v0, i, b0, a0);
        step(v1, i + 1, b1, a1);
        step(v2, i + 2, b2, a2);
        step(v3, i + 3, b3, a3);
    }
    for (; i < n; ++i) step((t(i) + e) + ins[i], i, b0, a0);
    auto merge = [](double& b, int64_t& a, double bo, int64_t ao) {
        const bool take = (bo > b) | ((bo == b) & (ao > a));
        b = take ? bo : b;
        a = take ? ao : a;
    };
    merge(b0, a0, b1, a1);
    merge(b0, a0, b2, a2);
    merge(b0, a0, b3, a3);
    *best_out = b0;
    *arg_out = a0;
}

// best_previous when the previous states are the labels 0, 1, ... in order
// (every label a candidate): the transition scores are row[0, n). Four
// lanes in two vectors of two doubles (the compilers' vector extensions,
// plain IEEE arithmetic lane by lane).
typedef double v2d __attribute__((vector_size(16)));
typedef long long v2l __attribute__((vector_size(16)));

inline v2d load2(const double* p) {
    v2d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void best_previous_dense(const double* row, double e, const double* ins, uint32_t n, double* best_out,
                                int64_t* arg_out) {
    const v2d ev = {e, e};
    v2d b0 = {kFloor, kFloor}, b1 = b0;
    v2l a0 = {-1, -1}, a1 = a0;
    v2l i0 = {0, 1}, i1 = {2, 3};
    const v2l four = {4, 4};
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const v2d v0 = (load2(row + i) + ev) + load2(ins + i);
        const v2d v1 = (load2(row + i + 2) + ev) + load2(ins + i + 2);
        const v2l m0 = v0 >= b0, m1 = v1 >= b1;
        b0 = (v2d)(((v2l)v0 & m0) | ((v2l)b0 & ~m0));
        b1 = (v2d)(((v2l)v1 & m1) | ((v2l)b1 & ~m1));
        a0 = (i0 & m0) | (a0 & ~m0);
        a1 = (i1 & m1) | (a1 & ~m1);
        i0 += four;
        i1 += four;
    }
    double best = b0[0];
    int64_t arg = a0[0];
    const double bs[3] = {b0[1], b1[0], b1[1]};
    const int64_t as[3] = {a0[1], a1[0], a1[1]};
    // Without branches: which lane wins depends on the data, so a branch
    // here would be mispredicted about half the time.
    for (int j = 0; j < 3; ++j) {
        const bool take = (bs[j] > best) | ((bs[j] == best) & (as[j] > arg));
        best = take ? bs[j] : best;
        arg = take ? as[j] : arg;
    }
    for (; i < n; ++i) {
        const double v = (row[i] + e) + ins[i];
        const bool take = v >= best;
        best = take ? v : best;
        arg = take ? static_cast<int64_t>(i) : arg;
    }
    *best_out = best;
    *arg_out = arg;
}

}  // namespace

void emission_scores(const CompiledChain& cs, uint32_t c0, uint32_t c1, const Weights& w, double* out) {
    const uint32_t* start = cs.entry_start.data();
    const coordinate_t* id = cs.entry_id.data();
    const double* val = cs.entry_val.data();
    auto rest = [&](uint32_t c, uint32_t j, double s) {
        for (const uint32_t end = start[c + 1]; j < end; ++j) s += val[j] * w[id[j]];
        out[c - c0] = s;
    };
    uint32_t c = c0;
    for (; c + 2 <= c1; c += 2) {
        uint32_t a = start[c], b = start[c + 1];
        const uint32_t a_end = start[c + 1], b_end = start[c + 2];
        double sa = 0.0, sb = 0.0;
        for (; a < a_end && b < b_end; ++a, ++b) {
            sa += val[a] * w[id[a]];
            sb += val[b] * w[id[b]];
        }
        rest(c, a, sa);
        rest(c + 1, b, sb);
    }
    if (c < c1) rest(c, start[c], 0.0);
}

int64_t ViterbiDecoder::decode(const CompiledChain& cs, const ChainVectors& vectors, const Weights& w,
                               std::vector<uint32_t>& labels, const double* emissions) {
    const std::size_t K = cs.positions();
    labels.assign(K, 0);
    if (K == 0) return -1;
    const std::size_t L = vectors.labels;
    inside_.resize(cs.candidates());
    back_.resize(cs.candidates());
    emission_.resize(cs.candidates());
    const double s0 = vectors.store.dot(0, w);  // the start node, and every state's own score

    // Transition scores: all of them up front when the sentence needs more
    // transitions than there are (every label a candidate), else each when
    // first needed.
    std::size_t needed = cs.cand_start[1];
    for (std::size_t k = 1; k < K; ++k)
        needed += static_cast<std::size_t>(cs.cand_start[k + 1] - cs.cand_start[k]) *
                  (cs.cand_start[k] - cs.cand_start[k - 1]);
    const bool dense = 2 * L * (L + 1) <= needed;
    if (dense) {
        // by_label_[last][l][p]: the transition from previous label p - 1
        // (0 the start) into l, rows contiguous in p.
        by_label_.resize(2 * L * (L + 1));
        for (uint32_t last = 0; last < 2; ++last)
            for (uint32_t l = 0; l < L; ++l)
                for (uint32_t p = 0; p <= L; ++p)
                    by_label_[(last * L + l) * (L + 1) + p] = vectors.store.dot(vectors.transition(p, l, last), w);
    } else {
        const std::size_t nvec = vectors.store.size();
        if (tstamp_.size() != nvec) {
            tstamp_.assign(nvec, 0);
            tscore_.assign(nvec, 0.0);
            stamp_ = 0;
        }
        ++stamp_;
    }

    // Few candidates (a tag dictionary) read weights all over a large
    // array: start loading the next position's early. With many, it only
    // costs.
    if (!dense && !emissions) prefetch_position(cs, 0, w);
    for (std::size_t k = 0; k < K; ++k) {
        if (!dense && !emissions && k + 1 < K) prefetch_position(cs, k + 1, w);
        const bool last = k + 1 == K;
        const uint32_t c0 = cs.cand_start[k], c1 = cs.cand_start[k + 1];
        if (!emissions) emission_scores(cs, c0, c1, w, emission_.data() + c0);
        const double* em = emissions ? emissions : emission_.data();
        // Whether the previous position's candidates are every label, in order.
        bool identity = false;
        if (dense && k > 0 && cs.cand_start[k] - cs.cand_start[k - 1] == L) {
            identity = true;
            for (uint32_t i = 0; i < L && identity; ++i) identity = cs.cand_label[cs.cand_start[k - 1] + i] == i;
        }
        for (uint32_t c = c0; c < c1; ++c) {
            const uint32_t l = cs.cand_label[c];
            const double e = em[c];
            double best = kFloor;
            int64_t arg = -1;
            if (k == 0) {
                // The one previous state is the start node.
                const double t = dense ? by_label_[(last * L + l) * (L + 1)] : transition(vectors, w, 0, l, last);
                const double v = (t + e) + s0;
                if (v >= best) best = v, arg = 0;
            } else {
                // Every previous state in order; the later of equal scores wins.
                const uint32_t p0 = cs.cand_start[k - 1];
                const uint32_t* prev = cs.cand_label.data() + p0;
                const double* ins = inside_.data() + p0;
                const uint32_t np = c0 - p0;
                int64_t i_best;
                if (dense && identity) {
                    best_previous_dense(by_label_.data() + (last * L + l) * (L + 1) + 1, e, ins, np, &best, &i_best);
                } else if (dense) {
                    const double* row = by_label_.data() + (last * L + l) * (L + 1) + 1;
                    best_previous([row, prev](uint32_t i) { return row[prev[i]]; }, e, ins, np, &best, &i_best);
                } else {
                    best_previous([&](uint32_t i) { return transition(vectors, w, prev[i] + 1, l, last); }, e, ins, np,
                                  &best, &i_best);
                }
                arg = i_best < 0 ? -1 : p0 + i_best;
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
