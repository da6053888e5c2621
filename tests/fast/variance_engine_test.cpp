// The variance engine, which rules most pairs out by intervals instead of
// evaluating them, against the straightforward engine: byte for byte (but
// for the sign printed for a NaN) on the tables where an interval that is a
// little too narrow would show, with each kind of interval and at every
// kernel level.
#include <gtest/gtest.h>

#include <cstdlib>

#include "dendrogram.h"
#include "kernels.h"
#include "random_tables.h"
#include "reference_engine.h"
#include "variance_engine.h"

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
    // Few lines and many columns, a single line, and many lines (the
    // rounding margins grow with them).
    const Shape shapes[] = {{40, 4, 60}, {30, 1, 30}, {24, 1200, 4}};
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
    EXPECT_EQ(compared, 9 * (60 + 30 + 4));
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

INSTANTIATE_TEST_SUITE_P(
    LevelsAndBounds, VarianceEngine,
    ::testing::Values(Setting{KernelLevel::Scalar, VarianceBounds::InnerProducts},
                      Setting{KernelLevel::Avx2, VarianceBounds::Centroids},
                      Setting{KernelLevel::Avx512, VarianceBounds::InnerProducts},
                      Setting{KernelLevel::Avx512, VarianceBounds::Centroids}),
    [](const ::testing::TestParamInfo<Setting> &info) {
        const KernelLevel level = info.param.level;
        return std::string(level == KernelLevel::Scalar ? "Scalar" : level == KernelLevel::Avx2 ? "Avx2" : "Avx512") +
               (info.param.bounds == VarianceBounds::InnerProducts ? "InnerProducts" : "Centroids");
    });

}  // namespace
