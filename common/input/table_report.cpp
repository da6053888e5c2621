#include "input/table_report.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "input/numeric_token.h"

namespace {

std::string Values(int64_t count) { return std::to_string(count) + (count == 1 ? " value" : " values"); }

std::string Shown(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}

}  // namespace

void TableReport::Partial(const char *piece, int length, float value, int64_t line) {
    if (partialTokens++ > 0) return;
    firstPartial.assign(piece, static_cast<size_t>(length));
    firstPartialValue = value;
    firstPartialLine = line;
}

void TableReport::WordAfterNumber(const char *word, size_t length, int64_t line) {
    if (wordsAfterNumbers++ > 0) return;
    firstWordAfterNumber.assign(word, length);
    firstWordAfterNumberLine = line;
}

void TableReport::LabelLikeField(const std::string &field, int64_t line) {
    if (labelLikeFields++ > 0) return;
    firstLabelLikeField = field;
    firstLabelLikeLine = line;
}

void TableReport::HeaderLine(const std::string &text) {
    // On tabs when the line holds one (names may then hold blanks), else on
    // any run of item separators.
    names.clear();
    if (text.find('\t') != std::string::npos) {
        size_t begin = 0;
        for (size_t tab; (tab = text.find('\t', begin)) != std::string::npos; begin = tab + 1)
            names.push_back(text.substr(begin, tab - begin));
        names.push_back(text.substr(begin));
        return;
    }
    std::string name;
    for (const char c : text + ' ') {
        if (c == ' ' || c == ';') {
            if (!name.empty()) names.push_back(name);
            name.clear();
        } else {
            name += c;
        }
    }
}

void TableReport::FirstLine(int c, const unsigned char *ahead, int64_t count) {
    int64_t k = 0;
    while (c == '\n' || c == '\r') c = k < count ? ahead[k++] : EOF;
    firstLineText.clear();
    while (c != EOF && c != '\n' && c != '\r' && static_cast<int64_t>(firstLineText.size()) < kFirstLineBytes) {
        firstLineText += static_cast<char>(c);
        c = k < count ? ahead[k++] : EOF;
    }
}

namespace {

// Skips "WORD" and at least one digit at `at`.
bool Skip(const std::string &line, size_t &at, const char *word) {
    const size_t length = std::strlen(word);
    if (line.compare(at, length, word) != 0) return false;
    at += length;
    const size_t digits = at;
    while (at < line.size() && line[at] >= '0' && line[at] <= '9') ++at;
    return at > digits;
}

bool SkipChild(const std::string &line, size_t &at) {
    return (Skip(line, at, "LEAF") || Skip(line, at, "NODE")) && at < line.size() && line[at++] == '\t';
}

}  // namespace

bool IsMergeLine(const std::string &line) {
    size_t at = 0;
    if (!Skip(line, at, "NODE") || at >= line.size() || line[at++] != '\t') return false;
    if (!SkipChild(line, at) || !SkipChild(line, at)) return false;
    // The value: one field, not empty.
    return at < line.size() && line.find_first_of("\t ;", at) == std::string::npos;
}

namespace {

// What follows "line L has N values, ...: " when line L is the odd one out.
std::string OddLineReason(int64_t line, int64_t count) {
    if (count == 0) return "line " + std::to_string(line) + " holds no number (only blanks or words)";
    return "every row must hold the same number of values";
}

std::string Skipped(int64_t line, const std::string &words) {
    return "; words skipped on line " + std::to_string(line) + ": " + words;
}

}  // namespace

// A ragged table's reason names the line that differs from most lines, as
// far as the rows read and the few after the rejected one tell: a later
// line, or line 1 (often a header); with as many rows for each count (two
// rows only), both lines. The words skipped on a named line say where a
// cell went missing (NA) or a label was split.
std::string RejectionReason(const TableReport &r) {
    if (r.noValues) {
        if (r.rows == 0) return r.header ? "no row follows the header" : "the input holds no row";
        return "no number found in " + std::to_string(r.rows) + (r.rows == 1 ? " row" : " rows");
    }
    const int64_t likeFirst = r.rowsBeforeRejected + r.rowsAheadLikeFirst;
    const int64_t likeRejected = 1 + r.rowsAheadLikeRejected;
    const bool header = r.firstCount == 0 && !r.header;
    if (likeFirst > likeRejected && !header) {
        std::string reason = "line " + std::to_string(r.rejectedLine) + " has " + Values(r.rejectedCount) +
                             ", most lines have " + std::to_string(r.firstCount) + ": " +
                             OddLineReason(r.rejectedLine, r.rejectedCount);
        if (!r.rejectedWords.empty() && r.rejectedCount > 0) reason += Skipped(r.rejectedLine, r.rejectedWords);
        return reason;
    }
    if (likeRejected > likeFirst && !header) {
        std::string reason = "line " + std::to_string(r.firstLine) + " has " + Values(r.firstCount) +
                             ", most lines have " + std::to_string(r.rejectedCount) + ": " +
                             OddLineReason(r.firstLine, r.firstCount);
        if (!r.firstRowWords.empty()) reason += Skipped(r.firstLine, r.firstRowWords);
        return reason;
    }
    std::string reason = "line " + std::to_string(r.rejectedLine) + " has " + Values(r.rejectedCount) + ", line " +
                         std::to_string(r.firstLine) + " has " + std::to_string(r.firstCount);
    if (header) {
        reason += ": is line " + std::to_string(r.firstLine) + " a header? try --header";
    } else if (r.rejectedCount == 0) {
        reason += ": " + OddLineReason(r.rejectedLine, 0);
    } else {
        reason += ": every row must hold the same number of values";
    }
    if (!r.rejectedWords.empty() && r.rejectedCount > 0) reason += Skipped(r.rejectedLine, r.rejectedWords);
    if (!r.firstRowWords.empty() && r.firstCount > 0) reason += Skipped(r.firstLine, r.firstRowWords);
    return reason;
}

namespace {

std::string Times(int64_t count, const char *one, const char *many) {
    return count == 1 ? std::string(one) : std::to_string(count) + " " + many;
}

// The smallest and largest finite cells, in one pass that vectorises (an
// infinity found takes a second pass that leaves infinities out).
void FiniteRange(TableData table, float &lo, float &hi) {
    const int64_t cells = static_cast<int64_t>(table.lines) * table.columns;
    lo = INFINITY;
    hi = -INFINITY;
    for (int64_t k = 0; k < cells; ++k) {
        const float v = table.values[k];
        lo = v < lo ? v : lo;  // NaN compares false: left out
        hi = v > hi ? v : hi;
    }
    if (lo != -INFINITY && hi != INFINITY) return;
    lo = INFINITY;
    hi = -INFINITY;
    for (int64_t k = 0; k < cells; ++k) {
        const float v = table.values[k];
        if (std::fabs(v) > FLT_MAX) continue;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
}

// Values whose differences a float cannot square: beyond about 1.8e19 the
// squares overflow (distances become inf), below about 1.1e-19 they fall
// under the smallest normal float (precision lost, or 0).
void RangeWarnings(TableData table, std::vector<std::string> &warnings) {
    float lo, hi;
    FiniteRange(table, lo, hi);
    if (lo > hi) return;
    const double range = static_cast<double>(hi) - lo;
    const std::string found = "the values range from " + Shown(lo) + " to " + Shown(hi);
    if (range > 1.8e19) {
        warnings.push_back(found + ": differences beyond about 1.8e19 overflow single precision, so distances "
                                   "become inf; dendro-cluster computes in double precision");
    } else if (range > 0 && range < 1.1e-19) {
        warnings.push_back(found + ": differences below about 1.1e-19 lose their precision in single precision or "
                                   "become 0; dendro-cluster computes in double precision");
    }
}

// A first column of whole numbers only (patient numbers, years).
bool FirstColumnIsIntegers(TableData table) {
    for (int32_t line = 0; line < table.lines; ++line) {
        const float v = table.values[static_cast<int64_t>(line) * table.columns];
        if (!(std::fabs(v) <= FLT_MAX) || v != std::floor(v)) return false;
    }
    return true;
}

void MissingCellWarnings(const TableReport &r, std::vector<std::string> &warnings) {
    const char *const missing = "; this program needs a number in every cell, dendro-cluster takes missing cells";
    if (r.wordsAfterNumbers > 0) {
        warnings.push_back("line " + std::to_string(r.firstWordAfterNumberLine) + ": the word \"" +
                           r.firstWordAfterNumber + "\" after a number was skipped, so the values after it moved one "
                           "column left (" + Times(r.wordsAfterNumbers, "the only such word", "such words in all") +
                           ")" + missing);
    }
    if (r.emptyCells > 0) {
        warnings.push_back("line " + std::to_string(r.firstEmptyCellLine) + ": an empty cell between two tabs was "
                           "skipped, so the values after it moved left (" +
                           Times(r.emptyCells, "the only one", "empty cells in all") + ")" + missing);
    }
}

}  // namespace

std::vector<std::string> TableWarnings(const TableReport &r, TableData table) {
    std::vector<std::string> warnings;
    if (r.byteOrderMark) warnings.push_back("the input begins with a UTF-8 byte-order mark, skipped");
    if (r.partialTokens > 0) {
        warnings.push_back(std::to_string(r.partialTokens) + (r.partialTokens == 1 ? " token was" : " tokens were") +
                           " only partly a number, the first \"" + r.firstPartial + "\" on line " +
                           std::to_string(r.firstPartialLine) + ", read as " + Shown(r.firstPartialValue));
    }
    if (r.splitTokens > 0) {
        warnings.push_back("line " + std::to_string(r.firstSplitLine) + ": a token longer than " +
                           std::to_string(TOKEN_MAX_LENGTH) + " characters was read as several values, one for "
                           "each piece of " + std::to_string(TOKEN_MAX_LENGTH) + " (" +
                           Times(r.splitTokens, "the only such token", "such tokens in all") + ")");
    }
    if (r.labelLikeFields > 0) {
        warnings.push_back("line " + std::to_string(r.firstLabelLikeLine) + ": the first tab-separated field \"" +
                           r.firstLabelLikeField + "\" holds a word and a number, and the number was read as a "
                           "value: if the first field is a row label, give --labels");
    }
    MissingCellWarnings(r, warnings);
    if (table.columns == 1 && r.commaLine > 0) {
        warnings.push_back("a single column was read, and line " + std::to_string(r.commaLine) +
                           " holds commas: values are separated by tabs, spaces or ';', and a comma is read as a "
                           "decimal point");
    }
    if (r.header) {
        const int64_t names = static_cast<int64_t>(r.names.size());
        // One name more than columns names the column of row labels.
        if (names != table.columns && names != table.columns + 1) {
            std::string warning = "the header holds " + std::to_string(names) + (names == 1 ? " name" : " names") +
                                  " for " + std::to_string(table.columns) + " columns";
            if (!r.labels && names + 1 == table.columns && FirstColumnIsIntegers(table))
                warning += ", and the first column holds only whole numbers: if they are row labels, give --labels";
            warnings.push_back(warning);
        }
    }
    RangeWarnings(table, warnings);
    return warnings;
}
