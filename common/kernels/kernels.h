// Column-distance kernels: Euclidean distances between columns, with the
// rounding of euclidDistByColumn in every lane (the difference rounded to
// float, its square added to the running float sum in double and only the new
// sum rounded, line after line, then the square root taken in double and
// rounded to float). Vectorised across columns; the instruction set is chosen
// at run time.
#pragma once

#include <cstdint>

enum class KernelLevel { Scalar = 0, Avx2 = 1, Avx512 = 2 };

// The best level this processor supports.
KernelLevel DetectKernelLevel();
// The level in use: DetectKernelLevel() unless forced lower, at start-up by
// the environment variable DENDRO_KERNEL_LEVEL (scalar, avx2 or avx512) or
// later by ForceKernelLevel (for tests). A level the processor lacks gives
// the best one it has.
KernelLevel ActiveKernelLevel();
void ForceKernelLevel(KernelLevel level);

// A block of columns stored line after line: cell (line, p) is
// data[line * stride + p].
struct ColumnBlock {
    const float *data;
    int64_t stride;
};

// Row stride for a working copy of a table of `columns` columns. Rows whose
// length is a large power of two would share cache sets, and the kernels read
// one stretch of every row at once; the padding spreads them.
inline int64_t PaddedStride(int64_t columns) { return (columns + 15) / 16 * 16 + 16; }

// out[p] = distance between the vector x (one value per line) and column p
// of `block`, for p in [0, count).
void DistancesToColumns(ColumnBlock block, int32_t lines, const float *x, int64_t count, float *out);
// out[p] = distance between column p of `a` and column p of `b`.
void PairedDistances(ColumnBlock a, ColumnBlock b, int32_t lines, int64_t count, float *out);

// One pass of a nearest-neighbour scan: for p in [0, count), where
// fresh[p] < best[p], best[p] takes fresh[p] and parent[p] takes u. Returns
// the first position of the smallest best value afterwards, or -1 when count
// is 0. No value may be NaN.
int64_t LowerAndFindNearest(const float *fresh, float *best, int32_t *parent, int32_t u, int64_t count);
// DistancesToColumns into fresh followed by LowerAndFindNearest, in one
// sweep where the processor allows (fresh is then left untouched).
int64_t DistancesLowerAndFindNearest(ColumnBlock block, int32_t lines, const float *x, int64_t count, float *fresh,
                                     float *best, int32_t *parent, int32_t u);
