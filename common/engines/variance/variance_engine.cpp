#include "engines/variance/variance_engine.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <vector>

#include "base/parallel.h"
#include "base/progress.h"
#include "base/utils.h"
#include "engines/cached_engine.h"
#include "engines/merge_line.h"
#include "kernels/kernels.h"
#include "kernels/vector_levels.h"
#include "model/merge_order.h"

namespace {

// Candidates are evaluated in chunks small enough for their centroids to
// stay in the first-level cache.
constexpr int32_t kChunk = 256;
// From this many members on, a cluster's distances to a centroid are taken
// together by the vector kernel over the cluster's own block of columns.
constexpr int32_t kWideCluster = 16;

// Plain float loops of the variance evaluation, compiled for each vector
// width and picked at start-up. They hold no fused or reordered arithmetic,
// so every version gives the same bits.

// For each single candidate k: its cell g[k] = row[slots[k]], and its
// centroid coordinate (survivor's sum + cell) / total. Dividing two floats in
// float gives the same value as dividing in double and rounding.
[[gnu::always_inline]] inline void SingleCentroidsLoop(const float *row, const int32_t *slots, int32_t h,
                                                       float survivorSum, const float *totals, float *g, float *c) {
    for (int32_t k = 0; k < h; ++k) g[k] = row[slots[k]];
    for (int32_t k = 0; k < h; ++k) c[k] = (survivorSum + g[k]) / totals[k];
}

// c[line] += cell of each listed column, in list order.
[[gnu::always_inline]] inline void AddColumnsLoop(float *c, const float *columns, int32_t lines, const int32_t *list,
                                                  int32_t count) {
    for (int32_t m = 0; m < count; ++m) {
        const float *col = columns + static_cast<int64_t>(list[m]) * lines;
        for (int32_t l = 0; l < lines; ++l) c[l] += col[l];
    }
}

DENDRO_VECTOR_LEVELS(void, SingleCentroids, SingleCentroidsLoop,
                     (const float *row, const int32_t *slots, int32_t h, float s, const float *totals, float *g,
                      float *c),
                     (row, slots, h, s, totals, g, c))
DENDRO_VECTOR_LEVELS(void, AddColumns, AddColumnsLoop,
                     (float *c, const float *columns, int32_t lines, const int32_t *list, int32_t count),
                     (c, columns, lines, list, count))

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


// Exact varianceBis of one cluster's list (first) against the lists of a
// batch of other clusters, for tables of many lines: every member-to-centroid
// distance is one lane, and the lines are walked in spans short enough for
// the lanes' centroid and member cells to stay in cache, each lane's running
// float sum carried from span to span. Every value is rounded where
// varianceBis rounds it and every sum is taken in its order (the lines of one
// distance, the members of one union), so the bits are those of varianceBis.
constexpr int32_t kSpan = 128;        // lines per span
constexpr int32_t kLaneBlock = 256;   // own-member lanes gathered together
constexpr int32_t kBatchLanes = 4096; // own-member lanes of one batch of candidates
constexpr int32_t kBatchCandidates = 64;

// B lanes, p = 0 ... B - 1, of the loops below, with the lanes' running sums
// held in registers over all the lines: each lane's sum is one chain of
// dependent additions, and B of them go side by side.
template <int B, bool Broadcast>
[[gnu::always_inline]] inline void SpanBlock(const float *__restrict centroid, const float *__restrict member,
                                             int32_t lines, int32_t width, float *__restrict sums) {
    float acc[B];
    for (int p = 0; p < B; ++p) acc[p] = sums[p];
    for (int32_t l = 0; l < lines; ++l) {
        const float *c = centroid + static_cast<int64_t>(l) * width;
        for (int p = 0; p < B; ++p) {
            const float d = c[p] - (Broadcast ? member[l] : member[static_cast<int64_t>(l) * width + p]);
            acc[p] = static_cast<float>(static_cast<double>(d) * d + acc[p]);
        }
    }
    for (int p = 0; p < B; ++p) sums[p] = acc[p];
}

// Lanes 0 ... width - 1 in blocks of 32, 16 and 8, then the rest.
template <bool Broadcast>
[[gnu::always_inline]] inline void SpanLanes(const float *centroid, const float *member, int32_t lines, int32_t width,
                                             float *sums) {
    int32_t p = 0;
    auto at = [&](int32_t q) { return Broadcast ? member : member + q; };
    for (; p + 32 <= width; p += 32) SpanBlock<32, Broadcast>(centroid + p, at(p), lines, width, sums + p);
    if (p + 16 <= width) {
        SpanBlock<16, Broadcast>(centroid + p, at(p), lines, width, sums + p);
        p += 16;
    }
    if (p + 8 <= width) {
        SpanBlock<8, Broadcast>(centroid + p, at(p), lines, width, sums + p);
        p += 8;
    }
    switch (width - p) {
        case 7: SpanBlock<7, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        case 6: SpanBlock<6, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        case 5: SpanBlock<5, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        case 4: SpanBlock<4, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        case 3: SpanBlock<3, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        case 2: SpanBlock<2, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        case 1: SpanBlock<1, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        default: break;
    }
}

// sums[p] takes the squared differences of lane p over `lines` lines:
// centroid cell centroid[l * width + p], member cell member[l * width + p].
[[gnu::always_inline]] inline void SpanLoop(const float *centroid, const float *member, int32_t lines, int32_t width,
                                            float *sums) {
    SpanLanes<false>(centroid, member, lines, width, sums);
}
DENDRO_VECTOR_LEVELS(void, Span, SpanLoop,
                     (const float *c, const float *x, int32_t lines, int32_t width, float *sums),
                     (c, x, lines, width, sums))

// The same with one side broadcast: sums[p] takes the squared differences of
// centroid[l * width + p] and x[l].
[[gnu::always_inline]] inline void SpanBroadcastLoop(const float *centroid, const float *x, int32_t lines,
                                                     int32_t width, float *sums) {
    SpanLanes<true>(centroid, x, lines, width, sums);
}
DENDRO_VECTOR_LEVELS(void, SpanBroadcast, SpanBroadcastLoop,
                     (const float *c, const float *x, int32_t lines, int32_t width, float *sums),
                     (c, x, lines, width, sums))

class SpanEvaluator {
public:
    SpanEvaluator(TableData table, TwoWayLoop &loop)
        : lines_(table.lines),
          columns_(static_cast<int64_t>(table.columns) * table.lines),
          first_(table.lines),
          loop_(loop) {
        for (int32_t l = 0; l < lines_; ++l)
            for (int32_t m = 0; m < table.columns; ++m)
                columns_[static_cast<int64_t>(m) * lines_ + l] = elementAt(l, m, table);
    }

    // out[k] = varianceBis(a, others[k]).
    void Evaluate(const std::vector<int32_t> &a, const std::vector<const std::vector<int32_t> *> &others,
                  float *out) {
        // The first list's part of every centroid sum, in list order.
        std::fill(first_.begin(), first_.end(), 0.0f);
        for (int32_t m : a) AddColumns(first_.data(), Column(m), lines_, &zero_, 1);
        // Batches of candidates; the two threads take alternate batches, and
        // each candidate's value is computed alone, so the split changes
        // nothing in the results.
        batches_.clear();
        const int32_t count = static_cast<int32_t>(others.size());
        const int32_t perBatch = count < 2 * kBatchCandidates ? (count + 1) / 2 : kBatchCandidates;
        for (int32_t k0 = 0; k0 < count;) {
            int32_t k1 = k0;
            int64_t lanes = 0;
            while (k1 < count && k1 - k0 < perBatch &&
                   (k1 == k0 || lanes + static_cast<int64_t>(others[k1]->size()) <= kBatchLanes))
                lanes += static_cast<int64_t>(others[k1++]->size());
            batches_.push_back({k0, k1});
            k0 = k1;
        }
        const int64_t work = static_cast<int64_t>(lines_) * (static_cast<int64_t>(a.size()) + 1) * count;
        auto half = [&](int64_t, int64_t, int part) {
            for (size_t b = part; b < batches_.size(); b += 2)
                Batch(scratch_[part], a, others.data() + batches_[b].first, batches_[b].second - batches_[b].first,
                      out + batches_[b].first);
        };
        const int64_t nb = static_cast<int64_t>(batches_.size());
        loop_.Run(nb, nb / 2, work < 200000 ? nb + 1 : 2, half);
    }

private:
    struct Scratch {
        std::vector<float> sum, totals, firstSums, ownSums, centroids, centroidLanes, memberLanes;
        std::vector<int32_t> laneOf;
        std::vector<const float *> column;
    };

    const float *Column(int32_t m) const { return columns_.get() + static_cast<int64_t>(m) * lines_; }

    void Batch(Scratch &w, const std::vector<int32_t> &a, const std::vector<int32_t> *const *lists, int32_t h,
               float *out) const {
        const int32_t na = static_cast<int32_t>(a.size());
        // Own-member lanes, candidate after candidate, each in list order.
        w.laneOf.clear();
        w.column.clear();
        w.totals.resize(h);
        for (int32_t k = 0; k < h; ++k) {
            w.totals[k] = static_cast<float>(a.size() + lists[k]->size());
            for (int32_t m : *lists[k]) {
                w.laneOf.push_back(k);
                w.column.push_back(Column(m));
            }
        }
        const int32_t lanes = static_cast<int32_t>(w.laneOf.size());
        // Member m of a against candidate k at [m * h + k], or at [k * na + m]
        // when the members are the lanes.
        const bool membersAsLanes = na > h;
        w.firstSums.assign(static_cast<size_t>(na) * h, 0.0f);
        w.ownSums.assign(lanes, 0.0f);
        w.centroids.resize(static_cast<size_t>(kSpan) * h);
        w.centroidLanes.resize(static_cast<size_t>(kSpan) * kLaneBlock);
        w.memberLanes.resize(static_cast<size_t>(kSpan) * kLaneBlock);
        w.sum.resize(kSpan);
        for (int32_t l0 = 0; l0 < lines_; l0 += kSpan) {
            const int32_t span = lines_ - l0 < kSpan ? lines_ - l0 : kSpan;
            // Each candidate's centroid over the span: the first list's sum,
            // then its own members in list order, divided by the total.
            for (int32_t k = 0; k < h; ++k) {
                std::copy(first_.begin() + l0, first_.begin() + l0 + span, w.sum.begin());
                for (int32_t m : *lists[k]) AddColumns(w.sum.data(), Column(m) + l0, span, &zero_, 1);
                for (int32_t l = 0; l < span; ++l)
                    w.centroids[static_cast<size_t>(l) * h + k] = w.sum[l] / w.totals[k];
            }
            // The first list's members against every candidate's centroid:
            // lanes across candidates, or, when the members outnumber them,
            // across the members, whose cells over the span are gathered once.
            if (membersAsLanes) {
                for (int32_t m0 = 0; m0 < na; m0 += kLaneBlock) {
                    const int32_t width = na - m0 < kLaneBlock ? na - m0 : kLaneBlock;
                    for (int32_t l = 0; l < span; ++l) {
                        float *x = w.memberLanes.data() + static_cast<size_t>(l) * width;
                        for (int32_t p = 0; p < width; ++p) x[p] = Column(a[m0 + p])[l0 + l];
                    }
                    for (int32_t k = 0; k < h; ++k) {
                        for (int32_t l = 0; l < span; ++l) w.sum[l] = w.centroids[static_cast<size_t>(l) * h + k];
                        // (x - c) squared is (c - x) squared: rounding is
                        // symmetric.
                        SpanBroadcast(w.memberLanes.data(), w.sum.data(), span, width,
                                      w.firstSums.data() + static_cast<size_t>(k) * na + m0);
                    }
                }
            } else {
                for (int32_t m = 0; m < na; ++m)
                    SpanBroadcast(w.centroids.data(), Column(a[m]) + l0, span, h,
                                  w.firstSums.data() + static_cast<size_t>(m) * h);
            }
            // Each candidate's own members against its centroid.
            for (int32_t p0 = 0; p0 < lanes; p0 += kLaneBlock) {
                const int32_t width = lanes - p0 < kLaneBlock ? lanes - p0 : kLaneBlock;
                for (int32_t l = 0; l < span; ++l) {
                    float *c = w.centroidLanes.data() + static_cast<size_t>(l) * width;
                    float *x = w.memberLanes.data() + static_cast<size_t>(l) * width;
                    const float *row = w.centroids.data() + static_cast<size_t>(l) * h;
                    for (int32_t p = 0; p < width; ++p) {
                        c[p] = row[w.laneOf[p0 + p]];
                        x[p] = w.column[p0 + p][l0 + l];
                    }
                }
                Span(w.centroidLanes.data(), w.memberLanes.data(), span, width, w.ownSums.data() + p0);
            }
        }
        // Distances summed per candidate, the first list's members first,
        // then the mean.
        auto distance = [](float squares) { return static_cast<float>(std::sqrt(static_cast<double>(squares))); };
        for (int32_t p = 0, k = 0; k < h; ++k) {
            float s = 0.0f;
            for (int32_t m = 0; m < na; ++m)
                s += distance(w.firstSums[membersAsLanes ? static_cast<size_t>(k) * na + m : static_cast<size_t>(m) * h + k]);
            for (; p < lanes && w.laneOf[p] == k; ++p) s += distance(w.ownSums[p]);
            out[k] = s / w.totals[k];
        }
    }

    int32_t lines_;
    Block<float> columns_;
    std::vector<float> first_;
    TwoWayLoop &loop_;
    Scratch scratch_[2];
    std::vector<std::pair<int32_t, int32_t>> batches_;
    const int32_t zero_ = 0;
};

// ---------------------------------------------------------------------------
// The lazy engine.
//
// The value of a pair of live clusters is a function of their member lists
// alone: varianceBis of the younger cluster's list (the one formed by the
// later merge; of two single columns, the larger column) followed by the
// older one's. The straightforward engine stores it when the younger cluster
// is formed and never changes it until one of the two absorbs or is absorbed,
// so recomputing it later from the same lists gives the same bits.
//
// Row r holds the pairs (r, y), y < r. Each live row is either exact (its
// smallest value, ties to the largest y, and that y) or stale (a float known
// to be at most the row's smallest value). The next merge is the smallest
// row key (value, then the larger row); a stale row that comes first is
// recomputed and the pick made again. Since every key is at most its row's
// true key, an exact row that comes first holds the smallest pair of all,
// and a stale row of equal value and larger index, which could hold a later
// pair of the same value, is always recomputed before it.
//
// Recomputing a row, and scoring a new cluster against the others, uses
// intervals that hold the exact float value of a pair; a pair is evaluated
// exactly only when its interval does not rule it out. The intervals come
// from the columns' inner products with every live cluster's centroid, kept
// up to date merge by merge (see PairBounds).

// Rounding to float after an operation in double: relative error at most
// kU (2^-24, with room for the earlier rounding to double), absolute error
// at most kTau in the subnormal range.
constexpr double kU = 0x1p-24 * (1.0 + 0x1p-20);
constexpr double kTau = 0x1p-150;
// Unit roundoff of double.
constexpr double kUd = 0x1p-53;

double Gamma(double k) { return k * kU / (1.0 - k * kU); }

// The integer order of the largest float at most v: v rounded, less one
// where the rounding went up (a subtraction, not a branch: it goes either
// way about as often).
uint32_t OrderDown(double v) {
    const float f = static_cast<float>(v);
    return FloatOrder(f) - static_cast<uint32_t>(static_cast<double>(f) > v);
}

// Largest float at most v.
float FloatDown(double v) { return OrderFloat(OrderDown(v)); }

// A pair's place in the order of interval starts as one integer: a float at
// most the start, in its integer order, then the partner.
uint64_t OrderKey(double start, int32_t y) {
    return (static_cast<uint64_t>(OrderDown(start)) << 32) | static_cast<uint32_t>(y);
}

// Sorts OrderKeys by their float, a byte at a time (a byte that every key
// shares is skipped); keys of the same float keep their order.
void SortKeys(std::vector<uint64_t> &keys, std::vector<uint64_t> &spare) {
    const size_t n = keys.size();
    if (n < 2) return;
    spare.resize(n);
    uint32_t counts[4][256] = {};
    for (const uint64_t key : keys)
        for (int pass = 0; pass < 4; ++pass) ++counts[pass][(key >> (32 + 8 * pass)) & 255];
    for (int pass = 0; pass < 4; ++pass) {
        const int shift = 32 + 8 * pass;
        uint32_t *count = counts[pass];
        if (count[(keys[0] >> shift) & 255] == n) continue;
        uint32_t sum = 0;
        for (int b = 0; b < 256; ++b) {
            const uint32_t c = count[b];
            count[b] = sum;
            sum += c;
        }
        for (const uint64_t key : keys) spare[count[(key >> shift) & 255]++] = key;
        keys.swap(spare);
    }
}

// The float of an OrderKey: at most the pair's start.
double OrderValue(uint64_t key) { return OrderFloat(static_cast<uint32_t>(key >> 32)); }

// Gram matrix of the centred columns, in double: g[a * n + b] = <x_a, x_b>.
// Blocked over lines and columns; the order of the additions is free, since
// only the bounds use it and they allow for any order.
constexpr int kGramLines = 1024;
constexpr int kGramGroup = 64;

[[gnu::always_inline]] inline void GramTileLoop(const float *const *a, const float *const *b, int32_t lines,
                                                double out[4][4]) {
    double acc[4][4][8] = {};
    int32_t l = 0;
    for (; l + 8 <= lines; l += 8) {
        double va[4][8], vb[4][8];
        for (int p = 0; p < 4; ++p)
            for (int k = 0; k < 8; ++k) va[p][k] = a[p][l + k];
        for (int q = 0; q < 4; ++q)
            for (int k = 0; k < 8; ++k) vb[q][k] = b[q][l + k];
        for (int p = 0; p < 4; ++p)
            for (int q = 0; q < 4; ++q)
                for (int k = 0; k < 8; ++k) acc[p][q][k] += va[p][k] * vb[q][k];
    }
    for (int p = 0; p < 4; ++p)
        for (int q = 0; q < 4; ++q) {
            double s = 0.0;
            for (int k = 0; k < 8; ++k) s += acc[p][q][k];
            for (int32_t m = l; m < lines; ++m) s += static_cast<double>(a[p][m]) * b[q][m];
            out[p][q] = s;
        }
}
DENDRO_VECTOR_LEVELS(void, GramTile, GramTileLoop,
                     (const float *const *a, const float *const *b, int32_t lines, double out[4][4]),
                     (a, b, lines, out))

// columns: n columns of `lines` floats each, column k at columns[k * lines].
void ComputeGram(const float *columns, int32_t n, int32_t lines, double *g, TwoWayLoop &loop) {
    std::fill(g, g + static_cast<int64_t>(n) * n, 0.0);
    const int32_t tiles = (n + 3) / 4;
    const int32_t groups = (tiles * 4 + kGramGroup - 1) / kGramGroup;
    auto column = [&](int32_t k, int32_t l0) {
        return columns + static_cast<int64_t>(k < n ? k : n - 1) * lines + l0;
    };
    for (int32_t l0 = 0; l0 < lines; l0 += kGramLines) {
        const int32_t chunk = lines - l0 < kGramLines ? lines - l0 : kGramLines;
        auto half = [&](int64_t, int64_t, int part) {
            for (int32_t group = part; group < groups; group += 2) {
                const int32_t firstTile = group * (kGramGroup / 4);
                const int32_t lastTile = std::min(tiles, firstTile + kGramGroup / 4);
                for (int32_t tb = 0; tb < lastTile; ++tb) {
                    const float *b[4];
                    for (int q = 0; q < 4; ++q) b[q] = column(tb * 4 + q, l0);
                    for (int32_t ta = std::max(firstTile, tb); ta < lastTile; ++ta) {
                        const float *a[4];
                        for (int p = 0; p < 4; ++p) a[p] = column(ta * 4 + p, l0);
                        double out[4][4];
                        GramTile(a, b, chunk, out);
                        for (int p = 0; p < 4; ++p)
                            for (int q = 0; q < 4; ++q) {
                                const int32_t x = ta * 4 + p, y = tb * 4 + q;
                                if (x < n && y < n && y <= x) g[static_cast<int64_t>(x) * n + y] += out[p][q];
                            }
                    }
                }
            }
        };
        loop.Run(groups, groups / 2, 2, half);
    }
    for (int32_t x = 0; x < n; ++x)
        for (int32_t y = 0; y < x; ++y) g[static_cast<int64_t>(y) * n + x] = g[static_cast<int64_t>(x) * n + y];
}

// sum over the listed members m of sqrt(max(0, |x_m|^2 - 2 (a <x_m, c_A> +
// b <x_m, c_B>) + |c|^2)): the estimated distances of the members to the
// union's centroid. Eight partial sums, so the loop vectorises; only bounds
// use it, and they allow for any order of the additions.
[[gnu::always_inline]] inline double RootSumLoop(const int32_t *__restrict list, int32_t count,
                                                 const double *__restrict self, const double *__restrict ra,
                                                 const double *__restrict rb, double a, double b, double cc) {
    constexpr int32_t kBlock = 256;
    double q[kBlock];
    double lanes[8] = {};
    double s = 0.0;
    for (int32_t k0 = 0; k0 < count; k0 += kBlock) {
        const int32_t size = count - k0 < kBlock ? count - k0 : kBlock;
        for (int32_t k = 0; k < size; ++k) {
            const int32_t m = list[k0 + k];
            const double v = self[m] - 2.0 * (a * ra[m] + b * rb[m]) + cc;
            q[k] = v > 0.0 ? v : 0.0;
        }
        int32_t k = 0;
        for (; k + 8 <= size; k += 8)
            for (int t = 0; t < 8; ++t) lanes[t] += std::sqrt(q[k + t]);
        for (; k < size; ++k) s += std::sqrt(q[k]);
    }
    for (int t = 0; t < 8; ++t) s += lanes[t];
    return s;
}
DENDRO_VECTOR_LEVELS(double, RootSum, RootSumLoop,
                     (const int32_t *list, int32_t count, const double *self, const double *ra, const double *rb,
                      double a, double b, double cc),
                     (list, count, self, ra, rb, a, b, cc))

// Bounds on the float value of a pair, computed from inner products.
//
// Notation: N members (the union of A and B), L lines, c the exact centroid
// of the union, D_k the exact distance of member k to c, V = (1/N) sum D_k
// the exact criterion. varianceBis computes, with every rounding of the
// text, a float V~; the bounds below hold V~, for any order of the members.
//
// (1) The centroid. Each coordinate is a running float sum of N cells, then
//     divided by N: |c~_l - c_l| <= gamma(N+1) * A_l + 2 tau, where A_l is the
//     mean of |cell| on line l over the members (recursive summation;
//     gamma(k) = k u / (1 - k u)). Since A = (1/N) sum |x_k| elementwise,
//     |A| <= (1/N) sum |x_k|, so e_c = |c~ - c| <= gamma(N+1) P / N +
//     2 tau sqrt(L), with P the sum of the members' norms (raw cells).
// (2) One distance. The rounded differences have norm within a factor
//     (1 +- u) of |c~ - x_k|, up to tau sqrt(L); their squares, summed in L
//     rounded steps, stay within (1 +- gamma(L)), up to L tau; the square
//     root and its rounding add a factor (1 +- u) and tau. So the float
//     distance d~_k lies in [k_lo (D_k - e_c) - alpha, k_hi (D_k + e_c) +
//     alpha], k_lo = (1-u)^2 sqrt(1-gamma(L)), k_hi = (1+u)^2
//     sqrt(1+gamma(L)), alpha = (1+u) sqrt(1+gamma(L)) (tau sqrt(L) +
//     sqrt((1+gamma(L)) L tau)) + tau (the absolute terms grow with the
//     sum and the square root like the rest).
// (3) The mean. N rounded additions of non-negative terms and one rounded
//     division: V~ >= (1-u)((1-gamma(N)) (k_lo (V - e_c) - alpha) - tau) -
//     tau, and V~ <= (1+u)((1+gamma(N)) (k_hi (V + e_c) + alpha) + tau) + tau.
//
// It remains to bound V. The columns are centred first (each line less its
// mean over all columns, in double, rounded to float): V does not move under
// a translation, and the rounding moves each centred column by at most
// u |x'| + tau sqrt(L), so every D_k, and V, by at most twice the largest
// such move (omega). On the centred columns x' (inner products exact in
// double but for their sums), with a = |A| / N, b = |B| / N:
//     c = a c_A + b c_B,  |c|^2 = a^2 |c_A|^2 + 2ab <c_A, c_B> + b^2 |c_B|^2,
//     D_k^2 = |x_k|^2 - 2 (a <x_k, c_A> + b <x_k, c_B>) + |c|^2,
// from the table ip[Y][x] = <x, c_Y> over every column x and live cluster Y.
// A cluster's row is the size-weighted mean of its two parts' rows.
// Every inner product is at most G^2 in size (G the largest centred norm,
// as every centroid is a mean of columns): the Gram sums err by at most
// L u_d G^2, each merge's weighted mean adds 3 u_d G^2 to the error of the
// rows it mixes, and a cluster's row has been through fewer merges than it
// has members. The sums and products above add (n + 40) u_d G^2 in all, so
// D_k^2 is known to within e_q = (4 (L + 3n) + n + 40) u_d G^2 (with 1% to
// spare); so is the squared distance of two centroids, |c_A|^2 + |c_B|^2 -
// 2 <c_A, c_B>, whose four inner products and averages err by at most
// (4 L + 11 n) u_d G^2 together. Hence D_k lies in [sqrt(max(0, D^_k^2 -
// e_q)), sqrt(D^_k^2 + e_q)], and the mean of these is within sqrt(e_q) of
// the mean of sqrt(max(0, D^_k^2)), the square root being subadditive.
//
// A cheaper interval needs no member: with D the distance of the two
// centroids and V_A, V_B the clusters' own criteria (mean distance of their
// members to their own centroid), the triangle inequality gives
//     V >= J = 2 |A| |B| D / N^2,   V >= M - J,   V <= M + J,
// M = (|A| V_A + |B| V_B) / N: the members of A pull c towards c_A by
// (|B| / N) D at most, and their displacements sum to |A| (c_A - c). V_A
// and V_B hold for the raw cells and D for the centred ones; the two D
// differ by at most omega, and J takes at most half of that (|A||B|/N^2 is
// at most 1/4), so subtracting omega once covers both.
//
// The arithmetic of the bounds themselves, in double, is covered by the
// relative margins 2^-40 and (N + 4) u_d added last, and where a subtraction
// cancels (the interval's start less e_c, M less J) or the lines are many
// (the raw norms, summed in double), by the slack left above: gamma(N + 1)
// where gamma(N) would do in e_c, and the 1% in omega. The bounds hold only
// for finite cells small enough that no float sum can overflow (every
// cell at most 1e12 in size) and for N u, L u well below 1: other tables use
// the engine that evaluates every pair exactly.
// The rounding of varianceBis, as margins between the exact criterion of a
// union of `total` members (P the sum of their raw norms) and its float
// value; see the derivation above.
class FloatMargins {
public:
    explicit FloatMargins(int32_t lines)
        : rootLines_(std::sqrt(static_cast<double>(lines))),
          alpha_((1.0 + kU) * std::sqrt(1.0 + Gamma(lines)) *
                     (kTau * rootLines_ + std::sqrt((1.0 + Gamma(lines)) * lines * kTau)) +
                 kTau),
          kLow_((1.0 - kU) * (1.0 - kU) * std::sqrt(1.0 - Gamma(lines))),
          kHigh_((1.0 + kU) * (1.0 + kU) * std::sqrt(1.0 + Gamma(lines))) {}

    // [low, high] holds the float value when [realLow, realHigh] holds the
    // exact criterion.
    void ToFloat(double total, double normSum, double realLow, double realHigh, double &low, double &high) const {
        const double ec = Centroid(total, normSum), gn = Gamma(total);
        low = (1.0 - kU) * ((1.0 - gn) * (kLow_ * (realLow - ec) - alpha_) - kTau) - kTau;
        high = (1.0 + kU) * ((1.0 + gn) * (kHigh_ * (realHigh + ec) + alpha_) + kTau) + kTau;
        low -= std::fabs(low) * 0x1p-40;
        high += std::fabs(high) * 0x1p-40;
    }

    // The converse: [realLow, realHigh] holds the exact criterion of a union
    // whose float value is v (both maps above are increasing).
    void FromFloat(double total, double normSum, double v, double &realLow, double &realHigh) const {
        const double ec = Centroid(total, normSum), gn = Gamma(total);
        realHigh = ((((v + kTau) / (1.0 - kU) + kTau) / (1.0 - gn) + alpha_) / kLow_ + ec) * (1.0 + 0x1p-40);
        realLow = ((((v - kTau) / (1.0 + kU) - kTau) / (1.0 + gn) - alpha_) / kHigh_ - ec);
        realLow = std::max(0.0, realLow - std::fabs(realLow) * 0x1p-40);
    }

    double alpha() const { return alpha_; }
    double kLow() const { return kLow_; }
    double kHigh() const { return kHigh_; }
    double centroidFloor() const { return 2.0 * kTau * rootLines_; }

private:
    // e_c, the distance of the float centroid from the exact one.
    double Centroid(double total, double normSum) const {
        return Gamma(total + 1.0) * normSum / total + 2.0 * kTau * rootLines_;
    }

    double rootLines_, alpha_, kLow_, kHigh_;
};

// The cheap interval (see above) of a fixed cluster x against many others
// at once, from the squared distance d2[k] of the two centroids, known to
// within e2 (and the distance then to within e1): the same arithmetic as
// FloatMargins::ToFloat, laid out so that it vectorises.
struct CheapFixed {
    double size, ownLow, ownHigh, normSum;  // of cluster x
    double e2, e1, omega;
    double alpha, kLow, kHigh, centroidFloor;
};

[[gnu::always_inline]] inline void CheapLoop(const CheapFixed &fixed, int32_t count, const double *__restrict d2,
                                             const double *__restrict size, const double *__restrict ownLow,
                                             const double *__restrict ownHigh, const double *__restrict normSum,
                                             double *__restrict low, double *__restrict high) {
    const CheapFixed f = fixed;
    for (int32_t k = 0; k < count; ++k) {
        const double sb = size[k], total = f.size + sb;
        const double w = 2.0 * f.size * sb / (total * total);
        const double down = d2[k] - f.e2, up = d2[k] + f.e2;
        const double dLow = std::max(0.0, std::sqrt(down > 0.0 ? down : 0.0) - f.e1);
        const double dHigh = std::sqrt(up > 0.0 ? up : 0.0) + f.e1;
        const double mLow = (f.size * f.ownLow + sb * ownLow[k]) / total;
        const double mHigh = (f.size * f.ownHigh + sb * ownHigh[k]) / total;
        const double realLow = std::max(w * dLow, mLow - w * dHigh) * (1.0 - 16.0 * kUd) - f.omega;
        const double realHigh = (mHigh + w * dHigh) * (1.0 + 16.0 * kUd) + f.omega;
        const double gn = total * kU / (1.0 - total * kU);
        const double gn1 = (total + 1.0) * kU / (1.0 - (total + 1.0) * kU);
        const double ec = gn1 * (f.normSum + normSum[k]) / total + f.centroidFloor;
        const double lo = (1.0 - kU) * ((1.0 - gn) * (f.kLow * (realLow - ec) - f.alpha) - kTau) - kTau;
        const double hi = (1.0 + kU) * ((1.0 + gn) * (f.kHigh * (realHigh + ec) + f.alpha) + kTau) + kTau;
        low[k] = lo - std::fabs(lo) * 0x1p-40;
        high[k] = hi + std::fabs(hi) * 0x1p-40;
    }
}
DENDRO_VECTOR_LEVELS(void, CheapMany, CheapLoop,
                     (const CheapFixed &f, int32_t count, const double *d2, const double *size, const double *ownLow,
                      const double *ownHigh, const double *normSum, double *low, double *high),
                     (f, count, d2, size, ownLow, ownHigh, normSum, low, high))

// Squared distances of one centroid to a range of others, stored line by
// line (coordinate l of centroid y at c[l * stride + y]).
[[gnu::always_inline]] inline void SquaresLoop(const float *__restrict c, int64_t stride, int32_t lines,
                                               const double *__restrict x, int32_t begin, int32_t end,
                                               double *__restrict d2) {
    // In tiles, so that a tile's sums stay in the first-level cache over all
    // the lines.
    for (int32_t tile = begin; tile < end; tile += 512) {
        const int32_t last = end - tile < 512 ? end : tile + 512;
        for (int32_t y = tile; y < last; ++y) d2[y] = 0.0;
        for (int32_t l = 0; l < lines; ++l) {
            const float *row = c + l * stride;
            const double v = x[l];
            for (int32_t y = tile; y < last; ++y) {
                const double d = row[y] - v;
                d2[y] += d * d;
            }
        }
    }
}
DENDRO_VECTOR_LEVELS(void, Squares, SquaresLoop,
                     (const float *c, int64_t stride, int32_t lines, const double *x, int32_t begin, int32_t end,
                      double *d2),
                     (c, stride, lines, x, begin, end, d2))

// Sum over `count` columns, stored one after another, of their distance to
// a double point, each squared distance in eight partial sums so that it
// vectorises; only bounds use it, and they allow for any order of the
// additions.
[[gnu::always_inline]] inline double DistanceSumLoop(const float *__restrict cells, int32_t lines, int32_t count,
                                                     const double *__restrict c) {
    double sum = 0.0;
    for (int32_t k = 0; k < count; ++k) {
        const float *v = cells + static_cast<int64_t>(k) * lines;
        double lanes[8] = {};
        int32_t l = 0;
        for (; l + 8 <= lines; l += 8)
            for (int t = 0; t < 8; ++t) {
                const double d = v[l + t] - c[l + t];
                lanes[t] += d * d;
            }
        for (; l < lines; ++l) lanes[0] += (v[l] - c[l]) * (v[l] - c[l]);
        const double q = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
        sum += std::sqrt(q);
    }
    return sum;
}
DENDRO_VECTOR_LEVELS(double, DistanceSum, DistanceSumLoop,
                     (const float *cells, int32_t lines, int32_t count, const double *c), (cells, lines, count, c))

// Distances of a block of `members` columns, stored one after another, to
// `count` double points at once (coordinate l of point k at
// points[l * count + k]): sums[k] += the distance of each column to point k,
// the columns in block order, each squared distance summed over the lines
// in order. Only bounds use it.
[[gnu::always_inline]] inline void ToPointsLoop(const float *__restrict cells, int32_t lines, int32_t members,
                                                const double *__restrict points, int32_t count,
                                                double *__restrict d2, double *__restrict sums) {
    for (int32_t m = 0; m < members; ++m) {
        const float *v = cells + static_cast<int64_t>(m) * lines;
        for (int32_t k = 0; k < count; ++k) d2[k] = 0.0;
        for (int32_t l = 0; l < lines; ++l) {
            const double x = v[l];
            const double *row = points + static_cast<int64_t>(l) * count;
            for (int32_t k = 0; k < count; ++k) {
                const double d = x - row[k];
                d2[k] += d * d;
            }
        }
        for (int32_t k = 0; k < count; ++k) sums[k] += std::sqrt(d2[k]);
    }
}
DENDRO_VECTOR_LEVELS(void, ToPoints, ToPointsLoop,
                     (const float *cells, int32_t lines, int32_t members, const double *points, int32_t count,
                      double *d2, double *sums),
                     (cells, lines, members, points, count, d2, sums))

// The table's columns centred (each line less its mean over all columns, in
// double, rounded to float), column after column, with what the bounds need
// to know of them: their raw norms, the largest centred norm G and the
// largest centred cell, and omega, twice the most the rounding of the
// centring moves a column.
struct CentredColumns {
    explicit CentredColumns(TableData table)
        : lines(table.lines), cells(static_cast<int64_t>(table.columns) * table.lines), raw(table.columns, 0.0) {
        const int32_t n = table.columns;
        std::vector<double> mean(lines, 0.0);
        for (int32_t l = 0; l < lines; ++l) {
            const float *row = table.values + static_cast<int64_t>(l) * n;
            double s = 0.0;
            for (int32_t x = 0; x < n; ++x) s += row[x];
            mean[l] = s / n;
        }
        std::vector<double> squares(n, 0.0);
        for (int32_t l = 0; l < lines; ++l) {
            const float *row = table.values + static_cast<int64_t>(l) * n;
            for (int32_t x = 0; x < n; ++x) {
                const float v = static_cast<float>(row[x] - mean[l]);
                cells[static_cast<int64_t>(x) * lines + l] = v;
                raw[x] += static_cast<double>(row[x]) * row[x];
                squares[x] += static_cast<double>(v) * v;
                largestCell = std::max(largestCell, static_cast<double>(std::fabs(v)));
            }
        }
        for (int32_t x = 0; x < n; ++x) {
            raw[x] = std::sqrt(raw[x]) * (1.0 + 0x1p-40);
            largestNorm = std::max(largestNorm, std::sqrt(squares[x]));
        }
        largestNorm *= 1.0 + 2.0 * lines * kUd + 0x1p-30;
        omega = 2.0 * (kU * (1.0 + kU) * largestNorm + kTau * std::sqrt(static_cast<double>(lines))) * 1.01;
    }
    const float *Column(int32_t x) const { return cells.data() + static_cast<int64_t>(x) * lines; }

    int32_t lines;
    std::vector<float> cells;
    std::vector<double> raw;
    double largestNorm = 0.0, largestCell = 0.0, omega = 0.0;
};

// Intervals from the clusters' centroids, kept in double, for tables of
// many columns and few lines (no table of inner products). A centroid is the
// weighted mean of its two parts' centroids: each merge moves a coordinate
// by at most 3 u_d times the largest centred cell from its exact value, so
// after at most n merges a centroid is within 3 n u_d sqrt(L) times that
// cell; a distance computed from it in double errs by at most (L + 4) u_d of
// twice G more. The scans read the centroids rounded to float: that moves
// each by at most u times its norm, at most G. A cluster's own criterion
// comes from its merge value through the margins' converse.
class CentroidBounds {
public:
    CentroidBounds(TableData table, TwoWayLoop &)
        : n_(table.columns),
          lines_(table.lines),
          columns_(table),
          margins_(table.lines),
          centroid_(static_cast<int64_t>(n_) * lines_),
          lineMajor_(static_cast<int64_t>(n_) * lines_),
          squares_(n_),
          normSum_(columns_.raw),
          ownLow_(n_, 0.0),
          ownHigh_(n_, 0.0),
          block_(n_) {
        for (int32_t y = 0; y < n_; ++y) block_[y].assign(columns_.Column(y), columns_.Column(y) + lines_);
        for (int64_t k = 0; k < static_cast<int64_t>(centroid_.size()); ++k) centroid_[k] = columns_.cells[k];
        std::vector<float>().swap(columns_.cells);
        for (int32_t y = 0; y < n_; ++y)
            for (int32_t l = 0; l < lines_; ++l)
                lineMajor_[static_cast<int64_t>(l) * n_ + y] = static_cast<float>(Centroid(y)[l]);
        const double root = std::sqrt(static_cast<double>(lines_));
        drift_ = ((3.0 * n_ + 3.0) * root * columns_.largestCell + 2.0 * (lines_ + 4.0) * columns_.largestNorm) *
                 kUd * 1.01;
        copy_ = kU * (columns_.largestNorm + drift_) * 1.01;
    }

    void Merge(int32_t into, int32_t intoSize, int32_t from, int32_t fromSize, const std::vector<int32_t> &,
               float value) {
        double *a = Centroid(into);
        const double *b = Centroid(from);
        const double total = static_cast<double>(intoSize) + fromSize;
        for (int32_t l = 0; l < lines_; ++l) {
            a[l] = (intoSize * a[l] + fromSize * b[l]) / total;
            lineMajor_[static_cast<int64_t>(l) * n_ + into] = static_cast<float>(a[l]);
        }
        normSum_[into] += normSum_[from];
        margins_.FromFloat(total, normSum_[into], value, ownLow_[into], ownHigh_[into]);
        // The larger block takes the smaller one's columns: each column is
        // copied at most log2(n) times in all.
        if (block_[from].size() > block_[into].size()) block_[into].swap(block_[from]);
        block_[into].insert(block_[into].end(), block_[from].begin(), block_[from].end());
        std::vector<float>().swap(block_[from]);
    }


    // The work of refining pairs of `members` members in all.
    int64_t FineWork(int64_t members) const { return members * lines_; }

    // The fine intervals of the pairs (x, ys[k]), k < count, narrowing
    // low[y] and high[y]: each member's distance to the union's centroid,
    // summed. x's block is read once for a group of partners, its distances
    // to their union centroids taken side by side.
    void FineMany(int32_t x, const std::vector<int32_t> &mx, const int32_t *ys, int64_t count,
                  const std::vector<std::vector<int32_t>> &members, double *low, double *high) const {
        constexpr int32_t kGroup = 64, kAhead = 6;
        thread_local std::vector<double> lineMajor, points, d2, sums;
        lineMajor.resize(static_cast<size_t>(lines_) * kGroup);
        points.resize(static_cast<size_t>(lines_) * kGroup);
        d2.resize(kGroup);
        sums.resize(kGroup);
        const double sa = static_cast<double>(mx.size());
        const double *cx = Centroid(x);
        for (int64_t k0 = 0; k0 < count; k0 += kGroup) {
            const int32_t g = static_cast<int32_t>(std::min<int64_t>(kGroup, count - k0));
            // The partners lie anywhere: their centroids and blocks are
            // asked for ahead.
            for (int32_t k = 0; k < g && k < kAhead; ++k) Prefetch(ys[k0 + k]);
            for (int32_t k = 0; k < g; ++k) {
                const int32_t y = ys[k0 + k];
                if (k + kAhead < g) Prefetch(ys[k0 + k + kAhead]);
                const double sb = static_cast<double>(members[y].size()), total = sa + sb;
                const double a = sa / total, b = sb / total;
                const double *cy = Centroid(y);
                double *point = points.data() + static_cast<int64_t>(k) * lines_;
                for (int32_t l = 0; l < lines_; ++l) {
                    point[l] = a * cx[l] + b * cy[l];
                    lineMajor[static_cast<int64_t>(l) * g + k] = point[l];
                }
                sums[k] = 0.0;
            }
            ToPoints(block_[x].data(), lines_, static_cast<int32_t>(mx.size()), lineMajor.data(), g, d2.data(),
                     sums.data());
            for (int32_t k = 0; k < g; ++k) {
                const int32_t y = ys[k0 + k];
                const double sb = static_cast<double>(members[y].size()), total = sa + sb;
                const double sum = sums[k] + DistanceSum(block_[y].data(), lines_, static_cast<int32_t>(sb),
                                                         points.data() + static_cast<int64_t>(k) * lines_);
                const double mean = sum / total;
                const double realLow = mean * (1.0 - (total + 4.0) * 2.0 * kUd) - drift_ - columns_.omega;
                const double realHigh = mean * (1.0 + (total + 4.0) * 2.0 * kUd) + drift_ + columns_.omega;
                double fineLow, fineHigh;
                margins_.ToFloat(total, normSum_[x] + normSum_[y], realLow, realHigh, fineLow, fineHigh);
                low[y] = std::max(low[y], fineLow);
                high[y] = std::min(high[y], fineHigh);
            }
        }
    }

    // Cheap(x, y) for every y in [begin, end): low[y], high[y] (anything for
    // clusters that are not live).
    void CheapRange(int32_t x, const std::vector<int32_t> &mx, int32_t begin, int32_t end, const double *sizes,
                    const std::vector<std::vector<int32_t>> &, const unsigned char *, double *low, double *high) {
        const double size = static_cast<double>(mx.size());
        Squares(lineMajor_.data(), n_, lines_, Centroid(x), begin, end, squares_.data());
        const CheapFixed f{size,     ownLow_[x],       ownHigh_[x],     normSum_[x],       0.0,
                           2.0 * drift_ + copy_, columns_.omega, margins_.alpha(), margins_.kLow(), margins_.kHigh(),
                           margins_.centroidFloor()};
        CheapMany(f, end - begin, squares_.data() + begin, sizes + begin, ownLow_.data() + begin,
                  ownHigh_.data() + begin, normSum_.data() + begin, low + begin, high + begin);
    }

private:
    // Asks for the first lines of cluster y's centroid and block.
    void Prefetch(int32_t y) const {
        const char *c = reinterpret_cast<const char *>(Centroid(y));
        const char *b = reinterpret_cast<const char *>(block_[y].data());
        for (int at = 0; at < 256; at += 64) {
            __builtin_prefetch(c + at);
            __builtin_prefetch(b + at);
        }
    }
    double *Centroid(int32_t x) { return centroid_.data() + static_cast<int64_t>(x) * lines_; }
    const double *Centroid(int32_t x) const { return centroid_.data() + static_cast<int64_t>(x) * lines_; }

    int32_t n_, lines_;
    CentredColumns columns_;
    FloatMargins margins_;
    std::vector<double> centroid_;   // centroid x at [x * lines + l]
    std::vector<float> lineMajor_;   // the same rounded to float, at [l * n + x]
    std::vector<double> squares_;
    std::vector<double> normSum_;
    std::vector<double> ownLow_, ownHigh_;
    // Each cluster's members' centred columns, one after another, in any
    // order: the refinement reads them in one stream.
    std::vector<std::vector<float>> block_;
    double drift_ = 0.0, copy_ = 0.0;
};

class PairBounds {
public:
    PairBounds(TableData table, TwoWayLoop &loop)
        : n_(table.columns),
          lines_(table.lines),
          margins_(table.lines),
          ip_(static_cast<int64_t>(n_) * n_),
          self_(n_),
          squares_(n_) {
        const CentredColumns columns(table);
        ComputeGram(columns.cells.data(), n_, lines_, ip_.data(), loop);
        for (int32_t x = 0; x < n_; ++x) self_[x] = ip_[static_cast<int64_t>(x) * n_ + x];
        // G bounds every centred norm, the Gram sums' error allowed for.
        const double g = columns.largestNorm;
        const double g2 = g * g * (1.0 + 0x1p-40);
        eq_ = (4.0 * (lines_ + 3.0 * n_) + n_ + 40.0) * kUd * g2 * 1.01;
        rootEq_ = std::sqrt(eq_) * (1.0 + 0x1p-40);
        omega_ = columns.omega;
        normSum_ = columns.raw;
        // Initially cluster x is the single column x: ip[x][.] is row x of
        // the Gram matrix, its centroid's squared norm its own.
        centroidSquare_ = self_;
        ownLow_.assign(n_, 0.0);
        ownHigh_.assign(n_, 0.0);
    }

    // True when the bounds hold for this table.
    static bool Applies(TableData table) {
        const int64_t cells = static_cast<int64_t>(table.lines) * table.columns;
        for (int64_t k = 0; k < cells; ++k)
            if (!(std::fabs(table.values[k]) <= 1.0e12f)) return false;
        return table.lines * kU < 1.0e-2 && table.columns * kU < 1.0e-2;
    }

    // Cluster `into` (members `list`, `intoSize` of them before the merge)
    // absorbs cluster `from`.
    void Merge(int32_t into, int32_t intoSize, int32_t from, int32_t fromSize, const std::vector<int32_t> &list,
               float) {
        double *a = Row(into);
        const double *b = Row(from);
        const double total = static_cast<double>(intoSize) + fromSize;
        for (int32_t x = 0; x < n_; ++x) a[x] = (intoSize * a[x] + fromSize * b[x]) / total;
        double s = 0.0;
        for (int32_t x : list) s += a[x];
        centroidSquare_[into] = s / total;
        normSum_[into] += normSum_[from];
        // The new cluster's own criterion, from its members alone.
        double low = 0.0, high = 0.0;
        for (int32_t x : list) {
            const double q = self_[x] - 2.0 * a[x] + centroidSquare_[into];
            low += std::sqrt(std::max(0.0, q - eq_));
            high += std::sqrt(std::max(0.0, q + eq_));
        }
        ownLow_[into] = std::max(0.0, low / total * (1.0 - (total + 4.0) * 2.0 * kUd) - omega_);
        ownHigh_[into] = high / total * (1.0 + (total + 4.0) * 2.0 * kUd) + omega_;
    }


    // Interval of the float value of the pair from every member's distance.
    void Fine(int32_t x, const std::vector<int32_t> &mx, int32_t y, const std::vector<int32_t> &my, double &low,
              double &high) const {
        const double sa = static_cast<double>(mx.size()), sb = static_cast<double>(my.size()), total = sa + sb;
        const double a = sa / total, b = sb / total;
        const double cross = Cross(x, mx, y, my);
        const double cc = a * a * centroidSquare_[x] + 2.0 * a * b * cross + b * b * centroidSquare_[y];
        const double *rx = Row(x), *ry = Row(y);
        // Each D_k^2 is within e_q of its estimate q, so D_k is within
        // sqrt(e_q) of sqrt(max(0, q)) (the square root is subadditive).
        const double roots = RootSum(mx.data(), static_cast<int32_t>(mx.size()), self_.data(), rx, ry, a, b, cc) +
                             RootSum(my.data(), static_cast<int32_t>(my.size()), self_.data(), rx, ry, a, b, cc);
        const double mean = roots / total;
        const double realLow = mean * (1.0 - (total + 4.0) * 2.0 * kUd) - rootEq_ - omega_;
        const double realHigh = (mean + rootEq_) * (1.0 + (total + 4.0) * 2.0 * kUd) + omega_;
        ToFloat(x, y, total, realLow, realHigh, low, high);
    }

    // The work of refining pairs of `members` members in all: each member
    // costs a few gathered inner products and a square root, about what 64
    // subtractions cost.
    static int64_t FineWork(int64_t members) { return 64 * members; }

    // Fine for the pairs (x, ys[k]), k < count, narrowing low[y] and high[y].
    void FineMany(int32_t x, const std::vector<int32_t> &mx, const int32_t *ys, int64_t count,
                  const std::vector<std::vector<int32_t>> &members, double *low, double *high) const {
        for (int64_t k = 0; k < count; ++k) {
            const int32_t y = ys[k];
            double fineLow, fineHigh;
            Fine(x, mx, y, members[y], fineLow, fineHigh);
            low[y] = std::max(low[y], fineLow);
            high[y] = std::min(high[y], fineHigh);
        }
    }

    // Cheap(x, y) for every y in [begin, end): low[y], high[y] (anything for
    // clusters that are not live).
    void CheapRange(int32_t x, const std::vector<int32_t> &mx, int32_t begin, int32_t end, const double *sizes,
                    const std::vector<std::vector<int32_t>> &members, const unsigned char *live, double *low,
                    double *high) {
        for (int32_t y = begin; y < end; ++y)
            squares_[y] = live[y] ? centroidSquare_[x] + centroidSquare_[y] - 2.0 * Cross(x, mx, y, members[y]) : 0.0;
        const CheapFixed f{static_cast<double>(mx.size()), ownLow_[x], ownHigh_[x], normSum_[x], eq_, 0.0, omega_,
                           margins_.alpha(), margins_.kLow(), margins_.kHigh(), margins_.centroidFloor()};
        CheapMany(f, end - begin, squares_.data() + begin, sizes + begin, ownLow_.data() + begin,
                  ownHigh_.data() + begin, normSum_.data() + begin, low + begin, high + begin);
    }

private:
    double *Row(int32_t y) { return ip_.data() + static_cast<int64_t>(y) * n_; }
    const double *Row(int32_t y) const { return ip_.data() + static_cast<int64_t>(y) * n_; }

    // <c_x, c_y>, summed over the smaller list.
    double Cross(int32_t x, const std::vector<int32_t> &mx, int32_t y, const std::vector<int32_t> &my) const {
        const bool xSmaller = mx.size() <= my.size();
        const double *row = Row(xSmaller ? y : x);
        const std::vector<int32_t> &list = xSmaller ? mx : my;
        // Four partial sums, so that the loads overlap; the bounds allow for
        // any order of the additions.
        const int32_t *m = list.data();
        const size_t count = list.size();
        double s[4] = {};
        size_t k = 0;
        for (; k + 4 <= count; k += 4)
            for (int t = 0; t < 4; ++t) s[t] += row[m[k + t]];
        for (; k < count; ++k) s[0] += row[m[k]];
        return ((s[0] + s[1]) + (s[2] + s[3])) / static_cast<double>(count);
    }

    void ToFloat(int32_t x, int32_t y, double total, double realLow, double realHigh, double &low,
                 double &high) const {
        margins_.ToFloat(total, normSum_[x] + normSum_[y], realLow, realHigh, low, high);
    }

    int32_t n_, lines_;
    FloatMargins margins_;
    std::vector<double> ip_;              // ip_[y * n + x] = <x, c_y>, centred
    std::vector<double> self_;            // |x|^2, centred
    std::vector<double> centroidSquare_;  // |c_y|^2, centred
    std::vector<double> normSum_;         // sum of the members' raw norms
    std::vector<double> ownLow_, ownHigh_;  // the cluster's own exact criterion
    double eq_ = 0.0, rootEq_ = 0.0, omega_ = 0.0;
    std::vector<double> squares_;
};

// Tables of fewer lines, up to this many columns, keep the working matrix.
constexpr int32_t kFewLines = 48;
constexpr int32_t kFewLinesColumns = 16384;

// Pairs kept on each row's shortlist: a longer list settles more rows from
// it, but every full scan refines the list's pairs too. With many lines the
// intervals crowd, and a scan refines more than that anyway.
size_t ShortlistLength(int32_t lines) { return lines >= kFewLines ? 64 : 32; }

// A row's pairs are refined in runs of this many at first, doubling up to
// the second.
constexpr size_t kFirstRefineRun = 8;
constexpr size_t kRefineRun = 64;
// Refinements of less work than this (FineWork: about one unit per
// subtraction) stay on one thread.
constexpr int64_t kHandOverWork = 1 << 16;

template <class Bounds>
class LazyVarianceEngine {
public:
    explicit LazyVarianceEngine(TableData table)
        : n_(table.columns),
          shortlist_(ShortlistLength(table.lines)),
          bounds_(table, loop_),
          evaluator_(table, loop_),
          members_(n_),
          nodeId_(n_, -1),
          live_(n_, 1),
          exact_(n_, 0),
          value_(n_, -INFINITY),
          arg_(n_, -1),
          key_(n_ > 0 ? n_ : 1, UINT64_MAX),
          low_(n_),
          high_(n_),
          list_(n_),
          floor_(n_, INFINITY),
          listed_(n_, 0),
          size_(n_, 1.0),
          version_(n_, 0),
          popped_(n_, 0) {
        for (int32_t k = 0; k < n_; ++k) {
            members_[k].assign(1, k);
            SetKey(k);
        }
        if (n_ > 0) MarkEmpty(0);
    }

    void Run(std::FILE *out) {
        int32_t nextNode = 0;
        ProgressStart("merging", n_ - 1);
        for (int32_t remaining = n_; remaining > 1;) {
            ProgressAdvance(nextNode);
            const int32_t i = SmallestKey(key_.data(), n_);
            if (!exact_[i]) {
                Recompute(i);
                continue;
            }
            const int32_t j = arg_[i];
            WriteMergeLine(out, nextNode, i, nodeId_[i], j, nodeId_[j], value_[i]);
            const int32_t sizeI = static_cast<int32_t>(members_[i].size());
            const int32_t sizeJ = static_cast<int32_t>(members_[j].size());
            members_[i].insert(members_[i].end(), members_[j].begin(), members_[j].end());
            std::vector<int32_t>().swap(members_[j]);
            bounds_.Merge(i, sizeI, j, sizeJ, members_[i], value_[i]);
            nodeId_[i] = nextNode++;
            size_[i] = static_cast<double>(members_[i].size());
            ++version_[i];
            ++version_[j];
            live_[j] = 0;
            key_[j] = UINT64_MAX;
            --remaining;
            AfterMerge(i, j);
        }
    }

private:
    void SetKey(int32_t r) {
        key_[r] = !live_[r] || (exact_[r] && arg_[r] < 0)
                      ? UINT64_MAX
                      : RowKey(value_[r], r);
    }
    void MarkEmpty(int32_t r) {
        exact_[r] = 1;
        arg_[r] = -1;
        SetKey(r);
    }
    // Row r may now hold a value as small as `bound`.
    void Lower(int32_t r, float bound) {
        if (bound < value_[r]) value_[r] = bound;
        exact_[r] = 0;
        SetKey(r);
    }

    // The younger cluster was formed by the later merge (node numbers grow);
    // of two single columns (node -1), the larger column.
    bool Younger(int32_t x, int32_t y) const { return nodeId_[x] != nodeId_[y] ? nodeId_[x] > nodeId_[y] : x > y; }

    // Exact values of the pairs (x, ys[k]), each with the younger list first.
    void Exact(int32_t x, const std::vector<int32_t> &ys, std::vector<float> &out) {
        out.resize(ys.size());
        older_.clear();
        olderAt_.clear();
        for (size_t k = 0; k < ys.size(); ++k) {
            if (Younger(x, ys[k])) {
                older_.push_back(&members_[ys[k]]);
                olderAt_.push_back(static_cast<int32_t>(k));
            } else {
                one_.assign(1, &members_[x]);
                evaluator_.Evaluate(members_[ys[k]], one_, &out[k]);
            }
        }
        if (older_.empty()) return;
        batch_.resize(older_.size());
        evaluator_.Evaluate(members_[x], older_, batch_.data());
        for (size_t k = 0; k < older_.size(); ++k) out[olderAt_[k]] = batch_[k];
    }

    // Row r's shortlist: the pairs with the lowest intervals at its last
    // full scan, kept up to date as clusters merge (an entry whose partner
    // has merged since is void: the pair is gone, or it is a new pair that
    // enters when its interval starts below the floor); every live pair of
    // the row outside it has a value of at least the floor.
    struct Entry {
        double low, high;
        int32_t y;
        int32_t version;  // the partner's merge count when listed
    };

    bool Valid(const Entry &e) const { return live_[e.y] && version_[e.y] == e.version; }

    // Drops the void entries of row r.
    void Prune(int32_t r) {
        std::vector<Entry> &list = list_[r];
        size_t kept = 0;
        for (const Entry &e : list)
            if (Valid(e)) list[kept++] = e;
        list.resize(kept);
    }

    void Enlist(int32_t r, int32_t y, double low, double high) {
        if (!listed_[r] || low >= floor_[r]) return;
        std::vector<Entry> &list = list_[r];
        if (list.size() == shortlist_) Prune(r);
        if (list.size() == shortlist_) {
            size_t top = 0;
            for (size_t k = 1; k < list.size(); ++k)
                if (list[k].low > list[top].low) top = k;
            // The one left out is no smaller than its interval's start.
            floor_[r] = std::min(floor_[r], list[top].low);
            if (low >= floor_[r]) return;
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(top));
        }
        list.push_back({low, high, y, version_[y]});
    }

    // Exact values of the given candidates of row r, lowest interval first,
    // until the next interval starts above the best value found. Returns
    // whether one was found; ties go to the largest y.
    bool BestOf(int32_t r, std::vector<std::pair<double, int32_t>> &candidates, double ceiling, float &best,
                int32_t &bestY) {
        std::sort(candidates.begin(), candidates.end());
        evaluated_.clear();
        bool found = false;
        for (size_t at = 0; at < candidates.size();) {
            if (found && candidates[at].first > best) break;
            const double limit = found ? static_cast<double>(best) : ceiling;
            ys_.clear();
            for (; at < candidates.size() && ys_.size() < kChunk && candidates[at].first <= limit; ++at) {
                const int32_t y = candidates[at].second;
                const auto known = std::find_if(known_.begin(), known_.end(), [y](const auto &k) { return k.first == y; });
                if (known != known_.end()) {
                    evaluated_.push_back(*known);
                } else {
                    ys_.push_back(y);
                }
            }
            Exact(r, ys_, values_);
            for (size_t k = 0; k < ys_.size(); ++k) evaluated_.push_back({ys_[k], values_[k]});
            if (evaluated_.empty()) break;
            for (const auto &[y, v] : evaluated_) {
                if (!found || v < best || (v == best && y > bestY)) {
                    found = true;
                    best = v;
                    bestY = y;
                }
            }
        }
        return found;
    }

    // Makes row r exact: its smallest value over the live y < r, ties to the
    // largest y. From the shortlist when its best is below the floor (no pair
    // outside can then reach or tie it); otherwise from every pair: pairs
    // whose interval starts above the smallest upper end cannot be smallest,
    // the others are evaluated exactly, lowest interval first, until the next
    // interval starts above the best exact value.
    void Recompute(int32_t r) {
        float best = 0.0f;
        int32_t bestY = -1;
        // Exact values of this row's pairs known from its shortlist.
        known_.clear();
        if (listed_[r]) Prune(r);
        if (listed_[r] && !list_[r].empty()) {
            for (const Entry &e : list_[r])
                if (e.low == e.high) known_.push_back({e.y, static_cast<float>(e.low)});
            double ceiling = floor_[r];
            for (const Entry &e : list_[r]) ceiling = std::min(ceiling, e.high);
            candidates_.clear();
            for (const Entry &e : list_[r])
                if (e.low <= ceiling) candidates_.push_back({e.low, e.y});
            if (BestOf(r, candidates_, ceiling, best, bestY) && best < floor_[r]) {
                Pin(r);
                Settle(r, best, bestY);
                return;
            }
            known_ = evaluated_;
        }
        // Every pair's cheap interval, and on each thread the lowest upper
        // end of its part and the pairs that start at most there.
        ScanRow(r);
        double ceiling = std::min(scan_[0].ceiling, scan_[1].ceiling);
        for (const auto &[y, v] : known_) {
            low_[y] = high_[y] = v;
            ceiling = std::min(ceiling, static_cast<double>(v));
        }
        // Refine the lowest intervals first: each refined upper end lowers
        // the ceiling, which rules out the rest sooner; go on until the
        // lowest starts, one more than the shortlist holds, are refined
        // too. `order_` holds, sorted, the pairs whose interval starts at
        // most at `upTo`; `outside` is the lowest start of the others.
        ++stamp_;
        double outside = std::min(scan_[0].outside, scan_[1].outside);
        auto place = [&](int32_t y, double upTo) {
            if (low_[y] <= upTo) {
                order_.push_back(OrderKey(low_[y], y));
            } else {
                outside = std::min(outside, low_[y]);
            }
        };
        order_.clear();
        for (const Scan &part : scan_)
            for (int32_t y : part.near) place(y, ceiling);
        SortKeys(order_, spare_);
        size_t at = 0;  // order_[at] is the lowest start not taken
        // Every pair not taken yet, when `order_` runs short.
        auto fill = [&](double upTo) {
            order_.clear();
            outside = INFINITY;
            for (int32_t y = 0; y < r; ++y)
                if (live_[y] && popped_[y] != stamp_) place(y, upTo);
            SortKeys(order_, spare_);
            at = 0;
        };
        candidates_.clear();
        top_.clear();
        // The pairs are taken in runs, refined on both threads, then gone
        // through one by one in order. A run may take pairs beyond where the
        // row would have stopped; they are only known better. The runs grow
        // from short ones, so a row that stops early refines few pairs it
        // needs not.
        size_t run = kFirstRefineRun;
        for (;;) {
            const double front = at < order_.size() ? OrderValue(order_[at]) : INFINITY;
            const double next = std::min(front, outside);
            const bool full = top_.size() == shortlist_ + 1;
            if (next == INFINITY || (next > ceiling && full && !(next < top_.back().first))) break;
            if (front > outside) {
                fill(full ? std::max(ceiling, top_.back().first) : INFINITY);
                continue;
            }
            taken_.clear();
            while (taken_.size() < run && at < order_.size() && OrderValue(order_[at]) <= outside) {
                const int32_t y = static_cast<int32_t>(order_[at++] & 0xffffffffu);
                taken_.push_back({low_[y], y});
            }
            run = std::min(2 * run, kRefineRun);
            toRefine_.clear();
            for (const auto &[cheapLow, y] : taken_)
                if (high_[y] > cheapLow) toRefine_.push_back(y);
            Refine(r, toRefine_);
            for (const auto &[cheapLow, y] : taken_) {
                const bool needed = cheapLow <= ceiling;
                popped_[y] = stamp_;
                // Refined or not, the pair's upper end bounds the row.
                ceiling = std::min(ceiling, high_[y]);
                if (needed) candidates_.push_back({low_[y], y});
                const double low = low_[y];
                if (top_.size() == shortlist_ + 1 && !(low < top_.back().first)) continue;
                if (top_.size() == shortlist_ + 1) top_.pop_back();
                size_t slot = top_.size();
                top_.push_back({low, y});
                for (; slot > 0 && low < top_[slot - 1].first; --slot) top_[slot] = top_[slot - 1];
                top_[slot] = {low, y};
            }
        }
        list_[r].clear();
        listed_[r] = 1;
        // Every pair off the list starts at the lowest refined start left
        // off it, the next in `order_` or `outside` at least.
        floor_[r] = top_.size() == shortlist_ + 1 ? top_.back().first : INFINITY;
        if (at < order_.size()) floor_[r] = std::min(floor_[r], OrderValue(order_[at]));
        floor_[r] = std::min(floor_[r], outside);
        for (size_t k = 0; k < top_.size() && k < shortlist_; ++k) {
            const int32_t y = top_[k].second;
            list_[r].push_back({low_[y], high_[y], y, version_[y]});
        }
        {
            size_t kept = 0;
            for (const auto &c : candidates_)
                if (c.first <= ceiling) candidates_[kept++] = c;
            candidates_.resize(kept);
        }
        if (!BestOf(r, candidates_, ceiling, best, bestY)) {
            MarkEmpty(r);
            return;
        }
        Pin(r);
        Settle(r, best, bestY);
    }

    // The shortlisted pairs just evaluated are known exactly now.
    void Pin(int32_t r) {
        for (Entry &e : list_[r])
            for (const auto &[y, v] : evaluated_)
                if (y == e.y) {
                    e.low = e.high = v;
                    break;
                }
    }

    // Row r's cheap intervals (dead pairs get empty ones, [inf, inf]), and
    // for each thread's part the lowest upper end, the pairs that start at
    // most there, and the lowest start of the others.
    struct Scan {
        double ceiling = INFINITY, outside = INFINITY;
        std::vector<int32_t> near;
    };
    void ScanRow(int32_t r) {
        auto part = [&](int64_t b64, int64_t e64, int p) {
            const int32_t b = static_cast<int32_t>(b64), e = static_cast<int32_t>(e64);
            Scan &scan = scan_[p];
            scan.near.clear();
            scan.ceiling = scan.outside = INFINITY;
            if (b >= e) return;
            bounds_.CheapRange(r, members_[r], b, e, size_.data(), members_, live_.data(), low_.data(), high_.data());
            double *low = low_.data(), *high = high_.data();
            const unsigned char *live = live_.data();
            double ceiling = INFINITY;
            for (int32_t y = b; y < e; ++y) {
                const double l = live[y] ? low[y] : INFINITY, h = live[y] ? high[y] : INFINITY;
                low[y] = l;
                high[y] = h;
                ceiling = std::min(ceiling, h);
            }
            double outside = INFINITY;
            for (int32_t y = b; y < e; ++y) {
                if (low[y] <= ceiling) {
                    scan.near.push_back(y);
                } else {
                    outside = std::min(outside, low[y]);
                }
            }
            scan.ceiling = ceiling;
            scan.outside = outside;
        };
        loop_.Run(r, r / 2, 4096, part);
    }

    // The fine intervals of the pairs (x, y), y in ys, on both threads.
    void Refine(int32_t x, const std::vector<int32_t> &ys) {
        auto part = [&](int64_t begin, int64_t end, int) {
            bounds_.FineMany(x, members_[x], ys.data() + begin, end - begin, members_, low_.data(), high_.data());
        };
        const int64_t count = static_cast<int64_t>(ys.size());
        // A short run costs less than handing half of it over.
        int64_t work = count * static_cast<int64_t>(members_[x].size());
        for (int32_t y : ys) work += static_cast<int64_t>(members_[y].size());
        loop_.Run(count, count / 2, bounds_.FineWork(work) >= kHandOverWork ? 2 : INT64_MAX, part);
    }

    // The cheap intervals of (x, y) for y in [begin, end), on both threads.
    void CheapRange(int32_t x, int32_t begin, int32_t end) {
        auto part = [&](int64_t b, int64_t e, int) {
            if (b < begin) b = begin;
            if (b >= e) return;
            bounds_.CheapRange(x, members_[x], static_cast<int32_t>(b), static_cast<int32_t>(e), size_.data(),
                               members_, live_.data(), low_.data(), high_.data());
        };
        loop_.Run(end, begin + (end - begin) / 2, 4096, part);
    }

    void Settle(int32_t r, float best, int32_t bestY) {
        value_[r] = best;
        arg_[r] = bestY;
        exact_[r] = 1;
        SetKey(r);
    }

    // Cluster i has absorbed cluster j: row i is recomputed; every row above
    // i holds a new pair with i and has lost its pair with j; rows below i
    // have lost their pair with j.
    void AfterMerge(int32_t i, int32_t j) {
        listed_[i] = 0;
        list_[j].clear();
        Recompute(i);
        CheapRange(i, i + 1, n_);
        // The cheap intervals that reach their row's value, or that enter
        // its shortlist, are refined, on both threads: a shortlist of cheap
        // intervals would hold a floor too low to settle the row from.
        // The rows' states follow no pattern: the loops below test them
        // without branching, and branch once on the outcome, which is
        // mostly the same.
        refine_.clear();
        for (int32_t h = i + 1; h < n_; ++h) {
            const bool reaches = (low_[h] < value_[h]) | ((listed_[h] != 0) & (low_[h] < floor_[h]));
            if ((live_[h] != 0) & reaches & (high_[h] > low_[h])) refine_.push_back(h);
        }
        Refine(i, refine_);
        // The rows below i have lost their pair with j; the remaining pairs
        // of a row are unchanged and were no smaller than the lost one.
        for (int32_t h = 0; h < i; ++h)
            if (arg_[h] == j && live_[h] && exact_[h]) Lower(h, value_[h]);
        ys_.clear();
        for (int32_t h = i + 1; h < n_; ++h) {
            const double low = low_[h], high = high_[h], value = value_[h];
            const bool exact = exact_[h] != 0;
            // Nothing to do for an exact row whose best pair stays and that
            // the new pair neither reaches nor enters the shortlist of, nor
            // for a stale row whose value is at most `low` (lowering it to
            // `low` would change nothing) and whose shortlist it does not
            // enter.
            const bool act = (live_[h] != 0) &
                             ((exact & ((arg_[h] == i) | (arg_[h] == j))) | (low < value) | (exact & (low == value)) |
                              ((listed_[h] != 0) & !(low >= floor_[h])));
            if (!act) continue;
            const bool needsValue = exact && arg_[h] != i && arg_[h] != j;
            Enlist(h, i, low, high);
            if (needsValue) {
                if (low <= value_[h]) ys_.push_back(h);
            } else {
                // A stale row, or an exact row whose best pair changed: the
                // old value bounds the unchanged pairs, `low` the new one.
                Lower(h, FloatDown(low));
            }
        }
        if (ys_.empty()) return;
        const std::vector<int32_t> rows = ys_;
        Exact(i, rows, values_);
        for (size_t k = 0; k < rows.size(); ++k) {
            const int32_t h = rows[k];
            const float v = values_[k];
            for (Entry &e : list_[h])
                if (e.y == i && Valid(e)) e.low = e.high = v;
            if (v < value_[h] || (v == value_[h] && i > arg_[h])) {
                value_[h] = v;
                arg_[h] = i;
                SetKey(h);
            }
        }
    }

    int32_t n_;
    size_t shortlist_;
    TwoWayLoop loop_;
    // The bounds first: the copy of the table they are set up from is gone
    // before the evaluator makes its own.
    Bounds bounds_;
    SpanEvaluator evaluator_;
    std::vector<std::vector<int32_t>> members_;
    std::vector<int32_t> nodeId_;
    std::vector<unsigned char> live_, exact_;
    std::vector<float> value_;
    std::vector<int32_t> arg_;
    std::vector<uint64_t> key_;
    std::vector<double> low_, high_;
    std::vector<std::pair<double, int32_t>> candidates_, top_;
    std::vector<uint64_t> order_, spare_;
    std::vector<std::vector<Entry>> list_;
    std::vector<double> floor_;
    std::vector<unsigned char> listed_;
    std::vector<double> size_;
    std::vector<int32_t> version_;
    std::vector<uint32_t> popped_;
    Scan scan_[2];
    uint32_t stamp_ = 0;
    std::vector<std::pair<int32_t, float>> evaluated_, known_;
    std::vector<int32_t> ys_, olderAt_, refine_, toRefine_;
    std::vector<std::pair<double, int32_t>> taken_;
    std::vector<const std::vector<int32_t> *> older_, one_;
    std::vector<float> values_, batch_;
};

// Largest column count for which the inner-product table (n^2 doubles) is
// kept.
constexpr int32_t kBoundedColumns = 11585;

}  // namespace

namespace {
VarianceBounds forcedBounds = VarianceBounds::Automatic;
}  // namespace

void ForceVarianceBounds(VarianceBounds bounds) { forcedBounds = bounds; }

void WriteVarianceDendrogram(std::FILE *out, TableData table) {
    if (table.columns > MAX_OBJECTS) SortieProg(ExitMemory);
    VarianceBounds bounds = forcedBounds;
    if (!PairBounds::Applies(table)) {
        bounds = VarianceBounds::Automatic;  // every pair evaluated exactly
    } else if (bounds == VarianceBounds::Automatic) {
        // With few lines an exact value costs little more than an interval,
        // and the working matrix, up to kFewLinesColumns columns, beats
        // recomputing rows; otherwise the intervals pay.
        if (table.lines >= kFewLines || table.columns > kFewLinesColumns)
            bounds = table.columns <= kBoundedColumns ? VarianceBounds::InnerProducts : VarianceBounds::Centroids;
    }
    if (bounds == VarianceBounds::InnerProducts) {
        LazyVarianceEngine<PairBounds> engine(table);
        engine.Run(out);
    } else if (bounds == VarianceBounds::Centroids) {
        LazyVarianceEngine<CentroidBounds> engine(table);
        engine.Run(out);
    } else {
        VarianceCriterion criterion(table);
        RunCachedEngine(out, table.columns, criterion);
    }
}

void printClassicDendrogram(std::FILE *out, TableData table) { WriteVarianceDendrogram(out, table); }
