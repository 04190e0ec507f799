#include "feature/chain/viterbi.h"

#include <algorithm>
#include <cstring>

#include "cxx_alph.h"
#include "feature/chain/every_label_step.h"

namespace qv {

namespace {

// Whether position k's candidates are every label, in order.
inline bool every_label(const CompiledChain& cs, std::size_t k, std::size_t L) {
    const uint32_t c0 = cs.cand_start[k];
    if (cs.cand_start[k + 1] - c0 != L) return false;
    for (uint32_t i = 0; i < L; ++i)
        if (cs.cand_label[c0 + i] != i) return false;
    return true;
}

// Starts loading the weights that the emissions of position k read.
inline void prefetch_position(const CompiledChain& cs, std::size_t k, const Weights& w) {
    const uint32_t first = cs.entry_start[cs.cand_start[k]], end = cs.entry_start[cs.cand_start[k + 1]];
    for (uint32_t j = first; j < end; ++j) prefetch_line(w.at(cs.entry_id[j]));
}

// The best previous state of a state whose transitions score t(i) + e
// from previous state i (inside score ins[i]): the largest
// v = (t(i) + e) + ins[i] at least `floor`, the later i of equal scores.
// Four lanes of every fourth state keep their own maximum, so that the
// comparisons do not wait on each other; merging them by value, then by
// the later state, gives what one pass in order gives.
template <class Transition>
inline void best_previous(Transition t, double e, const double* ins, uint32_t n, double floor, double* best_out,
                          int64_t* arg_out) {
    double b0 = floor, b1 = floor, b2 = floor, b3 = floor;
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

// The emission sums with entry j's value given by value(j): two candidates
// go along together so that their additions overlap.
template <class Value>
inline void emission_sums(const CompiledChain& cs, uint32_t c0, uint32_t c1, const Weights& w, Value value,
                          double* out) {
    const uint32_t* start = cs.entry_start.data();
    const coordinate_t* id = cs.entry_id.data();
    auto rest = [&](uint32_t c, uint32_t j, double s) {
        for (const uint32_t end = start[c + 1]; j < end; ++j) s += value(j) * w[id[j]];
        out[c - c0] = s;
    };
    uint32_t c = c0;
    for (; c + 2 <= c1; c += 2) {
        uint32_t a = start[c], b = start[c + 1];
        const uint32_t a_end = start[c + 1], b_end = start[c + 2];
        double sa = 0.0, sb = 0.0;
        for (; a < a_end && b < b_end; ++a, ++b) {
            sa += value(a) * w[id[a]];
            sb += value(b) * w[id[b]];
        }
        rest(c, a, sa);
        rest(c + 1, b, sb);
    }
    if (c < c1) rest(c, start[c], 0.0);
}

}  // namespace

void emission_scores(const CompiledChain& cs, uint32_t c0, uint32_t c1, const Weights& w, double* out) {
    // 1.0 * x is x exactly, so the values of 1.0 need not be read.
    if (cs.entry_val.empty()) {
        emission_sums(cs, c0, c1, w, [](uint32_t) { return 1.0; }, out);
    } else {
        const double* val = cs.entry_val.data();
        emission_sums(cs, c0, c1, w, [val](uint32_t j) { return val[j]; }, out);
    }
}

void ViterbiDecoder::refresh_by_prev(const ChainVectors& vectors, const Weights& w) {
    if (by_prev_serial_ != vectors.serial) {
        make_by_prev(vectors, w);
        return;
    }
    // Only the transitions that read a weight changed since are scored
    // again (bit for bit: -0.0 is not 0.0 here, and a NaN equals itself).
    for (std::size_t i = 0; i < by_prev_ids_.size(); ++i) {
        const double now = w[by_prev_ids_[i]];
        if (std::memcmp(&now, &by_prev_w_[i], sizeof now) == 0) continue;
        by_prev_w_[i] = now;
        for (uint32_t d = reader_start_[i]; d < reader_start_[i + 1]; ++d)
            by_prev_[reader_cell_[d]] = vectors.store.dot(reader_vector_[d], w);
    }
}

void ViterbiDecoder::make_by_prev(const ChainVectors& vectors, const Weights& w) {
    const std::size_t L = vectors.labels;
    const uint32_t lanes = step_lanes(static_cast<uint32_t>(L));
    by_prev_serial_ = 0;  // until made
    by_prev_ids_.assign(vectors.store.id.begin(), vectors.store.id.end());
    std::sort(by_prev_ids_.begin(), by_prev_ids_.end());
    by_prev_ids_.erase(std::unique(by_prev_ids_.begin(), by_prev_ids_.end()), by_prev_ids_.end());
    by_prev_w_.resize(by_prev_ids_.size());
    for (std::size_t i = 0; i < by_prev_ids_.size(); ++i) by_prev_w_[i] = w[by_prev_ids_[i]];
    // by_prev_[last][p][l]: the transition from previous label p - 1 (0 the
    // start) into l, rows contiguous in l and padded to `lanes`. The
    // readers of each weight (its cells and their vectors) in CSR form.
    by_prev_.assign(2 * (L + 1) * lanes, 0.0);
    reader_start_.assign(by_prev_ids_.size() + 1, 0);
    auto each_cell = [&](auto fn) {
        for (uint32_t last = 0; last < 2; ++last)
            for (uint32_t p = 0; p <= L; ++p)
                for (uint32_t l = 0; l < L; ++l) {
                    const std::size_t v = vectors.transition(p, l, last);
                    const uint32_t cell = static_cast<uint32_t>((last * (L + 1) + p) * lanes + l);
                    for (uint32_t j = vectors.store.start[v]; j < vectors.store.start[v + 1]; ++j) {
                        const std::size_t i = static_cast<std::size_t>(
                            std::lower_bound(by_prev_ids_.begin(), by_prev_ids_.end(), vectors.store.id[j]) -
                            by_prev_ids_.begin());
                        fn(i, cell, static_cast<uint32_t>(v));
                    }
                }
    };
    each_cell([&](std::size_t i, uint32_t, uint32_t) { ++reader_start_[i + 1]; });
    for (std::size_t i = 0; i < by_prev_ids_.size(); ++i) reader_start_[i + 1] += reader_start_[i];
    reader_cell_.resize(reader_start_.back());
    reader_vector_.resize(reader_start_.back());
    std::vector<uint32_t> at(reader_start_.begin(), reader_start_.end() - 1);
    each_cell([&](std::size_t i, uint32_t cell, uint32_t v) {
        reader_cell_[at[i]] = cell;
        reader_vector_[at[i]++] = v;
    });
    for (uint32_t last = 0; last < 2; ++last)
        for (uint32_t p = 0; p <= L; ++p)
            for (uint32_t l = 0; l < L; ++l)
                by_prev_[(last * (L + 1) + p) * lanes + l] = vectors.store.dot(vectors.transition(p, l, last), w);
    by_prev_serial_ = vectors.serial;
}

int64_t ViterbiDecoder::decode(const CompiledChain& cs, const ChainVectors& vectors, const Weights& w,
                               std::vector<uint32_t>& labels, double floor, const double* emissions) {
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
    const uint32_t lanes = step_lanes(static_cast<uint32_t>(L));
    if (dense) {
        refresh_by_prev(vectors, w);
        step_e_.assign(lanes, 0.0);
        step_best_.resize(lanes);
        step_arg_.resize(lanes);
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
    bool now_every = false;  // whether position k's candidates are every label, in order
    for (std::size_t k = 0; k < K; ++k) {
        if (!dense && !emissions && k + 1 < K) prefetch_position(cs, k + 1, w);
        const bool last = k + 1 == K;
        const uint32_t c0 = cs.cand_start[k], c1 = cs.cand_start[k + 1];
        if (!emissions) emission_scores(cs, c0, c1, w, emission_.data() + c0);
        const double* em = emissions ? emissions : emission_.data();
        // Every label after every label, in order: all states in one step.
        const bool was_every = now_every;
        now_every = dense && every_label(cs, k, L);
        if (was_every && now_every) {
            const uint32_t p0 = cs.cand_start[k - 1];
            std::memcpy(step_e_.data(), em + c0, L * sizeof(double));
            every_label_step(by_prev_.data() + (last * (L + 1) + 1) * lanes, lanes, step_e_.data(), inside_.data() + p0,
                             static_cast<uint32_t>(L), static_cast<uint32_t>(L), floor, step_best_.data(),
                             step_arg_.data());
            for (uint32_t l = 0; l < L; ++l) {
                inside_[c0 + l] = step_best_[l] + s0;
                back_[c0 + l] = step_arg_[l] < 0 ? -1 : p0 + step_arg_[l];
            }
            continue;
        }
        for (uint32_t c = c0; c < c1; ++c) {
            const uint32_t l = cs.cand_label[c];
            const double e = em[c];
            double best = floor;
            int64_t arg = -1;
            if (k == 0) {
                // The one previous state is the start node.
                const double t = dense ? by_prev_[last * (L + 1) * lanes + l] : transition(vectors, w, 0, l, last);
                const double v = (t + e) + s0;
                if (v >= best) best = v, arg = 0;
            } else {
                // Every previous state in order; the later of equal scores wins.
                const uint32_t p0 = cs.cand_start[k - 1];
                const uint32_t* prev = cs.cand_label.data() + p0;
                const double* ins = inside_.data() + p0;
                const uint32_t np = c0 - p0;
                int64_t i_best;
                if (dense) {
                    const double* column = by_prev_.data() + (last * (L + 1) + 1) * lanes + l;
                    best_previous([column, prev, lanes](uint32_t i) { return column[prev[i] * lanes]; }, e, ins, np,
                                  floor, &best, &i_best);
                } else {
                    best_previous([&](uint32_t i) { return transition(vectors, w, prev[i] + 1, l, last); }, e, ins, np,
                                  floor, &best, &i_best);
                }
                arg = i_best < 0 ? -1 : p0 + i_best;
            }
            inside_[c] = best + s0;
            back_[c] = arg;
        }
    }
    // The stop node chooses among the last position's states.
    double best = floor;
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
