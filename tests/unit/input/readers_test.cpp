// Exit reporting, checked allocation, character classes and the two text
// readers (table and distance file), fed from in-memory streams.
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/utils.h"
#include "core_helpers.h"
#include "input/distance_reader.h"
#include "input/numeric_token.h"
#include "input/stream_bytes.h"
#include "input/table_reader.h"
#include "model/distance_matrix.h"
#include "model/table.h"

// Keeps a block that a failed resize leaves allocated reachable at exit.
void *volatile gBlock;

namespace {

// The reader without a report (the name alone would be the overload set).
TableData ReadWholeTable(std::FILE *stream) { return ReadTable(stream); }

TEST(CharacterClasses, EveryByteAndOnlyTheLowEightBits) {
    for (int b = 0; b < 256; ++b) {
        const bool line = b == '\n' || b == '\r';
        const bool item = b == '\t' || b == ' ' || b == ';';
        const bool white = b == '\t' || b == ' ' || line;
        // Each byte as getc returns it, sign-extended as a char, and with high bits set.
        for (int c : {b, static_cast<int>(static_cast<signed char>(b)), b + 256}) {
            EXPECT_EQ(IsLineSeparator(c), line ? 1 : 0) << c;
            EXPECT_EQ(IsItemSeparator(c), item ? 1 : 0) << c;
            EXPECT_EQ(IsSeparator(c), white ? 1 : 0) << c;
        }
    }
}

TEST(ExitReporting, MessageAndStatusOfEveryCode) {
    const struct { int code; int status; std::string message; } cases[] = {
        {0, 255, kUsageMessage}, {1, 255, "Probleme a l'initialisation\n"}, {2, 255, kReadMessage},
        {3, 255, kWriteMessage}, {4, 255, kMemoryMessage}, {5, 255, "Probleme dans le programme...\n"},
        {6, 0, ""}, {7, 0, ""}, {-1, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EXIT_PRINTING(SortieProg(c.code), c.status, c.message);
    }
}

TEST(CheckedAllocation, ZeroBytesSucceedsBadSizesEndWithMemoryMessage) {
    void *empty = monmalloc(0);
    EXPECT_NE(empty, nullptr);
    std::free(empty);
    EXPECT_EXIT_PRINTING(monmalloc(-4), 255, kMemoryMessage);
    EXPECT_EXIT_PRINTING(monmalloc(2147483648LL), 255, kMemoryMessage);
    EXPECT_EXIT_PRINTING(monrealloc(monmalloc(8), 0), 255, kMemoryMessage);
    EXPECT_EXIT_PRINTING({ gBlock = monmalloc(8); monrealloc(gBlock, 2147483648LL); }, 255, kMemoryMessage);
    // Growing keeps the contents.
    auto *p = static_cast<int *>(monmalloc(sizeof(int)));
    *p = 42;
    p = static_cast<int *>(monrealloc(p, 4000 * sizeof(int)));
    EXPECT_EQ(*p, 42);
    std::free(p);
}

struct TableCase {
    const char *name;
    std::string bytes;
    int lines, columns;  // 0, 0: the rejected table
    std::vector<float> values;
};

std::string Zeros(int n) { return std::string(n, '0'); }

TEST(ReadTable, LineEndsSeparatorsLabelsLongTokensAndRejection) {
    const std::vector<float> six{1, 2, 3, 4, 5, 6};
    const TableCase cases[] = {
        {"LF", "1 2 3\n4 5 6\n", 2, 3, six},
        {"CRLF", "1 2 3\r\n4 5 6\r\n", 2, 3, six},
        {"CR alone", "1 2 3\r4 5 6\r", 2, 3, six},
        {"blank lines, no final end", "\n\n1 2 3\n\n\r\n4 5 6", 2, 3, six},
        {"semicolons", "1;2;3", 1, 3, {1, 2, 3}},
        {"decimal comma, tab, exponent", "1,5\t-2e1\n", 1, 2, {1.5f, -20}},
        {"separator runs", " \t7 \t 8\t \n7;;;8;\n", 2, 2, {7, 8, 7, 8}},
        {"row labels", "x 1 2\ny 3 4\n", 2, 2, {1, 2, 3, 4}},
        {"number prefix", "1a 2\n", 1, 2, {1, 2}},
        // Just above the midpoint of two floats: through double it would land on
        // the midpoint and round down to 1.
        {"rounded once, to float", "1.0000000596046447753906250000000001 10000000596046447753906250000000001e-34",
         1, 2, {1.00000012f, 1.00000012f}},
        {"comma then point", "1,234.5 -. , - abc\n", 1, 1, {1.234f}},
        {"0xFF inside a token", "1 2\xff 3\n", 1, 3, {1, 2, 3}},
        {"0xFF is not end of input", "1\n\xff\n2\n", 0, 0, {}},
        {"header of names", "a b c\n1 2 3\n", 0, 0, {}},
        {"line of one blank", "1 2\n \n3 4\n", 0, 0, {}},
        {"last line of blanks", "1 2\n3 4\n  ", 0, 0, {}},
        {"short row", "1 2 3\n4 5\n6 7 8\n", 0, 0, {}},
        {"150 zeros", Zeros(150) + "\n", 1, 2, {0, 0}},
        {"100 characters", "1.5" + Zeros(97) + "\n", 1, 1, {1.5f}},
        {"100 zeros then 7", Zeros(100) + "7\n", 1, 2, {0, 7}},
    };
    for (const TableCase &c : cases) {
        SCOPED_TRACE(c.name);
        const TableData t = ReadBytes(c.bytes, ReadWholeTable);
        EXPECT_EQ(t.lines, c.lines);
        EXPECT_EQ(t.columns, c.columns);
        if (c.lines == 0) {
            EXPECT_EQ(t.values, nullptr);
            continue;
        }
        ASSERT_NE(t.values, nullptr);
        EXPECT_EQ(std::vector<float>(t.values, t.values + c.lines * c.columns), c.values);
        std::free(t.values);
    }
}

TEST(ReadTable, StorageGrowsPastEachBlock) {
    for (int perRow : {1001, 2500}) {
        std::string row;
        for (int k = 0; k < perRow; ++k) row += std::to_string(k) + " ";
        const TableData t = ReadBytes(row + "\n" + row, ReadWholeTable);
        ASSERT_EQ(t.lines, 2);
        ASSERT_EQ(t.columns, perRow);
        for (int k = 0; k < 2 * perRow; ++k) ASSERT_EQ(t.values[k], static_cast<float>(k % perRow)) << k;
        std::free(t.values);
    }
}

// What "%f" gives for a piece, as the readers cut it: the characters, a
// space appended below TOKEN_MAX_LENGTH.
int ScanPiece(const std::string &piece, float *value) {
    std::string text = piece;
    if (text.size() < static_cast<size_t>(TOKEN_MAX_LENGTH)) text += ' ';
    return text.size() >= 2 && std::sscanf(text.c_str(), "%f", value) == 1 ? 1 : 0;
}

void ExpectConvertsAsScanf(const std::string &piece) {
    std::string text = piece;
    if (text.size() < static_cast<size_t>(TOKEN_MAX_LENGTH)) text += ' ';
    float fast = 0.0f, scanned = 0.0f;
    const int fastYields = ConvertPiece(text.c_str(), static_cast<int>(text.size()), &fast);
    const int scanYields = ScanPiece(piece, &scanned);
    ASSERT_EQ(fastYields, scanYields) << '"' << piece << '"';
    if (scanYields == 1) {
        ASSERT_EQ(Show(fast), Show(scanned)) << '"' << piece << '"';
    }
}

// The conversion takes shortcuts for decimal forms; every one must give what
// "%f" gives, bit for bit, at the edges of each shortcut and beyond them.
TEST(ReadTable, ConversionAgreesWithScanfOnEveryForm) {
    const char *const edges[] = {
        "0", "-0", "+0", "-0.0", ".5", "-.5", "+.5", "5.", "-5.", ".", "-", "+", "+-1", "--1", "1..2",
        "16777215", "16777216", "16777217", "1677721.5", "1677721.7", "0.16777217", "-16777217",
        "0.1", "0.3", "0.7", "1.1", "3.4028235e38", "3.4028236e38", "340282356779733661637539395458142568448",
        "1e39", "-1e39", "1e-45", "1.4e-45", "7e-46", "1e-46", "1e-50", "0e-50", "0e99", "1.17549435e-38",
        "1e10", "1e11", "1e-10", "1e-11", "9999999e10", "1234567e-10", "1e", "1e+", "1e-", "1E5", "1e+5",
        "1.e5", ".e5", "e5", "1e5x", "1x", "12abc", "0x1p3", "0X1P-3", "inf", "-INF", "infinity", "nan",
        "NAN(123)", "1,5", "\v1", "\f2", "1\v", "1e0000000000000000000000000000000001",
        "0.000000000000000000000000000000000000000000001401298464324817070923729583289916131280",
        "1.00000005960464477539062500000000000000000001", "1.000000059604644775390625",
    };
    for (const char *e : edges) ExpectConvertsAsScanf(e);
    ExpectConvertsAsScanf("1.5" + std::string(97, '0'));
    ExpectConvertsAsScanf(std::string(99, '9'));
    ExpectConvertsAsScanf(std::string(100, '9'));
    ExpectConvertsAsScanf(std::string(1, '-').append(60, '9').append("e-30"));
    ExpectConvertsAsScanf(std::string("1\0" "5", 3));

    std::mt19937 rng(11);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
    // The same pieces read by ReadTable, as one long row: the reader takes
    // the common ones straight from its block.
    std::string row;
    std::vector<float> rowValues;
    auto addToRow = [&](const std::string &piece) {
        std::string pointed = piece;
        for (char &c : pointed) c = c == ',' ? '.' : c;
        float v;
        if (ScanPiece(pointed, &v) == 1) rowValues.push_back(v);
        row += piece;
        row += " \t;"[pick(3)];
    };
    auto digits = [&](int n) {
        std::string d;
        for (int k = 0; k < n; ++k) d += static_cast<char>('0' + pick(10));
        return d;
    };
    for (int k = 0; k < 200000; ++k) {
        std::string text;
        switch (pick(3)) {
            case 1: text = "-"; break;
            case 2: text = pick(4) == 0 ? "+" : ""; break;
        }
        const int whole = pick(12), fraction = pick(12);
        text += digits(whole);
        if (fraction > 0 || pick(4) == 0) text.append(".").append(digits(fraction));
        if (pick(3) == 0) {
            text += pick(2) ? "e" : "E";
            if (pick(2)) text += pick(2) ? "-" : "+";
            text += std::to_string(pick(pick(8) == 0 ? 60 : 14));
        }
        ExpectConvertsAsScanf(text);
        addToRow(pick(5) == 0 ? std::string(1, ',').append(text) : text);
        char printed[40];
        const float f = std::bit_cast<float>(static_cast<uint32_t>(rng()));
        std::snprintf(printed, sizeof printed, pick(2) ? "%.6g" : "%.9g", static_cast<double>(f));
        ExpectConvertsAsScanf(printed);
        addToRow(printed);
    }
    const TableData t = ReadBytes(row + "\n", ReadWholeTable);
    ASSERT_EQ(t.lines, 1);
    ASSERT_EQ(static_cast<size_t>(t.columns), rowValues.size());
    for (size_t k = 0; k < rowValues.size(); ++k) ASSERT_EQ(Show(t.values[k]), Show(rowValues[k])) << k;
    std::free(t.values);
}

// The reader takes the stream in blocks: tokens across a block's end, and a
// rejected table leaves a file where reading one byte at a time would.
TEST(ReadTable, TablesLongerThanOneBlock) {
    std::mt19937 rng(5);
    std::string text;
    std::vector<float> expected;
    const int columns = 7;
    while (text.size() < 3 * static_cast<size_t>(StreamBytes::BLOCK_BYTES)) {
        for (int c = 0; c < columns; ++c) {
            char cell[40];
            std::snprintf(cell, sizeof cell, "%s%.*g%s", c == 0 ? "" : (rng() % 2 ? "\t" : " ; "),
                          static_cast<int>(1 + rng() % 9), std::bit_cast<float>(static_cast<uint32_t>(rng()) & 0xbf7fffffu),
                          rng() % 5 == 0 ? "x" : "");
            text += cell;
            float v;
            ASSERT_EQ(ScanPiece(std::string(cell).substr(std::string(cell).find_first_not_of("\t ;")), &v), 1) << cell;
            expected.push_back(v);
        }
        text += rng() % 3 == 0 ? "\r\n" : "\n";
    }
    const TableData t = ReadBytes(text, ReadWholeTable);
    ASSERT_EQ(static_cast<size_t>(t.lines) * columns, expected.size());
    ASSERT_EQ(t.columns, columns);
    for (size_t k = 0; k < expected.size(); ++k) ASSERT_EQ(Show(t.values[k]), Show(expected[k])) << k;
    std::free(t.values);

    // A short row far into the file: the stream stands right after its line end.
    for (const char *end : {"\n", "\r"}) {
        TempDir dir;
        const std::string rows = text.substr(0, text.size() / 2 / 8 * 8);
        const size_t cut = rows.rfind('\n') + 1;
        const std::string bytes = rows.substr(0, cut) + "1 2" + end + "3 4 5\n" + text;
        WriteFile(dir.file("t"), bytes);
        std::FILE *f = std::fopen(dir.file("t").c_str(), "r");
        const TableData rejected = ReadTable(f);
        EXPECT_EQ(rejected.values, nullptr);
        EXPECT_EQ(std::ftell(f), static_cast<long>(cut + 4));
        std::fclose(f);
    }
}

TEST(ReadTable, InputWithoutCellsEndsWithMemoryMessage) {
    for (const char *bytes : {"", "\n\n\r\n", "a b\nc d\n", " \t \n"}) {
        SCOPED_TRACE(bytes);
        EXPECT_EXIT_PRINTING(ReadBytes(bytes, ReadWholeTable), 255, kMemoryMessage);
    }
}

TEST(ReadDistances, TrianglesAreCutToWholeRows) {
    const struct { const char *name; std::string bytes; int count; std::vector<float> values; } cases[] = {
        {"one line", "0.5 1 2", 3, {0.5f, 1, 2}},
        {"one per line, CRLF", "0.5\r\n1\r\n2\r\n", 3, {0.5f, 1, 2}},
        {"single value", "7", 2, {7}},
        {"partial row dropped", "1 2", 2, {1}},
        {"five values", "1 2 3 4 5", 3, {1, 2, 3}},
        {"six values", "1\t2\n3 4\r5 6", 4, {1, 2, 3, 4, 5, 6}},
        {"decimal commas", "0,5\n1,5\n2,5\n", 3, {0.5f, 1.5f, 2.5f}},
        {"semicolon inside a token", "1;2 3", 2, {1}},
        {"0xFF inside a token", "1 2\xff 3", 3, {1, 2, 3}},
        {"words skipped", "x 4 y", 2, {4}},
        {"long token in pieces", Zeros(100) + "7 8", 3, {0, 7, 8}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const DistanceMatrix m = ReadBytes(c.bytes, ReadDistances);
        EXPECT_EQ(m.count, c.count);
        EXPECT_EQ(std::vector<float>(m.values, m.values + PairCount(m.count)), c.values);
        std::free(m.values);
    }
    std::string many;  // 1035 values: 46 objects (1035 = 46 * 45 / 2), past one storage block.
    for (int k = 0; k < 1040; ++k) many += std::to_string(k) + "\n";
    const DistanceMatrix m = ReadBytes(many, ReadDistances);
    ASSERT_EQ(m.count, 46);
    EXPECT_EQ(m.values[1034], 1034.0f);
    std::free(m.values);
}

TEST(ReadDistances, StreamWithoutValuesEndsWithMemoryMessage) {
    for (const char *bytes : {"", " \n\t\r ", "a b c"}) {
        SCOPED_TRACE(bytes);
        EXPECT_EXIT_PRINTING(ReadBytes(bytes, ReadDistances), 255, kMemoryMessage);
    }
}

}  // namespace
