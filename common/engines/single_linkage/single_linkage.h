// Minimum-link dendrogram through a minimum spanning tree: the same lines as
// the engine that rescans every pair, in O(n^2) distance evaluations and,
// for a table, O(n) memory beyond a copy of the table.
#pragma once

#include <cstdio>

#include "model/distance_matrix.h"
#include "model/table.h"

// Every cell of the table must be finite. The order in which the distances
// are computed is chosen from the table's shape (ChooseSingleLinkageOrder);
// every order gives the same lines.
void WriteSingleLinkage(std::FILE *out, TableData table);
// The matrix must hold no NaN and no negative zero.
void WriteSingleLinkage(std::FILE *out, DistanceMatrix matrix);

enum class SingleLinkageOrder {
    // Where the packed matrix of column distances is at most four times the
    // table (and the table does not take the floored order): it is computed
    // tile by tile, stored, and the tree built over it.
    StoredMatrix,
    // One column's distances to all open columns at a time, none stored.
    // No shape takes it any more (a table in cache whose matrix would be
    // more than four times it has fewer lines than the floored order
    // takes); it stays as the plain form of the floored order.
    ColumnByColumn,
    // Tables up to 32 MiB, whatever their width, up to 2,048 lines:
    // one column's certified floors to all open columns at a time, and the
    // exact distances only where a floor cannot prove that the pair leaves
    // the tree as it is.
    FlooredColumns,
    // Larger tables: the distances of batches of columns likely to join the
    // tree next are computed together, tile by tile, and kept until used.
    RowsAhead,
};
SingleLinkageOrder ChooseSingleLinkageOrder(TableData table);
void WriteSingleLinkage(std::FILE *out, TableData table, SingleLinkageOrder order);
