// The straightforward engine, transcribed as plainly as possible: every pass
// scans every live pair, and the survivor's pairs are recomputed from the
// member lists with varianceBis / distanceClassesMin. Faster engines must
// write exactly the same bytes.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "kernels/distance_tiles.h"
#include "model/distance_matrix.h"
#include "model/table.h"

void referenceDendrogram(std::FILE *out, TableData table);
void referenceDendrogram(std::FILE *out, DistanceMatrix matrix);

// Every column distance by euclidDistByColumn, one pair after another, in
// the packed order: what ComputeColumnDistances must give.
std::vector<float> ReferenceColumnDistances(TableData table);

// What `write` writes to a stream, as text.
std::string CaptureText(const std::function<void(std::FILE *)> &write);

// The merge lines as text, from the reference and from the project's engine.
std::string ReferenceVarianceText(TableData table);
std::string ReferenceMinText(DistanceMatrix matrix);
std::string EngineVarianceText(TableData table);
std::string EngineMinText(DistanceMatrix matrix);
// dendro-min's own path: minimum link straight from the table.
std::string EngineMinTableText(TableData table);
