#include "distances.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "distance_tiles.h"
#include "parallel.h"
#include "platform.h"
#include "utils.h"

DistanceMatrix ComputeColumnDistances(TableData table) {
    const int32_t n = table.columns;
    float *values = static_cast<float *>(monmalloc(PairCount(n) * static_cast<int64_t>(sizeof(float))));
    if (n < 2) return DistanceMatrix{n, values};
    // A large matrix is written once, from end to end: fewer, larger pages
    // fault in faster.
    AdviseLargePages(values, PairCount(n) * static_cast<int64_t>(sizeof(float)));
    TwoWayLoop loop;
    const ColumnPanels panels(table, &loop);
    // Two parts of the rows holding about as many pairs each.
    const int64_t split = std::clamp<int64_t>(std::llround(n / std::sqrt(2.0)), 1, n);
    auto part = [&](int64_t begin, int64_t end, int) {
        TriangleDistances(panels, begin, end, values + PairIndex(std::max<int64_t>(begin, 1), 0));
    };
    loop.Run(n, split, 0, part);
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
