// Minimum link (single linkage) over the columns' Euclidean distances: the
// one route from a table or a distance matrix to its merge lines. Where the
// matrix holds NaN or a negative zero, the cached engine runs with the
// criterion that reproduces the matrix engine's choices; otherwise the
// spanning-tree engine of single_linkage/ writes the same lines faster.
#pragma once

#include <cstdio>

#include "model/distance_matrix.h"
#include "model/table.h"

// Minimum-link form: clusters are scored with distanceClassesMin over the
// given matrix of column distances.
void printClassicDendrogram(std::FILE *out, DistanceMatrix matrix);

// A table's minimum link in the two stages of a program: the read stage
// decides, once, whether the distance matrix is stored and computes it; the
// write stage writes the lines from what was prepared.
struct MinimumLinkPlan {
    TableData table;
    DistanceMatrix matrix;  // values is null when the matrix is not stored
};
// More than MAX_OBJECTS columns end with ExitMemory.
MinimumLinkPlan PrepareMinimumLink(TableData table);
// The same lines as printClassicDendrogram over ComputeColumnDistances(table).
void WriteMinimumLink(std::FILE *out, const MinimumLinkPlan &plan);

// Both stages at once, the stored matrix freed afterwards.
void printMinimumLinkDendrogram(std::FILE *out, TableData table);
// True when the table holds a cell that is not finite; its distances may
// then be NaN, and the minimum-link lines are computed from the stored
// distance matrix.
bool NeedsDistanceMatrix(TableData table);
// True when the distance matrix is computed whole: where it is small next to
// the table (the spanning tree would keep it anyway; the matrix engine then
// finds that no distance is NaN), or where NeedsDistanceMatrix.
bool StoresDistanceMatrix(TableData table);
