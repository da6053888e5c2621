// The dendrogram and names readers: what they accept and how they point at
// what is wrong.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "dendrogram_file.h"
#include "leaf_names.h"
#include "process.h"

namespace {

struct BrokenFile {
    const char *what;
    std::string text;
    std::size_t line;
    const char *message;  // part of the error
};

void PrintTo(const BrokenFile &c, std::ostream *os) { *os << c.what; }

class BrokenDendrogram : public testing::TestWithParam<BrokenFile> {};

TEST_P(BrokenDendrogram, IsRejectedNamingTheLine) {
    const BrokenFile &c = GetParam();
    const DendrogramParse parsed = ParseDendrogram(c.text);
    ASSERT_FALSE(parsed.ok()) << c.what;
    EXPECT_EQ(parsed.errorLine, c.line) << parsed.error;
    EXPECT_EQ(parsed.error.rfind("line " + std::to_string(c.line) + ": ", 0), 0u) << parsed.error;
    EXPECT_NE(parsed.error.find(c.message), std::string::npos) << parsed.error;
    EXPECT_TRUE(parsed.tree.merges.empty()) << "no partial tree on failure";
}

// A valid three-line file to break in various ways.
const std::string kHead = "NODE0\tLEAF1\tLEAF0\t1.000000\nNODE1\tLEAF3\tLEAF2\t2.000000\n";

INSTANTIATE_TEST_SUITE_P(
    TreeReader, BrokenDendrogram,
    testing::Values(
        BrokenFile{"node used twice", kHead + "NODE2\tNODE0\tNODE0\t3.000000\n", 3,
                   "NODE0 is used a second time (already used on this line)"},
        BrokenFile{"node used on two lines",
                   "NODE0\tLEAF1\tLEAF0\t1\nNODE1\tLEAF2\tNODE0\t2\nNODE2\tLEAF3\tNODE0\t3\n", 3,
                   "NODE0 is used a second time (already used on line 2)"},
        BrokenFile{"leaf used twice", "NODE0\tLEAF1\tLEAF0\t1\nNODE1\tLEAF1\tNODE0\t2\n", 2,
                   "LEAF1 is used a second time (already used on line 1)"},
        BrokenFile{"forward reference", "NODE0\tLEAF1\tNODE1\t1\nNODE1\tLEAF2\tLEAF0\t2\n", 1,
                   "NODE1 refers to a later line"},
        BrokenFile{"node of its own line", kHead + "NODE2\tNODE2\tNODE0\t3\n", 3,
                   "NODE2 refers to the node of this very line"},
        BrokenFile{"missing leaf", "NODE0\tLEAF1\tLEAF0\t1\nNODE1\tLEAF3\tNODE0\t2\n", 2,
                   "LEAF3 is out of range: 2 lines join 3 leaves, LEAF0 to LEAF2"},
        BrokenFile{"huge leaf number", "NODE0\tLEAF1\tLEAF99999999999999999999999\t1\n", 1, "is out of range"},
        BrokenFile{"line lost in the middle", "NODE0\tLEAF1\tLEAF0\t1\nNODE2\tLEAF2\tNODE0\t2\n", 2,
                   "found 'NODE2' where NODE1 was expected"},
        BrokenFile{"numbering not from 0", "NODE1\tLEAF1\tLEAF0\t1\n", 1, "where NODE0 was expected"},
        BrokenFile{"line not starting with a node", "LEAF0\tLEAF1\tLEAF0\t1\n", 1, "must start with NODE0"},
        BrokenFile{"lower-case child", "NODE0\tleaf1\tLEAF0\t1\n", 1, "first child 'leaf1' is neither"},
        BrokenFile{"signed child", "NODE0\tLEAF1\tLEAF-0\t1\n", 1, "second child 'LEAF-0' is neither"},
        BrokenFile{"child without number", "NODE0\tLEAF\tLEAF0\t1\n", 1, "first child 'LEAF' is neither"},
        BrokenFile{"word value", "NODE0\tLEAF1\tLEAF0\tabc\n", 1, "value 'abc' is not a number"},
        BrokenFile{"empty value", "NODE0\tLEAF1\tLEAF0\t\n", 1, "value '' is not a number"},
        BrokenFile{"decimal comma", "NODE0\tLEAF1\tLEAF0\t1,5\n", 1, "value '1,5' is not a number"},
        BrokenFile{"trailing garbage", "NODE0\tLEAF1\tLEAF0\t1.0x\n", 1, "value '1.0x' is not a number"},
        BrokenFile{"leading blank", "NODE0\tLEAF1\tLEAF0\t 1.0\n", 1, "is not a number"},
        BrokenFile{"hexadecimal", "NODE0\tLEAF1\tLEAF0\t0x10\n", 1, "is not a number"},
        BrokenFile{"two signs", "NODE0\tLEAF1\tLEAF0\t+-1\n", 1, "is not a number"},
        BrokenFile{"beyond a double", "NODE0\tLEAF1\tLEAF0\t1e999\n", 1, "is not a number"},
        BrokenFile{"control byte shown escaped", "NODE0\tLEAF1\tLEAF0\t1\x01\n", 1, "'1\\x01' is not a number"},
        BrokenFile{"spaces for tabs", "NODE0 LEAF1 LEAF0 1.000000\n", 1, "separated by tabs"},
        BrokenFile{"extra field", "NODE0\tLEAF1\tLEAF0\t1\t\n", 1, "expected 4 tab-separated fields"},
        BrokenFile{"missing field", "NODE0\tLEAF1\t1\n", 1, "found 3"},
        BrokenFile{"blank line at the end", "NODE0\tLEAF1\tLEAF0\t1\n\n", 2, "empty line"},
        BrokenFile{"cut short", kHead + "NODE2\tNODE1\tNODE0\t3.00", 3, "file looks cut short"}));

struct GoodValue {
    const char *text;
    double value;
    int decimals;
};

void PrintTo(const GoodValue &c, std::ostream *os) { *os << c.text; }

class AcceptedValue : public testing::TestWithParam<GoodValue> {};

TEST_P(AcceptedValue, IsRead) {
    const GoodValue &c = GetParam();
    const DendrogramParse parsed = ParseDendrogram(std::string("NODE0\tLEAF1\tLEAF0\t") + c.text + "\n");
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    ASSERT_EQ(parsed.tree.merges.size(), 1u);
    const double value = parsed.tree.merges[0].value;
    if (std::isnan(c.value))
        EXPECT_TRUE(std::isnan(value)) << c.text;
    else
        EXPECT_EQ(value, c.value) << c.text;
    EXPECT_EQ(parsed.tree.merges[0].decimals, c.decimals) << c.text;
}

INSTANTIATE_TEST_SUITE_P(TreeReader, AcceptedValue,
                         testing::Values(GoodValue{"1.000000", 1.0, 6}, GoodValue{"0.245764", 0.245764, 6},
                                         GoodValue{"-2.5", -2.5, 1}, GoodValue{"+2.5", 2.5, 1},
                                         GoodValue{"12", 12.0, 0}, GoodValue{"1e-3", 0.001, 3},
                                         GoodValue{"1.50000002e-05", 1.50000002e-05, 13},
                                         GoodValue{"1.5E+20", 1.5e20, 0}, GoodValue{"4", 4.0, 0},
                                         GoodValue{"0.333333343", 0.333333343, 9},
                                         GoodValue{"inf", INFINITY, -1}, GoodValue{"-inf", -INFINITY, -1},
                                         GoodValue{"nan", NAN, -1}, GoodValue{"-nan", NAN, -1},
                                         GoodValue{"99999997952.000000", 99999997952.0, 6}));

TEST(TreeReader, ReadsTheStructure) {
    const DendrogramParse parsed =
        ParseDendrogram("NODE0\tLEAF1\tLEAF0\t1.000000\r\nNODE1\tLEAF2\tNODE0\t4.000000\r\n");
    ASSERT_TRUE(parsed.ok()) << parsed.error;  // carriage returns tolerated
    EXPECT_EQ(parsed.tree.leafCount, 3u);
    ASSERT_EQ(parsed.tree.merges.size(), 2u);
    const DendrogramMerge &last = parsed.tree.merges[1];
    EXPECT_TRUE(last.first.isLeaf);
    EXPECT_EQ(last.first.index, 2u);
    EXPECT_FALSE(last.second.isLeaf);
    EXPECT_EQ(last.second.index, 0u);
    EXPECT_EQ(last.value, 4.0);
}

TEST(TreeReader, EmptyFileIsOneColumn) {
    const DendrogramParse parsed = ParseDendrogram("");
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed.tree.leafCount, 1u);
    EXPECT_TRUE(parsed.tree.merges.empty());
}

struct NamesCase {
    const char *what;
    std::string text;
    std::size_t columns;
    std::vector<std::string> names;  // expected, when accepted
    std::size_t line;                // error line (0: about the whole file)
    const char *message;             // nullptr when accepted
};

void PrintTo(const NamesCase &c, std::ostream *os) { *os << c.what; }

class Names : public testing::TestWithParam<NamesCase> {};

TEST_P(Names, AreReadOrRejected) {
    const NamesCase &c = GetParam();
    const LabelsParse parsed = ParseLabels(c.text, c.columns);
    if (c.message == nullptr) {
        ASSERT_TRUE(parsed.ok()) << c.what << ": " << parsed.error;
        EXPECT_EQ(parsed.labels, c.names) << c.what;
    } else {
        ASSERT_FALSE(parsed.ok()) << c.what;
        EXPECT_EQ(parsed.errorLine, c.line) << parsed.error;
        EXPECT_NE(parsed.error.find(c.message), std::string::npos) << parsed.error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    TreeReader, Names,
    testing::Values(
        NamesCase{"plain", "alpha\nbeta gamma\n", 2, {"alpha", "beta gamma"}, 0, nullptr},
        NamesCase{"no final line feed", "a\nb", 2, {"a", "b"}, 0, nullptr},
        NamesCase{"blanks around names", "  a b \t\n\tc \n", 2, {"a b", "c"}, 0, nullptr},
        NamesCase{"only blanks", "a\n \t \nb\n", 3, {}, 2, "empty name"},
        NamesCase{"empty lines at the end", "a\nb\n\n \r\n", 2, {"a", "b"}, 0, nullptr},
        NamesCase{"a tab inside a name", "a\tb\nc\n", 2, {}, 1, "holds a tab"},
        NamesCase{"a control character", "a\nb\x01\n", 2, {}, 2, "control character 0x01"},
        NamesCase{"windows file", "\xef\xbb\xbf" "a\r\nb\r\n", 2, {"a", "b"}, 0, nullptr},
        NamesCase{"utf-8 and specials", "\xc3\xa9t\xc3\xa9\n<a & 'b'>\n", 2, {"\xc3\xa9t\xc3\xa9", "<a & 'b'>"}, 0, nullptr},
        NamesCase{"too few", "a\n", 2, {}, 0, "1 name for 2 columns"},
        NamesCase{"too many", "a\nb\nc\n", 2, {}, 0, "3 names for 2 columns"},
        NamesCase{"none", "", 1, {}, 0, "0 names for 1 column"},
        NamesCase{"empty line", "a\n\nb\n", 3, {}, 2, "empty name"},
        NamesCase{"latin-1 byte", "a\n\xe9t\xe9\n", 2, {}, 2, "not valid UTF-8"},
        NamesCase{"cut UTF-8 sequence", "a\nb\xc3\n", 2, {}, 2, "not valid UTF-8"},
        NamesCase{"control character", "a\x01\nb\n", 2, {}, 1, "control character"}));

TEST(TreeReader, BlanksAroundNamesAreDroppedWithANote) {
    const LabelsParse quiet = ParseLabels("a\nb c\n", 2);
    ASSERT_TRUE(quiet.ok());
    EXPECT_TRUE(quiet.notes.empty());
    const LabelsParse trimmed = ParseLabels("a\n  b\nc \n", 3);
    ASSERT_TRUE(trimmed.ok()) << trimmed.error;
    EXPECT_EQ(trimmed.labels, (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_EQ(trimmed.notes.size(), 1u);
    EXPECT_EQ(trimmed.notes[0], "blanks around 2 names dropped (first on line 2)");
}

// Names from the first line of the clustered table.
struct HeaderCase {
    const char *what;
    std::string text;
    std::size_t columns;
    std::vector<std::string> names;  // expected, when accepted
    const char *problem;             // part of the error, or of the one note; nullptr for neither
};

void PrintTo(const HeaderCase &c, std::ostream *os) { *os << c.what; }

class HeaderNames : public testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderNames, AreReadOrRejected) {
    const HeaderCase &c = GetParam();
    const LabelsParse parsed = ParseHeaderNames(c.text, c.columns);
    if (c.names.empty()) {
        ASSERT_FALSE(parsed.ok()) << c.what;
        EXPECT_EQ(parsed.errorLine, 1u);
        EXPECT_EQ(parsed.error.rfind("line 1: ", 0), 0u) << parsed.error;
        EXPECT_NE(parsed.error.find(c.problem), std::string::npos) << parsed.error;
        return;
    }
    ASSERT_TRUE(parsed.ok()) << c.what << ": " << parsed.error;
    EXPECT_EQ(parsed.labels, c.names) << c.what;
    if (c.problem == nullptr) {
        EXPECT_TRUE(parsed.notes.empty()) << parsed.notes[0];
    } else {
        ASSERT_EQ(parsed.notes.size(), 1u);
        EXPECT_NE(parsed.notes[0].find(c.problem), std::string::npos) << parsed.notes[0];
    }
}

INSTANTIATE_TEST_SUITE_P(
    TreeReader, HeaderNames,
    testing::Values(
        HeaderCase{"blanks", "a b c\n1 2 3\n", 3, {"a", "b", "c"}, nullptr},
        HeaderCase{"blanks and semicolons in runs", "  a;; b ;c \r\n1 2 3\n", 3, {"a", "b", "c"}, nullptr},
        HeaderCase{"row-label heading dropped", "id a b c\nr1 1 2 3\n", 3, {"a", "b", "c"}, nullptr},
        HeaderCase{"tabs keep blanks inside names", "first col\tsecond; col\n1\t2\n", 2, {"first col", "second; col"}, nullptr},
        HeaderCase{"empty heading before a tab", "\ta\tb\n", 2, {"a", "b"}, nullptr},
        HeaderCase{"only the first line is read", "a b\nc d e f\n", 2, {"a", "b"}, nullptr},
        HeaderCase{"carriage return ends the line", "a b\rx y z\r", 2, {"a", "b"}, nullptr},
        HeaderCase{"byte-order mark", "\xef\xbb\xbf" "a\tb\n", 2, {"a", "b"}, nullptr},
        HeaderCase{"no line end", "a b", 2, {"a", "b"}, nullptr},
        HeaderCase{"blanks around a tab-separated name", "a \t b\n", 2, {"a", "b"}, "blanks around 2 names"},
        HeaderCase{"numbers only", "1 2,5 3\n", 3, {"1", "2,5", "3"}, "every name on line 1 is a number"},
        HeaderCase{"years are names too", "year 2019 2020\n", 2, {"2019", "2020"}, "is a number"},
        HeaderCase{"too few", "a b\n", 3, {}, "2 names (split on blanks and semicolons) for 3 columns: expected 3, or 4"},
        HeaderCase{"too many", "a\tb\tc\td\n", 2, {}, "4 names (split on tabs) for 2 columns"},
        HeaderCase{"empty line", "\n1 2\n", 2, {}, "0 names"},
        HeaderCase{"empty file", "", 1, {}, "0 names (split on blanks and semicolons) for 1 column"},
        HeaderCase{"empty name between tabs", "a\t\tc\n", 3, {}, "name 2 (word 2, split on tabs): empty name"},
        HeaderCase{"trailing tab", "a\tb\t\n", 2, {}, "name 2 (word 3, split on tabs): empty name"},
        HeaderCase{"not UTF-8", "a \xe9\n", 2, {}, "not valid UTF-8"},
        HeaderCase{"control character", "a b\x01\n", 2, {}, "control character"}));

TEST(TreeFileWriting, ReplacesOnlyOnceWrittenAndLeavesNothingBehind) {
    TempDir dir;
    const std::string target = dir.file("out.svg");
    WriteFile(target, "old");
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(target, "new contents", error)) << error;
    EXPECT_EQ(ReadFile(target), "new contents");
    std::size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1u) << "a temporary file was left behind";

    EXPECT_FALSE(WriteFileAtomically(dir.file("missing/out.svg"), "x", error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(FileExists(dir.file("missing")));
}

TEST(TreeFileReading, NamesTheReason) {
    TempDir dir;
    std::string contents, error;
    EXPECT_FALSE(ReadWholeFile(dir.file("absent"), contents, error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_FALSE(ReadWholeFile(dir.path(), contents, error)) << "a folder is not a file";
    WriteFile(dir.file("f"), std::string("a\0b", 3));
    ASSERT_TRUE(ReadWholeFile(dir.file("f"), contents, error)) << error;
    EXPECT_EQ(contents, std::string("a\0b", 3));
}

}  // namespace
