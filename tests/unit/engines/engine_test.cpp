// The agglomeration engine: the search against the merge limit, its fallback
// order, the shape of every dendrogram, and agreement with the reference
// engine on random tables.
#include <cmath>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core_helpers.h"
#include "engines/minimum_link.h"
#include "random_tables.h"
#include "reference_engine.h"

namespace {

std::string Min(std::vector<float> values) {
    const int32_t n = static_cast<int32_t>(std::lround((1 + std::sqrt(8.0 * values.size() + 1)) / 2));
    return EngineMinText(DistanceMatrix{n, values.data()});
}

TEST(Engine, SearchLimitTiesAndFallbackOrder) {
    const float inf = INFINITY;
    const struct { const char *name; std::vector<float> values; std::string text; } cases[] = {
        {"ties go to the last pair", {1, 2, 1}, "NODE0\tLEAF2\tLEAF1\t1.000000\nNODE1\tNODE0\tLEAF0\t1.000000\n"},
        {"exactly the limit is merged", {2e11f, 1e11f, 3e11f},
         "NODE0\tLEAF2\tLEAF0\t99999997952.000000\nNODE1\tNODE0\tLEAF1\t199999995904.000000\n"},
        {"above the limit: smallest, NaN last", {2e11f, NAN, inf},
         "NODE0\tLEAF1\tLEAF0\t199999995904.000000\nNODE1\tLEAF2\tNODE0\tinf\n"},
        {"all NaN: last pair", {NAN, NAN, NAN}, "NODE0\tLEAF2\tLEAF1\tnan\nNODE1\tNODE0\tLEAF0\tnan\n"},
        {"equal infinities: last pair", {inf, inf, inf}, "NODE0\tLEAF2\tLEAF1\tinf\nNODE1\tNODE0\tLEAF0\tinf\n"},
        {"infinity before NaN", {NAN, inf, NAN}, "NODE0\tLEAF2\tLEAF0\tinf\nNODE1\tNODE0\tLEAF1\tnan\n"},
        {"one object", {}, ""},
    };
    for (const auto &c : cases) EXPECT_EQ(Min(c.values), c.text) << c.name;
    EXPECT_EQ(EngineMinText(DistanceMatrix{0, nullptr}), "");
}

TEST(Engine, MoreThan32768ColumnsEndWithMemoryMessageBeforeAnyLine) {
    EXPECT_EXIT_PRINTING(EngineVarianceText(TableData{0, 32769, nullptr}), 255, kMemoryMessage);
}

// Checks the shape of a dendrogram of n leaves and returns its merge values:
// n - 1 lines numbered in order; children are leaves or earlier nodes, each
// used once; the survivor (first child) is the larger slot, a node's slot
// being its first child's; the last survivor is slot n - 1.
std::vector<double> CheckShape(const std::string &text, int n) {
    std::vector<double> values;
    std::vector<int> slot;            // slot of each node
    std::vector<int> leafUses(n), nodeUses;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const int k = static_cast<int>(slot.size());
        char first[8], second[8];
        int node, a, b, used;
        double value;
        EXPECT_EQ(std::sscanf(line.c_str(), "NODE%d\t%4s%d\t%4s%d\t%lf%n", &node, first, &a, second, &b, &value, &used), 6)
            << line;
        EXPECT_EQ(used, static_cast<int>(line.size())) << line;
        EXPECT_EQ(node, k);
        int slots[2];
        for (int c = 0; c < 2; ++c) {
            const std::string kind = c == 0 ? first : second;
            const int id = c == 0 ? a : b;
            if (kind == "LEAF" && id >= 0 && id < n) {
                ++leafUses[id];
                slots[c] = id;
            } else {
                EXPECT_TRUE(kind == "NODE" && id >= 0 && id < k) << line;
                if (kind != "NODE" || id < 0 || id >= k) return values;
                ++nodeUses[id];
                slots[c] = slot[id];
            }
        }
        EXPECT_GT(slots[0], slots[1]) << line;
        slot.push_back(slots[0]);
        nodeUses.push_back(0);
        values.push_back(value);
    }
    EXPECT_EQ(static_cast<int>(slot.size()), n > 0 ? n - 1 : 0);
    for (int u : leafUses) EXPECT_EQ(u, n > 1 ? 1 : 0);
    for (size_t k = 0; k + 1 < nodeUses.size(); ++k) EXPECT_EQ(nodeUses[k], 1) << k;
    if (!slot.empty()) {
        EXPECT_EQ(slot.back(), n - 1);
    }
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    return values;
}

// The engine must write the reference's bytes (a NaN value may be printed
// with either sign), and both dendrograms must have the right shape.
void CheckAgainstReference(int lines, int columns, std::vector<float> cells, bool finite) {
    std::ostringstream shown;  // the table, to reproduce a failure
    for (int k = 0; k < lines * columns; ++k) shown << cells[k] << ((k + 1) % columns ? " " : "\n");
    SCOPED_TRACE(shown.str());
    const TableData table{lines, columns, cells.data()};
    const DistanceMatrix matrix = ComputeColumnDistances(table);
    const std::string minText = EngineMinText(matrix), varianceText = EngineVarianceText(table);
    EXPECT_EQ(WithoutNanSign(minText), WithoutNanSign(ReferenceMinText(matrix)));
    EXPECT_EQ(WithoutNanSign(varianceText), WithoutNanSign(ReferenceVarianceText(table)));
    const std::vector<double> heights = CheckShape(minText, columns);
    CheckShape(varianceText, columns);
    // Without NaN or huge values, single-linkage heights never decrease.
    for (size_t k = 1; finite && k < heights.size(); ++k) EXPECT_LE(heights[k - 1], heights[k]) << minText;
    std::free(matrix.values);
}

TEST(Engine, NaNAndInfinityCellsMatchReference) {
    CheckAgainstReference(2, 2, {0, INFINITY, NAN, 0}, false);
    CheckAgainstReference(1, 3, {0, NAN, 5}, false);
    CheckAgainstReference(1, 4, {0, INFINITY, -INFINITY, 5}, false);
}

// The table is scanned for non-finite cells a block at a time: one such cell
// anywhere, at a block's edges too, must be found; finite extremes must not.
TEST(Engine, NonFiniteCellsAreFoundAnywhere) {
    const float finite[] = {0.0f, -0.0f, 3.4028235e38f, -3.4028235e38f, 1.0e-45f, 1.0e11f};
    const float nonFinite[] = {NAN, -NAN, INFINITY, -INFINITY};
    std::vector<float> cells(3 * 4099);
    for (size_t k = 0; k < cells.size(); ++k) cells[k] = finite[k % 6];
    TableData table{3, 4099, cells.data()};
    EXPECT_FALSE(NeedsDistanceMatrix(table));
    for (size_t at : {size_t{0}, size_t{4095}, size_t{4096}, size_t{8191}, size_t{8192}, cells.size() - 1})
        for (float v : nonFinite) {
            const float kept = cells[at];
            cells[at] = v;
            EXPECT_TRUE(NeedsDistanceMatrix(table)) << "cell " << at << " = " << v;
            cells[at] = kept;
        }
}

// Small random tables: few distinct small integers (many ties), duplicated
// columns, and now and then NaN, infinities or values above the merge limit.
TEST(Engine, RandomTablesKeepShapeAndMatchReference) {
    std::mt19937 rng(20261208);
    const float specials[] = {NAN, INFINITY, -INFINITY, 3e11f, 1e12f, -5e11f};
    for (int round = 0; round < 400; ++round) {
        const int lines = 1 + static_cast<int>(rng() % 3), columns = 1 + static_cast<int>(rng() % 10);
        const bool wild = round % 4 == 3;
        std::vector<float> cells(lines * columns);
        for (float &v : cells) v = wild && rng() % 8 == 0 ? specials[rng() % 6] : static_cast<float>(rng() % 4);
        for (int c = 1; c < columns; ++c)
            if (rng() % 5 == 0)
                for (int l = 0; l < lines; ++l) cells[l * columns + c] = cells[l * columns + rng() % c];
        CheckAgainstReference(lines, columns, cells, !wild);
    }
}

}  // namespace
