// The Viterbi step of a position where every label may follow every label
// (no candidate pruning): for every label l at once,
//
//   best[l] = max over previous labels p of (T[p][l] + e[l]) + inside[p],
//             at least the floor; arg[l] = that p, the later p of equal
//             scores, or -1 when nothing reaches the floor,
//
// with the same arithmetic, in the same order, as scoring one state at a
// time, so the result is equal bit for bit. Walking the previous labels in
// order and keeping a running maximum per label needs no merging of lanes
// afterwards. The labels go in lanes of vectors; the rows of T and e are
// padded to step_lanes(labels) entries (the padding's results are unused).
#ifndef QUORVEX_FEATURE_CHAIN_EVERY_LABEL_STEP_H
#define QUORVEX_FEATURE_CHAIN_EVERY_LABEL_STEP_H

#include <cstddef>
#include <cstdint>

namespace qv {

// The padded row length for this many labels.
inline uint32_t step_lanes(uint32_t labels) { return (labels + 7) / 8 * 8; }

// T: n rows of `stride` doubles (row p: from previous label p); e, best and
// arg: step_lanes(labels) entries; inside: n entries.
void every_label_step(const double* T, std::size_t stride, const double* e, const double* inside, uint32_t n,
                      uint32_t labels, double floor, double* best, int64_t* arg);

}  // namespace qv

#endif
