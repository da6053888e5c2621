#include "tree_cut.h"

#include <cmath>
#include <numeric>

std::vector<std::size_t> GroupsOfKeptMerges(const Dendrogram &tree, const std::vector<char> &kept) {
    // Each kept merge joins its parts; a union of the columns under it.
    std::vector<std::size_t> parent(tree.leafCount);
    std::iota(parent.begin(), parent.end(), std::size_t{0});
    const auto root = [&parent](std::size_t c) {
        while (parent[c] != c) c = parent[c] = parent[parent[c]];
        return c;
    };
    // A column standing for each merge: its first child's.
    std::vector<std::size_t> columnOf(tree.merges.size());
    const auto column = [&columnOf](const DendrogramChild &child) {
        return child.isLeaf ? child.index : columnOf[child.index];
    };
    for (std::size_t k = 0; k < tree.merges.size(); ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        columnOf[k] = column(merge.first);
        if (kept[k]) parent[root(column(merge.first))] = root(column(merge.second));
    }
    std::vector<std::size_t> groupOfRoot(tree.leafCount, 0), groups(tree.leafCount);
    std::size_t next = 0;
    for (std::size_t c = 0; c < tree.leafCount; ++c) {
        std::size_t &group = groupOfRoot[root(c)];
        if (group == 0) group = ++next;
        groups[c] = group;
    }
    return groups;
}

std::vector<std::size_t> CutIntoClusters(const Dendrogram &tree, std::size_t clusters) {
    std::vector<char> kept(tree.merges.size(), 0);
    for (std::size_t k = 0; k + clusters < tree.leafCount; ++k) kept[k] = 1;
    return GroupsOfKeptMerges(tree, kept);
}

std::vector<std::size_t> CutAtHeight(const Dendrogram &tree, double height) {
    std::vector<char> kept(tree.merges.size(), 0);
    for (std::size_t k = 0; k < tree.merges.size(); ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        // Children come from earlier lines, so their fate is known.
        bool keep = std::isfinite(merge.value) && merge.value <= height;
        for (const DendrogramChild &child : {merge.first, merge.second})
            if (!child.isLeaf && !kept[child.index]) keep = false;
        kept[k] = keep;
    }
    return GroupsOfKeptMerges(tree, kept);
}
