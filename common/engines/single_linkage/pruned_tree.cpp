// Prim's algorithm over the columns of a table, with certified floors
// (kernels/distance_floors.h) in place of most exact distances.
//
// Contract: every cell finite; the tree has the same weight on every edge
// as the tree of exact distances computed in full (it is a minimum spanning
// tree of the exact distances), whatever the kernel level.
//
// Rule. Prim lowers an open column p's tree distance best[p] to the new
// tree column u's exact distance F(u, p) only where F(u, p) < best[p]. Where
// the floor of the pair reaches threshold[p] = Threshold(best[p]), F(u, p)
// ≥ best[p] is proved and the pair is skipped: it could not lower best[p].
// Every other pair (the candidates) is evaluated exactly, so best[p] and
// parent[p] end each pass exactly as in the plain algorithm. threshold[p]
// is recomputed whenever best[p] changes; best[p] starts infinite, whose
// threshold is infinite, so the first pass evaluates every pair.
//
// Cost: one float multiply-add per line and pair for the floors (a tenth of
// an exact evaluation), exact evaluations only for the pairs that lower a
// tree distance or come within the floors' slack of it (about 1e-5 of the
// squared distance at 128 lines).
#include <cmath>

#include "base/parallel.h"
#include "base/progress.h"
#include "base/utils.h"
#include "engines/single_linkage/spanning_trees.h"
#include "kernels/distance_floors.h"
#include "kernels/distance_tiles.h"
#include "model/table.h"

namespace single_linkage {

namespace {

constexpr int32_t kPanel = 32;

// The open columns, packed at the front of panels of kPanel columns stored
// line after line, with their per-column state by position.
class OpenColumns {
public:
    OpenColumns(TableData table, const DistanceFloors &floors)
        : lines_(table.lines),
          cells_((static_cast<int64_t>(table.columns) + kPanel - 1) / kPanel * kPanel * table.lines),
          vertex_(table.columns),
          parent_(table.columns),
          best_(table.columns),
          reduced_(table.columns),
          threshold_(table.columns) {
        // Line after line, so that the table is read in its own order.
        const int64_t total = (static_cast<int64_t>(table.columns) + kPanel - 1) / kPanel * kPanel;
        for (int32_t l = 0; l < lines_; ++l) {
            const float *line = table.values + static_cast<int64_t>(l) * table.columns;
            for (int64_t c = 0; c < total; ++c) Cell(l, c) = c < table.columns ? line[c] : 0.0f;
        }
        for (int32_t c = 0; c < table.columns; ++c) {
            vertex_[c] = c;
            // The first tree column, in case no distance to it is finite.
            parent_[c] = table.columns - 1;
            best_[c] = INFINITY;
            threshold_[c] = INFINITY;
            reduced_[c] = floors.Reduced(Column(c), kPanel);
        }
    }

    float &Cell(int32_t l, int64_t c) const { return cells_[(c / kPanel) * lines_ * kPanel + l * kPanel + c % kPanel]; }
    // Column at position c, read with step kPanel.
    const float *Column(int64_t c) const { return &Cell(0, c); }
    const float *Panel(int64_t k) const { return cells_.get() + k * lines_ * kPanel; }

    // Moves the column at position `from` to position `to`.
    void Move(int64_t to, int64_t from) {
        for (int32_t l = 0; l < lines_; ++l) Cell(l, to) = Cell(l, from);
        vertex_[to] = vertex_[from];
        parent_[to] = parent_[from];
        best_[to] = best_[from];
        reduced_[to] = reduced_[from];
        threshold_[to] = threshold_[from];
    }

    int32_t lines_;
    Block<float> cells_;
    Block<int32_t> vertex_, parent_;
    Block<float> best_;
    Block<double> reduced_, threshold_;
};

// One pass over positions [begin, end) (begin a multiple of kPanel) for the
// new tree column u, whose values are x: floors, the candidates' exact
// distances, and the lowering. Returns the first position of the smallest
// tree distance in the range, or -1 for an empty range. `found` and
// `exact` hold end - begin entries.
int64_t Pass(OpenColumns &open, const DistanceFloors &floors, const float *x, double reducedU, int32_t u,
             int64_t begin, int64_t end, int64_t *found, const float **columns, float *exact) {
    if (begin >= end) return -1;
    int64_t count = 0;
    float dots[kPanel];
    for (int64_t k = begin / kPanel; k * kPanel < end; ++k) {
        InnerProducts(ColumnBlock{open.Panel(k), kPanel}, open.lines_, x, kPanel, dots);
        const int64_t first = k * kPanel, last = first + kPanel < end ? first + kPanel : end;
        count += OpenFloors(reducedU, open.reduced_.get() + first, dots, open.threshold_.get() + first, last - first,
                            first, found + count);
    }
    for (int64_t c = 0; c < count; ++c) columns[c] = open.Column(found[c]);
    ExactDistancesToColumns(x, open.lines_, columns, kPanel, count, exact);
    for (int64_t c = 0; c < count; ++c) {
        const int64_t p = found[c];
        if (exact[c] < open.best_[p]) {
            open.best_[p] = exact[c];
            open.parent_[p] = u;
            open.threshold_[p] = floors.Threshold(exact[c]);
        }
    }
    return begin + FirstSmallest(open.best_.get() + begin, end - begin);
}

}  // namespace

void SpanningTreePruned(TableData table, Edge *edges) {
    const int32_t n = table.columns, lines = table.lines;
    const DistanceFloors floors(lines);
    OpenColumns open(table, floors);
    Block<int64_t> found(n);
    Block<const float *> columns(n);
    Block<float> exact(n), x(lines > 0 ? lines : 1);
    int32_t u = n - 1, r = n - 1;
    double reducedU = open.reduced_[u];
    for (int32_t l = 0; l < lines; ++l) x[l] = open.Cell(l, u);
    int64_t nearest[2] = {-1, -1};
    auto pass = [&](int64_t begin, int64_t end, int part) {
        nearest[part] = Pass(open, floors, x.get(), reducedU, u, begin, end, found.get() + begin,
                             columns.get() + begin, exact.get() + begin);
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
        u = open.vertex_[q];
        reducedU = open.reduced_[q];
        for (int32_t l = 0; l < lines; ++l) x[l] = open.Cell(l, q);
        // Fill the hole with the last open column.
        open.Move(q, --r);
    }
}

}  // namespace single_linkage
