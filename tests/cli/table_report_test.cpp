// The reader's report: it must not change the table read, and it must place
// what it reports on the lines an editor shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "process.h"
#include "table.h"
#include "table_report.h"

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

}  // namespace
