// Minimum spanning trees of the columns, by Prim's algorithm in three
// orders of computing the distances: one column's distances to all open
// columns at a time (a table that stays in cache), batches of rows ahead
// (larger tables), or read from a stored matrix. Any minimum spanning tree
// gives the same merge lines (tie_levels.h).
#pragma once

#include <cstdint>

#include "model/distance_matrix.h"
#include "model/table.h"

namespace single_linkage {

// A tree edge: columns a and b at distance w.
struct Edge {
    int32_t a, b;
    float w;
};

// The n - 1 edges of a minimum spanning tree of the table's columns, every
// cell finite, into `edges`.
void SpanningTree(TableData table, Edge *edges);
void SpanningTreeAhead(TableData table, Edge *edges);
// Column by column, most exact distances skipped where a certified floor
// proves they cannot lower a tree distance (pruned_tree.cpp).
void SpanningTreePruned(TableData table, Edge *edges);
// The same over a stored matrix, which holds no NaN.
void SpanningTree(DistanceMatrix matrix, Edge *edges);

}  // namespace single_linkage
