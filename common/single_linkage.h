// Minimum-link dendrogram through a minimum spanning tree: the same lines as
// the engine that rescans every pair, in O(n^2) distance evaluations and,
// for a table, O(n) memory beyond a copy of the table.
#pragma once

#include <cstdio>

#include "distances.h"
#include "table.h"

// Every cell of the table must be finite.
void WriteSingleLinkage(std::FILE *out, TableData table);
// The matrix must hold no NaN and no negative zero.
void WriteSingleLinkage(std::FILE *out, DistanceMatrix matrix);
