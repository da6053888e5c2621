// Certified floors of exact column distances from inner products.
//
// The exact distance F(a, b) of two columns rounds after every line (see
// kernels.h), so it costs a chain of conversions per line and pair. An
// inner product in float costs one multiply-add per line and pair, and the
// squared norms of the columns are computed once. From the two,
//
//     C = A(a) + A(b) - 2 g(a, b),   A(x) = Ñ(x) (1 - ε),
//
// (Ñ the squared norm computed in double, g the inner product computed in
// float, in any order, with or without fused multiply-adds) is no larger
// than the true squared distance D² = Σ (a_l - b_l)², up to an
// absolute slack τ for underflow; and Threshold(w) is a value such that
// D² ≥ Threshold(w) - τ proves F(a, b) ≥ w. So C ≥ Threshold(w) proves that
// the exact distance is not below w, and the exact evaluation can be
// skipped wherever only distances below w matter. The argument, with every
// rounding step, is written beside Threshold in distance_floors.cpp.
//
// A non-finite C (inner products that overflow, or cells that are not
// finite) never proves anything: Proves() is false for it.
#pragma once

#include <cmath>
#include <cstdint>

#include "kernels/kernels.h"

class DistanceFloors {
public:
    // Columns of `lines` values; more than kMaxLines lines give floors
    // that prove nothing (Threshold is infinite).
    explicit DistanceFloors(int32_t lines);
    static constexpr int32_t kMaxLines = 1 << 20;

    // A(x) from the column's values, read with step `step`.
    double Reduced(const float *column, int64_t step) const;
    // A(x) from Ñ, the sum of the squares of the column's values in double,
    // in any order.
    double ReducedFromSum(double squares) const { return squares * keep_; }
    // The threshold for distance w (a float, finite or infinite, not NaN).
    double Threshold(float w) const;
    // Whether the floor C of the pair (reduced values and the float inner
    // product) proves a distance at or above the threshold's.
    static bool Proves(double reducedA, double reducedB, float dot, double threshold) {
        const double c = reducedA + reducedB - 2.0 * static_cast<double>(dot);
        return c >= threshold && c < static_cast<double>(INFINITY);
    }

private:
    int32_t lines_;
    double keep_;  // 1 - ε
};

// The first position of the smallest of values[0, count), none NaN, or -1
// when count is 0.
int64_t FirstSmallest(const float *values, int64_t count);

// out[p] = the float inner product of x (one value per line) with column p
// of `block`, p < count. The order of the additions depends on the kernel
// level; the floors hold for every order.
void InnerProducts(ColumnBlock block, int32_t lines, const float *x, int64_t count, float *out);

// out[k] = the exact distance between x and the column whose line l is at
// columns[k][l * step], rounded as euclidDistByColumn rounds.
void ExactDistancesToColumns(const float *x, int32_t lines, const float *const *columns, int64_t step,
                             int64_t count, float *out);
