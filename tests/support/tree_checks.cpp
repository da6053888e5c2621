#include "tree_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>

#include "test_parsers.h"

namespace {

std::vector<std::size_t> Members(const DendrogramChild &child,
                                 const std::vector<std::vector<std::size_t>> &nodeMembers) {
    return child.isLeaf ? std::vector<std::size_t>{child.index} : nodeMembers[child.index];
}

std::vector<std::vector<std::size_t>> NodeMembers(const Dendrogram &tree) {
    std::vector<std::vector<std::size_t>> members;
    for (const DendrogramMerge &merge : tree.merges) {
        std::vector<std::size_t> joined = Members(merge.first, members);
        const std::vector<std::size_t> other = Members(merge.second, members);
        joined.insert(joined.end(), other.begin(), other.end());
        std::sort(joined.begin(), joined.end());
        members.push_back(joined);
    }
    return members;
}

bool HasClass(const XmlElement &element, const std::string &cls) {
    const auto found = element.attributes.find("class");
    if (found == element.attributes.end()) return false;
    std::istringstream words(found->second);
    std::string word;
    while (words >> word)
        if (word == cls) return true;
    return false;
}

double Number(const XmlElement &element, const std::string &attribute) {
    const auto found = element.attributes.find(attribute);
    if (found == element.attributes.end()) {
        ADD_FAILURE() << "<" << element.name << "> has no " << attribute;
        return NAN;
    }
    return std::stod(found->second);
}

// A merge's path in terms of the tree: positions along the leaves (x
// upright, y across) and levels along the values (y upright, x across).
struct MergePath {
    double x1, y1, yBar, x2, y2;  // position, level of the first part; the bar's level; the second part
};

bool ParsePath(const std::string &d, bool horizontal, MergePath &path) {
    char m, out1, along, out2;
    std::istringstream in(d);
    double first, second;
    in >> m >> first >> second >> out1 >> path.yBar >> along >> path.x2 >> out2 >> path.y2;
    path.x1 = horizontal ? second : first;
    path.y1 = horizontal ? first : second;
    const char outward = horizontal ? 'H' : 'V', across = horizontal ? 'V' : 'H';
    std::string rest;
    return in && !(in >> rest) && m == 'M' && out1 == outward && along == across && out2 == outward;
}

constexpr double kPixel = 0.02;  // coordinates are written with two decimals

}  // namespace

std::map<std::vector<std::size_t>, double> Clusters(const Dendrogram &tree) {
    std::map<std::vector<std::size_t>, double> clusters;
    const std::vector<std::vector<std::size_t>> members = NodeMembers(tree);
    for (std::size_t k = 0; k < tree.merges.size(); ++k) clusters[members[k]] = tree.merges[k].value;
    return clusters;
}

std::vector<std::string> ColumnNumbers(std::size_t count) {
    std::vector<std::string> names;
    for (std::size_t c = 0; c < count; ++c) names.push_back(std::to_string(c));
    return names;
}

void ExpectDrawsTree(const std::string &svg, const Dendrogram &tree, const std::vector<std::string> &names,
                     bool horizontal) {
    XmlElement root;
    try {
        root = ParseXml(svg);
    } catch (const std::exception &e) {
        ADD_FAILURE() << e.what();
        return;
    }
    EXPECT_EQ(root.name, "svg");
    EXPECT_EQ(root.attributes["xmlns"], "http://www.w3.org/2000/svg");

    // Leaves: one label each, the right name, distinct places.
    const std::vector<const XmlElement *> leaves = root.WithClass("leaf");
    ASSERT_EQ(leaves.size(), tree.leafCount);
    std::vector<double> leafX(tree.leafCount, NAN);
    for (const XmlElement *leaf : leaves) {
        EXPECT_EQ(leaf->name, "text");
        const auto column = static_cast<std::size_t>(Number(*leaf, "data-column"));
        ASSERT_LT(column, tree.leafCount);
        EXPECT_TRUE(std::isnan(leafX[column])) << "column " << column << " labelled twice";
        leafX[column] = Number(*leaf, horizontal ? "y" : "x");
        const XmlElement *title = leaf->Child("title");
        if (title != nullptr) {  // a long name, shortened on the picture
            EXPECT_EQ(title->text, names[column]);
            EXPECT_EQ(names[column].compare(0, leaf->text.size() - 3, leaf->text, 0, leaf->text.size() - 3), 0);
        } else {
            EXPECT_EQ(leaf->text, names[column]);
        }
    }
    std::vector<std::size_t> byX(tree.leafCount);
    for (std::size_t c = 0; c < tree.leafCount; ++c) byX[c] = c;
    std::sort(byX.begin(), byX.end(), [&](std::size_t a, std::size_t b) { return leafX[a] < leafX[b]; });
    std::vector<std::size_t> position(tree.leafCount);
    for (std::size_t p = 0; p < byX.size(); ++p) {
        position[byX[p]] = p;
        if (p > 0) {
            EXPECT_GT(leafX[byX[p]], leafX[byX[p - 1]] + 1) << "leaves on top of each other";
        }
    }
    // No crossing: every cluster's leaves are neighbours.
    for (const auto &[members, value] : Clusters(tree)) {
        std::size_t lo = tree.leafCount, hi = 0;
        for (const std::size_t c : members) {
            lo = std::min(lo, position[c]);
            hi = std::max(hi, position[c]);
        }
        EXPECT_EQ(hi - lo + 1, members.size()) << "a cluster's leaves are split apart";
    }

    // The axis: ticks on one straight line of value against height.
    const std::vector<const XmlElement *> ticks = root.WithClass("tick");
    ASSERT_GE(ticks.size(), 2u);
    std::vector<std::pair<double, double>> tickAt;  // value, y
    for (const XmlElement *tick : ticks) {
        const XmlElement *line = tick->Child("line");
        ASSERT_NE(line, nullptr);
        tickAt.emplace_back(Number(*tick, "data-value"), Number(*line, horizontal ? "x1" : "y1"));
    }
    std::sort(tickAt.begin(), tickAt.end());
    const double slope = (tickAt.back().second - tickAt.front().second) / (tickAt.back().first - tickAt.front().first);
    // Levels grow upwards (smaller y) upright, to the right across.
    const double up = horizontal ? 1 : -1;
    ASSERT_GT(slope * up, 0) << "larger values must be drawn higher (further right across)";
    const auto yOf = [&](double value) { return tickAt.front().second + (value - tickAt.front().first) * slope; };
    for (const auto &[value, y] : tickAt) EXPECT_NEAR(y, yOf(value), kPixel) << "axis not linear";
    const double axisTop = tickAt.back().second;

    // One path per merge, joining its two parts at its height.
    const std::vector<const XmlElement *> paths = root.WithClass("merge");
    ASSERT_EQ(paths.size(), tree.merges.size());
    std::vector<MergePath> drawn(tree.merges.size());
    std::vector<const XmlElement *> pathOf(tree.merges.size(), nullptr);
    for (const XmlElement *path : paths) {
        EXPECT_EQ(path->name, "path");
        const auto k = static_cast<std::size_t>(Number(*path, "data-node"));
        ASSERT_LT(k, tree.merges.size());
        EXPECT_EQ(pathOf[k], nullptr) << "NODE" << k << " drawn twice";
        pathOf[k] = path;
        ASSERT_TRUE(ParsePath(path->attributes.at("d"), horizontal, drawn[k])) << path->attributes.at("d");
    }
    std::size_t nonFinite = 0;
    for (std::size_t k = 0; k < tree.merges.size(); ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        const MergePath &p = drawn[k];
        const auto partAt = [&](const DendrogramChild &child) {
            if (child.isLeaf) return std::make_pair(leafX[child.index], yOf(0));
            const MergePath &q = drawn[child.index];
            return std::make_pair((q.x1 + q.x2) / 2, q.yBar);
        };
        auto [ax, ay] = partAt(merge.first);
        auto [bx, by] = partAt(merge.second);
        if (std::fabs(p.x1 - ax) > kPixel) {
            std::swap(ax, bx);
            std::swap(ay, by);
        }
        EXPECT_NEAR(p.x1, ax, kPixel) << "NODE" << k << " does not start at one of its parts";
        EXPECT_NEAR(p.y1, ay, kPixel) << "NODE" << k;
        EXPECT_NEAR(p.x2, bx, kPixel) << "NODE" << k << " does not end at its other part";
        EXPECT_NEAR(p.y2, by, kPixel) << "NODE" << k;
        if (std::isfinite(merge.value)) {
            EXPECT_NEAR(p.yBar, yOf(merge.value), kPixel) << "NODE" << k << " not at its value";
            EXPECT_FALSE(HasClass(*pathOf[k], "nonfinite"));
            bool belowAPart = false;
            for (const DendrogramChild &child : {merge.first, merge.second}) {
                const double part = child.isLeaf ? 0.0 : tree.merges[child.index].value;
                belowAPart = belowAPart || !std::isfinite(part) || part > merge.value;
            }
            EXPECT_EQ(HasClass(*pathOf[k], "inverted"), belowAPart)
                << "NODE" << k << ": a merge below one of its parts must be marked, and only then";
        } else {
            ++nonFinite;
            EXPECT_TRUE(HasClass(*pathOf[k], "nonfinite")) << "NODE" << k;
            EXPECT_GT((p.yBar - axisTop) * up, 0) << "NODE" << k << " (not finite) must be beyond the axis";
            EXPECT_GT((p.yBar - ay) * up, 0) << "NODE" << k << " must be beyond its parts";
            EXPECT_GT((p.yBar - by) * up, 0) << "NODE" << k << " must be beyond its parts";
        }
    }
    const std::vector<const XmlElement *> marks = root.WithClass("value-mark");
    ASSERT_EQ(marks.size(), nonFinite);
    std::multiset<std::string> markTexts, expectedMarks;
    for (const XmlElement *mark : marks) markTexts.insert(mark->text);
    for (const DendrogramMerge &merge : tree.merges)
        if (!std::isfinite(merge.value)) expectedMarks.insert(std::isnan(merge.value) ? "nan" : merge.value > 0 ? "inf" : "-inf");
    EXPECT_EQ(markTexts, expectedMarks);
}

void ExpectNewickIsTree(const std::string &newick, const Dendrogram &tree, const std::vector<std::string> &names) {
    NewickNode root;
    try {
        root = ParseNewick(newick);
    } catch (const std::exception &e) {
        ADD_FAILURE() << e.what() << "\n" << newick;
        return;
    }
    std::map<std::string, std::size_t> columnOf;
    for (std::size_t c = 0; c < names.size(); ++c) columnOf[names[c]] = c;
    std::vector<int> seen(tree.leafCount, 0);
    std::map<std::vector<std::size_t>, double> clusters;
    bool ok = true;

    // Returns the node's value (leaves 0) and fills `members`.
    struct Walker {
        std::map<std::string, std::size_t> &columnOf;
        std::vector<int> &seen;
        std::map<std::vector<std::size_t>, double> &clusters;
        bool &ok;
        double Walk(const NewickNode &node, std::vector<std::size_t> &members) {
            if (node.children.empty()) {
                const auto found = columnOf.find(node.name);
                if (found == columnOf.end()) {
                    ADD_FAILURE() << "unknown leaf name '" << node.name << "'";
                    ok = false;
                    return 0;
                }
                ++seen[found->second];
                members.push_back(found->second);
                return 0;
            }
            if (node.children.size() != 2) {
                ADD_FAILURE() << "a node with " << node.children.size() << " children";
                ok = false;
            }
            double value = NAN;
            for (const NewickNode &child : node.children) {
                if (!child.hasLength) {
                    ADD_FAILURE() << "a branch without a length";
                    ok = false;
                }
                std::vector<std::size_t> childMembers;
                const double estimate = Walk(child, childMembers) + child.length;
                members.insert(members.end(), childMembers.begin(), childMembers.end());
                if (std::isnan(value)) {
                    value = estimate;
                } else if (std::fabs(value - estimate) > 1e-9 * std::max(1.0, std::fabs(value))) {
                    ADD_FAILURE() << "the two branches of a node reach different values: " << value << " and "
                                  << estimate;
                    ok = false;
                }
            }
            std::sort(members.begin(), members.end());
            clusters[members] = value;
            return value;
        }
    };
    std::vector<std::size_t> all;
    Walker{columnOf, seen, clusters, ok}.Walk(root, all);
    EXPECT_FALSE(root.hasLength) << "the root has no branch";
    for (std::size_t c = 0; c < tree.leafCount; ++c) EXPECT_EQ(seen[c], 1) << "leaf " << names[c];
    if (!ok) return;
    const std::map<std::vector<std::size_t>, double> expected = Clusters(tree);
    ASSERT_EQ(clusters.size(), expected.size());
    for (const auto &[members, value] : expected) {
        const auto found = clusters.find(members);
        ASSERT_NE(found, clusters.end()) << "a cluster of the dendrogram is missing from the Newick tree";
        // Leaves lie half the merge value below it: two leaves are as far
        // apart through the tree as their merge value.
        EXPECT_NEAR(2 * found->second, value, 1e-9 * std::max(1.0, std::fabs(value)));
    }
}
