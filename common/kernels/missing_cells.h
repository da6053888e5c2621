// Distances between objects with missing cells, and the preparation of
// whole objects for the correlation family.
//
// Contract:
// 1. A pair with missing cells (NaN) is measured on the coordinates present
//    in both. The Minkowski family sums over them and scales the sum by
//    (all coordinates / present ones) before the square root, as R's dist
//    does; Chebyshev takes the largest difference present, unscaled (as
//    R's dist "maximum"). The correlation family takes the pairwise-complete
//    values: means, norms and, for Spearman, ranks of those coordinates only.
// 2. The result is NaN exactly when the pair has no distance: no coordinate
//    present in both, or a correlation (cosine) whose centred (plain) values
//    have no length on those coordinates.
// 3. Sums run over the coordinates in ascending order.
#pragma once

#include <cmath>

#include <cstdint>

#include "model/metric.h"

double PartialPairDistance(Metric metric, const double *x, const double *y, int64_t coordinates);

// The ranks of x's values, 1 for the smallest, tied values sharing the
// average of their ranks.
void AverageRanks(const double *x, int64_t count, double *ranks);

// Prepares a whole object (no missing cell) for the correlation family, in
// place: Spearman ranks it, Correlation, AbsCorrelation and Spearman centre it
// on its mean, and every one of them divides it by its length, so that the
// dot product of two prepared objects is their r (cosine similarity).
// Returns false when the object has no length left (constant or all zero):
// its distances are then undefined.
bool PrepareForCorrelation(Metric metric, double *x, int64_t coordinates);

// 1 - r (or 1 - |r|) kept within [0, 2]: rounding may carry r a little
// beyond 1.
inline double CorrelationDistance(Metric metric, double r) {
    const double d = 1.0 - (metric == Metric::AbsCorrelation ? std::fabs(r) : r);
    return d < 0.0 ? 0.0 : d > 2.0 ? 2.0 : d;
}
