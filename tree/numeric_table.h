// The clustered table as the tree programs read it for the picture of its
// cells and for the names of its lines: cells in double precision, missing
// cells as NaN, the names of the columns from a header line and the name
// of each line from its label.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct NumericTable {
    std::size_t lines = 0, columns = 0;
    std::vector<double> cells;              // cell (line, column) at line * columns + column
    std::vector<std::string> columnNames;   // from the header line; empty when there is none
    std::vector<std::string> lineNames;     // per line its label; empty when no line has one
    std::size_t missing = 0;                // cells that are missing or not a number
    double Cell(std::size_t line, std::size_t column) const { return cells[line * columns + column]; }
};

// Parses a table: one line per row, fields split on tabs where the line
// holds one, else on runs of blanks and semicolons; a decimal comma reads
// as a point. Lines without a number before the first line with one are a
// header (the last of them gives the column names; with one name more than
// columns, the first is the heading of the labels). A line's first field
// is its label when it is not a number. Empty fields between tabs, NA,
// NaN, N/A, null, '?' and '.' are missing cells, and so are other words
// after the label (counted in `missing`). Every line must give the same
// number of cells. False, with `error` naming the line, otherwise.
bool ParseNumericTable(std::string_view text, NumericTable &table, std::string &error);

bool ReadNumericTable(const std::string &path, NumericTable &table, std::string &error);
