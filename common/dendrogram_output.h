// Shared by the engines: writing one merge line.
#pragma once

#include <cstdint>
#include <cstdio>

// A child is slot `slot`'s single column (LEAF) while node is -1, else the
// cluster made by merge `node` (NODE).
inline void WriteMergeLine(std::FILE *out, int32_t node, int32_t firstSlot, int32_t firstNode, int32_t secondSlot,
                           int32_t secondNode, float value) {
    std::fprintf(out, "%s%ld\t%s%ld\t%s%ld\t%f\n", "NODE", static_cast<long>(node), firstNode == -1 ? "LEAF" : "NODE",
                 static_cast<long>(firstNode == -1 ? firstSlot : firstNode), secondNode == -1 ? "LEAF" : "NODE",
                 static_cast<long>(secondNode == -1 ? secondSlot : secondNode), static_cast<double>(value));
}

// Order used to pick the next merge: numbers ascending, NaN after every
// number (all NaNs equal). True when v comes no later than best.
inline bool AtMost(float v, float best) { return best != best || (v == v && v <= best); }
