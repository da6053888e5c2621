// The objects dendro-cluster clusters: points with the same number of
// coordinates, in double precision, and their names when the input gave
// them.
//
// Contract:
// 1. values holds objects * coordinates doubles, object after object:
//    object i's coordinate k is values[i * coordinates + k].
// 2. A NaN marks a missing cell (any NaN: its sign and payload mean
//    nothing); every other value is finite.
// 3. names is empty or holds one name per object.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ObjectTable {
    std::int64_t objects = 0, coordinates = 0;
    std::vector<double> values;
    std::vector<std::string> names;

    const double *Object(std::int64_t i) const { return values.data() + i * coordinates; }
    bool HasMissingCells() const;
};
