// Minimum-link dendrogram through a minimum spanning tree: the same lines as
// the engine that rescans every pair, in O(n^2) distance evaluations and,
// for a table, O(n) memory beyond a copy of the table.
#pragma once

#include <cstdio>

#include "distances.h"
#include "table.h"

// Every cell of the table must be finite. Where the packed matrix of column
// distances is at most four times the table (StoresColumnDistances), it is
// computed tile by tile and the tree built over it; otherwise each distance
// is computed when the tree needs it and none is stored.
void WriteSingleLinkage(std::FILE *out, TableData table);
bool StoresColumnDistances(TableData table);
// The matrix must hold no NaN and no negative zero.
void WriteSingleLinkage(std::FILE *out, DistanceMatrix matrix);
