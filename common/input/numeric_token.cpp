#include "input/numeric_token.h"

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "input/number_scan.h"

namespace {

// True when the piece is an optionally signed run of digits with at most one
// point, holding at least one digit. For such text "%f" and strtof read the
// same characters and round them the same way.
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

// True when the piece is a plain decimal followed by an exponent mark, an
// optional sign and at least one digit.
bool IsDecimalWithExponent(const char *p, int length) {
    int k = length;
    while (k > 0 && p[k - 1] >= '0' && p[k - 1] <= '9') --k;
    if (k == length) return false;  // no exponent digit
    if (k > 0 && (p[k - 1] == '+' || p[k - 1] == '-')) --k;
    if (k == 0 || (p[k - 1] != 'e' && p[k - 1] != 'E')) return false;
    return IsPlainDecimal(p, k - 1);
}

// Exact powers of ten in float: 10^10 = 2^10 x 5^10 and 5^10 < 2^24.
constexpr float kPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

// The common short decimal forms, without a call: an optionally signed
// decimal with an optional exponent whose digits, the point removed, make an
// integer m below 2^24, and whose value is m x 10^e with |e| <= 10. m and
// 10^|e| are then both exact floats, and one float multiplication or
// division rounds their product or quotient correctly, to the value strtof
// gives. False (nothing set) for any other text.
bool ShortDecimal(const char *p, const char *end, float *value) {
    static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must round to float");
    constexpr uint32_t limit = uint32_t{1} << 24;
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    uint32_t m = 0;
    int exponent = 0;
    bool digit = false;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        m = m * 10 + static_cast<uint32_t>(*p - '0');
        if (m >= limit) return false;
        digit = true;
    }
    if (p < end && *p == '.') {
        for (++p; p < end && *p >= '0' && *p <= '9'; ++p) {
            m = m * 10 + static_cast<uint32_t>(*p - '0');
            if (m >= limit) return false;
            --exponent;
            digit = true;
        }
    }
    if (!digit) return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool down = p < end && *p == '-';
        if (p < end && (*p == '-' || *p == '+')) ++p;
        if (p == end) return false;
        int written = 0;
        for (; p < end && *p >= '0' && *p <= '9'; ++p) {
            written = written * 10 + (*p - '0');
            if (written > 100) return false;
        }
        exponent += down ? -written : written;
    }
    if (p != end || exponent < -10 || exponent > 10) return false;
    const float f = static_cast<float>(m);
    const float v = exponent < 0 ? f / kPowersOfTen[-exponent] : f * kPowersOfTen[exponent];
    *value = negative ? -v : v;
    return true;
}

}  // namespace

int ConvertPiece(const char *text, int length, float *value, bool *partial) {
    if (partial != nullptr) *partial = false;
    if (length < 2) return 0;
    // The text without the appended space. No piece holds a space of its
    // own (every reader's separators include it), so a last space is the
    // appended one: a piece of 99 characters takes 100 with it, and only a
    // piece of 100 characters has none.
    const int textLength = text[length - 1] == ' ' ? length - 1 : length;
    if (ShortDecimal(text, text + textLength, value)) return 1;
    const bool plain = IsPlainDecimal(text, textLength);
    if (plain || IsDecimalWithExponent(text, textLength)) {
        // For these forms "%f" reads every character of the text and rounds
        // it correctly, as from_chars does; from_chars only refuses a leading
        // "+" (skipped here, it changes nothing) and values beyond the float
        // range, which take the slower routes below.
        const char *first = text[0] == '+' ? text + 1 : text;
        float v;
        const std::from_chars_result r = std::from_chars(first, text + textLength, v);
        if (r.ec == std::errc() && r.ptr == text + textLength) {
            *value = v;
            return 1;
        }
    }
    // The conversion must not read past the piece: text[length] ends it, and
    // an embedded NUL byte ends it earlier, as it would for sscanf.
    if (plain) {
        *value = std::strtof(text, nullptr);
        return 1;
    }
    int used = 0;
    if (!ScanNumber(text, value, &used)) return 0;
    if (partial != nullptr) *partial = used < textLength;
    return 1;
}

namespace {

// How many of the eight bytes at `text` are decimal digits before the first
// that is not (8 when all are).
inline int DigitsAhead(const unsigned char *text) {
    uint64_t word;
    std::memcpy(&word, text, sizeof word);
    // Each byte less '0' is a digit when it is at most 9; adding 0x76 to its
    // low seven bits sets the top bit otherwise, without a carry into the
    // next byte. (A borrow passes only from a byte that is no digit, so the
    // bytes up to the first such byte are judged right.)
    const uint64_t x = word - 0x3030303030303030u;
    const uint64_t other = (((x & 0x7F7F7F7F7F7F7F7Fu) + 0x7676767676767676u) | x) & 0x8080808080808080u;
    if constexpr (std::endian::native == std::endian::little) return other == 0 ? 8 : std::countr_zero(other) / 8;
    int count = 0;
    while (count < 8 && text[count] >= '0' && text[count] <= '9') ++count;
    return count;
}

// The value of the `count` (< 8) decimal digits at `text`.
inline uint32_t DigitsValue(const unsigned char *text, int count) {
    if (count == 0) return 0;
    if constexpr (std::endian::native != std::endian::little) {
        uint32_t v = 0;
        for (int k = 0; k < count; ++k) v = v * 10 + static_cast<uint32_t>(text[k] - '0');
        return v;
    }
    uint64_t word;
    std::memcpy(&word, text, sizeof word);
    // The digits moved up so that they end the word, as the last of eight
    // digits with leading zeros; then pairs, fours and eights of digits are
    // combined by multiplications within the word.
    uint64_t v = (word - 0x3030303030303030u) << (8 * (8 - count));
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000FF000000FFu) * (100 + (uint64_t{1000000} << 32))) +
         (((v >> 16) & 0x000000FF000000FFu) * (1 + (uint64_t{10000} << 32)))) >>
        32;
    return static_cast<uint32_t>(v);
}

constexpr uint32_t kDigitScale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// The most common piece read straight from the block, without a copy: a
// short decimal without an exponent (as ShortDecimal takes it, a comma
// standing for the point) ended by a separator within the piece's 100
// characters. `ahead` holds at least TOKEN_MAX_LENGTH characters after
// `current`. Returns how many of them the piece and the separator after it
// take, or 0 (nothing taken, nothing set) for any other piece.
inline int ShortDecimalAhead(int current, const unsigned char *ahead, unsigned separators, float *value,
                             bool *comma) {
    constexpr uint32_t limit = uint32_t{1} << 24;
    int c = current, k = 0;
    const bool negative = c == '-';
    if (c == '-' || c == '+') c = ahead[k++];
    uint32_t m = 0;
    int fraction = 0;
    bool digit = false;
    for (; c >= '0' && c <= '9'; c = ahead[k++]) {
        m = m * 10 + static_cast<uint32_t>(c - '0');
        if (m >= limit || k >= TOKEN_MAX_LENGTH - 1) return 0;
        digit = true;
    }
    const bool decimalComma = c == ',';
    if ((c == '.' || c == ',') && k + 8 <= TOKEN_MAX_LENGTH - 1) {
        // Fewer than eight fraction digits, as most are, taken at once: the
        // same value and the same end as the loop below.
        const int count = DigitsAhead(ahead + k);
        if (count < 8) {
            const uint64_t all = uint64_t{m} * kDigitScale[count] + DigitsValue(ahead + k, count);
            if (all >= limit) return 0;
            m = static_cast<uint32_t>(all);
            digit |= count > 0;
            fraction = count;
            k += count;
            c = ahead[k++];
            goto ended;
        }
    }
    if (c == '.' || c == ',') {
        if (k >= TOKEN_MAX_LENGTH - 1) return 0;
        for (c = ahead[k++]; c >= '0' && c <= '9'; c = ahead[k++]) {
            m = m * 10 + static_cast<uint32_t>(c - '0');
            if (m >= limit || k >= TOKEN_MAX_LENGTH - 1) return 0;
            ++fraction;
            digit = true;
        }
    }
ended:
    if (!digit || fraction > 10 || c == EOF || (SeparatorClasses(c) & separators) == 0) return 0;
    const float f = static_cast<float>(m);
    const float v = fraction > 0 ? f / kPowersOfTen[fraction] : f;
    *value = negative ? -v : v;
    *comma = decimalComma;
    return k;
}

}  // namespace

int ReadNumericPiece(StreamBytes &in, int &current, char *buffer, unsigned separators, float *value,
                     PieceNotes *notes) {
    int length = 0;
    bool comma = false;
    if (in.AheadCount() >= TOKEN_MAX_LENGTH) {
        const unsigned char *ahead = in.Ahead();
        if (current != EOF) {
            bool decimalComma = false;
            if (const int taken = ShortDecimalAhead(current, ahead, separators, value, &decimalComma)) {
                in.Skip(taken);
                current = ahead[taken - 1];
                // The whole piece is the number: nothing of it is left over.
                if (notes != nullptr) *notes = PieceNotes{decimalComma, false};
                return 1;
            }
        }
        // The whole piece and the character after it are in the block: the
        // same loop as below on local copies.
        int c = current, taken = 0;
        while (c != EOF && length < TOKEN_MAX_LENGTH && (SeparatorClasses(c) & separators) == 0) {
            comma |= c == ',';
            buffer[length++] = c == ',' ? '.' : static_cast<char>(c);
            c = ahead[taken++];
        }
        in.Skip(taken);
        current = c;
    }
    while (current != EOF && length < TOKEN_MAX_LENGTH && (SeparatorClasses(current) & separators) == 0) {
        comma |= current == ',';
        buffer[length++] = current == ',' ? '.' : static_cast<char>(current);
        current = in.Next();
    }
    if (notes != nullptr)
        notes->split = length == TOKEN_MAX_LENGTH && current != EOF && (SeparatorClasses(current) & separators) == 0;
    if (length < TOKEN_MAX_LENGTH) buffer[length++] = ' ';
    buffer[length] = '\0';
    if (notes == nullptr) return ConvertPiece(buffer, length, value);
    notes->comma = comma;
    return ConvertPiece(buffer, length, value, &notes->partial);
}
