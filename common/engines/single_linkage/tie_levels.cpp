#include "engines/single_linkage/tie_levels.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/utils.h"
#include "engines/merge_line.h"
#include "kernels/distance_floors.h"
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

// Distances between the columns of one group of clusters. A pair's
// distance is computed exactly only where its floor (kernels/
// distance_floors.h) cannot prove it above the level's weight w (the floor
// reaching Threshold of the next float above w proves the distance is not
// w); the others are given as infinity. The inner products are read from
// the table itself at first: for few columns one column at a time, for many
// in one pass over the whole table. A group that asks for more than a few
// such passes' worth is copied, as a block of its columns and a compacted
// block of its open ones, both line by line, so that its further inner
// products read only its own columns.
class TableGroupDistances {
public:
    explicit TableGroupDistances(TableData table)
        : table_(table),
          floors_(table.lines),
          reduced_(table.columns),
          dots_(table.columns),
          exact_(table.columns),
          open_(table.columns),
          candidates_(table.columns),
          columns_(table.columns),
          x_(table.lines > 0 ? table.lines : 1) {
        Block<double> squares(table.columns);
        for (int32_t c = 0; c < table.columns; ++c) squares[c] = 0.0;
        for (int32_t l = 0; l < table.lines; ++l) {
            const float *line = table.values + static_cast<int64_t>(l) * table.columns;
            for (int32_t c = 0; c < table.columns; ++c) squares[c] = static_cast<double>(line[c]) * line[c] + squares[c];
        }
        for (int32_t c = 0; c < table.columns; ++c) reduced_[c] = floors_.ReducedFromSum(squares[c]);
    }
    ~TableGroupDistances() { Release(); }
    TableGroupDistances(const TableGroupDistances &) = delete;
    TableGroupDistances &operator=(const TableGroupDistances &) = delete;

    void Prepare(const int32_t *members, int32_t count, float w) {
        members_ = members;
        count_ = count;
        for (int32_t t = 0; t < count; ++t) open_[t] = members[t];
        threshold_ = floors_.Threshold(std::nextafter(w, INFINITY));
        copied_ = false;
        work_ = 0;
    }
    // out[t] = distance between the group's columns a and begin + t.
    void Between(int32_t a, int32_t begin, int32_t length, float *out) {
        if (Copy()) {
            Load(block_ + a);
            FromBlock(block_ + begin, reducedBlock_ + begin, length, members_[a], out);
        } else {
            FromTable(members_[a], members_ + begin, length, out);
        }
    }
    // out[p] = distance between the group's column a and open column p < open.
    void ToOpen(int32_t a, int32_t open, float *out) {
        if (Copy()) {
            Load(block_ + a);
            FromBlock(openBlock_, reducedOpen_, open, members_[a], out);
        } else {
            FromTable(members_[a], open_.get(), open, out);
        }
    }
    // Open column `to` takes the place of open column `from`.
    void MoveOpen(int32_t to, int32_t from) {
        open_[to] = open_[from];
        if (!copied_) return;
        for (int32_t l = 0; l < table_.lines; ++l)
            openBlock_[static_cast<int64_t>(l) * count_ + to] = openBlock_[static_cast<int64_t>(l) * count_ + from];
        reducedOpen_[to] = reducedOpen_[from];
    }

private:
    // Whether the group is copied; it is, once the passes over the table
    // have read more than sixteen times its own cells.
    bool Copy() {
        if (copied_ || work_ <= 16 * static_cast<int64_t>(count_)) return copied_;
        const int64_t cells = static_cast<int64_t>(table_.lines) * count_;
        if (cells > capacity_ || count_ > columnCapacity_) {
            Release();
            block_ = Allocate<float>(cells);
            openBlock_ = Allocate<float>(cells);
            capacity_ = cells;
            reducedBlock_ = Allocate<double>(count_);
            reducedOpen_ = Allocate<double>(count_);
            columnCapacity_ = count_;
        }
        for (int32_t l = 0; l < table_.lines; ++l) {
            const float *line = table_.values + static_cast<int64_t>(l) * table_.columns;
            float *block = block_ + static_cast<int64_t>(l) * count_, *open = openBlock_ + static_cast<int64_t>(l) * count_;
            for (int32_t t = 0; t < count_; ++t) {
                block[t] = line[members_[t]];
                open[t] = line[open_[t]];
            }
        }
        for (int32_t t = 0; t < count_; ++t) {
            reducedBlock_[t] = reduced_[members_[t]];
            reducedOpen_[t] = reduced_[open_[t]];
        }
        copied_ = true;
        return true;
    }

    template <class T>
    static T *Allocate(int64_t count) {
        return static_cast<T *>(monmalloc((count > 0 ? count : 1) * static_cast<int64_t>(sizeof(T))));
    }
    void Release() {
        std::free(block_);
        std::free(openBlock_);
        std::free(reducedBlock_);
        std::free(reducedOpen_);
        block_ = openBlock_ = nullptr;
        reducedBlock_ = reducedOpen_ = nullptr;
    }

    // x = a column of the copied block.
    void Load(const float *column) {
        for (int32_t l = 0; l < table_.lines; ++l) x_[l] = column[static_cast<int64_t>(l) * count_];
    }

    // The distances from column a to the listed columns of the table.
    void FromTable(int32_t a, const int32_t *to, int32_t length, float *out) {
        const int32_t lines = table_.lines, n = table_.columns;
        for (int32_t l = 0; l < lines; ++l) x_[l] = table_.values[static_cast<int64_t>(l) * n + a];
        float *dots = dots_.get();
        if (static_cast<int64_t>(length) * 8 >= n) {
            InnerProducts(ColumnBlock{table_.values, n}, lines, x_.get(), n, dots);
            work_ += n;
        } else {
            // Each column read on its own costs about eight cells' time.
            for (int32_t t = 0; t < length; ++t)
                InnerProducts(ColumnBlock{table_.values + to[t], n}, lines, x_.get(), 1, dots + to[t]);
            work_ += 8 * static_cast<int64_t>(length);
        }
        int64_t open = 0;
        for (int32_t t = 0; t < length; ++t) {
            candidates_[open] = t;
            open += !DistanceFloors::Proves(reduced_[a], reduced_[to[t]], dots[to[t]], threshold_);
        }
        for (int64_t c = 0; c < open; ++c) columns_[c] = table_.values + to[candidates_[c]];
        Finish(open, n, length, out);
    }

    // The distances from x (column a) to `length` columns of a copied block.
    void FromBlock(const float *first, const double *reduced, int32_t length, int32_t a, float *out) {
        float *dots = dots_.get();
        InnerProducts(ColumnBlock{first, count_}, table_.lines, x_.get(), length, dots);
        int64_t open = 0;
        for (int32_t t = 0; t < length; ++t) {
            candidates_[open] = t;
            open += !DistanceFloors::Proves(reduced_[a], reduced[t], dots[t], threshold_);
        }
        for (int64_t c = 0; c < open; ++c) columns_[c] = first + candidates_[c];
        Finish(open, count_, length, out);
    }

    // Infinity everywhere but at the candidates, whose columns (read with
    // step `step`) are measured exactly against x.
    void Finish(int64_t open, int64_t step, int32_t length, float *out) {
        for (int32_t t = 0; t < length; ++t) out[t] = INFINITY;
        ExactDistancesToColumns(x_.get(), table_.lines, columns_.get(), step, open, exact_.get());
        for (int64_t c = 0; c < open; ++c) out[candidates_[c]] = exact_[c];
    }

    TableData table_;
    DistanceFloors floors_;
    Block<double> reduced_;  // by column
    Block<float> dots_;
    Block<float> exact_;
    Block<int32_t> open_;  // the open columns, by open position
    Block<int64_t> candidates_;
    Block<const float *> columns_;
    Block<float> x_;
    const int32_t *members_ = nullptr;
    int32_t count_ = 0;
    double threshold_ = INFINITY;  // the level's
    bool copied_ = false;
    int64_t work_ = 0;  // columns' worth read from the table for this group
    float *block_ = nullptr, *openBlock_ = nullptr;
    double *reducedBlock_ = nullptr, *reducedOpen_ = nullptr;
    int64_t capacity_ = 0;
    int32_t columnCapacity_ = 0;
};

class MatrixGroupDistances {
public:
    explicit MatrixGroupDistances(DistanceMatrix matrix) : matrix_(matrix), open_(matrix.count) {}
    void Prepare(const int32_t *members, int32_t count, float) {
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

// The merge lines of a tree's levels, one level (the edges of one weight)
// after another, each group of clusters that a level connects after
// another: a group of two is one merge; in a larger one, the largest slot
// absorbs the clusters it reaches at the level's weight, largest first.
template <class GroupDistances>
class LevelWriter {
public:
    LevelWriter(std::FILE *out, int32_t n, GroupDistances &distances)
        : out_(out),
          m_(n - 1),
          distances_(distances),
          forest_(n),
          stamp_(n),
          local_(n),
          roots_(2 * static_cast<int64_t>(m_)),
          localUp_(2 * static_cast<int64_t>(m_)),
          order_(2 * static_cast<int64_t>(m_)),
          groupOf_(2 * static_cast<int64_t>(m_)),
          offset_(2 * static_cast<int64_t>(m_) + 1),
          members_(n),
          heap_(2 * static_cast<int64_t>(m_)),
          row_(n) {
        for (int32_t k = 0; k < n; ++k) stamp_[k] = -1;
    }

    // `edges` sorted by weight.
    void Run(const Edge *edges) {
        for (int32_t s = 0, t; s < m_; s = t) {
            const float w = edges[s].w;
            for (t = s; t < m_ && edges[t].w == w; ++t) {
            }
            const int32_t count = GatherLevel(edges, s, t);
            SortByGroup(count);
            for (int32_t g0 = 0, g1; g0 < count; g0 = g1) {
                for (g1 = g0; g1 < count && groupOf_[order_[g1]] == groupOf_[order_[g0]]; ++g1) {
                }
                // Local indexes, group[0] has the largest slot.
                const int32_t *group = order_.get() + g0;
                if (g1 - g0 == 2) {
                    forest_.Merge(out_, nextNode_, roots_[group[0]], roots_[group[1]], w);
                } else {
                    GroupMerge(*this, group, g1 - g0, w).Run();
                }
            }
        }
    }

private:
    int32_t LocalFind(int32_t x) {
        while (localUp_[x] != x) x = localUp_[x] = localUp_[localUp_[x]];
        return x;
    }

    // The clusters that the edges [s, t) join, numbered locally (their
    // count is returned), and their groups.
    int32_t GatherLevel(const Edge *edges, int32_t s, int32_t t) {
        int32_t count = 0;
        for (int32_t e = s; e < t; ++e) {
            int32_t ends[2] = {forest_.Find(edges[e].a), forest_.Find(edges[e].b)};
            for (int32_t root : ends)
                if (stamp_[root] != s) {
                    stamp_[root] = s;
                    local_[root] = count;
                    roots_[count] = root;
                    localUp_[count] = count;
                    ++count;
                }
            const int32_t x = LocalFind(local_[ends[0]]), y = LocalFind(local_[ends[1]]);
            if (x != y) localUp_[x] = y;
        }
        return count;
    }

    // Sorts the clusters by group, and within a group by slot, largest first.
    void SortByGroup(int32_t count) {
        for (int32_t k = 0; k < count; ++k) order_[k] = k;
        for (int32_t k = 0; k < count; ++k) groupOf_[k] = LocalFind(k);
        Block<int32_t> groupTop(count);
        for (int32_t k = 0; k < count; ++k) groupTop[k] = -1;
        for (int32_t k = 0; k < count; ++k)
            groupTop[groupOf_[k]] = std::max(groupTop[groupOf_[k]], forest_.Slot(roots_[k]));
        std::sort(order_.get(), order_.get() + count, [&](int32_t x, int32_t y) {
            const int32_t gx = groupTop[groupOf_[x]], gy = groupTop[groupOf_[y]];
            if (gx != gy) return gx > gy;
            return forest_.Slot(roots_[x]) > forest_.Slot(roots_[y]);
        });
    }

    // The merges of one group of three or more clusters at weight w.
    class GroupMerge {
    public:
        GroupMerge(LevelWriter &level, const int32_t *group, int32_t size, float w)
            : l_(level), group_(group), size_(size), w_(w), offset_(Snapshot(level, group, size, w)), reached_(size),
              clusterOf_(offset_[size]), columnAt_(offset_[size]), openAt_(offset_[size]), found_(size) {
            for (int32_t k = 0; k < size; ++k) reached_[k] = 0;
            unreached_ = size - 1;
            const int32_t total = offset_[size];
            for (int32_t k = 0; k < size; ++k)
                for (int32_t t = offset_[k]; t < offset_[k + 1]; ++t) clusterOf_[t] = k;
            for (int32_t t = 0; t < total; ++t) columnAt_[t] = openAt_[t] = t;
            open_ = total;
        }

        void Run() {
            const int32_t top = l_.roots_[group_[0]];
            Close(0);
            reached_[0] = 2;
            Expand(0);
            for (int32_t absorbed = 1; absorbed < size_; ++absorbed) {
                if (heapSize_ == 0) SortieProg(ExitInternal);  // a group is connected at w
                std::pop_heap(l_.heap_.get(), l_.heap_.get() + heapSize_, BySlot());
                const int32_t k = l_.heap_[--heapSize_];
                l_.forest_.Merge(l_.out_, l_.nextNode_, top, l_.roots_[group_[k]], w_);
                reached_[k] = 2;
                Expand(k);
            }
        }

    private:
        // Each cluster's columns, listed before the merges change them, and
        // handed to the distances; offset[k] is where cluster k's start.
        static const int32_t *Snapshot(LevelWriter &l, const int32_t *group, int32_t size, float w) {
            int32_t *offset = l.offset_.get();
            offset[0] = 0;
            for (int32_t k = 0; k < size; ++k)
                offset[k + 1] = offset[k] + l.forest_.Members(l.roots_[group[k]], l.members_.get() + offset[k]);
            l.distances_.Prepare(l.members_.get(), offset[size], w);
            return offset;
        }

        auto BySlot() const {
            return [this](int32_t x, int32_t y) {
                return l_.forest_.Slot(l_.roots_[group_[x]]) < l_.forest_.Slot(l_.roots_[group_[y]]);
            };
        }

        // 0: not reached, 1: waiting to be absorbed, 2: absorbed (or the top).
        void Reach(int32_t k) {
            reached_[k] = 1;
            --unreached_;
            l_.heap_[heapSize_++] = k;
            std::push_heap(l_.heap_.get(), l_.heap_.get() + heapSize_, BySlot());
        }

        // The open columns (those of clusters not reached yet) are kept
        // packed: open position p holds the group's column columnAt[p], and
        // the group's column t sits at open position openAt[t].
        void Close(int32_t k) {
            for (int32_t t = offset_[k]; t < offset_[k + 1]; ++t) {
                const int32_t p = openAt_[t], last = --open_;
                l_.distances_.MoveOpen(p, last);
                columnAt_[p] = columnAt_[last];
                openAt_[columnAt_[p]] = p;
            }
        }

        // Some pair of columns of clusters x and y is at w. The smaller
        // cluster gives the columns whose distances to the other's run are
        // computed.
        bool Touches(int32_t x, int32_t y) {
            if (offset_[x + 1] - offset_[x] > offset_[y + 1] - offset_[y]) std::swap(x, y);
            const int32_t length = offset_[y + 1] - offset_[y];
            float *row = l_.row_.get();
            for (int32_t a = offset_[x]; a < offset_[x + 1]; ++a) {
                l_.distances_.Between(a, offset_[y], length, row);
                for (int32_t b = 0; b < length; ++b)
                    if (row[b] == w_) return true;
            }
            return false;
        }

        // Reaches every cluster lying at exactly w from `from`: from each of
        // its columns to all open columns at once while it has fewer columns
        // than are open, else cluster by cluster.
        void Expand(int32_t from) {
            if (offset_[from + 1] - offset_[from] > open_) {
                for (int32_t k = 0; k < size_ && unreached_ > 0; ++k)
                    if (reached_[k] == 0 && Touches(from, k)) {
                        Reach(k);
                        Close(k);
                    }
                return;
            }
            float *row = l_.row_.get();
            for (int32_t a = offset_[from]; a < offset_[from + 1] && open_ > 0; ++a) {
                l_.distances_.ToOpen(a, open_, row);
                int32_t count = 0;
                for (int32_t p = 0; p < open_; ++p) {
                    const int32_t k = clusterOf_[columnAt_[p]];
                    if (row[p] == w_ && reached_[k] == 0) {
                        Reach(k);
                        found_[count++] = k;
                    }
                }
                for (int32_t f = 0; f < count; ++f) Close(found_[f]);
            }
        }

        LevelWriter &l_;
        const int32_t *group_;
        int32_t size_;
        float w_;
        const int32_t *offset_;
        Block<int32_t> reached_, clusterOf_, columnAt_, openAt_, found_;
        int32_t unreached_ = 0, heapSize_ = 0, open_ = 0;
    };

    std::FILE *out_;
    int32_t m_;
    GroupDistances &distances_;
    Forest forest_;
    Block<int32_t> stamp_, local_;
    Block<int32_t> roots_, localUp_;
    Block<int32_t> order_, groupOf_;
    Block<int32_t> offset_, members_, heap_;
    Block<float> row_;
    int32_t nextNode_ = 0;
};

template <class GroupDistances>
void WriteLevels(std::FILE *out, int32_t n, Edge *edges, GroupDistances &distances) {
    if (n < 2) return;
    std::sort(edges, edges + (n - 1), [](const Edge &x, const Edge &y) { return x.w < y.w; });
    LevelWriter<GroupDistances> levels(out, n, distances);
    levels.Run(edges);
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
