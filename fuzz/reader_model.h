// A plain model of the two text readers, written from their description
// rather than from their code, that the fuzz targets hold ReadTable and
// ReadDistances against. It works on a byte buffer and never ends the
// process, so it also tells in advance the inputs on which the readers end
// the process (no cell at all): the targets skip those.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum class ModelOutcome {
    Cells,     // a table or matrix with at least one value
    Rejected,  // ragged table: 0 lines, 0 columns, no values
    NoValue,   // no piece converts: the reader ends the process (ExitMemory)
};

struct ModelTable {
    ModelOutcome outcome;
    int64_t lines;
    int64_t columns;
    std::vector<float> values;
};

struct ModelDistances {
    ModelOutcome outcome;  // Cells or NoValue
    int64_t count;
    std::vector<float> values;  // the first count * (count - 1) / 2 values read
};

// Rows split on line feed / carriage return, values on tab, space and ';'.
ModelTable ModelReadTable(const uint8_t *data, size_t size);
// Values split on tab, line feed, carriage return and space.
ModelDistances ModelReadDistances(const uint8_t *data, size_t size);
