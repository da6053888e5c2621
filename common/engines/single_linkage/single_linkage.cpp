// Minimum link through a minimum spanning tree (spanning_trees.h) and the
// levels of equal distances in it (tie_levels.h).
#include "engines/single_linkage/single_linkage.h"

#include <cstdlib>

#include "base/utils.h"
#include "engines/single_linkage/spanning_trees.h"
#include "engines/single_linkage/tie_levels.h"
#include "kernels/distance_floors.h"
#include "kernels/distance_tiles.h"

namespace {

using single_linkage::Edge;

// A spanning tree of the data, then its levels.
template <class Data, class Tree>
void WriteTree(std::FILE *out, int32_t n, Data data, Tree tree) {
    if (n < 2) return;
    Block<Edge> edges(n - 1);
    tree(data, edges.get());
    single_linkage::WriteTieLevels(out, n, edges.get(), data);
}

// Tables up to this size stay in cache while the tree reads them once per
// column, and the column-by-column passes then run as fast as the tiles do.
// (Measured on this project's machine: at 14 MiB the column-by-column order
// took less time than batches of rows ahead, at 31 MiB and more it waited
// on memory and took two to three times as long.)
constexpr int64_t kCachedTableBytes = int64_t{16} << 20;
// The floored order reads the table as halves, once per column that joins
// the tree, and skips most exact distances: it wins over every other order
// on tables up to this size (measured on uniform tables: 0.2 to 0.6 of the
// column-by-column order's time from 2 to 2,000 lines, 0.25 to 0.4 of the
// stored matrix's at 1,000 and 2,000 lines, a seventh of the batches of
// rows ahead at 16,000 x 264)...
constexpr int64_t kFlooredTableBytes = int64_t{32} << 20;
// ... and up to this many lines (at 20,000 lines, where distances differ by
// less than the floors' slack, it took ten times as long as the stored
// matrix).
constexpr int32_t kFloorLines = 2048;

}  // namespace

SingleLinkageOrder ChooseSingleLinkageOrder(TableData table) {
    const int64_t bytes = static_cast<int64_t>(table.lines) * table.columns * static_cast<int64_t>(sizeof(float));
    if (bytes <= kFlooredTableBytes && table.lines <= kFloorLines) return SingleLinkageOrder::FlooredColumns;
    if (PairCount(table.columns) <= 4 * (bytes / static_cast<int64_t>(sizeof(float))))
        return SingleLinkageOrder::StoredMatrix;
    if (bytes > kCachedTableBytes) return SingleLinkageOrder::RowsAhead;
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
            WriteTree(out, n, matrix, [](DistanceMatrix m, Edge *e) { single_linkage::SpanningTree(m, e); });
            std::free(matrix.values);
            return;
        }
        case SingleLinkageOrder::RowsAhead:
            WriteTree(out, n, table, single_linkage::SpanningTreeAhead);
            return;
        case SingleLinkageOrder::FlooredColumns:
            WriteTree(out, n, table, single_linkage::SpanningTreePruned);
            return;
        case SingleLinkageOrder::ColumnByColumn:
            WriteTree(out, n, table, [](TableData t, Edge *e) { single_linkage::SpanningTree(t, e); });
            return;
    }
}

void WriteSingleLinkage(std::FILE *out, DistanceMatrix matrix) {
    WriteTree(out, matrix.count, matrix, [](DistanceMatrix m, Edge *e) { single_linkage::SpanningTree(m, e); });
}
