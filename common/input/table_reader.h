// The table reader: a whole text stream read as rows of numbers, on two
// threads where the input is long, with what it found out beyond the
// numbers noted in a TableReport.
#pragma once

#include <cstdint>
#include <cstdio>

#include "input/table_report.h"
#include "model/table.h"

// Reads a whole text stream as a table: values separated by tab, space or
// ';', rows ended by line feed or carriage return. Blank lines, stray
// separators and words are absorbed. A row whose count of values differs from
// the first row's rejects the table at once, and so does a read error on the
// stream (it is not taken for the end of a shorter table); the caller tells
// both apart with ferror. An input without any cell ends with ExitMemory.
TableData ReadTable(std::FILE *stream);

// ReadTable that also fills in `report`. The table read is the same, but an
// input without any cell is returned as the rejected table with noValues
// set, so that the caller can say why.
TableData ReadTable(std::FILE *stream, TableReport &report);

// ReadTable as the tests see it: `report` may be null; stretches of rows of
// at most `stretchBytes` are read on two threads, none when it is 0 (the
// reader then runs on the caller's thread alone). The table, the report and
// where the stream stands afterwards are the same whatever the stretches.
TableData ReadTableInStretches(std::FILE *stream, TableReport *report, int64_t stretchBytes);
