#include "input/distance_input.h"

#include <cmath>

#include "input/number_double.h"
#include "input/numeric_token.h"
#include "input/stream_bytes.h"
#include "input/table_report.h"

namespace {

std::string Values(std::int64_t count) { return std::to_string(count) + (count == 1 ? " value" : " values"); }

// The values, line by line as they stand, with the first word of each line.
struct DistanceText {
    std::vector<double> values;
    std::vector<std::int64_t> lineOf;        // each value's line
    std::vector<std::int64_t> lineCounts;    // values of each line holding any value or word
    std::vector<std::string> lineWords;      // each such line's first word ("" when none)
    std::string headerText;
};

// Reads every value; a refusal stops at the value that causes it.
bool ReadValues(StreamBytes &in, bool header, DistanceText &text, std::string &refusal) {
    int c = in.Next();
    if (c == 0xEF && in.AheadCount() >= 2 && in.Ahead()[0] == 0xBB && in.Ahead()[1] == 0xBF) {
        in.Skip(2);
        c = in.Next();
    }
    std::int64_t line = 1;
    bool lineOpen = false;
    // Takes the line end at c: a line feed, a carriage return, or both.
    auto endLine = [&] {
        const int end = c;
        c = in.Next();
        if (end == '\r' && c == '\n') c = in.Next();
        ++line;
        lineOpen = false;
    };
    if (header) {
        while (SeparatorClasses(c) & LineSeparatorClass) endLine();
        for (; c != EOF && !(SeparatorClasses(c) & LineSeparatorClass); c = in.Next()) text.headerText += char(c);
    }
    char piece[TOKEN_BUFFER_BYTES];
    while (c != EOF) {
        if (SeparatorClasses(c) & LineSeparatorClass) {
            endLine();
            continue;
        }
        if (SeparatorClasses(c) & WhiteSeparatorClass) {
            c = in.Next();
            continue;
        }
        int length = 0;
        while (c != EOF && length < TOKEN_MAX_LENGTH && !(SeparatorClasses(c) & WhiteSeparatorClass)) {
            piece[length++] = c == ',' ? '.' : static_cast<char>(c);
            c = in.Next();
        }
        const std::string token(piece, static_cast<size_t>(length));
        if (length < TOKEN_MAX_LENGTH) piece[length++] = ' ';
        piece[length] = '\0';
        if (!lineOpen) {
            text.lineCounts.push_back(0);
            text.lineWords.emplace_back();
            lineOpen = true;
        }
        double value = 0.0;
        const CellKind kind = ScanCell(piece, &value);
        if (kind == CellKind::Word) {
            if (text.lineCounts.back() == 0 && text.lineWords.back().empty()) text.lineWords.back() = token;
            continue;
        }
        const std::string where = "line " + std::to_string(line) + ": ";
        if (kind == CellKind::Missing) refusal = where + "the distance '" + token + "' is missing; every distance must be given";
        else if (kind == CellKind::Infinite) refusal = where + "the distance '" + token + "' is infinite";
        else if (value < 0.0) refusal = where + "the distance '" + token + "' is negative";
        if (!refusal.empty()) return false;
        text.values.push_back(value == 0.0 ? 0.0 : value);  // -0 read as 0
        text.lineOf.push_back(line);
        ++text.lineCounts.back();
    }
    return true;
}

bool IsSquare(const DistanceText &text) {
    const std::int64_t n = static_cast<std::int64_t>(text.lineCounts.size());
    if (n < 2) return false;
    for (const std::int64_t count : text.lineCounts)
        if (count != n) return false;
    return true;
}

// Packs a checked square matrix; false with the reason when it is not one.
bool PackSquare(const DistanceText &text, DistanceInput &input) {
    const std::int64_t n = input.objects;
    const std::vector<double> &v = text.values;
    input.packed.resize(static_cast<size_t>(n * (n - 1) / 2));
    for (std::int64_t i = 0; i < n; ++i) {
        if (v[i * n + i] != 0.0) {
            input.refusal = "line " + std::to_string(text.lineOf[i * n + i]) + ": the diagonal of a square matrix of "
                            "distances must be 0; value " + std::to_string(i + 1) + " of the line is not";
            return false;
        }
        for (std::int64_t j = 0; j < i; ++j) {
            if (v[i * n + j] != v[j * n + i]) {
                input.refusal = "the square matrix of distances is not symmetric: row " + std::to_string(i + 1) +
                                " column " + std::to_string(j + 1) + " (line " + std::to_string(text.lineOf[i * n + j]) +
                                ") differs from row " + std::to_string(j + 1) + " column " + std::to_string(i + 1);
                return false;
            }
            input.packed[static_cast<size_t>((i - 1) * i / 2 + j)] = v[i * n + j];
        }
    }
    return true;
}

void TakeNames(const DistanceText &text, bool header, DistanceInput &input) {
    if (header) {
        TableReport report;
        report.HeaderLine(text.headerText);
        std::vector<std::string> &names = report.names;
        const std::int64_t count = static_cast<std::int64_t>(names.size());
        if (count == input.objects + 1) names.erase(names.begin());
        if (count == input.objects || count == input.objects + 1) input.names = std::move(names);
        return;
    }
    if (!input.square) return;
    for (const std::string &word : text.lineWords)
        if (word.empty()) return;
    input.names = text.lineWords;
}

DistanceInput Read(StreamBytes &in, bool header) {
    DistanceInput input;
    DistanceText text;
    if (!ReadValues(in, header, text, input.refusal)) return input;
    const std::int64_t k = static_cast<std::int64_t>(text.values.size());
    if (k == 0) {
        input.empty = true;
        input.refusal = "no distance found";
        return input;
    }
    input.square = IsSquare(text);
    if (input.square) {
        input.objects = static_cast<std::int64_t>(text.lineCounts.size());
        if (!PackSquare(text, input)) return input;
    } else {
        // The largest n with n (n - 1) / 2 <= k, then checked exactly.
        std::int64_t n = static_cast<std::int64_t>(std::floor((1.0 + std::sqrt(8.0 * static_cast<double>(k) + 1.0)) / 2.0));
        while (n * (n - 1) / 2 > k) --n;
        while ((n + 1) * n / 2 <= k) ++n;
        if (n * (n - 1) / 2 != k) {
            input.refusal = Values(k) + " read: a lower triangle of distances holds n (n - 1) / 2 values (" +
                            std::to_string(n * (n - 1) / 2) + " for " + std::to_string(n) + " objects, " +
                            std::to_string((n + 1) * n / 2) + " for " + std::to_string(n + 1) +
                            "), and a square matrix n lines of n values";
            return input;
        }
        input.objects = n;
        input.packed = std::move(text.values);
    }
    TakeNames(text, header, input);
    return input;
}

}  // namespace

DistanceInput ReadDistanceInput(std::FILE *stream, bool header) {
    StreamBytes in(stream);
    return Read(in, header);
}

DistanceInput ReadDistanceInputFromText(const std::string &text, bool header) {
    StreamBytes in(reinterpret_cast<const unsigned char *>(text.data()), static_cast<std::int64_t>(text.size()));
    return Read(in, header);
}
