// The double-precision table reader of dendro-cluster: the token rule of the
// float reader, missing cells, names from a header or from the lines, and
// the reasons for a refused table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "input/object_table_reader.h"

namespace {

ObjectTableRead Read(const std::string &text, bool rows = false, bool header = false) {
    ObjectTableOptions options;
    options.rows = rows;
    options.header = header;
    return ReadObjectTableFromText(text, options);
}

// Cells as text, "NA" for a missing one, object after object.
std::string Cells(const ObjectTable &table) {
    std::string text;
    for (double v : table.values) {
        char cell[40];
        std::snprintf(cell, sizeof cell, "%.17g", v);
        if (!text.empty()) text += ' ';
        text += v != v ? "NA" : cell;
    }
    return text;
}

TEST(ObjectTableReader, CellsOfColumnsOrLines) {
    struct Case {
        std::string text;
        bool rows;
        std::int64_t objects, coordinates;
        const char *cells;
    } cases[] = {
        {"1 2 3\n4 5 6\n", false, 3, 2, "1 4 2 5 3 6"},
        {"1 2 3\n4 5 6\n", true, 2, 3, "1 2 3 4 5 6"},
        {"\n\n1;2;3\r\n\r4\t5 6", true, 2, 3, "1 2 3 4 5 6"},
        {"1,5\t-2e1\n", true, 1, 2, "1.5 -20"},
        {"x 1 2\ny 3 4\n", false, 2, 2, "1 3 2 4"},
        {"12abc 2\n", true, 1, 2, "12 2"},
        // Missing: NA, NaN in any spelling, nothing between two tabs.
        {"1\tNA\t3\n4\t\t6\nnan -NaN 9\n", true, 3, 3, "1 NA 3 4 NA 6 NA NA 9"},
        {"1\t\t\t4\n", true, 1, 4, "1 NA NA 4"},
        // Blanks or a single tab between cells add nothing.
        {"1 \t 2\n3  4\n", true, 2, 2, "1 2 3 4"},
        // A token of 150 zeros is two pieces.
        {std::string(150, '0') + "\n", true, 1, 2, "0 0"},
        // A byte-order mark is no part of the first number.
        {"\xEF\xBB\xBF" "7 8\n", true, 1, 2, "7 8"},
        {"0.123456 999999.5 1e-300 1.7976931348623157e308\n", true, 1, 4,
         "0.123456 999999.5 1e-300 1.7976931348623157e+308"},
    };
    for (const Case &c : cases) {
        const ObjectTableRead read = Read(c.text, c.rows);
        ASSERT_EQ(read.refusal, "") << c.text;
        EXPECT_EQ(read.table.objects, c.objects) << c.text;
        EXPECT_EQ(read.table.coordinates, c.coordinates) << c.text;
        EXPECT_EQ(Cells(read.table), c.cells) << c.text;
    }
}

// Short decimals take a shortcut; every value must still be strtod's.
TEST(ObjectTableReader, DecimalsAreTheNearestDouble) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<long long> digits(0, 999999999999999LL);
    std::uniform_int_distribution<int> point(0, 16), sign(0, 1);
    std::string text;
    std::vector<std::string> tokens;
    for (int k = 0; k < 3000; ++k) {
        std::string token = std::to_string(digits(rng));
        const int at = point(rng);
        if (at < static_cast<int>(token.size())) token.insert(token.size() - at, 1, '.');
        if (sign(rng)) token.insert(0, 1, '-');
        tokens.push_back(token);
        text += token + "\n";
    }
    const ObjectTableRead read = Read(text);
    ASSERT_EQ(read.table.coordinates, 3000);
    for (int k = 0; k < 3000; ++k)
        ASSERT_EQ(read.table.values[k], std::strtod(tokens[k].c_str(), nullptr)) << tokens[k];
}

TEST(ObjectTableReader, Names) {
    struct Case {
        const char *text;
        bool rows, header;
        std::vector<std::string> names;
        const char *warning;
    } cases[] = {
        {"a b c\n1 2 3\n", false, true, {"a", "b", "c"}, nullptr},
        {"gene\ta\tb\ng1\t1\t2\n", false, true, {"a", "b"}, nullptr},
        {"\ta b\tc\ng1\t1\t2\n", false, true, {"a b", "c"}, nullptr},
        {"a b c d\n1 2\n", false, true, {}, "the header holds 4 names for 2 columns"},
        {"g1 1 2\n3 g2 4\n5 6\n", true, false, {"g1", "g2", ""}, nullptr},
        {"s1 s2\ng1 1 NA\ng2 3 4\n", true, true, {"g1", "g2"}, nullptr},
        {"1 2\n3 4\n", true, false, {}, nullptr},
    };
    for (const Case &c : cases) {
        const ObjectTableRead read = Read(c.text, c.rows, c.header);
        ASSERT_EQ(read.refusal, "") << c.text;
        EXPECT_EQ(read.table.names, c.names) << c.text;
        if (c.warning != nullptr) {
            ASSERT_EQ(read.warnings.size(), 1u) << c.text;
            EXPECT_EQ(read.warnings[0], c.warning);
        } else {
            EXPECT_TRUE(read.warnings.empty()) << c.text;
        }
    }
}

TEST(ObjectTableReader, RefusedTables) {
    struct Case {
        const char *text;
        bool header;
        bool empty;
        const char *refusal;
    } cases[] = {
        {"1 2 3\n4 5\n", false, false,
         "line 2 has 2 values, line 1 has 3: every row must hold the same number of values (a missing one is NA, or "
         "nothing between two tabs)"},
        {"1 2\r\n3 4\r\n\r\n5\r\n", false, false,
         "line 4 has 1 value, most lines have 2: every row must hold the same number of values (a missing one is NA, "
         "or nothing between two tabs)"},
        // The odd line is named, whichever it is: the rows after a refused one are counted.
        {"1 2 3\n4 5\n6 7\n8 NA\n", false, false,
         "line 1 has 3 values, most lines have 2: every row must hold the same number of values (a missing one is NA, "
         "or nothing between two tabs)"},
        {"1 2\n3 4\n5\n6 7\n8 inf\n", false, false,
         "line 3 has 1 value, most lines have 2: every row must hold the same number of values (a missing one is NA, "
         "or nothing between two tabs)"},
        {"a b\n1 2\n", false, false, "line 2 has 2 values, line 1 has 0: is line 1 a header? try --header"},
        {"1 2\nx y\n", false, false, "line 2 has 0 values, line 1 has 2: line 2 holds no number (only blanks or words)"},
        {"1 2\n3 inf\n", false, false,
         "line 2: the cell 'inf' is infinite; only finite numbers and missing cells (NA, NaN, nothing between two "
         "tabs) can be clustered"},
        {"1 -Infinity\n", false, false,
         "line 1: the cell '-Infinity' is infinite; only finite numbers and missing cells (NA, NaN, nothing between "
         "two tabs) can be clustered"},
        {"1 2e400\n", false, false,
         "line 1: the cell '2e400' is infinite; only finite numbers and missing cells (NA, NaN, nothing between two "
         "tabs) can be clustered"},
        {"", false, true, "the input holds no row"},
        {"\n\r\n", false, true, "the input holds no row"},
        {"a b\n", true, true, "no row follows the header"},
        {"a b\nc d\n", false, true, "no number found in 2 rows"},
    };
    for (const Case &c : cases) {
        const ObjectTableRead read = Read(c.text, false, c.header);
        EXPECT_EQ(read.refusal, c.refusal) << c.text;
        EXPECT_EQ(read.empty, c.empty) << c.text;
    }
}

}  // namespace

namespace {

// Columns are gathered from lines in groups and blocks of lines: a table
// across several of both reads as its transpose does with --rows.
TEST(ObjectTableReader, ColumnsOfALongWideTableAreItsTransposedLines) {
    std::mt19937 rng(9);
    std::uniform_int_distribution<int> digits(0, 9999), missing(0, 40);
    const int lines = 1300, columns = 130;
    std::vector<std::string> cells(lines * columns);
    for (std::string &cell : cells) cell = missing(rng) == 0 ? "NA" : std::to_string(digits(rng) / 100.0);
    std::string text, transposed;
    for (int l = 0; l < lines; ++l)
        for (int c = 0; c < columns; ++c) text += cells[l * columns + c] + (c + 1 < columns ? "\t" : "\n");
    for (int c = 0; c < columns; ++c)
        for (int l = 0; l < lines; ++l) transposed += cells[l * columns + c] + (l + 1 < lines ? "\t" : "\n");
    const ObjectTableRead byColumns = Read(text), byRows = Read(transposed, true);
    ASSERT_EQ(byColumns.refusal, "");
    EXPECT_EQ(byColumns.table.objects, columns);
    EXPECT_EQ(byColumns.table.coordinates, lines);
    EXPECT_EQ(byColumns.missingCells, byRows.missingCells);
    EXPECT_EQ(Cells(byColumns.table), Cells(byRows.table));
    // A ragged line after many: refused, its extra cell never stored.
    EXPECT_EQ(Read(text + "1" + std::string(columns + 1, '\t') + "\n").refusal.substr(0, 28), "line 1301 has 131 values, mo");
}

}  // namespace

namespace {

// --labels: the first field is the line's label, never a value, even when
// it is a number or holds blanks.
TEST(ObjectTableReader, LabelsAreNeverValues) {
    ObjectTableOptions options;
    options.rows = options.labels = true;
    const ObjectTableRead tabs = ReadObjectTableFromText("gene 1\t1\t\t3\n2021\t4\t5\t6\n", options);
    ASSERT_EQ(tabs.refusal, "");
    EXPECT_EQ(tabs.table.names, (std::vector<std::string>{"gene 1", "2021"}));
    EXPECT_EQ(Cells(tabs.table), "1 NA 3 4 5 6");
    const ObjectTableRead blanks = ReadObjectTableFromText("7 1 2\n8;3 4\n", options);
    ASSERT_EQ(blanks.refusal, "");
    EXPECT_EQ(blanks.table.names, (std::vector<std::string>{"7", "8"}));
    EXPECT_EQ(Cells(blanks.table), "1 2 3 4");
}

}  // namespace
