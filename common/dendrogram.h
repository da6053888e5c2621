// The agglomeration engine: merges the closest two live clusters until one
// remains and writes one line per merge:
//   NODE<k> \t <first child> \t <second child> \t <value "%f"> \n
// where a child is LEAF<column> or NODE<earlier k>, the first child being the
// survivor (the larger slot) and the second the absorbed cluster.
#pragma once

#include <cstdint>
#include <cstdio>

#include "distances.h"
#include "table.h"

// A pair is merged only if its value is at most this (bits 0x51BA43B7).
inline constexpr float NO_MERGE_LIMIT = 1.0e11f;

// Variance form: clusters are scored with varianceBis over the table.
void printClassicDendrogram(std::FILE *out, TableData table);
// Minimum-link form: clusters are scored with distanceClassesMin over the
// given matrix of column distances.
void printClassicDendrogram(std::FILE *out, DistanceMatrix matrix);

// Minimum-link dendrogram of the table's columns without storing their
// distance matrix: the same lines as printClassicDendrogram over
// ComputeColumnDistances(table). More than MAX_OBJECTS columns end with
// ExitMemory.
void printMinimumLinkDendrogram(std::FILE *out, TableData table);
// True when the table holds a cell that is not finite; its distances may
// then be NaN, and the minimum-link lines are computed from the stored
// distance matrix.
bool NeedsDistanceMatrix(TableData table);
// True when dendro-min computes the whole distance matrix: where it is small
// next to the table (the spanning tree would keep it anyway; the matrix
// engine then finds that no distance is NaN), or where NeedsDistanceMatrix.
bool StoresDistanceMatrix(TableData table);
