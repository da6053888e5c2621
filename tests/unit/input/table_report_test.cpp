// The reader's report: it must not change the table read, and it must place
// what it reports on the lines an editor shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <bit>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "input/table_reader.h"
#include "input/table_report.h"
#include "model/table.h"
#include "process.h"

namespace {

struct Read {
    TableData table;
    TableReport report;
};

Read ReadReporting(const std::string &path, bool header = false) {
    Read r;
    r.report.header = header;
    std::FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr) throw std::runtime_error("cannot open " + path);
    r.table = ReadTable(f, r.report);
    std::fclose(f);
    return r;
}

// Every input of the reader's fuzzing corpus and a few more: the same table
// with the report as without it (inputs without a number are left out, as
// the plain reader ends the process on them).
TEST(TableReport, TheTableReadIsTheSame) {
    TempDir dir;
    std::vector<std::string> inputs;
    for (const auto &entry : std::filesystem::directory_iterator(DENDRO_SOURCE_DIR "/fuzz/corpus/read_table"))
        inputs.push_back(entry.path());
    const char *const more[] = {"\xEF\xBB\xBF" "1 2\n3 4\n", "1,2,3\n4,5,6\n", "x 1 2x\r\ny 3 4\r\n", "1 2\r\r3 4\n",
                                "1 2\n3\n4 5\n", "12abc 2021-03-04 1.5e3x\n"};
    for (const char *text : more) {
        inputs.push_back(dir.file(std::to_string(inputs.size())));
        WriteFile(inputs.back(), text);
    }
    int compared = 0;
    for (const std::string &path : inputs) {
        SCOPED_TRACE(path);
        const Read reported = ReadReporting(path);
        if (reported.report.noValues) continue;
        // A byte-order mark is skipped by the programs' reader only.
        if (reported.report.byteOrderMark) {
            std::free(reported.table.values);
            continue;
        }
        std::FILE *f = std::fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr);
        const TableData plain = ReadTable(f);
        std::fclose(f);
        ASSERT_EQ(reported.table.lines, plain.lines);
        ASSERT_EQ(reported.table.columns, plain.columns);
        EXPECT_EQ(reported.table.values == nullptr, plain.values == nullptr);
        EXPECT_EQ(reported.report.rejectedLine != 0, plain.values == nullptr);
        if (plain.values != nullptr) {
            const size_t bytes = static_cast<size_t>(plain.lines) * static_cast<size_t>(plain.columns) * sizeof(float);
            EXPECT_EQ(std::memcmp(reported.table.values, plain.values, bytes), 0);
        }
        std::free(reported.table.values);
        std::free(plain.values);
        ++compared;
    }
    EXPECT_GT(compared, 20);
}

TEST(TableReport, LinesTokensAndNames) {
    TempDir dir;
    const struct {
        const char *name;
        std::string text;
        bool header;
        int64_t firstLine, firstCount, rejectedLine, rejectedCount;
        int64_t partialTokens, partialLine;
        int64_t commaLine;
        std::vector<std::string> names;
    } cases[] = {
        {"line feeds", "\n\n1 2\n\n3\n", false, 3, 2, 5, 1, 0, 0, 0, {}},
        {"carriage returns and pairs", "\r\n1 2\r\r\n\r3 4 5\n", false, 2, 2, 5, 3, 0, 0, 0, {}},
        {"partial tokens", "1 2\n\n3 4x\n5 6,5,\n", false, 1, 2, 0, 0, 2, 3, 4, {}},
        // A token of 99 characters takes 100 with the space appended: still
        // the whole token is the number (the last one read byte by byte, as
        // fewer than 100 bytes are left).
        {"tokens of 100 and 99 characters", "1 2\n" + std::string(99, '0') + "6 " + std::string(98, '0') + "5\n",
         false, 1, 2, 0, 0, 0, 0, 0, {}},
        {"header on blanks", "\n a  b;c \n1 2 3\n", true, 3, 3, 0, 0, 0, 0, 0, {"a", "b", "c"}},
        {"header on tabs", "\xEF\xBB\xBF" "first name\t\tlast\n1 2 3\n", true, 2, 3, 0, 0, 0, 0, 0,
         {"first name", "", "last"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(dir.file("in"), c.text);
        const Read r = ReadReporting(dir.file("in"), c.header);
        EXPECT_EQ(r.report.firstLine, c.firstLine);
        EXPECT_EQ(r.report.firstCount, c.firstCount);
        EXPECT_EQ(r.report.rejectedLine, c.rejectedLine);
        EXPECT_EQ(r.report.rejectedCount, c.rejectedCount);
        EXPECT_EQ(r.report.partialTokens, c.partialTokens);
        EXPECT_EQ(r.report.firstPartialLine, c.partialLine);
        EXPECT_EQ(r.report.commaLine, c.commaLine);
        EXPECT_EQ(r.report.names, c.names);
        std::free(r.table.values);
    }
}

// What one reading gave: the table, the report, and where the stream stood.
struct Outcome {
    std::vector<float> values;
    int32_t lines = 0, columns = 0;
    bool table = false;
    TableReport report;
    long position = 0;
};

Outcome ReadInStretches(std::FILE *f, bool header, bool reporting, int64_t stretchBytes, bool labels = false) {
    Outcome o;
    o.report.header = header;
    o.report.labels = labels;
    const TableData t = ReadTableInStretches(f, reporting ? &o.report : nullptr, stretchBytes);
    o.position = std::ftell(f);
    o.lines = t.lines;
    o.columns = t.columns;
    o.table = t.values != nullptr;
    if (t.values != nullptr) o.values.assign(t.values, t.values + static_cast<int64_t>(t.lines) * t.columns);
    std::free(t.values);
    return o;
}

// Every field, values bit for bit.
void ExpectSame(const Outcome &a, const Outcome &b) {
    EXPECT_EQ(a.lines, b.lines);
    EXPECT_EQ(a.columns, b.columns);
    EXPECT_EQ(a.table, b.table);
    ASSERT_EQ(a.values.size(), b.values.size());
    for (size_t k = 0; k < a.values.size(); ++k)
        ASSERT_EQ(std::bit_cast<uint32_t>(a.values[k]), std::bit_cast<uint32_t>(b.values[k])) << "value " << k;
    EXPECT_EQ(a.position, b.position);
    const TableReport &r = a.report, &s = b.report;
    EXPECT_EQ(r.names, s.names);
    EXPECT_EQ(r.byteOrderMark, s.byteOrderMark);
    EXPECT_EQ(r.firstLine, s.firstLine);
    EXPECT_EQ(r.firstCount, s.firstCount);
    EXPECT_EQ(r.rejectedLine, s.rejectedLine);
    EXPECT_EQ(r.rejectedCount, s.rejectedCount);
    EXPECT_EQ(r.rowsBeforeRejected, s.rowsBeforeRejected);
    EXPECT_EQ(r.rowsAheadLikeFirst, s.rowsAheadLikeFirst);
    EXPECT_EQ(r.rowsAheadLikeRejected, s.rowsAheadLikeRejected);
    EXPECT_EQ(r.noValues, s.noValues);
    EXPECT_EQ(r.rows, s.rows);
    EXPECT_EQ(r.partialTokens, s.partialTokens);
    EXPECT_EQ(r.firstPartial, s.firstPartial);
    EXPECT_EQ(std::bit_cast<uint32_t>(r.firstPartialValue), std::bit_cast<uint32_t>(s.firstPartialValue));
    EXPECT_EQ(r.firstPartialLine, s.firstPartialLine);
    EXPECT_EQ(r.commaLine, s.commaLine);
    EXPECT_EQ(r.wordsAfterNumbers, s.wordsAfterNumbers);
    EXPECT_EQ(r.firstWordAfterNumber, s.firstWordAfterNumber);
    EXPECT_EQ(r.firstWordAfterNumberLine, s.firstWordAfterNumberLine);
    EXPECT_EQ(r.emptyCells, s.emptyCells);
    EXPECT_EQ(r.firstEmptyCellLine, s.firstEmptyCellLine);
    EXPECT_EQ(r.labelLikeFields, s.labelLikeFields);
    EXPECT_EQ(r.firstLabelLikeField, s.firstLabelLikeField);
    EXPECT_EQ(r.firstLabelLikeLine, s.firstLabelLikeLine);
    EXPECT_EQ(r.splitTokens, s.splitTokens);
    EXPECT_EQ(r.firstSplitLine, s.firstSplitLine);
    EXPECT_EQ(r.firstRowWords, s.firstRowWords);
    EXPECT_EQ(r.rejectedWords, s.rejectedWords);
}

// Rows of `columns` random cells; `odd` in 0 .. 100 is the percentage of
// cells and line ends drawn from the unusual forms. Unless `ragged`, every
// row yields `columns` values; otherwise some forms yield none or two, and
// a line of one blank is a row of none.
std::string RandomRows(std::mt19937 &rng, int rows, int columns, int odd, bool ragged = true) {
    const char *const cells[] = {"12abc", "3,5", "-2e1", "1.5e3x", "+7", "nan", "1,234.5", ".5", "0x1p3", "1e",
                                 "-0", "\xff" "9"};
    const char *const ends[] = {"\r\n", "\r", "\n\n", "\r\n\r\n", "\n \n"};
    auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
    std::string text;
    for (int r = 0; r < rows; ++r) {
        if (chance(odd / 4)) text += rng() % 2 ? " x\t" : ";";
        for (int c = 0; c < columns; ++c) {
            if (c > 0) text += rng() % 3 ? "\t" : " ;";
            if (chance(odd)) {
                text += cells[rng() % (std::size(cells) - (ragged ? 0 : 1))];
            } else if (chance(odd / 4)) {
                // Tokens near and past the 100-character pieces.
                text += std::string(95 + rng() % (ragged ? 12 : 5), '0') + std::to_string(rng() % 10);
            } else {
                text += std::to_string(rng() % 1000) + "." + std::to_string(rng() % 100000);
            }
        }
        text += chance(odd) ? ends[rng() % (std::size(ends) - (ragged ? 0 : 1))] : "\n";
    }
    return text;
}

// The rows read in stretches on two threads, however small, give the very
// table, report and stream position of the reader on one thread: rows cut
// anywhere, carriage returns and pairs at the cut, rejections in either half
// (the first in the file wins), long tokens, a last row without a line end,
// rows longer than a stretch, tables longer than the reader's block.
TEST(TableReport, StretchesOnTwoThreadsReadTheSame) {
    TempDir dir;
    std::mt19937 rng(11);
    struct Input {
        std::string name, text;
        bool header;
        bool labels = false;
    };
    std::vector<Input> inputs;
    for (int odd : {0, 10, 40}) {
        const std::string rows = RandomRows(rng, 60, 4, odd);
        inputs.push_back({"rows " + std::to_string(odd), rows, false});
        inputs.push_back({"no last line end " + std::to_string(odd), rows.substr(0, rows.find_last_not_of("\r\n ") + 1),
                          false});
        inputs.push_back({"header " + std::to_string(odd), "\xEF\xBB\xBF" "a\tb c\r\n" + rows, true});
        // One short row, two short rows close together, a blank row.
        const size_t a = rows.find('\n', rows.size() / 3) + 1, b = rows.find('\n', rows.size() / 2) + 1;
        inputs.push_back({"short row " + std::to_string(odd), rows.substr(0, b) + "1 2\n" + rows.substr(b), false});
        inputs.push_back({"two short rows " + std::to_string(odd),
                          rows.substr(0, a) + "1\n" + rows.substr(a, b - a) + "1 2 3 4 5\n" + rows.substr(b), false});
        inputs.push_back({"row of blanks " + std::to_string(odd), rows.substr(0, b) + " \t\r\n" + rows.substr(b), false});
        inputs.push_back({"long rows " + std::to_string(odd), RandomRows(rng, 12, 40, odd), false});
        inputs.push_back({"labels " + std::to_string(odd), rows, false, true});
        inputs.push_back({"labels after a header " + std::to_string(odd), "a\tb c\n" + rows, true, true});
        inputs.push_back({"last row short, no line end", rows + "1 2 3", false});
    }
    inputs.push_back({"words only", "a b\r\nc d\n\ne f\n", false});
    inputs.push_back({"rows without values then a number", "a\nb\nc\n1\n", false});
    const std::string big = RandomRows(rng, 9000, 8, 5, false);
    inputs.push_back({"longer than a block", big, false});
    // Many odd cells and long tokens, so that the ends of the halves and of
    // the reader's block fall right after tokens of 96 to 100 characters.
    inputs.push_back({"longer than a block, many odd cells", RandomRows(rng, 9000, 8, 20, false), false});
    // Row labels with a number ("Day 1000000") on every row, one of them
    // cut by the end of the reader's first block between its number and
    // its tab.
    std::string days = "0 1 2\n";
    for (int k = 0; k < 17000; ++k) days += "Day " + std::to_string(1000000 + k) + "\t1\t2\n";
    inputs.push_back({"labels with a number across a block", days, false});
    inputs.push_back({"longer than a block, short row near the end",
                      big.substr(0, big.rfind('\n', big.size() - 200) + 1) + "4\n" + big, false});

    int stretched = 0;
    for (const Input &input : inputs) {
        SCOPED_TRACE(input.name);
        const std::string path = dir.file("in");
        WriteFile(path, input.text);
        const bool big = input.text.size() > 100000;
        std::FILE *f = std::fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr);
        const Outcome reported = ReadInStretches(f, input.header, true, 0, input.labels);
        std::fclose(f);
        // The long input is read whole, block after block.
        if (big && input.name == "longer than a block") {
            EXPECT_EQ(reported.lines, 9000);
        }
        if (input.name == "labels with a number across a block") {
            EXPECT_EQ(reported.report.labelLikeFields, 17000);
        }
        for (const bool reporting : {true, false}) {
            // Without the report, an input without any number ends the
            // process, and a header is a row like any other.
            if (!reporting && reported.report.noValues) continue;
            Outcome alone = reported;
            if (!reporting) {
                f = std::fopen(path.c_str(), "r");
                alone = ReadInStretches(f, input.header, false, 0, input.labels);
                std::fclose(f);
            }
            std::vector<int64_t> sizes;
            if (big) {
                // The last grows the reader's block, and reads the next one
                // while a stretch is read.
                sizes = {4096, 5000, 65536, 300000};
            } else {
                for (int64_t s = 16; s < 600; s += 23) sizes.push_back(s);
            }
            for (const int64_t size : sizes) {
                SCOPED_TRACE("stretch " + std::to_string(size) + (reporting ? ", report" : ""));
                f = std::fopen(path.c_str(), "r");
                const Outcome split = ReadInStretches(f, input.header, reporting, size, input.labels);
                std::fclose(f);
                ExpectSame(split, alone);
                ++stretched;
            }
        }
    }
    EXPECT_GT(stretched, 500);

    // Through a pipe, which cannot seek back: the same table and report.
    const std::string path = dir.file("in");
    WriteFile(path, big);
    std::FILE *f = std::fopen(path.c_str(), "r");
    const Outcome alone = ReadInStretches(f, false, true, 0);
    std::fclose(f);
    std::FILE *pipe = popen(("cat '" + path + "'").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    Outcome piped = ReadInStretches(pipe, false, true, 4096);
    pclose(pipe);
    piped.position = alone.position;
    ExpectSame(piped, alone);
}


// A ragged table's reason names the line that differs from most lines, on
// one thread and in stretches alike, and the words skipped on it; line 1 as
// the odd one keeps its hint of a header.
TEST(TableReport, RaggedTablesNameTheOddLine) {
    TempDir dir;
    std::string many;
    for (int k = 0; k < 40; ++k) many += "1 2 3\n";
    const struct {
        const char *name;
        std::string text;
        bool header;
        std::string reason;
    } cases[] = {
        {"a header", "a b c\n0 1 5\n0 0 0\n", false,
         "line 2 has 3 values, line 1 has 0: is line 1 a header? try --header"},
        {"a later line short", "1 2\n3 4\n5 NA\n7 8\n", false,
         "line 3 has 1 value, most lines have 2: every row must hold the same number of values; words skipped on "
         "line 3: NA"},
        {"line 2 short, the rest like line 1", "1 2 3\n4 NA 5\n6 7 8\n9 9 9\n", false,
         "line 2 has 2 values, most lines have 3: every row must hold the same number of values; words skipped on "
         "line 2: NA"},
        {"line 1 the odd one", "x 1 2 3\n4 5\n6 7\n8 9\n", false,
         "line 1 has 3 values, most lines have 2: every row must hold the same number of values; words skipped on "
         "line 1: x"},
        {"a blank line", "1 2\n \n3 4\n", false,
         "line 2 has 0 values, most lines have 2: line 2 holds no number (only blanks or words)"},
        {"a row of words after the header", "a b\nn/a NA\n1 2\n3 4\n", true,
         "line 2 has 0 values, most lines have 2: line 2 holds no number (only blanks or words); words skipped on "
         "line 2: n/a, NA"},
        {"two rows: both named", "0 1 5\n0 NA 0\n", false,
         "line 2 has 2 values, line 1 has 3: every row must hold the same number of values; words skipped on line "
         "2: NA"},
        {"as many rows of each", "1 2\n3 4 5\n6 7 8\n9 9\n", false,
         "line 2 has 3 values, line 1 has 2: every row must hold the same number of values"},
        {"far down a long table", many + "1 2\n" + many, false,
         "line 41 has 2 values, most lines have 3: every row must hold the same number of values"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("in");
        WriteFile(path, c.text);
        for (const int64_t size : {int64_t{0}, int64_t{40}, int64_t{100}}) {
            SCOPED_TRACE("stretch " + std::to_string(size));
            std::FILE *f = std::fopen(path.c_str(), "r");
            ASSERT_NE(f, nullptr);
            const Outcome o = ReadInStretches(f, c.header, true, size);
            std::fclose(f);
            EXPECT_FALSE(o.table);
            EXPECT_EQ(RejectionReason(o.report), c.reason);
        }
    }
}

}  // namespace
