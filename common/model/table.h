// The numeric table as data: its cells, and the column distance and the
// variance criterion defined on its columns.
#pragma once

#include <cstdint>

// Rows of numbers. Cell (line, column) is values[line * columns + column].
// A table returned by ReadTable either holds at least one cell or is the
// rejected table: 0 lines, 0 columns and no values.
struct TableData {
    int32_t lines;
    int32_t columns;
    float *values;
};

// Column geometry. Every stored value is a float; arithmetic between two
// stores is done in double and rounded to float when stored.
float elementAt(int32_t line, int32_t column, TableData table);
float euclidDistByColumn(int32_t first, int32_t second, TableData table);
float euclidDistByColumnBis(const float *vector, int32_t column, TableData table);
// Mean Euclidean distance of the listed columns to their centroid. A column
// listed twice counts twice. The result depends on the members' order.
float variance(const int32_t *members, int32_t count, TableData table);
// variance() of list A followed by list B, bit for bit.
float varianceBis(const int32_t *a, int32_t countA, const int32_t *b, int32_t countB, TableData table);
