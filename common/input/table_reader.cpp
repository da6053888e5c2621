#include "input/table_reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "base/parallel.h"
#include "base/platform.h"
#include "base/utils.h"
#include "input/numeric_token.h"
#include "input/table_report.h"
#include "input/value_storage.h"

namespace {

TableData RejectedTable(ValueStorage &storage, char *token) {
    std::free(token);
    std::free(storage.data);
    return TableData{0, 0, nullptr};
}

bool IsItemSeparatorByte(int c) { return (SeparatorClasses(c) & ItemSeparatorClass) != 0; }
bool IsLineSeparatorByte(int c) { return (SeparatorClasses(c) & LineSeparatorClass) != 0; }

// Values kept in a block sized beforehand for every value its text can
// hold, so that keeping one never allocates (it may run on a helper thread).
struct FixedValues {
    float *data;
    int64_t count;
};
inline void Keep(FixedValues &values, float v) { values.data[values.count++] = v; }
inline void Keep(ValueStorage &storage, float v) { StoreValue(storage, v); }

// The most values a text of `bytes` bytes can yield: a value takes at least
// one character and is parted from the next by a separator, unless it is a
// whole piece of TOKEN_MAX_LENGTH characters.
int64_t MostValues(int64_t bytes) { return bytes / 2 + bytes / TOKEN_MAX_LENGTH + 2; }

// The words skipped on one row, as many as fit, for the reason of a ragged
// table: kept without allocating, as a row label makes one on every row.
struct RowWords {
    char text[48] = {};
    int length = 0;
    void Add(const char *word, size_t size) {
        if (length > 0 && length + 2 < static_cast<int>(sizeof text)) {
            text[length++] = ',';
            text[length++] = ' ';
        }
        const size_t room = sizeof text - static_cast<size_t>(length);
        const size_t taken = std::min(size, room);
        std::memcpy(text + length, word, taken);
        length += static_cast<int>(taken);
    }
    std::string Text() const { return std::string(text, static_cast<size_t>(length)); }
};

// Reading rows, one at a time, from a row start: the loop of the whole
// reader, and of the stretches of text read on two threads. Lines are
// counted from the start of the text read (line ends passed so far, a
// carriage return and line feed pair counting once: the row starting now is
// on line lineEnds + 1); `notes`, when given, gets the partial tokens and
// commas on those lines.
struct RowReader {
    char *token;
    TableReport *notes;
    int64_t expected = -1;  // values per row; -1 until the first row has ended
    int64_t rows = 0;       // rows accepted
    int64_t lineEnds = 0;
    int64_t rowCount = 0;   // values of the last row read
    int64_t rowLine = 0;    // and its line
    bool labels = false;    // the first field of each row is a label: skipped
    bool labelTabs = false; // and it ends at a tab (else at any item separator)
    RowWords words{};       // the words skipped on the last row read (with notes)

    enum Outcome { End, Accepted, Rejected };

    // Skips the line ends at the current character `c`, counting them.
    void SkipLineEnds(StreamBytes &in, int &c) {
        int previous = EOF;
        for (; c != EOF && IsLineSeparatorByte(c); c = in.Next()) {
            if (c != '\n' || previous != '\r') ++lineEnds;
            previous = c;
        }
    }

    // Skips the line ends before a row, reads it, and holds its count
    // against the first row's. `c` is the current character.
    template <class Values>
    Outcome Row(StreamBytes &in, int &c, Values &values) {
        SkipLineEnds(in, c);
        if (c == EOF) return End;
        constexpr unsigned tableSeparators = ItemSeparatorClass | LineSeparatorClass;
        PieceNotes pieceNotes;
        rowCount = 0;
        rowLine = lineEnds + 1;
        words.length = 0;
        if (labels) SkipLabel(in, c);
        do {
            // Two tabs in a row between values are an empty cell, skipped
            // as the separators collapse: noted.
            int tabs = 0;
            while (IsItemSeparatorByte(c)) {
                tabs += c == '\t';
                c = in.Next();
            }
            if (tabs > 1 && notes != nullptr && rowCount > 0 && c != EOF && !IsLineSeparatorByte(c)) [[unlikely]] {
                if (notes->emptyCells++ == 0) notes->firstEmptyCellLine = rowLine;
            }
            float v;
            if (ReadNumericPiece(in, c, token, tableSeparators, &v, notes != nullptr ? &pieceNotes : nullptr)) {
                Keep(values, v);
                ++rowCount;
                if (pieceNotes.partial) {
                    // The piece as read, without the space appended to it.
                    size_t length = std::strlen(token);
                    if (length > 0 && token[length - 1] == ' ') --length;
                    notes->Partial(token, static_cast<int>(length), v, rowLine);
                }
            } else if (notes != nullptr && token[0] != ' ') [[unlikely]] {
                Word(in, c);
            }
            if (pieceNotes.comma && notes->commaLine == 0) notes->commaLine = rowLine;
            if (pieceNotes.split) [[unlikely]] {
                if (notes->splitTokens++ == 0) notes->firstSplitLine = rowLine;
            }
        } while (c != EOF && !IsLineSeparatorByte(c));
        if (expected < 0 && notes != nullptr && words.length > 0) notes->firstRowWords = words.Text();
        if (expected < 0) {
            expected = rowCount;
        } else if (rowCount != expected) {
            return Rejected;
        }
        ++rows;
        return Accepted;
    }

    // The label: up to the first tab, or the first run of characters that
    // are not item separators.
    void SkipLabel(StreamBytes &in, int &c) {
        if (labelTabs) {
            while (c != EOF && c != '\t' && !IsLineSeparatorByte(c)) c = in.Next();
            return;
        }
        while (IsItemSeparatorByte(c)) c = in.Next();
        while (c != EOF && (SeparatorClasses(c) & (ItemSeparatorClass | LineSeparatorClass)) == 0) c = in.Next();
    }

    // A piece that gave no value: kept for the reason, and noted when it
    // follows a number on its row (the values after it move left) or, as
    // the first word of a row, when the first tab-separated field goes on
    // with a number ("Day 1\t..."). `c` is the character after the word.
    void Word(StreamBytes &in, int c) {
        size_t length = std::strlen(token);
        if (length > 0 && token[length - 1] == ' ') --length;
        words.Add(token, length);
        if (rowCount > 0) {
            notes->WordAfterNumber(token, length, rowLine);
            return;
        }
        if (labels || (c != ' ' && c != ';')) return;
        // The field is looked for in the bytes at hand, the same on one
        // thread as in a stretch: near the end of the block, the rest of the
        // stream is put behind them first.
        constexpr int64_t kFieldBytes = 200;
        if (in.AheadCount() < kFieldBytes) in.FillAhead(0);
        const unsigned char *ahead = in.Ahead();
        const int64_t count = std::min(in.AheadCount(), kFieldBytes);
        bool digit = false;
        for (int64_t k = 0; k < count && !IsLineSeparatorByte(ahead[k]); ++k) {
            if (ahead[k] == '\t') {
                if (digit) {
                    std::string field(token, length);
                    field += static_cast<char>(c);
                    field.append(reinterpret_cast<const char *>(ahead), static_cast<size_t>(k));
                    notes->LabelLikeField(field, rowLine);
                }
                return;
            }
            digit |= ahead[k] >= '0' && ahead[k] <= '9';
        }
    }
};

// A sink that only counts the values of a row.
struct CountOnly {
    int64_t count = 0;
};
inline void Keep(CountOnly &values, float) { ++values.count; }

constexpr int kRowsLookedAhead = 8;
constexpr int64_t kBytesLookedAhead = int64_t{1} << 16;

// After a rejected row, the counts of values on the next few rows, from the
// bytes already read (the stream itself is not read further): the reason
// then names the line that differs from most lines. A row the bytes at hand
// cut short is left out.
void CountRowsAhead(const StreamBytes &in, const RowReader &reader, TableReport &report) {
    const int64_t count = std::min(in.AheadCount(), kBytesLookedAhead);
    if (count == 0) return;
    const bool whole = count == in.AheadCount() && in.Drained();
    char token[TOKEN_BUFFER_BYTES];
    RowReader rows{token, nullptr};
    rows.labels = reader.labels;
    rows.labelTabs = reader.labelTabs;
    StreamBytes text(in.Ahead() + 1, count - 1);
    int c = in.Ahead()[0];
    CountOnly values;
    for (int k = 0; k < kRowsLookedAhead; ++k) {
        rows.expected = -1;  // every row taken, whatever its count
        if (rows.Row(text, c, values) == RowReader::End || (c == EOF && !whole)) break;
        if (rows.rowCount == report.firstCount) ++report.rowsAheadLikeFirst;
        if (rows.rowCount == report.rejectedCount) ++report.rowsAheadLikeRejected;
    }
}

// The text ahead of the reader is read in stretches of whole rows, each cut
// in two halves at a row start and the halves read at once on two threads;
// a stretch ends right after a line end, so no token, row or line-end pair
// spans two of them. A stretch is at most kStretchBytes long (the block of
// text held at a time) and at least kStretchBytes / kLeastPart. Inputs
// shorter than kStretchBytes are read on one thread, with a small block, as
// they take a few milliseconds; stretches start once that much was read.
constexpr int64_t kStretchBytes = int64_t{8} << 20;
constexpr int64_t kLeastPart = 32;

// A row may start at ahead[at]: the byte before it ends a line, and is not
// the carriage return of a pair whose line feed is ahead[at].
bool RowMayStartAt(const unsigned char *ahead, int64_t at, int64_t count) {
    if (at <= 0 || at > count) return false;
    const unsigned char before = ahead[at - 1];
    if (before == '\n') return true;
    return before == '\r' && at < count && ahead[at] != '\n';
}

// The last row start within ahead[0 .. limit], or 0.
int64_t LastRowStart(const unsigned char *ahead, int64_t limit, int64_t count) {
    for (int64_t at = limit; at > 0; --at)
        if (RowMayStartAt(ahead, at, count)) return at;
    return 0;
}

// The first row start within ahead[from .. to], or `to`.
int64_t FirstRowStart(const unsigned char *ahead, int64_t from, int64_t to) {
    for (int64_t at = std::max<int64_t>(from, 1); at < to; ++at)
        if (RowMayStartAt(ahead, at, to)) return at;
    return to;
}

// Adds what a stretch's notes found, on lines counted from the stretch's
// start, to the report, whose lines before the stretch number `lineBase`.
void AddNotes(TableReport &report, const TableReport &part, int64_t lineBase) {
    if (part.partialTokens > 0) {
        if (report.partialTokens == 0) {
            report.firstPartial = part.firstPartial;
            report.firstPartialValue = part.firstPartialValue;
            report.firstPartialLine = part.firstPartialLine + lineBase;
        }
        report.partialTokens += part.partialTokens;
    }
    if (report.commaLine == 0 && part.commaLine > 0) report.commaLine = part.commaLine + lineBase;
    if (part.wordsAfterNumbers > 0) {
        if (report.wordsAfterNumbers == 0) {
            report.firstWordAfterNumber = part.firstWordAfterNumber;
            report.firstWordAfterNumberLine = part.firstWordAfterNumberLine + lineBase;
        }
        report.wordsAfterNumbers += part.wordsAfterNumbers;
    }
    if (part.emptyCells > 0) {
        if (report.emptyCells == 0) report.firstEmptyCellLine = part.firstEmptyCellLine + lineBase;
        report.emptyCells += part.emptyCells;
    }
    if (part.labelLikeFields > 0) {
        if (report.labelLikeFields == 0) {
            report.firstLabelLikeField = part.firstLabelLikeField;
            report.firstLabelLikeLine = part.firstLabelLikeLine + lineBase;
        }
        report.labelLikeFields += part.labelLikeFields;
    }
    if (part.splitTokens > 0) {
        if (report.splitTokens == 0) report.firstSplitLine = part.firstSplitLine + lineBase;
        report.splitTokens += part.splitTokens;
    }
}

// Reading the text in stretches on two threads (see kStretchBytes), and
// what is kept from one stretch to the next: the second half of each
// stretch has its own reader, token buffer, notes and values. Its values are
// stored behind the first half's while the next stretch is read (by the
// thread reading that stretch's first half, before its rows); meanwhile the
// other thread reads the next block of the stream after its half. Both need
// the storage to hold all that the first half may add, so that no thread can
// end the process while the other is reading the stream; where it cannot,
// the values are stored and the block read between the stretches.
class StretchReader {
public:
    enum Outcome {
        NoStretch,  // no stretch here: the caller reads the next row itself
        Read,       // a stretch was read; `c` is the character after it
        Rejected,   // a row of the stretch rejected the table; the stream
                    // stands right after it and the reader holds its line
    };

    explicit StretchReader(int64_t stretchBytes)
        : stretchBytes_(stretchBytes),
          leastStretch_(std::max<int64_t>(stretchBytes / kLeastPart, 2)),
          on_(stretchBytes > 0) {}

    // Reads a stretch where one is due: once the first row has ended and
    // stretchBytes were read.
    Outcome Next(StreamBytes &in, int &c, RowReader &reader, ValueStorage &storage, TableReport *report) {
        if (!on_ || reader.expected < 0 || c == EOF || in.BytesRead() < stretchBytes_) return NoStretch;
        in.FillAhead(stretchBytes_);
        // The stretch is `c` and ahead[0 .. length).
        const int64_t length =
            LastRowStart(in.Ahead(), std::min(in.AheadCount(), stretchBytes_ - 1), in.AheadCount());
        if (length + 1 < leastStretch_) {
            // What is left is too short for a stretch, for good.
            if (in.Drained()) on_ = false;
            return NoStretch;
        }
        return ReadStretch(in, c, length, reader, storage, report);
    }

    // Stores the values of the last stretch's second half.
    void StorePending(ValueStorage &storage) {
        if (!pending_) return;
        const FixedValues &values = halves_[1 - filling_];
        StoreValues(storage, values.data, values.count);
        pending_ = false;
    }

    void Release() {
        std::free(halves_[0].data);
        std::free(halves_[1].data);
    }

private:
    // What the thread of the second half found.
    struct SecondHalf {
        RowReader rows;
        TableReport notes;
        RowReader::Outcome end = RowReader::End;
        int64_t taken = 0;
    };

    Outcome ReadStretch(StreamBytes &in, int &c, int64_t length, RowReader &reader, ValueStorage &storage,
                        TableReport *report) {
        const unsigned char *ahead = in.Ahead();
        if (loop_ == nullptr) {
            loop_ = std::make_unique<TwoWayLoop>();
            const int64_t halfBytes = MostValues(stretchBytes_ / 2 + 1) * int64_t{sizeof(float)};
            for (FixedValues &half : halves_) {
                half.data = static_cast<float *>(monmalloc(halfBytes));
                AdviseLargePages(half.data, halfBytes);
            }
        }
        // The second half starts at the first row start past the middle; it
        // is then at most half the stretch.
        const int64_t middle = FirstRowStart(ahead, (length + 1) / 2, length);
        const bool overlap = ReserveValues(
            storage, storage.count + (pending_ ? halves_[1 - filling_].count : 0) + MostValues(middle + 1));
        if (!overlap) StorePending(storage);
        SecondHalf second{RowReader{nullptr, nullptr, reader.expected}, TableReport{}};
        second.rows.labels = reader.labels;
        second.rows.labelTabs = reader.labelTabs;
        if (report != nullptr) second.rows.notes = &second.notes;
        RowReader::Outcome firstEnd = RowReader::End;
        int64_t firstTaken = 0;
        bool nextRead = false;
        halves_[filling_].count = 0;
        auto body = [&](int64_t, int64_t, int part) {
            if (part == 0) {
                firstEnd = ReadFirstHalf(StreamBytes(ahead, middle), c, reader, storage, firstTaken);
            } else {
                if (middle < length) ReadSecondHalf(ahead, middle, length, second);
                if (overlap) nextRead = in.ReadNext(length);
            }
        };
        loop_->Run(2, 1, 0, body);
        pending_ = false;
        if (firstEnd == RowReader::Rejected) {
            in.Skip(firstTaken);
            return Rejected;
        }
        // The second half's rows follow the first half's lines.
        const int64_t lineBase = reader.lineEnds;
        if (report != nullptr) AddNotes(*report, second.notes, lineBase);
        reader.rows += second.rows.rows;
        reader.lineEnds += second.rows.lineEnds;
        pending_ = true;
        filling_ = 1 - filling_;
        if (second.end == RowReader::Rejected) {
            // Stored as one thread would have stored them.
            StorePending(storage);
            reader.rowLine = second.rows.rowLine + lineBase;
            reader.rowCount = second.rows.rowCount;
            reader.words = second.rows.words;
            in.Skip(second.taken);
            return Rejected;
        }
        if (nextRead) {
            in.TakeNext();
        } else {
            in.Skip(length);
        }
        c = in.Next();
        return Read;
    }

    // Each thread reads and counts in its own copies, on its own stack, and
    // writes them back once: counts bumped for every value on cache lines
    // the other thread writes as well would make the two threads wait on
    // each other.
    RowReader::Outcome ReadFirstHalf(StreamBytes &&text, int c, RowReader &reader, ValueStorage &storage,
                                     int64_t &taken) {
        ValueStorage values = storage;
        if (pending_) {
            const FixedValues &stored = halves_[1 - filling_];
            StoreValues(values, stored.data, stored.count);
        }
        RowReader rows = reader;
        RowReader::Outcome end;
        while ((end = rows.Row(text, c, values)) == RowReader::Accepted) {
        }
        storage = values;
        reader = rows;
        taken = text.Taken();
        return end;
    }

    void ReadSecondHalf(const unsigned char *ahead, int64_t middle, int64_t length, SecondHalf &second) {
        char ownToken[TOKEN_BUFFER_BYTES];
        RowReader rows = second.rows;
        rows.token = ownToken;
        FixedValues values = halves_[filling_];
        StreamBytes text(ahead + middle + 1, length - middle - 1);
        int first = ahead[middle];
        RowReader::Outcome end;
        while ((end = rows.Row(text, first, values)) == RowReader::Accepted) {
        }
        rows.token = nullptr;
        second.rows = rows;
        halves_[filling_].count = values.count;
        second.end = end;
        second.taken = middle + 1 + text.Taken();
    }

    int64_t stretchBytes_, leastStretch_;
    bool on_;
    std::unique_ptr<TwoWayLoop> loop_;
    FixedValues halves_[2] = {{nullptr, 0}, {nullptr, 0}};
    int filling_ = 0;       // the half being filled
    bool pending_ = false;  // the other half holds values to store
};

// The byte-order mark and, when asked, the header line.
void ReadHeader(StreamBytes &in, int &c, RowReader &reader, TableReport *report) {
    if (report == nullptr) return;
    // A byte-order mark (spreadsheets write one) is no part of the first
    // token: skipped, with a note.
    if (c == 0xEF && in.AheadCount() >= 2 && in.Ahead()[0] == 0xBB && in.Ahead()[1] == 0xBF) {
        report->byteOrderMark = true;
        in.Skip(2);
        c = in.Next();
    }
    report->FirstLine(c, in.Ahead(), std::min(in.AheadCount(), TableReport::kFirstLineBytes));
    report->labelTabs = report->firstLineText.find('\t') != std::string::npos;
    reader.labels = report->labels;
    reader.labelTabs = report->labelTabs;
    if (report->header) {
        reader.SkipLineEnds(in, c);
        std::string text;
        for (; c != EOF && !IsLineSeparatorByte(c); c = in.Next()) text += static_cast<char>(c);
        report->HeaderLine(text);
    }
}

// The reader itself; `report`, when given, is filled in at the rare events
// (a new line, a partial token, the end). Stretches of at most `stretchBytes`
// are read on two threads (none when 0).
TableData ReadTableReporting(std::FILE *stream, TableReport *report, int64_t stretchBytes) {
    ValueStorage storage = NewValueStorage();
    char *token = static_cast<char *>(monmalloc(TOKEN_BUFFER_BYTES));
    StreamBytes in(stream);
    RowReader reader{token, report};
    int c = in.Next();
    ReadHeader(in, c, reader, report);
    StretchReader stretches(stretchBytes);
    auto rejected = [&] {
        if (report != nullptr) {
            report->rejectedLine = reader.rowLine;
            report->rejectedCount = reader.rowCount;
            report->rejectedWords = reader.words.Text();
            report->rowsBeforeRejected = reader.rows;
            CountRowsAhead(in, reader, *report);
        }
        // Reading stops right after the offending row.
        in.GiveBack();
        stretches.Release();
        return RejectedTable(storage, token);
    };
    for (;;) {
        const StretchReader::Outcome stretch = stretches.Next(in, c, reader, storage, report);
        if (stretch == StretchReader::Read) continue;
        if (stretch == StretchReader::Rejected) return rejected();
        stretches.StorePending(storage);
        const RowReader::Outcome outcome = reader.Row(in, c, storage);
        if (outcome == RowReader::End) break;
        if (outcome == RowReader::Rejected) return rejected();
        if (reader.rows == 1 && report != nullptr) {
            report->firstLine = reader.rowLine;
            report->firstCount = reader.rowCount;
        }
    }
    stretches.Release();
    if (std::ferror(stream)) return RejectedTable(storage, token);
    // No row at all leaves expected unset; the product is then negative or
    // zero, and both end with ExitMemory in the final resize.
    const int64_t cells = reader.rows * reader.expected;
    if (report != nullptr && cells <= 0) {
        report->noValues = true;
        report->rows = reader.rows;
        return RejectedTable(storage, token);
    }
    std::free(token);
    storage.data = static_cast<float *>(monrealloc(storage.data, cells * static_cast<int64_t>(sizeof(float))));
    return TableData{static_cast<int32_t>(reader.rows), static_cast<int32_t>(reader.expected), storage.data};
}

}  // namespace

TableData ReadTable(std::FILE *stream) { return ReadTableReporting(stream, nullptr, kStretchBytes); }

TableData ReadTable(std::FILE *stream, TableReport &report) {
    return ReadTableReporting(stream, &report, kStretchBytes);
}

TableData ReadTableInStretches(std::FILE *stream, TableReport *report, int64_t stretchBytes) {
    return ReadTableReporting(stream, report, stretchBytes);
}
