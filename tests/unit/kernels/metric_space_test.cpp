// The metrics of dendro-cluster: hand-computed values, agreement with a plain
// long-double evaluation on random tables, missing cells as R's dist treats
// them, and the same bytes whatever the path, instruction set or threads.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "kernels/kernels.h"
#include "kernels/metric_space.h"
#include "kernels/missing_cells.h"

namespace {

constexpr double NA = std::numeric_limits<double>::quiet_NaN();

// Objects given as rows.
ObjectTable Objects(const std::vector<std::vector<double>> &rows) {
    ObjectTable table;
    table.objects = static_cast<std::int64_t>(rows.size());
    table.coordinates = rows.empty() ? 0 : static_cast<std::int64_t>(rows[0].size());
    for (const auto &row : rows) table.values.insert(table.values.end(), row.begin(), row.end());
    return table;
}

ObjectTable RandomObjects(std::mt19937 &rng, std::int64_t n, std::int64_t m, double offset = 0.0) {
    std::uniform_int_distribution<int> digits(0, 999999);
    ObjectTable table;
    table.objects = n;
    table.coordinates = m;
    for (std::int64_t k = 0; k < n * m; ++k) table.values.push_back(offset + digits(rng) / 1e6);
    return table;
}

// The definitions, plainly, in long double on whole objects.
long double Plain(Metric metric, const double *x, const double *y, std::int64_t m) {
    std::vector<long double> a(x, x + m), b(y, y + m);
    if (metric == Metric::Spearman) {
        std::vector<double> ra(m), rb(m);
        AverageRanks(x, m, ra.data());
        AverageRanks(y, m, rb.data());
        a.assign(ra.begin(), ra.end());
        b.assign(rb.begin(), rb.end());
    }
    long double sum = 0, largest = 0;
    for (std::int64_t k = 0; k < m; ++k) {
        const long double d = std::fabs(a[k] - b[k]);
        sum += metric == Metric::CityBlock ? d : d * d;
        largest = std::max(largest, d);
    }
    switch (metric) {
        case Metric::Euclidean: return std::sqrt(sum);
        case Metric::SqEuclidean:
        case Metric::CityBlock: return sum;
        case Metric::Chebyshev: return largest;
        default: break;
    }
    if (metric != Metric::Cosine) {
        long double ma = 0, mb = 0;
        for (std::int64_t k = 0; k < m; ++k) ma += a[k], mb += b[k];
        for (std::int64_t k = 0; k < m; ++k) a[k] -= ma / m, b[k] -= mb / m;
    }
    long double ab = 0, aa = 0, bb = 0;
    for (std::int64_t k = 0; k < m; ++k) ab += a[k] * b[k], aa += a[k] * a[k], bb += b[k] * b[k];
    const long double r = ab / std::sqrt(aa * bb);
    return 1 - (metric == Metric::AbsCorrelation ? std::fabs(r) : r);
}

std::uint64_t Bits(double v) { return std::bit_cast<std::uint64_t>(v); }

TEST(MetricNames, ParseAndPrintEveryMetric) {
    for (Metric metric : kAllMetrics) EXPECT_EQ(ParseMetric(MetricName(metric)), metric);
    EXPECT_FALSE(ParseMetric("Euclidean").has_value());
    EXPECT_FALSE(ParseMetric("manhattan").has_value());
    EXPECT_FALSE(ParseMetric("").has_value());
    EXPECT_EQ(MetricNames(), "euclidean|sqeuclidean|cityblock|chebyshev|cosine|correlation|abscorrelation|spearman");
    EXPECT_TRUE(IsEuclideanGeometry(Metric::Euclidean));
    EXPECT_FALSE(IsEuclideanGeometry(Metric::SqEuclidean));
    EXPECT_FALSE(IsEuclideanGeometry(Metric::Correlation));
}

TEST(MetricSpace, HandComputedValues) {
    const ObjectTable table = Objects({{1, 2, 3, 4, 7}, {2, 4, 6, 9, 7}, {5, 4, 3, 2, 1}});
    struct Case {
        Metric metric;
        int i, j;
        double expected;
    } cases[] = {
        {Metric::Euclidean, 1, 0, std::sqrt(39.0)},
        {Metric::SqEuclidean, 1, 0, 39.0},
        {Metric::CityBlock, 1, 0, 11.0},
        {Metric::Chebyshev, 1, 0, 5.0},
        {Metric::Chebyshev, 2, 0, 6.0},
        {Metric::Cosine, 1, 0, 1.0 - 113.0 / (std::sqrt(79.0) * std::sqrt(186.0))},
        // Ranks 1 2 3 4 5 and 1 2 3 5 4: rho = 1 - 6 * 2 / (5 * 24).
        {Metric::Spearman, 1, 0, 0.1},
        // Ranks reversed: rho = -1.
        {Metric::Spearman, 2, 0, 2.0},
        {Metric::AbsCorrelation, 2, 1, 1.0 - std::fabs(double(Plain(Metric::Correlation, table.Object(2),
                                                                          table.Object(1), 5) - 1))},
    };
    for (const Case &c : cases) {
        const MetricSpace space(table, c.metric);
        EXPECT_NEAR(space.Distance(c.i, c.j), c.expected, 1e-14) << MetricName(c.metric);
        EXPECT_EQ(space.Distance(c.i, c.i), 0.0);
    }
}

TEST(MetricSpace, AgreesWithThePlainDefinitionsOnRandomTables) {
    std::mt19937 rng(21);
    for (const std::int64_t m : {1, 3, 4, 7, 16, 259}) {
        // An offset far above the spread tests the centring.
        for (const double offset : {0.0, 1e6}) {
            const ObjectTable table = RandomObjects(rng, 9, m, offset);
            for (Metric metric : kAllMetrics) {
                if (m == 1 && IsCorrelationFamily(metric)) continue;
                const MetricSpace space(table, metric);
                for (std::int64_t i = 0; i < 9; ++i)
                    for (std::int64_t j = 0; j < i; ++j) {
                        const long double plain = Plain(metric, table.Object(i), table.Object(j), m);
                        EXPECT_NEAR(space.Distance(i, j), static_cast<double>(plain),
                                    1e-12 * std::max(1.0L, std::fabs(plain)))
                            << MetricName(metric) << " m=" << m << " offset=" << offset << " pair " << i << "," << j;
                    }
            }
        }
    }
}

// Every path to a value gives the same bits: Distance both ways round,
// DistancesFrom over any range, AllDistances on 1 to 3 threads, at the plain
// and the vector kernel level.
TEST(MetricSpace, SameBitsWhateverThePath) {
    std::mt19937 rng(7);
    // Coordinates past the last whole group of four: none, one, two, three.
    const std::vector<std::pair<std::int64_t, std::int64_t>> shapes = {{2, 1},  {18, 3},   {33, 5},
                                                                       {40, 6}, {70, 263}, {65, 512}};
    for (const auto &[n, m] : shapes) {
        ObjectTable table = RandomObjects(rng, n, m);
        table.values[table.values.size() / 2] = NA;  // one object with a missing cell
        for (Metric metric : kAllMetrics) {
            const MetricSpace space(table, metric);
            ForceKernelLevel(KernelLevel::Scalar);
            const std::vector<double> plain = space.AllDistances();
            ForceKernelLevel(DetectKernelLevel());
            for (int threads = 1; threads <= 3; ++threads) {
                std::vector<double> all(plain.size());
                space.AllDistances(all.data(), threads);
                for (size_t p = 0; p < all.size(); ++p) ASSERT_EQ(Bits(all[p]), Bits(plain[p])) << p;
            }
            std::vector<double> row(n);
            for (std::int64_t i = 0; i < n; ++i) {
                const std::int64_t begin = i % 3;
                space.DistancesFrom(i, begin, n, row.data());
                for (std::int64_t j = begin; j < n; ++j) {
                    const double expected = i == j ? 0.0 : plain[std::max(i, j) * (std::max(i, j) - 1) / 2 + std::min(i, j)];
                    ASSERT_EQ(Bits(row[j - begin]), Bits(expected)) << MetricName(metric) << " " << i << "," << j;
                    ASSERT_EQ(Bits(space.Distance(i, j)), Bits(expected));
                }
            }
        }
    }
    ForceKernelLevel(DetectKernelLevel());
}

// R's dist: the sum over the coordinates present in both, scaled by all /
// present; "maximum" unscaled. Values as R 4.2 prints them.
TEST(MetricSpace, MissingCellsAsRsDist) {
    const ObjectTable table = Objects({{1, NA, 3, 10}, {2, 5, NA, 0}});
    EXPECT_DOUBLE_EQ(MetricSpace(table, Metric::Euclidean).Distance(1, 0), std::sqrt(202.0));
    EXPECT_DOUBLE_EQ(MetricSpace(table, Metric::SqEuclidean).Distance(1, 0), 202.0);
    EXPECT_DOUBLE_EQ(MetricSpace(table, Metric::CityBlock).Distance(1, 0), 22.0);
    EXPECT_DOUBLE_EQ(MetricSpace(table, Metric::Chebyshev).Distance(0, 1), 10.0);
    EXPECT_TRUE(MetricSpace(table, Metric::Euclidean).HasMissingCells());
}

// Pairwise complete: a pair with missing cells measures as the pair of its
// common coordinates alone.
TEST(MetricSpace, CorrelationsOfMissingCellsArePairwiseComplete) {
    std::mt19937 rng(3);
    const ObjectTable full = RandomObjects(rng, 2, 12);
    ObjectTable holes = full, common;
    common.objects = 2;
    for (std::int64_t k = 0; k < 12; ++k) {
        if (k % 4 == 1) holes.values[k] = NA;
        if (k % 5 == 2) holes.values[12 + k] = NA;
    }
    for (std::int64_t k = 0; k < 12; ++k)
        if (k % 4 != 1 && k % 5 != 2) common.values.push_back(full.values[k]);
    for (std::int64_t k = 0; k < 12; ++k)
        if (k % 4 != 1 && k % 5 != 2) common.values.push_back(full.values[12 + k]);
    common.coordinates = static_cast<std::int64_t>(common.values.size()) / 2;
    for (Metric metric : {Metric::Cosine, Metric::Correlation, Metric::AbsCorrelation, Metric::Spearman}) {
        EXPECT_NEAR(MetricSpace(holes, metric).Distance(1, 0), MetricSpace(common, metric).Distance(1, 0), 1e-14)
            << MetricName(metric);
    }
}

TEST(MetricSpace, PairsWithoutDistance) {
    struct Case {
        const char *what;
        std::vector<std::vector<double>> rows;
        Metric metric;
        std::int64_t first, second;
        UndefinedPair::Cause cause;
        std::int64_t constant;
    } cases[] = {
        {"no common cell", {{1, 2, NA}, {1, 2, 3}, {1, NA, 3}, {NA, 1, NA}}, Metric::Euclidean, 3, 2,
         UndefinedPair::Cause::NoCommonCoordinate, -1},
        {"all missing", {{1, 2}, {NA, NA}, {3, 4}}, Metric::CityBlock, 1, 0, UndefinedPair::Cause::NoCommonCoordinate,
         -1},
        {"constant object", {{1, 2, 3}, {4, 5, 6}, {7, 7, 7}}, Metric::Correlation, 2, 0,
         UndefinedPair::Cause::NoVariance, 2},
        {"zero vector for cosine", {{0, 0, 0}, {4, 5, 6}}, Metric::Cosine, 1, 0, UndefinedPair::Cause::NoVariance, 0},
        {"constant on common cells", {{1, 2, 5, NA}, {4, 5, 6, 9}, {7, 8, NA, 3}, {3, 3, 8, NA}}, Metric::Spearman, 3,
         2, UndefinedPair::Cause::NoVariance, -1},
    };
    for (const Case &c : cases) {
        const MetricSpace space(Objects(c.rows), c.metric);
        const std::vector<double> all = space.AllDistances();
        for (const std::optional<UndefinedPair> &found : {space.FirstUndefinedPair(), space.FirstUndefinedPairIn(all.data())}) {
            ASSERT_TRUE(found.has_value()) << c.what;
            EXPECT_EQ(found->first, c.first) << c.what;
            EXPECT_EQ(found->second, c.second) << c.what;
            EXPECT_EQ(found->cause, c.cause) << c.what;
            EXPECT_EQ(found->constantObject, c.constant) << c.what;
        }
        EXPECT_TRUE(std::isnan(space.Distance(c.first, c.second))) << c.what;
    }
    // Constant objects have Minkowski distances; missing cells with a common
    // one have every distance.
    const ObjectTable fine = Objects({{7, 7, 7}, {NA, 1, 2}, {3, NA, 4}});
    for (Metric metric : {Metric::Euclidean, Metric::Chebyshev}) {
        const MetricSpace space(fine, metric);
        EXPECT_FALSE(space.FirstUndefinedPair().has_value());
        EXPECT_FALSE(space.FirstUndefinedPairIn(space.AllDistances().data()).has_value());
    }
}

TEST(MetricSpace, CorrelationStaysWithinZeroAndTwo) {
    // Proportional and opposite objects: r is 1 and -1 up to rounding.
    const ObjectTable table = Objects({{0.1, 0.7, 0.3, 1e-3}, {0.3, 2.1, 0.9, 3e-3}, {-0.1, -0.7, -0.3, -1e-3}});
    for (Metric metric : {Metric::Cosine, Metric::Correlation, Metric::AbsCorrelation}) {
        const MetricSpace space(table, metric);
        const double same = space.Distance(1, 0), opposite = space.Distance(2, 0);
        EXPECT_GE(same, 0.0) << MetricName(metric);
        EXPECT_LT(same, 1e-15) << MetricName(metric);
        EXPECT_FALSE(std::signbit(same));
        EXPECT_LE(opposite, 2.0);
        EXPECT_NEAR(opposite, metric == Metric::AbsCorrelation ? 0.0 : 2.0, 1e-15) << MetricName(metric);
    }
}

TEST(AverageRanks, TiesShareTheirAverage) {
    const double values[] = {10, 20, 10, 30, 20, 20, -5};
    double ranks[7];
    AverageRanks(values, 7, ranks);
    const double expected[] = {2.5, 5, 2.5, 7, 5, 5, 1};
    for (int k = 0; k < 7; ++k) EXPECT_EQ(ranks[k], expected[k]) << k;
}

}  // namespace
