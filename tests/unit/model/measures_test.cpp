// Column geometry, the variance criterion, the packed distance matrix and the
// linkages, checked bit for bit: every figure below comes from carrying out
// the single-precision rounding steps by hand.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "core_helpers.h"
#include "kernels/distance_tiles.h"
#include "model/distance_matrix.h"
#include "model/table.h"

namespace {

// Two lines, four columns: 1 2 4 8 and 0 1 0 1.
float gT[] = {1, 2, 4, 8, 0, 1, 0, 1};
const TableData T{2, 4, gT};

TEST(ColumnGeometry, DistancesRoundOnlyTheRunningSum) {
    EXPECT_SAME_FLOAT(euclidDistByColumn(1, 0, T), 1.41421354f);
    EXPECT_SAME_FLOAT(euclidDistByColumn(0, 1, T), 1.41421354f);
    const float midpoint[] = {1.5f, 0.5f};
    EXPECT_SAME_FLOAT(euclidDistByColumnBis(midpoint, 1, T), 0.707106769f);
    // 4099 * 4099 joins the sum 1369 unrounded: 4099.1670, not 4099.1665.
    float v[] = {37, 0, 4099, 0};
    EXPECT_SAME_FLOAT(euclidDistByColumn(0, 1, TableData{2, 2, v}), 4099.16699f);
    EXPECT_SAME_FLOAT(euclidDistByColumn(0, 1, TableData{0, 2, nullptr}), 0.0f);
}

TEST(ColumnGeometry, VarianceDependsOnMemberOrder) {
    const int32_t one[] = {1}, zero[] = {0}, two[] = {2}, oneZero[] = {1, 0}, oneZeroTwo[] = {1, 0, 2},
                  zeroZeroOne[] = {0, 0, 1};
    EXPECT_SAME_FLOAT(varianceBis(one, 1, zero, 1, T), 0.707106769f);
    EXPECT_SAME_FLOAT(varianceBis(oneZero, 2, two, 1, T), 1.27313244f);
    EXPECT_SAME_FLOAT(variance(oneZeroTwo, 3, T), 1.27313244f);
    EXPECT_SAME_FLOAT(varianceBis(two, 1, oneZero, 2, T), 1.27313256f);
    EXPECT_SAME_FLOAT(variance(zeroZeroOne, 3, T), 0.628539383f);  // a column listed twice counts twice
    float u[] = {0, 1, 5, 0, 0, 0};
    const TableData U{2, 3, u};
    EXPECT_SAME_FLOAT(varianceBis(one, 1, zero, 1, U), 0.5f);
    EXPECT_SAME_FLOAT(varianceBis(oneZero, 2, two, 1, U), 2.0f);
    const TableData noLine{0, 3, nullptr};
    EXPECT_SAME_FLOAT(varianceBis(oneZero, 2, two, 1, noLine), 0.0f);
    EXPECT_TRUE(std::isnan(varianceBis(nullptr, 0, nullptr, 0, noLine)));
}

TEST(DistanceMatrix, PackedLayoutOfColumnDistances) {
    EXPECT_EQ(PairIndex(3, 2), 5);
    EXPECT_EQ(PairIndex(32767, 32766), 536854527);
    EXPECT_EQ(PairCount(32768) * 4, 2147418112);  // the largest matrix still fits the byte limit
    const DistanceMatrix m = ComputeColumnDistances(T);
    ASSERT_EQ(m.count, 4);
    const float expected[] = {1.41421354f, 3, 2.23606801f, 7.07106781f, 6, 4.12310553f};
    for (int k = 0; k < 6; ++k) EXPECT_SAME_FLOAT(m.values[k], expected[k]) << k;
    // Each pair reads its packed slot in either order; the diagonal and
    // outside indexes read 0, never the guard values around the array.
    float guarded[] = {99, 0, 0, 0, 0, 0, 0, 99};
    std::copy(expected, expected + 6, guarded + 1);
    const DistanceMatrix g{4, guarded + 1};
    const struct { int32_t i, j; float d; } pairs[] = {
        {1, 0, expected[0]}, {2, 0, 3}, {0, 2, 3}, {2, 1, expected[2]}, {3, 0, expected[3]}, {1, 3, 6},
        {3, 2, expected[5]}, {1, 1, 0}, {-1, 0, 0}, {0, -1, 0}, {4, 0, 0}, {0, 4, 0},
    };
    for (const auto &p : pairs) EXPECT_SAME_FLOAT(distance(g, p.i, p.j), p.d) << p.i << "," << p.j;
    std::free(m.values);
    float oneColumn[] = {3, 4};
    for (const TableData t : {TableData{2, 1, oneColumn}, TableData{0, 0, nullptr}}) {
        const DistanceMatrix empty = ComputeColumnDistances(t);
        EXPECT_EQ(empty.count, t.columns);
        std::free(empty.values);
    }
}

TEST(DistanceMatrix, MoreThan32768ObjectsEndWithMemoryMessage) {
    EXPECT_EXIT_PRINTING(ComputeColumnDistances(TableData{0, 32769, nullptr}), 255, kMemoryMessage);
}

TEST(Linkages, MinimumAndAverage) {
    const DistanceMatrix m = ComputeColumnDistances(T);
    const int32_t oneZero[] = {1, 0}, three[] = {3}, twoThree[] = {2, 3}, one[] = {1};
    EXPECT_SAME_FLOAT(distanceClassesMin(m, oneZero, 2, three, 1), 6.0f);
    EXPECT_SAME_FLOAT(distanceClassesMin(m, twoThree, 2, oneZero, 2), 2.23606801f);
    EXPECT_SAME_FLOAT(distanceClassesMoy(m, oneZero, 2, three, 1), 6.53553391f);
    EXPECT_SAME_FLOAT(distanceClassesMoy(m, twoThree, 2, oneZero, 2), 4.57678413f);
    // An object in both lists is at distance 0 from itself.
    EXPECT_SAME_FLOAT(distanceClassesMin(m, one, 1, oneZero, 2), 0.0f);
    EXPECT_SAME_FLOAT(distanceClassesMoy(m, one, 1, oneZero, 2), 0.707106769f);
    for (auto linkage : {distanceClassesMin, distanceClassesMoy}) {
        EXPECT_SAME_FLOAT(linkage(m, oneZero, 0, three, 1), 0.0f);
        EXPECT_SAME_FLOAT(linkage(m, oneZero, 2, three, 0), 0.0f);
    }
    std::free(m.values);
}

TEST(Linkages, SinglePrecisionSumAndNaNInFirstPair) {
    // Object 0 is 2^24 from object 1 and 1 from objects 2 and 3: adding 1 to
    // the float sum 2^24 leaves it unchanged.
    float v[] = {16777216, 1, 5, 1, 5, 5};
    const DistanceMatrix m{4, v};
    const int32_t zero[] = {0}, others[] = {1, 2, 3};
    EXPECT_SAME_FLOAT(distanceClassesMoy(m, zero, 1, others, 3), 5592405.5f);
    float w[] = {NAN, 1, 2};
    const DistanceMatrix n{3, w};
    const int32_t oneTwo[] = {1, 2}, twoOne[] = {2, 1};
    EXPECT_TRUE(std::isnan(distanceClassesMin(n, zero, 1, oneTwo, 2)));
    EXPECT_SAME_FLOAT(distanceClassesMin(n, zero, 1, twoOne, 2), 1.0f);
}

}  // namespace
