#include "reference_engine.h"

#include <cmath>
#include <cstdlib>
#include <functional>

#include "base/utils.h"
#include "engines/minimum_link.h"
#include "engines/variance/variance_engine.h"
#include "model/merge_order.h"

namespace {

// The engine's one variation point: the value of a pair of single columns at
// the start, and of the survivor's members against another cluster's after a
// merge (survivor's list first).
struct VarianceCriterion {
    TableData table;
    float initial(int32_t i, int32_t j, int64_t) const { return varianceBis(&i, 1, &j, 1, table); }
    float operator()(const int32_t *a, int32_t na, const int32_t *b, int32_t nb) const {
        return varianceBis(a, na, b, nb, table);
    }
};

struct MinimumLinkCriterion {
    DistanceMatrix matrix;
    float initial(int32_t, int32_t, int64_t index) const { return matrix.values[index]; }
    float operator()(const int32_t *a, int32_t na, const int32_t *b, int32_t nb) const {
        return distanceClassesMin(matrix, a, na, b, nb);
    }
};

// Order used when no live pair is at most NO_MERGE_LIMIT: numbers ascending,
// NaN after every number. Returns true when v is at most best in that order.
bool AtMostInTotalOrder(float v, float best) { return std::isnan(best) || (!std::isnan(v) && v <= best); }

// Straightforward engine: every pass scans all live pairs, and after a merge
// the survivor's pairs are recomputed from the member lists.
template <class Criterion>
void RunClassicEngine(std::FILE *out, int32_t n, const Criterion &criterion) {
    float *work = static_cast<float *>(monmalloc(PairCount(n) * static_cast<int64_t>(sizeof(float))));
    for (int32_t i = 1; i < n; ++i)
        for (int32_t j = 0; j < i; ++j) work[PairIndex(i, j)] = criterion.initial(i, j, PairIndex(i, j));
    unsigned char *removed = static_cast<unsigned char *>(monmalloc(n));
    int32_t *nodeId = static_cast<int32_t *>(monmalloc(static_cast<int64_t>(n) * sizeof(int32_t)));
    int32_t *clusterSize = static_cast<int32_t *>(monmalloc(static_cast<int64_t>(n) * sizeof(int32_t)));
    int32_t **members = static_cast<int32_t **>(monmalloc(static_cast<int64_t>(n) * sizeof(int32_t *)));
    for (int32_t k = 0; k < n; ++k) {
        removed[k] = 0;
        nodeId[k] = -1;
    }
    int32_t remaining = n;
    int32_t nextNode = 0;
    while (remaining > 1) {
        // Search: the last pair in scan order among the smallest values
        // (largest i, then largest j). If none is at most NO_MERGE_LIMIT,
        // fall back to the smallest under the total order.
        float best = NO_MERGE_LIMIT;
        int32_t bi = 0, bj = 0;
        float fallback = NAN;
        int32_t fi = 0, fj = 0;
        for (int32_t i = 1; i < n; ++i) {
            if (removed[i]) continue;
            const float *row = work + PairIndex(i, 0);
            for (int32_t j = 0; j < i; ++j) {
                if (removed[j]) continue;
                const float v = row[j];
                if (v <= best) {
                    best = v;
                    bi = i;
                    bj = j;
                }
                if (AtMostInTotalOrder(v, fallback)) {
                    fallback = v;
                    fi = i;
                    fj = j;
                }
            }
        }
        if (bi == 0) {
            best = fallback;
            bi = fi;
            bj = fj;
        }
        const int32_t i = bi, j = bj;
        --remaining;
        std::fprintf(out, "%s%ld\t", "NODE", static_cast<long>(nextNode));
        if (nodeId[i] == -1) {
            std::fprintf(out, "%s%ld", "LEAF", static_cast<long>(i));
            clusterSize[i] = 1;
            members[i] = static_cast<int32_t *>(monmalloc(sizeof(int32_t)));
            members[i][0] = i;
        } else {
            std::fprintf(out, "%s%ld", "NODE", static_cast<long>(nodeId[i]));
        }
        nodeId[i] = nextNode++;
        const int32_t newSize = clusterSize[i] + (nodeId[j] == -1 ? 1 : clusterSize[j]);
        members[i] = static_cast<int32_t *>(monrealloc(members[i], static_cast<int64_t>(newSize) * sizeof(int32_t)));
        if (nodeId[j] == -1) {
            std::fprintf(out, "\t%s%ld", "LEAF", static_cast<long>(j));
            members[i][clusterSize[i]] = j;
        } else {
            for (int32_t k = 0; k < clusterSize[j]; ++k) members[i][clusterSize[i] + k] = members[j][k];
            std::free(members[j]);
            std::fprintf(out, "\t%s%ld", "NODE", static_cast<long>(nodeId[j]));
        }
        removed[j] = 255;
        clusterSize[i] = newSize;
        std::fprintf(out, "\t%f\n", static_cast<double>(best));
        // Update the survivor's pairs; pairs not involving i keep their value.
        for (int32_t h = 0; h < n; ++h) {
            if (h == i || removed[h]) continue;
            const int32_t single = h;
            const int32_t *other = nodeId[h] == -1 ? &single : members[h];
            const int32_t otherSize = nodeId[h] == -1 ? 1 : clusterSize[h];
            const float v = criterion(members[i], newSize, other, otherSize);
            work[h < i ? PairIndex(i, h) : PairIndex(h, i)] = v;
        }
    }
    for (int32_t k = 0; k < n; ++k)
        if (!removed[k] && nodeId[k] != -1) std::free(members[k]);
    std::free(members);
    std::free(work);
    std::free(removed);
    std::free(nodeId);
    std::free(clusterSize);
}

}  // namespace

void referenceDendrogram(std::FILE *out, TableData table) {
    RunClassicEngine(out, table.columns, VarianceCriterion{table});
}

void referenceDendrogram(std::FILE *out, DistanceMatrix matrix) {
    RunClassicEngine(out, matrix.count, MinimumLinkCriterion{matrix});
}

std::string CaptureText(const std::function<void(std::FILE *)> &write) {
    char *buffer = nullptr;
    size_t size = 0;
    std::FILE *f = open_memstream(&buffer, &size);
    write(f);
    std::fclose(f);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

namespace {

std::string Capture(const std::function<void(std::FILE *)> &write) { return CaptureText(write); }

}  // namespace

std::string ReferenceVarianceText(TableData table) {
    return Capture([&](std::FILE *f) { referenceDendrogram(f, table); });
}
std::vector<float> ReferenceColumnDistances(TableData table) {
    std::vector<float> values;
    values.reserve(static_cast<size_t>(PairCount(table.columns)));
    for (int32_t i = 1; i < table.columns; ++i)
        for (int32_t j = 0; j < i; ++j) values.push_back(euclidDistByColumn(i, j, table));
    return values;
}

std::string ReferenceMinText(DistanceMatrix matrix) {
    return Capture([&](std::FILE *f) { referenceDendrogram(f, matrix); });
}
std::string EngineVarianceText(TableData table) {
    return Capture([&](std::FILE *f) { printClassicDendrogram(f, table); });
}
std::string EngineMinText(DistanceMatrix matrix) {
    return Capture([&](std::FILE *f) { printClassicDendrogram(f, matrix); });
}
std::string EngineMinTableText(TableData table) {
    return Capture([&](std::FILE *f) { printMinimumLinkDendrogram(f, table); });
}
