// dendro-cluster's engines behind two calls: clustering a packed matrix of
// distances, and clustering from the data. Both return the n - 1 merges in
// output order (linkage.h); see linkage.h for the wiring and the tie rule.
//
// Which engine takes which linkage:
//   single                     spanning tree (spanning_tree.h)
//   complete, average, weighted nearest-neighbour chain on the matrix (nn_chain.h)
//   ward                       the chain, on the matrix or from the data
//   centroid, median           generic algorithm with a heap (generic_linkage.h)
#pragma once

#include <cstdint>
#include <vector>

#include "engines/cluster/linkage.h"
#include "engines/cluster/spanning_tree.h"

// `packed` holds the strict lower triangle of n objects' distances (i > j
// at i(i-1)/2 + j), numbers only; it is used as working storage and left
// unspecified. Centroid, median and Ward treat the values as Euclidean
// distances (the Lance-Williams recurrences on them), or as their squares
// when `squared` (ask the metric for squared Euclidean distances when the
// matrix is computed from data: on integer data those are exact, and so
// are the ties).
std::vector<ClusterMerge> ClusterPackedMatrix(std::vector<double> &packed, int64_t n, Linkage linkage,
                                              bool squared = false);
// The same over n(n-1)/2 values at `packed` (a MatrixBuffer's, say).
std::vector<ClusterMerge> ClusterPackedMatrix(double *packed, int64_t n, Linkage linkage, bool squared = false);

// Single linkage from distance rows (any metric); `twoThreads` lets the
// rows be split over two threads (same result either way).
std::vector<ClusterMerge> ClusterSingleFromRows(int64_t n, const DistanceRows &rows, bool twoThreads);
// Centroid, median or Ward with Euclidean distances from n objects of m
// coordinates (object i's coordinate k at values[i*m + k], every one a
// number), in O(n x m) memory.
std::vector<ClusterMerge> ClusterCoordinates(const std::vector<double> &values, int64_t n, int64_t m, Linkage linkage);
