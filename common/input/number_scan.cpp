#include "input/number_scan.h"

#include <cstdlib>
#include <limits>
#include <string>

namespace {

// The C locale's classes; the programs never change locale.
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// True when `text` begins with `word` (lower case) in any case; the text's
// terminator never matches.
bool BeginsWithWord(const char *text, const char *word) {
    for (; *word != '\0'; ++text, ++word)
        if (Lower(*text) != *word) return false;
    return true;
}

}  // namespace

bool ScanNumber(const char *text, float *value, int *read) {
    const char *p = text;
    while (IsSpace(*p)) ++p;
    const char *const number = p;  // the sign included
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;

    if (Lower(*p) == 'n') {
        if (!BeginsWithWord(p, "nan")) return false;
        const float nan = std::numeric_limits<float>::quiet_NaN();
        *value = negative ? -nan : nan;
        if (read != nullptr) *read = static_cast<int>(p + 3 - text);
        return true;
    }
    if (Lower(*p) == 'i') {
        // Once "inf" is read, a following i commits to "infinity".
        if (!BeginsWithWord(p, "inf") || (Lower(p[3]) == 'i' && !BeginsWithWord(p + 3, "inity"))) return false;
        const float inf = std::numeric_limits<float>::infinity();
        *value = negative ? -inf : inf;
        if (read != nullptr) *read = static_cast<int>(p + (Lower(p[3]) == 'i' ? 8 : 3) - text);
        return true;
    }

    const bool hex = p[0] == '0' && Lower(p[1]) == 'x';
    if (hex) p += 2;
    bool (*const isMantissaDigit)(char) = hex ? IsHexDigit : IsDigit;
    int digits = 0;
    for (; isMantissaDigit(*p); ++p) ++digits;
    const bool point = *p == '.';
    if (point)
        for (++p; isMantissaDigit(*p); ++p) ++digits;
    if (digits == 0) {
        // "0x." is read as far as its 0; "0x" alone, a point alone or
        // nothing at all is no number.
        if (!(hex && point)) return false;
        *value = negative ? -0.0f : 0.0f;
        if (read != nullptr) *read = static_cast<int>(p - text);
        return true;
    }
    // The exponent counts only with at least one digit; otherwise the
    // number ends before its mark (which is read all the same).
    const char *end = p;
    if (Lower(*p) == (hex ? 'p' : 'e')) {
        ++p;
        if (*p == '+' || *p == '-') ++p;
        if (IsDigit(*p)) {
            while (IsDigit(*p)) ++p;
            end = p;
        }
    }
    // [number, end) is now exactly one complete number, which every C
    // library converts the same way, rounding correctly to the nearest float.
    const std::string complete(number, end);
    *value = std::strtof(complete.c_str(), nullptr);
    if (read != nullptr) *read = static_cast<int>(p - text);
    return true;
}
