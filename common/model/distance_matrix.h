// The packed matrix of distances between n objects and the linkages
// defined on it.
#pragma once

#include <cstdint>

// Strict lower triangle of a symmetric matrix, packed row after row: the
// value of objects i > j is at PairIndex(i, j) = (i - 1) * i / 2 + j. Row 0
// is empty and the diagonal (always 0) is not stored. Copies share the array.
struct DistanceMatrix {
    int32_t count;
    float *values;
};

// Largest object count whose packed matrix fits the 32-bit byte limit.
inline constexpr int32_t MAX_OBJECTS = 32768;

inline int64_t PairIndex(int64_t i, int64_t j) { return (i - 1) * i / 2 + j; }
// Number of stored pairs for n objects (0 for n <= 1).
inline int64_t PairCount(int64_t n) { return n <= 1 ? 0 : (n - 1) * n / 2; }

// Distance of objects i and j in either order; 0 on the diagonal and for any
// index outside 0 .. count - 1.
float distance(DistanceMatrix matrix, int32_t i, int32_t j);
// Smallest distance between a member of A and a member of B (0 if either is
// empty). Starts from the first pair and replaces only on strictly smaller,
// so a NaN first pair gives NaN and later NaNs are ignored.
float distanceClassesMin(DistanceMatrix matrix, const int32_t *a, int32_t countA, const int32_t *b, int32_t countB);
// Mean distance over all pairs of members, summed in single precision.
float distanceClassesMoy(DistanceMatrix matrix, const int32_t *a, int32_t countA, const int32_t *b, int32_t countB);
