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
void SpanningTreeAhead(TableData table, Edge *edges) {
    const int32_t n = table.columns;
    // Kept rows: as many as fit in 48 MiB, at most 256.
    const int64_t slots = std::clamp<int64_t>((int64_t{48} << 20) / (int64_t{4} * n), 2, 256);
    constexpr int64_t kBatch = 32;
    // By panel position p: the column, whether it is open, its tree
    // distance and the tree column that gives it.
    Block<int32_t> id(n), parent(n), slotOf(n), freeSlots(slots), candidates(n);
    Block<uint8_t> open(n);
    Block<float> best(n), rows(slots * static_cast<int64_t>(n));
    for (int32_t p = 0; p < n; ++p) {
        id[p] = p;
        open[p] = 1;
        best[p] = INFINITY;
        parent[p] = n - 1;
        slotOf[p] = -1;
    }
    int64_t freeCount = slots;
    for (int64_t k = 0; k < slots; ++k) freeSlots[k] = static_cast<int32_t>(k);
    int64_t m = n, openCount = n - 1;
    open[n - 1] = 0;
    TwoWayLoop loop;
    auto panels = std::make_unique<ColumnPanels>(table, &loop);
    Block<PairSumRow> batchRows(kBatch);
    Block<int32_t> batchColumns(kBatch);
    // Rows for column u and the nearest open columns without a row yet.
    auto computeBatch = [&](int32_t uPosition) {
        if (freeCount == 0) {
            // Every slot holds a row still to be used: give one up.
            for (int32_t p = 0; p < m; ++p)
                if (slotOf[id[p]] >= 0 && p != uPosition) {
                    freeSlots[freeCount++] = slotOf[id[p]];
                    slotOf[id[p]] = -1;
                    break;
                }
        }
        int64_t count = 0;
        batchColumns[count++] = uPosition;
        const int64_t wanted = std::min(kBatch, freeCount);
        int64_t found = 0;
        for (int32_t p = 0; p < m; ++p)
            if (open[p] && p != uPosition && slotOf[id[p]] < 0) candidates[found++] = p;
        if (found > wanted - 1) {
            std::nth_element(candidates.get(), candidates.get() + (wanted - 1), candidates.get() + found,
                             [&](int32_t x, int32_t y) { return best[x] < best[y] || (best[x] == best[y] && x < y); });
            found = wanted - 1;
        }
        for (int64_t k = 0; k < found; ++k) batchColumns[count++] = candidates[k];
        for (int64_t k = 0; k < count; ++k) {
            const int32_t slot = freeSlots[--freeCount];
            slotOf[id[batchColumns[k]]] = slot;
            float *row = rows.get() + static_cast<int64_t>(slot) * n;
            for (int64_t p = 0; p < m; ++p) row[p] = 0.0f;
            batchRows[k] = PairSumRow{StridedVector{panels->Column(batchColumns[k]), ColumnPanels::WIDTH}, row, m};
        }
        // The two threads take the columns measured against in two halves.
        auto part = [&](int64_t begin, int64_t end, int) {
            if (begin >= end) return;
            PairSumRow local[kBatch];
            for (int64_t k = 0; k < count; ++k)
                local[k] = PairSumRow{batchRows[k].vector, batchRows[k].sums + begin, end - begin};
            ContinuePairSums(local, count, *panels, begin, 0, table.lines);
            for (int64_t k = 0; k < count; ++k)
                for (int64_t p = begin; p < end; ++p) batchRows[k].sums[p] = DistanceOfSum(batchRows[k].sums[p]);
        };
        loop.Run(m, (m / 2) / ColumnPanels::WIDTH * ColumnPanels::WIDTH, 0, part);
    };
    // Drops the joined columns from the panels, the kept rows and the
    // per-position arrays, keeping the order of the others.
    auto rebuild = [&] {
        int64_t k = 0;
        for (int64_t p = 0; p < m; ++p) {
            if (!open[p]) continue;
            candidates[k] = static_cast<int32_t>(p);  // old position of new position k
            id[k] = id[p];
            best[k] = best[p];
            parent[k] = parent[p];
            open[k] = 1;
            ++k;
        }
        for (int32_t c = 0; c < n; ++c) {
            if (slotOf[c] < 0) continue;
            float *row = rows.get() + static_cast<int64_t>(slotOf[c]) * n;
            for (int64_t q = 0; q < k; ++q) row[q] = row[candidates[q]];
        }
        m = k;
        panels.reset();
        panels = std::make_unique<ColumnPanels>(table, id.get(), m, &loop);
    };
    int32_t u = n - 1;
    int32_t uPosition = n - 1;
    for (int32_t e = 0; e < n - 1; ++e) {
        if (slotOf[u] < 0) computeBatch(uPosition);
        const int32_t slot = slotOf[u];
        const float *row = rows.get() + static_cast<int64_t>(slot) * n;
        int32_t q = -1;
        for (int32_t p = 0; p < m; ++p) {
            if (!open[p]) continue;
            if (row[p] < best[p]) {
                best[p] = row[p];
                parent[p] = u;
            }
            if (q < 0 || best[p] < best[q]) q = p;
        }
        slotOf[u] = -1;
        freeSlots[freeCount++] = slot;
        edges[e] = Edge{parent[q], id[q], best[q]};
        open[q] = 0;
        --openCount;
        u = id[q];
        uPosition = q;
        if (openCount > 64 && openCount + 1 < m * 7 / 8) {
            // u stays in the panels (its row is computed against them).
            open[q] = 1;
            rebuild();
            for (int32_t p = 0; p < m; ++p)
                if (id[p] == u) {
                    uPosition = p;
                    open[p] = 0;
                }
        }
    }
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
