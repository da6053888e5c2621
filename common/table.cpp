#include "table.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <string>
#include <system_error>

#include "number_scan.h"
#include "parallel.h"
#include "platform.h"
#include "table_report.h"
#include "utils.h"

ValueStorage NewValueStorage() {
    ValueStorage s;
    s.capacity = VALUE_BLOCK_SIZE;
    s.count = 0;
    s.data = static_cast<float *>(monmalloc(s.capacity * static_cast<int64_t>(sizeof(float))));
    return s;
}

namespace {

// The most values a block holds, in whole steps.
constexpr int64_t kMostValues =
    MAX_BLOCK_BYTES / static_cast<int64_t>(sizeof(float)) / VALUE_BLOCK_SIZE * VALUE_BLOCK_SIZE;

// The storage resized to `capacity` values, where the allocator allows it.
bool TryCapacity(ValueStorage &s, int64_t capacity) {
    void *grown = std::realloc(s.data, static_cast<size_t>(capacity) * sizeof(float));
    if (grown == nullptr) return false;
    s.data = static_cast<float *>(grown);
    s.capacity = capacity;
    // A large table's cells are written once, page after page.
    AdviseLargePages(s.data, capacity * static_cast<int64_t>(sizeof(float)));
    return true;
}

// A quarter of what the storage holds, in whole steps.
int64_t Quarter(const ValueStorage &s) { return s.capacity / 4 / VALUE_BLOCK_SIZE * VALUE_BLOCK_SIZE; }

}  // namespace

void GrowValueStorage(ValueStorage &s) {
    // A long table would cost one resize per VALUE_BLOCK_SIZE values, and
    // resizing a large block takes longer the larger it is. So the storage
    // first tries to grow by a quarter of what it holds (in whole steps, and
    // never past the largest block); only where the allocator refuses that
    // does it take the single step, whose failure ends the process as any
    // failed allocation does. The capacity stays a whole number of steps
    // and the block is trimmed to its exact size at the end, so the tables
    // that can be read are the same.
    const int64_t wide = std::min(s.capacity + Quarter(s), kMostValues);
    if (wide > s.capacity + VALUE_BLOCK_SIZE && TryCapacity(s, wide)) return;
    s.capacity += VALUE_BLOCK_SIZE;
    s.data = static_cast<float *>(monrealloc(s.data, s.capacity * static_cast<int64_t>(sizeof(float))));
}

void StoreValues(ValueStorage &s, const float *values, int64_t count) {
    // The storage grows as it would value by value: only when full.
    for (int64_t k = 0; k < count;) {
        if (s.count == s.capacity) GrowValueStorage(s);
        const int64_t now = std::min(count - k, s.capacity - s.count);
        std::memcpy(s.data + s.count, values + k, static_cast<size_t>(now) * sizeof(float));
        s.count += now;
        k += now;
    }
}

bool ReserveValues(ValueStorage &s, int64_t count) {
    if (count <= s.capacity) return true;
    // Whole steps, and at least a quarter more, as GrowValueStorage takes.
    const int64_t steps = (count + VALUE_BLOCK_SIZE - 1) / VALUE_BLOCK_SIZE * VALUE_BLOCK_SIZE;
    if (steps > kMostValues) return false;
    return TryCapacity(s, std::min(std::max(steps, s.capacity + Quarter(s)), kMostValues));
}

StreamBytes::StreamBytes(std::FILE *stream)
    : stream_(stream), block_(static_cast<unsigned char *>(monmalloc(BLOCK_BYTES))), capacity_(BLOCK_BYTES) {}

StreamBytes::StreamBytes(const unsigned char *bytes, int64_t count)
    : stream_(nullptr), block_(const_cast<unsigned char *>(bytes)), capacity_(count), end_(count), ended_(true),
      drained_(true) {}

StreamBytes::~StreamBytes() {
    if (stream_ != nullptr) std::free(block_);
    std::free(next_);
}

int StreamBytes::Refill() {
    if (ended_) return EOF;
    position_ = 0;
    end_ = static_cast<int64_t>(std::fread(block_, 1, static_cast<size_t>(capacity_), stream_));
    read_ += end_;
    if (end_ < capacity_) drained_ = true;
    if (end_ == 0) {
        ended_ = true;
        return EOF;
    }
    return block_[position_++];
}

void StreamBytes::FillAhead(int64_t bytes) {
    if (drained_ || ended_) return;
    if (bytes > capacity_ && !small_) {
        if (void *grown = std::realloc(block_, static_cast<size_t>(bytes))) {
            block_ = static_cast<unsigned char *>(grown);
            capacity_ = bytes;
            AdviseLargePages(block_, capacity_);
            std::free(next_);
            next_ = nullptr;
        } else {
            small_ = true;
        }
    }
    if (next_ == nullptr && !noNext_) {
        next_ = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(capacity_)));
        if (next_ != nullptr) AdviseLargePages(next_, capacity_);
        noNext_ = next_ == nullptr;
    }
    if (end_ - position_ >= capacity_ / 2) return;
    const int64_t unread = end_ - position_;
    std::memmove(block_, block_ + position_, static_cast<size_t>(unread));
    position_ = 0;
    end_ = unread + ReadInto(block_, unread);
}

int64_t StreamBytes::ReadInto(unsigned char *buffer, int64_t from) {
    int64_t at = from;
    while (!drained_ && at < capacity_) {
        const size_t asked = static_cast<size_t>(capacity_ - at);
        const size_t got = std::fread(buffer + at, 1, asked, stream_);
        at += static_cast<int64_t>(got);
        if (got < asked) drained_ = true;
    }
    read_ += at - from;
    return at - from;
}

bool StreamBytes::ReadNext(int64_t from) {
    const int64_t kept = end_ - position_ - from;
    // With half the block still ahead, FillAhead would leave it as it is.
    if (next_ == nullptr || drained_ || ended_ || kept >= capacity_ / 2) return false;
    std::memcpy(next_, block_ + position_ + from, static_cast<size_t>(kept));
    nextFresh_ = ReadInto(next_, kept);
    nextEnd_ = kept + nextFresh_;
    nextRead_ = true;
    return true;
}

void StreamBytes::TakeNext() {
    std::swap(block_, next_);
    position_ = 0;
    end_ = nextEnd_;
    nextRead_ = false;
}

void StreamBytes::GiveBack() {
    if (stream_ == nullptr) return;
    // A second block read and not taken holds bytes of the stream too.
    const int64_t unread = end_ - position_ + (nextRead_ ? nextFresh_ : 0);
    if (unread > 0 && std::fseek(stream_, -unread, SEEK_CUR) == 0) {
        position_ = end_;
        nextRead_ = false;
    }
}

namespace {

// True when the piece is an optionally signed run of digits with at most one
// point, holding at least one digit. For such text "%f" and strtof read the
// same characters and round them the same way.
bool IsPlainDecimal(const char *p, int length) {
    int k = 0;
    if (k < length && (p[k] == '+' || p[k] == '-')) ++k;
    bool digit = false, point = false;
    for (; k < length; ++k) {
        const char c = p[k];
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digit;
}

// True when the piece is a plain decimal followed by an exponent mark, an
// optional sign and at least one digit.
bool IsDecimalWithExponent(const char *p, int length) {
    int k = length;
    while (k > 0 && p[k - 1] >= '0' && p[k - 1] <= '9') --k;
    if (k == length) return false;  // no exponent digit
    if (k > 0 && (p[k - 1] == '+' || p[k - 1] == '-')) --k;
    if (k == 0 || (p[k - 1] != 'e' && p[k - 1] != 'E')) return false;
    return IsPlainDecimal(p, k - 1);
}

// Exact powers of ten in float: 10^10 = 2^10 x 5^10 and 5^10 < 2^24.
constexpr float kPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

// The common short decimal forms, without a call: an optionally signed
// decimal with an optional exponent whose digits, the point removed, make an
// integer m below 2^24, and whose value is m x 10^e with |e| <= 10. m and
// 10^|e| are then both exact floats, and one float multiplication or
// division rounds their product or quotient correctly, to the value strtof
// gives. False (nothing set) for any other text.
bool ShortDecimal(const char *p, const char *end, float *value) {
    static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must round to float");
    constexpr uint32_t limit = uint32_t{1} << 24;
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    uint32_t m = 0;
    int exponent = 0;
    bool digit = false;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        m = m * 10 + static_cast<uint32_t>(*p - '0');
        if (m >= limit) return false;
        digit = true;
    }
    if (p < end && *p == '.') {
        for (++p; p < end && *p >= '0' && *p <= '9'; ++p) {
            m = m * 10 + static_cast<uint32_t>(*p - '0');
            if (m >= limit) return false;
            --exponent;
            digit = true;
        }
    }
    if (!digit) return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool down = p < end && *p == '-';
        if (p < end && (*p == '-' || *p == '+')) ++p;
        if (p == end) return false;
        int written = 0;
        for (; p < end && *p >= '0' && *p <= '9'; ++p) {
            written = written * 10 + (*p - '0');
            if (written > 100) return false;
        }
        exponent += down ? -written : written;
    }
    if (p != end || exponent < -10 || exponent > 10) return false;
    const float f = static_cast<float>(m);
    const float v = exponent < 0 ? f / kPowersOfTen[-exponent] : f * kPowersOfTen[exponent];
    *value = negative ? -v : v;
    return true;
}

}  // namespace

int ConvertPiece(const char *text, int length, float *value, bool *partial) {
    if (partial != nullptr) *partial = false;
    if (length < 2) return 0;
    // The text without the appended space.
    const int textLength = length < TOKEN_MAX_LENGTH ? length - 1 : length;
    if (ShortDecimal(text, text + textLength, value)) return 1;
    const bool plain = IsPlainDecimal(text, textLength);
    if (plain || IsDecimalWithExponent(text, textLength)) {
        // For these forms "%f" reads every character of the text and rounds
        // it correctly, as from_chars does; from_chars only refuses a leading
        // "+" (skipped here, it changes nothing) and values beyond the float
        // range, which take the slower routes below.
        const char *first = text[0] == '+' ? text + 1 : text;
        float v;
        const std::from_chars_result r = std::from_chars(first, text + textLength, v);
        if (r.ec == std::errc() && r.ptr == text + textLength) {
            *value = v;
            return 1;
        }
    }
    // The conversion must not read past the piece: text[length] ends it, and
    // an embedded NUL byte ends it earlier, as it would for sscanf.
    if (plain) {
        *value = std::strtof(text, nullptr);
        return 1;
    }
    int used = 0;
    if (!ScanNumber(text, value, &used)) return 0;
    if (partial != nullptr) *partial = used < textLength;
    return 1;
}

namespace {

// How many of the eight bytes at `text` are decimal digits before the first
// that is not (8 when all are).
inline int DigitsAhead(const unsigned char *text) {
    uint64_t word;
    std::memcpy(&word, text, sizeof word);
    // Each byte less '0' is a digit when it is at most 9; adding 0x76 to its
    // low seven bits sets the top bit otherwise, without a carry into the
    // next byte. (A borrow passes only from a byte that is no digit, so the
    // bytes up to the first such byte are judged right.)
    const uint64_t x = word - 0x3030303030303030u;
    const uint64_t other = (((x & 0x7F7F7F7F7F7F7F7Fu) + 0x7676767676767676u) | x) & 0x8080808080808080u;
    if constexpr (std::endian::native == std::endian::little) return other == 0 ? 8 : std::countr_zero(other) / 8;
    int count = 0;
    while (count < 8 && text[count] >= '0' && text[count] <= '9') ++count;
    return count;
}

// The value of the `count` (< 8) decimal digits at `text`.
inline uint32_t DigitsValue(const unsigned char *text, int count) {
    if (count == 0) return 0;
    if constexpr (std::endian::native != std::endian::little) {
        uint32_t v = 0;
        for (int k = 0; k < count; ++k) v = v * 10 + static_cast<uint32_t>(text[k] - '0');
        return v;
    }
    uint64_t word;
    std::memcpy(&word, text, sizeof word);
    // The digits moved up so that they end the word, as the last of eight
    // digits with leading zeros; then pairs, fours and eights of digits are
    // combined by multiplications within the word.
    uint64_t v = (word - 0x3030303030303030u) << (8 * (8 - count));
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000FF000000FFu) * (100 + (uint64_t{1000000} << 32))) +
         (((v >> 16) & 0x000000FF000000FFu) * (1 + (uint64_t{10000} << 32)))) >>
        32;
    return static_cast<uint32_t>(v);
}

constexpr uint32_t kDigitScale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// The most common piece read straight from the block, without a copy: a
// short decimal without an exponent (as ShortDecimal takes it, a comma
// standing for the point) ended by a separator within the piece's 100
// characters. `ahead` holds at least TOKEN_MAX_LENGTH characters after
// `current`. Returns how many of them the piece and the separator after it
// take, or 0 (nothing taken, nothing set) for any other piece.
inline int ShortDecimalAhead(int current, const unsigned char *ahead, unsigned separators, float *value,
                             bool *comma) {
    constexpr uint32_t limit = uint32_t{1} << 24;
    int c = current, k = 0;
    const bool negative = c == '-';
    if (c == '-' || c == '+') c = ahead[k++];
    uint32_t m = 0;
    int fraction = 0;
    bool digit = false;
    for (; c >= '0' && c <= '9'; c = ahead[k++]) {
        m = m * 10 + static_cast<uint32_t>(c - '0');
        if (m >= limit || k >= TOKEN_MAX_LENGTH - 1) return 0;
        digit = true;
    }
    const bool decimalComma = c == ',';
    if ((c == '.' || c == ',') && k + 8 <= TOKEN_MAX_LENGTH - 1) {
        // Fewer than eight fraction digits, as most are, taken at once: the
        // same value and the same end as the loop below.
        const int count = DigitsAhead(ahead + k);
        if (count < 8) {
            const uint64_t all = uint64_t{m} * kDigitScale[count] + DigitsValue(ahead + k, count);
            if (all >= limit) return 0;
            m = static_cast<uint32_t>(all);
            digit |= count > 0;
            fraction = count;
            k += count;
            c = ahead[k++];
            goto ended;
        }
    }
    if (c == '.' || c == ',') {
        if (k >= TOKEN_MAX_LENGTH - 1) return 0;
        for (c = ahead[k++]; c >= '0' && c <= '9'; c = ahead[k++]) {
            m = m * 10 + static_cast<uint32_t>(c - '0');
            if (m >= limit || k >= TOKEN_MAX_LENGTH - 1) return 0;
            ++fraction;
            digit = true;
        }
    }
ended:
    if (!digit || fraction > 10 || c == EOF || (SeparatorClasses(c) & separators) == 0) return 0;
    const float f = static_cast<float>(m);
    const float v = fraction > 0 ? f / kPowersOfTen[fraction] : f;
    *value = negative ? -v : v;
    *comma = decimalComma;
    return k;
}

}  // namespace

int ReadNumericPiece(StreamBytes &in, int &current, char *buffer, unsigned separators, float *value,
                     PieceNotes *notes) {
    int length = 0;
    bool comma = false;
    if (in.AheadCount() >= TOKEN_MAX_LENGTH) {
        const unsigned char *ahead = in.Ahead();
        if (current != EOF) {
            bool decimalComma = false;
            if (const int taken = ShortDecimalAhead(current, ahead, separators, value, &decimalComma)) {
                in.Skip(taken);
                current = ahead[taken - 1];
                // The whole piece is the number: nothing of it is left over.
                if (notes != nullptr) *notes = PieceNotes{decimalComma, false};
                return 1;
            }
        }
        // The whole piece and the character after it are in the block: the
        // same loop as below on local copies.
        int c = current, taken = 0;
        while (c != EOF && length < TOKEN_MAX_LENGTH && (SeparatorClasses(c) & separators) == 0) {
            comma |= c == ',';
            buffer[length++] = c == ',' ? '.' : static_cast<char>(c);
            c = ahead[taken++];
        }
        in.Skip(taken);
        current = c;
    }
    while (current != EOF && length < TOKEN_MAX_LENGTH && (SeparatorClasses(current) & separators) == 0) {
        comma |= current == ',';
        buffer[length++] = current == ',' ? '.' : static_cast<char>(current);
        current = in.Next();
    }
    if (length < TOKEN_MAX_LENGTH) buffer[length++] = ' ';
    buffer[length] = '\0';
    if (notes == nullptr) return ConvertPiece(buffer, length, value);
    notes->comma = comma;
    return ConvertPiece(buffer, length, value, &notes->partial);
}

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
        do {
            while (IsItemSeparatorByte(c)) c = in.Next();
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
            }
            if (pieceNotes.comma && notes->commaLine == 0) notes->commaLine = rowLine;
        } while (c != EOF && !IsLineSeparatorByte(c));
        if (expected < 0) {
            expected = rowCount;
        } else if (rowCount != expected) {
            return Rejected;
        }
        ++rows;
        return Accepted;
    }
};

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
    if (report != nullptr && c == 0xEF && in.AheadCount() >= 2 && in.Ahead()[0] == 0xBB && in.Ahead()[1] == 0xBF) {
        report->byteOrderMark = true;
        if (report->header) {
            in.Skip(2);
            c = in.Next();
        }
    }
    if (report != nullptr) report->FirstLine(c, in.Ahead(), std::min(in.AheadCount(), TableReport::kFirstLineBytes));
    if (report != nullptr && report->header) {
        reader.SkipLineEnds(in, c);
        std::string text;
        for (; c != EOF && !IsLineSeparatorByte(c); c = in.Next()) text += static_cast<char>(c);
        report->HeaderLine(text);
    }

    // The second half of each stretch: its own reader, token buffer, notes
    // and values. Its values are stored behind the first half's while the
    // next stretch is read (by the thread reading that stretch's first half,
    // before its rows); meanwhile the other thread reads the next block of
    // the stream after its half. Both need the storage to hold all that the
    // first half may add, so that no thread can end the process while the
    // other is reading the stream; where it cannot, the values are stored
    // and the block read between the stretches.
    std::unique_ptr<TwoWayLoop> loop;
    FixedValues halves[2] = {{nullptr, 0}, {nullptr, 0}};
    int filling = 0;           // the half being filled
    bool pending = false;      // the other half holds values to store
    const int64_t leastStretch = std::max<int64_t>(stretchBytes / kLeastPart, 2);
    bool stretches = stretchBytes > 0;
    auto release = [&] {
        std::free(halves[0].data);
        std::free(halves[1].data);
    };
    auto storePending = [&] {
        if (!pending) return;
        const FixedValues &values = halves[1 - filling];
        StoreValues(storage, values.data, values.count);
        pending = false;
    };

    auto rejected = [&] {
        if (report != nullptr) {
            report->rejectedLine = reader.rowLine;
            report->rejectedCount = reader.rowCount;
        }
        // Reading stops right after the offending row.
        in.GiveBack();
        release();
        return RejectedTable(storage, token);
    };

    for (;;) {
        if (stretches && reader.expected >= 0 && c != EOF && in.BytesRead() >= stretchBytes) {
            in.FillAhead(stretchBytes);
            // The stretch is `c` and ahead[0 .. length).
            const unsigned char *ahead = in.Ahead();
            const int64_t length = LastRowStart(ahead, std::min(in.AheadCount(), stretchBytes - 1), in.AheadCount());
            if (length + 1 >= leastStretch) {
                if (loop == nullptr) {
                    loop = std::make_unique<TwoWayLoop>();
                    const int64_t halfBytes = MostValues(stretchBytes / 2 + 1) * int64_t{sizeof(float)};
                    for (FixedValues &half : halves) {
                        half.data = static_cast<float *>(monmalloc(halfBytes));
                        AdviseLargePages(half.data, halfBytes);
                    }
                }
                // The second half starts at the first row start past the
                // middle; it is then at most half the stretch.
                const int64_t middle = FirstRowStart(ahead, (length + 1) / 2, length);
                const bool overlap =
                    ReserveValues(storage, storage.count + (pending ? halves[1 - filling].count : 0) +
                                               MostValues(middle + 1));
                if (!overlap) storePending();
                const bool readNext = overlap;
                RowReader second{nullptr, nullptr, reader.expected};
                TableReport secondNotes;
                if (report != nullptr) second.notes = &secondNotes;
                RowReader::Outcome firstEnd = RowReader::End, secondEnd = RowReader::End;
                int64_t firstTaken = 0, secondTaken = 0;
                bool nextRead = false;
                halves[filling].count = 0;
                // Each thread reads and counts in its own copies, on its own
                // stack, and writes them back once: counts bumped for every
                // value on cache lines the other thread writes as well would
                // make the two threads wait on each other.
                auto body = [&](int64_t, int64_t, int part) {
                    if (part == 0) {
                        ValueStorage values = storage;
                        if (pending) {
                            const FixedValues &stored = halves[1 - filling];
                            StoreValues(values, stored.data, stored.count);
                        }
                        RowReader rows = reader;
                        StreamBytes text(ahead, middle);
                        int first = c;
                        RowReader::Outcome end;
                        while ((end = rows.Row(text, first, values)) == RowReader::Accepted) {
                        }
                        storage = values;
                        reader = rows;
                        firstEnd = end;
                        firstTaken = text.Taken();
                    } else {
                        if (middle < length) {
                            char ownToken[TOKEN_BUFFER_BYTES];
                            RowReader rows = second;
                            rows.token = ownToken;
                            FixedValues values = halves[filling];
                            StreamBytes text(ahead + middle + 1, length - middle - 1);
                            int first = ahead[middle];
                            RowReader::Outcome end;
                            while ((end = rows.Row(text, first, values)) == RowReader::Accepted) {
                            }
                            rows.token = nullptr;
                            second = rows;
                            halves[filling].count = values.count;
                            secondEnd = end;
                            secondTaken = middle + 1 + text.Taken();
                        }
                        if (readNext) nextRead = in.ReadNext(length);
                    }
                };
                loop->Run(2, 1, 0, body);
                pending = false;
                if (firstEnd == RowReader::Rejected) {
                    in.Skip(firstTaken);
                    return rejected();
                }
                // The second half's rows follow the first half's lines.
                const int64_t lineBase = reader.lineEnds;
                if (report != nullptr) AddNotes(*report, secondNotes, lineBase);
                reader.rows += second.rows;
                reader.lineEnds += second.lineEnds;
                pending = true;
                filling = 1 - filling;
                if (secondEnd == RowReader::Rejected) {
                    // Stored as one thread would have stored them.
                    storePending();
                    reader.rowLine = second.rowLine + lineBase;
                    reader.rowCount = second.rowCount;
                    in.Skip(secondTaken);
                    return rejected();
                }
                if (nextRead) {
                    in.TakeNext();
                } else {
                    in.Skip(length);
                }
                c = in.Next();
                continue;
            }
            // What is left is too short for a stretch, for good.
            if (in.Drained()) stretches = false;
        }
        storePending();
        const RowReader::Outcome outcome = reader.Row(in, c, storage);
        if (outcome == RowReader::End) break;
        if (outcome == RowReader::Rejected) return rejected();
        if (reader.rows == 1 && report != nullptr) {
            report->firstLine = reader.rowLine;
            report->firstCount = reader.rowCount;
        }
    }
    release();
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

float elementAt(int32_t line, int32_t column, TableData table) {
    return table.values[static_cast<int64_t>(line) * table.columns + column];
}

float euclidDistByColumn(int32_t first, int32_t second, TableData table) {
    float sum = 0.0f;
    for (int32_t line = 0; line < table.lines; ++line) {
        const float d = elementAt(line, first, table) - elementAt(line, second, table);
        // The square is not rounded on its own: it joins the sum in double.
        sum = static_cast<float>(static_cast<double>(d) * d + sum);
    }
    return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

float euclidDistByColumnBis(const float *vector, int32_t column, TableData table) {
    float sum = 0.0f;
    for (int32_t line = 0; line < table.lines; ++line) {
        const float d = vector[line] - elementAt(line, column, table);
        sum = static_cast<float>(static_cast<double>(d) * d + sum);
    }
    return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

float varianceBis(const int32_t *a, int32_t countA, const int32_t *b, int32_t countB, TableData table) {
    const int32_t total = countA + countB;
    float *centroid = static_cast<float *>(monmalloc(static_cast<int64_t>(table.lines) * sizeof(float)));
    for (int32_t line = 0; line < table.lines; ++line) centroid[line] = 0.0f;
    for (int32_t k = 0; k < countA; ++k)
        for (int32_t line = 0; line < table.lines; ++line) centroid[line] += elementAt(line, a[k], table);
    for (int32_t k = 0; k < countB; ++k)
        for (int32_t line = 0; line < table.lines; ++line) centroid[line] += elementAt(line, b[k], table);
    for (int32_t line = 0; line < table.lines; ++line)
        centroid[line] = static_cast<float>(static_cast<double>(centroid[line]) / total);
    float sum = 0.0f;
    for (int32_t k = 0; k < countA; ++k) sum += euclidDistByColumnBis(centroid, a[k], table);
    for (int32_t k = 0; k < countB; ++k) sum += euclidDistByColumnBis(centroid, b[k], table);
    const float result = static_cast<float>(static_cast<double>(sum) / total);
    std::free(centroid);
    return result;
}

float variance(const int32_t *members, int32_t count, TableData table) {
    return varianceBis(members, count, nullptr, 0, table);
}
