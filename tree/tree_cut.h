// Flat groups from a dendrogram: the tree cut into a number of clusters or
// at a height.
#pragma once

#include <cstddef>
#include <vector>

#include "dendrogram_file.h"

// The group of each column (groups numbered from 1 in the order of their
// first column) when the last `clusters` - 1 merges, in line order, are
// undone. `clusters` must be from 1 to tree.leafCount.
std::vector<std::size_t> CutIntoClusters(const Dendrogram &tree, std::size_t clusters);

// The group of each column when every merge whose value is above `height`
// or not a finite number is undone, and with it every merge above it in the
// tree. A merge lower than one of its parts (an inversion) therefore stays
// undone when a part below it is: each group is a whole cluster of the tree
// all of whose merges are at `height` or below.
std::vector<std::size_t> CutAtHeight(const Dendrogram &tree, double height);

// Numbers the groups of `kept` (kept[k] true: merge k stays done; a kept
// merge's parts must be kept merges or leaves) from 1 in the order of their
// first column.
std::vector<std::size_t> GroupsOfKeptMerges(const Dendrogram &tree, const std::vector<char> &kept);
