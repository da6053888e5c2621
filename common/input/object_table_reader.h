// Reads a table of numbers as the objects of dendro-cluster, in double
// precision.
//
// Contract:
// 1. The format and the token rule are the table reader's (table.h): values
//    separated by tabs, spaces or ';', lines ended by a line feed, a carriage
//    return or both, tokens cut in pieces of TOKEN_MAX_LENGTH characters, a
//    comma read as a point, words that are no number skipped.
// 2. NA, every spelling of NaN, and an empty cell between two tabs are
//    missing cells (NaN in the table). A cell spelled as an infinity, or
//    beyond the range of a double, refuses the table.
// 3. Every row holds the same number of cells (numbers and missing ones);
//    the first row that does not refuses the table.
// 4. Objects are the columns, or with `rows` the lines. Names: with `header`
//    the first line's names name the columns (one name more than columns:
//    the first names the column of line names and is dropped); with `rows`
//    a line's name is its first word that is not a number.
// 5. A UTF-8 byte-order mark at the start is dropped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "model/object_table.h"

struct ObjectTableOptions {
    bool header = false;
    bool rows = false;
    // The first field of each line is its label (its name with `rows`),
    // never a value: up to the first tab when the first line holds one,
    // else up to the first blank or ';'.
    bool labels = false;
};

struct ObjectTableRead {
    ObjectTable table;
    // Why the table is refused, in one line ("" when it was read); `empty`
    // when the input holds no number at all.
    std::string refusal;
    bool empty = false;
    std::int64_t missingCells = 0;
    std::vector<std::string> warnings;
};

// Reads the stream to its end (or to the row that refuses the table). A
// read error shows in ferror(stream).
ObjectTableRead ReadObjectTable(std::FILE *stream, const ObjectTableOptions &options);
// The same from bytes in memory, for the tests.
ObjectTableRead ReadObjectTableFromText(const std::string &text, const ObjectTableOptions &options);
