// Numbers as the tree programs write them.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

// "inf", "-inf" or "nan" (never "-nan": the sign of a NaN carries nothing).
inline std::string NonFiniteText(double value) {
    if (std::isnan(value)) return "nan";
    return value < 0 ? "-inf" : "inf";
}

// The shortest text that reads back as exactly `value` ("0.245764",
// "1.50000002e-05", "4"), or NonFiniteText for values that are not finite.
inline std::string ShortestText(double value) {
    if (!std::isfinite(value)) return NonFiniteText(value);
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// snprintf into a string: a value in fixed notation can run to hundreds of
// characters, and the precision passed to "%.*f" is never above 17 here.
template <typename... Args>
std::string Printf(const char *format, Args... args) {
    char buffer[512];
    const int size = std::snprintf(buffer, sizeof buffer, format, args...);
    return size < 0 ? std::string() : std::string(buffer, std::min<std::size_t>(static_cast<std::size_t>(size), sizeof buffer - 1));
}
