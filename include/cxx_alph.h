// CPPAlphabet: the two-way map between byte strings ("words") and dense
// ids 0, 1, 2, ... in order of first insertion.
//
// All word bytes live in one arena (`space`), each word followed by a NUL
// so that callers can use it as a C string; `words` holds each word's
// offset into the arena (the id is the position). `dictionary` is an
// open-addressing table with linear probing whose slots hold the id (plus
// one; 0 marks an empty slot) and the upper half of the word's hash, so a
// probe compares bytes only on a full hash match. No word costs a heap
// allocation of its own.
//
// Plain C++: allocation failures throw std::bad_alloc. The hash is exposed
// so that callers can hash a batch of keys first and prefetch their slots
// before probing.
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

namespace qv {

// Multiply-and-fold mixing: the 128-bit product of two 64-bit lanes,
// folded back to 64 bits.
inline uint64_t mix64(uint64_t a, uint64_t b) {
    __uint128_t r = static_cast<__uint128_t>(a) * b;
    return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

inline uint64_t load64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline uint64_t load_tail(const unsigned char* p, std::size_t n) {  // n < 8
    uint64_t v = 0;
    std::memcpy(&v, p, n);
    return v;
}

// A fast hash of n bytes with good avalanche (every input bit reaches
// every output bit through at least two multiply-folds).
inline uint64_t hash_bytes(const void* data, std::size_t n) {
    const uint64_t k0 = 0xa0761d6478bd642full, k1 = 0xe7037ed1a0b428dbull,
                   k2 = 0x8ebc6af09c88c6e3ull, k3 = 0x589965cc75374cc3ull;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint64_t h = k0 ^ (static_cast<uint64_t>(n) * k3);
    std::size_t left = n;
    while (left >= 16) {
        h = mix64(load64(p) ^ k1, load64(p + 8) ^ h);
        p += 16;
        left -= 16;
    }
    uint64_t a = 0, b = 0;
    if (left >= 8) {
        a = load64(p);
        b = load_tail(p + 8, left - 8);
    } else {
        a = load_tail(p, left);
    }
    h = mix64(a ^ k1 ^ h, b ^ k2);
    return mix64(h ^ k3, static_cast<uint64_t>(n) ^ k1);
}

class CPPAlphabet {
public:
    struct Slot {
        uint32_t id_plus_one;  // 0: empty
        uint32_t tag;          // upper 32 bits of the hash
    };

    static const int32_t MAX_WORDS = 0x7fffffff - 1;

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
            if (s.id_plus_one == 0) return -1;
            if (s.tag == tag) {
                int32_t id = static_cast<int32_t>(s.id_plus_one - 1);
                if (word_len(id) == n && std::memcmp(word(id), p, n) == 0) return id;
            }
        }
    }
    int32_t find(const char* p, std::size_t n) const { return find(p, n, hash_bytes(p, n)); }

    // Id of the word; absent words are added while the alphabet grows,
    // else -1. Throws std::bad_alloc (nothing changed) or std::length_error
    // when the id space is exhausted.
    int32_t lookup(const char* p, std::size_t n, uint64_t h) {
        int32_t id = find(p, n, h);
        if (id >= 0 || !growing) return id;
        return insert_new(p, n, h);
    }
    int32_t lookup(const char* p, std::size_t n) { return lookup(p, n, hash_bytes(p, n)); }

    // Adds a word known to be absent.
    int32_t insert_new(const char* p, std::size_t n, uint64_t h) {
        if (words.size() >= static_cast<std::size_t>(MAX_WORDS)) throw std::length_error("alphabet full");
        if ((words.size() + 1) * 2 > capacity()) rehash(capacity() ? capacity() * 2 : 64);
        if (words.size() == words.capacity()) words.reserve(words.empty() ? 64 : words.size() * 2);
        reserve_space(space_len + n + 1);
        int32_t id = static_cast<int32_t>(words.size());
        std::memcpy(space + space_len, p, n);
        space[space_len + n] = '\0';
        words.push_back(space_len);
        space_len += n + 1;
        place(id, h);
        return id;
    }

    // The word's bytes (NUL-terminated) and length; id must be below size().
    // The pointer stays valid until the next insertion.
    const char* word(int32_t id) const { return space + words[id]; }
    std::size_t word_len(int32_t id) const {
        std::size_t end = static_cast<std::size_t>(id) + 1 < words.size() ? words[id + 1] : space_len;
        return end - words[id] - 1;
    }

    void prefetch(uint64_t h) const {
        if (dictionary) __builtin_prefetch(&dictionary[h & mask]);
    }

    void clear() {
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
    }

    std::size_t memory_bytes() const {
        return space_cap + capacity() * sizeof(Slot) + words.capacity() * sizeof(std::size_t);
    }

    bool growing = true;

private:
    Slot* dictionary = nullptr;   // capacity() slots, a power of two
    std::size_t mask = 0;
    std::vector<std::size_t> words;  // offset of each word in space
    char* space = nullptr;
    std::size_t space_len = 0, space_cap = 0;

    std::size_t capacity() const { return dictionary ? mask + 1 : 0; }

    void reserve_space(std::size_t want) {
        if (want <= space_cap) return;
        std::size_t ncap = space_cap ? space_cap : 1024;
        while (ncap < want) ncap *= 2;
        void* q = std::realloc(space, ncap);
        if (!q) throw std::bad_alloc();
        space = static_cast<char*>(q);
        space_cap = ncap;
    }

    void place(int32_t id, uint64_t h) {
        std::size_t i = h & mask;
        while (dictionary[i].id_plus_one != 0) i = (i + 1) & mask;
        dictionary[i].id_plus_one = static_cast<uint32_t>(id) + 1;
        dictionary[i].tag = static_cast<uint32_t>(h >> 32);
    }

    void rehash(std::size_t ncap) {
        Slot* fresh = static_cast<Slot*>(std::calloc(ncap, sizeof(Slot)));
        if (!fresh) throw std::bad_alloc();
        std::free(dictionary);
        dictionary = fresh;
        mask = ncap - 1;
        for (std::size_t id = 0; id < words.size(); ++id) {
            int32_t i32 = static_cast<int32_t>(id);
            place(i32, hash_bytes(word(i32), word_len(i32)));
        }
    }
};

}  // namespace qv

#endif
