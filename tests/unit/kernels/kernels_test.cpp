// The vector kernels must round exactly as euclidDistByColumn in every lane,
// whatever the count (full vectors and the scalar tail) and the values.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernels/kernels.h"
#include "model/table.h"

namespace {

uint32_t Bits(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

TEST(Kernels, EveryLevelMatchesTheColumnDistanceBitForBit) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> real(-1000.0f, 1000.0f);
    const float specials[] = {0.0f, -0.0f, 4099.0f, 37.0f, 3.0e19f, -3.0e19f, 1.0e-30f,
                              std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
    for (KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx2, KernelLevel::Avx512}) {
        ForceKernelLevel(level);
        for (int32_t lines : {0, 1, 3, 16, 17}) {
            // Two 64-column groups, a 16-column group and a partial one (AVX-512);
            // four 32-column groups, two 8-column groups and a scalar tail (AVX2).
            const int32_t columns = 150;
            std::vector<float> cells(static_cast<size_t>(lines) * columns);
            for (float &v : cells) v = rng() % 4 == 0 ? specials[rng() % 9] : real(rng);
            const TableData table{lines, columns, cells.data()};
            std::vector<float> x(static_cast<size_t>(lines) + 1), out(columns);
            for (int32_t i = 0; i < columns; ++i) {
                for (int32_t l = 0; l < lines; ++l) x[l] = elementAt(l, i, table);
                DistancesToColumns(ColumnBlock{cells.data(), columns}, lines, x.data(), columns, out.data());
                for (int32_t j = 0; j < columns; ++j) {
                    const float expect = euclidDistByColumn(i, j, table);
                    if (expect != expect) {  // a NaN's sign bit is not part of the result
                        ASSERT_NE(out[j], out[j]);
                        continue;
                    }
                    ASSERT_EQ(Bits(out[j]), Bits(expect))
                        << "level " << static_cast<int>(level) << " lines " << lines << " pair " << i << "," << j;
                }
            }
        }
    }
    ForceKernelLevel(DetectKernelLevel());
}

TEST(Kernels, UnroundedSquareJoinsTheSum) {
    // 37 and 4099 against zeros: the square 16,801,801 must join the sum 1369
    // in double before rounding (4099.1670, not 4099.1665).
    float cells[] = {37.0f, 0.0f, 4099.0f, 0.0f};
    const float x[] = {37.0f, 4099.0f};
    for (KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx2, KernelLevel::Avx512}) {
        ForceKernelLevel(level);
        std::vector<float> wide(2 * 40, 0.0f), out(40);
        wide[0] = cells[0];
        wide[40] = cells[2];
        // Column 1..39 are zero columns: each at 4099.1670 from x.
        DistancesToColumns(ColumnBlock{wide.data(), 40}, 2, x, 40, out.data());
        for (int k = 1; k < 40; ++k) EXPECT_EQ(Bits(out[k]), Bits(4099.1670f)) << k;
    }
    ForceKernelLevel(DetectKernelLevel());
}

}  // namespace

namespace {

// The nearest-neighbour pass: every level lowers the same entries and finds
// the first position of the smallest value, ties and infinities included.
TEST(Kernels, LowerAndFindNearestAgreesAcrossLevels) {
    std::mt19937 rng(11);
    const float values[] = {0.0f, 1.0f, 2.0f, 3.0f, std::numeric_limits<float>::infinity()};
    for (int64_t count : {0, 1, 15, 16, 17, 100}) {
        for (int round = 0; round < 50; ++round) {
            std::vector<float> fresh(count), best(count);
            for (int64_t p = 0; p < count; ++p) {
                fresh[p] = values[rng() % 5];
                best[p] = values[rng() % 5];
            }
            std::vector<int32_t> parent(count, -1);
            // What the pass must do, written out plainly.
            std::vector<float> lowered = best;
            std::vector<int32_t> expectParent = parent;
            int64_t expectNearest = -1;
            for (int64_t p = 0; p < count; ++p) {
                if (fresh[p] < lowered[p]) {
                    lowered[p] = fresh[p];
                    expectParent[p] = 7;
                }
                if (expectNearest < 0 || lowered[p] < lowered[expectNearest]) expectNearest = p;
            }
            for (KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx512}) {
                ForceKernelLevel(level);
                std::vector<float> b = best;
                std::vector<int32_t> par = parent;
                EXPECT_EQ(LowerAndFindNearest(fresh.data(), b.data(), par.data(), 7, count), expectNearest);
                EXPECT_EQ(b, lowered);
                EXPECT_EQ(par, expectParent);
            }
        }
    }
    ForceKernelLevel(DetectKernelLevel());
}

}  // namespace

namespace {

// The fused sweep must leave the same tree distances and parents, and name
// the same nearest position, as the kernel followed by the separate pass.
TEST(Kernels, FusedSweepMatchesKernelThenPass) {
    std::mt19937 rng(12);
    const int32_t lines = 3;
    for (int64_t count : {1, 15, 16, 17, 64, 100, 150}) {
        for (int round = 0; round < 30; ++round) {
            std::vector<float> cells(lines * count), x(lines), best(count);
            for (float &v : cells) v = static_cast<float>(rng() % 3);
            for (float &v : x) v = static_cast<float>(rng() % 3);
            for (float &v : best) v = rng() % 7 == 0 ? std::numeric_limits<float>::infinity() : static_cast<float>(rng() % 4);
            std::vector<float> fresh(count), expectBest = best;
            std::vector<int32_t> expectParent(count, -1);
            ForceKernelLevel(KernelLevel::Scalar);
            DistancesToColumns(ColumnBlock{cells.data(), count}, lines, x.data(), count, fresh.data());
            const int64_t expectNearest = LowerAndFindNearest(fresh.data(), expectBest.data(), expectParent.data(), 5, count);
            for (KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx2, KernelLevel::Avx512}) {
                ForceKernelLevel(level);
                std::vector<float> b = best, scratch(count);
                std::vector<int32_t> par(count, -1);
                EXPECT_EQ(DistancesLowerAndFindNearest(ColumnBlock{cells.data(), count}, lines, x.data(), count,
                                                       scratch.data(), b.data(), par.data(), 5),
                          expectNearest);
                EXPECT_EQ(b, expectBest);
                EXPECT_EQ(par, expectParent);
            }
        }
    }
    ForceKernelLevel(DetectKernelLevel());
}

}  // namespace
