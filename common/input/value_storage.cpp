#include "input/value_storage.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/platform.h"
#include "base/utils.h"

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
