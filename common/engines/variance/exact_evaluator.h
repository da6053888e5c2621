// The exact evaluator of the variance criterion: varianceBis of one
// cluster's list against many others at once, bit for bit, and the
// criterion the cached engine takes (VarianceCriterion).
#pragma once

#include <cstdint>
#include <cstdlib>

#include "base/parallel.h"
#include "base/utils.h"
#include "engines/cached_engine.h"
#include "kernels/kernels.h"
#include "model/distance_matrix.h"
#include "model/table.h"

namespace variance_engine {

// Candidates are evaluated in chunks small enough for their centroids to
// stay in the first-level cache.
constexpr int32_t kChunk = 256;
// From this many members on, a cluster's distances to a centroid are taken
// together by the vector kernel over the cluster's own block of columns.
constexpr int32_t kWideCluster = 16;

// Plain float loops of the variance evaluation, compiled for each vector
// width and picked at start-up. They hold no fused or reordered arithmetic,
// so every version gives the same bits.
void SingleCentroids(const float *row, const int32_t *slots, int32_t h, float s, const float *totals, float *g, float *c);
void AddColumns(float *c, const float *columns, int32_t lines, const int32_t *list, int32_t count);

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
    // What a chunk's centroids found out about its candidates.
    struct ChunkShape {
        int32_t narrowCount;  // candidates of 2 .. kWideCluster - 1 members, in w.narrow
        bool anyWide;         // a candidate of more than one member
    };

    template <class ViewOf>
    void EvaluateChunk(Scratch &w, ClusterView a, int32_t k0, int32_t h, ViewOf viewOf, float *out) const {
        const ChunkShape shape = ChunkCentroids(w, k0, h, viewOf, a.count);
        SurvivorDistances(w, a, h);
        OwnDistances(w, h, shape);
        for (int32_t k = 0; k < h; ++k) out[k] = w.sums[k] / w.totals[k];
    }

    // Each candidate's view, total and union centroid: cent[line * h + k],
    // and for wider candidates also packed[k * lines + line].
    template <class ViewOf>
    ChunkShape ChunkCentroids(Scratch &w, int32_t k0, int32_t h, ViewOf viewOf, int32_t survivorCount) const {
        const float *sa = survivorSum_.get();
        float *cent = w.centroids.get();  // centroid k at cent[line * h + k]
        float *packed = w.packed.get();   // centroid k at packed[k * lines + line], where needed
        float *gath = w.gathered.get();   // each candidate's first column, laid out like cent
        float *totals = w.totals.get();
        ClusterView *views = w.views.get();
        int32_t *narrow = w.narrow.get();  // lanes of clusters of 2 .. kWideCluster - 1 members
        int32_t narrowCount = 0;
        bool anyWide = false;
        for (int32_t k = 0; k < h; ++k) {
            const ClusterView b = views[k] = viewOf(k0 + k);
            w.slots[k] = b.members[0];
            totals[k] = static_cast<float>(survivorCount + b.count);
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
        return ChunkShape{narrowCount, anyWide};
    }

    // The survivor's members' distances to every candidate's union
    // centroid, in list order, into w.sums.
    void SurvivorDistances(Scratch &w, ClusterView a, int32_t h) const {
        float *cent = w.centroids.get();
        float *packed = w.packed.get();
        float *d = w.distances.get();
        const ClusterView *views = w.views.get();
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
    }

    // Then each candidate's own members' distances, in list order.
    void OwnDistances(Scratch &w, int32_t h, ChunkShape shape) const {
        float *cent = w.centroids.get();
        float *packed = w.packed.get();
        float *gath = w.gathered.get();
        float *d = w.distances.get();
        const ClusterView *views = w.views.get();
        int32_t *narrow = w.narrow.get();
        int32_t narrowCount = shape.narrowCount;
        const bool anyWide = shape.anyWide;
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
    }

    TableData table_;
    int32_t lines_;
    Block<float> columns_;
    Block<float> survivorSum_;
    Scratch scratch_[2];
    TwoWayLoop loop_;
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

}  // namespace variance_engine
