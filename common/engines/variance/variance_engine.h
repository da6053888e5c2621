// The variance engine: the merge lines of the variance criterion
// (varianceBis of the younger cluster's list against the older one's, the
// smallest value merged first, ties to the last pair in scan order), found
// without evaluating most pairs exactly.
#pragma once

#include <cstdio>

#include "model/table.h"

// Writes the same lines as the straightforward engine over varianceBis.
// More than MAX_OBJECTS columns end with ExitMemory before anything is
// written.
void WriteVarianceDendrogram(std::FILE *out, TableData table);
// The variance form of the merge lines, by its historical name: the same as
// WriteVarianceDendrogram.
void printClassicDendrogram(std::FILE *out, TableData table);

// Which intervals rule pairs out: chosen from the table's shape unless
// forced (for tests). Tables the intervals cannot hold for (non-finite or
// huge cells) are always evaluated pair by pair.
// Sweep: the threshold sweep over the centroids' intervals (threshold_sweep.h),
// where it applies; WorkingMatrix: every pair evaluated, no interval.
enum class VarianceBounds { Automatic, InnerProducts, Centroids, Sweep, WorkingMatrix };
void ForceVarianceBounds(VarianceBounds bounds);
