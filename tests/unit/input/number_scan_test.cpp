// The readers' own "%f": spellings taken and the values they give, and, with
// the C library of Linux, the same answer as its sscanf on random text, with
// the same count of characters read.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "core_helpers.h"
#include "input/number_scan.h"

namespace {

// ScanNumber's answer as text: "no" or the float's bits.
std::string Scan(const std::string &text) {
    float v;
    return ScanNumber(text.c_str(), &v) ? Show(v) : "no";
}
std::string Bits(uint32_t bits) { return Show(std::bit_cast<float>(bits)); }

TEST(ScanNumber, SpellingsAndValues) {
    const struct { const char *text; std::string expected; } cases[] = {
        {"1.5 ", Bits(0x3fc00000)},
        {"-2e1 ", Bits(0xc1a00000)},
        {" \v\f+.5 ", Bits(0x3f000000)},
        {"12abc ", Bits(0x41400000)},
        {"1.234.5 ", Bits(0x3f9df3b6)},
        {"5. ", Bits(0x40a00000)},
        // An exponent mark without digits ends the number before it.
        {"1e ", Bits(0x3f800000)},
        {"1e+ ", Bits(0x3f800000)},
        {"1e+-5 ", Bits(0x3f800000)},
        {"1E5x ", Bits(0x47c35000)},
        {". ", "no"}, {"- ", "no"}, {"-", "no"}, {"+. ", "no"}, {".e5 ", "no"}, {"e5 ", "no"}, {"", "no"}, {" ", "no"},
        {"abc ", "no"}, {"x1 ", "no"},
        // Infinities and NaN in any case; a NaN keeps its sign but no payload.
        {"inf ", Bits(0x7f800000)}, {"-INF ", Bits(0xff800000)}, {"Infinity ", Bits(0x7f800000)},
        {"infx ", Bits(0x7f800000)}, {"infinityx ", Bits(0x7f800000)},
        {"infi ", "no"}, {"infinit ", "no"}, {"in ", "no"}, {"-i ", "no"},
        {"nan ", Bits(0x7fc00000)}, {"-NaN ", Bits(0xffc00000)}, {"nan(123) ", Bits(0x7fc00000)},
        {"nanq ", Bits(0x7fc00000)}, {"na ", "no"}, {"-n ", "no"},
        // Hexadecimal forms.
        {"0x1p3 ", Bits(0x41000000)}, {"-0X1.8P1 ", Bits(0xc0400000)}, {"0x.8 ", Bits(0x3f000000)},
        {"0x1 ", Bits(0x3f800000)}, {"0xAbp-4 ", Bits(0x412b0000)}, {"0x1p ", Bits(0x3f800000)},
        {"0x1pA ", Bits(0x3f800000)}, {"0x1e3 ", Bits(0x43f18000)},
        {"0x. ", Bits(0x00000000)}, {"-0x.p1 ", Bits(0x80000000)},
        {"0x ", "no"}, {"0xg ", "no"}, {"-0x ", "no"}, {"0xp1 ", "no"},
        // Beyond the float range: infinities, subnormals, zero.
        {"1e50 ", Bits(0x7f800000)}, {"-1e50 ", Bits(0xff800000)}, {"3.40282357e38 ", Bits(0x7f800000)},
        {"3.40282346e38 ", Bits(0x7f7fffff)}, {"1e-40 ", Bits(0x000116c2)}, {"1e-50 ", Bits(0x00000000)},
        {"-1e-50 ", Bits(0x80000000)}, {"0x1p-149 ", Bits(0x00000001)}, {"0x1p-150 ", Bits(0x00000000)},
        {"0x1.00001p-150 ", Bits(0x00000001)}, {"1e999999999999 ", Bits(0x7f800000)},
        {"1.17549421e-38 ", Bits(0x007fffff)},
        // Many digits, rounded once.
        {"0.000000000000000000000000000000000000000000001401298464324817 ", Bits(0x00000001)},
        {"16777217.000000000000000000001 ", Bits(0x4b800001)},
    };
    for (const auto &c : cases) EXPECT_EQ(Scan(c.text), c.expected) << '"' << c.text << '"';
}

#if defined(__GLIBC__)
// Random text from the characters that matter to numbers: the answer and the
// value must be those of glibc's sscanf "%f", which the readers used to call.
TEST(ScanNumber, SameAsTheCLibraryOfLinuxOnRandomText) {
    const std::string alphabet = "0123456789..eEpPxX+-+-infINFatyTYAnN( )\v";
    std::mt19937 rng(2024);
    int taken = 0;
    for (int round = 0; round < 300000; ++round) {
        std::string text;
        const int length = 1 + static_cast<int>(rng() % 12);
        // Most texts start like a number, so that the deeper states are reached.
        const char *const starts[] = {"", "0x", "-0x", "inf", "nan", "1e", "-", "0.", "infin"};
        text = starts[rng() % 9];
        for (int k = 0; k < length; ++k) text += alphabet[rng() % alphabet.size()];
        if (round % 7 == 0) text += std::string(1 + rng() % 40, '0' + static_cast<char>(rng() % 10));
        float expected = 0.0f;
        int expectedRead = -1;
        const bool expectedTaken = std::sscanf(text.c_str(), "%f%n", &expected, &expectedRead) == 1;
        ASSERT_EQ(Scan(text), expectedTaken ? Show(expected) : "no") << '"' << text << '"';
        float v;
        int read = -1;
        if (expectedTaken) {
            ASSERT_TRUE(ScanNumber(text.c_str(), &v, &read));
            ASSERT_EQ(read, expectedRead) << '"' << text << '"';
        }
        taken += expectedTaken;
    }
    // Both answers were well represented.
    EXPECT_GT(taken, 50000);
    EXPECT_LT(taken, 250000);
}
#endif

}  // namespace
