// CPPAlphabet: the two-way map between byte strings ("words") and dense
// ids 0, 1, 2, ... in order of first insertion.
//
// All word bytes live in one arena (`space`): per word a small header
// (length, id), the bytes and a NUL, so callers can use a word as a C
// string. `words` maps each id to its arena entry. `dictionary` is an
// open-addressing table with linear probing whose slots point straight at
// arena entries, so a lookup costs two memory reads (slot, entry). No word
// costs a heap allocation of its own.
//
// Plain C++: allocation failures throw std::bad_alloc. The hash
// (hash_bytes.h) is exposed so that callers can hash a batch of keys first
// and prefetch their slots before probing.
#ifndef QUORVEX_CXX_ALPH_H
#define QUORVEX_CXX_ALPH_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "hash_bytes.h"
#include "prefetch.h"

namespace qv {

class CPPAlphabet {
public:
    // A table slot: the word's arena entry (in 8-byte units, plus one; 0
    // marks an empty slot) and the upper half of its hash, so a probe
    // touches the word's bytes only on a full hash match.
    struct Slot {
        uint32_t entry_plus_one;
        uint32_t tag;
    };
    // An arena entry: this header, then the word's bytes and a NUL,
    // padded to 8 bytes. Slot -> entry is the only indirection of a probe.
    struct EntryHeader {
        uint32_t len;
        int32_t id;
    };

    static const int32_t MAX_WORDS = 0x7fffffff - 1;
    static const std::size_t MAX_SPACE = static_cast<std::size_t>(UINT32_MAX - 1) * 8;

    CPPAlphabet() = default;
    CPPAlphabet(const CPPAlphabet&) = delete;
    CPPAlphabet& operator=(const CPPAlphabet&) = delete;
    ~CPPAlphabet() {
        std::free(dictionary);
        std::free(space);
    }

    std::size_t size() const { return words.size(); }

    // Id of the word, or -1 when it is absent.
    int32_t find(const char* p, std::size_t n, uint64_t h) const {
        if (!dictionary) return -1;
        const uint32_t tag = static_cast<uint32_t>(h >> 32);
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const Slot& s = dictionary[i];
            if (s.entry_plus_one == 0) return -1;
            if (s.tag == tag) {
                const EntryHeader* e = entry(s.entry_plus_one - 1);
                if (e->len == n && bytes_equal(reinterpret_cast<const char*>(e + 1), p, n)) return e->id;
            }
        }
    }
    int32_t find(const char* p, std::size_t n) const { return find(p, n, hash_bytes(p, n)); }

    // Id of the word; absent words are added while the alphabet grows,
    // else -1. Throws std::bad_alloc (nothing changed) or std::length_error
    // when the id or arena space is exhausted.
    int32_t lookup(const char* p, std::size_t n, uint64_t h) {
        int32_t id = find(p, n, h);
        if (id >= 0 || !growing) return id;
        return insert_new(p, n, h);
    }
    int32_t lookup(const char* p, std::size_t n) { return lookup(p, n, hash_bytes(p, n)); }

    // Adds a word known to be absent.
    int32_t insert_new(const char* p, std::size_t n, uint64_t h) {
        if (words.size() >= static_cast<std::size_t>(MAX_WORDS) || n > UINT32_MAX)
            throw std::length_error("alphabet full");
        const std::size_t need = entry_size(n);
        if (space_len + need > MAX_SPACE) throw std::length_error("alphabet full");
        if ((words.size() + 1) * 2 > capacity()) rehash(capacity() ? capacity() * 2 : 64);
        if (words.size() == words.capacity()) words.reserve(words.empty() ? 64 : words.size() * 2);
        reserve_space(space_len + need);
        const int32_t id = static_cast<int32_t>(words.size());
        const uint32_t unit = static_cast<uint32_t>(space_len / 8);
        EntryHeader* e = reinterpret_cast<EntryHeader*>(space + space_len);
        e->len = static_cast<uint32_t>(n);
        e->id = id;
        char* bytes = reinterpret_cast<char*>(e + 1);
        std::memcpy(bytes, p, n);
        std::memset(bytes + n, 0, need - sizeof(EntryHeader) - n);  // NUL and padding
        words.push_back(unit);
        space_len += need;
        place(unit, h);
        ++generation;
        return id;
    }

    // The word's bytes (NUL-terminated) and length; id must be below size().
    // The pointer stays valid until the next insertion.
    const char* word(int32_t id) const { return reinterpret_cast<const char*>(entry(words[id]) + 1); }
    std::size_t word_len(int32_t id) const { return entry(words[id])->len; }

    // First stage of a pipelined probe: bring the key's slot into cache.
    void prefetch(uint64_t h) const {
        if (dictionary) prefetch_line(&dictionary[h & mask]);
    }
    // Second stage: read the key's home slot (prefetched earlier) and, when
    // its tag matches, bring the entry it points to into cache.
    void prefetch_entry(uint64_t h) const {
        if (!dictionary) return;
        const Slot& s = dictionary[h & mask];
        if (s.entry_plus_one != 0 && s.tag == static_cast<uint32_t>(h >> 32))
            prefetch_line(entry(s.entry_plus_one - 1));
    }

    // Room for `n` words in all, so that adding up to that many does not
    // rehash along the way. Throws std::bad_alloc.
    void reserve(std::size_t n) {
        std::size_t cap = capacity() ? capacity() : 64;
        while (cap < 2 * n) cap *= 2;
        if (cap > capacity()) rehash(cap);
        words.reserve(n);
    }

    void clear() {
        ++generation;
        words.clear();
        space_len = 0;
        if (dictionary) std::memset(dictionary, 0, capacity() * sizeof(Slot));
    }

    void swap(CPPAlphabet& other) noexcept {
        std::swap(dictionary, other.dictionary);
        std::swap(mask, other.mask);
        words.swap(other.words);
        std::swap(space, other.space);
        std::swap(space_len, other.space_len);
        std::swap(space_cap, other.space_cap);
        std::swap(growing, other.growing);
        generation = other.generation = (generation > other.generation ? generation : other.generation) + 1;
    }

    std::size_t memory_bytes() const {
        return space_cap + capacity() * sizeof(Slot) + words.capacity() * sizeof(uint32_t);
    }

    bool growing = true;
    // Changes whenever the words change (insertion, clearing, swapping), so
    // that results computed from the table can be known to be current.
    uint64_t generation = 0;

private:
    Slot* dictionary = nullptr;  // capacity() slots, a power of two
    std::size_t mask = 0;
    std::vector<uint32_t> words;  // arena entry (8-byte units) of each id
    char* space = nullptr;        // the arena, 8-byte aligned entries
    std::size_t space_len = 0, space_cap = 0;

    static std::size_t entry_size(std::size_t n) { return (sizeof(EntryHeader) + n + 1 + 7) & ~std::size_t(7); }
    const EntryHeader* entry(uint32_t unit) const {
        return reinterpret_cast<const EntryHeader*>(space + static_cast<std::size_t>(unit) * 8);
    }
    std::size_t capacity() const { return dictionary ? mask + 1 : 0; }

    void reserve_space(std::size_t want) {
        if (want <= space_cap) return;
        std::size_t ncap = space_cap ? space_cap : 1024;
        while (ncap < want) ncap *= 2;
        void* q = std::realloc(space, ncap);  // malloc alignment covers the 8-byte entries
        if (!q) throw std::bad_alloc();
        space = static_cast<char*>(q);
        space_cap = ncap;
    }

    void place(uint32_t unit, uint64_t h) {
        std::size_t i = h & mask;
        while (dictionary[i].entry_plus_one != 0) i = (i + 1) & mask;
        dictionary[i].entry_plus_one = unit + 1;
        dictionary[i].tag = static_cast<uint32_t>(h >> 32);
    }

    // Walks the arena in order (sequential reads) to re-place every word.
    void rehash(std::size_t ncap) {
        Slot* fresh = static_cast<Slot*>(std::calloc(ncap, sizeof(Slot)));
        if (!fresh) throw std::bad_alloc();
        std::free(dictionary);
        dictionary = fresh;
        mask = ncap - 1;
        for (std::size_t off = 0; off < space_len;) {
            const EntryHeader* e = reinterpret_cast<const EntryHeader*>(space + off);
            place(static_cast<uint32_t>(off / 8), hash_bytes(e + 1, e->len));
            off += entry_size(e->len);
        }
    }
};

}  // namespace qv

#endif
