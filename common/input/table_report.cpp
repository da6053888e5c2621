#include "input/table_report.h"

#include <cstdio>

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

std::string RejectionReason(const TableReport &r) {
    const std::string mark = r.byteOrderMark && !r.header
                                 ? " (the input begins with a byte-order mark, read as part of the first token)"
                                 : "";
    if (r.noValues) {
        if (r.rows == 0) return (r.header ? "no row follows the header" : "the input holds no row") + mark;
        return "no number found in " + std::to_string(r.rows) + (r.rows == 1 ? " row" : " rows") + mark;
    }
    std::string reason = "line " + std::to_string(r.rejectedLine) + " has " + Values(r.rejectedCount) + ", line " +
                         std::to_string(r.firstLine) + " has " + std::to_string(r.firstCount);
    if (r.firstCount == 0 && !r.header) {
        reason += ": is line " + std::to_string(r.firstLine) + " a header? try --header";
    } else if (r.rejectedCount == 0) {
        reason += ": line " + std::to_string(r.rejectedLine) + " holds no number (only blanks or words)";
    } else {
        reason += ": every row must hold the same number of values";
    }
    return reason + mark;
}

std::vector<std::string> TableWarnings(const TableReport &r, TableData table) {
    std::vector<std::string> warnings;
    if (r.byteOrderMark && !r.header) {
        warnings.push_back("the input begins with a UTF-8 byte-order mark, read as part of the first token");
    }
    if (r.partialTokens > 0) {
        warnings.push_back(std::to_string(r.partialTokens) + (r.partialTokens == 1 ? " token was" : " tokens were") +
                           " only partly a number, the first \"" + r.firstPartial + "\" on line " +
                           std::to_string(r.firstPartialLine) + ", read as " + Shown(r.firstPartialValue));
    }
    if (table.columns == 1 && r.commaLine > 0) {
        warnings.push_back("a single column was read, and line " + std::to_string(r.commaLine) +
                           " holds commas: values are separated by tabs, spaces or ';', and a comma is read as a "
                           "decimal point");
    }
    if (r.header) {
        const int64_t names = static_cast<int64_t>(r.names.size());
        // One name more than columns names the column of row labels.
        if (names != table.columns && names != table.columns + 1) {
            warnings.push_back("the header holds " + std::to_string(names) + (names == 1 ? " name" : " names") +
                               " for " + std::to_string(table.columns) + " columns");
        }
    }
    return warnings;
}
