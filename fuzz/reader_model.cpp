#include "reader_model.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr size_t kPieceMax = 100;

bool IsLineByte(uint8_t b) { return b == '\n' || b == '\r'; }
bool IsItemByte(uint8_t b) { return b == '\t' || b == ' ' || b == ';'; }
bool IsWhiteByte(uint8_t b) { return b == '\t' || b == '\n' || b == '\r' || b == ' '; }

// One piece of at most 100 characters: commas become points, a space is
// appended below 100 characters, and the text is converted with "%f" when it
// is at least 2 characters long (an embedded NUL ends the text for sscanf).
bool ConvertPiece(const uint8_t *p, size_t length, float *value) {
    char text[kPieceMax + 2];
    for (size_t k = 0; k < length; ++k) text[k] = p[k] == ',' ? '.' : static_cast<char>(p[k]);
    size_t total = length;
    if (total < kPieceMax) text[total++] = ' ';
    text[total] = '\0';
    return total >= 2 && std::sscanf(text, "%f", value) == 1;
}

// Every run of non-separator bytes of [begin, end), cut into pieces of 100.
template <class IsSep>
void CollectValues(const uint8_t *data, size_t begin, size_t end, IsSep isSep, std::vector<float> &out,
                   int64_t &count) {
    size_t k = begin;
    while (k < end) {
        while (k < end && isSep(data[k])) ++k;
        const size_t runStart = k;
        while (k < end && !isSep(data[k])) ++k;
        for (size_t p = runStart; p < k; p += kPieceMax) {
            float v;
            if (ConvertPiece(data + p, std::min(kPieceMax, k - p), &v)) {
                out.push_back(v);
                ++count;
            }
        }
    }
}

}  // namespace

ModelTable ModelReadTable(const uint8_t *data, size_t size) {
    ModelTable t{ModelOutcome::Cells, 0, -1, {}};
    size_t i = 0;
    for (;;) {
        while (i < size && IsLineByte(data[i])) ++i;
        if (i >= size) break;
        size_t end = i;
        while (end < size && !IsLineByte(data[end])) ++end;
        int64_t row = 0;
        CollectValues(data, i, end, IsItemByte, t.values, row);
        if (t.columns < 0) {
            t.columns = row;
        } else if (row != t.columns) {
            return ModelTable{ModelOutcome::Rejected, 0, 0, {}};
        }
        ++t.lines;
        i = end;
    }
    if (t.lines == 0 || t.columns == 0) return ModelTable{ModelOutcome::NoValue, 0, 0, {}};
    return t;
}

ModelDistances ModelReadDistances(const uint8_t *data, size_t size) {
    ModelDistances d{ModelOutcome::Cells, 0, {}};
    int64_t k = 0;
    CollectValues(data, 0, size, IsWhiteByte, d.values, k);
    if (k == 0) return ModelDistances{ModelOutcome::NoValue, 0, {}};
    int64_t n = 1;
    while ((n + 1) * n / 2 <= k) ++n;  // largest n with n (n - 1) / 2 <= k
    d.count = n;
    d.values.resize(static_cast<size_t>(n * (n - 1) / 2));
    return d;
}
