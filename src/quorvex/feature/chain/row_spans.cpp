#include "feature/chain/row_spans.h"

#include <cstdlib>
#include <cstring>

namespace qv {

namespace {

// Every row is written at the cursor, and the cursor moves past it only
// when the row has the label: the loop has no branch to mispredict.
template <bool with_values>
__attribute__((always_inline)) inline std::size_t entries_body(const RowSpan* span, const double* vals, std::size_t n,
                                                               uint32_t label, coordinate_t* id, double* val) {
    const uint64_t below = (uint64_t(1) << label) - 1;
    std::size_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const uint64_t m = span[i].labels;
        id[at] = span[i].first + static_cast<coordinate_t>(__builtin_popcountll(m & below));
        if constexpr (with_values) val[at] = vals[i];
        at += (m >> label) & 1;
    }
    return at;
}

__attribute__((always_inline)) inline double sum_body(const RowSpan* span, const double* vals, std::size_t n,
                                                      uint32_t label, const double* w) {
    const uint64_t below = (uint64_t(1) << label) - 1;
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const uint64_t m = span[i].labels;
        const bool has = (m >> label) & 1;
        // Without the label the row's own first id is read (any id of the
        // dictionary would do): never past the weights.
        const double x = w[span[i].first + (has ? __builtin_popcountll(m & below) : 0)];
        s += has ? vals[i] * x : 0.0;
    }
    return s;
}

double sum_body_default(const RowSpan* span, const double* vals, std::size_t n, uint32_t label, const double* w) {
    return sum_body(span, vals, n, label, w);
}

std::size_t entries_default(const RowSpan* span, const double* vals, std::size_t n, uint32_t label, coordinate_t* id,
                            double* val) {
    return vals ? entries_body<true>(span, vals, n, label, id, val)
                : entries_body<false>(span, vals, n, label, id, val);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same with the processor's population count (one instruction instead
// of a dozen), where it has one.
__attribute__((target("popcnt"))) std::size_t entries_popcnt(const RowSpan* span, const double* vals, std::size_t n,
                                                             uint32_t label, coordinate_t* id, double* val) {
    return vals ? entries_body<true>(span, vals, n, label, id, val)
                : entries_body<false>(span, vals, n, label, id, val);
}

__attribute__((target("popcnt"))) double sum_popcnt(const RowSpan* span, const double* vals, std::size_t n,
                                                    uint32_t label, const double* w) {
    return sum_body(span, vals, n, label, w);
}

using EntriesFn = std::size_t (*)(const RowSpan*, const double*, std::size_t, uint32_t, coordinate_t*, double*);
using SumFn = double (*)(const RowSpan*, const double*, std::size_t, uint32_t, const double*);

EntriesFn choose_entries() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt") ? entries_popcnt : entries_default;
}

SumFn choose_sum() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt") ? sum_popcnt : sum_body_default;
}
#endif

}  // namespace

double span_sum(const RowSpan* span, const double* vals, std::size_t n, uint32_t label, const double* w) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const SumFn sum = choose_sum();
    return sum(span, vals, n, label, w);
#else
    return sum_body_default(span, vals, n, label, w);
#endif
}

std::size_t span_entries(const RowSpan* span, const double* vals, std::size_t n, uint32_t label, coordinate_t* id,
                         double* val) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const EntriesFn entries = choose_entries();
    return entries(span, vals, n, label, id, val);
#else
    return entries_default(span, vals, n, label, id, val);
#endif
}

}  // namespace qv
