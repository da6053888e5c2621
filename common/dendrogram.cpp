#include "dendrogram.h"

#include <cmath>
#include <cstdlib>

#include "dendrogram_output.h"
#include "kernels.h"
#include "single_linkage.h"
#include "utils.h"

namespace {

// Candidates are evaluated in chunks small enough for their centroids to
// stay in the first-level cache.
constexpr int32_t kChunk = 256;

// Exact varianceBis of one survivor list against many other clusters at
// once. The survivor's partial centroid sum is the same for every other
// cluster, so it is summed once; the distances from the survivor's members to
// the candidates' centroids are computed together by the vector kernel. Every
// value is rounded exactly where varianceBis rounds it.
class VarianceEvaluator {
public:
    explicit VarianceEvaluator(TableData table)
        : lines_(table.lines),
          columns_(static_cast<int64_t>(table.columns) * table.lines),
          survivorSum_(table.lines),
          centroids_(static_cast<int64_t>(table.lines) * kChunk),
          gathered_(static_cast<int64_t>(table.lines) * kChunk),
          distances_(kChunk),
          sums_(kChunk),
          totals_(kChunk) {
        // Column-major copy: column m is columns_[m * lines .. + lines).
        for (int32_t l = 0; l < lines_; ++l)
            for (int32_t m = 0; m < table.columns; ++m)
                columns_[static_cast<int64_t>(m) * lines_ + l] = table.values[static_cast<int64_t>(l) * table.columns + m];
    }

    const float *column(int32_t m) const { return columns_.get() + static_cast<int64_t>(m) * lines_; }

    // out[k] = varianceBis(a, countA, list of candidate k, table); listOf(k)
    // gives candidate k's member list and count.
    template <class ListOf>
    void Evaluate(const int32_t *a, int32_t countA, int32_t candidates, ListOf listOf, float *out) {
        float *sa = survivorSum_.get();
        for (int32_t l = 0; l < lines_; ++l) sa[l] = 0.0f;
        for (int32_t k = 0; k < countA; ++k) {
            const float *c = column(a[k]);
            for (int32_t l = 0; l < lines_; ++l) sa[l] += c[l];
        }
        for (int32_t k0 = 0; k0 < candidates; k0 += kChunk) {
            const int32_t h = candidates - k0 < kChunk ? candidates - k0 : kChunk;
            EvaluateChunk(a, countA, k0, h, listOf, out + k0);
        }
    }

private:
    template <class ListOf>
    void EvaluateChunk(const int32_t *a, int32_t countA, int32_t k0, int32_t h, ListOf listOf, float *out) {
        const float *sa = survivorSum_.get();
        float *cent = centroids_.get();
        float *gath = gathered_.get();
        for (int32_t k = 0; k < h; ++k) {
            int32_t countB;
            const int32_t *b = listOf(k0 + k, countB);
            const int32_t total = countA + countB;
            totals_[k] = total;
            if (countB == 1) {
                const float *c = column(b[0]);
                for (int32_t l = 0; l < lines_; ++l) {
                    const float s = sa[l] + c[l];
                    cent[l * h + k] = static_cast<float>(static_cast<double>(s) / total);
                    gath[l * h + k] = c[l];
                }
            } else {
                for (int32_t l = 0; l < lines_; ++l) {
                    float s = sa[l];
                    for (int32_t m = 0; m < countB; ++m) s += column(b[m])[l];
                    cent[l * h + k] = static_cast<float>(static_cast<double>(s) / total);
                    gath[l * h + k] = 0.0f;
                }
            }
            sums_[k] = 0.0f;
        }
        // Survivor's members first, in list order...
        for (int32_t m = 0; m < countA; ++m) {
            DistancesToColumns(ColumnBlock{cent, h}, lines_, column(a[m]), h, distances_.get());
            for (int32_t k = 0; k < h; ++k) sums_[k] += distances_[k];
        }
        // ...then the candidate's own members.
        PairedDistances(ColumnBlock{cent, h}, ColumnBlock{gath, h}, lines_, h, distances_.get());
        for (int32_t k = 0; k < h; ++k) {
            int32_t countB;
            const int32_t *b = listOf(k0 + k, countB);
            if (countB == 1) {
                sums_[k] += distances_[k];
            } else {
                for (int32_t m = 0; m < countB; ++m) sums_[k] += CentroidDistance(cent + k, h, column(b[m]));
            }
            out[k] = static_cast<float>(static_cast<double>(sums_[k]) / totals_[k]);
        }
    }

    // Distance from the centroid stored with stride h to one column.
    float CentroidDistance(const float *centroid, int32_t h, const float *c) const {
        float sum = 0.0f;
        for (int32_t l = 0; l < lines_; ++l) {
            const float d = centroid[static_cast<int64_t>(l) * h] - c[l];
            sum = static_cast<float>(static_cast<double>(d) * d + sum);
        }
        return static_cast<float>(std::sqrt(static_cast<double>(sum)));
    }

    int32_t lines_;
    Block<float> columns_;
    Block<float> survivorSum_;
    Block<float> centroids_;
    Block<float> gathered_;
    Block<float> distances_;
    Block<float> sums_;
    Block<int32_t> totals_;
};

// The engine's bookkeeping, shared with the criteria: slot h's cluster is
// its single column h while nodeId[h] is -1, else members[h] (clusterSize[h]
// entries, the slot's own column first).
struct Clusters {
    int32_t n;
    const int32_t *identity;  // identity[k] == k: the list of a single column
    unsigned char *removed;
    int32_t *nodeId;
    int32_t *clusterSize;
    int32_t **members;

    const int32_t *list(int32_t slot, int32_t &size) const {
        if (nodeId[slot] == -1) {
            size = 1;
            return identity + slot;
        }
        size = clusterSize[slot];
        return members[slot];
    }
};

// The variance criterion: varianceBis of the survivor's list (first) against
// each other cluster's list.
struct VarianceCriterion {
    TableData table;
    VarianceEvaluator evaluator;

    explicit VarianceCriterion(TableData t) : table(t), evaluator(t) {}

    // Row i: varianceBis([i], [j]) for every j < i.
    void Fill(float *work, const int32_t *identity) {
        for (int32_t i = 1; i < table.columns; ++i) {
            auto single = [&](int32_t k, int32_t &size) {
                size = 1;
                return identity + k;
            };
            evaluator.Evaluate(identity + i, 1, i, single, work + PairIndex(i, 0));
        }
    }

    void Update(const Clusters &c, int32_t i, const int32_t *others, int32_t count, float *out) {
        evaluator.Evaluate(
            c.members[i], c.clusterSize[i], count,
            [&](int32_t k, int32_t &size) { return c.list(others[k], size); }, out);
    }
};

// The minimum-link criterion read straight from the member lists: used for
// matrices holding NaN or negative zero, whose first-pair rule and sign of
// zero a minimum spanning tree cannot reproduce.
struct MinimumLinkCriterion {
    DistanceMatrix matrix;

    void Fill(float *work, const int32_t *) const {
        for (int64_t k = 0; k < PairCount(matrix.count); ++k) work[k] = matrix.values[k];
    }

    void Update(const Clusters &c, int32_t i, const int32_t *others, int32_t count, float *out) const {
        for (int32_t k = 0; k < count; ++k) {
            int32_t size;
            const int32_t *b = c.list(others[k], size);
            out[k] = distanceClassesMin(matrix, c.members[i], c.clusterSize[i], b, size);
        }
    }
};

// Engine with a full working matrix and, per row i, the best pair (i, j < i)
// among live slots: the smallest value in pick order, ties to the largest j.
// A pass picks the best row, ties to the largest i, which is the last pair in
// scan order among the smallest values; only rows touched by the merge are
// rescanned.
template <class Criterion>
void RunCachedEngine(std::FILE *out, int32_t n, Criterion &criterion) {
    float *work = static_cast<float *>(monmalloc(PairCount(n) * static_cast<int64_t>(sizeof(float))));
    Block<int32_t> identity(n);
    for (int32_t k = 0; k < n; ++k) identity[k] = k;
    criterion.Fill(work, identity.get());
    Clusters c{n, identity.get(), static_cast<unsigned char *>(monmalloc(n)),
               static_cast<int32_t *>(monmalloc(static_cast<int64_t>(n) * sizeof(int32_t))),
               static_cast<int32_t *>(monmalloc(static_cast<int64_t>(n) * sizeof(int32_t))),
               static_cast<int32_t **>(monmalloc(static_cast<int64_t>(n) * sizeof(int32_t *)))};
    Block<float> rowBest(n);
    Block<int32_t> rowArg(n);
    Block<int32_t> others(n);
    Block<float> values(n);
    for (int32_t k = 0; k < n; ++k) {
        c.removed[k] = 0;
        c.nodeId[k] = -1;
    }
    auto rescan = [&](int32_t i) {
        const float *row = work + PairIndex(i, 0);
        int32_t arg = -1;
        float best = 0.0f;
        for (int32_t j = 0; j < i; ++j) {
            if (c.removed[j]) continue;
            if (arg < 0 || AtMost(row[j], best)) {
                best = row[j];
                arg = j;
            }
        }
        rowBest[i] = best;
        rowArg[i] = arg;
    };
    if (n > 0) rowArg[0] = -1;
    for (int32_t i = 1; i < n; ++i) rescan(i);

    int32_t nextNode = 0;
    for (int32_t remaining = n; remaining > 1; --remaining) {
        int32_t i = -1;
        for (int32_t r = 1; r < n; ++r)
            if (!c.removed[r] && rowArg[r] >= 0 && (i < 0 || AtMost(rowBest[r], rowBest[i]))) i = r;
        const int32_t j = rowArg[i];
        const float best = rowBest[i];

        WriteMergeLine(out, nextNode, i, c.nodeId[i], j, c.nodeId[j], best);
        if (c.nodeId[i] == -1) {
            c.clusterSize[i] = 1;
            c.members[i] = static_cast<int32_t *>(monmalloc(sizeof(int32_t)));
            c.members[i][0] = i;
        }
        const int32_t newSize = c.clusterSize[i] + (c.nodeId[j] == -1 ? 1 : c.clusterSize[j]);
        c.members[i] =
            static_cast<int32_t *>(monrealloc(c.members[i], static_cast<int64_t>(newSize) * sizeof(int32_t)));
        if (c.nodeId[j] == -1) {
            c.members[i][c.clusterSize[i]] = j;
        } else {
            for (int32_t k = 0; k < c.clusterSize[j]; ++k) c.members[i][c.clusterSize[i] + k] = c.members[j][k];
            std::free(c.members[j]);
        }
        c.nodeId[i] = nextNode++;
        c.removed[j] = 255;
        c.clusterSize[i] = newSize;

        int32_t count = 0;
        for (int32_t h = 0; h < n; ++h)
            if (h != i && !c.removed[h]) others[count++] = h;
        criterion.Update(c, i, others.get(), count, values.get());
        for (int32_t k = 0; k < count; ++k) {
            const int32_t h = others[k];
            work[h < i ? PairIndex(i, h) : PairIndex(h, i)] = values[k];
        }

        rescan(i);
        for (int32_t k = 0; k < count; ++k) {
            const int32_t h = others[k];
            if (h <= j) continue;
            if (h < i) {
                if (rowArg[h] == j) rescan(h);
                continue;
            }
            const float v = work[PairIndex(h, i)];
            if (rowArg[h] == i || rowArg[h] == j) {
                rescan(h);
            } else if (!AtMost(rowBest[h], v) || (AtMost(v, rowBest[h]) && i > rowArg[h])) {
                // Strictly better, or equal and later in the row.
                rowBest[h] = v;
                rowArg[h] = i;
            }
        }
    }
    for (int32_t k = 0; k < n; ++k)
        if (!c.removed[k] && c.nodeId[k] != -1) std::free(c.members[k]);
    std::free(c.members);
    std::free(work);
    std::free(c.removed);
    std::free(c.nodeId);
    std::free(c.clusterSize);
}

bool HasNanOrNegativeZero(DistanceMatrix matrix) {
    for (int64_t k = 0; k < PairCount(matrix.count); ++k) {
        const float v = matrix.values[k];
        if (v != v || (v == 0.0f && std::signbit(v))) return true;
    }
    return false;
}

}  // namespace

void printClassicDendrogram(std::FILE *out, TableData table) {
    VarianceCriterion criterion(table);
    RunCachedEngine(out, table.columns, criterion);
}

void printClassicDendrogram(std::FILE *out, DistanceMatrix matrix) {
    if (HasNanOrNegativeZero(matrix)) {
        MinimumLinkCriterion criterion{matrix};
        RunCachedEngine(out, matrix.count, criterion);
        return;
    }
    WriteSingleLinkage(out, matrix);
}

bool NeedsDistanceMatrix(TableData table) {
    const int64_t cells = static_cast<int64_t>(table.lines) * table.columns;
    for (int64_t k = 0; k < cells; ++k)
        if (!std::isfinite(table.values[k])) return true;
    return false;
}

void printMinimumLinkDendrogram(std::FILE *out, TableData table) {
    if (table.columns > MAX_OBJECTS) SortieProg(ExitMemory);
    if (NeedsDistanceMatrix(table)) {
        const DistanceMatrix matrix = ComputeColumnDistances(table);
        printClassicDendrogram(out, matrix);
        std::free(matrix.values);
        return;
    }
    WriteSingleLinkage(out, table);
}
