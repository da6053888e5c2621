#include "input/object_table_reader.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "input/number_double.h"
#include "input/numeric_token.h"
#include "input/stream_bytes.h"
#include "input/table_report.h"

namespace {

// Cells are kept in row order in chunks of this many, so that a chunk can
// be released as soon as its cells are in the table.
constexpr std::int64_t kChunkCells = std::int64_t{1} << 19;

std::string Count(std::int64_t count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

class ObjectReader {
public:
    ObjectReader(StreamBytes &in, const ObjectTableOptions &options) : in_(in), options_(options) {}
    ObjectTableRead Read();

private:
    bool IsItem(int c) const { return (SeparatorClasses(c) & ItemSeparatorClass) != 0; }
    bool IsLineEnd(int c) const { return (SeparatorClasses(c) & LineSeparatorClass) != 0; }
    void SkipLineEnds();
    std::string HeaderText();
    // One piece by the token rule into piece_; returns its length.
    int Piece();
    // One row; false when it refuses the table.
    bool Row();
    void Store(double value);
    void Assemble();

    StreamBytes &in_;
    ObjectTableOptions options_;
    ObjectTableRead result_;
    int c_ = EOF;
    std::int64_t line_ = 1;
    std::int64_t expected_ = -1, firstLine_ = 0, rows_ = 0;
    char piece_[TOKEN_BUFFER_BYTES];
    std::vector<std::vector<double>> chunks_;
    std::vector<std::string> lineNames_;
    bool anyName_ = false;
};

void ObjectReader::SkipLineEnds() {
    while (IsLineEnd(c_)) {
        const int end = c_;
        c_ = in_.Next();
        if (end == '\r' && c_ == '\n') c_ = in_.Next();
        ++line_;
    }
}

std::string ObjectReader::HeaderText() {
    SkipLineEnds();
    std::string text;
    for (; c_ != EOF && !IsLineEnd(c_); c_ = in_.Next()) text += static_cast<char>(c_);
    return text;
}

int ObjectReader::Piece() {
    int length = 0;
    while (c_ != EOF && length < TOKEN_MAX_LENGTH && !IsItem(c_) && !IsLineEnd(c_)) {
        piece_[length++] = c_ == ',' ? '.' : static_cast<char>(c_);
        c_ = in_.Next();
    }
    const int text = length;
    if (length < TOKEN_MAX_LENGTH) piece_[length++] = ' ';
    piece_[length] = '\0';
    return text;
}

void ObjectReader::Store(double value) {
    if (chunks_.empty() || static_cast<std::int64_t>(chunks_.back().size()) == kChunkCells) {
        chunks_.emplace_back();
        chunks_.back().reserve(static_cast<size_t>(kChunkCells));
    }
    chunks_.back().push_back(value);
}

bool ObjectReader::Row() {
    std::int64_t cells = 0;
    std::string name;
    bool tab = false;
    while (c_ != EOF && !IsLineEnd(c_)) {
        if (IsItem(c_)) {
            // A tab right after a tab closes an empty cell.
            if (c_ == '\t' && tab) {
                Store(std::numeric_limits<double>::quiet_NaN());
                ++cells, ++result_.missingCells;
            }
            tab = c_ == '\t';
            c_ = in_.Next();
            continue;
        }
        tab = false;
        const int length = Piece();
        double value = 0.0;
        switch (ScanCell(piece_, &value)) {
            case CellKind::Number: Store(value), ++cells; break;
            case CellKind::Missing:
                Store(std::numeric_limits<double>::quiet_NaN());
                ++cells, ++result_.missingCells;
                break;
            case CellKind::Infinite:
                result_.refusal = "line " + std::to_string(line_) + ": the cell '" + std::string(piece_, length) +
                                  "' is infinite; only finite numbers and missing cells (NA, NaN, nothing "
                                  "between two tabs) can be clustered";
                return false;
            case CellKind::Word:
                if (name.empty()) name.assign(piece_, static_cast<size_t>(length));
                break;
        }
    }
    if (expected_ < 0) {
        expected_ = cells;
        firstLine_ = line_;
    } else if (cells != expected_) {
        result_.refusal = "line " + std::to_string(line_) + " has " + Count(cells, "value", "values") + ", line " +
                          std::to_string(firstLine_) + " has " + std::to_string(expected_);
        if (expected_ == 0 && !options_.header) {
            result_.refusal += ": is line " + std::to_string(firstLine_) + " a header? try --header";
        } else if (cells == 0) {
            result_.refusal += ": line " + std::to_string(line_) + " holds no number (only blanks or words)";
        } else {
            result_.refusal += ": every row must hold the same number of values (a missing one is NA, or "
                               "nothing between two tabs)";
        }
        return false;
    }
    ++rows_;
    if (options_.rows) {
        anyName_ |= !name.empty();
        lineNames_.push_back(std::move(name));
    }
    return true;
}

// The chunks, in row order, become the objects: lines as they are, or
// columns gathered from every line. Each chunk is released once copied.
void ObjectReader::Assemble() {
    ObjectTable &table = result_.table;
    table.objects = options_.rows ? rows_ : expected_;
    table.coordinates = options_.rows ? expected_ : rows_;
    table.values.resize(static_cast<size_t>(rows_ * expected_));
    std::int64_t at = 0;
    for (std::vector<double> &chunk : chunks_) {
        for (const double v : chunk) {
            const std::int64_t target = options_.rows ? at : (at % expected_) * rows_ + at / expected_;
            table.values[static_cast<size_t>(target)] = v;
            ++at;
        }
        std::vector<double>().swap(chunk);
    }
    if (anyName_) table.names = std::move(lineNames_);
}

ObjectTableRead ObjectReader::Read() {
    c_ = in_.Next();
    if (c_ == 0xEF && in_.AheadCount() >= 2 && in_.Ahead()[0] == 0xBB && in_.Ahead()[1] == 0xBF) {
        in_.Skip(2);
        c_ = in_.Next();
    }
    TableReport header;
    if (options_.header) header.HeaderLine(HeaderText());
    for (;;) {
        SkipLineEnds();
        if (c_ == EOF) break;
        if (!Row()) return std::move(result_);
    }
    if (expected_ <= 0) {
        result_.empty = true;
        result_.refusal = rows_ == 0 ? (options_.header ? "no row follows the header" : "the input holds no row")
                                     : "no number found in " + Count(rows_, "row", "rows");
        return std::move(result_);
    }
    Assemble();
    if (options_.header && !options_.rows) {
        std::vector<std::string> &names = header.names;
        const std::int64_t count = static_cast<std::int64_t>(names.size());
        if (count == expected_ + 1) names.erase(names.begin());
        if (count == expected_ || count == expected_ + 1) {
            result_.table.names = std::move(names);
        } else {
            result_.warnings.push_back("the header holds " + Count(count, "name", "names") + " for " +
                                       Count(expected_, "column", "columns"));
        }
    }
    return std::move(result_);
}

}  // namespace

ObjectTableRead ReadObjectTable(std::FILE *stream, const ObjectTableOptions &options) {
    StreamBytes in(stream);
    return ObjectReader(in, options).Read();
}

ObjectTableRead ReadObjectTableFromText(const std::string &text, const ObjectTableOptions &options) {
    StreamBytes in(reinterpret_cast<const unsigned char *>(text.data()), static_cast<std::int64_t>(text.size()));
    return ObjectReader(in, options).Read();
}
