// Shared by the engines: writing one merge line.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Merge values are written with six decimals ("%f") unless this is set:
// then with nine significant digits ("%.9g"), enough to read back the exact
// float whatever its scale.
inline bool preciseMergeValues = false;

// What the merge values written looked like, for the hint that values
// too small for six decimals want --precise: merges written, and those
// whose value is not 0 but prints as 0.000000 (or -0.000000).
inline int64_t mergeLinesWritten = 0;
inline int64_t mergeValuesShownAsZero = 0;
inline int64_t mergeValuesNotZero = 0;

// The value as written in a merge line, with `format` ("%f", six
// decimals, or a "%.Ng" for N significant digits); "inf" or "-inf"; and
// "nan" for every value that is not a number. A NaN's sign bit depends on
// the order in which the processor met two NaNs (scalar and vector code, or
// two compilers, order them differently), so printing it would make the same
// table give different files on different machines. Spelled here rather than
// left to the C library, whose spellings of these values differ from one
// platform to another. `text` holds at least 64 bytes.
inline void FormatMergeValue(char *text, double value, const char *format) {
    if (value != value) {
        std::strcpy(text, "nan");
    } else if (value == INFINITY || value == -INFINITY) {
        std::strcpy(text, value < 0 ? "-inf" : "inf");
    } else {
        std::snprintf(text, 64, format, value);
    }
}
// A float merge value: "%f" or, with preciseMergeValues, "%.9g".
inline void FormatMergeValue(char *text, float value) {
    FormatMergeValue(text, static_cast<double>(value), preciseMergeValues ? "%.9g" : "%f");
}

// A child is slot `slot`'s single column (LEAF) while node is -1, else the
// cluster made by merge `node` (NODE). `value` is the value's text.
inline void WriteMergeLine(std::FILE *out, int64_t node, int64_t firstSlot, int64_t firstNode, int64_t secondSlot,
                           int64_t secondNode, const char *value) {
    std::fprintf(out, "%s%lld\t%s%lld\t%s%lld\t%s\n", "NODE", static_cast<long long>(node),
                 firstNode == -1 ? "LEAF" : "NODE", static_cast<long long>(firstNode == -1 ? firstSlot : firstNode),
                 secondNode == -1 ? "LEAF" : "NODE", static_cast<long long>(secondNode == -1 ? secondSlot : secondNode),
                 value);
}
inline void WriteMergeLine(std::FILE *out, int32_t node, int32_t firstSlot, int32_t firstNode, int32_t secondSlot,
                           int32_t secondNode, float value) {
    char text[64];
    FormatMergeValue(text, value);
    ++mergeLinesWritten;
    if (value != 0.0f) {
        ++mergeValuesNotZero;
        // Only finite values below half a unit of the sixth decimal print so.
        if (!preciseMergeValues && std::fabs(value) < 0.0000005f) ++mergeValuesShownAsZero;
    }
    WriteMergeLine(out, int64_t{node}, int64_t{firstSlot}, int64_t{firstNode}, int64_t{secondSlot},
                   int64_t{secondNode}, text);
}
