// The numeric table read from the input file, the numeric token rule shared
// by the text readers, and the geometry of the table's columns.
#pragma once

#include <cstdint>
#include <cstdio>

// Rows of numbers. Cell (line, column) is values[line * columns + column].
// A table returned by ReadTable either holds at least one cell or is the
// rejected table: 0 lines, 0 columns and no values.
struct TableData {
    int32_t lines;
    int32_t columns;
    float *values;
};

// A token is cut into pieces of at most this many characters, each converted
// on its own.
inline constexpr int TOKEN_MAX_LENGTH = 100;
// The readers' value storage grows by this many floats at a time.
inline constexpr int VALUE_BLOCK_SIZE = 1000;

// Value storage of the readers: grows in whole steps of VALUE_BLOCK_SIZE
// floats, and is trimmed to its exact size at the end.
struct ValueStorage {
    float *data;
    int64_t count;
    int64_t capacity;
};
ValueStorage NewValueStorage();
void GrowValueStorage(ValueStorage &storage);
inline void StoreValue(ValueStorage &storage, float value) {
    if (storage.count == storage.capacity) GrowValueStorage(storage);
    storage.data[storage.count++] = value;
}
// StoreValue of each of `count` values in turn.
void StoreValues(ValueStorage &storage, const float *values, int64_t count);
// Makes room for `count` values in all, without ending the process: false
// when the storage cannot hold that many.
bool ReserveValues(ValueStorage &storage, int64_t count);

// Token buffer: TOKEN_MAX_LENGTH characters, plus room for the terminator.
inline constexpr int TOKEN_BUFFER_BYTES = TOKEN_MAX_LENGTH + 1;

// The bytes of a stream, handed out one at a time as getc would (0 .. 255,
// then EOF at the end of the stream or on a read error), but read from the
// stream in large blocks so that a byte costs no call.
class StreamBytes {
public:
    // Bytes read from the stream at a time, until FillAhead asks for more.
    static constexpr int64_t BLOCK_BYTES = int64_t{1} << 18;

    explicit StreamBytes(std::FILE *stream);
    // The `count` bytes at `bytes`, then EOF; nothing is read from a stream.
    StreamBytes(const unsigned char *bytes, int64_t count);
    ~StreamBytes();
    StreamBytes(const StreamBytes &) = delete;
    StreamBytes &operator=(const StreamBytes &) = delete;

    int Next() { return position_ < end_ ? block_[position_++] : Refill(); }
    // The bytes Next will hand out without reading the stream again.
    const unsigned char *Ahead() const { return block_ + position_; }
    int64_t AheadCount() const { return end_ - position_; }
    // Bytes handed out from the current block.
    int64_t Taken() const { return position_; }
    // Hands out `count` <= AheadCount() bytes at once.
    void Skip(int64_t count) { position_ += count; }
    // Puts up to `bytes` bytes ahead where the stream still holds them: the
    // block grows to `bytes` (it stays as it is when memory is short) and is
    // filled up from the stream behind the bytes not handed out yet. Nothing
    // is handed out. Does nothing while half the block or more is ahead, or
    // once the stream gave less than asked (its end).
    void FillAhead(int64_t bytes);
    // The stream gave less than asked: what it holds is in the block.
    bool Drained() const { return drained_; }
    // Bytes read from the stream so far.
    int64_t BytesRead() const { return read_; }
    // Reading the next block while this one is still being read: ReadNext
    // puts the bytes from Ahead()[from] on, then what the stream holds next,
    // in a second block of the same size; it changes nothing that Next,
    // Ahead or Skip use, so that it may run on another thread meanwhile.
    // TakeNext then hands out from that block. ReadNext returns false (and
    // does nothing) where FillAhead would do nothing, or when there is no
    // second block: FillAhead makes one, where memory allows.
    bool ReadNext(int64_t from);
    void TakeNext();
    // Returns to the stream the bytes it has given but Next has not handed
    // out yet, so that the stream stands right after the last byte handed
    // out, as if it had been read one byte at a time. Streams that cannot
    // seek back (pipes, terminals) keep the whole block read.
    void GiveBack();

private:
    int Refill();
    // Reads the stream into buffer[from .. capacity) until that is full or
    // the stream gives less than asked (then drained); returns the bytes
    // read.
    int64_t ReadInto(unsigned char *buffer, int64_t from);

    std::FILE *stream_;
    unsigned char *block_;
    int64_t capacity_;
    int64_t position_ = 0;
    int64_t end_ = 0;
    bool ended_ = false;
    // The stream gave less than asked: its end was seen.
    bool drained_ = false;
    int64_t read_ = 0;
    // The block could not grow: it stays as it is.
    bool small_ = false;
    // The second block: its end, and how many of its bytes came from the
    // stream (the others from the first block); `nextRead_` while it waits
    // for TakeNext.
    unsigned char *next_ = nullptr;
    int64_t nextEnd_ = 0;
    int64_t nextFresh_ = 0;
    bool nextRead_ = false;
    bool noNext_ = false;  // memory for it was refused
};

// Classes of the readers' separators, one bit each, for every byte value.
enum SeparatorClass : unsigned {
    ItemSeparatorClass = 1,   // tab, space, ';'
    LineSeparatorClass = 2,   // line feed, carriage return
    WhiteSeparatorClass = 4,  // tab, line feed, carriage return, space
};
// The classes of a byte, from its low 8 bits (EOF has none, as 0xFF).
inline unsigned SeparatorClasses(int c) {
    static constexpr auto table = [] {
        struct {
            unsigned char of[256] = {};
        } t;
        t.of[static_cast<unsigned char>('\t')] = ItemSeparatorClass | WhiteSeparatorClass;
        t.of[static_cast<unsigned char>(' ')] = ItemSeparatorClass | WhiteSeparatorClass;
        t.of[static_cast<unsigned char>(';')] = ItemSeparatorClass;
        t.of[static_cast<unsigned char>('\n')] = LineSeparatorClass | WhiteSeparatorClass;
        t.of[static_cast<unsigned char>('\r')] = LineSeparatorClass | WhiteSeparatorClass;
        return t;
    }();
    return table.of[c & 0xFF];
}

// Reads one piece of a token by the numeric token rule. `current` holds the
// character last taken from `in` (or EOF) and is left on the first character
// not taken. Characters are appended while they are not EOF, not of the
// classes in `separators` and the piece is shorter than TOKEN_MAX_LENGTH; a
// comma is stored as a point. Returns 1 and sets *value when the piece
// converts with "%f", 0 otherwise. `buffer` holds TOKEN_BUFFER_BYTES bytes.
// When `notes` is given, it says whether the piece held a comma and whether
// it yielded its value from its first characters only.
struct PieceNotes {
    bool comma = false;
    bool partial = false;
};
int ReadNumericPiece(StreamBytes &in, int &current, char *buffer, unsigned separators, float *value,
                     PieceNotes *notes = nullptr);

// The value of a piece of `length` characters (commas already points, a
// space appended below TOKEN_MAX_LENGTH, `text[length]` a NUL) as sscanf
// "%f" reads it: returns 1 and sets *value, or 0 when it yields none. When
// `partial` is given, it is set when the value came from the piece's first
// characters only (12abc, 2021-03-04).
int ConvertPiece(const char *text, int length, float *value, bool *partial = nullptr);

// Reads a whole text stream as a table: values separated by tab, space or
// ';', rows ended by line feed or carriage return. Blank lines, stray
// separators and words are absorbed. A row whose count of values differs from
// the first row's rejects the table at once, and so does a read error on the
// stream (it is not taken for the end of a shorter table); the caller tells
// both apart with ferror. An input without any cell ends with ExitMemory.
TableData ReadTable(std::FILE *stream);

// Column geometry. Every stored value is a float; arithmetic between two
// stores is done in double and rounded to float when stored.
float elementAt(int32_t line, int32_t column, TableData table);
float euclidDistByColumn(int32_t first, int32_t second, TableData table);
float euclidDistByColumnBis(const float *vector, int32_t column, TableData table);
// Mean Euclidean distance of the listed columns to their centroid. A column
// listed twice counts twice. The result depends on the members' order.
float variance(const int32_t *members, int32_t count, TableData table);
// variance() of list A followed by list B, bit for bit.
float varianceBis(const int32_t *a, int32_t countA, const int32_t *b, int32_t countB, TableData table);
