// Hashing and comparing short byte strings (the keys of the dictionaries):
// hash_bytes and bytes_equal, and the loads they are built from.
#ifndef QUORVEX_HASH_BYTES_H
#define QUORVEX_HASH_BYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// The n < 8 bytes at p as one 64-bit number (zero above them), read
// with two overlapping loads instead of n single-byte stores and a reload,
// which would stall on store forwarding.
inline uint64_t load_tail(const unsigned char* p, std::size_t n) {
    if (n >= 4) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        return static_cast<uint64_t>(lo) | (static_cast<uint64_t>(hi) << (8 * (n - 4)));
    }
    if (n >= 2) {
        uint16_t lo, hi;
        std::memcpy(&lo, p, 2);
        std::memcpy(&hi, p + n - 2, 2);
        return static_cast<uint64_t>(lo) | (static_cast<uint64_t>(hi) << (8 * (n - 2)));
    }
    return n ? p[0] : 0;
}

// Equality of two n-byte strings; keys are short, so compare them in
// (possibly overlapping) 8-byte words instead of calling memcmp.
inline bool bytes_equal(const char* a, const char* b, std::size_t n) {
    const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
    if (n >= 8) {
        if (n > 32) return std::memcmp(a, b, n) == 0;
        for (std::size_t i = 0; i + 8 <= n; i += 8)
            if (load64(x + i) != load64(y + i)) return false;
        return load64(x + n - 8) == load64(y + n - 8);
    }
    if (n >= 4) {
        uint32_t a0, b0, a1, b1;
        std::memcpy(&a0, x, 4), std::memcpy(&b0, y, 4);
        std::memcpy(&a1, x + n - 4, 4), std::memcpy(&b1, y + n - 4, 4);
        return a0 == b0 && a1 == b1;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (x[i] != y[i]) return false;
    return true;
}

// A fast hash of n bytes with good avalanche (every input bit reaches
// every output bit through at least two multiply-folds).
inline uint64_t hash_bytes(const void* data, std::size_t n) {
    const uint64_t k0 = 0xa0761d6478bd642full, k1 = 0xe7037ed1a0b428dbull, k2 = 0x8ebc6af09c88c6e3ull,
                   k3 = 0x589965cc75374cc3ull;
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

}  // namespace qv

#endif
