// Floors of column distances: a floor may prove an exact distance at or
// above w only where it is; on plain tables it must be tight enough to
// prove most distances at a hair below their value. And the two helpers of
// the pruned tree give the same answers at every kernel level.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <immintrin.h>

#include "kernels/distance_floors.h"
#include "kernels/half_floors.h"
#include "kernels/kernels.h"
#include "model/table.h"

namespace {

// 45 columns: at AVX2, a group of 32, one of 8 and a tail of 5.
constexpr int32_t kWidth = 45;

// Cells of one family of values, kWidth columns of `lines` lines.
struct Family {
    const char *name;
    int32_t lines;
    float (*cell)(std::mt19937 &rng, int32_t column, int32_t line);
};

float Uniform(std::mt19937 &rng, float low, float high) { return std::uniform_real_distribution<float>(low, high)(rng); }

const Family kFamilies[] = {
    {"decimals", 128, [](std::mt19937 &r, int32_t, int32_t) { return Uniform(r, 0.0f, 1.0f); }},
    {"small integers with ties", 16, [](std::mt19937 &r, int32_t, int32_t) { return static_cast<float>(r() % 3); }},
    // Half the columns copies of one column: distances 0 and duplicates.
    {"duplicates", 64, [](std::mt19937 &r, int32_t c, int32_t) { return c % 2 == 0 ? 1.5f : static_cast<float>(r() % 2); }},
    // Inner products cancel to the last bits of the norms.
    {"offset 1e6", 128, [](std::mt19937 &r, int32_t, int32_t) { return 1.0e6f + static_cast<float>(r() % 4) * 0.0625f; }},
    // Products overflow: the floor is not finite and proves nothing.
    {"offset 1e30", 40, [](std::mt19937 &r, int32_t, int32_t) { return 1.0e30f * (1.0f + Uniform(r, 0.0f, 1e-6f)); }},
    // Squares below the smallest float: every running sum stays 0.
    {"tiny 1e-30", 128, [](std::mt19937 &r, int32_t, int32_t) { return Uniform(r, -1.0e-30f, 1.0e-30f); }},
    // Squares near the subnormal range: sums round with few bits.
    {"subnormal squares", 300, [](std::mt19937 &r, int32_t, int32_t) { return Uniform(r, -2.0e-21f, 2.0e-21f); }},
    // Sums near the largest float.
    {"huge", 64, [](std::mt19937 &r, int32_t, int32_t) { return Uniform(r, -2.0e18f, 2.0e18f); }},
    // Lines of very different offsets and scales: one scale for the halves
    // of all lines leaves the small lines few bits, or none.
    {"mixed lines", 96,
     [](std::mt19937 &r, int32_t, int32_t l) {
         return std::ldexp(Uniform(r, 0.0f, 1.0f), l % 40 - 20) + static_cast<float>(l % 3) * 1.0e5f;
     }},
    // Many lines: the most roundings per sum.
    {"long", 5000, [](std::mt19937 &r, int32_t, int32_t) { return Uniform(r, -1.0f, 1.0f); }},
};

TEST(DistanceFloors, NeverProveMoreThanTheExactDistanceAndProveMostOfIt) {
    std::mt19937 rng(2024);
    for (const KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx2}) {
        ForceKernelLevel(level);
        for (const Family &family : kFamilies) {
            SCOPED_TRACE(family.name);
            const int32_t lines = family.lines;
            std::vector<float> cells(static_cast<size_t>(lines) * kWidth);  // one panel, also the table
            for (int32_t c = 0; c < kWidth; ++c)
                for (int32_t l = 0; l < lines; ++l) cells[l * kWidth + c] = family.cell(rng, c, l);
            const TableData table{lines, kWidth, cells.data()};
            const DistanceFloors floors(lines);
            std::vector<double> reduced(kWidth);
            for (int32_t c = 0; c < kWidth; ++c) reduced[c] = floors.Reduced(cells.data() + c, kWidth);
            int proved = 0, finite = 0;
            std::vector<float> x(lines), dots(kWidth);
            for (int32_t a = 0; a < kWidth; ++a) {
                for (int32_t l = 0; l < lines; ++l) x[l] = cells[l * kWidth + a];
                InnerProducts(ColumnBlock{cells.data(), kWidth}, lines, x.data(), kWidth, dots.data());
                for (int32_t b = 0; b < kWidth; ++b) {
                    const float exact = euclidDistByColumn(a, b, table);
                    const float above = std::nextafter(exact, INFINITY);
                    ASSERT_FALSE(DistanceFloors::Proves(reduced[a], reduced[b], dots[b], floors.Threshold(above)))
                        << "columns " << a << ", " << b << ": exact " << exact;
                    if (exact > 0.0f && std::isfinite(exact)) {
                        ++finite;
                        const float hair = exact * (1.0f - 1.0e-3f);
                        proved += DistanceFloors::Proves(reduced[a], reduced[b], dots[b], floors.Threshold(hair));
                    }
                }
            }
            const std::string name = family.name;
            if (name == "decimals" || name == "small integers with ties" || name == "long" || name == "huge") {
                EXPECT_EQ(proved, finite) << "floors too loose";
            }
        }
    }
    ForceKernelLevel(DetectKernelLevel());
}

// Thresholds grow with the distance, and an infinite distance proves
// nothing; neither does an infinite or NaN floor.
TEST(DistanceFloors, ThresholdsAndNonFiniteFloors) {
    const DistanceFloors floors(128);
    // Near 0 the slack for sums that underflow dominates.
    EXPECT_LE(floors.Threshold(0.0f), floors.Threshold(1.0e-45f));
    EXPECT_GT(floors.Threshold(0.0f), 0.0);
    EXPECT_LT(floors.Threshold(1.0e-20f), floors.Threshold(std::nextafter(1.0e-20f, 1.0f)));
    EXPECT_LT(floors.Threshold(2.0f), floors.Threshold(std::nextafter(2.0f, 3.0f)));
    EXPECT_GT(floors.Threshold(2.0f), 4.0);
    EXPECT_EQ(floors.Threshold(INFINITY), INFINITY);
    EXPECT_FALSE(DistanceFloors::Proves(1.0e30, 1.0e30, -INFINITY, 1.0));
    EXPECT_FALSE(DistanceFloors::Proves(1.0, 1.0, NAN, 0.0));
    EXPECT_FALSE(DistanceFloors::Proves(1.0e300, 1.0e300, 0.0f, floors.Threshold(INFINITY)));
    EXPECT_EQ(DistanceFloors(DistanceFloors::kMaxLines + 1).Threshold(0.0f), INFINITY);
}

// OpenHalfFloors and FirstSmallest: every level lists the same
// positions and finds the same first smallest value, ties and infinities
// included.
TEST(DistanceFloors, HelpersAgreeAtEveryLevel) {
    std::mt19937 rng(7);
    int64_t total = 0, open = 0;  // both kinds of answer must occur
    for (int round = 0; round < 200; ++round) {
        const int64_t count = static_cast<int64_t>(rng() % 70);
        total += count;
        std::vector<double> reduced(count), threshold(count);
        std::vector<float> dots(count), values(count);
        for (int64_t i = 0; i < count; ++i) {
            reduced[i] = static_cast<double>(rng() % 8);
            dots[i] = static_cast<float>(rng() % 4) - (rng() % 9 == 0 ? INFINITY : 0.0f);
            threshold[i] = rng() % 7 == 0 ? INFINITY : static_cast<double>(rng() % 8);
            values[i] = rng() % 11 == 0 ? INFINITY : static_cast<float>(rng() % 5);
        }
        std::vector<std::vector<int64_t>> halves;
        std::vector<int64_t> first;
        for (const KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx2}) {
            ForceKernelLevel(level);
            std::vector<int64_t> list(count + 4, -1);
            // threshold standing for the reaches: infinite ones, and some
            // whose square just meets or misses the floor.
            list.resize(OpenHalfFloors(3.0, 0.5, reduced.data(), dots.data(), threshold.data(), count, 100, 0.25, 0.5,
                                       list.data()));
            halves.push_back(list);
            first.push_back(FirstSmallest(values.data(), count));
        }
        EXPECT_EQ(halves[0], halves[1]) << "round " << round;
        open += static_cast<int64_t>(halves[0].size());
        const int64_t smallest = count == 0 ? -1 : std::min_element(values.begin(), values.end()) - values.begin();
        for (size_t k = 0; k < first.size(); ++k) EXPECT_EQ(first[k], smallest) << "round " << round << ", level " << k;
    }
    EXPECT_GT(open, total / 10);
    EXPECT_LT(open, total - total / 10);
    ForceKernelLevel(DetectKernelLevel());
}

// The floors over halves, on the same families: never a proof above the
// exact distance, and on plain tables a proof at a hundredth below it.
TEST(HalfFloors, NeverProveMoreThanTheExactDistanceAndProveMostOfIt) {
    std::mt19937 rng(99);
    for (const KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx2}) {
        ForceKernelLevel(level);
        for (const Family &family : kFamilies) {
            SCOPED_TRACE(family.name);
            const int32_t lines = family.lines;
            std::vector<float> cells(static_cast<size_t>(lines) * kWidth);
            for (int32_t c = 0; c < kWidth; ++c)
                for (int32_t l = 0; l < lines; ++l) cells[l * kWidth + c] = family.cell(rng, c, l);
            const TableData table{lines, kWidth, cells.data()};
            const HalfFloors floors(table);
            // The first 32 columns as one panel of halves.
            std::vector<uint16_t> panel(static_cast<size_t>(lines) * 32);
            for (int32_t l = 0; l < lines; ++l)
                for (int32_t c = 0; c < 32; ++c) panel[l * 32 + c] = floors.Encode(cells[l * kWidth + c], l);
            std::vector<double> reduced(32), error(32);
            for (int32_t c = 0; c < 32; ++c) {
                reduced[c] = floors.Reduced(panel.data() + c, 32);
                error[c] = floors.ErrorNorm(cells.data() + c, kWidth, panel.data() + c, 32);
            }
            int proved = 0, finite = 0;
            std::vector<float> x(lines), dots(32);
            for (int32_t a = 0; a < 32; ++a) {
                for (int32_t l = 0; l < lines; ++l) x[l] = HalfFloors::Decode(panel[l * 32 + a]);
                HalfInnerProducts(panel.data(), lines, x.data(), dots.data());
                for (int32_t b = 0; b < 32; ++b) {
                    const float exact = euclidDistByColumn(a, b, table);
                    int64_t found[1];
                    auto open = [&](float w) {
                        const double reach = floors.Reach(w, error[b]);
                        return OpenHalfFloors(reduced[a], error[a], &reduced[b], &dots[b], &reach, 1, 0,
                                              floors.factor(), floors.slack(), found) == 1;
                    };
                    ASSERT_TRUE(open(std::nextafter(exact, INFINITY))) << "columns " << a << ", " << b << ": exact " << exact;
                    if (exact > 0.0f && std::isfinite(exact)) {
                        ++finite;
                        proved += !open(exact * 0.99f);
                    }
                }
            }
            const std::string name = family.name;
            if (name == "decimals" || name == "small integers with ties" || name == "long" || name == "huge" ||
                name == "offset 1e6") {
                EXPECT_EQ(proved, finite) << "floors too loose";
            }
        }
    }
    ForceKernelLevel(DetectKernelLevel());
}

__attribute__((target("f16c"))) float ProcessorHalf(uint16_t half) { return _cvtsh_ss(half); }

// The floors decode halves in software (the error norms, the scalar level)
// and in the processor (the vector level): the two must agree on every
// half below the infinities, or the error norms would not bound the error
// of what the inner products read.
TEST(HalfFloors, DecodingAgreesWithTheProcessor) {
    if (!ProcessorConvertsHalves()) GTEST_SKIP() << "no half conversion on this processor";
    for (uint32_t h = 0; h < 0x10000u; ++h) {
        if ((h >> 10 & 31u) == 31u) continue;
        const float mine = HalfFloors::Decode(static_cast<uint16_t>(h)), theirs = ProcessorHalf(static_cast<uint16_t>(h));
        ASSERT_EQ(std::memcmp(&mine, &theirs, sizeof mine), 0) << "half " << h << ": " << mine << " against " << theirs;
    }
}

// Encoding keeps 11 significant bits of the scaled cell less its line's
// mean, for every cell of the table's range (the largest scaled below
// 2^15). The cells below are symmetric: their mean is 0.
TEST(HalfFloors, EncodingKeepsElevenBits) {
    const float cells[] = {3.0e-3f, -3.0e-3f, 7.25f, -7.25f, 1000.0f, -1000.0f, 0.0f, 1.0e-9f, -1.0e-9f};
    const HalfFloors floors(TableData{1, 9, const_cast<float *>(cells)});
    for (float cell : cells) {
        const float back = HalfFloors::Decode(floors.Encode(cell, 0));
        // 1000 scales to 2^15 * 1000 / 1024.
        const double scaled = static_cast<double>(cell) * 32.0;
        EXPECT_LE(std::fabs(back - scaled), std::fabs(scaled) * 0x1p-10 + 0x1p-24) << cell;
    }
    // Moved by 5,000 on its one line, the same cells encode the same.
    std::vector<float> moved(std::begin(cells), std::end(cells));
    for (float &v : moved) v += 5000.0f;
    const HalfFloors movedFloors(TableData{1, 9, moved.data()});
    EXPECT_EQ(movedFloors.Encode(moved[4], 0), floors.Encode(cells[4], 0));
    EXPECT_EQ(movedFloors.Encode(moved[3], 0), floors.Encode(cells[3], 0));
}

}  // namespace
