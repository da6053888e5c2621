// The fast engines against the straightforward reference engine, on many
// random tables at every kernel level: the merge lines must match byte for
// byte (but for the sign printed for a NaN value).
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engines/minimum_link.h"
#include "engines/single_linkage/single_linkage.h"
#include "kernels/kernels.h"
#include "random_tables.h"
#include "reference_engine.h"

namespace {

class Differential : public ::testing::TestWithParam<KernelLevel> {
protected:
    void SetUp() override { ForceKernelLevel(GetParam()); }
    void TearDown() override { ForceKernelLevel(DetectKernelLevel()); }
};

TEST_P(Differential, TablesThroughBothCriteria) {
    std::mt19937 rng(1234 + static_cast<int>(GetParam()));
    int compared = 0;
    for (Flavour flavour : kAllFlavours) {
        for (int round = 0; round < 300; ++round) {
            OwnedTable t = RandomTable(rng, flavour, 24, round % 3 == 0 ? 1 : 4);
            const TableData table = t.view();
            const DistanceMatrix matrix = ComputeColumnDistances(table);
            const std::string expectMin = WithoutNanSign(ReferenceMinText(matrix));
            ASSERT_EQ(expectMin, WithoutNanSign(EngineMinText(matrix))) << TableText(t);
            ASSERT_EQ(expectMin, WithoutNanSign(EngineMinTableText(table))) << TableText(t);
            ASSERT_EQ(WithoutNanSign(ReferenceVarianceText(table)), WithoutNanSign(EngineVarianceText(table)))
                << TableText(t);
            std::free(matrix.values);
            ++compared;
        }
    }
    EXPECT_EQ(compared, 1500);
}

TEST_P(Differential, LargerTables) {
    // Large enough for clusters of many members (their distances go through
    // the vector kernel over the cluster's own columns).
    std::mt19937 rng(99 + static_cast<int>(GetParam()));
    const Flavour flavours[] = {Flavour::SmallIntegers, Flavour::Duplicates, Flavour::Decimals, Flavour::NonFinite};
    for (int round = 0; round < 16; ++round) {
        OwnedTable t = RandomTable(rng, flavours[round % 4], round < 12 ? 120 : 300, round % 4 == 2 ? 6 : 3);
        const TableData table = t.view();
        const DistanceMatrix matrix = ComputeColumnDistances(table);
        ASSERT_EQ(WithoutNanSign(ReferenceMinText(matrix)), WithoutNanSign(EngineMinTableText(table)))
            << TableText(t);
        ASSERT_EQ(WithoutNanSign(ReferenceVarianceText(table)), WithoutNanSign(EngineVarianceText(table)))
            << TableText(t);
        std::free(matrix.values);
    }
}

// Long tables (1,000 lines and more): the column distances go through the
// tiled kernels over several chunks of lines, and must equal the plain
// pair-by-pair computation; the merge lines of dendro-min's path must equal
// the reference engine's over those plain distances. Ties (small integers),
// duplicate columns, and a few NaN and infinite cells.
TEST_P(Differential, LongTables) {
    std::mt19937 rng(501 + static_cast<int>(GetParam()));
    const Flavour flavours[] = {Flavour::SmallIntegers, Flavour::Duplicates, Flavour::Decimals, Flavour::RareNonFinite};
    for (int round = 0; round < 25; ++round) {
        const Flavour flavour = flavours[round % 4];
        // The last table is wider than a stretch of columns that the kernels
        // keep in cache.
        const int32_t columns =
            round == 24 ? 600 : std::uniform_int_distribution<int32_t>(2, round < 12 ? 24 : 120)(rng);
        const int32_t lines = round % 3 == 0 ? 1000 : round % 3 == 1 ? 1337 : 2600;
        OwnedTable t = RandomTableOfSize(rng, flavour, columns, lines);
        const TableData table = t.view();
        SCOPED_TRACE(testing::Message() << "round " << round << ": " << t.columns << " columns x " << t.lines << " lines");
        std::vector<float> plain = ReferenceColumnDistances(table);
        const DistanceMatrix tiled = ComputeColumnDistances(table);
        for (size_t k = 0; k < plain.size(); ++k) {
            const bool nan = plain[k] != plain[k];
            ASSERT_TRUE(nan ? tiled.values[k] != tiled.values[k] : std::memcmp(&plain[k], &tiled.values[k], 4) == 0)
                << "pair " << k << ": " << tiled.values[k] << " instead of " << plain[k];
        }
        const DistanceMatrix reference{t.columns, plain.data()};
        const std::string expect = WithoutNanSign(ReferenceMinText(reference));
        ASSERT_EQ(expect, WithoutNanSign(EngineMinTableText(table)));
        ASSERT_EQ(expect, WithoutNanSign(EngineMinText(tiled)));
        if (t.columns <= 16) {
            ASSERT_EQ(WithoutNanSign(ReferenceVarianceText(table)), WithoutNanSign(EngineVarianceText(table)));
        }
        std::free(tiled.values);
    }
}

// dendro-min picks the order of its distance computations from the table's
// shape; each order must give the reference's lines on any finite table.
// Wide enough for the batches of rows ahead to drop joined columns from
// their panels several times.
TEST_P(Differential, EveryOrderOfDistanceComputation) {
    std::mt19937 rng(808 + static_cast<int>(GetParam()));
    const Flavour flavours[] = {Flavour::SmallIntegers, Flavour::Duplicates, Flavour::Decimals, Flavour::Huge};
    for (int round = 0; round < 12; ++round) {
        const int32_t columns = std::uniform_int_distribution<int32_t>(2, round < 4 ? 40 : 330)(rng);
        const int32_t lines = std::uniform_int_distribution<int32_t>(1, round % 2 ? 5 : 150)(rng);
        OwnedTable t = RandomTableOfSize(rng, flavours[round % 4], columns, lines);
        const TableData table = t.view();
        std::vector<float> plain = ReferenceColumnDistances(table);
        const std::string expect = ReferenceMinText(DistanceMatrix{columns, plain.data()});
        for (SingleLinkageOrder order :
             {SingleLinkageOrder::StoredMatrix, SingleLinkageOrder::ColumnByColumn, SingleLinkageOrder::FlooredColumns,
              SingleLinkageOrder::RowsAhead}) {
            const std::string got = CaptureText([&](std::FILE *f) { WriteSingleLinkage(f, table, order); });
            ASSERT_EQ(expect, got) << "order " << static_cast<int>(order) << ", round " << round << ": " << columns
                                   << " columns x " << lines << " lines";
        }
    }
}

// The floored order skips the exact distances that its floors prove cannot
// lower a tree distance: on the tables where floors are tightest or
// loosest (ties, duplicates, offsets that cancel, sums that underflow or
// overflow), every skip must leave the reference's lines. The wide tables
// run their passes in two halves on two threads, and are held to the
// stored-matrix order (held to the reference above).
TEST_P(Differential, FlooredColumnsOnHardTables) {
    std::mt19937 rng(313 + static_cast<int>(GetParam()));
    for (Flavour flavour : kHardFlavours) {
        if (flavour == Flavour::NonFinite) continue;  // the order takes finite tables only
        for (int round = 0; round < 6; ++round) {
            const int32_t columns = std::uniform_int_distribution<int32_t>(2, round < 3 ? 40 : 90)(rng);
            const int32_t lines = round % 3 == 0 ? 1 : round % 3 == 1 ? 33 : 160;
            OwnedTable t = RandomTableOfSize(rng, flavour, columns, lines);
            const TableData table = t.view();
            std::vector<float> plain = ReferenceColumnDistances(table);
            const std::string expect = ReferenceMinText(DistanceMatrix{columns, plain.data()});
            ASSERT_EQ(expect, CaptureText([&](std::FILE *f) {
                          WriteSingleLinkage(f, table, SingleLinkageOrder::FlooredColumns);
                      })) << "flavour " << static_cast<int>(flavour) << ", " << columns << " columns x " << lines;
        }
        OwnedTable t = RandomTableOfSize(rng, flavour, 1100, 128);
        const TableData table = t.view();
        const std::string stored =
            CaptureText([&](std::FILE *f) { WriteSingleLinkage(f, table, SingleLinkageOrder::StoredMatrix); });
        ASSERT_EQ(std::count(stored.begin(), stored.end(), '\n'), 1099);
        ASSERT_EQ(stored, CaptureText([&](std::FILE *f) {
                      WriteSingleLinkage(f, table, SingleLinkageOrder::FlooredColumns);
                  })) << "wide table, flavour " << static_cast<int>(flavour);
    }
}

// The order of distance computation at the benchmark's shapes and on
// either side of each switch: the floored order up to 32 MiB and 2,048
// lines; beyond, the stored matrix where it is at most four times the
// table, else a pass per column in cache, else batches of rows. A wrong
// switch costs several times the time (e.g. the floored order at 20,000
// lines, or the stored matrix at 12,625 x 128), not a byte of output.
TEST(DifferentialOrders, ChosenByShape) {
    const struct {
        int32_t columns, lines;
        SingleLinkageOrder order;
    } cases[] = {
        {12625, 128, SingleLinkageOrder::FlooredColumns},  {4000, 128, SingleLinkageOrder::FlooredColumns},
        {32768, 16, SingleLinkageOrder::FlooredColumns},   {4000, 1000, SingleLinkageOrder::FlooredColumns},
        {8000, 1000, SingleLinkageOrder::FlooredColumns},  {2000, 2048, SingleLinkageOrder::FlooredColumns},
        {2000, 2049, SingleLinkageOrder::StoredMatrix},    {1000, 20000, SingleLinkageOrder::StoredMatrix},
        {2000, 20000, SingleLinkageOrder::StoredMatrix},   {16384, 512, SingleLinkageOrder::FlooredColumns},
        {16384, 513, SingleLinkageOrder::RowsAhead},       {32768, 2049, SingleLinkageOrder::RowsAhead},
        {4096, 2100, SingleLinkageOrder::StoredMatrix},    {2, 1, SingleLinkageOrder::FlooredColumns},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ChooseSingleLinkageOrder(TableData{c.lines, c.columns, nullptr}), c.order)
            << c.columns << " columns x " << c.lines << " lines";
}

// Tables of few distinct columns: levels joining hundreds of clusters at
// one distance, whose distances are first read from the table and then
// from the copy the group makes of its columns once it has asked for
// enough. Every order that reads the table must write the lines of the
// stored matrix's levels (held to the reference above).
TEST_P(Differential, TieLevelsOfLargeGroups) {
    std::mt19937 rng(1717 + static_cast<int>(GetParam()));
    const struct {
        int32_t columns, lines, values;
    } shapes[] = {{1500, 3, 3}, {700, 40, 2}, {900, 2, 5}};
    for (const auto &shape : shapes) {
        OwnedTable t;
        t.columns = shape.columns;
        t.lines = shape.lines;
        for (int32_t k = 0; k < shape.columns * shape.lines; ++k) t.cells.push_back(static_cast<float>(rng() % shape.values));
        const TableData table = t.view();
        const std::string stored =
            CaptureText([&](std::FILE *f) { WriteSingleLinkage(f, table, SingleLinkageOrder::StoredMatrix); });
        for (SingleLinkageOrder order :
             {SingleLinkageOrder::ColumnByColumn, SingleLinkageOrder::FlooredColumns, SingleLinkageOrder::RowsAhead})
            ASSERT_EQ(stored, CaptureText([&](std::FILE *f) { WriteSingleLinkage(f, table, order); }))
                << "order " << static_cast<int>(order) << ", " << shape.columns << " columns x " << shape.lines;
    }
}

// Wide enough for the spanning tree over the stored matrix to run in two
// halves: the same lines, ties included, as the column-by-column order (held
// to the reference above on narrower tables), which takes no halves here.
TEST(DifferentialWide, StoredMatrixInTwoHalvesAsColumnByColumn) {
    std::mt19937 rng(909);
    for (Flavour flavour : {Flavour::SmallIntegers, Flavour::Duplicates}) {
        OwnedTable t = RandomTableOfSize(rng, flavour, 9000, 2);
        const TableData table = t.view();
        const std::string stored =
            CaptureText([&](std::FILE *f) { WriteSingleLinkage(f, table, SingleLinkageOrder::StoredMatrix); });
        const std::string byColumn =
            CaptureText([&](std::FILE *f) { WriteSingleLinkage(f, table, SingleLinkageOrder::ColumnByColumn); });
        ASSERT_EQ(std::count(stored.begin(), stored.end(), '\n'), 8999);
        ASSERT_EQ(stored, byColumn) << "flavour " << static_cast<int>(flavour);
    }
}

TEST_P(Differential, GivenMatrices) {
    std::mt19937 rng(77);
    for (int round = 0; round < 1500; ++round) {
        OwnedMatrix m = RandomMatrix(rng, 20, round % 2 == 0, round % 4 == 1);
        ASSERT_EQ(WithoutNanSign(ReferenceMinText(m.view())), WithoutNanSign(EngineMinText(m.view())))
            << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, Differential,
                         ::testing::Values(KernelLevel::Scalar, KernelLevel::Avx2, KernelLevel::Avx512),
                         [](const ::testing::TestParamInfo<KernelLevel> &info) {
                             return std::string(info.param == KernelLevel::Scalar ? "Scalar"
                                                : info.param == KernelLevel::Avx2 ? "Avx2"
                                                                                  : "Avx512");
                         });

}  // namespace

namespace {

// Tables wide enough for the spanning tree to split its passes over two
// threads: the lines must match those computed from the stored matrix, a
// separate single-threaded path that the small tables hold to the reference.
TEST(SpanningTree, TwoThreadPassesMatchTheStoredMatrixPath) {
    std::mt19937 rng(4242);
    for (Flavour flavour : {Flavour::SmallIntegers, Flavour::Decimals}) {
        OwnedTable t = RandomTable(rng, flavour, 1, 1);
        t.lines = 16;
        t.columns = 4500;
        t.cells.resize(static_cast<size_t>(t.lines) * t.columns);
        std::uniform_int_distribution<int> small(0, 2);
        std::uniform_real_distribution<float> real(0.0f, 1.0f);
        for (float &v : t.cells) v = flavour == Flavour::SmallIntegers ? static_cast<float>(small(rng)) : real(rng);
        const DistanceMatrix matrix = ComputeColumnDistances(t.view());
        EXPECT_EQ(EngineMinText(matrix), EngineMinTableText(t.view()));
        std::free(matrix.values);
    }
}

}  // namespace
