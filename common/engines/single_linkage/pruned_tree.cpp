// Prim's algorithm over the columns of a table, with certified floors
// (kernels/half_floors.h) in place of most exact distances.
//
// Contract: every cell finite; the tree has the same weight on every edge
// as the tree of exact distances computed in full (it is a minimum spanning
// tree of the exact distances), whatever the kernel level.
//
// Rule. Prim lowers an open column p's tree distance best[p] to the new
// tree column u's exact distance F(u, p) only where F(u, p) < best[p]. Where
// the floor of the pair proves F(u, p) ≥ best[p] (it reaches reach[p], made
// from best[p]), the pair is skipped: it could not lower best[p]. Every
// other pair (a candidate) is evaluated exactly, from a copy of the columns
// as they are, so best[p] and parent[p] end each pass exactly as in the
// plain algorithm. reach[p] is recomputed whenever best[p] changes;
// best[p] starts infinite, whose reach is infinite, so the first pass
// evaluates every pair.
//
// Cost: the passes read the columns as halves (2 bytes a cell), one
// multiply-add per line and pair; exact evaluations only for the pairs that
// lower a tree distance or come within the floors' slack of it (about a
// thousandth of the distance on uniform tables; on a uniform table of
// 12,625 columns x 128 lines, 121,000 of its 79.7 million pairs). Where the
// floors prove little (distances that differ by less than the slack), the
// exact distances of whole panels go through the vector kernel, as in the
// column-by-column order, and the floors' cost comes on top.
#include <cmath>

#include "base/parallel.h"
#include "base/progress.h"
#include "base/utils.h"
#include "engines/single_linkage/spanning_trees.h"
#include "kernels/distance_floors.h"
#include "kernels/half_floors.h"
#include "kernels/distance_tiles.h"
#include "model/table.h"

namespace single_linkage {

namespace {

constexpr int32_t kPanel = 32;

// The open columns, packed at the front of panels of kPanel columns of
// halves stored line after line, with their per-column state by position.
class OpenColumns {
public:
    OpenColumns(TableData table, const HalfFloors &floors)
        : lines_(table.lines),
          halves_((static_cast<int64_t>(table.columns) + kPanel - 1) / kPanel * kPanel * table.lines),
          cells_((static_cast<int64_t>(table.columns) + kPanel - 1) / kPanel * kPanel * table.lines),
          vertex_(table.columns),
          parent_(table.columns),
          best_(table.columns),
          reduced_(table.columns),
          error_(table.columns),
          reach_(table.columns) {
        // Line after line, so that the table is read in its own order.
        const int64_t total = (static_cast<int64_t>(table.columns) + kPanel - 1) / kPanel * kPanel;
        for (int32_t l = 0; l < lines_; ++l) {
            const float *line = table.values + static_cast<int64_t>(l) * table.columns;
            for (int64_t c = 0; c < total; ++c) {
                Cell(l, c) = c < table.columns ? line[c] : 0.0f;
                Half(l, c) = floors.Encode(Cell(l, c), l);
            }
        }
        for (int32_t c = 0; c < table.columns; ++c) {
            vertex_[c] = c;
            // The first tree column, in case no distance to it is finite.
            parent_[c] = table.columns - 1;
            best_[c] = INFINITY;
            reach_[c] = INFINITY;
            reduced_[c] = floors.Reduced(&Half(0, c), kPanel);
            error_[c] = floors.ErrorNorm(&Cell(0, c), kPanel, &Half(0, c), kPanel);
        }
    }

    uint16_t &Half(int32_t l, int64_t c) const {
        return halves_[(c / kPanel) * lines_ * kPanel + l * kPanel + c % kPanel];
    }
    const uint16_t *Panel(int64_t k) const { return halves_.get() + k * lines_ * kPanel; }
    float &Cell(int32_t l, int64_t c) const {
        return cells_[(c / kPanel) * lines_ * kPanel + l * kPanel + c % kPanel];
    }
    const float *CellPanel(int64_t k) const { return cells_.get() + k * lines_ * kPanel; }

    // Moves the column at position `from` to position `to`.
    void Move(int64_t to, int64_t from) {
        for (int32_t l = 0; l < lines_; ++l) {
            Half(l, to) = Half(l, from);
            Cell(l, to) = Cell(l, from);
        }
        vertex_[to] = vertex_[from];
        parent_[to] = parent_[from];
        best_[to] = best_[from];
        reduced_[to] = reduced_[from];
        error_[to] = error_[from];
        reach_[to] = reach_[from];
    }

    int32_t lines_;
    Block<uint16_t> halves_;
    Block<float> cells_;  // the same columns as they are, for exact distances
    Block<int32_t> vertex_, parent_;
    Block<float> best_;
    Block<double> reduced_, error_, reach_;
};

// The new tree column: its cells (for exact distances), its halves as
// floats (for the floors), and its position's floor terms.
struct TreeColumn {
    int32_t id;
    const float *cells;
    const float *halves;
    double reduced, error;
};

// Per part of a pass: `count` entries each.
struct PassBuffers {
    int64_t *found;
    const float **columns;
    float *exact;
};

// Where the floors leave many pairs of a panel open (as on tables whose
// distances differ by less than the floors' slack), the panel's exact
// distances are computed all at once by the vector kernel.
constexpr int64_t kDensePanel = 8;

// Lowers best[p] to `exact` where it is smaller.
inline void Lower(OpenColumns &open, const HalfFloors &floors, int32_t u, int64_t p, float exact) {
    if (exact < open.best_[p]) {
        open.best_[p] = exact;
        open.parent_[p] = u;
        open.reach_[p] = floors.Reach(exact, open.error_[p]);
    }
}

// One pass over positions [begin, end) (begin a multiple of kPanel) for the
// new tree column u: floors, the candidates' exact distances, and the
// lowering. Returns the first position of the smallest tree distance in the
// range, or -1 for an empty range.
int64_t Pass(OpenColumns &open, const HalfFloors &floors, const TreeColumn &u, int64_t begin, int64_t end,
             PassBuffers buffers) {
    if (begin >= end) return -1;
    int64_t count = 0;
    float dots[kPanel], panel[kPanel];
    for (int64_t k = begin / kPanel; k * kPanel < end; ++k) {
        HalfInnerProducts(open.Panel(k), open.lines_, u.halves, dots);
        const int64_t first = k * kPanel, last = first + kPanel < end ? first + kPanel : end;
        int64_t *found = buffers.found + count;
        const int64_t listed = OpenHalfFloors(u.reduced, u.error, open.reduced_.get() + first, dots,
                                              open.reach_.get() + first, last - first, first, floors.factor(),
                                              floors.slack(), found);
        if (listed < kDensePanel) {
            count += listed;
            continue;
        }
        DistancesToColumns(ColumnBlock{open.CellPanel(k), kPanel}, open.lines_, u.cells, last - first, panel);
        for (int64_t c = 0; c < listed; ++c) Lower(open, floors, u.id, found[c], panel[found[c] - first]);
    }
    for (int64_t c = 0; c < count; ++c) buffers.columns[c] = &open.Cell(0, buffers.found[c]);
    ExactDistancesToColumns(u.cells, open.lines_, buffers.columns, kPanel, count, buffers.exact);
    for (int64_t c = 0; c < count; ++c) Lower(open, floors, u.id, buffers.found[c], buffers.exact[c]);
    return begin + FirstSmallest(open.best_.get() + begin, end - begin);
}

}  // namespace

void SpanningTreePruned(TableData table, Edge *edges) {
    const int32_t n = table.columns, lines = table.lines;
    const HalfFloors floors(table);
    OpenColumns open(table, floors);
    Block<int64_t> found(n);
    Block<const float *> columns(n);
    Block<float> exact(n), cells(lines > 0 ? lines : 1), halves(lines > 0 ? lines : 1);
    TreeColumn u{n - 1, cells.get(), halves.get(), open.reduced_[n - 1], open.error_[n - 1]};
    auto take = [&](int64_t q) {
        u.id = open.vertex_[q];
        u.reduced = open.reduced_[q];
        u.error = open.error_[q];
        for (int32_t l = 0; l < lines; ++l) {
            cells[l] = open.Cell(l, q);
            halves[l] = HalfFloors::Decode(open.Half(l, q));
        }
    };
    int32_t r = n - 1;
    take(r);
    int64_t nearest[2] = {-1, -1};
    auto pass = [&](int64_t begin, int64_t end, int part) {
        nearest[part] = Pass(open, floors, u, begin, end,
                             PassBuffers{found.get() + begin, columns.get() + begin, exact.get() + begin});
    };
    TwoWayLoop loop;
    // Hand-overs only pay off on long rows: about 64K cells per pass.
    const int64_t parallelMinimum = lines > 0 ? (int64_t{1} << 16) / lines + 1 : INT64_MAX;
    ProgressStart("distances", PairCount(n));
    for (int32_t e = 0; e < n - 1; ++e) {
        ProgressAdvance(PairCount(n) - PairCount(r + 1));
        loop.Run(r, (r / 2) / kPanel * kPanel, parallelMinimum, pass);
        int64_t q = nearest[0];
        if (q < 0 || (nearest[1] >= 0 && open.best_[nearest[1]] < open.best_[q])) q = nearest[1];
        edges[e] = Edge{open.parent_[q], open.vertex_[q], open.best_[q]};
        take(q);
        // Fill the hole with the last open column.
        open.Move(q, --r);
    }
}

}  // namespace single_linkage
