// prefetch_line: a hint that the cache line at an address is needed soon.
#ifndef QUORVEX_PREFETCH_H
#define QUORVEX_PREFETCH_H

namespace qv {

// Starts loading the cache line at p. On x86 this is the instruction
// itself: GCC's dead-code elimination drops a __builtin_prefetch that sits
// behind a condition (as in CPPAlphabet::prefetch_entry), however much it is
// needed.
inline void prefetch_line(const void* p) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __asm__ __volatile__("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
    __builtin_prefetch(p);
#endif
}

}  // namespace qv

#endif
