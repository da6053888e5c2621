// Exit reporting, checked allocation, character classes and the two text
// readers (table and distance file), fed from in-memory streams.
#include <cstdlib>
#include <string>
#include <vector>

#include "core_helpers.h"
#include "distances.h"
#include "table.h"
#include "utils.h"

// Keeps a block that a failed resize leaves allocated reachable at exit.
void *volatile gBlock;

namespace {

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
        const TableData t = ReadBytes(c.bytes, ReadTable);
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
        const TableData t = ReadBytes(row + "\n" + row, ReadTable);
        ASSERT_EQ(t.lines, 2);
        ASSERT_EQ(t.columns, perRow);
        for (int k = 0; k < 2 * perRow; ++k) ASSERT_EQ(t.values[k], static_cast<float>(k % perRow)) << k;
        std::free(t.values);
    }
}

TEST(ReadTable, InputWithoutCellsEndsWithMemoryMessage) {
    for (const char *bytes : {"", "\n\n\r\n", "a b\nc d\n", " \t \n"}) {
        SCOPED_TRACE(bytes);
        EXPECT_EXIT_PRINTING(ReadBytes(bytes, ReadTable), 255, kMemoryMessage);
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
