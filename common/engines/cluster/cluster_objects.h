// The whole clustering of a metric space's objects, for a program: from the
// data where the linkage allows it (ChooseClusterInput), else through the
// packed matrix of all distances, allocated here.
//
//   centroid, median, ward  need a Euclidean space (IsEuclideanGeometry) or
//     a SqEuclidean one. Give SqEuclidean: where they go through the matrix
//     (missing cells, or few objects of many coordinates), squared distances
//     of integer data are exact, and so are their ties; from a Euclidean
//     space the distances are squared again, rounded;
//   single                  distances row by row on two threads, any metric;
//   complete, average, weighted  the matrix.
// The space must hold no undefined pair (MetricSpace::FirstUndefinedPair).
#pragma once

#include <cstdint>
#include <vector>

#include "engines/cluster/linkage.h"
#include "kernels/metric_space.h"

// Thrown when the packed matrix cannot be allocated: the bytes it needed.
struct MatrixTooLarge {
    uint64_t bytes = 0;
};

// True when the linkage takes this space from its data, without the matrix.
bool ClustersFromData(const MetricSpace &space, Linkage linkage);
// Clusters the space's objects; throws MatrixTooLarge (and std::bad_alloc
// where the data engines' own O(n x coordinates) storage does not fit).
std::vector<ClusterMerge> ClusterObjects(const MetricSpace &space, Linkage linkage);
// Single linkage from the data, any metric: over the objects' rows side by
// side when every object is whole (MetricSpace::AllWhole), else row by row
// of distances; on two threads.
std::vector<ClusterMerge> SingleLinkageOfSpace(const MetricSpace &space);
// Clusters a given matrix (--distances): the packed strict lower triangle,
// taken over as working storage.
std::vector<ClusterMerge> ClusterGivenMatrix(std::vector<double> packed, int64_t n, Linkage linkage);
