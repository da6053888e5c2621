#include "input/number_double.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "input/number_scan.h"

namespace {

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Signed digits with at most one point and at most 15 digits, alone in the
// piece (a space may end it): the digits as an integer and the power of ten
// are both exact doubles, so one division rounds the value correctly, as
// strtod would.
bool ShortDecimal(const char *p, double *value) {
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    std::uint64_t digits = 0;
    int count = 0, fraction = 0;
    bool point = false;
    for (;; ++p) {
        if (*p >= '0' && *p <= '9') {
            digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
            ++count;
            fraction += point;
        } else if (*p == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (count == 0 || count > 15 || (*p != '\0' && !(*p == ' ' && p[1] == '\0'))) return false;
    const double v = static_cast<double>(digits) / kPowersOfTen[fraction];
    *value = negative ? -v : v;
    return true;
}

// The complete number that ScanNumber read from [text, text + read): an
// exponent mark (and sign) without digits dropped.
std::string CompleteNumber(const char *text, int read) {
    std::string number(text, static_cast<size_t>(read));
    auto mark = [](char c) { return c == 'e' || c == 'E' || c == 'p' || c == 'P'; };
    if (!number.empty() && (number.back() == '+' || number.back() == '-') && number.size() >= 2 &&
        mark(number[number.size() - 2]))
        number.resize(number.size() - 2);
    else if (!number.empty() && mark(number.back()))
        number.pop_back();
    return number;
}

}  // namespace

CellKind ScanCell(const char *text, double *value) {
    if (ShortDecimal(text, value)) return CellKind::Number;
    if (text[0] == 'N' && text[1] == 'A' && (text[2] == '\0' || (text[2] == ' ' && text[3] == '\0')))
        return CellKind::Missing;
    float single = 0.0f;
    int read = 0;
    if (!ScanNumber(text, &single, &read)) return CellKind::Word;
    if (single != single) return CellKind::Missing;
    const double v = std::strtod(CompleteNumber(text, read).c_str(), nullptr);
    if (std::isinf(v)) return CellKind::Infinite;
    *value = v;
    return CellKind::Number;
}
