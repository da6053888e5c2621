// The merge order every engine follows: which value is merged first, as a
// comparison of two floats and as unsigned keys that compare many values at
// once. One mapping of floats to sortable integers serves them all.
#pragma once

#include <bit>
#include <cstdint>

// A pair is merged only if its value is at most this (bits 0x51BA43B7).
inline constexpr float NO_MERGE_LIMIT = 1.0e11f;

// Order used to pick the next merge: numbers ascending, NaN after every
// number (all NaNs equal). True when v comes no later than best.
inline bool AtMost(float v, float best) { return best != best || (v == v && v <= best); }

// A float's bits made to sort as unsigned integers in the order of the
// floats (NaN aside; -0 comes just before +0), and back.
inline uint32_t FloatOrder(float f) {
    const uint32_t bits = std::bit_cast<uint32_t>(f);
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}
inline float OrderFloat(uint32_t order) {
    return std::bit_cast<float>((order & 0x80000000u) ? (order & 0x7fffffffu) : ~order);
}

// The pick order as an unsigned key, for comparing many values at once:
// AtMost(v, w) exactly when PickKey(v) <= PickKey(w) (both zeros equal).
inline uint32_t PickKey(float v) {
    if (v != v) return 0xFFFFFFFFu;
    return FloatOrder(v + 0.0f);  // -0 becomes +0
}

// A row's best pair as one key: its value's pick key, then the larger row
// first, so that the smallest key is the smallest value, ties to the largest
// row (the last pair in scan order).
inline uint64_t RowKey(float value, int32_t row) {
    return (static_cast<uint64_t>(PickKey(value)) << 32) | static_cast<uint32_t>(~static_cast<uint32_t>(row));
}
