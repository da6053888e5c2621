#include "distances.h"

#include <cmath>
#include <cstdlib>

#include "kernels.h"
#include "utils.h"

DistanceMatrix ComputeColumnDistances(TableData table) {
    const int32_t n = table.columns;
    float *values = static_cast<float *>(monmalloc(PairCount(n) * static_cast<int64_t>(sizeof(float))));
    // Row i holds the distances of column i to columns 0 .. i - 1, computed
    // together by the vector kernel with euclidDistByColumn's rounding.
    const int64_t stride = PaddedStride(n);
    Block<float> copy(table.lines * stride);
    Block<float> column(table.lines);
    for (int32_t l = 0; l < table.lines; ++l)
        for (int32_t p = 0; p < n; ++p) copy[l * stride + p] = elementAt(l, p, table);
    for (int32_t i = 1; i < n; ++i) {
        for (int32_t l = 0; l < table.lines; ++l) column[l] = copy[l * stride + i];
        DistancesToColumns(ColumnBlock{copy.get(), stride}, table.lines, column.get(), i, values + PairIndex(i, 0));
    }
    return DistanceMatrix{n, values};
}

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

DistanceMatrix ReadDistances(std::FILE *stream) {
    ValueStorage storage = NewValueStorage();
    char *token = static_cast<char *>(monmalloc(TOKEN_BUFFER_BYTES));
    StreamBytes in(stream);
    int c = in.Next();
    while (c != EOF) {
        while (SeparatorClasses(c) & WhiteSeparatorClass) c = in.Next();
        float v;
        if (ReadNumericPiece(in, c, token, WhiteSeparatorClass, &v)) StoreValue(storage, v);
    }
    std::free(token);
    // n is the largest whole number with n(n-1)/2 <= k; 8k + 1 is formed in
    // 64 bits so that long streams do not overflow it.
    const int64_t k = storage.count;
    const int64_t n = static_cast<int64_t>(std::floor((1.0 + std::sqrt(static_cast<double>(8 * k + 1))) / 2.0));
    storage.data = static_cast<float *>(monrealloc(storage.data, PairCount(n) * static_cast<int64_t>(sizeof(float))));
    return DistanceMatrix{static_cast<int32_t>(n), storage.data};
}
