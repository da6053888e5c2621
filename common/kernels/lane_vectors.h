// Generic vectors of four doubles, as the lane kernels use them (element-wise
// IEEE operations: the same bits at every instruction set), and the helpers
// the kernels over objects and over clusters share.
#pragma once

#include <cstdint>
#include <cstring>

namespace lanes {

typedef double V4 __attribute__((vector_size(32)));

[[gnu::always_inline]] inline V4 Load(const double *p) {
    V4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
[[gnu::always_inline]] inline void Store(double *p, V4 v) { std::memcpy(p, &v, sizeof v); }
[[gnu::always_inline]] inline V4 Splat(double x) { return V4{x, x, x, x}; }
// p[0 .. r) and zeros, for r in 1 .. 3.
[[gnu::always_inline]] inline V4 Tail(const double *p, int64_t r) {
    return V4{p[0], r > 1 ? p[1] : 0.0, r > 2 ? p[2] : 0.0, 0.0};
}

// The lanes of four pairs transposed: t[l] holds lane l of s[0], s[1],
// s[2], s[3], so that the pairs' lanes can be combined side by side.
[[gnu::always_inline]] inline void Transpose(const V4 s[4], V4 t[4]) {
    const V4 ab02 = __builtin_shufflevector(s[0], s[1], 0, 4, 2, 6);
    const V4 ab13 = __builtin_shufflevector(s[0], s[1], 1, 5, 3, 7);
    const V4 cd02 = __builtin_shufflevector(s[2], s[3], 0, 4, 2, 6);
    const V4 cd13 = __builtin_shufflevector(s[2], s[3], 1, 5, 3, 7);
    t[0] = __builtin_shufflevector(ab02, cd02, 0, 1, 4, 5);
    t[2] = __builtin_shufflevector(ab02, cd02, 2, 3, 6, 7);
    t[1] = __builtin_shufflevector(ab13, cd13, 0, 1, 4, 5);
    t[3] = __builtin_shufflevector(ab13, cd13, 2, 3, 6, 7);
}

}  // namespace lanes
