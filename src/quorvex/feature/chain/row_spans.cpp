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

using EntriesFn = std::size_t (*)(const RowSpan*, const double*, std::size_t, uint32_t, coordinate_t*, double*);

EntriesFn choose_entries() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt") ? entries_popcnt : entries_default;
}
#endif

}  // namespace

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
