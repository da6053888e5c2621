// Cutting a tree into flat groups, and the exact text of the export
// formats on small trees (the consumer tests load them in Python and R).
#include <gtest/gtest.h>

#include <cmath>

#include "dendrogram_file.h"
#include "tree_cut.h"
#include "tree_export.h"

namespace {

Dendrogram Parse(const std::string &text) {
    const DendrogramParse parsed = ParseDendrogram(text);
    EXPECT_TRUE(parsed.ok()) << parsed.error;
    return parsed.tree;
}

struct CutCase {
    const char *what;
    std::string dendrogram;
    bool byHeight;
    double at;  // clusters or height
    std::vector<std::size_t> groups;
};

void PrintTo(const CutCase &c, std::ostream *os) { *os << c.what; }

class Cut : public testing::TestWithParam<CutCase> {};

TEST_P(Cut, GivesTheGroups) {
    const CutCase &c = GetParam();
    const Dendrogram tree = Parse(c.dendrogram);
    const std::vector<std::size_t> groups =
        c.byHeight ? CutAtHeight(tree, c.at) : CutIntoClusters(tree, static_cast<std::size_t>(c.at));
    EXPECT_EQ(groups, c.groups) << c.what;
}

// Columns 0 1 2 join low, 3 4 apart, 5 6 7 together; NODE5 and NODE6 high.
const std::string kMeasures =
    "NODE0\tLEAF1\tLEAF0\t0.245764\nNODE1\tLEAF7\tLEAF5\t0.679044\nNODE2\tNODE1\tLEAF6\t0.957444\n"
    "NODE3\tLEAF2\tNODE0\t1.086554\nNODE4\tLEAF4\tLEAF3\t1.228780\nNODE5\tNODE2\tNODE4\t5.052782\n"
    "NODE6\tNODE5\tNODE3\t6.195523\n";
// NODE1 (at 2) lies below its part NODE0 (at 5).
const std::string kInversion = "NODE0\tLEAF1\tLEAF0\t5\nNODE1\tLEAF2\tNODE0\t2\nNODE2\tLEAF3\tNODE1\t6\n";
const std::string kNotFinite = "NODE0\tLEAF1\tLEAF0\t1\nNODE1\tLEAF3\tLEAF2\tnan\nNODE2\tNODE1\tNODE0\tinf\n";

INSTANTIATE_TEST_SUITE_P(
    TreeCut, Cut,
    testing::Values(
        CutCase{"one cluster", kMeasures, false, 1, {1, 1, 1, 1, 1, 1, 1, 1}},
        CutCase{"three clusters", kMeasures, false, 3, {1, 1, 1, 2, 2, 3, 3, 3}},
        CutCase{"five clusters", kMeasures, false, 5, {1, 1, 2, 3, 4, 5, 5, 5}},
        CutCase{"as many clusters as columns", kMeasures, false, 8, {1, 2, 3, 4, 5, 6, 7, 8}},
        CutCase{"height between merges", kMeasures, true, 1.1, {1, 1, 1, 2, 3, 4, 4, 4}},
        CutCase{"height equal to a merge keeps it", kMeasures, true, 1.22878, {1, 1, 1, 2, 2, 3, 3, 3}},
        CutCase{"height below every merge", kMeasures, true, 0.1, {1, 2, 3, 4, 5, 6, 7, 8}},
        CutCase{"negative height", kMeasures, true, -1, {1, 2, 3, 4, 5, 6, 7, 8}},
        CutCase{"groups numbered by first column",
                "NODE0\tLEAF3\tLEAF0\t1\nNODE1\tLEAF2\tLEAF1\t2\nNODE2\tNODE1\tNODE0\t3\n", false, 2, {1, 2, 2, 1}},
        CutCase{"inversion: a merge under the height above one that is not", kInversion, true, 3, {1, 2, 3, 4}},
        CutCase{"inversion: both at or below", kInversion, true, 5, {1, 1, 1, 2}},
        CutCase{"inversion by count", kInversion, false, 2, {1, 1, 1, 2}},
        CutCase{"not finite above every height", kNotFinite, true, 1e300, {1, 1, 2, 3}},
        CutCase{"not finite by count", kNotFinite, false, 2, {1, 1, 2, 2}},
        CutCase{"minus infinity also above", "NODE0\tLEAF1\tLEAF0\t-inf\n", true, 5, {1, 2}},
        CutCase{"one column by count", "", false, 1, {1}},
        CutCase{"one column by height", "", true, 0, {1}}));

// Every format, exactly, on a tree with an inversion, a value that is not
// finite and names that need escaping.
TEST(TreeExport, ExactText) {
    const Dendrogram tree = Parse("NODE0\tLEAF2\tLEAF0\t0.500000\nNODE1\tLEAF1\tNODE0\t1.50000002e-05\n"
                                  "NODE2\tLEAF3\tNODE1\tinf\n");
    const std::vector<std::string> names = {"a\"b", "caf\xc3\xa9", "tab\there", "x\\y"};
    EXPECT_EQ(RenderLinkage(tree), "0 2 0.5 2\n1 4 1.50000002e-05 3\n3 5 inf 4\n");
    EXPECT_EQ(RenderHclust(tree, names),
              "structure(list(\n"
              "  merge = matrix(c(-1L, -3L, 1L, -2L, 2L, -4L),\n"
              "    ncol = 2L, byrow = TRUE),\n"
              "  height = c(0.5, 1.50000002e-05, Inf),\n"
              "  order = c(1L, 3L, 2L, 4L),\n"
              "  labels = c(\"a\\\"b\", \"caf\\u{e9}\", \"tab\\there\", \"x\\\\y\")),\n"
              "  class = \"hclust\")\n");
    EXPECT_EQ(RenderJson(tree, names),
              "{\"name\": \"NODE2\", \"node\": 2, \"value\": null, \"nonfinite\": \"inf\", \"size\": 4, \"children\": ["
              "{\"name\": \"NODE1\", \"node\": 1, \"value\": 1.50000002e-05, \"size\": 3, \"children\": ["
              "{\"name\": \"NODE0\", \"node\": 0, \"value\": 0.5, \"size\": 2, \"children\": ["
              "{\"name\": \"a\\\"b\", \"column\": 0, \"value\": 0, \"size\": 1}, "
              "{\"name\": \"tab\\there\", \"column\": 2, \"value\": 0, \"size\": 1}]}, "
              "{\"name\": \"caf\xc3\xa9\", \"column\": 1, \"value\": 0, \"size\": 1}]}, "
              "{\"name\": \"x\\\\y\", \"column\": 3, \"value\": 0, \"size\": 1}]}\n");
    EXPECT_EQ(RenderJsonFlat(tree, {}),
              "{\"leaves\": 4, \"root\": 6, \"nodes\": [\n"
              "{\"id\": 0, \"name\": \"0\", \"column\": 0, \"value\": 0, \"size\": 1},\n"
              "{\"id\": 1, \"name\": \"1\", \"column\": 1, \"value\": 0, \"size\": 1},\n"
              "{\"id\": 2, \"name\": \"2\", \"column\": 2, \"value\": 0, \"size\": 1},\n"
              "{\"id\": 3, \"name\": \"3\", \"column\": 3, \"value\": 0, \"size\": 1},\n"
              "{\"id\": 4, \"name\": \"NODE0\", \"node\": 0, \"value\": 0.5, \"size\": 2, \"children\": [0, 2]},\n"
              "{\"id\": 5, \"name\": \"NODE1\", \"node\": 1, \"value\": 1.50000002e-05, \"size\": 3, \"children\": [4, 1]},\n"
              "{\"id\": 6, \"name\": \"NODE2\", \"node\": 2, \"value\": null, \"nonfinite\": \"inf\", \"size\": 4, "
              "\"children\": [5, 3]}\n"
              "]}\n");
}

TEST(TreeExport, OneColumn) {
    const Dendrogram tree = Parse("");
    EXPECT_EQ(RenderLinkage(tree), "");
    EXPECT_EQ(RenderHclust(tree, {"only"}),
              "structure(list(\n  merge = matrix(integer(0),\n    ncol = 2L, byrow = TRUE),\n"
              "  height = numeric(0),\n  order = c(1L),\n  labels = c(\"only\")),\n  class = \"hclust\")\n");
    EXPECT_EQ(RenderJson(tree, {}), "{\"name\": \"0\", \"column\": 0, \"value\": 0, \"size\": 1}\n");
    EXPECT_EQ(RenderJsonFlat(tree, {}),
              "{\"leaves\": 1, \"root\": 0, \"nodes\": [\n{\"id\": 0, \"name\": \"0\", \"column\": 0, \"value\": 0, "
              "\"size\": 1}\n]}\n");
}

// What each format's readers are warned about, and only when it applies.
TEST(TreeExport, Cautions) {
    const auto joined = [](ExportFormat format, const Dendrogram &tree) {
        std::string all;
        for (const std::string &caution : ExportCautions(format, tree, {})) all += caution + "|";
        return all;
    };
    const Dendrogram plain = Parse(kMeasures), inverted = Parse(kInversion), notFinite = Parse(kNotFinite);
    for (const ExportFormat format : {ExportFormat::Newick, ExportFormat::Linkage, ExportFormat::Hclust,
                                      ExportFormat::Json, ExportFormat::JsonFlat})
        EXPECT_EQ(joined(format, plain), "");
    EXPECT_NE(joined(ExportFormat::Linkage, notFinite).find("2 merges with a value that is not finite"), std::string::npos);
    EXPECT_NE(joined(ExportFormat::Linkage, Parse("NODE0\tLEAF1\tLEAF0\t-1\n")).find("negative"), std::string::npos);
    EXPECT_NE(joined(ExportFormat::Hclust, notFinite).find("not finite"), std::string::npos);
    EXPECT_NE(joined(ExportFormat::Hclust, inverted).find("cutree"), std::string::npos);
    for (const ExportFormat format : {ExportFormat::Json, ExportFormat::JsonFlat})
        EXPECT_NE(joined(format, notFinite).find("2 merges with a value that is not finite, written \"value\": null"),
                  std::string::npos);
    std::string chain = "NODE0\tLEAF1\tLEAF0\t1\n";
    for (std::size_t k = 1; k < 500; ++k)
        chain += "NODE" + std::to_string(k) + "\tLEAF" + std::to_string(k + 1) + "\tNODE" + std::to_string(k - 1) + "\t1\n";
    const Dendrogram deep = Parse(chain);
    EXPECT_EQ(TreeDepth(deep), 500u);
    EXPECT_EQ(TreeDepth(plain), 4u);  // NODE6, NODE5, NODE2, NODE1
    EXPECT_NE(joined(ExportFormat::Json, deep).find("500 levels deep"), std::string::npos);
    EXPECT_EQ(joined(ExportFormat::JsonFlat, deep), "");
}

}  // namespace
