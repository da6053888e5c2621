// The order of the leaves: where each cluster lies in the drawn order, and
// the flips of merges that put similar leaves side by side (the exact
// optimal leaf order: the smallest sum of distances between neighbouring
// leaves among all 2^(n-1) orders the tree allows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dendrogram_file.h"
#include "leaf_distances.h"

// Every cluster of the tree is a run of the drawn order (DrawnLeafOrder):
// merge k covers positions [lo[k], hi[k]), its left part [lo[k], mid[k]) and
// its right part [mid[k], hi[k]).
struct TreeSpans {
    std::vector<std::size_t> order;     // columns in drawn order
    std::vector<std::size_t> position;  // position of each column
    std::vector<std::uint32_t> lo, mid, hi;
};
TreeSpans SpansOf(const Dendrogram &tree);

// The tree with the parts of every merge k with flipped[k] set swapped, so
// that its drawn order changes and nothing else.
Dendrogram FlipMerges(Dendrogram tree, const std::vector<char> &flipped);

// The sum of the distances between neighbours in `order` (columns), with
// distances between columns.
double NeighbourTotal(const std::vector<std::size_t> &order, const LeafDistances &distances);

struct LeafOrderResult {
    std::vector<char> flipped;  // per merge: swap its parts
    double total = 0;           // the neighbour total of the new order
};

// The optimal order of the leaves of `tree`, given the distances between
// its leaves counted in drawn order (Renumbered(columns, SpansOf(tree).order)).
// The last merge keeps its sides. False, with `error`, when the choices it
// has to remember would need more than `memoryLimit` bytes.
bool OptimalLeafOrder(const Dendrogram &tree, const LeafDistances &byPosition, LeafOrderResult &result,
                      std::string &error, std::size_t memoryLimit = std::size_t{6} << 30);
