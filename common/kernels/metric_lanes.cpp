#include "kernels/metric_lanes.h"

#include <cmath>
#include <cstring>

#include "kernels/kernels.h"
#include "kernels/lane_vectors.h"

namespace {

using lanes::Load;
using lanes::Store;
using lanes::Tail;
using lanes::V4;
typedef long long I4 __attribute__((vector_size(32)));

// The absolute value clears the sign bit, so that -0 never reaches a lane.
[[gnu::always_inline]] inline V4 Abs(V4 v) {
    const I4 mask = {0x7FFFFFFFFFFFFFFFLL, 0x7FFFFFFFFFFFFFFFLL, 0x7FFFFFFFFFFFFFFFLL, 0x7FFFFFFFFFFFFFFFLL};
    return reinterpret_cast<V4>(reinterpret_cast<I4>(v) & mask);
}

template <LaneOp Op, class T>
[[gnu::always_inline]] inline T Step(T acc, T x, T y) {
    if constexpr (Op == LaneOp::SquaredDifference) {
        const T d = x - y;
        return acc + d * d;
    } else if constexpr (Op == LaneOp::AbsoluteDifference) {
        return acc + Abs(x - y);
    } else if constexpr (Op == LaneOp::LargestDifference) {
        const T d = Abs(x - y);
        return acc > d ? acc : d;
    } else {
        return acc + x * y;
    }
}
template <>
[[gnu::always_inline]] inline double Step<LaneOp::AbsoluteDifference, double>(double acc, double x, double y) {
    return acc + std::fabs(x - y);
}
template <>
[[gnu::always_inline]] inline double Step<LaneOp::LargestDifference, double>(double acc, double x, double y) {
    const double d = std::fabs(x - y);
    return acc > d ? acc : d;
}

// R x C pairs over [k0, k1): lanes loaded from acc, the whole groups of four
// coordinates as vectors, the rest one lane at a time (k0 is a multiple of 4,
// so coordinate k of the rest goes to lane k - kv).
template <LaneOp Op, int R, int C>
[[gnu::always_inline]] inline void Micro(const double *const *a, const double *const *b, int64_t k0, int64_t k1,
                                         double *acc, int64_t accRowPairs) {
    V4 s[R][C];
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 8
        for (int c = 0; c < C; ++c) s[r][c] = Load(acc + 4 * (r * accRowPairs + c));
    const int64_t kv = k0 + (k1 - k0) / 4 * 4;
    for (int64_t k = k0; k < kv; k += 4) {
        V4 x[R], y[C];
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r) x[r] = Load(a[r] + k);
#pragma GCC unroll 8
        for (int c = 0; c < C; ++c) y[c] = Load(b[c] + k);
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r)
#pragma GCC unroll 8
            for (int c = 0; c < C; ++c) s[r][c] = Step<Op>(s[r][c], x[r], y[c]);
    }
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 8
        for (int c = 0; c < C; ++c) {
            double *lanes = acc + 4 * (r * accRowPairs + c);
            Store(lanes, s[r][c]);
            for (int64_t k = kv; k < k1; ++k) lanes[k - kv] = Step<Op>(lanes[k - kv], a[r][k], b[c][k]);
        }
}

template <LaneOp Op>
[[gnu::always_inline]] inline void Lanes(const double *const *a, int rows, const double *const *b, int columns,
                                         int64_t k0, int64_t k1, double *acc, int64_t accRowPairs) {
    // Whole 2 x 4 tiles where the pairs allow; single pairs for the rest.
    if (rows == 2 && columns == 4) return Micro<Op, 2, 4>(a, b, k0, k1, acc, accRowPairs);
    if (rows == 1 && columns == 4) return Micro<Op, 1, 4>(a, b, k0, k1, acc, accRowPairs);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) Micro<Op, 1, 1>(a + r, b + c, k0, k1, acc + 4 * (r * accRowPairs + c), 0);
}

template <LaneOp Op>
[[gnu::always_inline]] inline void Block(const double *data, int64_t stride, int64_t i0, int64_t i1, int64_t j0,
                                         int64_t j1, int64_t k0, int64_t k1, double *acc) {
    const int64_t width = j1 - j0;
    for (int64_t i = i0; i < i1; i += 2) {
        const int rows = i + 2 <= i1 ? 2 : 1;
        const double *a[2] = {data + i * stride, data + (i + rows - 1) * stride};
        for (int64_t j = j0; j < j1; j += 4) {
            const int columns = j + 4 <= j1 ? 4 : static_cast<int>(j1 - j);
            const double *b[4];
            for (int c = 0; c < 4; ++c) b[c] = data + (j + (c < columns ? c : 0)) * stride;
            Lanes<Op>(a, rows, b, columns, k0, k1, acc + 4 * ((i - i0) * width + (j - j0)), width);
        }
    }
}

// One object x against C objects, the lanes kept in registers; then
// combined (contract 2) into out[0 .. C).
template <LaneOp Op, int C>
[[gnu::always_inline]] inline void RowGroup(const double *x, const double *const *b, int64_t m, double *out) {
    V4 s[C];
#pragma GCC unroll 4
    for (int c = 0; c < C; ++c) s[c] = V4{0.0, 0.0, 0.0, 0.0};
    const int64_t kv = m / 4 * 4;
    for (int64_t k = 0; k < kv; k += 4) {
        const V4 v = Load(x + k);
#pragma GCC unroll 4
        for (int c = 0; c < C; ++c) s[c] = Step<Op>(s[c], v, Load(b[c] + k));
    }
    if (kv < m) {
        // The last one to three coordinates in lanes 0, 1, 2 and zeros
        // beyond: a step on two zeros leaves a lane as it was (a lane is
        // never -0 nor NaN on whole objects).
        const V4 v = Tail(x + kv, m - kv);
#pragma GCC unroll 4
        for (int c = 0; c < C; ++c) s[c] = Step<Op>(s[c], v, Tail(b[c] + kv, m - kv));
    }
    if constexpr (C == 4) {
        // The four pairs' lanes transposed, so that t[l] holds lane l of
        // each pair, then combined side by side as CombineLanes does.
        V4 t[4];
        lanes::Transpose(s, t);
        V4 r;
        if constexpr (Op == LaneOp::LargestDifference) {
            const V4 a = t[0] > t[1] ? t[0] : t[1], b2 = t[2] > t[3] ? t[2] : t[3];
            r = a > b2 ? a : b2;
        } else {
            r = (t[0] + t[1]) + (t[2] + t[3]);
        }
        Store(out, r);
    } else {
        for (int c = 0; c < C; ++c) {
            const double lanes[4] = {s[c][0], s[c][1], s[c][2], s[c][3]};
            out[c] = CombineLanes(Op, lanes);
        }
    }
}

template <LaneOp Op>
[[gnu::always_inline]] inline void Row(const double *x, const double *data, int64_t stride, int64_t m, int64_t j0,
                                       int64_t j1, double *out) {
    int64_t j = j0;
    for (; j + 4 <= j1; j += 4) {
        const double *b[4] = {data + j * stride, data + (j + 1) * stride, data + (j + 2) * stride,
                              data + (j + 3) * stride};
        RowGroup<Op, 4>(x, b, m, out + (j - j0));
    }
    for (; j < j1; ++j) {
        const double *b[1] = {data + j * stride};
        RowGroup<Op, 1>(x, b, m, out + (j - j0));
    }
}
// The same for the objects listed in `objects`.
template <LaneOp Op>
[[gnu::always_inline]] inline void RowAt(const double *x, const double *data, int64_t stride, int64_t m,
                                         const int64_t *objects, int64_t count, double *out) {
    // The objects are far apart once many have left the list, beyond what
    // the processor foresees: the first two lines of each are asked for a
    // few groups ahead (the lines after those follow in order).
    constexpr int64_t kAhead = 16;
    int64_t p = 0;
    for (; p + 4 <= count; p += 4) {
        if (p + kAhead + 4 <= count) {
            for (int c = 0; c < 4; ++c) {
                const char *ahead = reinterpret_cast<const char *>(data + objects[p + kAhead + c] * stride);
                __builtin_prefetch(ahead);
                __builtin_prefetch(ahead + 64);
            }
        }
        const double *b[4] = {data + objects[p] * stride, data + objects[p + 1] * stride,
                              data + objects[p + 2] * stride, data + objects[p + 3] * stride};
        RowGroup<Op, 4>(x, b, m, out + p);
    }
    for (; p < count; ++p) {
        const double *b[1] = {data + objects[p] * stride};
        RowGroup<Op, 1>(x, b, m, out + p);
    }
}
template <LaneOp Op>
__attribute__((target("avx2"))) void RowAtAvx2(const double *x, const double *data, int64_t stride, int64_t m,
                                               const int64_t *objects, int64_t count, double *out) {
    RowAt<Op>(x, data, stride, m, objects, count, out);
}
template <LaneOp Op>
void RowAtPlain(const double *x, const double *data, int64_t stride, int64_t m, const int64_t *objects, int64_t count,
                double *out) {
    RowAt<Op>(x, data, stride, m, objects, count, out);
}

template <LaneOp Op>
__attribute__((target("avx2"))) void RowAvx2(const double *x, const double *data, int64_t stride, int64_t m,
                                             int64_t j0, int64_t j1, double *out) {
    Row<Op>(x, data, stride, m, j0, j1, out);
}
template <LaneOp Op>
void RowPlain(const double *x, const double *data, int64_t stride, int64_t m, int64_t j0, int64_t j1, double *out) {
    Row<Op>(x, data, stride, m, j0, j1, out);
}

template <LaneOp Op>
__attribute__((target("avx2"))) void LanesAvx2(const double *const *a, int rows, const double *const *b, int columns,
                                               int64_t k0, int64_t k1, double *acc, int64_t accRowPairs) {
    Lanes<Op>(a, rows, b, columns, k0, k1, acc, accRowPairs);
}
template <LaneOp Op>
void LanesPlain(const double *const *a, int rows, const double *const *b, int columns, int64_t k0, int64_t k1,
                double *acc, int64_t accRowPairs) {
    Lanes<Op>(a, rows, b, columns, k0, k1, acc, accRowPairs);
}
template <LaneOp Op>
__attribute__((target("avx2"))) void BlockAvx2(const double *data, int64_t stride, int64_t i0, int64_t i1,
                                               int64_t j0, int64_t j1, int64_t k0, int64_t k1, double *acc) {
    Block<Op>(data, stride, i0, i1, j0, j1, k0, k1, acc);
}
template <LaneOp Op>
void BlockPlain(const double *data, int64_t stride, int64_t i0, int64_t i1, int64_t j0, int64_t j1, int64_t k0,
                int64_t k1, double *acc) {
    Block<Op>(data, stride, i0, i1, j0, j1, k0, k1, acc);
}

bool UseAvx2() { return ActiveKernelLevel() != KernelLevel::Scalar; }

// Calls F<op>(args...) for the run-time op.
#define DENDRO_BY_OP(F, op, ...)                                                            \
    switch (op) {                                                                           \
        case LaneOp::SquaredDifference: return F<LaneOp::SquaredDifference>(__VA_ARGS__);   \
        case LaneOp::AbsoluteDifference: return F<LaneOp::AbsoluteDifference>(__VA_ARGS__); \
        case LaneOp::LargestDifference: return F<LaneOp::LargestDifference>(__VA_ARGS__);   \
        case LaneOp::Product: return F<LaneOp::Product>(__VA_ARGS__);                       \
    }

}  // namespace

void AccumulateLanes(LaneOp op, const double *const *a, int rows, const double *const *b, int columns, int64_t k0,
                     int64_t k1, double *acc, int64_t accRowPairs) {
    if (UseAvx2()) {
        DENDRO_BY_OP(LanesAvx2, op, a, rows, b, columns, k0, k1, acc, accRowPairs);
    } else {
        DENDRO_BY_OP(LanesPlain, op, a, rows, b, columns, k0, k1, acc, accRowPairs);
    }
}

void AccumulateBlock(LaneOp op, const double *data, int64_t stride, int64_t i0, int64_t i1, int64_t j0, int64_t j1,
                     int64_t k0, int64_t k1, double *acc) {
    if (UseAvx2()) {
        DENDRO_BY_OP(BlockAvx2, op, data, stride, i0, i1, j0, j1, k0, k1, acc);
    } else {
        DENDRO_BY_OP(BlockPlain, op, data, stride, i0, i1, j0, j1, k0, k1, acc);
    }
}

void CombinedRow(LaneOp op, const double *x, const double *data, int64_t stride, int64_t coordinates, int64_t j0,
                 int64_t j1, double *out) {
    if (UseAvx2()) {
        DENDRO_BY_OP(RowAvx2, op, x, data, stride, coordinates, j0, j1, out);
    } else {
        DENDRO_BY_OP(RowPlain, op, x, data, stride, coordinates, j0, j1, out);
    }
}

void CombinedRowAt(LaneOp op, const double *x, const double *data, int64_t stride, int64_t coordinates,
                   const int64_t *objects, int64_t count, double *out) {
    if (UseAvx2()) {
        DENDRO_BY_OP(RowAtAvx2, op, x, data, stride, coordinates, objects, count, out);
    } else {
        DENDRO_BY_OP(RowAtPlain, op, x, data, stride, coordinates, objects, count, out);
    }
}
