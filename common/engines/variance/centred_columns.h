// The table's columns centred, as both kinds of bounds read them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "engines/variance/float_margins.h"
#include "model/table.h"

namespace variance_engine {

// The bounds (float_margins.h) hold for the exact criterion V of the
// columns as read; the intervals bound V on the columns centred first (each line less its
// mean over all columns, in double, rounded to float): V does not move under
// a translation, and the rounding moves each centred column by at most
// u |x'| + tau sqrt(L), so every D_k, and V, by at most twice the largest
// such move (omega)..
//
// The table's columns centred (each line less its mean over all columns, in
// double, rounded to float), column after column, with what the bounds need
// to know of them: their raw norms, the largest centred norm G and the
// largest centred cell, and omega, twice the most the rounding of the
// centring moves a column.
struct CentredColumns {
    explicit CentredColumns(TableData table)
        : lines(table.lines), cells(static_cast<int64_t>(table.columns) * table.lines), raw(table.columns, 0.0) {
        const int32_t n = table.columns;
        std::vector<double> mean(lines, 0.0);
        for (int32_t l = 0; l < lines; ++l) {
            const float *row = table.values + static_cast<int64_t>(l) * n;
            double s = 0.0;
            for (int32_t x = 0; x < n; ++x) s += row[x];
            mean[l] = s / n;
        }
        std::vector<double> squares(n, 0.0);
        for (int32_t l = 0; l < lines; ++l) {
            const float *row = table.values + static_cast<int64_t>(l) * n;
            for (int32_t x = 0; x < n; ++x) {
                const float v = static_cast<float>(row[x] - mean[l]);
                cells[static_cast<int64_t>(x) * lines + l] = v;
                raw[x] += static_cast<double>(row[x]) * row[x];
                squares[x] += static_cast<double>(v) * v;
                largestCell = std::max(largestCell, static_cast<double>(std::fabs(v)));
            }
        }
        for (int32_t x = 0; x < n; ++x) {
            raw[x] = std::sqrt(raw[x]) * (1.0 + 0x1p-40);
            largestNorm = std::max(largestNorm, std::sqrt(squares[x]));
        }
        largestNorm *= 1.0 + 2.0 * lines * kUd + 0x1p-30;
        omega = 2.0 * (kU * (1.0 + kU) * largestNorm + kTau * std::sqrt(static_cast<double>(lines))) * 1.01;
    }
    const float *Column(int32_t x) const { return cells.data() + static_cast<int64_t>(x) * lines; }

    int32_t lines;
    std::vector<float> cells;
    std::vector<double> raw;
    double largestNorm = 0.0, largestCell = 0.0, omega = 0.0;
};

}  // namespace variance_engine
