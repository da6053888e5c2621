// The growing store of the values a reader takes, in whole steps.
#pragma once

#include <cstdint>

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
