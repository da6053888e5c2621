#include "engines/variance/exact_evaluator.h"

#include "kernels/vector_levels.h"

namespace variance_engine {

// For each single candidate k: its cell g[k] = row[slots[k]], and its
// centroid coordinate (survivor's sum + cell) / total. Dividing two floats in
// float gives the same value as dividing in double and rounding.
[[gnu::always_inline]] inline void SingleCentroidsLoop(const float *row, const int32_t *slots, int32_t h,
                                                       float survivorSum, const float *totals, float *g, float *c) {
    for (int32_t k = 0; k < h; ++k) g[k] = row[slots[k]];
    for (int32_t k = 0; k < h; ++k) c[k] = (survivorSum + g[k]) / totals[k];
}

// c[line] += cell of each listed column, in list order.
[[gnu::always_inline]] inline void AddColumnsLoop(float *c, const float *columns, int32_t lines, const int32_t *list,
                                                  int32_t count) {
    for (int32_t m = 0; m < count; ++m) {
        const float *col = columns + static_cast<int64_t>(list[m]) * lines;
        for (int32_t l = 0; l < lines; ++l) c[l] += col[l];
    }
}

DENDRO_VECTOR_LEVELS(void, SingleCentroids, SingleCentroidsLoop,
                     (const float *row, const int32_t *slots, int32_t h, float s, const float *totals, float *g,
                      float *c),
                     (row, slots, h, s, totals, g, c))
DENDRO_VECTOR_LEVELS(void, AddColumns, AddColumnsLoop,
                     (float *c, const float *columns, int32_t lines, const int32_t *list, int32_t count),
                     (c, columns, lines, list, count))

}  // namespace variance_engine
