#include "dendrogram.h"

#include <cmath>
#include <cstdlib>

#include "dendrogram_output.h"
#include "kernels.h"
#include "parallel.h"
#include "single_linkage.h"
#include "utils.h"

namespace {

// Candidates are evaluated in chunks small enough for their centroids to
// stay in the first-level cache.
constexpr int32_t kChunk = 256;
// From this many members on, a cluster's distances to a centroid are taken
// together by the vector kernel over the cluster's own block of columns.
constexpr int32_t kWideCluster = 16;

// Plain float loops of the variance evaluation, compiled for each kernel
// level. They hold no fused or reordered arithmetic, so every version gives
// the same bits.

// For each single candidate k: its cell g[k] = row[slots[k]], and its
// centroid coordinate (survivor's sum + cell) / total. Dividing two floats in
// float gives the same value as dividing in double and rounding.
void SingleCentroids(const float *row, const int32_t *slots, int32_t h, float survivorSum, const float *totals,
                     float *g, float *c) {
    AtKernelLevel([&]() DENDRO_VECTOR_BODY {
        for (int32_t k = 0; k < h; ++k) g[k] = row[slots[k]];
        for (int32_t k = 0; k < h; ++k) c[k] = (survivorSum + g[k]) / totals[k];
    });
}

// c[line] += cell of each listed column, in list order.
void AddColumns(float *c, const float *columns, int32_t lines, const int32_t *list, int32_t count) {
    AtKernelLevel([&]() DENDRO_VECTOR_BODY {
        for (int32_t m = 0; m < count; ++m) {
            const float *col = columns + static_cast<int64_t>(list[m]) * lines;
            for (int32_t l = 0; l < lines; ++l) c[l] += col[l];
        }
    });
}

// Index of the smallest key.
int32_t SmallestKey(const uint64_t *keys, int32_t n) {
    return AtKernelLevel([&]() DENDRO_VECTOR_BODY {
        uint64_t best = UINT64_MAX;
        int32_t at = 0;
        for (int32_t r = 0; r < n; ++r)
            if (keys[r] < best) {
                best = keys[r];
                at = r;
            }
        return at;
    });
}

// A cluster's member list, and for a wide cluster its columns copied line by
// line (cell (line, t) of member t at block[line * count + t]).
struct ClusterView {
    const int32_t *members;
    int32_t count;
    const float *block;
};

// Exact varianceBis of one survivor cluster against many other clusters at
// once. The survivor's partial centroid sum is the same for every other
// cluster, so it is summed once; the distances are computed by the vector
// kernel, across candidates or across a wide cluster's members. Every sum is
// still taken in list order, and every value is rounded exactly where
// varianceBis rounds it.
class VarianceEvaluator {
private:
    // Working buffers of one thread.
    struct Scratch {
        explicit Scratch(TableData table)
            : centroids(static_cast<int64_t>(table.lines) * kChunk),
              packed(static_cast<int64_t>(table.lines) * kChunk),
              gathered(static_cast<int64_t>(table.lines) * kChunk),
              compactCentroids(static_cast<int64_t>(table.lines) * kChunk),
              distances(table.columns > kChunk ? table.columns : kChunk),
              sums(kChunk),
              totals(kChunk),
              slots(kChunk),
              narrow(kChunk),
              views(kChunk) {}
        Block<float> centroids;         // centroid k at [line * h + k]
        Block<float> packed;            // centroid k at [k * lines + line]
        Block<float> gathered;          // a single candidate's cells, like centroids
        Block<float> compactCentroids;  // the centroids of one round's lanes
        Block<float> distances;
        Block<float> sums;
        Block<float> totals;
        Block<int32_t> slots;
        Block<int32_t> narrow;
        Block<ClusterView> views;
    };

public:
    explicit VarianceEvaluator(TableData table)
        : table_(table),
          lines_(table.lines),
          columns_(static_cast<int64_t>(table.columns) * table.lines),
          survivorSum_(table.lines),
          scratch_{Scratch(table), Scratch(table)} {
        // Column-major copy: column m is columns_[m * lines .. + lines).
        for (int32_t l = 0; l < lines_; ++l)
            for (int32_t m = 0; m < table.columns; ++m)
                columns_[static_cast<int64_t>(m) * lines_ + l] = elementAt(l, m, table);
    }

    int32_t lines() const { return lines_; }
    const float *column(int32_t m) const { return columns_.get() + static_cast<int64_t>(m) * lines_; }

    // out[k] = varianceBis(survivor's list, list of candidate k, table);
    // viewOf(k) gives candidate k's cluster.
    template <class ViewOf>
    void Evaluate(ClusterView a, int32_t candidates, ViewOf viewOf, float *out) {
        float *sa = survivorSum_.get();
        for (int32_t l = 0; l < lines_; ++l) sa[l] = 0.0f;
        AddColumns(sa, columns_.get(), lines_, a.members, a.count);
        // Two threads take every other chunk of candidates each (the larger
        // slots, where the wider clusters gather, are shared out too); every
        // candidate's value is computed alone, so the split changes nothing
        // in the results.
        const int32_t chunks = (candidates + kChunk - 1) / kChunk;
        auto half = [&](int64_t, int64_t, int part) {
            for (int64_t chunk = part; chunk < chunks; chunk += 2) {
                const int32_t k0 = static_cast<int32_t>(chunk) * kChunk;
                const int32_t h = candidates - k0 < kChunk ? candidates - k0 : kChunk;
                EvaluateChunk(scratch_[part], a, k0, h, viewOf, out + k0);
            }
        };
        loop_.Run(chunks, chunks / 2, 2, half);
    }

private:
    template <class ViewOf>
    void EvaluateChunk(Scratch &w, ClusterView a, int32_t k0, int32_t h, ViewOf viewOf, float *out) const {
        const float *sa = survivorSum_.get();
        float *cent = w.centroids.get();  // centroid k at cent[line * h + k]
        float *packed = w.packed.get();   // centroid k at packed[k * lines + line], where needed
        float *gath = w.gathered.get();   // each candidate's first column, laid out like cent
        float *d = w.distances.get();
        float *totals = w.totals.get();
        ClusterView *views = w.views.get();
        int32_t *narrow = w.narrow.get();  // lanes of clusters of 2 .. kWideCluster - 1 members
        int32_t narrowCount = 0;
        bool anyWide = false;
        for (int32_t k = 0; k < h; ++k) {
            const ClusterView b = views[k] = viewOf(k0 + k);
            w.slots[k] = b.members[0];
            totals[k] = static_cast<float>(a.count + b.count);
            anyWide |= b.count > 1;
            if (b.count > 1 && b.block == nullptr) narrow[narrowCount++] = k;
            w.sums[k] = 0.0f;
        }
        // Single candidates: their column's cells, line by line, and the
        // centroid (survivor's sum + the cell) / total. Dividing two floats in
        // float gives the same value as dividing in double and rounding.
        for (int32_t l = 0; l < lines_; ++l) {
            const float *row = table_.values + static_cast<int64_t>(l) * table_.columns;
            SingleCentroids(row, w.slots.get(), h, sa[l], totals, gath + static_cast<int64_t>(l) * h,
                            cent + static_cast<int64_t>(l) * h);
        }
        // Wider candidates: their members' cells added in list order.
        if (anyWide) {
            for (int32_t k = 0; k < h; ++k) {
                if (views[k].count == 1) continue;
                float *c = packed + static_cast<int64_t>(k) * lines_;
                for (int32_t l = 0; l < lines_; ++l) c[l] = sa[l];
                AddColumns(c, columns_.get(), lines_, views[k].members, views[k].count);
                for (int32_t l = 0; l < lines_; ++l) cent[static_cast<int64_t>(l) * h + k] = c[l] = c[l] / totals[k];
            }
        }
        // Across candidates the kernel runs full vectors once the chunk is
        // long; across the survivor's members only pays when they outnumber
        // a short chunk.
        const bool wideSurvivor = a.count >= kWideCluster && a.block != nullptr && h < 64 && a.count > h;
        // The survivor's members first, in list order...
        if (!wideSurvivor) {
            for (int32_t m = 0; m < a.count; ++m) {
                DistancesToColumns(ColumnBlock{cent, h}, lines_, column(a.members[m]), h, d);
                for (int32_t k = 0; k < h; ++k) w.sums[k] += d[k];
            }
        } else {
            for (int32_t k = 0; k < h; ++k) {
                float *c = packed + static_cast<int64_t>(k) * lines_;
                if (views[k].count == 1)
                    for (int32_t l = 0; l < lines_; ++l) c[l] = cent[static_cast<int64_t>(l) * h + k];
                DistancesToColumns(ColumnBlock{a.block, a.count}, lines_, c, a.count, d);
                float s = w.sums[k];
                for (int32_t m = 0; m < a.count; ++m) s += d[m];
                w.sums[k] = s;
            }
        }
        // ...then each candidate's own members in list order: the first
        // member of every candidate together (it is the slot's own column,
        // gathered above)...
        PairedDistances(ColumnBlock{cent, h}, ColumnBlock{gath, h}, lines_, h, d);
        for (int32_t k = 0; k < h; ++k) w.sums[k] += d[k];
        // ...the t-th members of the narrow clusters, round after round, each
        // round's lanes packed together...
        float *centroid = w.compactCentroids.get();
        float *member = gath;
        for (int32_t t = 1; narrowCount > 0; ++t) {
            int32_t lanes = 0;
            for (int32_t x = 0; x < narrowCount; ++x)
                if (views[narrow[x]].count > t) narrow[lanes++] = narrow[x];
            narrowCount = lanes;
            for (int32_t x = 0; x < lanes; ++x) {
                const int32_t k = narrow[x];
                const float *col = column(views[k].members[t]);
                for (int32_t l = 0; l < lines_; ++l) {
                    member[static_cast<int64_t>(l) * lanes + x] = col[l];
                    centroid[static_cast<int64_t>(l) * lanes + x] = cent[static_cast<int64_t>(l) * h + k];
                }
            }
            PairedDistances(ColumnBlock{centroid, lanes}, ColumnBlock{member, lanes}, lines_, lanes, d);
            for (int32_t x = 0; x < lanes; ++x) w.sums[narrow[x]] += d[x];
        }
        // ...and the rest of each wide cluster, across its own columns.
        if (anyWide) {
            for (int32_t k = 0; k < h; ++k) {
                const ClusterView b = views[k];
                if (b.block == nullptr) continue;
                DistancesToColumns(ColumnBlock{b.block + 1, b.count}, lines_, packed + static_cast<int64_t>(k) * lines_,
                                   b.count - 1, d);
                float s = w.sums[k];
                for (int32_t m = 0; m < b.count - 1; ++m) s += d[m];
                w.sums[k] = s;
            }
        }
        for (int32_t k = 0; k < h; ++k) out[k] = w.sums[k] / totals[k];
    }

    TableData table_;
    int32_t lines_;
    Block<float> columns_;
    Block<float> survivorSum_;
    Scratch scratch_[2];
    TwoWayLoop loop_;
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
// each other cluster's list. Wide clusters keep their columns in a block of
// their own, rebuilt when they absorb another cluster.
class VarianceCriterion {
public:
    explicit VarianceCriterion(TableData t)
        : table_(t), evaluator_(t), blocks_(static_cast<float **>(monmalloc(static_cast<int64_t>(t.columns) * sizeof(float *)))) {
        for (int32_t k = 0; k < t.columns; ++k) blocks_[k] = nullptr;
    }
    ~VarianceCriterion() {
        for (int32_t k = 0; k < table_.columns; ++k) std::free(blocks_[k]);
        std::free(blocks_);
    }
    VarianceCriterion(const VarianceCriterion &) = delete;
    VarianceCriterion &operator=(const VarianceCriterion &) = delete;

    // Row i: varianceBis([i], [j]) for every j < i.
    void Fill(float *work, const int32_t *identity) {
        for (int32_t i = 1; i < table_.columns; ++i) {
            auto single = [&](int32_t k) { return ClusterView{identity + k, 1, nullptr}; };
            evaluator_.Evaluate(ClusterView{identity + i, 1, nullptr}, i, single, work + PairIndex(i, 0));
        }
    }

    void Update(const Clusters &c, int32_t i, int32_t j, const int32_t *others, int32_t count, float *out) {
        std::free(blocks_[j]);
        blocks_[j] = nullptr;
        std::free(blocks_[i]);
        blocks_[i] = nullptr;
        const int32_t size = c.clusterSize[i];
        if (size >= kWideCluster) {
            const int32_t lines = evaluator_.lines();
            blocks_[i] = static_cast<float *>(monmalloc(static_cast<int64_t>(lines) * size * sizeof(float)));
            for (int32_t t = 0; t < size; ++t) {
                const float *col = evaluator_.column(c.members[i][t]);
                for (int32_t l = 0; l < lines; ++l) blocks_[i][static_cast<int64_t>(l) * size + t] = col[l];
            }
        }
        auto view = [&](int32_t k) {
            int32_t n;
            const int32_t *list = c.list(others[k], n);
            return ClusterView{list, n, blocks_[others[k]]};
        };
        evaluator_.Evaluate(ClusterView{c.members[i], size, blocks_[i]}, count, view, out);
    }

private:
    TableData table_;
    VarianceEvaluator evaluator_;
    float **blocks_;
};

// The minimum-link criterion read straight from the member lists: used for
// matrices holding a negative zero, whose sign depends on which of several
// equal pairs distanceClassesMin meets first.
struct MinimumLinkCriterion {
    DistanceMatrix matrix;

    void Fill(float *work, const int32_t *) const {
        for (int64_t k = 0; k < PairCount(matrix.count); ++k) work[k] = matrix.values[k];
    }

    void Update(const Clusters &c, int32_t i, int32_t, const int32_t *others, int32_t count, float *out) const {
        for (int32_t k = 0; k < count; ++k) {
            int32_t size;
            const int32_t *b = c.list(others[k], size);
            out[k] = distanceClassesMin(matrix, c.members[i], c.clusterSize[i], b, size);
        }
    }
};

// The minimum-link criterion for matrices holding NaN (and no negative
// zero). distanceClassesMin starts from the pair of the two lists' first
// members, which are the two slots, and only a strictly smaller distance
// replaces it: the result is NaN when the slots' own distance is NaN, and
// otherwise the smallest distance that is not NaN over all member pairs. That
// smallest distance follows the recurrence min(survivor's, absorbed's), kept
// here per pair of slots (NaN standing for "no pair that is a number yet").
class NanMinimumLinkCriterion {
public:
    explicit NanMinimumLinkCriterion(DistanceMatrix matrix)
        : matrix_(matrix), smallest_(static_cast<float *>(monmalloc(PairCount(matrix.count) * static_cast<int64_t>(sizeof(float))))) {
        for (int64_t k = 0; k < PairCount(matrix.count); ++k) smallest_[k] = matrix.values[k];
    }
    ~NanMinimumLinkCriterion() { std::free(smallest_); }
    NanMinimumLinkCriterion(const NanMinimumLinkCriterion &) = delete;
    NanMinimumLinkCriterion &operator=(const NanMinimumLinkCriterion &) = delete;

    void Fill(float *work, const int32_t *) const {
        for (int64_t k = 0; k < PairCount(matrix_.count); ++k) work[k] = matrix_.values[k];
    }

    void Update(const Clusters &, int32_t i, int32_t j, const int32_t *others, int32_t count, float *out) {
        for (int32_t k = 0; k < count; ++k) {
            const int32_t h = others[k];
            float &survivor = smallest_[Index(i, h)];
            const float absorbed = smallest_[Index(j, h)];
            if (survivor != survivor || absorbed < survivor) survivor = absorbed;
            const float slots = matrix_.values[Index(i, h)];
            out[k] = slots != slots ? slots : survivor;
        }
    }

private:
    static int64_t Index(int32_t x, int32_t y) { return x > y ? PairIndex(x, y) : PairIndex(y, x); }

    DistanceMatrix matrix_;
    float *smallest_;
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
    // Row r's best pair as one key: its pick key, then the larger row first.
    // Rows without a live pair (removed, or no live slot below) never win.
    Block<uint64_t> rowKey(n > 0 ? n : 1);
    auto setKey = [&](int32_t r) {
        rowKey[r] = c.removed[r] || rowArg[r] < 0
                        ? UINT64_MAX
                        : (static_cast<uint64_t>(PickKey(rowBest[r])) << 32) | static_cast<uint32_t>(~static_cast<uint32_t>(r));
    };
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
        setKey(i);
    };
    if (n > 0) {
        rowArg[0] = -1;
        setKey(0);
    }
    for (int32_t i = 1; i < n; ++i) rescan(i);

    int32_t nextNode = 0;
    for (int32_t remaining = n; remaining > 1; --remaining) {
        // The smallest value, ties to the largest row: the last pair in scan order.
        const int32_t i = SmallestKey(rowKey.get(), n);
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
        setKey(j);
        c.clusterSize[i] = newSize;

        int32_t count = 0;
        for (int32_t h = 0; h < n; ++h)
            if (h != i && !c.removed[h]) others[count++] = h;
        criterion.Update(c, i, j, others.get(), count, values.get());
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
            const float v = values[k];  // just stored at work[PairIndex(h, i)]
            if (rowArg[h] == i || rowArg[h] == j) {
                rescan(h);
            } else if (!AtMost(rowBest[h], v) || (AtMost(v, rowBest[h]) && i > rowArg[h])) {
                // Strictly better, or equal and later in the row.
                rowBest[h] = v;
                rowArg[h] = i;
                setKey(h);
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

struct MatrixContents {
    bool nan = false;
    bool negativeZero = false;
};

MatrixContents Inspect(DistanceMatrix matrix) {
    MatrixContents found;
    for (int64_t k = 0; k < PairCount(matrix.count); ++k) {
        const float v = matrix.values[k];
        found.nan |= v != v;
        found.negativeZero |= v == 0.0f && std::signbit(v);
    }
    return found;
}

}  // namespace

void printClassicDendrogram(std::FILE *out, TableData table) {
    VarianceCriterion criterion(table);
    RunCachedEngine(out, table.columns, criterion);
}

void printClassicDendrogram(std::FILE *out, DistanceMatrix matrix) {
    // No working matrix of more objects fits the 32-bit byte limit.
    if (matrix.count > MAX_OBJECTS) SortieProg(ExitMemory);
    const MatrixContents contents = Inspect(matrix);
    if (contents.negativeZero) {
        MinimumLinkCriterion criterion{matrix};
        RunCachedEngine(out, matrix.count, criterion);
    } else if (contents.nan) {
        NanMinimumLinkCriterion criterion(matrix);
        RunCachedEngine(out, matrix.count, criterion);
    } else {
        WriteSingleLinkage(out, matrix);
    }
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
