// The bytes of a stream, read in large blocks.
#pragma once

#include <cstdint>
#include <cstdio>

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
