// MemoWalk: the conjunctions of one feature list (up to three names a key)
// found by numbers in a ConjMemo, depth by depth.
//
// Level d holds the keys of d + 1 names in the enumeration's order: for
// each, the memo's pair (its prefix's node and its last name's number),
// the pair's hash, the positions of its names in the list (16 bits each,
// first name lowest, each further one plus one) and what the memo gives
// (id and node). A level's pairs need the nodes of the level before, so a
// caller fills and probes one level at a time, and files the keys the memo
// lacks (or gives up) before the next.
//
// Probing only reads the memo, so walks of different lists may run on
// different threads while nothing files into the memo.
#ifndef QUORVEX_FEATURE_COMBINE_MEMO_WALK_H
#define QUORVEX_FEATURE_COMBINE_MEMO_WALK_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "feature/combine/conj_memo.h"
#include "sparse_accum.h"

namespace qv {

struct MemoLevel {
    std::vector<uint64_t> pair, hash, names;
    std::vector<int32_t> id;
    std::vector<uint32_t> node;
    std::size_t count = 0;
    // Room for n keys (the arrays are only ever grown). Throws
    // std::bad_alloc.
    void size_for(std::size_t n) {
        count = n;
        if (pair.size() >= n) return;
        pair.resize(n);
        hash.resize(n);
        names.resize(n);
        id.resize(n);
        node.resize(n);
    }
};

class MemoWalk {
public:
    MemoLevel levels[3];
    // Positions in the level probed last of the keys the memo lacked.
    std::vector<uint32_t> misses;

    // The keys of up to depth_max names of a list of m names.
    static std::size_t key_count(std::size_t m, int depth_max) {
        std::size_t total = m, ck = m;
        for (int k = 2; k <= depth_max && static_cast<std::size_t>(k) <= m; ++k) {
            ck = ck * (m - k + 1) / k;
            total += ck;
        }
        return total;
    }

    // Fills level d (0, 1 or 2) from the memo's numbers of the m names and
    // the nodes of level d - 1. Throws std::bad_alloc.
    void fill(int d, const uint32_t* numbers, std::size_t m) {
        MemoLevel& level = levels[d];
        if (d == 0) {
            level.size_for(m);
            Filler fill(level);
            for (std::size_t i = 0; i < m; ++i) fill.add(ConjMemo::pair(ConjMemo::kRoot, numbers[i]), i);
        } else if (d == 1) {
            level.size_for(m * (m - 1) / 2);
            Filler fill(level);
            const uint32_t* node1 = levels[0].node.data();
            for (std::size_t i = 0; i + 1 < m; ++i)
                for (std::size_t j = i + 1; j < m; ++j) fill.add(ConjMemo::pair(node1[i], numbers[j]), at2(i, j));
        } else {
            level.size_for(m * (m - 1) * (m - 2) / 6);
            Filler fill(level);
            const uint32_t* node2 = levels[1].node.data();
            for (std::size_t i = 0; i + 1 < m; ++i) {
                for (std::size_t j = i + 1; j < m; ++j) {
                    const uint32_t node = *node2++;
                    const uint64_t at = at2(i, j);
                    for (std::size_t k = j + 1; k < m; ++k)
                        fill.add(ConjMemo::pair(node, numbers[k]), at | (static_cast<uint64_t>(k + 1) << 32));
                }
            }
        }
    }

    // Probes the memo for every key of level d: the ids and nodes of those
    // it holds; the others go to `misses`. Pairs above `known` (their
    // prefix was filed after the memo was last read whole) count as
    // lacked. Throws std::bad_alloc.
    void probe(const ConjMemo& memo, int d, uint64_t known) {
        MemoLevel& level = levels[d];
        const std::size_t count = level.count;
        // The slots of the next few keys are loaded while one is probed.
        constexpr std::size_t ahead = 64;
        const uint64_t* pair = level.pair.data();
        const uint64_t* hash = level.hash.data();
        int32_t* id = level.id.data();
        uint32_t* node = level.node.data();
        misses.clear();
        if (!memo.empty_table()) {
            for (std::size_t q = 0; q < count && q < ahead; ++q) memo.prefetch(hash[q]);
            for (std::size_t q = 0; q < count; ++q) {
                if (q + ahead < count) memo.prefetch(hash[q + ahead]);
                const ConjMemo::Slot* s = pair[q] <= known ? memo.find_at_home(pair[q], hash[q]) : nullptr;
                if (s) {
                    id[q] = s->id;
                    node[q] = s->node;
                } else {
                    misses.push_back(static_cast<uint32_t>(q));
                }
            }
        } else {
            for (std::size_t q = 0; q < count; ++q) misses.push_back(static_cast<uint32_t>(q));
        }
        // Keys not in their home line: absent, filed after `known`, or
        // pushed further along by a full line (whose next line is loaded
        // for all of them first).
        for (const uint32_t q : misses) memo.prefetch_next_line(hash[q]);
        std::size_t kept = 0;
        for (const uint32_t q : misses) {
            const ConjMemo::Slot* s = pair[q] <= known ? memo.find(pair[q], hash[q]) : nullptr;
            if (s) {
                id[q] = s->id;
                node[q] = s->node;
            } else {
                misses[kept++] = q;
            }
        }
        misses.resize(kept);
    }

    // Appends (id, value) for every key of up to depth_max names that the
    // dictionary holds, in the enumeration's order, with the products of
    // fc's enumeration: w * vals[i] * vals[j] * vals[k], left to right.
    // Throws std::bad_alloc.
    void values(int depth_max, const double* vals, std::size_t m, double w, SparseAccum<double>& acc) const {
        acc.reserve(acc.len + key_count(m, depth_max));
        // Written straight into the room reserved for every key.
        AccumEntry<double>* out = acc.entries + acc.len;
        const int32_t* id1 = levels[0].id.data();
        const int32_t* id2 = levels[1].id.data();
        const int32_t* id3 = levels[2].id.data();
        for (std::size_t i = 0; i < m; ++i) {
            const double w1 = w * vals[i];
            if (id1[i] >= 0) *out++ = {static_cast<coordinate_t>(id1[i]), w1};
            if (depth_max < 2) continue;
            for (std::size_t j = i + 1; j < m; ++j) {
                const double w2 = w1 * vals[j];
                const int32_t b = *id2++;
                if (b >= 0) *out++ = {static_cast<coordinate_t>(b), w2};
                if (depth_max < 3) continue;
                for (std::size_t k = j + 1; k < m; ++k) {
                    const int32_t c = *id3++;
                    if (c >= 0) *out++ = {static_cast<coordinate_t>(c), w2 * vals[k]};
                }
            }
        }
        acc.len = static_cast<std::size_t>(out - acc.entries);
    }

private:
    // Names are known by their positions in the keys' name fields: the
    // first as is, each further one plus one (so that no field but the
    // first is 0).
    static uint64_t at2(std::size_t i, std::size_t j) {
        return static_cast<uint64_t>(i) | (static_cast<uint64_t>(j + 1) << 16);
    }
    // Fills a level's keys in order through plain pointers (the vectors'
    // own pointers would be read again after every store).
    struct Filler {
        uint64_t* pair;
        uint64_t* hash;
        uint64_t* names;
        explicit Filler(MemoLevel& level)
            : pair(level.pair.data()), hash(level.hash.data()), names(level.names.data()) {}
        void add(uint64_t p, uint64_t at) {
            *pair++ = p;
            *hash++ = ConjMemo::hash(p);
            *names++ = at;
        }
    };
};

}  // namespace qv

#endif
