// The nearest-neighbour chain, for the reducible linkages: complete,
// average, weighted and Ward on the packed matrix, and Ward from the data.
//
// Policy. From any cluster, the chain steps to its nearest neighbour under
// the pair order of linkage.h (smallest value, then the FIRST pair in scan
// order: among equal values the neighbour of smallest slot), until two
// clusters are each other's nearest; those merge, and the chain goes on from
// what is left of it. Reducibility (a merged cluster is never closer to a
// third than the nearer of its parts) holds for these linkages under that
// order too, since the merged cluster keeps the larger slot; and the values
// compared are single roundings of sums exact on small integers
// (pair_values.h). So the chain finds the merges that merging the first
// smallest pair pass after pass finds, which InPassOrder then puts in that
// order.
#pragma once

#include <cstdint>
#include <vector>

#include "engines/cluster/linkage.h"

// The packed strict lower triangle of distances (i > j at i(i-1)/2 + j),
// used as working storage; for Ward it holds squared distances.
// linkage: Complete, Average, Weighted or Ward.
std::vector<ClusterMerge> ChainOnMatrix(double *packed, int64_t n, Linkage linkage);
// Ward linkage with Euclidean distances, from n objects of m coordinates
// (object i's coordinate k at values[i*m + k], all numbers).
std::vector<ClusterMerge> WardChainOnData(const double *values, int64_t n, int64_t m);
