// The tiled distances must give every pair exactly what euclidDistByColumn
// gives, at every kernel level: across chunk ends (the running sums carried
// from one run of lines to the next), across panel and stretch ends, on the
// diagonal tiles of the triangle and with any values.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "base/parallel.h"
#include "kernels/distance_tiles.h"
#include "kernels/kernels.h"
#include "model/distance_matrix.h"
#include "model/table.h"

namespace {

uint32_t Bits(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Equal bit for bit, but for the sign of a NaN, which is not part of a result.
::testing::AssertionResult SameDistance(float actual, float expected) {
    if (expected != expected ? actual != actual : Bits(actual) == Bits(expected))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actual << " instead of " << expected;
}

std::vector<float> RandomCells(std::mt19937 &rng, int32_t lines, int32_t columns, bool specials) {
    std::uniform_real_distribution<float> real(-1000.0f, 1000.0f);
    const float special[] = {0.0f, -0.0f, 4099.0f, 37.0f, 3.0e19f, -3.0e19f, 1.0e-30f,
                             std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
    std::vector<float> cells(static_cast<size_t>(lines) * columns);
    for (float &v : cells) v = specials && rng() % 8 == 0 ? special[rng() % 9] : real(rng);
    // A duplicate column and a column of ties.
    if (columns > 3)
        for (int32_t l = 0; l < lines; ++l) {
            cells[static_cast<size_t>(l) * columns + 3] = cells[static_cast<size_t>(l) * columns];
            cells[static_cast<size_t>(l) * columns + 1] = static_cast<float>(rng() % 3);
        }
    return cells;
}

TEST(DistanceTiles, TriangleMatchesTheColumnDistanceAtEveryLevel) {
    std::mt19937 rng(21);
    const struct { int32_t lines, columns; } shapes[] = {
        {0, 5}, {1, 2}, {3, 31}, {17, 33}, {127, 40}, {128, 65}, {129, 70}, {300, 37}, {5, 600}, {260, 9},
    };
    for (KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx2, KernelLevel::Avx512}) {
        ForceKernelLevel(level);
        for (const auto &shape : shapes) {
            for (bool specials : {false, true}) {
                std::vector<float> cells = RandomCells(rng, shape.lines, shape.columns, specials);
                const TableData table{shape.lines, shape.columns, cells.data()};
                const ColumnPanels panels(table);
                std::vector<float> all(PairCount(shape.columns));
                TriangleDistances(panels, 0, shape.columns, all.data());
                // A band of rows on its own, written at its own offset.
                const int64_t from = shape.columns / 3, to = shape.columns - shape.columns / 4;
                std::vector<float> band(PairCount(to) - PairCount(from) + 1, -1.0f);
                TriangleDistances(panels, from, to, band.data());
                for (int32_t i = 1; i < shape.columns; ++i)
                    for (int32_t j = 0; j < i; ++j) {
                        const float expect = euclidDistByColumn(i, j, table);
                        ASSERT_TRUE(SameDistance(all[PairIndex(i, j)], expect))
                            << "level " << static_cast<int>(level) << " shape " << shape.lines << "x"
                            << shape.columns << " pair " << i << "," << j;
                        if (i >= from && i < to) {
                            ASSERT_TRUE(SameDistance(band[PairIndex(i, j) - PairIndex(std::max<int64_t>(from, 1), 0)], expect));
                        }
                    }
                // Nothing written past the band.
                if (to > from) {
                    ASSERT_EQ(band.back(), -1.0f);
                }
            }
        }
    }
    ForceKernelLevel(DetectKernelLevel());
}

// Free vectors against columns, read with different steps, the lines given
// in two runs: the sums carried between the runs finish as one run would.
TEST(DistanceTiles, PairSumsCarryAcrossRunsOfLines) {
    std::mt19937 rng(22);
    const int32_t lines = 150, columns = 45;
    for (KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx2, KernelLevel::Avx512}) {
        ForceKernelLevel(level);
        std::vector<float> cells = RandomCells(rng, lines, columns, true);
        const TableData table{lines, columns, cells.data()};
        const ColumnPanels panels(table);
        // Six vectors: three contiguous (step 1), three read across a block
        // (step 3), with limits that fall and rise.
        std::vector<float> contiguous = RandomCells(rng, 3, lines, true), across = RandomCells(rng, lines, 3, true);
        const int64_t limits[] = {45, 12, 33, 1, 45, 0};
        const int64_t first = ColumnPanels::WIDTH;  // columns from the second panel on
        std::vector<float> sums(6 * 64, 0.0f);
        std::vector<PairSumRow> rows;
        for (int r = 0; r < 6; ++r) {
            const StridedVector v = r < 3 ? StridedVector{contiguous.data() + static_cast<size_t>(r) * lines, 1}
                                          : StridedVector{across.data() + (r - 3), 3};
            rows.push_back(PairSumRow{v, sums.data() + r * 64, limits[r]});
        }
        for (int32_t split : {0, 1, 77, 128, lines}) {
            std::fill(sums.begin(), sums.end(), 0.0f);
            ContinuePairSums(rows.data(), 6, panels, first, 0, split);
            ContinuePairSums(rows.data(), 6, panels, first, split, lines);
            for (int r = 0; r < 6; ++r) {
                std::vector<float> x(lines);
                for (int32_t l = 0; l < lines; ++l) x[l] = rows[r].vector.data[l * rows[r].vector.step];
                for (int64_t c = first; c < columns; ++c) {
                    const float got = sums[r * 64 + (c - first)];
                    if (c - first >= limits[r]) {
                        ASSERT_EQ(got, 0.0f) << "row " << r << " column " << c << " beyond its limit";
                        continue;
                    }
                    ASSERT_TRUE(SameDistance(DistanceOfSum(got), euclidDistByColumnBis(x.data(), static_cast<int32_t>(c), table)))
                        << "level " << static_cast<int>(level) << " split " << split << " row " << r << " column " << c;
                }
            }
        }
    }
    ForceKernelLevel(DetectKernelLevel());
}

// Panels large enough to be filled on two threads hold the same cells as the
// table, whole or for a list of its columns, with zeros after the last.
TEST(DistanceTiles, PanelsFilledOnTwoThreadsHoldTheTable) {
    std::mt19937 rng(23);
    const int32_t lines = 300, columns = 1001;
    std::vector<float> cells = RandomCells(rng, lines, columns, true);
    const TableData table{lines, columns, cells.data()};
    std::vector<int32_t> ids;
    for (int32_t c = columns - 1; c >= 0; c -= 2) ids.push_back(c);
    TwoWayLoop loop;
    for (bool listed : {false, true}) {
        const int64_t count = listed ? static_cast<int64_t>(ids.size()) : columns;
        const ColumnPanels panels = listed ? ColumnPanels(table, ids.data(), count, &loop) : ColumnPanels(table, &loop);
        ASSERT_EQ(panels.columns(), count);
        const int64_t padded = (count + ColumnPanels::WIDTH - 1) / ColumnPanels::WIDTH * ColumnPanels::WIDTH;
        for (int64_t k = 0; k < padded; ++k)
            for (int32_t l = 0; l < lines; ++l) {
                const float got = panels.Column(k)[l * ColumnPanels::WIDTH];
                const float expect = k >= count ? 0.0f : cells[static_cast<size_t>(l) * columns + (listed ? ids[k] : k)];
                ASSERT_EQ(Bits(got), Bits(expect)) << "column " << k << " line " << l << (listed ? " listed" : "");
            }
    }
}

}  // namespace
