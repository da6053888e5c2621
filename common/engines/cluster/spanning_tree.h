// Single linkage through a minimum spanning tree (Prim), in O(n) memory
// beyond the data: one object's distances to the objects not yet in the
// tree are computed at a time, and each object keeps only its distance to
// the tree.
//
// Policy (tie rule of linkage.h). The spanning tree fixes which objects
// join at each height, not in which order clusters tied at one height
// merge. So the edges of one height v are resolved together: the clusters
// below v that they join are taken by slot ascending, and each merges with
// the clusters of smaller slot it touches at distance exactly v (smallest
// slot first). That is the order in which merging the first smallest pair
// pass after pass joins them. Touching is decided by the spanning tree's
// edges where they say so and otherwise by recomputing distances between
// members; each pair of objects is recomputed at most once in a run, and
// only where several edges share one height.
//
// From objects given as rows of coordinates (PointRows), the objects not
// yet in the tree are kept in a list, compacted as objects join, so that
// each step measures the newest object against all of them in one pass of
// the lane kernels. Prim's tree then compares keys, any value whose
// distance is non-decreasing in it (the sum of squares for Euclidean
// distances, saving a square root per pair): the
// tree may then differ from the one the distances would give where two
// keys round to one distance, but it is a minimum spanning tree of the
// distances all the same, and any such tree gives the same merges
// (tree_heights.h).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engines/cluster/distance_rows.h"
#include "engines/cluster/linkage.h"


// Objects as rows of coordinates.
struct PointRows {
    // The row of object i.
    std::function<const double *(int64_t i)> object;
    // out[p] = the key of the pair (row x, object objects[p]), for
    // p < count; called from two threads at once. Keys are numbers (no NaN).
    std::function<void(const double *x, const int64_t *objects, int64_t count, double *out)> keys;
    // The distance of a key: non-decreasing in the key, and for a pair's key
    // the bits DistanceRows gives for that pair.
    std::function<double(double key)> distance;
};

// Distances must be numbers (no NaN). twoThreads lets the rows be split
// over a second thread; the result does not depend on it.
std::vector<ClusterMerge> SingleLinkageTree(int64_t n, const DistanceRows &rows, bool twoThreads);
// The same from the objects' rows; `rows` gives the distances where ties
// must be resolved.
std::vector<ClusterMerge> SingleLinkageTree(int64_t n, const PointRows &points, const DistanceRows &rows,
                                            bool twoThreads);
// Over a packed strict lower triangle (i > j at i(i-1)/2 + j).
std::vector<ClusterMerge> SingleLinkageTree(const double *packed, int64_t n);
