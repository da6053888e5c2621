// dendro-cluster's stages, for the driver: its options, reading a table or
// a distance matrix, the checks that refuse a run before anything is
// written, and handing the objects to the engines of engines/cluster/.
//
// Contract:
// 1. --linkage (default average) and --metric (default euclidean) name one
//    of theirs exactly; centroid, median and ward take Euclidean distances
//    only; --distances takes no --metric and no --rows. A fault ends with the
//    arguments status and the reason.
// 2. A table is read in double precision (input/object_table_reader.h), a
//    distance matrix as input/distance_input.h says; a refused input ends
//    with the read status (the memory status for an input without a number,
//    as the other programs end).
// 3. Before any merge: a pair without a distance ends with the read status
//    and a reason naming both objects; a matrix of all distances that cannot
//    be allocated ends with the memory status and the bytes it needed.
// 4. The merges are written as engines/cluster/linkage.h says, with 17
//    significant digits under --precise.
#pragma once

#include <cstdio>

#include "driver/driver.h"

// The program's name, purpose, options and help.
ProgramDescription ClusterProgramDescription();

// The read stage: everything up to the merges (contract 1 to 3).
void ReadClusterInput(std::FILE *in);
// The write stage: clusters and writes the merge lines.
void WriteClusterRun(std::FILE *out);
