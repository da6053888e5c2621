// The reader of distance files: a packed triangle of numbers.
#pragma once

#include <cstdio>

#include "model/distance_matrix.h"

// Reads the strict lower triangle from a text stream of numbers separated by
// any white space. The object count is the largest n whose triangle the
// values fill; values beyond it are dropped. A stream without a value ends
// with ExitMemory.
DistanceMatrix ReadDistances(std::FILE *stream);
