#include "input/stream_bytes.h"

#include <cstdlib>
#include <cstring>

#include "base/platform.h"
#include "base/utils.h"

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
