// Accumulator of (index, value) pairs: adding to an index that is already
// present adds to its value. Pairs are appended as they come and merged
// lazily (a stable sort by index, then summing runs in insertion order),
// which is much cheaper than a hash map for the short-lived accumulators
// of vectorising. The record is plain data: a zero-filled one is a valid
// empty accumulator, so it can live inside a Python object.
#ifndef QUORVEX_SPARSE_ACCUM_H
#define QUORVEX_SPARSE_ACCUM_H

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "cxx_gram.h"

// a + b; a signed integer sum outside the type's range throws
// std::overflow_error instead of wrapping (which would be undefined).
template <class T>
inline T checked_sum(T a, T b) {
    if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        T r;
        if (__builtin_add_overflow(a, b, &r)) throw std::overflow_error("integer sum out of range");
        return r;
    } else {
        return static_cast<T>(a + b);
    }
}

// x as a T; for integer T, a value outside the type's range (or NaN)
// throws std::overflow_error instead of converting with undefined results.
template <class T>
inline T checked_value(double x) {
    if constexpr (std::is_integral_v<T>) {
        if (!(x >= static_cast<double>(std::numeric_limits<T>::min()) &&
              x <= static_cast<double>(std::numeric_limits<T>::max())))
            throw std::overflow_error("value out of the integer range");
    }
    return static_cast<T>(x);
}

// The scratch of the bitmap sort, one per thread (the accumulators live
// inside Python objects, which should not carry it): one bit per index
// below 64 * words, then one bit per word of those; all zero between uses.
struct AccumBitmap {
    uint64_t* bits = nullptr;
    std::size_t words = 0;
    AccumBitmap() = default;
    AccumBitmap(const AccumBitmap&) = delete;
    AccumBitmap& operator=(const AccumBitmap&) = delete;
    ~AccumBitmap() { std::free(bits); }
    // The most words kept: indices below 2**23 (a bitmap of 1 MiB).
    static const std::size_t kMaxWords = std::size_t(1) << 17;

    // Room for `want` words and their summary, zero-filled. Throws
    // std::bad_alloc.
    void reserve(std::size_t want) {
        if (want <= words) return;
        void* b = std::calloc(want + (want + 63) / 64, sizeof(uint64_t));
        if (!b) throw std::bad_alloc();
        std::free(bits);
        bits = static_cast<uint64_t*>(b);
        words = want;
    }
    static AccumBitmap& of_thread() {
        thread_local AccumBitmap scratch;
        return scratch;
    }
};

template <class T>
struct AccumEntry {
    coordinate_t idx;
    T val;
};

template <class T>
struct SparseAccum {
    AccumEntry<T>* entries;
    std::size_t len;       // entries in use
    std::size_t cap;       // entries allocated
    std::size_t merged;    // entries [0, merged) are sorted with unique indices
    uint64_t* keys;        // scratch of compact(): (index << 32 | position), cap of them
    AccumEntry<T>* spare;  // scratch of compact(): the merged entries

    void release() {
        std::free(entries);
        std::free(keys);
        std::free(spare);
        entries = spare = nullptr;
        keys = nullptr;
        len = cap = merged = 0;
    }
    void clear() { len = merged = 0; }

    static const std::size_t kSmall = 32;
    // From this many entries on, compact() sorts with a radix sort.
    static const std::size_t kRadix = 192;

    // Throws std::bad_alloc when memory runs out (the contents stay valid).
    void reserve(std::size_t want) {
        if (want <= cap) return;
        std::size_t ncap = cap ? cap : 16;
        while (ncap < want) ncap *= 2;
        void* e = std::realloc(entries, ncap * sizeof(AccumEntry<T>));
        if (!e) throw std::bad_alloc();
        entries = static_cast<AccumEntry<T>*>(e);
        void* k = std::realloc(keys, ncap * sizeof(uint64_t));
        if (!k) throw std::bad_alloc();
        keys = static_cast<uint64_t*>(k);
        void* s = std::realloc(spare, ncap * sizeof(AccumEntry<T>));
        if (!s) throw std::bad_alloc();
        spare = static_cast<AccumEntry<T>*>(s);
        cap = ncap;
    }

    void add(coordinate_t idx, T val) {
        if (len == cap) {
            // Merging first keeps memory proportional to the distinct indices
            // when one index is added to over and over.
            if (len >= 2 * merged + 1024) compact();
            if (len == cap) reserve(len + 1);
        }
        entries[len].idx = idx;
        entries[len].val = val;
        ++len;
    }

    // Sorts keys[0, len) by their upper 32 bits (the index), keeping the
    // order of equal indices: a least-significant-digit radix sort in as
    // few passes of at most 11 bits as the largest index needs, through
    // `spare` (which holds at least len 64-bit keys: an entry has 8 bytes
    // or more). The conjunctions of one long feature list (thousands of
    // keys) sort several times faster so than by comparisons.
    void radix_sort_keys() {
        static_assert(sizeof(AccumEntry<T>) >= sizeof(uint64_t), "spare must hold the keys");
        uint64_t top = 0;
        for (std::size_t i = 0; i < len; ++i) top |= keys[i];
        unsigned bits = 0;
        for (top >>= 32; top; top >>= 1) ++bits;
        const unsigned passes = (bits + 10) / 11;
        if (passes == 0) return;  // every index is 0: already in order
        const unsigned width = (bits + passes - 1) / passes;
        const std::size_t buckets = std::size_t(1) << width;
        const uint64_t digit_mask = buckets - 1;
        uint32_t count[2048];
        uint64_t* src = keys;
        uint64_t* dst = reinterpret_cast<uint64_t*>(spare);
        for (unsigned p = 0; p < passes; ++p) {
            const unsigned shift = 32 + p * width;
            std::memset(count, 0, buckets * sizeof(uint32_t));
            for (std::size_t i = 0; i < len; ++i) ++count[(src[i] >> shift) & digit_mask];
            uint32_t sum = 0;
            for (std::size_t b = 0; b < buckets; ++b) {
                const uint32_t c = count[b];
                count[b] = sum;
                sum += c;
            }
            for (std::size_t i = 0; i < len; ++i) dst[count[(src[i] >> shift) & digit_mask]++] = src[i];
            std::swap(src, dst);
        }
        if (src != keys) std::memcpy(keys, src, len * sizeof(uint64_t));
    }

    // The positions of the entries in index order, equal indices in
    // insertion order, as 32-bit keys (the index above the position's bits)
    // in out[0, len): a least-significant-digit radix sort over the index
    // bits only, with one counting pass for all digits, through `spare`.
    // Returns the number of position bits, or 0 (nothing done) when index
    // and position do not fit in 32 bits together. Half the bytes of
    // radix_sort_keys move.
    unsigned sort_packed(uint32_t* out) {
        static_assert(sizeof(AccumEntry<T>) >= 2 * sizeof(uint32_t), "spare must hold the keys");
        coordinate_t top = 0;
        for (std::size_t i = 0; i < len; ++i) top |= entries[i].idx;
        unsigned ibits = 0, pbits = 0;
        for (uint64_t t = top; t; t >>= 1) ++ibits;
        for (uint64_t t = len - 1; t; t >>= 1) ++pbits;
        if (pbits == 0 || ibits + pbits > 32) return 0;
        uint32_t* src = out;
        for (std::size_t i = 0; i < len; ++i) src[i] = (static_cast<uint32_t>(entries[i].idx) << pbits) | i;
        if (ibits == 0) return pbits;  // every index is 0: already in order
        const unsigned passes = (ibits + 10) / 11;
        const unsigned width = (ibits + passes - 1) / passes;
        const std::size_t buckets = std::size_t(1) << width;
        const uint32_t digit_mask = static_cast<uint32_t>(buckets - 1);
        uint32_t count[3][2048];
        for (unsigned p = 0; p < passes; ++p) std::memset(count[p], 0, buckets * sizeof(uint32_t));
        for (std::size_t i = 0; i < len; ++i) {
            const uint32_t k = src[i] >> pbits;
            for (unsigned p = 0; p < passes; ++p) ++count[p][(k >> (p * width)) & digit_mask];
        }
        for (unsigned p = 0; p < passes; ++p) {
            uint32_t sum = 0;
            for (std::size_t b = 0; b < buckets; ++b) {
                const uint32_t c = count[p][b];
                count[p][b] = sum;
                sum += c;
            }
        }
        uint32_t* dst = reinterpret_cast<uint32_t*>(spare);
        for (unsigned p = 0; p < passes; ++p) {
            const unsigned shift = pbits + p * width;
            uint32_t* c = count[p];
            for (std::size_t i = 0; i < len; ++i) dst[c[(src[i] >> shift) & digit_mask]++] = src[i];
            std::swap(src, dst);
        }
        if (src != out) std::memcpy(out, src, len * sizeof(uint32_t));
        return pbits;
    }

    // The bitmap sort: when every entry carries the same value (binary
    // features) and no index comes twice, the sorted entries are the set
    // bits of a bitmap over the indices, read in order. A bit is set per
    // entry, and a bit per 64-bit word marks the words to read, so the cost
    // is a few operations per entry plus one per 4,096 indices: about a
    // third of a radix sort's. Writes the merged entries to `spare` and
    // returns true; false (nothing changed) when an index repeats, the
    // values differ or the bitmap would be large for the entries. Throws
    // std::bad_alloc.
    bool sort_by_bitmap() {
        // Locals: with aliasing rules relaxed, members would be read again
        // after every store.
        const AccumEntry<T>* const e = entries;
        const std::size_t n = len;
        coordinate_t top = 0;
        bool uniform = true;  // the same bits, not equal values: 0.0 and -0.0 stay apart
        for (std::size_t i = 0; i < n; ++i) {
            top |= e[i].idx;
            uniform &= std::memcmp(&e[i].val, &e[0].val, sizeof(T)) == 0;  // no branch
        }
        const std::size_t words = (static_cast<std::size_t>(top) >> 6) + 1;
        // At most 4,096 indices an entry (512 bytes of bitmap): beyond that
        // the bits are spread over more memory than the radix sort moves.
        if (!uniform || words > 64 * n || words > AccumBitmap::kMaxWords) return false;
        AccumBitmap& scratch = AccumBitmap::of_thread();
        scratch.reserve(words);
        const std::size_t summary = (words + 63) >> 6;
        uint64_t* const word = scratch.bits;
        uint64_t* const marks = scratch.bits + scratch.words;
        uint64_t repeated = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const coordinate_t x = e[i].idx;
            const uint64_t bit = uint64_t(1) << (x & 63);
            const uint64_t old = word[x >> 6];
            repeated |= old & bit;
            word[x >> 6] = old | bit;
            marks[x >> 12] |= uint64_t(1) << ((x >> 6) & 63);
        }
        if (repeated) {
            for (std::size_t i = 0; i < n; ++i) {
                word[e[i].idx >> 6] = 0;
                marks[e[i].idx >> 12] = 0;
            }
            return false;
        }
        const T v = e[0].val;
        AccumEntry<T>* out = spare;
        for (std::size_t m = 0; m < summary; ++m) {
            uint64_t set_words = marks[m];
            if (!set_words) continue;
            marks[m] = 0;
            do {
                const std::size_t w = (m << 6) | static_cast<std::size_t>(__builtin_ctzll(set_words));
                set_words &= set_words - 1;
                uint64_t b = word[w];
                word[w] = 0;
                const coordinate_t base = static_cast<coordinate_t>(w << 6);
                do {
                    out->idx = base | static_cast<coordinate_t>(__builtin_ctzll(b));
                    out->val = v;
                    ++out;
                    b &= b - 1;
                } while (b);
            } while (set_words);
        }
        return true;
    }

    // Orders the entries by index and sums equal indices into one entry, in
    // insertion order (so the sums are exactly those of adding one by one).
    // The merged entries are built in `spare`, so an integer sum out of
    // range (std::overflow_error) leaves the accumulator as it was.
    void compact() {
        if (merged == len) return;
        AccumEntry<T>* e = entries;
        bool ordered = true, unique = true;
        for (std::size_t i = 1; i < len && ordered; ++i) {
            ordered = e[i - 1].idx <= e[i].idx;
            unique = unique && e[i - 1].idx != e[i].idx;
        }
        coordinate_t top = 0;
        if (!ordered && len <= kSmall)
            for (std::size_t i = 0; i < len; ++i) top = e[i].idx > top ? e[i].idx : top;
        if (!ordered && len <= kSmall && top < (coordinate_t(1) << 26)) {
            // Short accumulators (the vectors of single items): an entry's
            // place is the number of smaller keys, where the key is the
            // index with the position below it (so equal indices keep their
            // order). The counting has no branches and runs four keys at a
            // time; a comparison sort mispredicts on nearly every step.
            alignas(16) int32_t key[kSmall];
            const std::size_t padded = (len + 3) & ~std::size_t(3);
            for (std::size_t i = 0; i < len; ++i) key[i] = static_cast<int32_t>((e[i].idx << 5) | i);
            for (std::size_t i = len; i < padded; ++i) key[i] = INT32_MAX;
            for (std::size_t i = 0; i < len; ++i) {
                const int32_t k = key[i];
                int32_t r = 0;
                for (std::size_t j = 0; j < padded; ++j) r += key[j] < k;
                spare[r] = e[i];
            }
            std::size_t out = 0;
            for (std::size_t i = 0; i < len; ++i) {
                if (out > 0 && spare[out - 1].idx == spare[i].idx)
                    spare[out - 1].val = checked_sum(spare[out - 1].val, spare[i].val);
                else
                    spare[out++] = spare[i];
            }
            std::swap(entries, spare);
            len = out;
        } else if (!ordered) {
            if (len >= kRadix && sort_by_bitmap()) {
                std::swap(entries, spare);
                merged = len;
                return;
            }
            // Sorting 64-bit keys that carry the position is cheaper than
            // sorting the entries, and equal indices stay in insertion order.
            if (len > UINT32_MAX) throw std::length_error("accumulator too large");
            uint32_t* packed = reinterpret_cast<uint32_t*>(keys);
            const unsigned pbits = len >= kRadix ? sort_packed(packed) : 0;
            std::size_t out = 0;
            if (pbits) {
                const uint32_t pos_mask = static_cast<uint32_t>((uint64_t(1) << pbits) - 1);
                for (std::size_t i = 0; i < len; ++i) {
                    const AccumEntry<T>& x = e[packed[i] & pos_mask];
                    if (out > 0 && spare[out - 1].idx == x.idx)
                        spare[out - 1].val = checked_sum(spare[out - 1].val, x.val);
                    else
                        spare[out++] = x;
                }
            } else {
                for (std::size_t i = 0; i < len; ++i) keys[i] = (static_cast<uint64_t>(e[i].idx) << 32) | i;
                if (len >= kRadix)
                    radix_sort_keys();
                else
                    std::sort(keys, keys + len);
                for (std::size_t i = 0; i < len; ++i) {
                    const AccumEntry<T>& x = e[keys[i] & 0xffffffffu];
                    if (out > 0 && spare[out - 1].idx == x.idx)
                        spare[out - 1].val = checked_sum(spare[out - 1].val, x.val);
                    else
                        spare[out++] = x;
                }
            }
            std::swap(entries, spare);
            len = out;
        } else if (!unique) {
            // Already in index order (a sparse vector's entries, for
            // example): only equal neighbours remain to be summed.
            std::size_t out = 0;
            for (std::size_t i = 0; i < len; ++i) {
                if (out > 0 && spare[out - 1].idx == e[i].idx)
                    spare[out - 1].val = checked_sum(spare[out - 1].val, e[i].val);
                else
                    spare[out++] = e[i];
            }
            std::swap(entries, spare);
            len = out;
        }
        merged = len;
    }
};

// An accumulator that lives on the C++ stack rather than inside a Python
// object: it frees its memory when it goes out of scope.
template <class T>
struct OwnedAccum : SparseAccum<T> {
    OwnedAccum() : SparseAccum<T>{} {}
    ~OwnedAccum() { this->release(); }
    OwnedAccum(const OwnedAccum&) = delete;
    OwnedAccum& operator=(const OwnedAccum&) = delete;

    // Hands the memory over to a plain record and leaves this one empty.
    SparseAccum<T> take() {
        SparseAccum<T> out = *this;
        static_cast<SparseAccum<T>&>(*this) = SparseAccum<T>{};
        return out;
    }
};

#endif
