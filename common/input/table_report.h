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
    // Asked of the reader: the first field of each line is its label, never
    // a value (on tabs when the first line holds one, else on blanks).
    bool labels = false;
    bool labelTabs = false;  // labels end at a tab (decided from the first line)

    // Lines are numbered from 1 as an editor shows them: a line feed, a
    // carriage return, or the pair of them ends a line.
    std::vector<std::string> names;  // the header's names
    bool byteOrderMark = false;      // the input begins with one
    int64_t firstLine = 0;           // the first row's line and count of values
    int64_t firstCount = 0;
    int64_t rejectedLine = 0;        // the row that rejected the table (0: none)
    int64_t rejectedCount = 0;
    // The rows before the rejected one (all with firstCount), and of the few
    // rows after it, those with the first row's count and those with the
    // rejected row's: which line differs from most lines.
    int64_t rowsBeforeRejected = 0;
    int64_t rowsAheadLikeFirst = 0, rowsAheadLikeRejected = 0;
    bool noValues = false;           // no row, or rows without values: no cell
    int64_t rows = 0;                // rows read, when noValues
    int64_t partialTokens = 0;       // pieces that yielded a value from their start only
    std::string firstPartial;        // the first of them, as read (commas as points)
    float firstPartialValue = 0.0f;
    int64_t firstPartialLine = 0;
    int64_t commaLine = 0;           // the first line holding a comma (0: none)
    std::string firstLineText;       // the first line that is not empty, up to kFirstLineBytes
    // Words skipped after a number on the same line: the values after them
    // moved left (a missing cell written NA, a note).
    int64_t wordsAfterNumbers = 0;
    std::string firstWordAfterNumber;
    int64_t firstWordAfterNumberLine = 0;
    // Runs of two tabs or more between values: empty cells skipped.
    int64_t emptyCells = 0;
    int64_t firstEmptyCellLine = 0;
    // A first tab-separated field holding a word and a number ("Day 1"): a
    // row label whose number is read as a value.
    int64_t labelLikeFields = 0;
    std::string firstLabelLikeField;
    int64_t firstLabelLikeLine = 0;
    // Tokens longer than TOKEN_MAX_LENGTH, read as several pieces.
    int64_t splitTokens = 0;
    int64_t firstSplitLine = 0;
    // The words skipped on the first row and on the row that rejected the
    // table, for the reason.
    std::string firstRowWords, rejectedWords;
    static constexpr int64_t kFirstLineBytes = 200;

    // Called by the reader.
    void Partial(const char *piece, int length, float value, int64_t line);
    void HeaderLine(const std::string &text);
    void WordAfterNumber(const char *word, size_t length, int64_t line);
    void LabelLikeField(const std::string &field, int64_t line);
    // The first line that is not empty, from its first byte `c` and the
    // `count` bytes after it at `ahead` (as far as they reach).
    void FirstLine(int c, const unsigned char *ahead, int64_t count);
};

// True for a line of the merge lines the programs write:
// NODEk TAB child TAB child TAB value.
bool IsMergeLine(const std::string &line);

// Why the table was rejected (a ragged table or one without a number), in
// one line after "name: ".
std::string RejectionReason(const TableReport &report);
// One line for each thing in a table read whole that looks wrong, each to
// follow "warning: name: ".
std::vector<std::string> TableWarnings(const TableReport &report, TableData table);
