#include "random_tables.h"

#include <cmath>
#include <cstdio>
#include <limits>

OwnedTable RandomTable(std::mt19937 &rng, Flavour flavour, int32_t maxColumns, int32_t maxLines) {
    OwnedTable t;
    t.columns = std::uniform_int_distribution<int32_t>(1, maxColumns)(rng);
    t.lines = std::uniform_int_distribution<int32_t>(1, maxLines)(rng);
    t.cells.assign(static_cast<size_t>(t.lines) * t.columns, 0.0f);
    std::uniform_int_distribution<int> small(0, 3);
    std::uniform_real_distribution<float> real(-5.0f, 5.0f);
    auto at = [&](int32_t l, int32_t c) -> float & { return t.cells[static_cast<size_t>(l) * t.columns + c]; };
    for (int32_t c = 0; c < t.columns; ++c) {
        const int kind = std::uniform_int_distribution<int>(0, 9)(rng);
        for (int32_t l = 0; l < t.lines; ++l) {
            float v = 0.0f;
            switch (flavour) {
                case Flavour::SmallIntegers: v = static_cast<float>(small(rng)); break;
                case Flavour::Decimals: v = real(rng); break;
                case Flavour::Duplicates:
                    v = (kind < 4 && c > 0) ? at(l, std::uniform_int_distribution<int32_t>(0, c - 1)(rng))
                        : kind < 6          ? 0.0f
                                            : static_cast<float>(small(rng)) * 0.5f;
                    break;
                case Flavour::Huge:
                    v = kind < 5 ? static_cast<float>(small(rng)) * 1.0e11f : static_cast<float>(small(rng)) * 3.0e19f;
                    break;
                case Flavour::NonFinite: {
                    const int pick = std::uniform_int_distribution<int>(0, 11)(rng);
                    v = pick == 0   ? std::numeric_limits<float>::quiet_NaN()
                        : pick == 1 ? std::numeric_limits<float>::infinity()
                        : pick == 2 ? -std::numeric_limits<float>::infinity()
                        : pick == 3 ? -0.0f
                                    : static_cast<float>(small(rng));
                    break;
                }
                case Flavour::Offset: v = 1.0e6f + static_cast<float>(small(rng)) * 0.0625f; break;
                case Flavour::FarOffset: v = std::nextafter(1.0e30f, static_cast<float>(small(rng) * 1.0e31f)); break;
                case Flavour::Tiny: v = static_cast<float>(small(rng)) * 1.0e-30f + real(rng) * 1.0e-31f; break;
                case Flavour::Chain:
                    v = l == 0 ? static_cast<float>(c) * static_cast<float>(c) * 0.5f : real(rng) * 0.01f;
                    break;
            }
            at(l, c) = v;
        }
    }
    return t;
}

OwnedMatrix RandomMatrix(std::mt19937 &rng, int32_t maxCount, bool nan, bool negativeZero) {
    OwnedMatrix m;
    m.count = std::uniform_int_distribution<int32_t>(0, maxCount)(rng);
    m.values.resize(static_cast<size_t>(PairCount(m.count)));
    std::uniform_int_distribution<int> pick(0, 19);
    for (float &v : m.values) {
        const int k = pick(rng);
        if (nan && k == 0) {
            v = std::numeric_limits<float>::quiet_NaN();
        } else if (negativeZero && k == 1) {
            v = -0.0f;
        } else if (k == 2) {
            v = std::numeric_limits<float>::infinity();
        } else if (k == 3) {
            v = -1.0f;
        } else if (k == 4) {
            v = 2.0e11f;
        } else {
            v = static_cast<float>(k % 4);
        }
    }
    return m;
}

std::string TableText(const OwnedTable &table) {
    std::string text;
    char buffer[64];
    for (int32_t l = 0; l < table.lines; ++l) {
        for (int32_t c = 0; c < table.columns; ++c) {
            std::snprintf(buffer, sizeof buffer, "%s%.9g", c ? "\t" : "", table.cells[static_cast<size_t>(l) * table.columns + c]);
            text += buffer;
        }
        text += '\n';
    }
    return text;
}

std::string WithoutNanSign(std::string text) {
    for (size_t k = text.find("-nan"); k != std::string::npos; k = text.find("-nan", k)) text.erase(k, 1);
    return text;
}
