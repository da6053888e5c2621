#include "engines/variance/threshold_sweep.h"

#include "engines/variance/gram_bounds.h"

namespace variance_engine {

// Every float centroid coordinate is a float sum of at most 32,768 cells of
// the line divided by their count, so within (1 + 2^-8) max|cell| of 0 (the
// relative error of the sum is below gamma(32768) < 2^-9); a rounded
// difference with a member's cell is then at most 2.01 max|cell|, the float
// distance over L lines at most 2.01 sqrt(L) max|cell| (1 + 2^-9), and the
// mean of such distances no more. With 2 sqrt(L) max|cell| at most 4.0e10
// every value stays below 4.1e10 < NO_MERGE_LIMIT, and is finite.
bool SweepApplies(TableData table) {
    if (!PairBounds::Applies(table)) return false;
    const int64_t cells = static_cast<int64_t>(table.lines) * table.columns;
    double largest = 0.0;
    for (int64_t k = 0; k < cells; ++k) largest = std::max(largest, static_cast<double>(std::fabs(table.values[k])));
    return 2.0 * std::sqrt(static_cast<double>(table.lines)) * largest <= 4.0e10;
}

}  // namespace variance_engine
