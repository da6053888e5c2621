#include "engines/variance/gram_bounds.h"

#include "kernels/vector_levels.h"

namespace variance_engine {

constexpr int kGramLines = 1024;
constexpr int kGramGroup = 64;

[[gnu::always_inline]] inline void GramTileLoop(const float *const *a, const float *const *b, int32_t lines,
                                                double out[4][4]) {
    double acc[4][4][8] = {};
    int32_t l = 0;
    for (; l + 8 <= lines; l += 8) {
        double va[4][8], vb[4][8];
        for (int p = 0; p < 4; ++p)
            for (int k = 0; k < 8; ++k) va[p][k] = a[p][l + k];
        for (int q = 0; q < 4; ++q)
            for (int k = 0; k < 8; ++k) vb[q][k] = b[q][l + k];
        for (int p = 0; p < 4; ++p)
            for (int q = 0; q < 4; ++q)
                for (int k = 0; k < 8; ++k) acc[p][q][k] += va[p][k] * vb[q][k];
    }
    for (int p = 0; p < 4; ++p)
        for (int q = 0; q < 4; ++q) {
            double s = 0.0;
            for (int k = 0; k < 8; ++k) s += acc[p][q][k];
            for (int32_t m = l; m < lines; ++m) s += static_cast<double>(a[p][m]) * b[q][m];
            out[p][q] = s;
        }
}
DENDRO_VECTOR_LEVELS(void, GramTile, GramTileLoop,
                     (const float *const *a, const float *const *b, int32_t lines, double out[4][4]),
                     (a, b, lines, out))

void ComputeGram(const float *columns, int32_t n, int32_t lines, double *g, TwoWayLoop &loop) {
    std::fill(g, g + static_cast<int64_t>(n) * n, 0.0);
    const int32_t tiles = (n + 3) / 4;
    const int32_t groups = (tiles * 4 + kGramGroup - 1) / kGramGroup;
    auto column = [&](int32_t k, int32_t l0) {
        return columns + static_cast<int64_t>(k < n ? k : n - 1) * lines + l0;
    };
    for (int32_t l0 = 0; l0 < lines; l0 += kGramLines) {
        const int32_t chunk = lines - l0 < kGramLines ? lines - l0 : kGramLines;
        auto half = [&](int64_t, int64_t, int part) {
            for (int32_t group = part; group < groups; group += 2) {
                const int32_t firstTile = group * (kGramGroup / 4);
                const int32_t lastTile = std::min(tiles, firstTile + kGramGroup / 4);
                for (int32_t tb = 0; tb < lastTile; ++tb) {
                    const float *b[4];
                    for (int q = 0; q < 4; ++q) b[q] = column(tb * 4 + q, l0);
                    for (int32_t ta = std::max(firstTile, tb); ta < lastTile; ++ta) {
                        const float *a[4];
                        for (int p = 0; p < 4; ++p) a[p] = column(ta * 4 + p, l0);
                        double out[4][4];
                        GramTile(a, b, chunk, out);
                        for (int p = 0; p < 4; ++p)
                            for (int q = 0; q < 4; ++q) {
                                const int32_t x = ta * 4 + p, y = tb * 4 + q;
                                if (x < n && y < n && y <= x) g[static_cast<int64_t>(x) * n + y] += out[p][q];
                            }
                    }
                }
            }
        };
        loop.Run(groups, groups / 2, 2, half);
    }
    for (int32_t x = 0; x < n; ++x)
        for (int32_t y = 0; y < x; ++y) g[static_cast<int64_t>(y) * n + x] = g[static_cast<int64_t>(x) * n + y];
}

[[gnu::always_inline]] inline double RootSumLoop(const int32_t *__restrict list, int32_t count,
                                                 const double *__restrict self, const double *__restrict ra,
                                                 const double *__restrict rb, double a, double b, double cc) {
    constexpr int32_t kBlock = 256;
    double q[kBlock];
    double lanes[8] = {};
    double s = 0.0;
    for (int32_t k0 = 0; k0 < count; k0 += kBlock) {
        const int32_t size = count - k0 < kBlock ? count - k0 : kBlock;
        for (int32_t k = 0; k < size; ++k) {
            const int32_t m = list[k0 + k];
            const double v = self[m] - 2.0 * (a * ra[m] + b * rb[m]) + cc;
            q[k] = v > 0.0 ? v : 0.0;
        }
        int32_t k = 0;
        for (; k + 8 <= size; k += 8)
            for (int t = 0; t < 8; ++t) lanes[t] += std::sqrt(q[k + t]);
        for (; k < size; ++k) s += std::sqrt(q[k]);
    }
    for (int t = 0; t < 8; ++t) s += lanes[t];
    return s;
}
DENDRO_VECTOR_LEVELS(double, RootSum, RootSumLoop,
                     (const int32_t *list, int32_t count, const double *self, const double *ra, const double *rb,
                      double a, double b, double cc),
                     (list, count, self, ra, rb, a, b, cc))

}  // namespace variance_engine
