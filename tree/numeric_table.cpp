#include "numeric_table.h"

#include <charconv>
#include <cmath>

#include "dendrogram_file.h"

namespace {

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    if (line.find('\t') != std::string_view::npos) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t tab = line.find('\t', start);
            std::string_view field = line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
            while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
            while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
            fields.push_back(field);
            if (tab == std::string_view::npos) break;
            start = tab + 1;
        }
        return fields;
    }
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == ';')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != ';') ++i;
        if (i > start) fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

// The number a whole field spells, with a decimal comma read as a point.
bool FieldNumber(std::string_view field, double &value) {
    if (field.empty()) return false;
    std::string text(field);
    if (text.find(',') != std::string::npos && text.find('.') == std::string::npos) {
        const std::size_t comma = text.find(',');
        if (text.find(',', comma + 1) == std::string::npos) text[comma] = '.';
    }
    const char *first = text.data() + (text[0] == '+' ? 1 : 0);
    const auto [end, status] = std::from_chars(first, text.data() + text.size(), value);
    return status == std::errc() && end == text.data() + text.size();
}

bool MissingMark(std::string_view field) {
    for (const char *mark : {"", "NA", "na", "NaN", "nan", "N/A", "n/a", "null", "NULL", "?", ".", "-"})
        if (field == mark) return true;
    return false;
}

struct LineFields {
    std::string label;
    std::vector<double> cells;
    std::size_t numbers = 0, missing = 0;
};

LineFields ReadLine(const std::vector<std::string_view> &fields) {
    LineFields line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        double value;
        if (FieldNumber(fields[i], value)) {
            line.numbers += std::isfinite(value);
            line.missing += !std::isfinite(value);
            line.cells.push_back(std::isfinite(value) ? value : std::nan(""));
        } else if (i == 0 && !MissingMark(fields[i])) {
            line.label = std::string(fields[i]);
        } else {
            line.missing += 1;
            line.cells.push_back(std::nan(""));
        }
    }
    return line;
}

}  // namespace

bool ParseNumericTable(std::string_view text, NumericTable &table, std::string &error) {
    table = NumericTable();
    if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
    std::vector<std::string_view> header;
    std::size_t lineNumber = 0, firstDataLine = 0;
    bool anyLabel = false;
    std::vector<std::string> labels;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view lineText = text.substr(start, end - start);
        start = end + (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
        ++lineNumber;
        const std::vector<std::string_view> fields = SplitFields(lineText);
        if (fields.empty() || (fields.size() == 1 && fields[0].empty())) continue;
        LineFields line = ReadLine(fields);
        if (line.numbers == 0 && table.lines == 0) {
            header = fields;
            continue;
        }
        if (table.lines == 0) {
            table.columns = line.cells.size();
            firstDataLine = lineNumber;
        } else if (line.cells.size() != table.columns) {
            error = "line " + std::to_string(lineNumber) + " has " + std::to_string(line.cells.size()) +
                    " cells, line " + std::to_string(firstDataLine) + " has " + std::to_string(table.columns);
            return false;
        }
        anyLabel = anyLabel || !line.label.empty();
        labels.push_back(std::move(line.label));
        table.cells.insert(table.cells.end(), line.cells.begin(), line.cells.end());
        table.missing += line.missing;
        ++table.lines;
    }
    if (table.lines == 0 || table.columns == 0) {
        error = "holds no line of numbers";
        return false;
    }
    if (anyLabel) table.lineNames = std::move(labels);
    if (!header.empty()) {
        if (header.size() == table.columns + 1) header.erase(header.begin());
        if (header.size() != table.columns) {
            error = "the header has " + std::to_string(header.size()) + " names for " +
                    std::to_string(table.columns) + " columns";
            return false;
        }
        for (const std::string_view name : header) table.columnNames.emplace_back(name);
    }
    return true;
}

bool ReadNumericTable(const std::string &path, NumericTable &table, std::string &error) {
    std::string text, reason;
    if (!ReadWholeFile(path, text, reason)) {
        error = "cannot read " + path + ": " + reason;
        return false;
    }
    if (!ParseNumericTable(text, table, reason)) {
        error = path + ": " + reason;
        return false;
    }
    return true;
}
