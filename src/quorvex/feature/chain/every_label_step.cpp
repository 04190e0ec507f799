#include "feature/chain/every_label_step.h"

#include <cstdlib>
#include <cstring>

namespace qv {

namespace {

// Four doubles (and four 64-bit masks or indices) in the compilers' vector
// extensions: plain IEEE arithmetic lane by lane, in whatever registers the
// target has (two SSE2 registers, or one AVX register).
typedef double v4d __attribute__((vector_size(32)));
typedef long long v4l __attribute__((vector_size(32)));

// Through a reference: a function returning a 32-byte vector would have
// an ABI that depends on the target.
__attribute__((always_inline)) inline void load4(v4d& v, const double* p) { std::memcpy(&v, p, sizeof v); }

// Eight labels at a time, in two independent vectors so that the running
// maxima of one previous label do not wait on each other.
__attribute__((always_inline)) inline void step_body(const double* T, std::size_t stride, const double* e,
                                                     const double* inside, uint32_t n, uint32_t lanes, double floor,
                                                     double* best, int64_t* arg) {
    for (uint32_t j = 0; j < lanes; j += 8) {
        v4d e0, e1;
        load4(e0, e + j);
        load4(e1, e + j + 4);
        v4d b0 = {floor, floor, floor, floor}, b1 = b0;
        v4l a0 = {-1, -1, -1, -1}, a1 = a0;
        const double* row = T + j;
        for (uint32_t p = 0; p < n; ++p, row += stride) {
            const double ip = inside[p];
            const v4d in = {ip, ip, ip, ip};
            const long long pp = p;
            const v4l pv = {pp, pp, pp, pp};
            v4d t0, t1;
            load4(t0, row);
            load4(t1, row + 4);
            const v4d v0 = (t0 + e0) + in, v1 = (t1 + e1) + in;
            const v4l m0 = v0 >= b0, m1 = v1 >= b1;
            b0 = m0 ? v0 : b0;
            b1 = m1 ? v1 : b1;
            a0 = m0 ? pv : a0;
            a1 = m1 ? pv : a1;
        }
        std::memcpy(best + j, &b0, sizeof b0);
        std::memcpy(best + j + 4, &b1, sizeof b1);
        std::memcpy(arg + j, &a0, sizeof a0);
        std::memcpy(arg + j + 4, &a1, sizeof a1);
    }
}

void step_default(const double* T, std::size_t stride, const double* e, const double* inside, uint32_t n,
                  uint32_t lanes, double floor, double* best, int64_t* arg) {
    step_body(T, stride, e, inside, n, lanes, floor, best, arg);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same, compiled for AVX2 (one register per four lanes, blends in one
// instruction), used where the processor has it.
__attribute__((target("avx2"))) void step_avx2(const double* T, std::size_t stride, const double* e,
                                               const double* inside, uint32_t n, uint32_t lanes, double floor,
                                               double* best, int64_t* arg) {
    step_body(T, stride, e, inside, n, lanes, floor, best, arg);
}

using StepFn = void (*)(const double*, std::size_t, const double*, const double*, uint32_t, uint32_t, double, double*,
                        int64_t*);

// QUORVEX_NO_AVX2=1 in the environment keeps the default build (to test it
// on a processor that has AVX2, or to rule the AVX2 code out).
StepFn choose_step() {
    const char* off = std::getenv("QUORVEX_NO_AVX2");
    if (off && *off && std::strcmp(off, "0") != 0) return step_default;
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? step_avx2 : step_default;
}
#endif

}  // namespace

void every_label_step(const double* T, std::size_t stride, const double* e, const double* inside, uint32_t n,
                      uint32_t labels, double floor, double* best, int64_t* arg) {
    const uint32_t lanes = step_lanes(labels);
#if defined(__x86_64__) && defined(__GNUC__)
    static const StepFn step = choose_step();
    step(T, stride, e, inside, n, lanes, floor, best, arg);
#else
    step_default(T, stride, e, inside, n, lanes, floor, best, arg);
#endif
}

}  // namespace qv
