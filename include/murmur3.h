// MurmurHash3, x86 32-bit variant: a fast non-cryptographic hash of a byte
// string whose value is fixed by the algorithm (the same on every machine
// and in every process, unlike Python's salted str hash). Written from the
// algorithm's public description; the bytes are read as little-endian
// 32-bit blocks whatever the host's byte order.
#ifndef QUORVEX_MURMUR3_H
#define QUORVEX_MURMUR3_H

#include <cstddef>
#include <cstdint>

namespace qv {

namespace murmur3_detail {

inline uint32_t rotl32(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

// One 4-byte block (or the zero-padded tail) before it is mixed into h.
inline uint32_t scramble(uint32_t k) {
    k *= 0xcc9e2d51u;
    k = rotl32(k, 15);
    return k * 0x1b873593u;
}

// The final avalanche: every input bit affects every output bit.
inline uint32_t fmix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
}

}  // namespace murmur3_detail

// The unsigned 32-bit MurmurHash3 x86_32 of len bytes at data.
inline uint32_t murmur3_32(const void* data, std::size_t len, uint32_t seed) {
    using namespace murmur3_detail;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t h = seed;
    const std::size_t blocks = len / 4;
    for (std::size_t i = 0; i < blocks; ++i, p += 4) {
        const uint32_t k = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
        h ^= scramble(k);
        h = rotl32(h, 13);
        h = h * 5 + 0xe6546b64u;
    }
    uint32_t tail = 0;
    switch (len & 3) {
    case 3: tail ^= uint32_t(p[2]) << 16; [[fallthrough]];
    case 2: tail ^= uint32_t(p[1]) << 8; [[fallthrough]];
    case 1: tail ^= uint32_t(p[0]); h ^= scramble(tail);
    }
    // The length enters modulo 2^32, as the algorithm defines it.
    h ^= static_cast<uint32_t>(len);
    return fmix32(h);
}

// The same value read as a signed 32-bit number (two's complement).
inline int32_t murmur3_32_signed(const void* data, std::size_t len, uint32_t seed) {
    return static_cast<int32_t>(murmur3_32(data, len, seed));
}

}  // namespace qv

#endif
