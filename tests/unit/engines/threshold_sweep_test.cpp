// The threshold sweep against the straightforward engine, byte for byte,
// with joins that push few pairs (so that the threshold is raised many
// times, and falls inside runs of equal values) and with the usual number.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "engines/variance/centroid_bounds.h"
#include "engines/variance/threshold_sweep.h"
#include "engines/variance/variance_engine.h"
#include "kernels/kernels.h"
#include "random_tables.h"
#include "reference_engine.h"

namespace {

using variance_engine::CentroidBounds;
using variance_engine::SweepApplies;
using variance_engine::ThresholdSweepEngine;

std::string SweepText(TableData table, int32_t joinShare) {
    return CaptureText([&](std::FILE *f) {
        ThresholdSweepEngine<CentroidBounds> engine(table, joinShare);
        engine.Run(f);
    });
}

// Tables the sweep takes, made of few distinct values so that equal values
// are everywhere: columns copied from others, points on a small grid, and
// a few clusters of identical columns far apart.
OwnedTable TiedTable(std::mt19937 &rng, int kind, int32_t columns, int32_t lines) {
    OwnedTable t;
    t.columns = columns;
    t.lines = lines;
    t.cells.resize(static_cast<size_t>(lines) * columns);
    std::uniform_int_distribution<int> small(0, 2), group(0, 3);
    std::vector<int> groupOf(columns);
    for (int &g : groupOf) g = group(rng);
    for (int32_t c = 0; c < columns; ++c) {
        const int32_t copyOf = std::uniform_int_distribution<int32_t>(0, std::max(0, c - 1))(rng);
        for (int32_t l = 0; l < lines; ++l) {
            float &v = t.cells[static_cast<size_t>(l) * columns + c];
            switch (kind) {
                case 0: v = c > 0 && small(rng) > 0 ? t.cells[static_cast<size_t>(l) * columns + copyOf]
                                                    : static_cast<float>(small(rng));
                    break;
                case 1: v = static_cast<float>(small(rng)) * 0.25f; break;
                default: v = static_cast<float>(groupOf[c] * 1000 + (l == 0 ? c % 2 : 0)); break;
            }
        }
    }
    return t;
}

TEST(ThresholdSweep, MatchesTheReferenceWithFewOrManyPairsPerJoin) {
    struct Case {
        int32_t joinShare, maxColumns, maxLines, rounds;
    };
    const Case cases[] = {{1, 60, 4, 12}, {2, 90, 16, 6}, {32, 60, 3, 8}, {1, 40, 1, 10}};
    std::mt19937 rng(424);
    int compared = 0, skipped = 0;
    for (const Case &c : cases) {
        for (Flavour flavour : kHardFlavours) {
            for (int round = 0; round < c.rounds; ++round) {
                OwnedTable t = RandomTable(rng, flavour, c.maxColumns, c.maxLines);
                const TableData table = t.view();
                if (!SweepApplies(table)) {
                    ++skipped;
                    continue;
                }
                ASSERT_EQ(ReferenceVarianceText(table), SweepText(table, c.joinShare))
                    << "flavour " << static_cast<int>(flavour) << ", " << c.joinShare << " per join\n"
                    << TableText(t);
                ++compared;
            }
        }
    }
    // Huge, far-offset and non-finite tables go elsewhere; the rest come here.
    EXPECT_GT(compared, 6 * (12 + 6 + 8 + 10));
    EXPECT_GT(skipped, 0);
}

TEST(ThresholdSweep, TiesAtTheThreshold) {
    // With one or two pairs per join the threshold lands inside runs of
    // equal values again and again; the order among them is the tie rule's.
    std::mt19937 rng(99);
    for (int kind = 0; kind < 3; ++kind) {
        for (int32_t joinShare : {1, 2, 5}) {
            for (int round = 0; round < 4; ++round) {
                const int32_t columns = std::uniform_int_distribution<int32_t>(20, 120)(rng);
                OwnedTable t = TiedTable(rng, kind, columns, 1 + round % 3);
                const TableData table = t.view();
                ASSERT_TRUE(SweepApplies(table));
                ASSERT_EQ(ReferenceVarianceText(table), SweepText(table, joinShare))
                    << "kind " << kind << ", " << joinShare << " per join\n"
                    << TableText(t);
            }
        }
    }
}

TEST(ThresholdSweep, TakesOnlyTablesWhoseValuesStayBelowTheMergeLimit) {
    // 2 sqrt(lines) max|cell| at most 4.0e10: every value is finite and
    // below 1.0e11, so some pair is always merged.
    struct Case {
        float cell;
        int32_t lines;
        bool applies;
    };
    const Case cases[] = {{1.0e10f, 4, true},       {1.0e10f, 5, false}, {5.0e9f, 16, true},
                          {5.1e9f, 16, false},      {INFINITY, 1, false}, {NAN, 1, false},
                          {2.0e10f, 1, true},       {1.0e-30f, 16, true}};
    for (const Case &c : cases) {
        OwnedTable t;
        t.lines = c.lines;
        t.columns = 3;
        t.cells.assign(static_cast<size_t>(t.lines) * t.columns, 0.0f);
        t.cells[1] = -c.cell;
        EXPECT_EQ(SweepApplies(t.view()), c.applies) << c.cell << " on " << c.lines << " lines";
    }
}

TEST(ThresholdSweep, LimitsRuleOutOnlyKeysOnTheirSide) {
    // A low at least AboveLimit(key) must give a bound key above key, and
    // one below BelowLimit(key) a bound key below it, for every pair: the
    // scans skip those pairs' keys. Keys of floats around zero, subnormals,
    // the largest float and infinity, with lows at, just beside and far
    // from each float.
    using variance_engine::AboveLimit;
    using variance_engine::BelowLimit;
    using variance_engine::BoundOrder;
    using variance_engine::SweepKey;
    const float floats[] = {-INFINITY, -3.5f,  -0.0f,  0.0f,   0x1p-149f, 0x1p-126f, 1.0e-30f,
                            1.0f,      1.5f,   4.1e10f, 3.4028235e38f, INFINITY};
    const int32_t pairs[][2] = {{0, 1}, {32767, 0}, {32767, 32766}, {5, 17}};
    int above = 0, below = 0;
    for (float f : floats) {
        for (const auto &keyPair : pairs) {
            const uint64_t key = SweepKey(FloatOrder(f), keyPair[0], keyPair[1]);
            const double a = AboveLimit(key), b = BelowLimit(key);
            std::vector<double> lows = {f, std::nextafter(static_cast<double>(f), INFINITY),
                                        std::nextafter(static_cast<double>(f), -INFINITY), a, b,
                                        std::nextafter(a, INFINITY), std::nextafter(a, -INFINITY),
                                        std::nextafter(b, -INFINITY), 0.0, -0.0, NAN};
            for (int k = 0; k < 20; ++k) lows.push_back(static_cast<double>(f) * std::ldexp(1.0, k - 10));
            for (double low : lows) {
                for (const auto &pair : pairs) {
                    const uint64_t got = SweepKey(BoundOrder(low), pair[0], pair[1]);
                    if (low >= a) {
                        EXPECT_GT(got, key) << low << " against the key of " << f;
                        ++above;
                    }
                    if (low < b) {
                        EXPECT_LT(got, key) << low << " against the key of " << f;
                        ++below;
                    }
                }
            }
        }
    }
    // The limits do rule out: the finite floats have both.
    EXPECT_GT(above, 200);
    EXPECT_GT(below, 200);
    EXPECT_TRUE(std::isnan(AboveLimit(SweepKey(FloatOrder(INFINITY), 1, 0))));
    EXPECT_TRUE(std::isnan(AboveLimit(UINT64_MAX)));
    EXPECT_TRUE(std::isnan(BelowLimit(UINT64_MAX)));
}

TEST(ThresholdSweep, WideTablesAtEveryKernelLevel) {
    // Wide enough for the passes and joins to be split over both threads,
    // for stale entries to be dropped from the heap, and for the vector
    // kernels of the intervals to run their full width.
    std::mt19937 rng(7);
    for (Flavour flavour : {Flavour::Decimals, Flavour::SmallIntegers, Flavour::Offset}) {
        OwnedTable t = RandomTableOfSize(rng, flavour, 700, 16);
        const TableData table = t.view();
        const std::string reference = ReferenceVarianceText(table);
        for (KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx2, KernelLevel::Avx512}) {
            ForceKernelLevel(level);
            EXPECT_EQ(reference, SweepText(table, 2))
                << "flavour " << static_cast<int>(flavour) << " level " << static_cast<int>(level);
        }
    }
    ForceKernelLevel(DetectKernelLevel());
}

TEST(ThresholdSweep, TheDispatchAtTheSwitchWritesWhatEveryPairEvaluatedWrites) {
    // The shapes just inside and outside the sweep's share of the dispatch:
    // the default path against the working matrix, which evaluates every
    // pair (the straightforward engine itself takes minutes there).
    struct Case {
        int32_t columns, lines;
    };
    const Case cases[] = {{3000, 16}, {3001, 2}};
    std::mt19937 rng(3000);
    for (const Case &c : cases) {
        OwnedTable t = RandomTableOfSize(rng, Flavour::SmallIntegers, c.columns, c.lines);
        const TableData table = t.view();
        ForceVarianceBounds(VarianceBounds::WorkingMatrix);
        const std::string everyPair = EngineVarianceText(table);
        ForceVarianceBounds(VarianceBounds::Automatic);
        EXPECT_EQ(everyPair, EngineVarianceText(table)) << c.columns << " x " << c.lines;
    }
}

}  // namespace
