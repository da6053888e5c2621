// The command line of both programs as a user meets it: options, the
// standard streams, whole file names, an output that is never lost, the
// reasons and warnings on standard error, and the progress line.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "process.h"

namespace {

const std::string kUsage =
    "Erreur de lecture des arguments \nformat: <nom fichier ditances> <nom fichier de sortie voisins> <nom fichier "
    "de sortie distibution>\n";
const std::string kRead = "Probleme a la lecture d'un des fichiers\n";
const std::string kWrite = "Probleme a l'ecriture d'un des fichiers\n";

struct Program {
    std::string name, path, merges, preciseMerges;
};
// The merges of kTable, and the precise ones of kSmallTable.
const Program kPrograms[] = {
    {"dendro-min", DENDRO_MIN_PATH, "NODE0\tLEAF1\tLEAF0\t1.000000\nNODE1\tLEAF2\tNODE0\t4.000000\n",
     "NODE0\tLEAF1\tLEAF0\t1.49999996e-05\nNODE1\tLEAF2\tNODE0\t5.10000027e-05\n"},
    {"dendro-variance", DENDRO_VARIANCE_PATH, "NODE0\tLEAF1\tLEAF0\t0.500000\nNODE1\tLEAF2\tNODE0\t2.000000\n",
     "NODE0\tLEAF1\tLEAF0\t7.49999981e-06\nNODE1\tLEAF2\tNODE0\t2.59999997e-05\n"},
};
const std::string kTable = "0 1 5\n0 0 0\n";
const std::string kSmallTable = "0 0.000015 0.000066\n";

// "{merges}", "{precise}", "{prog}" and "{version}" stand for the program's.
std::string Expand(std::string text, const Program &p) {
    const std::pair<std::string, std::string> names[] = {
        {"{merges}", p.merges}, {"{precise}", p.preciseMerges}, {"{prog}", p.name}, {"{version}", DENDRO_VERSION}};
    for (const auto &[from, to] : names)
        for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
    return text;
}

// The names in a folder (its dot files included), sorted.
std::vector<std::string> Names(const std::string &folder) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

using Files = std::vector<std::pair<std::string, std::string>>;
using FilesAfter = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct Case {
    const char *name;
    std::vector<std::string> args;  // run in the case's folder
    Files files;                    // written there first
    std::string input;              // standard input
    int status;
    std::string out;     // standard output, exactly; "^text": beginning with text
    std::string errHas;  // a piece of standard error; "" when it must be empty
    FilesAfter after;    // what these files hold afterwards (nullopt: absent)
};

// Runs each case on both programs in a fresh folder. Besides the files named,
// the folder must hold no other file afterwards than those written first
// and those expected: no temporary file is ever left behind.
void RunCases(const std::vector<Case> &cases, const RunSettings &base = {}) {
    for (const Program &p : kPrograms)
        for (const Case &c : cases) {
            SCOPED_TRACE(p.name + ": " + c.name);
            TempDir dir;
            for (const auto &[name, contents] : c.files) WriteFile(dir.file(name), Expand(contents, p));
            RunSettings settings = base;
            settings.directory = dir.path();
            settings.input = c.input;
            std::vector<std::string> args;
            for (const std::string &a : c.args) args.push_back(Expand(a, p));
            const ProgramResult r = RunProgram(p.path, args, settings);
            EXPECT_EQ(r.status, c.status);
            if (c.out.rfind('^', 0) == 0) {
                EXPECT_EQ(r.out.rfind(Expand(c.out.substr(1), p), 0), 0u) << r.out;
            } else {
                EXPECT_EQ(r.out, Expand(c.out, p));
            }
            if (c.errHas.empty()) {
                EXPECT_EQ(r.err, "");
            } else {
                EXPECT_NE(r.err.find(Expand(c.errHas, p)), std::string::npos) << r.err;
            }
            std::vector<std::string> expectedNames;
            for (const auto &[name, contents] : c.files) expectedNames.push_back(name);
            for (const auto &[name, contents] : c.after) {
                if (!contents) {
                    EXPECT_FALSE(FileExists(dir.file(name))) << name;
                    continue;
                }
                expectedNames.push_back(name);
                ASSERT_TRUE(FileExists(dir.file(name))) << name;
                EXPECT_EQ(ReadFile(dir.file(name)), Expand(*contents, p)) << name;
            }
            std::sort(expectedNames.begin(), expectedNames.end());
            expectedNames.erase(std::unique(expectedNames.begin(), expectedNames.end()), expectedNames.end());
            EXPECT_EQ(Names(dir.path()), expectedNames);
        }
}

TEST(CommandLine, OptionsNamesAndStreams) {
    const std::optional<std::string> absent;
    RunCases({
        {"--help", {"--help"}, {}, "", 0, "^Usage: {prog} [OPTION]... INPUT OUTPUT\n", "", {}},
        {"--version", {"--version"}, {}, "", 0, "{prog} {version}\n", "", {}},
        {"-h after an option", {"--precise", "-h"}, {}, "", 0, "^Usage: {prog} ", "", {}},
        {"unknown option", {"-x", "in", "out"}, {{"in", kTable}}, "", 255, kUsage, "unknown option '-x'",
         {{"out", absent}}},
        {"option after --", {"--", "-x", "out"}, {{"-x", kTable}}, "", 0, "", "", {{"out", "{merges}"}}},
        {"no file name", {}, {}, "", 255, kUsage, "{prog}: the names of the input and output files are missing", {}},
        {"one file name", {"in"}, {{"in", kTable}}, "", 255, kUsage, "the name of the output file is missing", {}},
        {"options only", {"--precise", "--header"}, {}, "", 255, kUsage, "are missing", {}},
        {"blank output name", {"in", " \t "}, {{"in", kTable}}, "", 255, kUsage, "output file is empty", {}},
        {"blank input name", {"", "out"}, {}, "", 255, kUsage, "input file is empty", {{"out", absent}}},
        {"names with blanks are whole", {" in copy.txt ", "res copy.dendro\t"}, {{"in copy.txt", kTable}, {"res", "r\n"}},
         "", 0, "", "", {{"res copy.dendro", "{merges}"}, {"res", "r\n"}}},
        {"options after the names", {"in", "out", "--precise"}, {{"in", kSmallTable}}, "", 0, "", "",
         {{"out", "{precise}"}}},
        {"options between the names", {"in", "--header", "out"}, {{"in", "a b c\n" + kTable}}, "", 0, "", "",
         {{"out", "{merges}"}}},
        {"-- ends the options after the names too", {"in", "--", "--precise"}, {{"in", kTable}}, "", 0, "", "",
         {{"--precise", "{merges}"}}},
        {"extra file name", {"in", "out", "more"}, {{"in", kTable}}, "", 0, "",
         "warning: the argument 'more' after the two file names is ignored\n", {{"out", "{merges}"}}},
        {"standard input", {"-", "out"}, {}, kTable, 0, "", "", {{"out", "{merges}"}, {"-", absent}}},
        {"standard output", {"in", "-"}, {{"in", kTable}}, "", 0, "{merges}", "", {{"-", absent}}},
        {"both streams, precise", {"--precise", "-", "-"}, {}, kSmallTable, 0, "{precise}", "", {}},
        {"precise file", {"--precise", "in", "out"}, {{"in", kSmallTable}}, "", 0, "", "", {{"out", "{precise}"}}},
        {"failure with the lines on standard output", {"-", "-"}, {}, "1 2\n3\n", 255, "",
         "Probleme a la lecture d'un des fichiers\n{prog}: standard input: ", {}},
        {"missing input", {"none", "out"}, {}, "", 255, kRead, "{prog}: none: cannot be opened: No such file",
         {{"out", absent}}},
        {"device output", {"in", "/dev/null"}, {{"in", kTable}}, "", 0, "", "", {}},
        {"output is a folder", {"in", "."}, {{"in", kTable}}, "", 255, kWrite, "{prog}: .: is a folder", {}},
        {"output in a missing folder", {"in", "none/out"}, {{"in", kTable}}, "", 255, kWrite,
         "none/out: cannot be created: No such file", {{"none", absent}}},
    });
}

// A delay for the progress line that is not a number of seconds is
// reported, not silently taken as another.
TEST(CommandLine, MalformedProgressDelayIsReported) {
    for (const char *delay : {"abc", "2s", "-1", "nan", ""}) {
        SCOPED_TRACE(delay);
        RunSettings settings;
        settings.environment = {{"DENDRO_PROGRESS_DELAY", delay}};
        RunCases({{"malformed delay", {"in", "out"}, {{"in", kTable}}, "", 0, "",
                   "warning: DENDRO_PROGRESS_DELAY='" + std::string(delay) + "' is not a number of seconds",
                   {{"out", "{merges}"}}}},
                 settings);
    }
    RunSettings settings;
    settings.environment = {{"DENDRO_PROGRESS_DELAY", "0.5"}};
    RunCases({{"a delay", {"in", "out"}, {{"in", kTable}}, "", 0, "", "", {{"out", "{merges}"}}}}, settings);
}

// The reasons for a rejected table and the warnings about one that looks
// wrong; lines numbered as an editor shows them.
TEST(CommandLine, ReasonsAndWarningsAboutTheTable) {
    const std::optional<std::string> absent;
    const std::string kMemory = "Probleme d'allocation memoire\n";
    std::string wide;
    for (int c = 0; c < 32769; ++c) wide += "1 ";
    wide += '\n';
    RunCases({
        {"header", {"in", "out"}, {{"in", "a b c\n" + kTable}}, "", 255, kRead,
         "{prog}: in: line 2 has 3 values, line 1 has 0: is line 1 a header? try --header\n", {{"out", absent}}},
        {"--header", {"--header", "in", "out"}, {{"in", "a b c\n" + kTable}}, "", 0, "", "", {{"out", "{merges}"}}},
        {"--header with row labels, names on tabs", {"--header", "-", "-"}, {},
         "gene\tfirst name\tsecond\tthird\nx 0 1 5\ny 0 0 0\n", 0, "{merges}", "", {}},
        {"--header with a name short", {"--header", "-", "-"}, {}, "a b\n" + kTable, 0, "{merges}",
         "warning: standard input: the header holds 2 names for 3 columns, and the first column holds only whole "
         "numbers: if they are row labels, give --labels\n", {}},
        {"--header drops a byte-order mark", {"--header", "-", "-"}, {}, "\xEF\xBB\xBF" "a b c\n" + kTable, 0, "{merges}",
         "warning: standard input: the input begins with a UTF-8 byte-order mark, skipped\n", {}},
        {"--header and nothing else", {"--header", "in", "out"}, {{"in", "a b c\n\n"}}, "", 255, kMemory,
         "in: no row follows the header", {{"out", absent}}},
        {"CR LF and CR line ends", {"in", "out"}, {{"in", "1 2\r\n\r\n3 4\r\r5\n"}}, "", 255, kRead,
         "in: line 5 has 1 value, most lines have 2: every row must hold the same number of values", {}},
        {"blank line", {"in", "out"}, {{"in", "1 2\n \n3 4\n"}}, "", 255, kRead,
         "in: line 2 has 0 values, most lines have 2: line 2 holds no number (only blanks or words)", {}},
        {"words only", {"in", "out"}, {{"in", "a b\nc d\n"}}, "", 255, kMemory, "in: no number found in 2 rows", {}},
        {"empty input", {"-", "out"}, {}, "", 255, kMemory, "standard input: the input holds no row", {}},
        {"partial tokens warned", {"-", "-"}, {}, "0 1 5x\n\n0 0 0_s_at\n", 0, "{merges}",
         "warning: standard input: 2 tokens were only partly a number, the first \"5x\" on line 1, read as 5\n", {}},
        {"a label that is partly a number", {"-", "/dev/null"}, {}, "1007_s_at 0 1 5\n", 0, "",
         "the first \"1007_s_at\" on line 1, read as 1007\n", {}},
        {"byte-order mark before a number", {"in", "-"}, {{"in", "\xEF\xBB\xBF" "0 1 5\n0 0 0\n"}}, "", 0, "{merges}",
         "warning: in: the input begins with a UTF-8 byte-order mark, skipped\n", {}},
        {"byte-order mark before a label", {"in", "-"}, {{"in", "\xEF\xBB\xBFx 0 1 5\ny 0 0 0\n"}}, "", 0, "{merges}",
         "warning: in: the input begins with a UTF-8 byte-order mark, skipped\n", {}},
        {"comma-separated", {"in", "out"}, {{"in", "1,2\n3,4\n"}}, "", 0, "", "line 1 holds commas", {{"out", ""}}},
        {"decimal commas in columns", {"in", "out"}, {{"in", "0 1,0 5,0\n0 0 0\n"}}, "", 0, "", "",
         {{"out", "{merges}"}}},
        {"too many columns", {"in", "out"}, {{"in", wide}, {"out", "previous\n"}}, "", 255, kMemory,
         "in: 32769 columns; at most 32768 can be clustered", {{"out", "previous\n"}}},
    });
}

// Tables that read without a fault but not as meant: row labels, missing
// cells, values beyond single precision, over-long tokens. Each gives a
// warning that says what happened and what to do; --labels reads the
// tables with row labels as meant.
TEST(CommandLine, TablesReadOtherwiseThanMeantAreWarnedOf) {
    const std::string tiny = "0 0.00000001 0.00000003\n";
    std::string longToken(150, '1');
    RunCases({
        {"missing cells written NA", {"-", "-"}, {}, "1 NA 3\nNA 2 3\n5 5 NA\n", 0, "^NODE0\t",
         "warning: standard input: line 1: the word \"NA\" after a number was skipped, so the values after it moved "
         "one column left (2 such words in all); this program needs a number in every cell, dendro-cluster takes "
         "missing cells\n", {}},
        {"empty cells between tabs", {"-", "-"}, {}, "0\t\t1\t5\n0\t\t0\t0\n", 0, "{merges}",
         "warning: standard input: line 1: an empty cell between two tabs was skipped, so the values after it moved "
         "left (2 empty cells in all)", {}},
        {"a label with a number", {"-", "-"}, {}, "Day 1\t0\t1\nDay 2\t0\t0\n", 0, "^NODE0\t",
         "warning: standard input: line 1: the first tab-separated field \"Day 1\" holds a word and a number, and "
         "the number was read as a value: if the first field is a row label, give --labels\n", {}},
        {"--labels on tabs", {"-", "-", "--labels"}, {}, "Day 1\t0\t1\t5\nDay 2\t0\t0\t0\n", 0, "{merges}", "",
         {}},
        {"--labels, numbers on blanks", {"--labels", "-", "-"}, {}, "101 0 1 5\n102 0 0 0\n", 0, "{merges}", "", {}},
        {"--labels that are infinities and hexadecimal", {"--labels", "-", "-"}, {}, "Inf;0;1;5\n0x1;0;0;0\n", 0,
         "{merges}", "", {}},
        {"--header --labels, R's layout", {"--header", "--labels", "-", "-"}, {}, "A B C\n101 0 1 5\n102 0 0 0\n", 0,
         "{merges}", "", {}},
        {"--header --labels, pandas' layout", {"--header", "--labels", "-", "-"}, {},
         "\tA\tB\tC\nr 1\t0\t1\t5\nr 2\t0\t0\t0\n", 0, "{merges}", "", {}},
        {"a ragged table names its skipped words", {"-", "-"}, {}, "0 1 5\n0 NA 0\n", 255, "",
         "standard input: line 2 has 2 values, line 1 has 3: every row must hold the same number of values; words "
         "skipped on line 2: NA\n", {}},
        {"values beyond the float squares", {"-", "/dev/null"}, {}, "0 1e20 1\n", 0, "",
         "warning: standard input: the values range from 0 to 1.00000002e+20: differences beyond about 1.8e19 "
         "overflow single precision, so distances become inf; dendro-cluster computes in double precision\n", {}},
        {"values too close for the float squares", {"-", "/dev/null"}, {}, "0 1e-25 2e-25\n", 0, "",
         "the values range from 0 to 2.00000004e-25: differences below about 1.1e-19 lose their precision", {}},
        {"merge values that all print as 0", {"-", "/dev/null"}, {}, tiny, 0, "",
         "warning: every merge value prints as 0.000000 though they are not 0: --precise writes them with nine "
         "significant digits\n", {}},
        {"the same with --precise", {"--precise", "-", "/dev/null"}, {}, tiny, 0, "", "", {}},
        {"a token longer than 100 characters", {"-", "/dev/null"}, {}, longToken + " 2 3\n1 2 3 4\n", 0, "",
         "warning: standard input: line 1: a token longer than 100 characters was read as several values, one for "
         "each piece of 100 (the only such token)\n", {}},
    });
}

// The mistakes that would cost the table itself: the two names swapped
// (the merge lines read as a table of one column, the table replaced), and
// standard input read from the output file.
TEST(CommandLine, TheTableIsNeverLost) {
    const std::string crlfMerges = "NODE0\tLEAF1\tLEAF0\t1.000000\r\nNODE1\tLEAF2\tNODE0\t4.000000\r\n";
    RunCases({
        {"swapped names", {"g.dendro", "genes.tsv"}, {{"g.dendro", "{merges}"}, {"genes.tsv", kTable}}, "", 255, kRead,
         "g.dendro: holds merge lines (its first line is \"NODE0\tLEAF1\tLEAF0\t", {{"genes.tsv", kTable}}},
        {"swapped names, with --header", {"--header", "g.dendro", "genes.tsv"},
         {{"g.dendro", "{merges}"}, {"genes.tsv", kTable}}, "", 255, kRead, "are INPUT and OUTPUT swapped?",
         {{"genes.tsv", kTable}}},
        {"swapped names, Windows line ends and precise values", {"g.dendro", "genes.tsv"},
         {{"g.dendro", crlfMerges}, {"genes.tsv", kTable}}, "", 255, kRead, "are INPUT and OUTPUT swapped?",
         {{"genes.tsv", kTable}}},
        {"merge lines on standard input, after a blank line", {"-", "out"}, {}, "\nNODE0\tLEAF1\tLEAF0\t1e-05\n", 255, kRead,
         "standard input: holds merge lines", {{"out", std::nullopt}}},
        {"a table whose first word is NODE0", {"in", "out"}, {{"in", "NODE0 0 1 5\nNODE1 0 0 0\n"}}, "", 0, "", "",
         {{"out", "{merges}"}}},
        {"a one-column table of NODE lines with blanks", {"in", "out"}, {{"in", "NODE0 LEAF1 LEAF0 1\n"}}, "", 0, "",
         "", {{"out", ""}}},
    });
    for (const Program &p : kPrograms) {
        SCOPED_TRACE(p.name);
        TempDir dir;
        WriteFile(dir.file("in"), kTable);
        ASSERT_EQ(symlink("in", dir.file("link").c_str()), 0);
        // "-" reads the output file itself, by its name or through a link.
        for (const char *output : {"in", "link", "./in"}) {
            const ProgramResult r = RunProgram(
                "/bin/sh", {"-c", "\"$1\" - \"$2\" < \"$3\"", "sh", p.path, dir.file(output), dir.file("in")}, {});
            EXPECT_EQ(r.status, 255) << output;
            EXPECT_EQ(r.out, kWrite);
            EXPECT_NE(r.err.find("is the file standard input reads"), std::string::npos) << r.err;
            EXPECT_EQ(ReadFile(dir.file("in")), kTable);
        }
        // Another file on standard input, and a device as the output, are fine.
        WriteFile(dir.file("copy"), kTable);
        ProgramResult r = RunProgram(
            "/bin/sh", {"-c", "\"$1\" - \"$2\" < \"$3\"", "sh", p.path, dir.file("in"), dir.file("copy")}, {});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(ReadFile(dir.file("in")), p.merges);
        r = RunProgram("/bin/sh", {"-c", "\"$1\" - /dev/null < /dev/null", "sh", p.path}, {});
        EXPECT_EQ(r.out, "Probleme d'allocation memoire\n");
    }
}

TEST(CommandLine, AFailedRunLeavesTheOutputAsItWas) {
    std::string wideTable;  // about 12 KB of merge lines
    for (int c = 0; c < 400; ++c) wideTable += std::to_string(c * 7 % 101) + ' ';
    wideTable += '\n';
    RunCases({
        {"same file", {"in", "in"}, {{"in", kTable}}, "", 255, kWrite, "in: names the input file in", {}},
        {"same file by another spelling", {"in", "./in"}, {{"in", kTable}}, "", 255, kWrite, "names the input file", {}},
        {"ragged table", {"in", "out"}, {{"in", "1 2\n3\n"}, {"out", "previous\n"}}, "", 255, kRead, "in: ",
         {{"out", "previous\n"}}},
        {"no number", {"in", "out"}, {{"in", "a b\n"}, {"out", "previous\n"}}, "", 255,
         "Probleme d'allocation memoire\n", "{prog}: ", {{"out", "previous\n"}}},
        {"success replaces", {"in", "out"}, {{"in", kTable}, {"out", "previous\n"}}, "", 0, "", "",
         {{"out", "{merges}"}}},
    });
    // A disk that fills up while the lines are written: file sizes capped
    // below the whole output.
    RunSettings capped;
    capped.limitFileSize = 4096;
    RunCases({{"full disk", {"in", "out"}, {{"in", wideTable}, {"out", "previous\n"}}, "", 255, kWrite,
               "out: write error: File too large", {{"out", "previous\n"}}}},
             capped);
}

// Links: a hard link and a symbolic link to the input are the input; an
// output that is a symbolic link is followed (the link stays, its target is
// replaced); a replaced file keeps its permissions.
TEST(CommandLine, LinksAndPermissions) {
    for (const Program &p : kPrograms) {
        SCOPED_TRACE(p.name);
        TempDir dir;
        WriteFile(dir.file("in"), kTable);
        ASSERT_EQ(link(dir.file("in").c_str(), dir.file("hard").c_str()), 0);
        ASSERT_EQ(symlink("in", dir.file("soft").c_str()), 0);
        for (const char *other : {"hard", "soft"}) {
            const ProgramResult r = RunProgram(p.path, {dir.file(other), dir.file("in")}, RunSettings{});
            EXPECT_EQ(r.status, 255) << other;
            EXPECT_EQ(r.out, kWrite);
            EXPECT_EQ(ReadFile(dir.file("in")), kTable);
        }
        ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
        WriteFile(dir.file("sub/target"), "old\n");
        ASSERT_EQ(chmod(dir.file("sub/target").c_str(), 0640), 0);
        ASSERT_EQ(symlink("sub/target", dir.file("out").c_str()), 0);
        const ProgramResult r = RunProgram(p.path, {dir.file("in"), dir.file("out")}, RunSettings{});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        struct stat s;
        ASSERT_EQ(lstat(dir.file("out").c_str(), &s), 0);
        EXPECT_TRUE(S_ISLNK(s.st_mode));
        EXPECT_EQ(ReadFile(dir.file("sub/target")), p.merges);
        ASSERT_EQ(stat(dir.file("sub/target").c_str(), &s), 0);
        EXPECT_EQ(s.st_mode & 07777, 0640u);
        EXPECT_EQ(Names(dir.file("sub")), std::vector<std::string>{"target"});
        // A new file gets the usual permissions, as the umask leaves them.
        const mode_t mask = umask(0);
        umask(mask);
        ASSERT_EQ(RunProgram(p.path, {dir.file("in"), dir.file("new")}, RunSettings{}).status, 0);
        ASSERT_EQ(stat(dir.file("new").c_str(), &s), 0);
        EXPECT_EQ(s.st_mode & 07777, 0666u & ~mask);
    }
}

// Permissions as an ordinary user meets them (the superuser may write
// anything, so it runs the programs as "nobody").
TEST(CommandLine, FoldersAndFilesThatMayNotBeWritten) {
    RunSettings settings;
    if (geteuid() == 0) settings.user = 65534;
    const int user = settings.user >= 0 ? settings.user : static_cast<int>(geteuid());
    if (user == 0) GTEST_SKIP() << "no ordinary user to run the programs as";
    // The superuser may write anywhere, so the programs run as an ordinary
    // user; that user must be able to reach them (a build under /root, say,
    // is closed to it).
    for (const Program &p : kPrograms)
        if (settings.user >= 0 && RunProgram(p.path, {"--version"}, settings).status != 0)
            GTEST_SKIP() << "running as root, and user " << user << " cannot run " << LaunchCommand(p.path).back()
                         << " (a folder on its path is closed to others): root may write where this "
                            "check expects a refusal";
    for (const Program &p : kPrograms) {
        SCOPED_TRACE(p.name);
        TempDir dir;
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir.file("locked").c_str(), 0777), 0);
        WriteFile(dir.file("in"), kTable);
        WriteFile(dir.file("locked/out"), "previous\n");
        WriteFile(dir.file("locked/kept"), "kept\n");
        ASSERT_EQ(chmod(dir.file("locked/out").c_str(), 0666), 0);
        ASSERT_EQ(chmod(dir.file("locked/kept").c_str(), 0444), 0);
        ASSERT_EQ(chmod(dir.file("locked").c_str(), 0555), 0);
        // No temporary file can be made in the folder: written in place,
        // once complete, with a note.
        ProgramResult r = RunProgram(p.path, {dir.file("in"), dir.file("locked/out")}, settings);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "note: " + dir.file("locked/out") +
                             ": its folder cannot hold a temporary file, so it is written in place\n");
        EXPECT_EQ(ReadFile(dir.file("locked/out")), p.merges);
        // A file that may not be written is not replaced either.
        ASSERT_EQ(chmod(dir.file("locked").c_str(), 0777), 0);
        r = RunProgram(p.path, {dir.file("in"), dir.file("locked/kept")}, settings);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, kWrite);
        EXPECT_NE(r.err.find("locked/kept: may not be written: Permission denied"), std::string::npos) << r.err;
        EXPECT_EQ(ReadFile(dir.file("locked/kept")), "kept\n");
        EXPECT_EQ(Names(dir.file("locked")), (std::vector<std::string>{"kept", "out"}));
    }
}

// A disk that is really full: a file system of 16 KiB, mounted in a private
// namespace, where the old output takes some room and the new one cannot
// fit. The shell lists the folder and the output afterwards, inside the
// namespace.
TEST(CommandLine, FullFileSystemKeepsTheOldOutput) {
    if (RunProgram("/usr/bin/unshare", {"-rm", "true"}, RunSettings{}).status != 0)
        GTEST_SKIP() << "no private mount namespace here (unshare -rm) to make a small file system in";
    TempDir dir;
    std::string wideTable;
    for (int c = 0; c < 3000; ++c) wideTable += std::to_string(c * 7 % 101) + ' ';
    WriteFile(dir.file("in"), wideTable + "\n");
    ASSERT_EQ(mkdir(dir.file("small").c_str(), 0755), 0);
    const std::string script =
        "mount -t tmpfs -o size=16k tmpfs \"$1\" || exit 99; printf 'previous\\n' > \"$1/out\"; "
        "\"$2\" \"$3\" \"$1/out\"; s=$?; ls -A \"$1\"; cat \"$1/out\"; exit $s";
    for (const Program &p : kPrograms) {
        SCOPED_TRACE(p.name);
        const ProgramResult r = RunProgram("/usr/bin/unshare", {"-rm", "/bin/sh", "-c", script, "sh", dir.file("small"),
                                                               p.path, dir.file("in")},
                                           RunSettings{});
        if (r.status == 99) GTEST_SKIP() << "tmpfs cannot be mounted here: " << r.err;
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, kWrite + "out\nprevious\n");
        EXPECT_NE(r.err.find("out: write error: No space left on device"), std::string::npos) << r.err;
    }
}

// The progress line: never into a pipe, and on a terminal only after the
// delay (set here, so that nothing depends on how fast the machine is).
TEST(Progress, ShownOnATerminalOnlyAndCleared) {
    std::string table;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 300; ++c) table += std::to_string((c * 37 + r * 11) % 53) + ' ';
        table += '\n';
    }
    std::vector<Program> programs(std::begin(kPrograms), std::end(kPrograms));
    programs.push_back(Program{"dendro-cluster", DENDRO_CLUSTER_PATH, "", ""});
    for (const Program &p : programs) {
        SCOPED_TRACE(p.name);
        TempDir dir;
        WriteFile(dir.file("in"), table);
        RunSettings settings;
        settings.environment = {{"DENDRO_PROGRESS_DELAY", "0"}};
        ProgramResult r = RunProgram(p.path, {dir.file("in"), dir.file("piped")}, settings);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");  // a pipe: nothing

        settings.errorOnTerminal = true;
        r = RunProgram(p.path, {dir.file("in"), dir.file("shown")}, settings);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(ReadFile(dir.file("shown")), ReadFile(dir.file("piped")));
        // dendro-cluster's average linkage first measures all pairs.
        const std::string phase = p.name == "dendro-variance" ? "merging" : "distances";
        EXPECT_EQ(r.err.rfind("\r" + p.name + ": " + phase + "   0%  0:00", 0), 0u) << r.err;
        // Cleared at the end: the last thing written is blanks and a return.
        ASSERT_GE(r.err.size(), 2u);
        EXPECT_EQ(r.err.back(), '\r');
        EXPECT_EQ(r.err[r.err.size() - 2], ' ');
        EXPECT_EQ(r.err.find('\n'), std::string::npos) << r.err;

        settings.environment = {{"DENDRO_PROGRESS_DELAY", "3600"}};
        r = RunProgram(p.path, {dir.file("in"), dir.file("quick")}, settings);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");  // a run shorter than the delay
    }
}

}  // namespace

namespace {

// --precise writes the same floats as the default form, with enough digits
// to read each one back exactly: read back and printed with six decimals,
// every value gives the default line, and printed again with nine digits the
// same text.
TEST(CommandLine, PreciseValuesReadBackToTheSameFloats) {
    std::string table;
    unsigned seed = 12345;
    for (int r = 0; r < 5; ++r) {
        for (int c = 0; c < 60; ++c) {
            seed = seed * 1103515245u + 12345u;
            table += std::to_string((seed >> 8) % 100000) + "e-" + std::to_string(3 + (seed >> 4) % 6) + ' ';
        }
        table += '\n';
    }
    for (const Program &p : kPrograms) {
        SCOPED_TRACE(p.name);
        RunSettings settings;
        settings.input = table;
        const ProgramResult fixed = RunProgram(p.path, {"-", "-"}, settings);
        const ProgramResult precise = RunProgram(p.path, {"--precise", "-", "-"}, settings);
        ASSERT_EQ(fixed.status, 0);
        ASSERT_EQ(precise.status, 0);
        std::istringstream fixedLines(fixed.out), preciseLines(precise.out);
        std::string a, b;
        int lines = 0;
        while (std::getline(fixedLines, a)) {
            ASSERT_TRUE(std::getline(preciseLines, b));
            const size_t tabA = a.rfind('\t'), tabB = b.rfind('\t');
            ASSERT_EQ(a.substr(0, tabA), b.substr(0, tabB));
            const std::string text = b.substr(tabB + 1);
            const float v = std::strtof(text.c_str(), nullptr);
            char again[64];
            std::snprintf(again, sizeof again, "%f", static_cast<double>(v));
            EXPECT_EQ(a.substr(tabA + 1), again) << b;
            std::snprintf(again, sizeof again, "%.9g", static_cast<double>(v));
            EXPECT_EQ(text, again) << b;
            ++lines;
        }
        EXPECT_FALSE(std::getline(preciseLines, b));
        EXPECT_EQ(lines, 59);
    }
}

}  // namespace
