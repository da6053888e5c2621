#include "table.h"

#include <cmath>
#include <cstdlib>

#include "number_scan.h"
#include "platform.h"
#include "utils.h"

ValueStorage NewValueStorage() {
    ValueStorage s;
    s.capacity = VALUE_BLOCK_SIZE;
    s.count = 0;
    s.data = static_cast<float *>(monmalloc(s.capacity * static_cast<int64_t>(sizeof(float))));
    return s;
}

void StoreValue(ValueStorage &s, float value) {
    if (s.count == s.capacity) {
        s.capacity += VALUE_BLOCK_SIZE;
        s.data = static_cast<float *>(monrealloc(s.data, s.capacity * static_cast<int64_t>(sizeof(float))));
    }
    s.data[s.count++] = value;
}

namespace {

// True when the piece is an optionally signed run of digits with at most one
// point, holding at least one digit. For such text "%f" and strtof read the
// same characters and round them the same way, so the faster strtof is used.
bool IsPlainDecimal(const char *p, int length) {
    int k = 0;
    if (k < length && (p[k] == '+' || p[k] == '-')) ++k;
    bool digit = false, point = false;
    for (; k < length; ++k) {
        const char c = p[k];
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digit;
}

}  // namespace

int ReadNumericPiece(std::FILE *stream, int &current, char *buffer, int (*isSep)(int), float *value) {
    int length = 0;
    while (current != EOF && length < TOKEN_MAX_LENGTH && !isSep(current)) {
        buffer[length++] = current == ',' ? '.' : static_cast<char>(current);
        current = GetcUnlocked(stream);
    }
    const int textLength = length;
    if (length < TOKEN_MAX_LENGTH) buffer[length++] = ' ';
    buffer[length] = '\0';
    if (length < 2) return 0;
    // The conversion must not read past the piece: the terminator above ends
    // it, and an embedded NUL byte ends it earlier, as it would for sscanf.
    if (IsPlainDecimal(buffer, textLength)) {
        *value = std::strtof(buffer, nullptr);
        return 1;
    }
    return ScanNumber(buffer, value) ? 1 : 0;
}

namespace {

int IsTableSeparator(int c) { return IsItemSeparator(c) || IsLineSeparator(c); }

TableData RejectedTable(ValueStorage &storage, char *token) {
    std::free(token);
    std::free(storage.data);
    return TableData{0, 0, nullptr};
}

}  // namespace

TableData ReadTable(std::FILE *stream) {
    ValueStorage storage = NewValueStorage();
    char *token = static_cast<char *>(monmalloc(TOKEN_BUFFER_BYTES));
    int64_t expected = -1;
    int64_t lineCount = 0;
    int c = GetcUnlocked(stream);
    for (;;) {
        while (c != EOF && IsLineSeparator(c)) c = GetcUnlocked(stream);
        if (c == EOF) break;
        int64_t rowCount = 0;
        do {
            while (c != EOF && IsItemSeparator(c)) c = GetcUnlocked(stream);
            float v;
            if (ReadNumericPiece(stream, c, token, IsTableSeparator, &v)) {
                StoreValue(storage, v);
                ++rowCount;
            }
        } while (c != EOF && !IsLineSeparator(c));
        if (expected < 0) {
            expected = rowCount;
        } else if (rowCount != expected) {
            return RejectedTable(storage, token);
        }
        ++lineCount;
        if (c == EOF) break;
    }
    if (std::ferror(stream)) return RejectedTable(storage, token);
    std::free(token);
    // No row at all leaves expected unset; the product is then negative or
    // zero, and both end with ExitMemory in the final resize.
    const int64_t cells = lineCount * expected;
    storage.data = static_cast<float *>(monrealloc(storage.data, cells * static_cast<int64_t>(sizeof(float))));
    return TableData{static_cast<int32_t>(lineCount), static_cast<int32_t>(expected), storage.data};
}

float elementAt(int32_t line, int32_t column, TableData table) {
    return table.values[static_cast<int64_t>(line) * table.columns + column];
}

float euclidDistByColumn(int32_t first, int32_t second, TableData table) {
    float sum = 0.0f;
    for (int32_t line = 0; line < table.lines; ++line) {
        const float d = elementAt(line, first, table) - elementAt(line, second, table);
        // The square is not rounded on its own: it joins the sum in double.
        sum = static_cast<float>(static_cast<double>(d) * d + sum);
    }
    return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

float euclidDistByColumnBis(const float *vector, int32_t column, TableData table) {
    float sum = 0.0f;
    for (int32_t line = 0; line < table.lines; ++line) {
        const float d = vector[line] - elementAt(line, column, table);
        sum = static_cast<float>(static_cast<double>(d) * d + sum);
    }
    return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

float varianceBis(const int32_t *a, int32_t countA, const int32_t *b, int32_t countB, TableData table) {
    const int32_t total = countA + countB;
    float *centroid = static_cast<float *>(monmalloc(static_cast<int64_t>(table.lines) * sizeof(float)));
    for (int32_t line = 0; line < table.lines; ++line) centroid[line] = 0.0f;
    for (int32_t k = 0; k < countA; ++k)
        for (int32_t line = 0; line < table.lines; ++line) centroid[line] += elementAt(line, a[k], table);
    for (int32_t k = 0; k < countB; ++k)
        for (int32_t line = 0; line < table.lines; ++line) centroid[line] += elementAt(line, b[k], table);
    for (int32_t line = 0; line < table.lines; ++line)
        centroid[line] = static_cast<float>(static_cast<double>(centroid[line]) / total);
    float sum = 0.0f;
    for (int32_t k = 0; k < countA; ++k) sum += euclidDistByColumnBis(centroid, a[k], table);
    for (int32_t k = 0; k < countB; ++k) sum += euclidDistByColumnBis(centroid, b[k], table);
    const float result = static_cast<float>(static_cast<double>(sum) / total);
    std::free(centroid);
    return result;
}

float variance(const int32_t *members, int32_t count, TableData table) {
    return varianceBis(members, count, nullptr, 0, table);
}
