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

// The cells of the lines after the first, kept for their columns: groups
// of kGroup columns, each in blocks of lines (8, 16, ... up to 512 lines), so
// that the columns can be written out one after another while the blocks
// are released, and the table is never held twice.
class ColumnStore {
public:
    static constexpr std::int64_t kGroup = 64;

    explicit ColumnStore(std::int64_t columns)
        : columns_(columns), groups_(static_cast<size_t>((columns + kGroup - 1) / kGroup)), row_(groups_.size()) {}

    // Line `line` (from 0) of the cells begins.
    void BeginLine(std::int64_t line) {
        if (line == blockStart_ + blockLines_) {
            blockStart_ = line;
            blockLines_ = std::min<std::int64_t>(512, std::int64_t{8} << std::min<size_t>(groups_[0].size(), 6));
            for (size_t g = 0; g < groups_.size(); ++g)
                groups_[g].emplace_back(new double[static_cast<size_t>(Width(g) * blockLines_)]);
        }
        for (size_t g = 0; g < groups_.size(); ++g) row_[g] = groups_[g].back().get() + (line - blockStart_) * Width(g);
    }
    void Put(std::int64_t column, double value) {
        if (column < columns_) row_[static_cast<size_t>(column / kGroup)][column % kGroup] = value;
    }
    // Appends the columns, object after object: its cell of `first` (the
    // line before those kept here), then those of the `lines` lines kept.
    void MoveInto(std::vector<double> &out, const double *first, std::int64_t lines) {
        for (size_t g = 0; g < groups_.size(); ++g) {
            const std::int64_t width = Width(g);
            for (std::int64_t i = 0; i < width; ++i) {
                out.push_back(first[static_cast<std::int64_t>(g) * kGroup + i]);
                std::int64_t line = 0;
                for (size_t b = 0; b < groups_[g].size() && line < lines; ++b) {
                    const std::int64_t count = std::min<std::int64_t>(std::min<std::int64_t>(512, std::int64_t{8} << std::min<size_t>(b, 6)), lines - line);
                    const double *block = groups_[g][b].get();
                    for (std::int64_t l = 0; l < count; ++l) out.push_back(block[l * width + i]);
                    line += count;
                }
            }
            groups_[g].clear();
        }
    }

private:
    std::int64_t Width(size_t g) const { return std::min<std::int64_t>(kGroup, columns_ - static_cast<std::int64_t>(g) * kGroup); }

    std::int64_t columns_;
    std::vector<std::vector<std::unique_ptr<double[]>>> groups_;
    std::vector<double *> row_;
    std::int64_t blockStart_ = 0, blockLines_ = 0;
};

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
    // After a refused row: the counts of the next few rows, so that the
    // reason names the line that differs from most lines.
    void CountRowsAhead();
    // Takes the label field at the start of a row into `name`.
    void Label(std::string &name);
    // Whether the first line holds a tab (as far as the bytes at hand show).
    bool FirstLineHoldsTab();
    // Keeps the cell `cell` (from 0) of the current row.
    void Store(std::int64_t cell, double value);
    void Assemble();

    StreamBytes &in_;
    ObjectTableOptions options_;
    ObjectTableRead result_;
    int c_ = EOF;
    std::int64_t line_ = 1;
    std::int64_t expected_ = -1, firstLine_ = 0, rows_ = 0;
    char piece_[TOKEN_BUFFER_BYTES];
    // The first row's cells, or with `rows` every row's, in reading order;
    // the columns of the other rows, without `rows`.
    std::vector<std::vector<double>> chunks_;
    std::unique_ptr<ColumnStore> columns_;
    std::vector<std::string> lineNames_;
    bool anyName_ = false;
    bool labelTabs_ = false;
    // Rows are only counted, not kept (after a refused row).
    bool counting_ = false;
    TableReport ragged_;
};

void ObjectReader::Label(std::string &name) {
    if (!labelTabs_)
        while (IsItem(c_)) c_ = in_.Next();
    while (c_ != EOF && !IsLineEnd(c_) && (labelTabs_ ? c_ != '\t' : !IsItem(c_))) {
        name += static_cast<char>(c_);
        c_ = in_.Next();
    }
}

bool ObjectReader::FirstLineHoldsTab() {
    if (c_ == '\t') return true;
    const unsigned char *ahead = in_.Ahead();
    for (std::int64_t k = 0; k < in_.AheadCount() && !IsLineEnd(ahead[k]); ++k)
        if (ahead[k] == '\t') return true;
    return false;
}

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

void ObjectReader::Store(std::int64_t cell, double value) {
    if (counting_) return;
    if (columns_) return columns_->Put(cell, value);
    if (chunks_.empty() || static_cast<std::int64_t>(chunks_.back().size()) == kChunkCells) {
        chunks_.emplace_back();
        chunks_.back().reserve(static_cast<size_t>(kChunkCells));
    }
    chunks_.back().push_back(value);
}

bool ObjectReader::Row() {
    if (columns_ && !counting_) columns_->BeginLine(rows_ - 1);
    std::int64_t cells = 0;
    std::string name;
    if (options_.labels) Label(name);
    bool tab = false;
    while (c_ != EOF && !IsLineEnd(c_)) {
        if (IsItem(c_)) {
            // A tab right after a tab closes an empty cell.
            if (c_ == '\t' && tab) {
                Store(cells++, std::numeric_limits<double>::quiet_NaN());
                ++result_.missingCells;
            }
            tab = c_ == '\t';
            c_ = in_.Next();
            continue;
        }
        tab = false;
        const int length = Piece();
        double value = 0.0;
        switch (ScanCell(piece_, &value)) {
            case CellKind::Number: Store(cells++, value); break;
            case CellKind::Missing:
                Store(cells++, std::numeric_limits<double>::quiet_NaN());
                ++result_.missingCells;
                break;
            case CellKind::Infinite:
                if (counting_) {
                    ++cells;
                    break;
                }
                result_.refusal = "line " + std::to_string(line_) + ": the cell '" + std::string(piece_, length) +
                                  "' is infinite; only finite numbers and missing cells (NA, NaN, nothing "
                                  "between two tabs) can be clustered";
                return false;
            case CellKind::Word:
                if (name.empty() && !options_.labels) name.assign(piece_, static_cast<size_t>(length));
                break;
        }
    }
    if (counting_) {
        ragged_.rowsAheadLikeFirst += cells == ragged_.firstCount;
        ragged_.rowsAheadLikeRejected += cells == ragged_.rejectedCount;
        return true;
    }
    if (expected_ < 0) {
        expected_ = cells;
        firstLine_ = line_;
        if (!options_.rows && expected_ > 0) columns_ = std::make_unique<ColumnStore>(expected_);
    } else if (cells != expected_) {
        ragged_.header = options_.header;
        ragged_.firstLine = firstLine_;
        ragged_.firstCount = expected_;
        ragged_.rejectedLine = line_;
        ragged_.rejectedCount = cells;
        ragged_.rowsBeforeRejected = rows_;
        return false;
    }
    ++rows_;
    if (options_.rows) {
        anyName_ |= !name.empty();
        lineNames_.push_back(std::move(name));
    }
    return true;
}

void ObjectReader::CountRowsAhead() {
    constexpr int kRowsLookedAhead = 8;
    counting_ = true;
    for (int k = 0; k < kRowsLookedAhead; ++k) {
        SkipLineEnds();
        if (c_ == EOF) break;
        Row();
    }
    result_.refusal = RejectionReason(ragged_);
    // Both counts are values: a cell may have been left out.
    if (ragged_.firstCount > 0 && ragged_.rejectedCount > 0)
        result_.refusal += " (a missing one is NA, or nothing between two tabs)";
}

// The objects, written in order into storage reserved but not yet touched,
// while what held their cells is released: the table is held once.
void ObjectReader::Assemble() {
    ObjectTable &table = result_.table;
    table.objects = options_.rows ? rows_ : expected_;
    table.coordinates = options_.rows ? expected_ : rows_;
    table.values.reserve(static_cast<size_t>(rows_ * expected_));
    if (columns_) {
        columns_->MoveInto(table.values, chunks_.at(0).data(), rows_ - 1);
        columns_.reset();
        chunks_.clear();
    }
    for (std::vector<double> &chunk : chunks_) {
        table.values.insert(table.values.end(), chunk.begin(), chunk.end());
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
    SkipLineEnds();
    labelTabs_ = options_.labels && FirstLineHoldsTab();
    for (;;) {
        SkipLineEnds();
        if (c_ == EOF) break;
        if (Row()) continue;
        if (result_.refusal.empty()) CountRowsAhead();
        return std::move(result_);
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
