// Accumulator of (index, value) pairs: adding to an index that is already
// present adds to its value. Pairs are appended as they come and merged
// lazily (a stable sort by index, then summing runs in insertion order),
// which is much cheaper than a hash map for the short-lived accumulators
// of vectorising. The record is plain data: a zero-filled one is a valid
// empty accumulator, so it can live inside a Python object.
#ifndef QUORVEX_SPARSE_ACCUM_H
#define QUORVEX_SPARSE_ACCUM_H

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cxx_gram.h"

template <class T>
struct AccumEntry {
    coordinate_t idx;
    T val;
};

template <class T>
struct SparseAccum {
    AccumEntry<T>* entries;
    std::size_t len;     // entries in use
    std::size_t cap;     // entries allocated
    std::size_t merged;  // entries [0, merged) are sorted with unique indices

    void release() {
        std::free(entries);
        entries = nullptr;
        len = cap = merged = 0;
    }
    void clear() { len = merged = 0; }

    // Throws std::bad_alloc when memory runs out.
    void reserve(std::size_t want) {
        if (want <= cap) return;
        std::size_t ncap = cap ? cap : 16;
        while (ncap < want) ncap *= 2;
        void* p = std::realloc(entries, ncap * sizeof(AccumEntry<T>));
        if (!p) throw std::bad_alloc();
        entries = static_cast<AccumEntry<T>*>(p);
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

    // Sorts by index (stable, so equal indices keep insertion order) and
    // sums equal indices into one entry.
    void compact() {
        if (merged == len) return;
        AccumEntry<T>* e = entries;
        auto by_index = [](const AccumEntry<T>& a, const AccumEntry<T>& b) { return a.idx < b.idx; };
        if (std::is_sorted(e, e + len, by_index)) {
            // Already in index order (the entries of one sparse vector, for
            // example): only equal neighbours remain to be summed.
        } else if (len <= 32) {
            for (std::size_t i = 1; i < len; ++i) {
                AccumEntry<T> x = e[i];
                std::size_t j = i;
                while (j > 0 && e[j - 1].idx > x.idx) {
                    e[j] = e[j - 1];
                    --j;
                }
                e[j] = x;
            }
        } else {
            std::stable_sort(e, e + len, by_index);
        }
        std::size_t out = 0;
        for (std::size_t i = 0; i < len; ++i) {
            if (out > 0 && e[out - 1].idx == e[i].idx) {
                e[out - 1].val += e[i].val;
            } else {
                e[out++] = e[i];
            }
        }
        len = merged = out;
    }
};

#endif
