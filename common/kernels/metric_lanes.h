// The lane arithmetic every distance of dendro-cluster is made of, the same
// bytes whatever the processor, instruction set, tiling or thread count.
//
// Contract:
// 1. A pair's coordinates are taken in four lanes: coordinate k goes to lane
//    k % 4, and each lane takes its coordinates in ascending order, one
//    rounded operation after another (no fused multiply-add).
// 2. The lanes are then combined as (l0 + l1) + (l2 + l3), or by the
//    largest of the four for LargestDifference.
// 3. A run of coordinates [k0, k1) may be taken in several calls on the same
//    accumulators, in ascending order, each k0 a multiple of 4: the lanes see
//    exactly what one call over the whole range would give them. Coordinates
//    beyond an object's end are never read, so objects need no padding.
// 4. The vector code uses the compiler's generic vectors of four doubles:
//    element-wise IEEE operations, so the AVX2 and the plain builds of one
//    loop round identically.
#pragma once

#include <cstdint>

enum class LaneOp { SquaredDifference, AbsoluteDifference, LargestDifference, Product };

// Lanes of the pairs a[r] x b[c], r < rows, c < columns: acc holds 4 doubles
// per pair, pair (r, c) at acc + 4 * (r * accRowPairs + c). Coordinates
// [k0, k1) of each object are added to them. rows <= 2, columns <= 4.
void AccumulateLanes(LaneOp op, const double *const *a, int rows, const double *const *b, int columns, int64_t k0,
                     int64_t k1, double *acc, int64_t accRowPairs);

// Lanes of the block of pairs (i, j), i in [i0, i1), j in [j0, j1), objects
// being rows of `data` of `stride` doubles: pair (i, j) at acc + 4 * ((i - i0)
// * (j1 - j0) + (j - j0)). Coordinates [k0, k1).
void AccumulateBlock(LaneOp op, const double *data, int64_t stride, int64_t i0, int64_t i1, int64_t j0, int64_t j1,
                     int64_t k0, int64_t k1, double *acc);

// out[j - j0] = the combined lanes (contract 2) of the pair x, object j,
// for j in [j0, j1), objects being rows of `data` of `stride` doubles,
// over coordinates [0, coordinates).
void CombinedRow(LaneOp op, const double *x, const double *data, int64_t stride, int64_t coordinates, int64_t j0,
                 int64_t j1, double *out);

// The same for the objects listed: out[p] for object objects[p], p < count.
void CombinedRowAt(LaneOp op, const double *x, const double *data, int64_t stride, int64_t coordinates,
                   const int64_t *objects, int64_t count, double *out);

// The four lanes made one value (contract 2).
inline double CombineLanes(LaneOp op, const double *lanes) {
    if (op == LaneOp::LargestDifference) {
        const double a = lanes[0] > lanes[1] ? lanes[0] : lanes[1];
        const double b = lanes[2] > lanes[3] ? lanes[2] : lanes[3];
        return a > b ? a : b;
    }
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}
