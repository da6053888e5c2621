// The optimal leaf order against a brute force over every flip, on chains
// far deeper than a call stack, and the tree's fit against its definition
// (the merge of two leaves found by walking up from them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

#include "leaf_order.h"
#include "tree_fit.h"
#include "tree_render.h"

namespace {

// A random tree of n leaves: clusters joined two at a time in random
// pairs, at rising values (or random ones, with inversions).
Dendrogram RandomTree(std::mt19937 &random, std::size_t n, bool rising = true) {
    Dendrogram tree;
    tree.leafCount = n;
    std::vector<DendrogramChild> clusters;
    for (std::size_t c = 0; c < n; ++c) clusters.push_back({true, c});
    std::uniform_real_distribution<double> step(0.0, 1.0);
    double value = 0;
    while (clusters.size() > 1) {
        std::shuffle(clusters.begin(), clusters.end(), random);
        DendrogramMerge merge;
        merge.first = clusters.back();
        clusters.pop_back();
        merge.second = clusters.back();
        clusters.pop_back();
        value += step(random);
        merge.value = rising ? value : step(random) * 10;
        clusters.push_back({false, tree.merges.size()});
        tree.merges.push_back(merge);
    }
    return tree;
}

// Distances between n objects: small integers (many ties, exact sums) or
// reals.
std::vector<double> RandomDistances(std::mt19937 &random, std::size_t n, bool integers) {
    std::vector<double> packed(PackedSize(n));
    std::uniform_int_distribution<int> small(0, 4);
    std::uniform_real_distribution<double> real(0.0, 10.0);
    for (double &d : packed) d = integers ? small(random) : real(random);
    return packed;
}

double BruteForceBest(const Dendrogram &tree, const LeafDistances &distances) {
    double best = INFINITY;
    const std::size_t merges = tree.merges.size();
    for (std::size_t mask = 0; mask < (std::size_t{1} << merges); ++mask) {
        std::vector<char> flipped(merges);
        for (std::size_t k = 0; k < merges; ++k) flipped[k] = (mask >> k) & 1;
        best = std::min(best, NeighbourTotal(DrawnLeafOrder(FlipMerges(tree, flipped)), distances));
    }
    return best;
}

TEST(LeafOrder, OptimalOnEveryRandomSmallTreeAgainstAllFlips) {
    std::mt19937 random(22);
    for (int trial = 0; trial < 600; ++trial) {
        const std::size_t n = 2 + trial % 9;  // up to 10 leaves: 512 orders
        const bool integers = trial % 2 == 0;
        const Dendrogram tree = RandomTree(random, n);
        const PackedDistances byColumn(n, RandomDistances(random, n, integers));
        LeafOrderResult result;
        std::string error;
        ASSERT_TRUE(OptimalLeafOrder(tree, Renumbered(byColumn, SpansOf(tree).order), result, error)) << error;
        const double brute = BruteForceBest(tree, byColumn);
        const double found = NeighbourTotal(DrawnLeafOrder(FlipMerges(tree, result.flipped)), byColumn);
        // The order read back is the one whose total was computed, and no
        // order the tree allows is shorter.
        EXPECT_NEAR(found, result.total, 1e-9) << "trial " << trial;
        if (integers)
            EXPECT_EQ(found, brute) << "trial " << trial;
        else
            EXPECT_NEAR(found, brute, 1e-9) << "trial " << trial;
        EXPECT_FALSE(result.flipped.back()) << "the last merge keeps its sides";
    }
}

TEST(LeafOrder, LargerTreesNeverWorseThanEveryOtherCheapOrder) {
    // Where a brute force is out of reach: no single flip of the result
    // improves it, and it beats the tree's own order.
    std::mt19937 random(7);
    for (int trial = 0; trial < 20; ++trial) {
        const std::size_t n = 40 + trial * 7;
        const Dendrogram tree = RandomTree(random, n);
        const PackedDistances byColumn(n, RandomDistances(random, n, false));
        LeafOrderResult result;
        std::string error;
        ASSERT_TRUE(OptimalLeafOrder(tree, Renumbered(byColumn, SpansOf(tree).order), result, error));
        const double found = NeighbourTotal(DrawnLeafOrder(FlipMerges(tree, result.flipped)), byColumn);
        EXPECT_LE(found, NeighbourTotal(DrawnLeafOrder(tree), byColumn) + 1e-9);
        for (std::size_t k = 0; k < tree.merges.size(); ++k) {
            std::vector<char> other = result.flipped;
            other[k] = !other[k];
            EXPECT_GE(NeighbourTotal(DrawnLeafOrder(FlipMerges(tree, other)), byColumn), found - 1e-9);
        }
    }
}

// Points on a line, their distances computed when asked.
class LineDistances final : public LeafDistances {
public:
    explicit LineDistances(std::vector<double> x) : x_(std::move(x)) {}
    std::size_t Count() const override { return x_.size(); }
    void Row(std::size_t i, std::size_t begin, std::size_t end, double *out) const override {
        for (std::size_t j = begin; j < end; ++j) out[j - begin] = std::fabs(x_[i] - x_[j]);
    }
    void Column(std::size_t j, std::size_t begin, std::size_t end, double *out) const override {
        for (std::size_t i = begin; i < end; ++i) out[i - begin] = std::fabs(x_[i] - x_[j]);
    }

private:
    std::vector<double> x_;
};

// Single linkage on a gradient: each point joins the cluster of all the
// points before it, a tree as deep as it has leaves. Drawn in the order of
// the merge lines, the newest point stands on the left; the best order is
// the gradient itself, of total its length.
TEST(LeafOrder, ChainOfThirtyThousandLeaves) {
    // The order of a chain is quadratic work (n^2 / 2 pairs of ends), so this
    // one is 30,000 leaves deep; the programs' own walks are tested on a
    // chain of 100,000 (programs_test).
    constexpr std::size_t n = 30000;
    Dendrogram tree;
    tree.leafCount = n;
    for (std::size_t c = 1; c < n; ++c) {
        DendrogramMerge merge;
        merge.first = c == 1 ? DendrogramChild{true, 0} : DendrogramChild{false, c - 2};
        merge.second = {true, c};
        merge.value = 1;
        tree.merges.push_back(merge);
    }
    // Column c at c * c / n: uneven gaps, so only one order is best.
    std::vector<double> x(n);
    for (std::size_t c = 0; c < n; ++c) x[c] = static_cast<double>(c) * static_cast<double>(c) / n;
    const TreeSpans spans = SpansOf(tree);
    std::vector<double> byPosition(n);
    for (std::size_t p = 0; p < n; ++p) byPosition[p] = x[spans.order[p]];
    LeafOrderResult result;
    std::string error;
    ASSERT_TRUE(OptimalLeafOrder(tree, LineDistances(byPosition), result, error)) << error;
    EXPECT_NEAR(result.total, x.back() - x.front(), 1e-6);
    const std::vector<std::size_t> order = DrawnLeafOrder(FlipMerges(tree, result.flipped));
    const bool rising = std::is_sorted(order.begin(), order.end());
    const bool falling = std::is_sorted(order.rbegin(), order.rend());
    EXPECT_TRUE(rising || falling);
}

TEST(LeafOrder, RefusesWhatWouldNotFitTheMemoryLimit) {
    std::mt19937 random(3);
    const Dendrogram tree = RandomTree(random, 64);
    const PackedDistances byColumn(64, RandomDistances(random, 64, false));
    LeafOrderResult result;
    std::string error;
    EXPECT_FALSE(OptimalLeafOrder(tree, Renumbered(byColumn, SpansOf(tree).order), result, error, 16));
    EXPECT_NE(error.find("MiB"), std::string::npos);
}

// The merge that joins two leaves, by walking up from one of them.
double JoiningValue(const Dendrogram &tree, std::size_t a, std::size_t b) {
    std::vector<std::size_t> parent(tree.leafCount + tree.merges.size(), SIZE_MAX);
    for (std::size_t k = 0; k < tree.merges.size(); ++k)
        for (const DendrogramChild &child : {tree.merges[k].first, tree.merges[k].second})
            parent[child.isLeaf ? child.index : tree.leafCount + child.index] = tree.leafCount + k;
    std::vector<char> aboveA(parent.size(), 0);
    for (std::size_t at = a; at != SIZE_MAX; at = parent[at]) aboveA[at] = 1;
    std::size_t at = b;
    while (!aboveA[at]) at = parent[at];
    return tree.merges[at - tree.leafCount].value;
}

TEST(TreeFit, CopheneticDistancesAndCorrelationAsDefined) {
    std::mt19937 random(5);
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t n = 2 + trial % 30;
        const Dendrogram tree = RandomTree(random, n, trial % 3 != 0);
        const std::vector<double> distances = RandomDistances(random, n, trial % 2 == 0);
        const std::vector<double> cophenetic = CopheneticDistances(tree);
        for (std::size_t i = 1; i < n; ++i)
            for (std::size_t j = 0; j < i; ++j)
                ASSERT_EQ(cophenetic[PackedIndex(i, j)], JoiningValue(tree, i, j)) << i << " " << j;
        // Pearson's correlation, the textbook way.
        const double pairs = static_cast<double>(distances.size());
        double meanY = 0, meanC = 0;
        for (std::size_t p = 0; p < distances.size(); ++p) {
            meanY += distances[p] / pairs;
            meanC += cophenetic[p] / pairs;
        }
        double sxy = 0, sxx = 0, syy = 0;
        for (std::size_t p = 0; p < distances.size(); ++p) {
            sxy += (distances[p] - meanY) * (cophenetic[p] - meanC);
            sxx += (distances[p] - meanY) * (distances[p] - meanY);
            syy += (cophenetic[p] - meanC) * (cophenetic[p] - meanC);
        }
        const TreeFit fit = FitOfTree(tree, distances);
        if (n > 2)
            EXPECT_NEAR(fit.correlation, sxy / std::sqrt(sxx * syy), 1e-12) << "trial " << trial;
        else
            EXPECT_TRUE(std::isnan(fit.correlation));  // one pair: no spread
    }
}

TEST(TreeFit, CountsInversionsAndWritesTheDistanceFile) {
    const DendrogramParse parsed =
        ParseDendrogram("NODE0\tLEAF1\tLEAF0\t5\nNODE1\tLEAF2\tNODE0\t2\nNODE2\tLEAF3\tNODE1\t6\n");
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(InversionCount(parsed.tree), 1u);
    EXPECT_EQ(DistanceFileText(CopheneticDistances(parsed.tree), 4), "5\n2\t2\n6\t6\t6\n");
}

}  // namespace
