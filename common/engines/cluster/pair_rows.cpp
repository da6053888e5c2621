#include "engines/cluster/pair_rows.h"

#include "engines/cluster/pair_values.h"
#include "kernels/vector_levels.h"

namespace {

template <RowValue kind>
__attribute__((always_inline)) inline void RowLoop(const double *c, const double *size, int64_t m, int64_t a,
                                                   const int64_t *xs, int64_t count, double *out) {
    const double *ca = c + a * m;
    const double na = size[a];
    for (int64_t k = 0; k < count; ++k) {
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
