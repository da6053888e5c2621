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
// Up to this many lines the floors over halves prove most pairs of tables
// whose matrix would be stored (measured on uniform tables: at 1,000 and
// 2,000 lines the floored order took 0.25 to 0.4 of the stored matrix's
// time; at 20,000 lines, where distances differ by less than the floors'
// slack, ten times as long).
constexpr int32_t kFloorLinesStored = 2048;

}  // namespace

SingleLinkageOrder ChooseSingleLinkageOrder(TableData table) {
    const int64_t cells = static_cast<int64_t>(table.lines) * table.columns;
    const bool cached = cells * static_cast<int64_t>(sizeof(float)) <= kCachedTableBytes;
    // The floored order wins wherever the table stays in cache (measured
    // from 2 to 2,000 lines: 0.2 to 0.6 of the column-by-column order's
    // time on uniform tables).
    if (PairCount(table.columns) <= 4 * cells)
        return cached && table.lines <= kFloorLinesStored ? SingleLinkageOrder::FlooredColumns
                                                          : SingleLinkageOrder::StoredMatrix;
    if (!cached) return SingleLinkageOrder::RowsAhead;
    if (table.lines <= DistanceFloors::kMaxLines) return SingleLinkageOrder::FlooredColumns;
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
