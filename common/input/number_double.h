// Numbers of the text readers in double precision: the spellings the
// readers take (number_scan.h), converted to the nearest double instead of
// the nearest float.
#pragma once

enum class CellKind { Number, Missing, Infinite, Word };

// What a piece of a token holds (the numeric token rule: commas already
// points, at most TOKEN_MAX_LENGTH characters, `text` NUL-terminated):
// - Missing for NA and for every spelling of NaN;
// - Infinite for a spelling of infinity, or a number beyond the double
//   range;
// - Number, with *value, for a number spelled at its start (12abc is 12);
// - Word for anything else.
CellKind ScanCell(const char *text, double *value);
