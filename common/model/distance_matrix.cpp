#include "model/distance_matrix.h"

float distance(DistanceMatrix matrix, int32_t i, int32_t j) {
    if (i == j || i >= matrix.count || j >= matrix.count || i < 0 || j < 0) return 0.0f;
    return i < j ? matrix.values[PairIndex(j, i)] : matrix.values[PairIndex(i, j)];
}

float distanceClassesMin(DistanceMatrix matrix, const int32_t *a, int32_t countA, const int32_t *b, int32_t countB) {
    if (countA == 0 || countB == 0) return 0.0f;
    float best = distance(matrix, a[0], b[0]);
    for (int32_t x = 0; x < countA; ++x)
        for (int32_t y = 0; y < countB; ++y) {
            const float d = distance(matrix, a[x], b[y]);
            if (d < best) best = d;
        }
    return best;
}

float distanceClassesMoy(DistanceMatrix matrix, const int32_t *a, int32_t countA, const int32_t *b, int32_t countB) {
    if (countA == 0 || countB == 0) return 0.0f;
    float sum = 0.0f;
    for (int32_t x = 0; x < countA; ++x)
        for (int32_t y = 0; y < countB; ++y) sum += distance(matrix, a[x], b[y]);
    const int32_t pairs = countA * countB;
    return static_cast<float>(static_cast<double>(sum) / pairs);
}
