// The straightforward clustering that dendro-cluster's engines are held to:
// every pass scans every live pair (larger slot ascending, then smaller
// slot ascending) and merges the first pair of smallest value; the survivor
// is the larger slot. Values:
//   single, complete, weighted, median: the working matrix, updated by the
//     Lance-Williams recurrence after each merge;
//   average, centroid and ward on a matrix: sums of the distances (of their
//     squares) between members, and within each cluster, updated likewise;
//   centroid and ward from data: from the members' coordinate sums;
//   median from data: each cluster's centre, the mean of its two parts'.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engines/cluster/linkage.h"

// Objects as rows of coordinates.
struct Points {
    int64_t n = 0, m = 0;
    std::vector<double> values;  // object i's coordinate k at i*m + k
};

// Euclidean distances between all pairs, packed (i > j at i(i-1)/2 + j),
// each as the square root of the sum of squared differences in coordinate
// order.
std::vector<double> ReferenceEuclidean(const Points &p);
// City-block distances, packed.
std::vector<double> ReferenceCityBlock(const Points &p);

// Clustering of a packed matrix of n objects; squaredValues: the matrix
// holds squared distances (centroid, median, ward). With lanceWilliams,
// centroid and ward too use the classic recurrences on the squared working
// matrix (not exact on integers: for comparing values only).
std::vector<ClusterMerge> ReferenceMatrixMerges(const std::vector<double> &packed, int64_t n, Linkage linkage,
                                                bool squaredValues = false, bool lanceWilliams = false);
// Centroid, median or ward from the coordinates (Euclidean).
std::vector<ClusterMerge> ReferenceDataMerges(const Points &p, Linkage linkage);

// The merge lines of a merge list, numbered as merging goes: a slot's
// child is LEAF until it has merged, then the NODE of its last merge.
std::string ReferenceMergeText(const std::vector<ClusterMerge> &merges, bool precise);
