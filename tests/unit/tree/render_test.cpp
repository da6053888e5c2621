// The picture and the Newick text of hand-made trees, including the shapes
// the programs rarely produce: inversions, values that are not finite,
// negative values, one column, thousands of leaves, awkward names.
#include <gtest/gtest.h>

#include <cmath>

#include "dendrogram_file.h"
#include "test_parsers.h"
#include "tree_checks.h"
#include "tree_export.h"
#include "tree_render.h"

namespace {

Dendrogram Parse(const std::string &text) {
    const DendrogramParse parsed = ParseDendrogram(text);
    EXPECT_TRUE(parsed.ok()) << parsed.error;
    return parsed.tree;
}

struct Shape {
    const char *what;
    std::string text;
};

void PrintTo(const Shape &c, std::ostream *os) { *os << c.what; }

class DrawnShape : public testing::TestWithParam<Shape> {};

TEST_P(DrawnShape, PictureAndNewickShowTheTree) {
    const Dendrogram tree = Parse(GetParam().text);
    const std::vector<std::string> names = ColumnNumbers(tree.leafCount);
    ExpectDrawsTree(RenderSvg(tree, {}), tree, names);
    ExpectDrawsTree(RenderSvg(tree, {}, {"a title", true}), tree, names, true);
    bool finite = true;
    for (const DendrogramMerge &merge : tree.merges) finite = finite && std::isfinite(merge.value);
    if (finite) ExpectNewickIsTree(RenderNewick(tree, {}), tree, names);
}

INSTANTIATE_TEST_SUITE_P(
    TreeRender, DrawnShape,
    testing::Values(
        Shape{"one column", ""},
        Shape{"two columns", "NODE0\tLEAF1\tLEAF0\t0.500000\n"},
        Shape{"all values zero", "NODE0\tLEAF1\tLEAF0\t0.000000\nNODE1\tLEAF2\tNODE0\t0.000000\n"},
        Shape{"inversion", "NODE0\tLEAF1\tLEAF0\t5.000000\nNODE1\tLEAF2\tNODE0\t2.000000\nNODE2\tLEAF3\tNODE1\t6.000000\n"},
        Shape{"negative values", "NODE0\tLEAF1\tLEAF0\t-3.5\nNODE1\tLEAF3\tLEAF2\t1.25\nNODE2\tNODE1\tNODE0\t2\n"},
        Shape{"not finite, nested", "NODE0\tLEAF1\tLEAF0\t1.000000\nNODE1\tLEAF2\tNODE0\tinf\n"
                                     "NODE2\tLEAF4\tLEAF3\tnan\nNODE3\tNODE2\tNODE1\t-nan\nNODE4\tLEAF5\tNODE3\t3.000000\n"},
        Shape{"only not finite", "NODE0\tLEAF1\tLEAF0\t-inf\n"},
        Shape{"huge values", "NODE0\tLEAF1\tLEAF0\t99999997952.000000\nNODE1\tLEAF2\tNODE0\t99999997952.000000\n"},
        Shape{"tiny values", "NODE0\tLEAF1\tLEAF0\t1e-12\nNODE1\tLEAF2\tNODE0\t3e-12\n"}));

// A chain (each column joined to everything before it, as deep as a tree
// gets; kept to 1000 leaves for the recursive checkers of the tests) and a
// balanced tree of 3000 leaves: the picture stays complete and each leaf
// keeps enough room to be read when zoomed in.
TEST(TreeRender, ThousandsOfLeaves) {
    for (const bool chain : {true, false}) {
        const std::size_t n = chain ? 1000 : 3000;
        std::string text;
        if (chain) {
            text = "NODE0\tLEAF1\tLEAF0\t1.000000\n";
            for (std::size_t k = 1; k + 1 < n; ++k)
                text += "NODE" + std::to_string(k) + "\tLEAF" + std::to_string(k + 1) + "\tNODE" +
                        std::to_string(k - 1) + "\t" + std::to_string(k + 1) + ".000000\n";
        } else {
            // Pairs of leaves, then pairs of those, and so on.
            std::vector<std::string> level;
            for (std::size_t c = 0; c < n; ++c) level.push_back("LEAF" + std::to_string(c));
            std::size_t next = 0;
            for (int height = 1; level.size() > 1; ++height) {
                std::vector<std::string> up;
                for (std::size_t i = 0; i + 1 < level.size(); i += 2) {
                    text += "NODE" + std::to_string(next) + "\t" + level[i + 1] + "\t" + level[i] + "\t" +
                            std::to_string(height) + ".500000\n";
                    up.push_back("NODE" + std::to_string(next++));
                }
                if (level.size() % 2 == 1) up.push_back(level.back());
                level = up;
            }
        }
        const Dendrogram tree = Parse(text);
        ASSERT_EQ(tree.leafCount, n);
        for (const bool horizontal : {false, true}) {
            SCOPED_TRACE(horizontal ? "horizontal" : "upright");
            const std::string svg = RenderSvg(tree, {}, {"many", horizontal});
            ExpectDrawsTree(svg, tree, ColumnNumbers(n), horizontal);
            const XmlElement root = ParseXml(svg);
            const std::vector<const XmlElement *> leaves = root.WithClass("leaf");
            ASSERT_EQ(leaves.size(), n);
            const char *const along = horizontal ? "y" : "x";
            std::vector<double> at;
            for (const XmlElement *leaf : leaves) at.push_back(std::stod(leaf->attributes.at(along)));
            std::sort(at.begin(), at.end());
            for (std::size_t i = 1; i < n; ++i) ASSERT_GE(at[i] - at[i - 1], 14.0 - 0.02) << "leaves packed too tightly";
            const double length = std::stod(root.attributes.at(horizontal ? "height" : "width"));
            EXPECT_GE(length, at.back());
            // The axis labels are repeated along the picture: no stretch of
            // the tree is farther than 1,350 px from a column of labels, and
            // each repeat holds every tick.
            std::vector<double> scales = {at.front()};
            const std::size_t ticks = root.WithClass("tick").size();
            for (const XmlElement *copy : root.WithClass("axis-copy")) {
                scales.push_back(std::stod(copy->attributes.at("data-position")));
                std::size_t labels = 0;
                for (const XmlElement &child : copy->children) labels += child.name == "text";
                EXPECT_EQ(labels, ticks);
            }
            scales.push_back(at.back());
            std::sort(scales.begin(), scales.end());
            for (std::size_t i = 1; i < scales.size(); ++i) EXPECT_LE(scales[i] - scales[i - 1], 1350.0);
        }
        ExpectNewickIsTree(RenderNewick(tree, {}), tree, ColumnNumbers(n));
    }
}

TEST(TreeRender, NamesThatNeedEscapingOrQuoting) {
    const Dendrogram tree = Parse("NODE0\tLEAF1\tLEAF0\t1.000000\nNODE1\tLEAF3\tLEAF2\t2.000000\n"
                                  "NODE2\tNODE1\tNODE0\t3.000000\nNODE3\tLEAF5\tLEAF4\t4.000000\n"
                                  "NODE4\tNODE3\tNODE2\t5.000000\nNODE5\tLEAF6\tNODE4\t6.000000\n");
    const std::vector<std::string> names = {"<a & b>",   "it's \"q\"",   "x_y",
                                            "(p),[q];:", "caf\xc3\xa9 ol\xc3\xa9",
                                            std::string(120, 'w'), "\tlead tab"};
    ExpectDrawsTree(RenderSvg(tree, names), tree, names);
    ExpectDrawsTree(RenderSvg(tree, names, {"<a & b>", true}), tree, names, true);
    ExpectNewickIsTree(RenderNewick(tree, names), tree, names);
}

// Everything written on the picture lies inside it, however few the leaves
// and however long the title or the legend; the title is written.
TEST(TreeRender, TitleAndLegendFitInThePicture) {
    const Dendrogram tree = Parse("NODE0\tLEAF1\tLEAF0\t2.000000\nNODE1\tLEAF2\tNODE0\t1.000000\n"
                                  "NODE2\tLEAF4\tLEAF3\tinf\nNODE3\tNODE2\tNODE1\tnan\n");
    for (const bool horizontal : {false, true}) {
        for (const std::string &title : {std::string(), std::string("t.dendro"), std::string(90, 'T')}) {
            SCOPED_TRACE((horizontal ? "horizontal, title of " : "upright, title of ") + std::to_string(title.size()));
            const XmlElement root = ParseXml(RenderSvg(tree, {}, {title, horizontal}));
            const double width = std::stod(root.attributes.at("width"));
            const std::vector<const XmlElement *> titles = root.WithClass("title");
            ASSERT_EQ(titles.size(), title.empty() ? 0u : 1u);
            std::vector<std::pair<const XmlElement *, double>> texts;  // with font size
            if (!title.empty()) texts.emplace_back(titles[0], 15);
            const std::vector<const XmlElement *> legends = root.WithClass("legend");
            ASSERT_EQ(legends.size(), 2u) << "an inversion and values not finite";
            for (const XmlElement *legend : legends) texts.emplace_back(legend->Child("text"), 12);
            for (const auto &[text, size] : texts) {
                ASSERT_NE(text, nullptr);
                const double right = std::stod(text->attributes.at("x")) + 0.62 * size * text->text.size();
                EXPECT_LE(right, width) << "'" << text->text << "' runs out of the picture";
            }
            if (!title.empty()) {
                EXPECT_EQ(titles[0]->text, title);
            }
        }
    }
}

// Exact Newick text: lengths written with the values' own decimals (no
// binary rounding artefacts), negative and non-finite lengths as they are.
struct NewickCase {
    const char *what;
    std::string dendrogram;
    std::vector<std::string> names;
    std::string newick;
};

void PrintTo(const NewickCase &c, std::ostream *os) { *os << c.what; }

class NewickText : public testing::TestWithParam<NewickCase> {};

TEST_P(NewickText, IsExactly) {
    const NewickCase &c = GetParam();
    EXPECT_EQ(RenderNewick(Parse(c.dendrogram), c.names), c.newick) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    TreeRender, NewickText,
    testing::Values(
        NewickCase{"one column", "", {}, "0;\n"},
        NewickCase{"one named column", "", {"my column"}, "'my column';\n"},
        // Half of an odd last decimal takes one decimal more.
        NewickCase{"odd last decimal", "NODE0\tLEAF1\tLEAF0\t0.000001\nNODE1\tLEAF2\tNODE0\t1.000000\n", {},
                   "((0:0.0000005,1:0.0000005):0.4999995,2:0.500000);\n"},
        NewickCase{"decimal differences", "NODE0\tLEAF1\tLEAF0\t0.100000\nNODE1\tLEAF2\tNODE0\t0.300000\n", {},
                   "((0:0.050000,1:0.050000):0.100000,2:0.150000);\n"},
        NewickCase{"negative length", "NODE0\tLEAF1\tLEAF0\t0.300000\nNODE1\tLEAF2\tNODE0\t0.100000\n", {},
                   "((0:0.150000,1:0.150000):-0.100000,2:0.050000);\n"},
        NewickCase{"not finite", "NODE0\tLEAF1\tLEAF0\t1.5\nNODE1\tLEAF2\tNODE0\tinf\nNODE2\tLEAF3\tNODE1\tnan\n", {},
                   "(((0:0.75,1:0.75):inf,2:inf):nan,3:nan);\n"},
        NewickCase{"quoted names", "NODE0\tLEAF1\tLEAF0\t1\n", {"it's", "a b"}, "('it''s':0.5,'a b':0.5);\n"},
        NewickCase{"double quotes", "NODE0\tLEAF1\tLEAF0\t1\n", {"\"h\"", "g"}, "('\"h\"':0.5,g:0.5);\n"},
        NewickCase{"values of nine digits", "NODE0\tLEAF1\tLEAF0\t1.50000002e-05\nNODE1\tLEAF2\tNODE0\t4\n", {},
                   "((0:0.0000075000001,1:0.0000075000001):1.9999924999999,2:2);\n"}));

TEST(TreeRender, NewickCautions) {
    const Dendrogram plain = Parse("NODE0\tLEAF1\tLEAF0\t1\nNODE1\tLEAF2\tNODE0\t2\n");
    EXPECT_TRUE(NewickCautions(plain, {"a", "b", "c"}).empty());
    const std::vector<std::string> repeated = NewickCautions(plain, {"a", "b", "a"});
    ASSERT_EQ(repeated.size(), 1u);
    EXPECT_NE(repeated[0].find("columns 0 and 2"), std::string::npos) << repeated[0];
    const std::vector<std::string> many = NewickCautions(plain, std::vector<std::string>(6, "a"));
    ASSERT_EQ(many.size(), 4u) << "three examples, then a count";
    EXPECT_NE(many[3].find("2 more repeated names"), std::string::npos) << many[3];
    const Dendrogram infinite = Parse("NODE0\tLEAF1\tLEAF0\t1\nNODE1\tLEAF2\tNODE0\tinf\n");
    const std::vector<std::string> lengths = NewickCautions(infinite, {});
    ASSERT_EQ(lengths.size(), 1u);
    EXPECT_NE(lengths[0].find("2 branch lengths"), std::string::npos) << lengths[0];
}

}  // namespace
