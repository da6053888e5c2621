// The generic algorithm with a nearest-neighbour list and a heap, for the
// linkages that are not reducible: centroid and median (squared heights
// compared, square roots written).
//
// Policy. Every live slot i keeps a candidate partner among the live slots
// below it, nn[i], and mindist[i]; a heap orders the slots by (mindist[i], i).
// The rules the loop relies on:
//   1. (mindist[i], nn[i]) never comes after the best pair (i, j < i) in the
//      pair order of linkage.h (value, then smaller partner: the FIRST pair in
//      scan order). It is a lower bound, not always a pair's value.
//   2. A heap top whose partner is live and whose pair value equals
//      mindist[i] exactly is therefore the best pair of i, and, by rule 1 for
//      every other slot and the heap order, the best pair overall.
//   3. Otherwise the top is stale: its row is rescanned and it is put back.
// After a merge of i and j < i into slot i: row i is rescanned; every slot x
// above i sees its new value with i, and takes it when it comes before its
// candidate (rule 1 holds since the other values of x did not change);
// slots whose candidate was j or i keep their old mindist, still a lower
// bound of what they have left, and become stale.
// The merges come out in the order of the pass-by-pass search, values
// computed in the same order, hence the same bits.
#pragma once

#include <cstdint>
#include <vector>

#include "engines/cluster/linkage.h"

// linkage: Centroid or Median. The packed matrix holds the squared distances
// and is used as working storage.
std::vector<ClusterMerge> GenericOnMatrix(double *packed, int64_t n, Linkage linkage);
// From n objects of m coordinates (object i's coordinate k at values[i*m+k],
// all numbers), Euclidean: centroid from coordinate sums, median from
// weighted centres.
std::vector<ClusterMerge> GenericOnData(const double *values, int64_t n, int64_t m, Linkage linkage);
