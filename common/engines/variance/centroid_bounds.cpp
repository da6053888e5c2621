#include "engines/variance/centroid_bounds.h"

#include "kernels/vector_levels.h"

namespace variance_engine {

[[gnu::always_inline]] inline void SquaresLoop(const float *__restrict c, int64_t stride, int32_t lines,
                                               const double *__restrict x, int32_t begin, int32_t end,
                                               double *__restrict d2) {
    // In tiles, so that a tile's sums stay in the first-level cache over all
    // the lines.
    for (int32_t tile = begin; tile < end; tile += 512) {
        const int32_t last = end - tile < 512 ? end : tile + 512;
        for (int32_t y = tile; y < last; ++y) d2[y] = 0.0;
        for (int32_t l = 0; l < lines; ++l) {
            const float *row = c + l * stride;
            const double v = x[l];
            for (int32_t y = tile; y < last; ++y) {
                const double d = row[y] - v;
                d2[y] += d * d;
            }
        }
    }
}
DENDRO_VECTOR_LEVELS(void, Squares, SquaresLoop,
                     (const float *c, int64_t stride, int32_t lines, const double *x, int32_t begin, int32_t end,
                      double *d2),
                     (c, stride, lines, x, begin, end, d2))

[[gnu::always_inline]] inline double DistanceSumLoop(const float *__restrict cells, int32_t lines, int32_t count,
                                                     const double *__restrict c) {
    double sum = 0.0;
    for (int32_t k = 0; k < count; ++k) {
        const float *v = cells + static_cast<int64_t>(k) * lines;
        double lanes[8] = {};
        int32_t l = 0;
        for (; l + 8 <= lines; l += 8)
            for (int t = 0; t < 8; ++t) {
                const double d = v[l + t] - c[l + t];
                lanes[t] += d * d;
            }
        for (; l < lines; ++l) lanes[0] += (v[l] - c[l]) * (v[l] - c[l]);
        const double q = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
        sum += std::sqrt(q);
    }
    return sum;
}
DENDRO_VECTOR_LEVELS(double, DistanceSum, DistanceSumLoop,
                     (const float *cells, int32_t lines, int32_t count, const double *c), (cells, lines, count, c))

[[gnu::always_inline]] inline void ToPointsLoop(const float *__restrict cells, int32_t lines, int32_t members,
                                                const double *__restrict points, int32_t count,
                                                double *__restrict d2, double *__restrict sums) {
    for (int32_t m = 0; m < members; ++m) {
        const float *v = cells + static_cast<int64_t>(m) * lines;
        for (int32_t k = 0; k < count; ++k) d2[k] = 0.0;
        for (int32_t l = 0; l < lines; ++l) {
            const double x = v[l];
            const double *row = points + static_cast<int64_t>(l) * count;
            for (int32_t k = 0; k < count; ++k) {
                const double d = x - row[k];
                d2[k] += d * d;
            }
        }
        for (int32_t k = 0; k < count; ++k) sums[k] += std::sqrt(d2[k]);
    }
}
DENDRO_VECTOR_LEVELS(void, ToPoints, ToPointsLoop,
                     (const float *cells, int32_t lines, int32_t members, const double *points, int32_t count,
                      double *d2, double *sums),
                     (cells, lines, members, points, count, d2, sums))

}  // namespace variance_engine
