// The order of the lazy engine's interval starts: a float at most the
// start, as a sortable integer (model/merge_order.h), then the partner, in
// one key; and the radix sort of those keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/merge_order.h"

namespace variance_engine {

// The integer order of the largest float at most v: v rounded, less one
// where the rounding went up (a subtraction, not a branch: it goes either
// way about as often).
inline uint32_t OrderDown(double v) {
    const float f = static_cast<float>(v);
    return FloatOrder(f) - static_cast<uint32_t>(static_cast<double>(f) > v);
}

// Largest float at most v.
inline float FloatDown(double v) { return OrderFloat(OrderDown(v)); }

// A pair's place in the order of interval starts as one integer: a float at
// most the start, in its integer order, then the partner.
inline uint64_t OrderKey(double start, int32_t y) {
    return (static_cast<uint64_t>(OrderDown(start)) << 32) | static_cast<uint32_t>(y);
}

// The float of an OrderKey: at most the pair's start.
inline double OrderValue(uint64_t key) { return OrderFloat(static_cast<uint32_t>(key >> 32)); }

// Sorts OrderKeys by their float, a byte at a time (a byte that every key
// shares is skipped); keys of the same float keep their order.
void SortKeys(std::vector<uint64_t> &keys, std::vector<uint64_t> &spare);

}  // namespace variance_engine
