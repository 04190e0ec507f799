// ConjMemo: the ids that a dictionary which no longer grows gives the
// conjunctions of features, found by numbers instead of key bytes.
//
// A key "k^name" is known by the pair (node of k, number of name): every
// feature name gets a number of its own (by its bytes), every key looked up
// gets a node, and the pair leads to the key's id in the dictionary (-1
// when absent) and to its node, which the keys extending it use in turn. A
// probe is one integer hash and one slot read: no key bytes are built,
// hashed or compared, and the dictionary's slot and entry are not touched.
// Two pairs spelling the same bytes ("a^b" + "c", "a" + "b^c") each find
// the id of those bytes, so answers are exactly the dictionary's.
//
// Staleness has one rule: the memo belongs to one state of one dictionary,
// the object (held) and its generation, which changes with every change of
// its words. Any other state empties it. It is only consulted while the
// dictionary does not grow (a growing one hands out ids in lookup order).
//
// Memory is bounded: at most kMinPairs more pairs (absent keys included)
// than the dictionary has words, in a table at most 3/4 full with 16-byte
// slots (so at most 43 bytes a pair, about the dictionary's own cost a
// word), plus the names; a vectorising step that could pass the bound
// empties the memo first.
#ifndef QUORVEX_FEATURE_COMBINE_CONJ_MEMO_H
#define QUORVEX_FEATURE_COMBINE_CONJ_MEMO_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include "common/errors.h"
#include "cxx_alph.h"
#include "hash_bytes.h"
#include "prefetch.h"

namespace qv {

class ConjMemo {
public:
    // The node of the empty key, which single features extend.
    static const uint32_t kRoot = 0;
    static const std::size_t kMinPairs = std::size_t(1) << 18;

    struct Slot {
        uint64_t pair;  // pair(parent, name); 0: an empty slot
        int32_t id;     // the key's id in the dictionary, or -1
        uint32_t node;  // the key's own node
    };

    // The key made of the key of node `parent`, "^" and name number `name`
    // (just the name for kRoot); never 0.
    static uint64_t pair(uint32_t parent, uint32_t name) { return static_cast<uint64_t>(parent) << 32 | (name + 1u); }
    static uint64_t hash(uint64_t pair) { return mix64(pair ^ 0xa0761d6478bd642full, 0xe7037ed1a0b428dbull); }

    ConjMemo() = default;
    ConjMemo(const ConjMemo&) = delete;
    ConjMemo& operator=(const ConjMemo&) = delete;
    ~ConjMemo() { release(slots_, capacity()); }

    // Makes the memo belong to the current state of `dict` (whose table is
    // `map`), emptying it when it belonged to another.
    void sync(PyObject* dict, const CPPAlphabet& map) {
        if (dict == dict_.get() && map.generation == generation_) return;
        empty();
        dict_ = Ref::borrow(dict);
        generation_ = map.generation;
        limit_ = map.size() + kMinPairs;
        spelled_keys_ = 0;
    }
    // Whether the `keys` keys of a part should go through the memo. Filing
    // costs about as much again as looking keys up as bytes, and pays off
    // only when keys come again: so the memo starts filing once as many
    // keys as the dictionary has words have been looked up as bytes in its
    // current state (until then the keys are counted here and go the
    // plain way). A single pass over new inputs thus pays little, and a
    // repeated one pays at most its first pass's worth.
    bool ready(PyObject* dict, const CPPAlphabet& map, std::size_t keys) {
        sync(dict, map);
        if (spelled_keys_ >= map.size()) return true;
        spelled_keys_ += keys;
        return false;
    }
    // Room for as many pairs as the dictionary has words, so that filling
    // the memo does not rehash along the way. Throws std::bad_alloc.
    void reserve_for(const CPPAlphabet& map) {
        std::size_t cap = 1024;
        while (3 * cap < 4 * map.size() && cap < 2 * limit_) cap *= 2;
        if (cap > capacity()) rehash(cap);
    }
    // The number of pairs filed: nodes above it were made since.
    std::size_t count() const { return count_; }
    // Room for `more` pairs and names: empties the memo (keeping its
    // dictionary) when they could pass the bound.
    void make_room(std::size_t more) {
        if (count_ + more > limit_ || names_.size() + more > limit_) empty();
    }
    // Forgets everything, the dictionary included.
    void clear() {
        empty();
        dict_.reset();
    }
    // Changes whenever the memo is emptied (its name numbers and nodes then
    // mean nothing any more).
    uint64_t epoch() const { return epoch_; }
    // The dictionary the memo belongs to (for the collector).
    PyObject* dict() const { return dict_.get(); }

    // The number of a feature name (its bytes). Throws std::bad_alloc.
    uint32_t name_number(const char* p, std::size_t n) { return static_cast<uint32_t>(names_.lookup(p, n)); }

    // Whether nothing has been filed yet (no table to read).
    bool empty_table() const { return !slots_; }
    void prefetch(uint64_t h) const {
        if (slots_) prefetch_line(&slots_[home(h)]);
    }
    // The slot of the pair, or nullptr. A probe reads whole lines of four
    // slots: the pair is in the first line that holds it or an empty slot.
    const Slot* find(uint64_t pair, uint64_t h) const {
        if (!slots_) return nullptr;
        for (std::size_t i = home(h);; i = (i + kLine) & mask_) {
            const Slot* s = slots_ + i;
            const unsigned hit =
                (s[0].pair == pair) | (s[1].pair == pair) << 1 | (s[2].pair == pair) << 2 | (s[3].pair == pair) << 3;
            if (hit) return s + __builtin_ctz(hit);
            if ((s[0].pair == 0) | (s[1].pair == 0) | (s[2].pair == 0) | (s[3].pair == 0)) return nullptr;
        }
    }
    // The line after the home line, where a probe goes on when the home
    // line is full.
    void prefetch_next_line(uint64_t h) const {
        if (slots_) prefetch_line(&slots_[(home(h) + kLine) & mask_]);
    }
    // The slot of the pair when it lies in its home line (as nearly every
    // filed pair does), else nullptr: then find() has the answer. Reads one
    // line with no branch on its contents, so that probes of many keys
    // overlap.
    const Slot* find_at_home(uint64_t pair, uint64_t h) const {
        const Slot* s = slots_ + home(h);
        const unsigned hit =
            (s[0].pair == pair) | (s[1].pair == pair) << 1 | (s[2].pair == pair) << 2 | (s[3].pair == pair) << 3;
        return hit ? s + __builtin_ctz(hit) : nullptr;
    }
    // Files the pair with its id, unless it is there already; returns its
    // node. Throws std::bad_alloc.
    uint32_t add(uint64_t pair, uint64_t h, int32_t id) {
        if (const Slot* s = find(pair, h)) return s->node;
        if ((count_ + 1) * 4 > capacity() * 3) rehash(capacity() ? 2 * capacity() : 1024);
        std::size_t i = home(h);
        while (slots_[i].pair != 0) i = (i + 1) & mask_;
        ++count_;
        slots_[i] = Slot{pair, id, static_cast<uint32_t>(count_)};
        return static_cast<uint32_t>(count_);
    }

private:
    Slot* slots_ = nullptr;  // capacity() slots, a power of two
    std::size_t mask_ = 0;
    std::size_t count_ = 0;  // pairs filed; their nodes are 1..count_
    std::size_t limit_ = kMinPairs;
    CPPAlphabet names_;
    Ref dict_;
    uint64_t generation_ = 0;
    std::size_t spelled_keys_ = 0;  // keys looked up as bytes in this state
    uint64_t epoch_ = 0;

    static const std::size_t kLine = 64 / sizeof(Slot);
    static_assert(kLine == 4, "four slots a cache line");

    std::size_t capacity() const { return slots_ ? mask_ + 1 : 0; }
    // The first slot of the line where the pair's probe starts.
    std::size_t home(uint64_t h) const { return h & mask_ & ~(kLine - 1); }

    static const std::size_t kMapped = std::size_t(2) << 20;

    // ncap empty slots, in whole cache lines. A large table is mapped
    // straight from the system, so that only the pages probes reach take
    // memory, in huge pages where the system has them (probes are spread
    // all over the table).
    static Slot* allocate(std::size_t ncap) {
        const std::size_t bytes = ncap * sizeof(Slot);
        void* p = nullptr;
#if defined(MAP_ANONYMOUS)
        if (bytes >= kMapped) {
            p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
            madvise(p, bytes, MADV_HUGEPAGE);
#endif
            return static_cast<Slot*>(p);
        }
#endif
        if (posix_memalign(&p, 64, bytes) != 0) throw std::bad_alloc();
        std::memset(p, 0, bytes);
        return static_cast<Slot*>(p);
    }
    static void release(Slot* slots, std::size_t ncap) {
        if (!slots) return;
#if defined(MAP_ANONYMOUS)
        if (ncap * sizeof(Slot) >= kMapped) {
            munmap(slots, ncap * sizeof(Slot));
            return;
        }
#endif
        std::free(slots);
    }

    void empty() {
        ++epoch_;
        release(slots_, capacity());
        slots_ = nullptr;
        mask_ = 0;
        count_ = 0;
        names_.clear();
    }

    void rehash(std::size_t ncap) {
        Slot* fresh = allocate(ncap);
        for (std::size_t i = 0; i < capacity(); ++i) {
            const Slot& s = slots_[i];
            if (s.pair == 0) continue;
            std::size_t j = hash(s.pair) & (ncap - 1) & ~(kLine - 1);
            while (fresh[j].pair != 0) j = (j + 1) & (ncap - 1);
            fresh[j] = s;
        }
        release(slots_, capacity());
        slots_ = fresh;
        mask_ = ncap - 1;
    }
};

}  // namespace qv

#endif
