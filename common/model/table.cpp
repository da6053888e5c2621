#include "model/table.h"

#include <cmath>
#include <cstdlib>

#include "base/utils.h"

float elementAt(int32_t line, int32_t column, TableData table) {
    return table.values[static_cast<int64_t>(line) * table.columns + column];
}

float euclidDistByColumn(int32_t first, int32_t second, TableData table) {
    float sum = 0.0f;
    for (int32_t line = 0; line < table.lines; ++line) {
        const float d = elementAt(line, first, table) - elementAt(line, second, table);
        // The square is not rounded on its own: it joins the sum in double.
        sum = static_cast<float>(static_cast<double>(d) * d + sum);
    }
    return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

float euclidDistByColumnBis(const float *vector, int32_t column, TableData table) {
    float sum = 0.0f;
    for (int32_t line = 0; line < table.lines; ++line) {
        const float d = vector[line] - elementAt(line, column, table);
        sum = static_cast<float>(static_cast<double>(d) * d + sum);
    }
    return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

float varianceBis(const int32_t *a, int32_t countA, const int32_t *b, int32_t countB, TableData table) {
    const int32_t total = countA + countB;
    float *centroid = static_cast<float *>(monmalloc(static_cast<int64_t>(table.lines) * sizeof(float)));
    for (int32_t line = 0; line < table.lines; ++line) centroid[line] = 0.0f;
    for (int32_t k = 0; k < countA; ++k)
        for (int32_t line = 0; line < table.lines; ++line) centroid[line] += elementAt(line, a[k], table);
    for (int32_t k = 0; k < countB; ++k)
        for (int32_t line = 0; line < table.lines; ++line) centroid[line] += elementAt(line, b[k], table);
    for (int32_t line = 0; line < table.lines; ++line)
        centroid[line] = static_cast<float>(static_cast<double>(centroid[line]) / total);
    float sum = 0.0f;
    for (int32_t k = 0; k < countA; ++k) sum += euclidDistByColumnBis(centroid, a[k], table);
    for (int32_t k = 0; k < countB; ++k) sum += euclidDistByColumnBis(centroid, b[k], table);
    const float result = static_cast<float>(static_cast<double>(sum) / total);
    std::free(centroid);
    return result;
}

float variance(const int32_t *members, int32_t count, TableData table) {
    return varianceBis(members, count, nullptr, 0, table);
}
