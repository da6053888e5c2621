// The merges of single linkage from the edges of a minimum spanning tree,
// in the order of the tie rule (linkage.h). The edges of one height are
// resolved together as spanning_tree.h describes; any minimum spanning tree
// of the distances gives the same merges, since which clusters join at or
// below a height does not depend on the tree, and where several clusters
// join at one height their order is decided from the distances themselves.
#pragma once

#include <cstdint>
#include <vector>

#include "engines/cluster/pass_order.h"
#include "engines/cluster/distance_rows.h"

// An edge of the tree: objects a and b at distance w.
struct TreeEdge {
    double w;
    int64_t a, b;
};

// The n - 1 edges of a spanning tree of n objects become the merges, in the
// order found (InPassOrder sorts them); rows gives the distances where ties
// must be looked into.
std::vector<FoundMerge> MergesOfTree(std::vector<TreeEdge> edges, int64_t n, const DistanceRows &rows);
