// Shared by the engines: writing one merge line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

// Merge values are written with six decimals ("%f") unless this is set:
// then with nine significant digits ("%.9g"), enough to read back the exact
// float whatever its scale.
inline bool preciseMergeValues = false;

// A child is slot `slot`'s single column (LEAF) while node is -1, else the
// cluster made by merge `node` (NODE).
inline void WriteMergeLine(std::FILE *out, int32_t node, int32_t firstSlot, int32_t firstNode, int32_t secondSlot,
                           int32_t secondNode, float value) {
    std::fprintf(out, preciseMergeValues ? "%s%ld\t%s%ld\t%s%ld\t%.9g\n" : "%s%ld\t%s%ld\t%s%ld\t%f\n", "NODE",
                 static_cast<long>(node), firstNode == -1 ? "LEAF" : "NODE",
                 static_cast<long>(firstNode == -1 ? firstSlot : firstNode), secondNode == -1 ? "LEAF" : "NODE",
                 static_cast<long>(secondNode == -1 ? secondSlot : secondNode), static_cast<double>(value));
}

// Order used to pick the next merge: numbers ascending, NaN after every
// number (all NaNs equal). True when v comes no later than best.
inline bool AtMost(float v, float best) { return best != best || (v == v && v <= best); }

// The same order as an unsigned key, for comparing many values at once:
// AtMost(v, w) exactly when PickKey(v) <= PickKey(w) (both zeros equal).
inline uint32_t PickKey(float v) {
    if (v != v) return 0xFFFFFFFFu;
    v += 0.0f;  // -0 becomes +0
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}
