#include "engines/cluster/cluster.h"

#include <cinttypes>
#include <cstdint>

#include "engines/cluster/generic_linkage.h"
#include "engines/cluster/nn_chain.h"
#include "engines/merge_line.h"

namespace {

struct Named {
    const char *name;
    Linkage linkage;
};
constexpr Named kLinkages[] = {{"single", Linkage::Single},     {"complete", Linkage::Complete},
                               {"average", Linkage::Average},   {"weighted", Linkage::Weighted},
                               {"centroid", Linkage::Centroid}, {"median", Linkage::Median},
                               {"ward", Linkage::Ward}};

}  // namespace

std::optional<Linkage> ParseLinkage(std::string_view text) {
    for (const Named &n : kLinkages) {
        if (text == n.name) return n.linkage;
    }
    return std::nullopt;
}

const char *LinkageName(Linkage linkage) {
    for (const Named &n : kLinkages) {
        if (n.linkage == linkage) return n.name;
    }
    return "?";
}

bool NeedsEuclidean(Linkage linkage) {
    return linkage == Linkage::Centroid || linkage == Linkage::Median || linkage == Linkage::Ward;
}

ClusterInput ChooseClusterInput(Linkage linkage, bool euclidean, bool missingCells, bool givenMatrix, int64_t n,
                                int64_t m) {
    if (givenMatrix) return ClusterInput::PackedMatrix;
    if (linkage == Linkage::Single) return n > 0 && n - 1 <= m ? ClusterInput::PackedMatrix : ClusterInput::Data;
    if (n > 0 && n - 1 <= 4 * m) return ClusterInput::PackedMatrix;
    // Centroids of objects with missing cells are not defined: those use the
    // distances (scaled over the coordinates present) and the recurrences.
    if (NeedsEuclidean(linkage) && euclidean && !missingCells) return ClusterInput::Data;
    return ClusterInput::PackedMatrix;
}

uint64_t PackedMatrixBytes(int64_t n) {
    if (n < 2) return 0;
    const unsigned __int128 bytes = static_cast<unsigned __int128>(n) * static_cast<unsigned __int128>(n - 1) / 2 * 8;
    return bytes > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(bytes);
}

std::vector<ClusterMerge> ClusterPackedMatrix(std::vector<double> &packed, int64_t n, Linkage linkage, bool squared) {
    return ClusterPackedMatrix(packed.data(), n, linkage, squared);
}

std::vector<ClusterMerge> ClusterPackedMatrix(double *packed, int64_t n, Linkage linkage, bool squared) {
    if (n < 2) return {};
    if (NeedsEuclidean(linkage) && !squared) {
        const int64_t pairs = n * (n - 1) / 2;
        for (int64_t k = 0; k < pairs; ++k) packed[k] = packed[k] * packed[k];
    }
    switch (linkage) {
        case Linkage::Single:
            return SingleLinkageTree(packed, n);
        case Linkage::Centroid:
        case Linkage::Median:
            return GenericOnMatrix(packed, n, linkage);
        default:
            return ChainOnMatrix(packed, n, linkage);
    }
}

std::vector<ClusterMerge> ClusterSingleFromRows(int64_t n, const DistanceRows &rows, bool twoThreads) {
    return SingleLinkageTree(n, rows, twoThreads);
}

std::vector<ClusterMerge> ClusterCoordinates(const std::vector<double> &values, int64_t n, int64_t m, Linkage linkage) {
    if (n < 2) return {};
    if (linkage == Linkage::Ward) return WardChainOnData(values.data(), n, m);
    return GenericOnData(values.data(), n, m, linkage);
}

bool WriteClusterMerges(std::FILE *out, const std::vector<ClusterMerge> &merges, bool precise) {
    // node[slot]: the merge that last made the slot's cluster, -1 for an object alone.
    std::vector<int64_t> node;
    for (const ClusterMerge &m : merges) {
        const size_t need = static_cast<size_t>(m.larger) + 1;
        if (node.size() < need) node.resize(need, -1);
    }
    int64_t next = 0;
    for (const ClusterMerge &m : merges) {
        char text[64];
        // + 0.0: a negative zero (a minimum of zeros of both signs) is written as 0.
        FormatMergeValue(text, m.value + 0.0, precise ? "%.17g" : "%f");
        WriteMergeLine(out, next, m.larger, node[static_cast<size_t>(m.larger)], m.smaller,
                       node[static_cast<size_t>(m.smaller)], text);
        node[static_cast<size_t>(m.larger)] = next++;
    }
    return !std::ferror(out);
}
