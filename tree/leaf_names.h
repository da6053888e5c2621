// The names of the columns, for the tree programs: from a names file (one
// name per line) or from the header line of the clustered table.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A parse result: `error` is empty on success; otherwise it says what is
// wrong and, when the fault is on a line, `errorLine` is that line (from 1)
// and `error` starts with "line <errorLine>: ". `notes` are things the user
// should hear about although the names were accepted.
struct LabelsParse {
    std::vector<std::string> labels;
    std::vector<std::string> notes;
    std::size_t errorLine = 0;
    std::string error;
    bool ok() const { return error.empty(); }
};

// Parses a names file: one name per line, in column order, exactly
// `leafCount` of them. The final line feed is optional; a leading UTF-8
// byte-order mark and carriage returns are dropped. Blanks around a name
// are dropped too, with a note naming the first line where that happened.
// A name must not be empty, must be valid UTF-8 and must hold no control
// character other than an inner tab.
LabelsParse ParseLabels(std::string_view text, std::size_t leafCount);

// Takes the names from the first line of a table (ended by a line feed or a
// carriage return, as the table reader ends rows). The line is split on
// tabs when it holds one, else on runs of blanks and semicolons. With one
// word more than `leafCount`, the first word is the heading of the row
// labels and is left out; any other count is an error. Between tabs, blanks
// around a name are dropped with a note, and an empty name is an error
// (except an empty row-label heading). A line of numbers only is accepted
// with a note, as it may not be a header at all.
LabelsParse ParseHeaderNames(std::string_view text, std::size_t leafCount);

// The name of each leaf: labels[c] when labels are given, else the column
// number c.
std::string LeafName(const std::vector<std::string> &labels, std::size_t column);
