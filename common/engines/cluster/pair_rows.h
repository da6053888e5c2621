// The values of one cluster with many others from the data (centroid and
// Ward from coordinate sums, median from centres), in one loop compiled for
// each vector width. The sums of squares run in four fixed lanes
// (pair_values.h), so every width gives the same bits.
#pragma once

#include <cstdint>

enum class RowValue {
    Ward,      // squared Ward height from sums and sizes
    Centroid,  // squared centroid distance from sums and sizes
    Centre,    // squared distance of centres (median)
};

// out[k] = the value of clusters a and xs[k], for k < count; cluster x's m
// values (sums or centre) at c[x*m], its size at size[x].
void PairRow(RowValue kind, const double *c, const double *size, int64_t m, int64_t a, const int64_t *xs, int64_t count,
             double *out);
