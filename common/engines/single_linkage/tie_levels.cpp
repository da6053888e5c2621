#include "engines/single_linkage/tie_levels.h"

#include <algorithm>
#include <cstdlib>

#include "base/utils.h"
#include "engines/merge_line.h"
#include "kernels/kernels.h"

namespace single_linkage {

namespace {

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

void WriteTieLevels(std::FILE *out, int32_t n, Edge *edges, TableData table) {
    TableGroupDistances distances(table);
    WriteLevels(out, n, edges, distances);
}

void WriteTieLevels(std::FILE *out, int32_t n, Edge *edges, DistanceMatrix matrix) {
    MatrixGroupDistances distances(matrix);
    WriteLevels(out, n, edges, distances);
}

}  // namespace single_linkage
