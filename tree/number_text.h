// Numbers as the tree programs write them.
#pragma once

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

// snprintf into a string of the right size (fixed notation of a large value
// runs long).
template <typename... Args>
std::string Printf(const char *format, Args... args) {
    const int size = std::snprintf(nullptr, 0, format, args...);
    std::string out(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(out.data(), out.size(), format, args...);
    out.resize(static_cast<std::size_t>(size));
    return out;
}
