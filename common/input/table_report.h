// What reading a table found out beyond its numbers, for the reasons and
// warnings the programs give: where a ragged table went wrong, tokens that
// were only partly numbers, a byte-order mark, commas in a single column,
// and the column names of a header line. The reader fills it in at the rare
// events only, so that it costs nothing per value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/table.h"

struct TableReport {
    // Asked of the reader: the first line holds the column names, not
    // numbers (a byte-order mark before it is dropped).
    bool header = false;

    // Lines are numbered from 1 as an editor shows them: a line feed, a
    // carriage return, or the pair of them ends a line.
    std::vector<std::string> names;  // the header's names
    bool byteOrderMark = false;      // the input begins with one
    int64_t firstLine = 0;           // the first row's line and count of values
    int64_t firstCount = 0;
    int64_t rejectedLine = 0;        // the row that rejected the table (0: none)
    int64_t rejectedCount = 0;
    bool noValues = false;           // no row, or rows without values: no cell
    int64_t rows = 0;                // rows read, when noValues
    int64_t partialTokens = 0;       // pieces that yielded a value from their start only
    std::string firstPartial;        // the first of them, as read (commas as points)
    float firstPartialValue = 0.0f;
    int64_t firstPartialLine = 0;
    int64_t commaLine = 0;           // the first line holding a comma (0: none)

    // Called by the reader.
    void Partial(const char *piece, int length, float value, int64_t line);
    void HeaderLine(const std::string &text);
};

// Why the table was rejected (a ragged table or one without a number), in
// one line after "name: ".
std::string RejectionReason(const TableReport &report);
// One line for each thing in a table read whole that looks wrong, each to
// follow "warning: name: ".
std::vector<std::string> TableWarnings(const TableReport &report, TableData table);
