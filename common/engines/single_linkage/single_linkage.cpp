// Single linkage merges clusters at non-decreasing values, and the clusters
// joined at one value w are the components that the spanning tree's edges of
// weight w connect: any minimum spanning tree gives the same components. The
// engine picks, among the pairs at the smallest value, the one with the
// largest slot (a cluster's slot is its largest column) and then the largest
// partner. So within one value the components are merged one after another,
// largest slot first, and inside a component of three or more clusters its
// largest slot absorbs, one at a time, the largest cluster lying at exactly w
// from what it holds so far. That order needs every pair at exactly w, not
// only the tree's edges: it is found from the distances between the columns
// of each absorbed cluster and those of the clusters not reached yet.
#include "engines/single_linkage/single_linkage.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "base/parallel.h"
#include "base/progress.h"
#include "base/utils.h"
#include "engines/merge_line.h"
#include "kernels/distance_tiles.h"
#include "kernels/kernels.h"

namespace {

struct Edge {
    int32_t a, b;
    float w;
};

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

// Clusters as a union-find forest over the columns. For a root: its slot
// (largest column), the node that made it (-1 for a single column) and its
// columns as a chain through `next` from head to tail.
class Forest {
public:
    explicit Forest(int32_t n) : up_(n), slot_(n), node_(n), head_(n), tail_(n), next_(n) {
        for (int32_t k = 0; k < n; ++k) {
            up_[k] = k;
            slot_[k] = k;
            node_[k] = -1;
            head_[k] = tail_[k] = k;
            next_[k] = -1;
        }
    }
    int32_t Find(int32_t x) const {
        while (up_[x] != x) {
            up_[x] = up_[up_[x]];
            x = up_[x];
        }
        return x;
    }
    int32_t Slot(int32_t root) const { return slot_[root]; }
    // Copies the columns of a root's cluster to `out`; returns their count.
    int32_t Members(int32_t root, int32_t *out) const {
        int32_t k = 0;
        for (int32_t x = head_[root];; x = next_[x]) {
            out[k++] = x;
            if (x == tail_[root]) break;
        }
        return k;
    }
    // Writes the merge line of survivor a (the larger slot) and b, and joins them.
    void Merge(std::FILE *out, int32_t &nextNode, int32_t a, int32_t b, float w) {
        WriteMergeLine(out, nextNode, slot_[a], node_[a], slot_[b], node_[b], w);
        node_[a] = nextNode++;
        up_[b] = a;
        next_[tail_[a]] = head_[b];
        tail_[a] = tail_[b];
    }

private:
    Block<int32_t> up_, slot_, node_, head_, tail_, next_;
};

// Distances between the columns of one group of clusters, held in one
// list (each cluster's columns in a run), and a second, compacted copy that
// holds only the columns not reached yet. For the table, both are blocks of
// columns copied line by line, so that the distances from one column to a
// run of others go through the vector kernel.
class TableGroupDistances {
public:
    explicit TableGroupDistances(TableData table) : table_(table), x_(table.lines > 0 ? table.lines : 1) {}
    ~TableGroupDistances() {
        std::free(block_);
        std::free(open_);
    }
    TableGroupDistances(const TableGroupDistances &) = delete;
    TableGroupDistances &operator=(const TableGroupDistances &) = delete;
    void Prepare(const int32_t *members, int32_t count) {
        // Room for the largest group so far only: most levels join a few
        // columns, and a copy of the whole table would double the memory.
        const int64_t cells = static_cast<int64_t>(table_.lines) * count;
        if (cells > capacity_) {
            std::free(block_);
            std::free(open_);
            block_ = open_ = nullptr;
            block_ = static_cast<float *>(monmalloc(cells * static_cast<int64_t>(sizeof(float))));
            open_ = static_cast<float *>(monmalloc(cells * static_cast<int64_t>(sizeof(float))));
            capacity_ = cells;
        }
        count_ = count;
        for (int32_t l = 0; l < table_.lines; ++l)
            for (int32_t t = 0; t < count; ++t)
                open_[static_cast<int64_t>(l) * count + t] = block_[static_cast<int64_t>(l) * count + t] =
                    elementAt(l, members[t], table_);
    }
    // out[t] = distance between the group's columns a and begin + t.
    void Between(int32_t a, int32_t begin, int32_t length, float *out) {
        Load(a);
        DistancesToColumns(ColumnBlock{block_ + begin, count_}, table_.lines, x_.get(), length, out);
    }
    // out[p] = distance between the group's column a and open column p < open.
    void ToOpen(int32_t a, int32_t open, float *out) {
        Load(a);
        DistancesToColumns(ColumnBlock{open_, count_}, table_.lines, x_.get(), open, out);
    }
    // Open column `to` takes the place of open column `from`.
    void MoveOpen(int32_t to, int32_t from) {
        for (int32_t l = 0; l < table_.lines; ++l)
            open_[static_cast<int64_t>(l) * count_ + to] = open_[static_cast<int64_t>(l) * count_ + from];
    }

private:
    void Load(int32_t a) {
        for (int32_t l = 0; l < table_.lines; ++l) x_[l] = block_[static_cast<int64_t>(l) * count_ + a];
    }

    TableData table_;
    float *block_ = nullptr;
    float *open_ = nullptr;
    int64_t capacity_ = 0;
    Block<float> x_;
    int32_t count_ = 0;
};

class MatrixGroupDistances {
public:
    explicit MatrixGroupDistances(DistanceMatrix matrix) : matrix_(matrix), open_(matrix.count) {}
    void Prepare(const int32_t *members, int32_t count) {
        members_ = members;
        for (int32_t t = 0; t < count; ++t) open_[t] = members[t];
    }
    void Between(int32_t a, int32_t begin, int32_t length, float *out) const {
        for (int32_t t = 0; t < length; ++t) out[t] = distance(matrix_, members_[a], members_[begin + t]);
    }
    void ToOpen(int32_t a, int32_t open, float *out) const {
        for (int32_t p = 0; p < open; ++p) out[p] = distance(matrix_, members_[a], open_[p]);
    }
    void MoveOpen(int32_t to, int32_t from) { open_[to] = open_[from]; }

private:
    DistanceMatrix matrix_;
    const int32_t *members_ = nullptr;
    Block<int32_t> open_;
};

template <class GroupDistances>
void WriteLevels(std::FILE *out, int32_t n, Edge *edges, GroupDistances &distances) {
    if (n < 2) return;
    const int32_t m = n - 1;
    std::sort(edges, edges + m, [](const Edge &x, const Edge &y) { return x.w < y.w; });
    Forest forest(n);
    Block<int32_t> stamp(n), local(n);
    Block<int32_t> roots(2 * static_cast<int64_t>(m)), localUp(2 * static_cast<int64_t>(m));
    Block<int32_t> order(2 * static_cast<int64_t>(m)), state(2 * static_cast<int64_t>(m));
    Block<int32_t> offset(2 * static_cast<int64_t>(m) + 1), members(n), heap(2 * static_cast<int64_t>(m));
    Block<float> row(n);
    for (int32_t k = 0; k < n; ++k) stamp[k] = -1;
    auto localFind = [&](int32_t x) {
        while (localUp[x] != x) x = localUp[x] = localUp[localUp[x]];
        return x;
    };
    int32_t nextNode = 0;
    for (int32_t s = 0, t; s < m; s = t) {
        const float w = edges[s].w;
        for (t = s; t < m && edges[t].w == w; ++t) {
        }
        // The clusters this level joins, numbered locally, and their groups.
        int32_t count = 0;
        for (int32_t e = s; e < t; ++e) {
            int32_t ends[2] = {forest.Find(edges[e].a), forest.Find(edges[e].b)};
            for (int32_t root : ends)
                if (stamp[root] != s) {
                    stamp[root] = s;
                    local[root] = count;
                    roots[count] = root;
                    localUp[count] = count;
                    ++count;
                }
            const int32_t x = localFind(local[ends[0]]), y = localFind(local[ends[1]]);
            if (x != y) localUp[x] = y;
        }
        // Sort the clusters by group, and within a group by slot, largest first.
        for (int32_t k = 0; k < count; ++k) order[k] = k;
        Block<int32_t> &groupOf = state;
        for (int32_t k = 0; k < count; ++k) groupOf[k] = localFind(k);
        Block<int32_t> groupTop(count);
        for (int32_t k = 0; k < count; ++k) groupTop[k] = -1;
        for (int32_t k = 0; k < count; ++k)
            groupTop[groupOf[k]] = std::max(groupTop[groupOf[k]], forest.Slot(roots[k]));
        std::sort(order.get(), order.get() + count, [&](int32_t x, int32_t y) {
            const int32_t gx = groupTop[groupOf[x]], gy = groupTop[groupOf[y]];
            if (gx != gy) return gx > gy;
            return forest.Slot(roots[x]) > forest.Slot(roots[y]);
        });
        for (int32_t g0 = 0, g1; g0 < count; g0 = g1) {
            for (g1 = g0; g1 < count && groupOf[order[g1]] == groupOf[order[g0]]; ++g1) {
            }
            const int32_t size = g1 - g0;
            int32_t *group = order.get() + g0;  // local indexes, group[0] has the largest slot
            const int32_t top = roots[group[0]];
            if (size == 2) {
                forest.Merge(out, nextNode, top, roots[group[1]], w);
                continue;
            }
            // Snapshot each cluster's columns before the merges change them.
            offset[0] = 0;
            for (int32_t k = 0; k < size; ++k)
                offset[k + 1] = offset[k] + forest.Members(roots[group[k]], members.get() + offset[k]);
            distances.Prepare(members.get(), offset[size]);
            // 0: not reached, 1: waiting to be absorbed, 2: absorbed (or the top).
            Block<int32_t> reached(size);
            for (int32_t k = 0; k < size; ++k) reached[k] = 0;
            int32_t unreached = size - 1;
            int32_t heapSize = 0;
            auto bySlot = [&](int32_t x, int32_t y) { return forest.Slot(roots[group[x]]) < forest.Slot(roots[group[y]]); };
            auto reach = [&](int32_t k) {
                reached[k] = 1;
                --unreached;
                heap[heapSize++] = k;
                std::push_heap(heap.get(), heap.get() + heapSize, bySlot);
            };
            // The open columns (those of clusters not reached yet) are kept
            // packed: open position p holds the group's column columnAt[p],
            // and the group's column t sits at open position openAt[t].
            const int32_t total = offset[size];
            Block<int32_t> clusterOf(total), columnAt(total), openAt(total);
            for (int32_t k = 0; k < size; ++k)
                for (int32_t t = offset[k]; t < offset[k + 1]; ++t) clusterOf[t] = k;
            for (int32_t t = 0; t < total; ++t) columnAt[t] = openAt[t] = t;
            int32_t open = total;
            auto close = [&](int32_t k) {
                for (int32_t t = offset[k]; t < offset[k + 1]; ++t) {
                    const int32_t p = openAt[t], last = --open;
                    distances.MoveOpen(p, last);
                    columnAt[p] = columnAt[last];
                    openAt[columnAt[p]] = p;
                }
            };
            // Some pair of columns of clusters x and y is at w. The smaller
            // cluster gives the columns whose distances to the other's run are
            // computed.
            auto touches = [&](int32_t x, int32_t y) {
                if (offset[x + 1] - offset[x] > offset[y + 1] - offset[y]) std::swap(x, y);
                const int32_t length = offset[y + 1] - offset[y];
                for (int32_t a = offset[x]; a < offset[x + 1]; ++a) {
                    distances.Between(a, offset[y], length, row.get());
                    for (int32_t b = 0; b < length; ++b)
                        if (row[b] == w) return true;
                }
                return false;
            };
            // Reaches every cluster lying at exactly w from `from`: from each
            // of its columns to all open columns at once while it has fewer
            // columns than are open, else cluster by cluster.
            Block<int32_t> found(size);
            auto expand = [&](int32_t from) {
                if (offset[from + 1] - offset[from] > open) {
                    for (int32_t k = 0; k < size && unreached > 0; ++k)
                        if (reached[k] == 0 && touches(from, k)) {
                            reach(k);
                            close(k);
                        }
                    return;
                }
                for (int32_t a = offset[from]; a < offset[from + 1] && open > 0; ++a) {
                    distances.ToOpen(a, open, row.get());
                    int32_t count = 0;
                    for (int32_t p = 0; p < open; ++p) {
                        const int32_t k = clusterOf[columnAt[p]];
                        if (row[p] == w && reached[k] == 0) {
                            reach(k);
                            found[count++] = k;
                        }
                    }
                    for (int32_t f = 0; f < count; ++f) close(found[f]);
                }
            };
            close(0);
            reached[0] = 2;
            expand(0);
            for (int32_t absorbed = 1; absorbed < size; ++absorbed) {
                if (heapSize == 0) SortieProg(ExitInternal);  // a group is connected at w
                std::pop_heap(heap.get(), heap.get() + heapSize, bySlot);
                const int32_t k = heap[--heapSize];
                forest.Merge(out, nextNode, top, roots[group[k]], w);
                reached[k] = 2;
                expand(k);
            }
        }
    }
}

}  // namespace

namespace {

template <class GroupDistances, class Data, class Tree>
void WriteTree(std::FILE *out, int32_t n, Data data, Tree tree) {
    if (n < 2) return;
    Block<Edge> edges(n - 1);
    tree(data, edges.get());
    GroupDistances distances(data);
    WriteLevels(out, n, edges.get(), distances);
}

// Tables up to this size stay in cache while the tree reads them once per
// column, and the column-by-column passes then run as fast as the tiles do.
// (Measured on this project's machine: at 14 MiB the column-by-column order
// took less time than batches of rows ahead, at 31 MiB and more it waited
// on memory and took two to three times as long.)
constexpr int64_t kCachedTableBytes = int64_t{16} << 20;

}  // namespace

SingleLinkageOrder ChooseSingleLinkageOrder(TableData table) {
    const int64_t cells = static_cast<int64_t>(table.lines) * table.columns;
    if (PairCount(table.columns) <= 4 * cells) return SingleLinkageOrder::StoredMatrix;
    if (cells * static_cast<int64_t>(sizeof(float)) > kCachedTableBytes) return SingleLinkageOrder::RowsAhead;
    return SingleLinkageOrder::ColumnByColumn;
}

void WriteSingleLinkage(std::FILE *out, TableData table) {
    WriteSingleLinkage(out, table, ChooseSingleLinkageOrder(table));
}

void WriteSingleLinkage(std::FILE *out, TableData table, SingleLinkageOrder order) {
    const int32_t n = table.columns;
    switch (order) {
        case SingleLinkageOrder::StoredMatrix: {
            if (n < 2) return;
            const DistanceMatrix matrix = ComputeColumnDistances(table);
            WriteTree<MatrixGroupDistances>(out, n, matrix, [](DistanceMatrix m, Edge *e) { SpanningTree(m, e); });
            std::free(matrix.values);
            return;
        }
        case SingleLinkageOrder::RowsAhead:
            WriteTree<TableGroupDistances>(out, n, table, SpanningTreeAhead);
            return;
        case SingleLinkageOrder::ColumnByColumn:
            WriteTree<TableGroupDistances>(out, n, table, [](TableData t, Edge *e) { SpanningTree(t, e); });
            return;
    }
}

void WriteSingleLinkage(std::FILE *out, DistanceMatrix matrix) {
    WriteTree<MatrixGroupDistances>(out, matrix.count, matrix, [](DistanceMatrix m, Edge *e) { SpanningTree(m, e); });
}
