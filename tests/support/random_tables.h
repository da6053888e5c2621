// Random tables and matrices made to stress the engines: exact ties
// everywhere, duplicate and all-zero columns, a single line, NaN, infinities
// and values beyond the merge limit.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "model/distance_matrix.h"
#include "model/table.h"

struct OwnedTable {
    std::vector<float> cells;
    TableData view() { return TableData{lines, columns, cells.data()}; }
    int32_t lines = 0;
    int32_t columns = 0;
};

struct OwnedMatrix {
    std::vector<float> values;
    int32_t count = 0;
    DistanceMatrix view() { return DistanceMatrix{count, values.data()}; }
};

enum class Flavour {
    SmallIntegers,
    Decimals,
    Duplicates,
    Huge,
    NonFinite,
    // Small integers, but a few columns hold one NaN, infinity or negative
    // zero each (long tables of NonFinite cells are all NaN).
    RareNonFinite,
    // Every cell near 1.0e6, or near 1.0e30, differing in the last digits.
    Offset,
    FarOffset,
    // Cells near 1.0e-30: squares and sums in the subnormal range.
    Tiny,
    // Points on a line with growing gaps, a few lines of noise below: one
    // cluster absorbs the others one by one.
    Chain,
};
inline constexpr Flavour kAllFlavours[] = {Flavour::SmallIntegers, Flavour::Decimals, Flavour::Duplicates,
                                           Flavour::Huge, Flavour::NonFinite};

// The flavours where a shortcut that skips exact evaluations is most likely
// to go wrong.
inline constexpr Flavour kHardFlavours[] = {Flavour::SmallIntegers, Flavour::Duplicates, Flavour::Offset,
                                            Flavour::FarOffset,     Flavour::Tiny,       Flavour::Chain,
                                            Flavour::Decimals,      Flavour::Huge,       Flavour::NonFinite};

OwnedTable RandomTable(std::mt19937 &rng, Flavour flavour, int32_t maxColumns, int32_t maxLines);
OwnedTable RandomTableOfSize(std::mt19937 &rng, Flavour flavour, int32_t columns, int32_t lines);
// A matrix given directly (as a distance file could): ties, negative values,
// infinities, values beyond the merge limit, and NaN and negative zeros when
// asked for.
OwnedMatrix RandomMatrix(std::mt19937 &rng, int32_t maxCount, bool nan, bool negativeZero);
// The text of a table, as a program would read it.
std::string TableText(const OwnedTable &table);
// "%f" may print a NaN with either sign; the rest must match byte for byte.
std::string WithoutNanSign(std::string text);
