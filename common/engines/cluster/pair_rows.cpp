#include "engines/cluster/pair_rows.h"

#include "engines/cluster/pair_values.h"
#include "kernels/lane_vectors.h"
#include "kernels/vector_levels.h"

namespace {

using lanes::Splat;
using lanes::Tail;
using lanes::V4;

// The values of cluster a with four clusters at once: each pair's four
// running sums exactly as FourWaySum keeps them (lane l the coordinates
// k = l mod 4, ascending; the rest in lanes 0, 1, 2), then combined as it
// does, (s0 + s1) + (s2 + s3), and finished as the *FromSpread functions
// do, element by element: the bits of the pairs taken one at a time, with
// four independent sums in flight and one division for four pairs.
template <RowValue kind>
__attribute__((always_inline)) inline V4 FourValues(const double *ca, double na, const double *const *cx, V4 nx,
                                                    int64_t m) {
    V4 s[4] = {Splat(0.0), Splat(0.0), Splat(0.0), Splat(0.0)};
    const V4 vna = Splat(na);
    const V4 vnx[4] = {Splat(nx[0]), Splat(nx[1]), Splat(nx[2]), Splat(nx[3])};
    const int64_t kv = m / 4 * 4;
    for (int64_t k = 0; k < kv; k += 4) {
        const V4 a = lanes::Load(ca + k);
#pragma GCC unroll 4
        for (int c = 0; c < 4; ++c) {
            V4 t;
            if constexpr (kind == RowValue::Centre) {
                t = a - lanes::Load(cx[c] + k);
            } else {
                t = vnx[c] * a - vna * lanes::Load(cx[c] + k);
            }
            s[c] = s[c] + t * t;
        }
    }
    if (kv < m) {
        // The last one to three coordinates in lanes 0, 1, 2, zeros beyond:
        // a zero term adds +0 to a sum of squares, which leaves it as it is.
        const V4 a = Tail(ca + kv, m - kv);
#pragma GCC unroll 4
        for (int c = 0; c < 4; ++c) {
            V4 t;
            if constexpr (kind == RowValue::Centre) {
                t = a - Tail(cx[c] + kv, m - kv);
            } else {
                t = vnx[c] * a - vna * Tail(cx[c] + kv, m - kv);
            }
            s[c] = s[c] + t * t;
        }
    }
    // Lane l of the four pairs side by side in t[l].
    V4 t[4];
    lanes::Transpose(s, t);
    const V4 e = (t[0] + t[1]) + (t[2] + t[3]);
    if constexpr (kind == RowValue::Centre) {
        return e;
    } else if constexpr (kind == RowValue::Ward) {
        return 2.0 * e / ((vna * nx) * (vna + nx));
    } else {
        return e / ((vna * vna) * (nx * nx));
    }
}

template <RowValue kind>
__attribute__((always_inline)) inline void RowLoop(const double *c, const double *size, int64_t m, int64_t a,
                                                   const int64_t *xs, int64_t count, double *out) {
    const double *ca = c + a * m;
    const double na = size[a];
    int64_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const double *cx[4] = {c + xs[k] * m, c + xs[k + 1] * m, c + xs[k + 2] * m, c + xs[k + 3] * m};
        const V4 nx = {size[xs[k]], size[xs[k + 1]], size[xs[k + 2]], size[xs[k + 3]]};
        const V4 v = FourValues<kind>(ca, na, cx, nx, m);
        lanes::Store(out + k, v);
    }
    for (; k < count; ++k) {
        const int64_t x = xs[k];
        const double *cx = c + x * m;
        const double nx = size[x];
        if constexpr (kind == RowValue::Centre) {
            out[k] = CentreSpread(ca, cx, m);
        } else if constexpr (kind == RowValue::Ward) {
            out[k] = WardFromSpread(SumsSpread(ca, cx, na, nx, m), na, nx);
        } else {
            out[k] = CentroidFromSpread(SumsSpread(ca, cx, na, nx, m), na, nx);
        }
    }
}

__attribute__((always_inline)) inline void WardLoop(const double *c, const double *size, int64_t m, int64_t a,
                                                    const int64_t *xs, int64_t count, double *out) {
    RowLoop<RowValue::Ward>(c, size, m, a, xs, count, out);
}
__attribute__((always_inline)) inline void CentroidLoop(const double *c, const double *size, int64_t m, int64_t a,
                                                        const int64_t *xs, int64_t count, double *out) {
    RowLoop<RowValue::Centroid>(c, size, m, a, xs, count, out);
}
__attribute__((always_inline)) inline void CentreLoop(const double *c, const double *size, int64_t m, int64_t a,
                                                      const int64_t *xs, int64_t count, double *out) {
    RowLoop<RowValue::Centre>(c, size, m, a, xs, count, out);
}

#define ROW_PARAMS \
    (const double *c, const double *size, int64_t m, int64_t a, const int64_t *xs, int64_t count, double *out)
#define ROW_ARGS (c, size, m, a, xs, count, out)
DENDRO_VECTOR_LEVELS(void, WardRow, WardLoop, ROW_PARAMS, ROW_ARGS)
DENDRO_VECTOR_LEVELS(void, CentroidRow, CentroidLoop, ROW_PARAMS, ROW_ARGS)
DENDRO_VECTOR_LEVELS(void, CentreRow, CentreLoop, ROW_PARAMS, ROW_ARGS)

}  // namespace

void PairRow(RowValue kind, const double *c, const double *size, int64_t m, int64_t a, const int64_t *xs, int64_t count,
             double *out) {
    switch (kind) {
        case RowValue::Ward:
            WardRow ROW_ARGS;
            break;
        case RowValue::Centroid:
            CentroidRow ROW_ARGS;
            break;
        case RowValue::Centre:
            CentreRow ROW_ARGS;
            break;
    }
}
