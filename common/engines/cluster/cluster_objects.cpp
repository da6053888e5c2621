#include "engines/cluster/cluster_objects.h"

#include "engines/cluster/cluster.h"
#include "engines/cluster/matrix_buffer.h"

bool ClustersFromData(const MetricSpace &space, Linkage linkage) {
    const bool euclidean = space.metric() == Metric::Euclidean || space.metric() == Metric::SqEuclidean;
    return ChooseClusterInput(linkage, euclidean, space.HasMissingCells(), false, space.size(), space.coordinates()) ==
           ClusterInput::Data;
}

std::vector<ClusterMerge> ClusterObjects(const MetricSpace &space, Linkage linkage) {
    const int64_t n = space.size();
    if (n < 2) return {};
    if (ClustersFromData(space, linkage)) {
        if (linkage == Linkage::Single) {
            const DistanceRows rows = [&space](int64_t i, int64_t begin, int64_t end, double *out) {
                space.DistancesFrom(i, begin, end, out);
            };
            return ClusterSingleFromRows(n, rows, true);
        }
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
