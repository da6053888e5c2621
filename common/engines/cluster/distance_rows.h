// How the single-linkage engines ask for distances.
#pragma once

#include <cstdint>
#include <functional>

// Writes the distances of object i to objects begin .. end-1 to out. Must be
// callable from two threads at once and give the same bits for a pair
// however the range around it is cut.
using DistanceRows = std::function<void(int64_t i, int64_t begin, int64_t end, double *out)>;
