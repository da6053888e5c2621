// dendro-cluster's engines against the pass-by-pass reference, on random
// matrices and tables full of ties: the same tree, values within 1e-12
// relative, and the same bytes for single and complete linkage.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "cluster_reference.h"
#include "engines/cluster/cluster.h"
#include "engines/cluster/cluster_objects.h"
#include "engines/cluster/pass_order.h"
#include "kernels/kernels.h"
#include "random_tables.h"
#include "reference_engine.h"

namespace {

constexpr Linkage kAll[] = {Linkage::Single,   Linkage::Complete, Linkage::Average, Linkage::Weighted,
                            Linkage::Centroid, Linkage::Median,   Linkage::Ward};

std::string Text(const std::vector<ClusterMerge> &merges, bool precise = false) {
    return CaptureText([&](std::FILE *f) { WriteClusterMerges(f, merges, precise); });
}

// The objects of a random table: its columns.
Points ColumnsOf(const OwnedTable &t) {
    Points p;
    p.n = t.columns;
    p.m = t.lines;
    for (int32_t c = 0; c < t.columns; ++c)
        for (int32_t l = 0; l < t.lines; ++l) p.values.push_back(t.cells[static_cast<size_t>(l) * t.columns + c]);
    return p;
}

std::string Describe(const std::vector<ClusterMerge> &merges) { return ReferenceMergeText(merges, true); }

// Same tree, values within `tolerance` relative; and for single and complete
// linkage, the same bytes.
void ExpectSame(const std::vector<ClusterMerge> &expect, const std::vector<ClusterMerge> &got, Linkage linkage,
                double tolerance = 1e-12) {
    ASSERT_EQ(expect.size(), got.size());
    for (size_t k = 0; k < expect.size(); ++k) {
        ASSERT_EQ(expect[k].larger, got[k].larger) << "merge " << k << "\nexpected\n"
                                                   << Describe(expect) << "got\n"
                                                   << Describe(got);
        ASSERT_EQ(expect[k].smaller, got[k].smaller) << "merge " << k << "\nexpected\n"
                                                     << Describe(expect) << "got\n"
                                                     << Describe(got);
        const double a = expect[k].value, b = got[k].value;
        ASSERT_LE(std::fabs(a - b), tolerance * std::max(std::fabs(a), std::fabs(b)))
            << "merge " << k << ": " << a << " " << b;
    }
    if (linkage == Linkage::Single || linkage == Linkage::Complete) {
        ASSERT_EQ(ReferenceMergeText(expect, true), Text(got, true));
    }
}

std::vector<ClusterMerge> EngineOnMatrix(std::vector<double> packed, int64_t n, Linkage linkage) {
    return ClusterPackedMatrix(packed, n, linkage);
}

DistanceRows RowsOf(const std::vector<double> &packed) {
    return [&packed](int64_t i, int64_t begin, int64_t end, double *out) {
        for (int64_t x = begin; x < end; ++x) {
            *out++ = x == i ? 0.0 : x < i ? packed[i * (i - 1) / 2 + x] : packed[x * (x - 1) / 2 + i];
        }
    };
}

// Integer matrices of few distinct values: ties at every height.
std::vector<double> IntegerMatrix(std::mt19937 &rng, int64_t n, int top) {
    std::uniform_int_distribution<int> value(0, top);
    std::vector<double> d(static_cast<size_t>(n * (n - 1) / 2));
    for (double &v : d) v = value(rng);
    return d;
}

TEST(ClusterEngines, FirstPairInScanOrderAmongTies) {
    // Objects at 0, 1 and 2: pairs (1,0) and (2,1) tie at 1; (1,0) comes
    // first in scan order and merges first.
    const std::vector<double> matrix = {1, 2, 1};
    const Points line{3, 1, {0, 1, 2}};
    struct Case {
        Linkage linkage;
        const char *second;
    };
    const Case cases[] = {{Linkage::Single, "1.000000"},   {Linkage::Complete, "2.000000"},
                          {Linkage::Average, "1.500000"},  {Linkage::Weighted, "1.500000"},
                          {Linkage::Centroid, "1.500000"}, {Linkage::Median, "1.500000"},
                          {Linkage::Ward, "1.732051"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(LinkageName(c.linkage));
        const std::string expect =
            std::string("NODE0\tLEAF1\tLEAF0\t1.000000\nNODE1\tLEAF2\tNODE0\t") + c.second + "\n";
        EXPECT_EQ(expect, Text(EngineOnMatrix(matrix, 3, c.linkage)));
        if (c.linkage == Linkage::Single) {
            EXPECT_EQ(expect, Text(ClusterSingleFromRows(3, RowsOf(matrix), false)));
        } else if (NeedsEuclidean(c.linkage)) {
            EXPECT_EQ(expect, Text(ClusterCoordinates(line.values, 3, 1, c.linkage)));
        }
    }
}

TEST(ClusterEngines, NoObjectOneObjectTwoObjects) {
    for (Linkage linkage : kAll) {
        SCOPED_TRACE(LinkageName(linkage));
        std::vector<double> none;
        EXPECT_TRUE(ClusterPackedMatrix(none, 0, linkage).empty());
        EXPECT_TRUE(ClusterPackedMatrix(none, 1, linkage).empty());
        std::vector<double> one = {2.5};
        EXPECT_EQ("NODE0\tLEAF1\tLEAF0\t2.500000\n", Text(ClusterPackedMatrix(one, 2, linkage)));
        if (NeedsEuclidean(linkage)) {
            EXPECT_TRUE(ClusterCoordinates({}, 0, 3, linkage).empty());
            EXPECT_TRUE(ClusterCoordinates({1, 2, 3}, 1, 3, linkage).empty());
            EXPECT_EQ("NODE0\tLEAF1\tLEAF0\t5.000000\n", Text(ClusterCoordinates({0, 0, 3, 4}, 2, 2, linkage)));
        }
    }
    const std::vector<double> one = {2.5};
    EXPECT_TRUE(ClusterSingleFromRows(1, RowsOf(one), true).empty());
    EXPECT_EQ("NODE0\tLEAF1\tLEAF0\t2.500000\n", Text(ClusterSingleFromRows(2, RowsOf(one), true)));
}

TEST(ClusterEngines, MergeLinesNumberNodesAndKeepPrecision) {
    // Slot 3 merges twice: LEAF3 first, then NODE1; 17 digits read back.
    const std::vector<ClusterMerge> merges = {{1, 0, 0.1}, {3, 2, 0.25}, {3, 1, -0.0}};
    EXPECT_EQ("NODE0\tLEAF1\tLEAF0\t0.100000\nNODE1\tLEAF3\tLEAF2\t0.250000\nNODE2\tNODE1\tNODE0\t0.000000\n",
              Text(merges));
    const std::string precise = Text(merges, true);
    EXPECT_NE(precise.find("\t0.10000000000000001\n"), std::string::npos) << precise;
    EXPECT_EQ(std::strtod("0.10000000000000001", nullptr), 0.1);
}

TEST(ClusterEngines, MatrixBytesAndInputChoice) {
    EXPECT_EQ(PackedMatrixBytes(1), 0u);
    EXPECT_EQ(PackedMatrixBytes(100000), 100000ull * 99999 / 2 * 8);
    EXPECT_EQ(PackedMatrixBytes(INT64_MAX), UINT64_MAX);
    EXPECT_EQ(ChooseClusterInput(Linkage::Single, false, true, false), ClusterInput::Data);
    EXPECT_EQ(ChooseClusterInput(Linkage::Ward, true, false, false), ClusterInput::Data);
    EXPECT_EQ(ChooseClusterInput(Linkage::Ward, true, true, false), ClusterInput::PackedMatrix);
    EXPECT_EQ(ChooseClusterInput(Linkage::Average, true, false, false), ClusterInput::PackedMatrix);
    EXPECT_EQ(ChooseClusterInput(Linkage::Single, true, false, true), ClusterInput::PackedMatrix);
    // Few objects of many coordinates: the matrix is no larger than twice the data.
    EXPECT_EQ(ChooseClusterInput(Linkage::Ward, true, false, false, 4001, 1000), ClusterInput::PackedMatrix);
    EXPECT_EQ(ChooseClusterInput(Linkage::Ward, true, false, false, 4002, 1000), ClusterInput::Data);
    EXPECT_EQ(ChooseClusterInput(Linkage::Single, false, false, false, 20000, 16), ClusterInput::Data);
    // Single linkage: the matrix only when no larger than the data.
    EXPECT_EQ(ChooseClusterInput(Linkage::Single, true, false, false, 1001, 1000), ClusterInput::PackedMatrix);
    EXPECT_EQ(ChooseClusterInput(Linkage::Single, true, false, false, 1002, 1000), ClusterInput::Data);
    EXPECT_EQ(ChooseClusterInput(Linkage::Single, false, true, false, 4000, 1000), ClusterInput::Data);
    for (Linkage l : kAll) EXPECT_EQ(ParseLinkage(LinkageName(l)), l);
    EXPECT_FALSE(ParseLinkage("Ward").has_value());
}

// Given matrices of small integers: ties everywhere, each linkage on the
// matrix, single linkage also through the spanning tree's rows.
TEST(ClusterEngines, IntegerMatricesMatchTheReference) {
    std::mt19937 rng(2101);
    int compared = 0;
    for (int round = 0; round < 400; ++round) {
        const int64_t n = std::uniform_int_distribution<int64_t>(2, round < 300 ? 14 : 40)(rng);
        const std::vector<double> d = IntegerMatrix(rng, n, round % 3 == 0 ? 1 : round % 3 == 1 ? 3 : 9);
        for (Linkage linkage : kAll) {
            SCOPED_TRACE(testing::Message() << LinkageName(linkage) << " round " << round << " n " << n);
            ExpectSame(ReferenceMatrixMerges(d, n, linkage), EngineOnMatrix(d, n, linkage), linkage);
            ++compared;
        }
        ExpectSame(ReferenceMatrixMerges(d, n, Linkage::Single), ClusterSingleFromRows(n, RowsOf(d), round % 2 == 0),
                   Linkage::Single);
    }
    EXPECT_EQ(compared, 400 * 7);
}

// Random tables (objects are the columns), full of ties: city-block
// distances (exact sums of the cells' differences) through the matrix
// engines of single, complete, average and weighted linkage, squared
// Euclidean ones through those of centroid, median and ward, and the data
// engines on the coordinates; single linkage also from Euclidean rows.
TEST(ClusterEngines, TablesMatchTheReference) {
    std::mt19937 rng(2102);
    const Flavour flavours[] = {Flavour::SmallIntegers, Flavour::Duplicates, Flavour::Decimals,
                                Flavour::Offset,        Flavour::Chain,      Flavour::Tiny};
    int compared = 0;
    for (int round = 0; round < 300; ++round) {
        const Flavour flavour = flavours[round % 6];
        const OwnedTable t = RandomTable(rng, flavour, round < 240 ? 16 : 48, 1 + round % 4);
        const Points p = ColumnsOf(t);
        SCOPED_TRACE(testing::Message() << "round " << round << "\n" << TableText(t));
        const std::vector<double> city = ReferenceCityBlock(p), d = ReferenceEuclidean(p);
        std::vector<double> square = d;
        for (double &v : square) v = v * v;
        for (Linkage linkage : kAll) {
            SCOPED_TRACE(LinkageName(linkage));
            if (NeedsEuclidean(linkage)) {
                std::vector<double> work = square;
                ExpectSame(ReferenceMatrixMerges(square, p.n, linkage, true),
                           ClusterPackedMatrix(work, p.n, linkage, true), linkage);
                ExpectSame(ReferenceDataMerges(p, linkage), ClusterCoordinates(p.values, p.n, p.m, linkage), linkage);
            } else {
                ExpectSame(ReferenceMatrixMerges(city, p.n, linkage), EngineOnMatrix(city, p.n, linkage), linkage);
            }
            ++compared;
        }
        ExpectSame(ReferenceMatrixMerges(city, p.n, Linkage::Single), ClusterSingleFromRows(p.n, RowsOf(city), true),
                   Linkage::Single);
        ExpectSame(ReferenceMatrixMerges(d, p.n, Linkage::Single), ClusterSingleFromRows(p.n, RowsOf(d), false),
                   Linkage::Single);
    }
    EXPECT_EQ(compared, 300 * 7);
}

// Euclidean distances of real-valued points (no ties): every linkage on the
// matrix.
TEST(ClusterEngines, EuclideanMatricesMatchTheReference) {
    std::mt19937 rng(2104);
    std::uniform_real_distribution<double> coordinate(-1, 1);
    for (int round = 0; round < 100; ++round) {
        Points p;
        p.n = std::uniform_int_distribution<int64_t>(2, 60)(rng);
        p.m = 1 + round % 5;
        for (int64_t k = 0; k < p.n * p.m; ++k) p.values.push_back(coordinate(rng) * (round % 2 ? 1e6 : 1e-3));
        const std::vector<double> d = ReferenceEuclidean(p);
        for (Linkage linkage : kAll) {
            SCOPED_TRACE(testing::Message() << LinkageName(linkage) << " round " << round);
            ExpectSame(ReferenceMatrixMerges(d, p.n, linkage), EngineOnMatrix(d, p.n, linkage), linkage);
        }
    }
}

// The sums that keep ties exact are the classic recurrences solved in closed
// form: on real-valued points without ties both give the same tree and
// heights within rounding.
TEST(ClusterEngines, ClosedFormsAgreeWithTheRecurrences) {
    std::mt19937 rng(2103);
    std::uniform_real_distribution<double> coordinate(-10, 10);
    for (int round = 0; round < 60; ++round) {
        Points p;
        p.n = 30;
        p.m = 3;
        for (int64_t k = 0; k < p.n * p.m; ++k) p.values.push_back(coordinate(rng));
        const std::vector<double> d = ReferenceEuclidean(p);
        for (Linkage linkage : {Linkage::Centroid, Linkage::Ward}) {
            SCOPED_TRACE(testing::Message() << LinkageName(linkage) << " round " << round);
            ExpectSame(ReferenceMatrixMerges(d, p.n, linkage, false, true), EngineOnMatrix(d, p.n, linkage), linkage,
                       1e-9);
            ExpectSame(ReferenceMatrixMerges(d, p.n, linkage, false, true),
                       ClusterCoordinates(p.values, p.n, p.m, linkage), linkage, 1e-9);
        }
    }
}

}  // namespace

namespace {

// Objects through a metric space as a program gives them to the engines,
// against the reference on the space's own distances (or, for centroid,
// median and ward without missing cells, on the coordinates). Small
// integers and halves, ties everywhere; or, with missing cells (whose
// distances are scaled by a ratio of counts, so that sums of them round),
// real values.
TEST(ClusterEngines, MetricSpacesMatchTheReference) {
    std::mt19937 rng(2105);
    std::uniform_int_distribution<int> cell(0, 4), pick(0, 9);
    std::uniform_real_distribution<double> real(-3, 3);
    const Metric metrics[] = {Metric::Euclidean, Metric::SqEuclidean, Metric::CityBlock, Metric::Chebyshev,
                              Metric::Correlation};
    for (int round = 0; round < 120; ++round) {
        ObjectTable table;
        table.objects = std::uniform_int_distribution<int64_t>(2, 30)(rng);
        table.coordinates = 3 + round % 5;
        const bool missing = round % 3 == 0;
        for (int64_t k = 0; k < table.objects * table.coordinates; ++k) {
            // A missing cell now and then, never the first coordinate, so
            // every pair keeps one in common.
            const bool hole = missing && k % table.coordinates != 0 && pick(rng) == 0;
            const double v = missing ? real(rng) : cell(rng) + (round % 2 ? 0.0 : 0.5 * pick(rng));
            table.values.push_back(hole ? std::nan("") : v);
        }
        const Metric metric = metrics[round % 5];
        const MetricSpace space(table, metric);
        if (space.FirstUndefinedPair().has_value()) continue;  // a constant object under correlation
        const std::vector<double> d = space.AllDistances();
        for (Linkage linkage : kAll) {
            if (NeedsEuclidean(linkage) && !IsEuclideanGeometry(metric) && metric != Metric::SqEuclidean) continue;
            SCOPED_TRACE(testing::Message() << LinkageName(linkage) << " " << MetricName(metric) << " round " << round);
            std::vector<ClusterMerge> expect;
            if (ClustersFromData(space, linkage) && linkage != Linkage::Single) {
                Points p{table.objects, table.coordinates, table.values};
                expect = ReferenceDataMerges(p, linkage);
            } else {
                expect = ReferenceMatrixMerges(d, table.objects, linkage, metric == Metric::SqEuclidean);
            }
            ExpectSame(expect, ClusterObjects(space, linkage), linkage);
        }
    }
}

}  // namespace

namespace {

// Thousands of objects, where searches and updates split over two threads:
// on small-integer points the data engines and the matrix engines compute
// exact values in different ways (coordinate sums; sums of squared
// distances), so they must give the same merges to the bit.
TEST(ClusterEngines, LargeIntegerTablesAgreeBetweenDataAndMatrix) {
    std::mt19937 rng(2106);
    std::uniform_int_distribution<int> cell(0, 20);
    Points p;
    p.n = 3500;
    p.m = 3;
    for (int64_t k = 0; k < p.n * p.m; ++k) p.values.push_back(cell(rng));
    std::vector<double> square = ReferenceEuclidean(p);
    for (double &v : square) v = std::round(v * v);  // exact: integer sums of squares
    for (Linkage linkage : {Linkage::Ward, Linkage::Centroid}) {
        SCOPED_TRACE(LinkageName(linkage));
        std::vector<double> work = square;
        const std::vector<ClusterMerge> fromMatrix = ClusterPackedMatrix(work, p.n, linkage, true);
        EXPECT_EQ(Text(fromMatrix, true), Text(ClusterCoordinates(p.values, p.n, p.m, linkage), true));
    }
    // Single linkage on city-block distances (ties everywhere): the rows
    // split over two threads give the tree of the rows on one.
    const std::vector<double> city = ReferenceCityBlock(p);
    EXPECT_EQ(Text(SingleLinkageTree(city.data(), p.n), true),
              Text(ClusterSingleFromRows(p.n, RowsOf(city), true), true));
}

}  // namespace

namespace {

// The data engines' loops are compiled for each vector width: on real
// values (every rounding counts) each width must give the same bytes.
TEST(ClusterEngines, DataEnginesGiveTheSameBytesAtEveryKernelLevel) {
    std::mt19937 rng(2107);
    std::uniform_real_distribution<double> coordinate(-1e3, 1e3);
    Points p;
    p.n = 700;
    p.m = 13;
    for (int64_t k = 0; k < p.n * p.m; ++k) p.values.push_back(coordinate(rng));
    const KernelLevel detected = DetectKernelLevel();
    for (Linkage linkage : {Linkage::Ward, Linkage::Centroid, Linkage::Median}) {
        SCOPED_TRACE(LinkageName(linkage));
        ForceKernelLevel(KernelLevel::Scalar);
        const std::string scalar = Text(ClusterCoordinates(p.values, p.n, p.m, linkage), true);
        for (KernelLevel level : {KernelLevel::Avx2, KernelLevel::Avx512}) {
            if (level > detected) continue;
            ForceKernelLevel(level);
            EXPECT_EQ(scalar, Text(ClusterCoordinates(p.values, p.n, p.m, linkage), true)) << static_cast<int>(level);
        }
        ForceKernelLevel(detected);
    }
}

}  // namespace

namespace {

// A tree of n objects: n - 1 merges, each of two live slots, the smaller
// one absorbed.
void ExpectTree(const std::vector<ClusterMerge> &merges, int64_t n) {
    ASSERT_EQ(static_cast<int64_t>(merges.size()), n - 1);
    std::vector<bool> live(static_cast<size_t>(n), true);
    for (const ClusterMerge &m : merges) {
        ASSERT_GT(m.larger, m.smaller);
        ASSERT_LT(m.larger, n);
        ASSERT_GE(m.smaller, 0);
        ASSERT_TRUE(live[m.larger] && live[m.smaller]) << Describe(merges);
        live[m.smaller] = false;
    }
}

// Distances so large that their squares overflow (the recurrences then
// meet infinities and NaN): every engine still ends, with a tree.
TEST(ClusterEngines, OverflowingSquaresStillGiveATree) {
    std::mt19937 rng(2108);
    std::uniform_real_distribution<double> scale(1, 9);
    for (int round = 0; round < 20; ++round) {
        const int64_t n = 3 + round;
        std::vector<double> d(static_cast<size_t>(n * (n - 1) / 2));
        for (double &v : d) v = scale(rng) * (round % 2 ? 1e200 : 1e160);
        for (Linkage linkage : kAll) {
            SCOPED_TRACE(testing::Message() << LinkageName(linkage) << " round " << round);
            ExpectTree(EngineOnMatrix(d, n, linkage), n);
        }
        Points p;
        p.n = n;
        p.m = 2;
        for (int64_t k = 0; k < n * 2; ++k) p.values.push_back(scale(rng) * 1e200 * (k % 3 == 0 ? -1 : 1));
        for (Linkage linkage : {Linkage::Ward, Linkage::Centroid, Linkage::Median}) {
            SCOPED_TRACE(testing::Message() << LinkageName(linkage) << " data round " << round);
            ExpectTree(ClusterCoordinates(p.values, p.n, p.m, linkage), n);
        }
    }
}

}  // namespace

namespace {

// Single linkage from objects' rows. The keys are exact sums of small
// integers (city-block), and the distances round several keys to one value
// (floor(key / coarse)): Prim's tree on the keys is then often not the tree
// the distances would give, yet the merges must be those of the distances.
// Thousands of objects split each step over two threads and compact the
// list many times; they are checked against the tree of the matrix.
TEST(ClusterEngines, PointRowsGiveTheMergesOfTheDistances) {
    struct Case {
        int64_t n, width;
        int top;
        double coarse;
        bool twoThreads;
        int rounds;
    };
    const Case cases[] = {{2, 1, 3, 1, false, 5},   {9, 1, 6, 1, false, 200},    {14, 2, 3, 3, true, 200},
                          {40, 3, 4, 5, true, 100}, {90, 2, 50, 7, false, 20},   {4600, 2, 40, 6, true, 1},
                          {4600, 3, 1000000, 1, true, 1}};
    std::mt19937 rng(2109);
    for (const Case &c : cases) {
        std::uniform_int_distribution<int> cell(0, c.top);
        for (int round = 0; round < c.rounds; ++round) {
            SCOPED_TRACE(testing::Message() << "n " << c.n << " coarse " << c.coarse << " round " << round);
            std::vector<double> values(static_cast<size_t>(c.n * c.width));
            for (double &v : values) v = cell(rng);
            auto key = [&c](const double *x, const double *y) {
                double s = 0;
                for (int64_t k = 0; k < c.width; ++k) s += std::fabs(x[k] - y[k]);
                return s;
            };
            auto distance = [&c](double k) { return std::floor(k / c.coarse); };
            PointRows points;
            points.object = [&values, &c](int64_t i) { return values.data() + i * c.width; };
            points.keys = [&](const double *x, const int64_t *objects, int64_t count, double *out) {
                for (int64_t p = 0; p < count; ++p) out[p] = key(x, points.object(objects[p]));
            };
            points.distance = distance;
            std::vector<double> d(static_cast<size_t>(c.n * (c.n - 1) / 2));
            for (int64_t i = 1; i < c.n; ++i)
                for (int64_t j = 0; j < i; ++j)
                    d[static_cast<size_t>(i * (i - 1) / 2 + j)] = distance(key(points.object(i), points.object(j)));
            const std::vector<ClusterMerge> expect =
                c.n <= 100 ? ReferenceMatrixMerges(d, c.n, Linkage::Single) : SingleLinkageTree(d.data(), c.n);
            ExpectSame(expect, SingleLinkageTree(c.n, points, RowsOf(d), c.twoThreads), Linkage::Single);
        }
    }
}

// Through a metric space of whole objects, each metric: single linkage
// from the objects' rows gives the bytes of the distance rows, on ties
// (small integers), real values, and coordinates whose squares overflow.
TEST(ClusterEngines, SingleLinkageOfSpaceMatchesTheDistanceRows) {
    enum class Cells { Small, Real, Huge };
    struct Case {
        Metric metric;
        Cells cells;
        int64_t n, m;
    };
    const Case cases[] = {
        {Metric::Euclidean, Cells::Small, 300, 3},    {Metric::Euclidean, Cells::Real, 700, 5},
        {Metric::Euclidean, Cells::Huge, 60, 4},      {Metric::Euclidean, Cells::Small, 4500, 4},
        {Metric::SqEuclidean, Cells::Small, 300, 3},  {Metric::CityBlock, Cells::Small, 300, 4},
        {Metric::Chebyshev, Cells::Small, 300, 3},    {Metric::Correlation, Cells::Small, 300, 5},
        {Metric::Correlation, Cells::Real, 4500, 7},  {Metric::AbsCorrelation, Cells::Real, 300, 6},
        {Metric::Cosine, Cells::Small, 300, 4},       {Metric::Spearman, Cells::Small, 300, 6},
    };
    std::mt19937 rng(2110);
    std::uniform_int_distribution<int> small(0, 3);
    std::uniform_real_distribution<double> real(-1, 1);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << MetricName(c.metric) << " n " << c.n << " cells " << static_cast<int>(c.cells));
        ObjectTable table;
        table.objects = c.n;
        table.coordinates = c.m;
        for (int64_t k = 0; k < c.n * c.m; ++k) {
            const double v = c.cells == Cells::Small ? small(rng) : c.cells == Cells::Real ? real(rng) : real(rng) * 1e200;
            // Two fixed cells: no object is constant (or without length).
            const int64_t k0 = k % c.m;
            table.values.push_back(k0 == 0 ? 0.0 : k0 == 1 ? 4.0 : v);
        }
        const MetricSpace space(table, c.metric);
        ASSERT_FALSE(space.FirstUndefinedPair().has_value());
        ASSERT_TRUE(space.AllWhole());
        const DistanceRows rows = [&space](int64_t i, int64_t begin, int64_t end, double *out) {
            space.DistancesFrom(i, begin, end, out);
        };
        const std::vector<ClusterMerge> got = SingleLinkageOfSpace(space);
        ExpectTree(got, c.n);
        EXPECT_EQ(Text(ClusterSingleFromRows(c.n, rows, false), true), Text(got, true));
        // The plain kernels give the same bytes.
        ForceKernelLevel(KernelLevel::Scalar);
        EXPECT_EQ(Text(got, true), Text(SingleLinkageOfSpace(space), true));
        ForceKernelLevel(DetectKernelLevel());
    }
}

}  // namespace

namespace {

// FirstSmallest against one strict scan in the order of ValueBefore (the
// first of equals, NaN after every number), on short and long runs of few
// distinct values, infinities and NaN, with and without a place left out.
TEST(ClusterEngines, FirstSmallestIsTheFirstOfAStrictScan) {
    std::mt19937 rng(2111);
    const double kNaN = std::nan(""), kInf = std::numeric_limits<double>::infinity();
    const double pool[] = {0.0, -0.0, 1.0, 2.0, kInf, kNaN};
    for (int round = 0; round < 3000; ++round) {
        const int64_t count = std::uniform_int_distribution<int64_t>(0, round < 2000 ? 9 : 70)(rng);
        // Few distinct values, or mostly NaN and infinities.
        const int spread = round % 3 == 0 ? 6 : round % 3 == 1 ? 3 : 2;
        std::vector<double> values(static_cast<size_t>(count));
        for (double &v : values) {
            const int pick = std::uniform_int_distribution<int>(0, spread - 1)(rng);
            v = spread == 2 ? pool[4 + pick] : pool[pick];
        }
        const int64_t skip = count > 0 && round % 2 ? std::uniform_int_distribution<int64_t>(0, count - 1)(rng) : -1;
        int64_t expect = -1;
        for (int64_t k = 0; k < count; ++k) {
            if (k == skip) continue;
            if (expect < 0 || ValueBefore(values[k], values[expect])) expect = k;
        }
        std::vector<double> work = values;
        EXPECT_EQ(expect, FirstSmallest(work.data(), count, skip)) << "round " << round << " count " << count;
    }
}

}  // namespace
