#include "variance_engine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "cached_engine.h"
#include "dendrogram.h"
#include "dendrogram_output.h"
#include "kernels.h"
#include "parallel.h"
#include "progress.h"
#include "utils.h"

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

__attribute__((target("avx512f"))) void SingleCentroidsAvx512(const float *row, const int32_t *slots, int32_t h,
                                                              float s, const float *totals, float *g, float *c) {
    SingleCentroidsLoop(row, slots, h, s, totals, g, c);
}
__attribute__((target("avx2"))) void SingleCentroidsAvx2(const float *row, const int32_t *slots, int32_t h, float s,
                                                         const float *totals, float *g, float *c) {
    SingleCentroidsLoop(row, slots, h, s, totals, g, c);
}
__attribute__((target("avx512f"))) void AddColumnsAvx512(float *c, const float *columns, int32_t lines,
                                                         const int32_t *list, int32_t count) {
    AddColumnsLoop(c, columns, lines, list, count);
}
__attribute__((target("avx2"))) void AddColumnsAvx2(float *c, const float *columns, int32_t lines,
                                                    const int32_t *list, int32_t count) {
    AddColumnsLoop(c, columns, lines, list, count);
}

void SingleCentroids(const float *row, const int32_t *slots, int32_t h, float s, const float *totals, float *g,
                     float *c) {
    switch (ActiveKernelLevel()) {
        case KernelLevel::Avx512: return SingleCentroidsAvx512(row, slots, h, s, totals, g, c);
        case KernelLevel::Avx2: return SingleCentroidsAvx2(row, slots, h, s, totals, g, c);
        default: return SingleCentroidsLoop(row, slots, h, s, totals, g, c);
    }
}

void AddColumns(float *c, const float *columns, int32_t lines, const int32_t *list, int32_t count) {
    switch (ActiveKernelLevel()) {
        case KernelLevel::Avx512: return AddColumnsAvx512(c, columns, lines, list, count);
        case KernelLevel::Avx2: return AddColumnsAvx2(c, columns, lines, list, count);
        default: return AddColumnsLoop(c, columns, lines, list, count);
    }
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

// Largest float at most v, smallest float at least v.
float FloatDown(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) > v) f = std::nextafter(f, -INFINITY);
    return f;
}

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
__attribute__((target("avx512f"))) void GramTileAvx512(const float *const *a, const float *const *b, int32_t lines,
                                                       double out[4][4]) {
    GramTileLoop(a, b, lines, out);
}
__attribute__((target("avx2"))) void GramTileAvx2(const float *const *a, const float *const *b, int32_t lines,
                                                  double out[4][4]) {
    GramTileLoop(a, b, lines, out);
}
void GramTile(const float *const *a, const float *const *b, int32_t lines, double out[4][4]) {
    switch (ActiveKernelLevel()) {
        case KernelLevel::Avx512: return GramTileAvx512(a, b, lines, out);
        case KernelLevel::Avx2: return GramTileAvx2(a, b, lines, out);
        default: return GramTileLoop(a, b, lines, out);
    }
}

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
//     sqrt(1+gamma(L)), alpha = tau sqrt(L) + sqrt(L tau) + tau.
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
// rows it mixes, and the sums and products above add (n + 40) u_d G^2 in all,
// so D_k^2 is known to within e_q = (4 (L + 3n) + n + 40) u_d G^2 (with 1%
// to spare). Hence D_k lies in [sqrt(max(0, D^_k^2 - e_q)), sqrt(D^_k^2 + e_q)].
//
// A cheaper interval needs no member: with D the distance of the two
// centroids and V_A, V_B the clusters' own criteria (mean distance of their
// members to their own centroid), the triangle inequality gives
//     V >= J = 2 |A| |B| D / N^2,   V >= M - J,   V <= M + J,
// M = (|A| V_A + |B| V_B) / N: the members of A pull c towards c_A by
// (|B| / N) D at most, and their displacements sum to |A| (c_A - c).
//
// The arithmetic of the bounds themselves, in double, is covered by the
// relative margins 2^-40 and (N + 4) u_d added last. The bounds hold only
// for finite cells small enough that no float sum can overflow (every
// cell at most 1e12 in size) and for N u, L u well below 1: other tables use
// the engine that evaluates every pair exactly.
class PairBounds {
public:
    PairBounds(TableData table, TwoWayLoop &loop)
        : n_(table.columns), lines_(table.lines), ip_(static_cast<int64_t>(n_) * n_), self_(n_), raw_(n_) {
        std::vector<double> mean(lines_, 0.0);
        for (int32_t l = 0; l < lines_; ++l) {
            const float *row = table.values + static_cast<int64_t>(l) * n_;
            double s = 0.0;
            for (int32_t x = 0; x < n_; ++x) s += row[x];
            mean[l] = s / n_;
        }
        std::vector<float> centred(static_cast<int64_t>(n_) * lines_);
        std::vector<double> rawSquares(n_, 0.0);
        for (int32_t l = 0; l < lines_; ++l) {
            const float *row = table.values + static_cast<int64_t>(l) * n_;
            for (int32_t x = 0; x < n_; ++x) {
                centred[static_cast<int64_t>(x) * lines_ + l] = static_cast<float>(row[x] - mean[l]);
                rawSquares[x] += static_cast<double>(row[x]) * row[x];
            }
        }
        ComputeGram(centred.data(), n_, lines_, ip_.data(), loop);
        double largest = 0.0;
        for (int32_t x = 0; x < n_; ++x) {
            self_[x] = ip_[static_cast<int64_t>(x) * n_ + x];
            raw_[x] = std::sqrt(rawSquares[x]) * (1.0 + 0x1p-40);
            largest = std::max(largest, self_[x]);
        }
        // Largest centred norm squared, with room for the Gram sums' error.
        const double g2 = largest * (1.0 + 2.0 * lines_ * kUd) * (1.0 + 0x1p-30);
        const double g = std::sqrt(g2) * (1.0 + 0x1p-40);
        eq_ = (4.0 * (lines_ + 3.0 * n_) + n_ + 40.0) * kUd * g2 * 1.01;
        omega_ = 2.0 * (kU * (1.0 + kU) * g + kTau * std::sqrt(static_cast<double>(lines_))) * 1.01;
        alpha_ = kTau * std::sqrt(static_cast<double>(lines_)) + std::sqrt(lines_ * kTau) + kTau;
        kLow_ = (1.0 - kU) * (1.0 - kU) * std::sqrt(1.0 - Gamma(lines_));
        kHigh_ = (1.0 + kU) * (1.0 + kU) * std::sqrt(1.0 + Gamma(lines_));
        // Initially cluster x is the single column x: ip[x][.] is row x of
        // the Gram matrix, its centroid's squared norm its own.
        centroidSquare_ = self_;
        ownLow_.assign(n_, 0.0);
        ownHigh_.assign(n_, 0.0);
        normSum_ = raw_;
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
    void Merge(int32_t into, int32_t intoSize, int32_t from, int32_t fromSize, const std::vector<int32_t> &list) {
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

    // Interval of the float value of the pair from the centroids alone.
    void Cheap(int32_t x, const std::vector<int32_t> &mx, int32_t y, const std::vector<int32_t> &my, double &low,
               double &high) const {
        const double sa = static_cast<double>(mx.size()), sb = static_cast<double>(my.size()), total = sa + sb;
        const double cross = Cross(x, mx, y, my);
        const double d2 = centroidSquare_[x] + centroidSquare_[y] - 2.0 * cross;
        const double dLow = std::sqrt(std::max(0.0, d2 - eq_)), dHigh = std::sqrt(std::max(0.0, d2 + eq_));
        const double w = 2.0 * sa * sb / (total * total);
        const double mLow = (sa * ownLow_[x] + sb * ownLow_[y]) / total;
        const double mHigh = (sa * ownHigh_[x] + sb * ownHigh_[y]) / total;
        const double realLow = std::max(w * dLow, mLow - w * dHigh) * (1.0 - 16.0 * kUd) - omega_;
        const double realHigh = (mHigh + w * dHigh) * (1.0 + 16.0 * kUd) + omega_;
        ToFloat(x, y, total, realLow, realHigh, low, high);
    }

    // Interval of the float value of the pair from every member's distance.
    void Fine(int32_t x, const std::vector<int32_t> &mx, int32_t y, const std::vector<int32_t> &my, double &low,
              double &high) const {
        const double sa = static_cast<double>(mx.size()), sb = static_cast<double>(my.size()), total = sa + sb;
        const double a = sa / total, b = sb / total;
        const double cross = Cross(x, mx, y, my);
        const double cc = a * a * centroidSquare_[x] + 2.0 * a * b * cross + b * b * centroidSquare_[y];
        const double *rx = Row(x), *ry = Row(y);
        double sumLow = 0.0, sumHigh = 0.0;
        auto member = [&](int32_t m) {
            const double q = self_[m] - 2.0 * (a * rx[m] + b * ry[m]) + cc;
            sumLow += std::sqrt(std::max(0.0, q - eq_));
            sumHigh += std::sqrt(std::max(0.0, q + eq_));
        };
        for (int32_t m : mx) member(m);
        for (int32_t m : my) member(m);
        const double realLow = sumLow / total * (1.0 - (total + 4.0) * 2.0 * kUd) - omega_;
        const double realHigh = sumHigh / total * (1.0 + (total + 4.0) * 2.0 * kUd) + omega_;
        ToFloat(x, y, total, realLow, realHigh, low, high);
    }

private:
    double *Row(int32_t y) { return ip_.data() + static_cast<int64_t>(y) * n_; }
    const double *Row(int32_t y) const { return ip_.data() + static_cast<int64_t>(y) * n_; }

    // <c_x, c_y>, summed over the smaller list.
    double Cross(int32_t x, const std::vector<int32_t> &mx, int32_t y, const std::vector<int32_t> &my) const {
        const bool xSmaller = mx.size() <= my.size();
        const double *row = Row(xSmaller ? y : x);
        const std::vector<int32_t> &list = xSmaller ? mx : my;
        double s = 0.0;
        for (int32_t m : list) s += row[m];
        return s / static_cast<double>(list.size());
    }

    // From an interval of the exact criterion to one of its float value.
    void ToFloat(int32_t x, int32_t y, double total, double realLow, double realHigh, double &low,
                 double &high) const {
        const double ec = Gamma(total + 1.0) * (normSum_[x] + normSum_[y]) / total +
                          2.0 * kTau * std::sqrt(static_cast<double>(lines_));
        const double gn = Gamma(total);
        low = (1.0 - kU) * ((1.0 - gn) * (kLow_ * (realLow - ec) - alpha_) - kTau) - kTau;
        high = (1.0 + kU) * ((1.0 + gn) * (kHigh_ * (realHigh + ec) + alpha_) + kTau) + kTau;
        low -= std::fabs(low) * 0x1p-40;
        high += std::fabs(high) * 0x1p-40;
    }

    int32_t n_, lines_;
    std::vector<double> ip_;              // ip_[y * n + x] = <x, c_y>, centred
    std::vector<double> self_;            // |x|^2, centred
    std::vector<double> raw_;             // |x|, raw cells
    std::vector<double> centroidSquare_;  // |c_y|^2, centred
    std::vector<double> normSum_;         // sum of the members' raw norms
    std::vector<double> ownLow_, ownHigh_;  // the cluster's own exact criterion
    double eq_ = 0.0, omega_ = 0.0, alpha_ = 0.0, kLow_ = 0.0, kHigh_ = 0.0;
};

class LazyVarianceEngine {
public:
    explicit LazyVarianceEngine(TableData table)
        : n_(table.columns),
          evaluator_(table),
          bounds_(table, loop_),
          members_(n_),
          stamp_(n_, -1),
          nodeId_(n_, -1),
          live_(n_, 1),
          exact_(n_, 0),
          value_(n_, -INFINITY),
          arg_(n_, -1),
          key_(n_ > 0 ? n_ : 1, UINT64_MAX),
          low_(n_),
          high_(n_) {
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
            bounds_.Merge(i, sizeI, j, sizeJ, members_[i]);
            stamp_[i] = nodeId_[i] = nextNode++;
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
                      : (static_cast<uint64_t>(PickKey(value_[r])) << 32) | static_cast<uint32_t>(~static_cast<uint32_t>(r));
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

    bool Younger(int32_t x, int32_t y) const { return stamp_[x] != stamp_[y] ? stamp_[x] > stamp_[y] : x > y; }
    ClusterView View(int32_t x) const {
        return ClusterView{members_[x].data(), static_cast<int32_t>(members_[x].size()), nullptr};
    }

    // Exact values of the pairs (x, ys[k]), each with the younger list first.
    void Exact(int32_t x, const std::vector<int32_t> &ys, std::vector<float> &out) {
        out.resize(ys.size());
        older_.clear();
        olderAt_.clear();
        for (size_t k = 0; k < ys.size(); ++k) {
            if (Younger(x, ys[k])) {
                older_.push_back(ys[k]);
                olderAt_.push_back(static_cast<int32_t>(k));
            } else {
                float v;
                const ClusterView xv = View(x);
                evaluator_.Evaluate(View(ys[k]), 1, [&](int32_t) { return xv; }, &v);
                out[k] = v;
            }
        }
        if (older_.empty()) return;
        batch_.resize(older_.size());
        evaluator_.Evaluate(View(x), static_cast<int32_t>(older_.size()),
                            [&](int32_t k) { return View(older_[k]); }, batch_.data());
        for (size_t k = 0; k < older_.size(); ++k) out[olderAt_[k]] = batch_[k];
    }

    // Interval of the pair's value: the cheap one, refined when it reaches
    // `needed` (the pair matters only if its value can be at most that).
    void Interval(int32_t x, int32_t y, double needed, double &low, double &high) const {
        bounds_.Cheap(x, members_[x], y, members_[y], low, high);
        if (low < needed && high > low) {
            double fineLow, fineHigh;
            bounds_.Fine(x, members_[x], y, members_[y], fineLow, fineHigh);
            low = std::max(low, fineLow);
            high = std::min(high, fineHigh);
        }
    }

    // Makes row r exact: its smallest value over the live y < r, ties to the
    // largest y. Pairs whose interval starts above the smallest upper end
    // cannot be smallest; the others are evaluated exactly, lowest interval
    // first, until the next interval starts above the best exact value.
    void Recompute(int32_t r) {
        candidates_.clear();
        double ceiling = INFINITY;
        for (int32_t y = 0; y < r; ++y) {
            if (!live_[y]) continue;
            bounds_.Cheap(r, members_[r], y, members_[y], low_[y], high_[y]);
            ceiling = std::min(ceiling, high_[y]);
        }
        // Refine the lowest cheap intervals first: each refined upper end
        // lowers the ceiling, which rules out the rest sooner.
        order_.clear();
        for (int32_t y = 0; y < r; ++y)
            if (live_[y] && low_[y] <= ceiling) order_.push_back({low_[y], y});
        std::sort(order_.begin(), order_.end());
        for (const auto &[cheapLow, y] : order_) {
            if (cheapLow > ceiling) break;
            if (high_[y] > cheapLow) {
                double fineLow, fineHigh;
                bounds_.Fine(r, members_[r], y, members_[y], fineLow, fineHigh);
                low_[y] = std::max(low_[y], fineLow);
                high_[y] = std::min(high_[y], fineHigh);
                ceiling = std::min(ceiling, high_[y]);
            }
            candidates_.push_back({low_[y], y});
        }
        {
            size_t kept = 0;
            for (const auto &c : candidates_)
                if (c.first <= ceiling) candidates_[kept++] = c;
            candidates_.resize(kept);
        }
        if (candidates_.empty()) {
            MarkEmpty(r);
            return;
        }
        std::sort(candidates_.begin(), candidates_.end());
        bool found = false;
        float best = 0.0f;
        int32_t bestY = -1;
        for (size_t at = 0; at < candidates_.size();) {
            if (found && candidates_[at].first > best) break;
            const double limit = found ? static_cast<double>(best) : ceiling;
            ys_.clear();
            for (; at < candidates_.size() && ys_.size() < kChunk && candidates_[at].first <= limit; ++at)
                ys_.push_back(candidates_[at].second);
            if (ys_.empty()) break;
            Exact(r, ys_, values_);
            for (size_t k = 0; k < ys_.size(); ++k) {
                const float v = values_[k];
                if (!found || v < best || (v == best && ys_[k] > bestY)) {
                    found = true;
                    best = v;
                    bestY = ys_[k];
                }
            }
        }
        value_[r] = best;
        arg_[r] = bestY;
        exact_[r] = 1;
        SetKey(r);
    }

    // Cluster i has absorbed cluster j: row i is recomputed; every row above
    // i holds a new pair with i and has lost its pair with j; rows below i
    // have lost their pair with j.
    void AfterMerge(int32_t i, int32_t j) {
        Recompute(i);
        ys_.clear();
        for (int32_t h = 0; h < n_; ++h) {
            if (!live_[h] || h == i) continue;
            if (h < i) {
                // The remaining pairs of the row are unchanged and were no
                // smaller than the lost one.
                if (exact_[h] && arg_[h] == j) Lower(h, value_[h]);
                continue;
            }
            const bool needsValue = exact_[h] && arg_[h] != i && arg_[h] != j;
            double low, high;
            if (needsValue) {
                Interval(i, h, value_[h], low, high);
                if (low <= value_[h]) ys_.push_back(h);
            } else {
                // A stale row, or an exact row whose best pair changed: the
                // old value bounds the unchanged pairs, `low` the new one.
                Interval(i, h, value_[h], low, high);
                Lower(h, FloatDown(low));
            }
        }
        if (ys_.empty()) return;
        const std::vector<int32_t> rows = ys_;
        Exact(i, rows, values_);
        for (size_t k = 0; k < rows.size(); ++k) {
            const int32_t h = rows[k];
            const float v = values_[k];
            if (v < value_[h] || (v == value_[h] && i > arg_[h])) {
                value_[h] = v;
                arg_[h] = i;
                SetKey(h);
            }
        }
    }

    int32_t n_;
    TwoWayLoop loop_;
    VarianceEvaluator evaluator_;
    PairBounds bounds_;
    std::vector<std::vector<int32_t>> members_;
    std::vector<int32_t> stamp_, nodeId_;
    std::vector<unsigned char> live_, exact_;
    std::vector<float> value_;
    std::vector<int32_t> arg_;
    std::vector<uint64_t> key_;
    std::vector<double> low_, high_;
    std::vector<std::pair<double, int32_t>> candidates_, order_;
    std::vector<int32_t> ys_, older_, olderAt_;
    std::vector<float> values_, batch_;
};

// Largest column count for which the inner-product table (n^2 doubles) is
// kept.
constexpr int32_t kBoundedColumns = 11585;

}  // namespace

void WriteVarianceDendrogram(std::FILE *out, TableData table) {
    if (table.columns > MAX_OBJECTS) SortieProg(ExitMemory);
    if (table.columns <= kBoundedColumns && PairBounds::Applies(table)) {
        LazyVarianceEngine engine(table);
        engine.Run(out);
        return;
    }
    VarianceCriterion criterion(table);
    RunCachedEngine(out, table.columns, criterion);
}
