#include "engines/cluster/cluster_objects.h"

#include "engines/cluster/cluster.h"
#include "engines/cluster/matrix_buffer.h"

bool ClustersFromData(const MetricSpace &space, Linkage linkage) {
    const bool euclidean = space.metric() == Metric::Euclidean || space.metric() == Metric::SqEuclidean;
    return ChooseClusterInput(linkage, euclidean, space.HasMissingCells(), false, space.size(), space.coordinates()) ==
           ClusterInput::Data;
}

std::vector<ClusterMerge> SingleLinkageOfSpace(const MetricSpace &space) {
    const DistanceRows rows = [&space](int64_t i, int64_t begin, int64_t end, double *out) {
        space.DistancesFrom(i, begin, end, out);
    };
    if (!space.AllWhole()) return ClusterSingleFromRows(space.size(), rows, true);
    PointRows points;
    points.object = [&space](int64_t i) { return space.Object(i); };
    points.keys = [&space](const double *x, const int64_t *objects, int64_t count, double *out) {
        space.KeysAgainst(x, objects, count, out);
    };
    points.distance = [&space](double key) { return space.DistanceOfKey(key); };
    return SingleLinkageTree(space.size(), points, rows, true);
}

std::vector<ClusterMerge> ClusterObjects(const MetricSpace &space, Linkage linkage) {
    const int64_t n = space.size();
    if (n < 2) return {};
    if (ClustersFromData(space, linkage)) {
        if (linkage == Linkage::Single) return SingleLinkageOfSpace(space);
        // Whole objects of a Euclidean space: their cells as read.
        const int64_t m = space.coordinates();
        const std::vector<double> values(space.Object(0), space.Object(0) + n * m);
        return ClusterCoordinates(values, n, m, linkage);
    }
    const MatrixBuffer packed(MetricSpace::PairCount(n));
    if (packed.data() == nullptr) throw MatrixTooLarge{PackedMatrixBytes(n)};
    space.AllDistances(packed.data());
    return ClusterPackedMatrix(packed.data(), n, linkage, space.metric() == Metric::SqEuclidean);
}

std::vector<ClusterMerge> ClusterGivenMatrix(std::vector<double> packed, int64_t n, Linkage linkage) {
    return ClusterPackedMatrix(packed, n, linkage, false);
}
