// --rows of dendro-min and dendro-variance (their lines are the objects:
// the same merges as for the transposed table), and the parsing of the
// options a program adds to the common ones.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "process.h"
#include "random_tables.h"

namespace {

OwnedTable Transposed(const OwnedTable &table) {
    OwnedTable t;
    t.lines = table.columns;
    t.columns = table.lines;
    t.cells.resize(table.cells.size());
    for (int32_t l = 0; l < table.lines; ++l)
        for (int32_t c = 0; c < table.columns; ++c) t.cells[c * t.columns + l] = table.cells[l * table.columns + c];
    return t;
}

TEST(RowsOption, MergesOfTheTransposedTable) {
    std::mt19937 rng(23);
    TempDir dir;
    for (int round = 0; round < 12; ++round) {
        const OwnedTable table = RandomTable(rng, kAllFlavours[round % 5], 24, 9);
        WriteFile(dir.file("table"), TableText(table));
        WriteFile(dir.file("transposed"), TableText(Transposed(table)));
        for (const char *program : {DENDRO_MIN_PATH, DENDRO_VARIANCE_PATH}) {
            const ProgramResult rows = RunProgram(program, {"--rows", dir.file("transposed"), "-"});
            const ProgramResult columns = RunProgram(program, {dir.file("table"), "-"});
            EXPECT_EQ(rows.status, columns.status) << program << " round " << round;
            EXPECT_EQ(rows.out, columns.out) << program << " round " << round;
        }
    }
}

TEST(RowsOption, LineNamesAreSkippedAndTheCapCountsLines) {
    const ProgramResult named = RunProgram(DENDRO_MIN_PATH, {"--rows", "-", "-"}, WithInput("a 0 0\nb 0 1\nc 5 0\n"));
    EXPECT_EQ(named.status, 0);
    EXPECT_EQ(named.out, "NODE0\tLEAF1\tLEAF0\t1.000000\nNODE1\tLEAF2\tNODE0\t5.000000\n");
    std::string tall;
    for (int line = 0; line < 32769; ++line) tall += std::to_string(line % 7) + "\n";
    const ProgramResult capped = RunProgram(DENDRO_MIN_PATH, {"--rows", "-", "-"}, WithInput(tall));
    EXPECT_EQ(capped.status, 255);
    EXPECT_NE(capped.err.find("32769 lines; at most 32768 can be clustered"), std::string::npos) << capped.err;
}

TEST(ProgramOptions, FlagsAndValues) {
    const std::vector<ProgramOption> options = {{"--rows", nullptr, ""}, {"--linkage", "METHOD", ""}};
    struct Case {
        std::vector<const char *> argv;
        std::vector<std::pair<std::string, std::string>> given;
        std::string error;
    } cases[] = {
        {{"p", "--rows", "--linkage", "ward", "in", "out"}, {{"--rows", ""}, {"--linkage", "ward"}}, ""},
        {{"p", "--linkage=single", "--linkage", "--rows", "in", "out"},
         {{"--linkage", "single"}, {"--linkage", "--rows"}}, ""},
        {{"p", "--linkage"}, {}, "the option --linkage needs a value (METHOD, try --help)"},
        {{"p", "--rows=1", "in", "out"}, {},
         "unknown option '--rows=1' (try --help; a file name beginning with '-' follows --)"},
        {{"p", "--", "--rows", "out"}, {}, ""},
    };
    for (const Case &c : cases) {
        const CommandLine line = ParseCommandLine(static_cast<int>(c.argv.size()), c.argv.data(), options);
        EXPECT_EQ(line.error, c.error);
        EXPECT_EQ(line.given, c.given);
    }
    // A program without the option does not take it.
    const char *argv[] = {"p", "--rows", "in", "out"};
    EXPECT_NE(ParseCommandLine(4, argv).error, "");
}

}  // namespace
