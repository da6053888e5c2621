#include "engines/single_linkage/spanning_trees.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "base/parallel.h"
#include "base/progress.h"
#include "base/utils.h"
#include "kernels/distance_tiles.h"
#include "kernels/kernels.h"

namespace single_linkage {

// Prim's algorithm over the columns of a table, computing each distance once
// with the vector kernel. The columns not yet in the tree are kept packed at
// the front of a copy of the table so that the kernel reads them in one run;
// each pass updates the open columns' nearest tree distance in two halves on
// two threads, each half also finding its own nearest column.
void SpanningTree(TableData table, Edge *edges) {
    const int32_t n = table.columns, lines = table.lines;
    const int64_t stride = PaddedStride(n);
    Block<float> copy(lines * stride);
    for (int32_t l = 0; l < lines; ++l)
        for (int32_t p = 0; p < n; ++p) copy[l * stride + p] = elementAt(l, p, table);
    Block<int32_t> vertex(n), parent(n);
    Block<float> best(n), fresh(n), x(lines > 0 ? lines : 1);
    for (int32_t p = 0; p < n; ++p) vertex[p] = p;
    // First position of the smallest tree distance in each half, or -1 for
    // an empty half. Ties go to the first position, whatever the split.
    int64_t nearest[2] = {-1, -1};
    int32_t u = n - 1, r = n - 1;
    // The first column's distances are the first tree distances.
    auto start = [&](int64_t begin, int64_t end, int part) {
        DistancesToColumns(ColumnBlock{copy.get() + begin, stride}, lines, x.get(), end - begin, best.get() + begin);
        for (int64_t p = begin; p < end; ++p) parent[p] = u;
        const int64_t q = LowerAndFindNearest(best.get() + begin, best.get() + begin, parent.get() + begin, u, end - begin);
        nearest[part] = q < 0 ? -1 : begin + q;
    };
    auto update = [&](int64_t begin, int64_t end, int part) {
        const int64_t q = DistancesLowerAndFindNearest(ColumnBlock{copy.get() + begin, stride}, lines, x.get(),
                                                       end - begin, fresh.get() + begin, best.get() + begin,
                                                       parent.get() + begin, u);
        nearest[part] = q < 0 ? -1 : begin + q;
    };
    TwoWayLoop loop;
    // Hand-overs only pay off on long rows: about 64K cells per pass.
    const int64_t parallelMinimum = lines > 0 ? (int64_t{1} << 16) / lines + 1 : INT64_MAX;
    for (int32_t l = 0; l < lines; ++l) x[l] = copy[l * stride + u];
    // Split on a multiple of 16 so that both halves run full vectors.
    loop.Run(r, (r / 2) & ~int64_t{15}, parallelMinimum, start);
    ProgressStart("distances", PairCount(n));
    for (int32_t e = 0; e < n - 1; ++e) {
        ProgressAdvance(PairCount(n) - PairCount(r + 1));  // pairs measured so far
        int64_t q = nearest[0];
        if (q < 0 || (nearest[1] >= 0 && best[nearest[1]] < best[q])) q = nearest[1];
        edges[e] = Edge{parent[q], vertex[q], best[q]};
        u = vertex[q];
        for (int32_t l = 0; l < lines; ++l) x[l] = copy[l * stride + q];
        // Fill the hole with the last open column.
        const int32_t last = --r;
        vertex[q] = vertex[last];
        best[q] = best[last];
        parent[q] = parent[last];
        for (int32_t l = 0; l < lines; ++l) copy[l * stride + q] = copy[l * stride + last];
        loop.Run(r, (r / 2) & ~int64_t{15}, parallelMinimum, update);
    }
}

// Prim's algorithm for tables too large to stay in cache and too wide for
// their distance matrix to be stored. A pass that needs one column's
// distances to every open column would read the whole table for them, and
// wait on memory. Instead the distances of a batch of columns are computed
// together, tile by tile, reading the table once for all of them: the
// column the tree needs now and the open columns nearest to the tree, those
// most likely to join next. Each batch row is kept until its column joins
// the tree, so it is never computed in vain; it only holds some distances
// to columns that joined in the meantime. The columns measured against are
// kept in panels, rebuilt without the joined ones once these make up an
// eighth of them (on random tables about 10% more pairs are computed than
// the n(n-1)/2 that the tree needs). Memory: one copy of the table and the kept rows.
namespace {

class TreeAhead {
public:
    explicit TreeAhead(TableData table)
        : table_(table),
          n_(table.columns),
          // Kept rows: as many as fit in 48 MiB, at most 256.
          slots_(std::clamp<int64_t>((int64_t{48} << 20) / (int64_t{4} * n_), 2, 256)),
          id_(n_),
          parent_(n_),
          slotOf_(n_),
          freeSlots_(slots_),
          candidates_(n_),
          open_(n_),
          best_(n_),
          rows_(slots_ * static_cast<int64_t>(n_)),
          panels_(std::make_unique<ColumnPanels>(table, &loop_)),
          batchRows_(kBatch),
          batchColumns_(kBatch) {
        for (int32_t p = 0; p < n_; ++p) {
            id_[p] = p;
            open_[p] = 1;
            best_[p] = INFINITY;
            parent_[p] = n_ - 1;
            slotOf_[p] = -1;
        }
        freeCount_ = slots_;
        for (int64_t k = 0; k < slots_; ++k) freeSlots_[k] = static_cast<int32_t>(k);
        m_ = n_;
        openCount_ = n_ - 1;
        open_[n_ - 1] = 0;
    }

    void Run(Edge *edges) {
        int32_t u = n_ - 1;
        int32_t uPosition = n_ - 1;
        for (int32_t e = 0; e < n_ - 1; ++e) {
            if (slotOf_[u] < 0) ComputeBatch(uPosition);
            const int32_t slot = slotOf_[u];
            const float *row = rows_.get() + static_cast<int64_t>(slot) * n_;
            int32_t q = -1;
            for (int32_t p = 0; p < m_; ++p) {
                if (!open_[p]) continue;
                if (row[p] < best_[p]) {
                    best_[p] = row[p];
                    parent_[p] = u;
                }
                if (q < 0 || best_[p] < best_[q]) q = p;
            }
            slotOf_[u] = -1;
            freeSlots_[freeCount_++] = slot;
            edges[e] = Edge{parent_[q], id_[q], best_[q]};
            open_[q] = 0;
            --openCount_;
            u = id_[q];
            uPosition = q;
            if (openCount_ > 64 && openCount_ + 1 < m_ * 7 / 8) {
                // u stays in the panels (its row is computed against them).
                open_[q] = 1;
                Rebuild();
                for (int32_t p = 0; p < m_; ++p)
                    if (id_[p] == u) {
                        uPosition = p;
                        open_[p] = 0;
                    }
            }
        }
    }

private:
    static constexpr int64_t kBatch = 32;

    // Rows for column u and the nearest open columns without a row yet.
    void ComputeBatch(int32_t uPosition) {
        if (freeCount_ == 0) {
            // Every slot holds a row still to be used: give one up.
            for (int32_t p = 0; p < m_; ++p)
                if (slotOf_[id_[p]] >= 0 && p != uPosition) {
                    freeSlots_[freeCount_++] = slotOf_[id_[p]];
                    slotOf_[id_[p]] = -1;
                    break;
                }
        }
        Block<PairSumRow> &batchRows = batchRows_;
        Block<int32_t> &batchColumns = batchColumns_;
        const int64_t count = ChooseBatch(uPosition);
        for (int64_t k = 0; k < count; ++k) {
            const int32_t slot = freeSlots_[--freeCount_];
            slotOf_[id_[batchColumns[k]]] = slot;
            float *row = rows_.get() + static_cast<int64_t>(slot) * n_;
            for (int64_t p = 0; p < m_; ++p) row[p] = 0.0f;
            batchRows[k] = PairSumRow{StridedVector{panels_->Column(batchColumns[k]), ColumnPanels::WIDTH}, row, m_};
        }
        // The two threads take the columns measured against in two halves.
        auto part = [&](int64_t begin, int64_t end, int) {
            if (begin >= end) return;
            PairSumRow local[kBatch];
            for (int64_t k = 0; k < count; ++k)
                local[k] = PairSumRow{batchRows[k].vector, batchRows[k].sums + begin, end - begin};
            ContinuePairSums(local, count, *panels_, begin, 0, table_.lines);
            for (int64_t k = 0; k < count; ++k)
                for (int64_t p = begin; p < end; ++p) batchRows[k].sums[p] = DistanceOfSum(batchRows[k].sums[p]);
        };
        loop_.Run(m_, (m_ / 2) / ColumnPanels::WIDTH * ColumnPanels::WIDTH, 0, part);
    }

    // The batch's columns: u's position, then the open columns nearest to
    // the tree that have no row yet, as many as free slots allow. Returns
    // their count.
    int64_t ChooseBatch(int32_t uPosition) {
        Block<int32_t> &batchColumns = batchColumns_;
        int64_t count = 0;
        batchColumns[count++] = uPosition;
        const int64_t wanted = std::min(kBatch, freeCount_);
        int64_t found = 0;
        for (int32_t p = 0; p < m_; ++p)
            if (open_[p] && p != uPosition && slotOf_[id_[p]] < 0) candidates_[found++] = p;
        if (found > wanted - 1) {
            const float *best = best_.get();
            std::nth_element(candidates_.get(), candidates_.get() + (wanted - 1), candidates_.get() + found,
                             [&](int32_t x, int32_t y) { return best[x] < best[y] || (best[x] == best[y] && x < y); });
            found = wanted - 1;
        }
        for (int64_t k = 0; k < found; ++k) batchColumns[count++] = candidates_[k];
        return count;
    }

    // Drops the joined columns from the panels, the kept rows and the
    // per-position arrays, keeping the order of the others.
    void Rebuild() {
        int64_t k = 0;
        for (int64_t p = 0; p < m_; ++p) {
            if (!open_[p]) continue;
            candidates_[k] = static_cast<int32_t>(p);  // old position of new position k
            id_[k] = id_[p];
            best_[k] = best_[p];
            parent_[k] = parent_[p];
            open_[k] = 1;
            ++k;
        }
        for (int32_t c = 0; c < n_; ++c) {
            if (slotOf_[c] < 0) continue;
            float *row = rows_.get() + static_cast<int64_t>(slotOf_[c]) * n_;
            for (int64_t q = 0; q < k; ++q) row[q] = row[candidates_[q]];
        }
        m_ = k;
        panels_.reset();
        panels_ = std::make_unique<ColumnPanels>(table_, id_.get(), m_, &loop_);
    }

    TableData table_;
    int32_t n_;
    int64_t slots_;
    // By panel position p: the column, whether it is open, its tree
    // distance and the tree column that gives it.
    Block<int32_t> id_, parent_, slotOf_, freeSlots_, candidates_;
    Block<uint8_t> open_;
    Block<float> best_, rows_;
    int64_t freeCount_ = 0, m_ = 0, openCount_ = 0;
    TwoWayLoop loop_;
    std::unique_ptr<ColumnPanels> panels_;
    Block<PairSumRow> batchRows_;
    Block<int32_t> batchColumns_;
};

}  // namespace

void SpanningTreeAhead(TableData table, Edge *edges) {
    TreeAhead tree(table);
    tree.Run(edges);
}

// Prim's algorithm over a stored matrix. Each pass lowers the open columns'
// tree distances by the new tree column's, in two halves on two threads,
// each half also finding its nearest column: the one of smallest distance
// and, among equal ones, of smallest column number, so that the choice does
// not depend on the split.
void SpanningTree(DistanceMatrix matrix, Edge *edges) {
    const int32_t n = matrix.count;
    Block<int32_t> vertex(n), parent(n);
    Block<float> best(n);
    int32_t u = n - 1, r = n - 1;
    for (int32_t p = 0; p < r; ++p) {
        vertex[p] = p;
        best[p] = INFINITY;
        parent[p] = u;
    }
    int64_t nearest[2] = {-1, -1};
    auto update = [&](int64_t begin, int64_t end, int part) {
        // The distances beyond row u lie one per row of the triangle: they
        // are asked for well ahead, and taken without a branch on them, so
        // that many are on their way from memory at once.
        constexpr int64_t kAhead = 64;
        for (int64_t p = begin; p < end; ++p) {
            if (p + kAhead < end) {
                const int32_t w = vertex[p + kAhead];
                __builtin_prefetch(matrix.values + (w > u ? PairIndex(w, u) : PairIndex(u, w)));
            }
            const int32_t v = vertex[p];
            const float d = matrix.values[v > u ? PairIndex(v, u) : PairIndex(u, v)];
            const bool lower = d < best[p];
            best[p] = lower ? d : best[p];
            parent[p] = lower ? u : parent[p];
        }
        int64_t q = begin < end ? begin : -1;
        for (int64_t p = begin + 1; p < end; ++p)
            if (best[p] < best[q] || (best[p] == best[q] && vertex[p] < vertex[q])) q = p;
        nearest[part] = q;
    };
    TwoWayLoop loop;
    constexpr int64_t kParallelMinimum = 2048;
    ProgressStart("spanning tree", n - 1);
    for (int32_t e = 0; e < n - 1; ++e) {
        ProgressAdvance(e);
        loop.Run(r, r / 2, kParallelMinimum, update);
        int64_t q = nearest[0];
        const int64_t other = nearest[1];
        if (q < 0 || (other >= 0 && (best[other] < best[q] || (best[other] == best[q] && vertex[other] < vertex[q]))))
            q = other;
        edges[e] = Edge{parent[q], vertex[q], best[q]};
        u = vertex[q];
        const int32_t last = --r;
        vertex[q] = vertex[last];
        best[q] = best[last];
        parent[q] = parent[last];
    }
}

}  // namespace single_linkage
