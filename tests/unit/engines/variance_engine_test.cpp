// The variance engine, which rules most pairs out by intervals instead of
// evaluating them, against the straightforward engine: byte for byte (but
// for the sign printed for a NaN) on the tables where an interval that is a
// little too narrow would show, with each kind of interval and at every
// kernel level.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "engines/minimum_link.h"
#include "engines/variance/variance_engine.h"
#include "kernels/kernels.h"
#include "random_tables.h"
#include "reference_engine.h"

namespace {

struct Shape {
    int32_t maxColumns;
    int32_t maxLines;
    int rounds;
};

struct Setting {
    KernelLevel level;
    VarianceBounds bounds;
};

class VarianceEngine : public ::testing::TestWithParam<Setting> {
protected:
    void SetUp() override {
        ForceKernelLevel(GetParam().level);
        ForceVarianceBounds(GetParam().bounds);
    }
    void TearDown() override {
        ForceKernelLevel(DetectKernelLevel());
        ForceVarianceBounds(VarianceBounds::Automatic);
    }
};

TEST_P(VarianceEngine, MatchesTheReferenceOnHardTables) {
    // Few lines and many columns, a single line, many lines (the rounding
    // margins grow with them), and rows of more pairs than a shortlist holds.
    const Shape shapes[] = {{40, 4, 60}, {30, 1, 30}, {24, 1200, 4}, {300, 6, 1}};
    std::mt19937 rng(2024 + static_cast<int>(GetParam().level) * 7 + static_cast<int>(GetParam().bounds));
    int compared = 0;
    for (const Shape &shape : shapes) {
        for (Flavour flavour : kHardFlavours) {
            for (int round = 0; round < shape.rounds; ++round) {
                OwnedTable t = RandomTable(rng, flavour, shape.maxColumns, shape.maxLines);
                const TableData table = t.view();
                ASSERT_EQ(WithoutNanSign(ReferenceVarianceText(table)), WithoutNanSign(EngineVarianceText(table)))
                    << "flavour " << static_cast<int>(flavour) << "\n"
                    << TableText(t);
                ++compared;
            }
        }
    }
    EXPECT_EQ(compared, 9 * (60 + 30 + 4 + 1));
}

// Tables aimed at the weakest steps of the intervals' rounding argument:
// cells at the largest size the intervals accept, squares below the float
// range, columns and lines of wildly different scales, columns equal but for
// one last bit, float sums that cancel, sums that round half way, and many
// identical columns (criteria of exactly 0 against tiny float values).
OwnedTable EdgeTable(std::mt19937 &rng, int kind) {
    OwnedTable t;
    t.columns = std::uniform_int_distribution<int32_t>(2, 30)(rng);
    t.lines = std::uniform_int_distribution<int32_t>(1, kind % 2 == 0 ? 3 : 60)(rng);
    t.cells.resize(static_cast<size_t>(t.lines) * t.columns);
    std::uniform_int_distribution<int> small(0, 3), scale(-30, 11);
    std::uniform_real_distribution<float> real(-1.0f, 1.0f);
    std::vector<float> pattern(static_cast<size_t>(2) * t.lines);
    for (float &p : pattern) p = 1000.0f * real(rng);
    std::vector<int> columnScale(t.columns), lineScale(t.lines);
    for (int &s : columnScale) s = scale(rng);
    for (int &s : lineScale) s = scale(rng);
    for (int32_t l = 0; l < t.lines; ++l) {
        for (int32_t c = 0; c < t.columns; ++c) {
            float v = 0.0f;
            switch (kind) {
                case 0:
                case 1:  // within a few last bits of +-1.0e12
                    v = small(rng) % 2 ? 1.0e12f : -1.0e12f;
                    for (int k = small(rng); k > 0; --k) v = std::nextafter(v, 0.0f);
                    break;
                case 2:
                case 3:  // squares of differences around the smallest float
                    v = std::pow(10.0f, static_cast<float>(-24 + small(rng))) * real(rng);
                    break;
                case 4: v = std::pow(10.0f, static_cast<float>(columnScale[c])) * real(rng); break;
                case 5: v = std::pow(10.0f, static_cast<float>(lineScale[l])) * real(rng); break;
                case 6:
                case 7:  // two shapes near 1.0e6, some cells one bit higher
                    v = 1.0e6f + 1.0e-3f * pattern[static_cast<size_t>(c % 2) * t.lines + l];
                    if (small(rng) == 0) v = std::nextafter(v, 2.0e6f);
                    break;
                case 8: v = (c % 2 ? -1.0e11f : 1.0e11f) + static_cast<float>(small(rng)); break;
                case 9: v = 16777216.0f + 2.0f * static_cast<float>(small(rng)); break;
                default: v = pattern[static_cast<size_t>(c % 2) * t.lines + l]; break;
            }
            t.cells[static_cast<size_t>(l) * t.columns + c] = v;
        }
    }
    return t;
}

TEST_P(VarianceEngine, MatchesTheReferenceAtTheEdgesOfTheIntervals) {
    std::mt19937 rng(77 + static_cast<int>(GetParam().level) * 5 + static_cast<int>(GetParam().bounds));
    for (int kind = 0; kind <= 10; ++kind) {
        for (int round = 0; round < 12; ++round) {
            OwnedTable t = EdgeTable(rng, kind);
            const TableData table = t.view();
            ASSERT_EQ(ReferenceVarianceText(table), EngineVarianceText(table)) << "kind " << kind << "\n"
                                                                                << TableText(t);
        }
    }
}

TEST_P(VarianceEngine, GiantClusterAndWideTables) {
    // One cluster absorbing the columns one by one, and tables wide enough
    // for batches of candidates to be split over both threads.
    std::mt19937 rng(31 + static_cast<int>(GetParam().bounds));
    for (Flavour flavour : {Flavour::Chain, Flavour::Decimals, Flavour::SmallIntegers}) {
        OwnedTable t = RandomTable(rng, flavour, 1, 1);
        t.columns = 260;
        t.lines = flavour == Flavour::Decimals ? 300 : 3;
        t.cells.resize(static_cast<size_t>(t.lines) * t.columns);
        std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
        std::uniform_int_distribution<int> small(0, 2);
        for (int32_t l = 0; l < t.lines; ++l)
            for (int32_t c = 0; c < t.columns; ++c)
                t.cells[static_cast<size_t>(l) * t.columns + c] =
                    flavour == Flavour::Chain ? (l == 0 ? 0.5f * c * c : 0.01f * noise(rng))
                    : flavour == Flavour::Decimals ? noise(rng)
                                                   : static_cast<float>(small(rng));
        const TableData table = t.view();
        EXPECT_EQ(ReferenceVarianceText(table), EngineVarianceText(table)) << "flavour " << static_cast<int>(flavour);
    }
}

TEST_P(VarianceEngine, ManyColumnsFewLines) {
    // Wide enough for a merge to refine hundreds of pairs at once, in groups
    // and on both threads, and for a row's pairs to need more than one byte
    // of their starts sorted.
    std::mt19937 rng(53 + static_cast<int>(GetParam().bounds));
    for (Flavour flavour : {Flavour::Decimals, Flavour::SmallIntegers}) {
        OwnedTable t = RandomTable(rng, flavour, 1, 1);
        t.columns = 1500;
        t.lines = 16;
        t.cells.resize(static_cast<size_t>(t.lines) * t.columns);
        std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
        std::uniform_int_distribution<int> small(0, 3);
        for (float &cell : t.cells)
            cell = flavour == Flavour::Decimals ? noise(rng) : static_cast<float>(small(rng));
        const TableData table = t.view();
        EXPECT_EQ(ReferenceVarianceText(table), EngineVarianceText(table)) << "flavour " << static_cast<int>(flavour);
    }
}

INSTANTIATE_TEST_SUITE_P(
    LevelsAndBounds, VarianceEngine,
    ::testing::Values(Setting{KernelLevel::Scalar, VarianceBounds::InnerProducts},
                      Setting{KernelLevel::Avx2, VarianceBounds::Centroids},
                      Setting{KernelLevel::Avx512, VarianceBounds::InnerProducts},
                      Setting{KernelLevel::Avx512, VarianceBounds::Centroids},
                      Setting{KernelLevel::Scalar, VarianceBounds::Sweep},
                      Setting{KernelLevel::Avx512, VarianceBounds::Sweep}),
    [](const ::testing::TestParamInfo<Setting> &info) {
        const KernelLevel level = info.param.level;
        return std::string(level == KernelLevel::Scalar ? "Scalar" : level == KernelLevel::Avx2 ? "Avx2" : "Avx512") +
               (info.param.bounds == VarianceBounds::InnerProducts ? "InnerProducts"
                : info.param.bounds == VarianceBounds::Sweep       ? "Sweep"
                                                                   : "Centroids");
    });

}  // namespace
