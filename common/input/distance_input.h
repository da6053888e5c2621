// Reads the distances dendro-cluster is given instead of a table
// (--distances), in double precision.
//
// Contract:
// 1. Values are read by the numeric token rule (numeric_token.h) with any
//    white space between them, as the distance file reader does: a ';' is
//    no separator, words that are no number are skipped.
// 2. The input is a square matrix when it has n >= 2 lines that each hold n
//    values; it must then be symmetric (exactly), with a zero diagonal. Any
//    other input is the strict lower triangle in the packed order (1-0,
//    2-0, 2-1, 3-0, ...) and its count of values must be n (n - 1) / 2 for
//    some n >= 2.
// 3. Every distance is a finite number, not negative: NA, NaN, an infinity
//    or a negative value refuses the input, with the line where it stands.
// 4. Names: a square matrix whose lines each begin with a word takes those
//    words as the objects' names; with `header`, the first line's names
//    name them (when there are n of them, or n + 1: the first then names
//    the column of line names).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct DistanceInput {
    std::int64_t objects = 0;
    std::vector<double> packed;  // the value of i > j at (i - 1) * i / 2 + j
    std::vector<std::string> names;
    bool square = false;
    // Why the input is refused, in one line ("" when it was read); `empty`
    // when it holds no number at all.
    std::string refusal;
    bool empty = false;
};

DistanceInput ReadDistanceInput(std::FILE *stream, bool header);
DistanceInput ReadDistanceInputFromText(const std::string &text, bool header);
