// Checks shared by the fuzz targets: every engine of each form must write
// the reference engine's bytes (a NaN value may be printed with either
// sign), and those bytes must form a complete, well-built dendrogram. A failure prints what differs and aborts, which
// libFuzzer records as a crash with the input that caused it.
#pragma once

#include <cstdint>
#include <string>

#include "model/distance_matrix.h"
#include "model/table.h"

// Ends the process through abort() after printing the message to stderr.
[[noreturn]] void FuzzFailure(const std::string &what);

// Every minimum-link engine that takes a matrix, on `matrix`.
void CheckMatrixEngines(DistanceMatrix matrix);
// At every kernel level the processor supports: the column distances against
// euclidDistByColumn pair by pair, every minimum-link engine (from the table
// and from its matrix) and every variance engine on `table`.
void CheckTableEngines(TableData table);

// Empty when `text` is a dendrogram of n objects: n - 1 lines (none for
// n <= 1) "NODE<k>\t<child>\t<child>\t<value>\n" with k = 0, 1, ..., each
// child a LEAF<column> or an earlier NODE<m>, each used exactly once, the
// first child's slot (the survivor) larger than the second's, and the last
// survivor slot n - 1. Otherwise a description of the first fault.
std::string DendrogramShapeFault(const std::string &text, int32_t n);
