// dendro-plot and dendro-newick run as a user runs them: on the output of
// dendro-min and dendro-variance for random tables, and on bad input.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>

#include "dendrogram_file.h"
#include "process.h"
#include "tree_checks.h"

namespace {

const std::string kPlot = DENDRO_PLOT_PATH;
const std::string kNewick = DENDRO_NEWICK_PATH;
const std::string kCut = DENDRO_CUT_PATH;
const std::string kExport = DENDRO_EXPORT_PATH;

// Runs a program and returns what it printed on standard error (standard
// output discarded) with its status.
ProgramResult RunForErrors(const std::string &program, const std::vector<std::string> &args) {
    std::vector<std::string> shellArgs = {"-c", "exec \"$@\" 2>&1 >/dev/null", "sh"};
    const std::vector<std::string> command = LaunchCommand(program);
    shellArgs.insert(shellArgs.end(), command.begin(), command.end());
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    return RunProgram("/bin/sh", shellArgs);
}

std::string RandomTable(std::mt19937 &random, std::size_t rows, std::size_t columns, bool smallIntegers) {
    std::uniform_int_distribution<int> digit(0, 5);
    std::uniform_real_distribution<double> real(-10, 10);
    std::string table;
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < columns; ++c) {
            char cell[32];
            if (smallIntegers)
                std::snprintf(cell, sizeof cell, "%d", digit(random));
            else
                std::snprintf(cell, sizeof cell, "%.3f", real(random));
            if (c > 0) table += '\t';
            table += cell;
        }
        table += "\n";
    }
    return table;
}

// Names that need quoting in Newick or escaping in XML, made unique.
std::vector<std::string> AwkwardNames(std::size_t count) {
    const std::vector<std::string> stems = {"col", "a b", "it's", "x_y", "(p)", "semi;", "comma,",
                                            "colon:", "br[1]", "caf\xc3\xa9", "<&>", "\"q\""};
    std::vector<std::string> names;
    for (std::size_t c = 0; c < count; ++c) names.push_back(stems[c % stems.size()] + std::to_string(c));
    return names;
}

// Clusters random tables with both programs and checks that the picture
// and the Newick text of every result show exactly that tree.
TEST(TreePrograms, PictureAndNewickOfRandomDendrogramsFromBothPrograms) {
    std::mt19937 random(20261208);
    TempDir dir;
    int checked = 0;
    for (const std::string &program : {std::string(DENDRO_MIN_PATH), std::string(DENDRO_VARIANCE_PATH)}) {
        for (int round = 0; round < 30; ++round) {
            const std::size_t columns = round == 0 ? 1 : std::uniform_int_distribution<std::size_t>(2, 40)(random);
            const std::size_t rows = std::uniform_int_distribution<std::size_t>(1, 4)(random);
            const bool named = round % 2 == 1;
            SCOPED_TRACE(program + " round " + std::to_string(round) + ": " + std::to_string(columns) + " columns");
            WriteFile(dir.file("table.txt"), RandomTable(random, rows, columns, round % 3 == 0));
            ASSERT_EQ(RunProgram(program, {dir.file("table.txt"), dir.file("tree.dendro")}).status, 0);

            const DendrogramParse parsed = ParseDendrogram(ReadFile(dir.file("tree.dendro")));
            ASSERT_TRUE(parsed.ok()) << parsed.error;
            ASSERT_EQ(parsed.tree.leafCount, columns);
            std::vector<std::string> args = {dir.file("tree.dendro")};
            std::vector<std::string> names = ColumnNumbers(columns);
            if (named) {
                names = AwkwardNames(columns);
                std::string file;
                for (const std::string &name : names) file += name + "\n";
                WriteFile(dir.file("names.txt"), file);
            }

            std::vector<std::string> newickArgs = args;
            if (named) newickArgs.push_back(dir.file("names.txt"));
            const ProgramResult newick = RunProgram(kNewick, newickArgs);
            ASSERT_EQ(newick.status, 0);
            ExpectNewickIsTree(newick.out, parsed.tree, names);

            std::filesystem::remove(dir.file("tree.svg"));
            std::vector<std::string> plotArgs = {dir.file("tree.dendro"), dir.file("tree.svg")};
            if (named) plotArgs.push_back(dir.file("names.txt"));
            const ProgramResult plot = RunProgram(kPlot, plotArgs);
            ASSERT_EQ(plot.status, 0);
            EXPECT_EQ(plot.out, "");
            ExpectDrawsTree(ReadFile(dir.file("tree.svg")), parsed.tree, names);
            ++checked;
        }
    }
    EXPECT_EQ(checked, 60);
}

TEST(TreePrograms, BundledExample) {
    TempDir dir;
    ASSERT_EQ(RunProgram(DENDRO_MIN_PATH, {std::string(DENDRO_EXAMPLES_DIR) + "/measures.txt", dir.file("m.dendro")}).status, 0);
    const DendrogramParse parsed = ParseDendrogram(ReadFile(dir.file("m.dendro")));
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    ASSERT_EQ(parsed.tree.leafCount, 8u);
    ASSERT_EQ(RunProgram(kPlot, {dir.file("m.dendro"), dir.file("m.svg")}).status, 0);
    ExpectDrawsTree(ReadFile(dir.file("m.svg")), parsed.tree, ColumnNumbers(8));
    const ProgramResult newick = RunProgram(kNewick, {dir.file("m.dendro")});
    ASSERT_EQ(newick.status, 0);
    ExpectNewickIsTree(newick.out, parsed.tree, ColumnNumbers(8));
    // Nothing but the two outputs was created (no temporary file left).
    std::set<std::string> files;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) files.insert(entry.path().filename());
    EXPECT_EQ(files, (std::set<std::string>{"m.dendro", "m.svg"}));
}

// Names of any length and characters: a picture written through a path of
// about 3800 characters, its title taken from a dendrogram's non-ASCII name.
TEST(TreePrograms, NamesOfAnyLengthAndCharacters) {
    TempDir dir;
    const std::string dendrogram = "d\xc3\xa9ndro \xe6\x95\xb0.dendro";
    ASSERT_EQ(RunProgram(DENDRO_MIN_PATH, {std::string(DENDRO_EXAMPLES_DIR) + "/measures.txt", dir.file(dendrogram)}).status, 0);
    std::string deep;
    for (int k = 0; k < 1900; ++k) deep += "./";
    const ProgramResult plot = RunProgram(kPlot, {dir.path() + "/" + deep + dendrogram, dir.path() + "/" + deep + "p \xce\xa9.svg"});
    EXPECT_EQ(plot.status, 0);
    EXPECT_EQ(plot.err, "");
    EXPECT_NE(ReadFile(dir.file("p \xce\xa9.svg")).find("<title>" + dendrogram + ": dendrogram of 8 leaves"), std::string::npos);
    const ProgramResult newick = RunProgram(kNewick, {dir.path() + "/" + deep + dendrogram});
    EXPECT_EQ(newick.status, 0);
    EXPECT_EQ(newick.out.substr(0, 1), "(");
}

// When the programs under test are another build's (the Windows ones under
// wine), their pictures, Newick texts, exports and cuts are the same bytes as
// this build's:
// for dendrograms of random tables and for values that test the printing
// of numbers (tiny, huge, exponent notation, inversions, inf and nan).
TEST(TreePrograms, SameBytesAsThisBuild) {
    if (!TestingOtherPrograms()) GTEST_SKIP() << "the programs under test are this build's";
    std::mt19937 random(5150);
    TempDir dir;
    std::vector<std::string> dendrograms = {
        "NODE0\tLEAF1\tLEAF0\t0.000001\nNODE1\tLEAF2\tNODE0\t123456789.123456\nNODE2\tLEAF3\tNODE1\t1e30\n",
        "NODE0\tLEAF2\tLEAF1\t2.5\nNODE1\tNODE0\tLEAF0\t1.25\nNODE2\tLEAF3\tNODE1\tinf\nNODE3\tLEAF4\tNODE2\tnan\n",
        "NODE0\tLEAF1\tLEAF0\t-nan\nNODE1\tLEAF2\tNODE0\t-0.000000\nNODE2\tLEAF3\tNODE1\t3.4028235e38\n",
    };
    for (int round = 0; round < 8; ++round) {
        WriteFile(dir.file("table.txt"), RandomTable(random, 3, 5 + 5 * round, round % 2 == 0));
        const char *program = round % 2 == 0 ? DENDRO_MIN_PATH : DENDRO_VARIANCE_PATH;
        ASSERT_EQ(RunBuiltProgram(program, {dir.file("table.txt"), dir.file("tree.dendro")}).status, 0);
        dendrograms.push_back(ReadFile(dir.file("tree.dendro")));
    }
    for (std::size_t k = 0; k < dendrograms.size(); ++k) {
        SCOPED_TRACE("dendrogram " + std::to_string(k) + ":\n" + dendrograms[k]);
        WriteFile(dir.file("tree.dendro"), dendrograms[k]);
        std::vector<std::string> extra;
        if (k % 2 == 1) {
            const DendrogramParse parsed = ParseDendrogram(dendrograms[k]);
            ASSERT_TRUE(parsed.ok()) << parsed.error;
            std::string file;
            for (const std::string &name : AwkwardNames(parsed.tree.leafCount)) file += name + "\n";
            WriteFile(dir.file("names.txt"), file);
            extra.push_back(dir.file("names.txt"));
        }
        std::vector<std::string> newickArgs = {dir.file("tree.dendro")};
        newickArgs.insert(newickArgs.end(), extra.begin(), extra.end());
        const ProgramResult expectedNewick = RunBuiltProgram(kNewick, newickArgs);
        const ProgramResult newick = RunProgram(kNewick, newickArgs);
        EXPECT_EQ(newick.status, expectedNewick.status);
        EXPECT_EQ(newick.out, expectedNewick.out);

        const std::vector<std::vector<std::string>> others = {{kExport, dir.file("tree.dendro"), "--to", "json"},
                                                              {kExport, dir.file("tree.dendro"), "--to", "linkage"},
                                                              {kCut, dir.file("tree.dendro"), "--clusters", "2"}};
        for (const std::vector<std::string> &command : others) {
            const std::vector<std::string> args(command.begin() + 1, command.end());
            const ProgramResult expected = RunBuiltProgram(command[0], args);
            const ProgramResult got = RunProgram(command[0], args);
            EXPECT_EQ(got.status, expected.status) << command[0];
            EXPECT_EQ(got.out, expected.out) << command[0];
        }

        std::vector<std::string> plotArgs = {dir.file("tree.dendro"), dir.file("expected.svg")};
        plotArgs.insert(plotArgs.end(), extra.begin(), extra.end());
        ASSERT_EQ(RunBuiltProgram(kPlot, plotArgs).status, 0);
        plotArgs[1] = dir.file("got.svg");
        ASSERT_EQ(RunProgram(kPlot, plotArgs).status, 0);
        EXPECT_EQ(ReadFile(dir.file("got.svg")), ReadFile(dir.file("expected.svg")));
    }
}

// Failures: status 1, a message on standard error, nothing on standard
// output, no picture (and an existing one left as it was).
struct Failure {
    const char *what;
    std::string dendrogram;           // contents, or "<absent>" for no file
    std::string names;                // contents of a names file, "" for none
    std::string picture;              // picture file name, or "<input>": the dendrogram itself
    const char *plotMessage;          // part of dendro-plot's message
    const char *newickMessage;        // part of dendro-newick's, nullptr if not run
};

void PrintTo(const Failure &c, std::ostream *os) { *os << c.what; }

class Fails : public testing::TestWithParam<Failure> {};

const std::string kGood = "NODE0\tLEAF1\tLEAF0\t1.000000\nNODE1\tLEAF2\tNODE0\t4.000000\n";

TEST_P(Fails, WithAClearMessageAndNoOutput) {
    const Failure &c = GetParam();
    TempDir dir;
    const std::string dendrogram = dir.file(c.picture == "<input>" ? "tree.svg" : "tree.dendro");
    if (c.dendrogram != "<absent>") WriteFile(dendrogram, c.dendrogram);
    std::vector<std::string> extra;
    if (!c.names.empty()) {
        WriteFile(dir.file("names.txt"), c.names);
        extra.push_back(dir.file("names.txt"));
    }
    const std::string picture = c.picture == "<input>" ? dendrogram : dir.file(c.picture);
    if (c.picture != "<input>" && c.picture.find('/') == std::string::npos) WriteFile(picture, "previous picture");

    std::vector<std::string> plotArgs = {dendrogram, picture};
    plotArgs.insert(plotArgs.end(), extra.begin(), extra.end());
    const ProgramResult plot = RunProgram(kPlot, plotArgs);
    EXPECT_EQ(plot.status, 1) << c.what;
    EXPECT_EQ(plot.out, "");
    const ProgramResult plotErrors = RunForErrors(kPlot, plotArgs);
    EXPECT_EQ(plotErrors.out.rfind("dendro-plot: ", 0), 0u) << plotErrors.out;
    EXPECT_NE(plotErrors.out.find(c.plotMessage), std::string::npos) << c.what << ": " << plotErrors.out;
    if (c.picture == "<input>") {
        EXPECT_EQ(ReadFile(dendrogram), c.dendrogram);
    } else if (c.picture.find('/') == std::string::npos) {
        EXPECT_EQ(ReadFile(picture), "previous picture") << "an existing picture was touched";
    }
    std::size_t files = 0;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir.path())) files += entry.is_regular_file();
    EXPECT_EQ(files, (c.dendrogram != "<absent>") + !c.names.empty() + (c.picture != "<input>" && c.picture.find('/') == std::string::npos))
        << "a file was created";

    if (c.newickMessage == nullptr) return;
    std::vector<std::string> newickArgs = {dendrogram};
    newickArgs.insert(newickArgs.end(), extra.begin(), extra.end());
    const ProgramResult newick = RunProgram(kNewick, newickArgs);
    EXPECT_EQ(newick.status, 1) << c.what;
    EXPECT_EQ(newick.out, "") << "nothing printed before the error";
    const ProgramResult newickErrors = RunForErrors(kNewick, newickArgs);
    EXPECT_NE(newickErrors.out.find(c.newickMessage), std::string::npos) << c.what << ": " << newickErrors.out;
}

INSTANTIATE_TEST_SUITE_P(
    TreePrograms, Fails,
    testing::Values(
        Failure{"node used twice", "NODE0\tLEAF1\tLEAF0\t1\nNODE1\tLEAF2\tNODE0\t2\nNODE2\tNODE0\tLEAF3\t3\n", "",
                "out.svg", "tree.dendro: line 3: NODE0 is used a second time", "tree.dendro: line 3: NODE0"},
        Failure{"garbage value", "NODE0\tLEAF1\tLEAF0\tfast\n", "", "out.svg", "line 1: value 'fast' is not a number",
                "line 1: value 'fast'"},
        Failure{"missing dendrogram", "<absent>", "", "out.svg", "cannot read", "cannot read"},
        Failure{"too few names", kGood, "a\nb\n", "out.svg", "names.txt: 2 names for 3 columns", "2 names for 3 columns"},
        Failure{"bad name", kGood, "a\n\nc\n", "out.svg", "names.txt: line 2: empty name", "line 2: empty name"},
        Failure{"picture without .svg", kGood, "", "out.png", "must end in .svg", nullptr},
        Failure{"picture in a missing folder", kGood, "", "missing/out.svg", "out.svg: cannot be created: No such file or directory", nullptr},
        Failure{"picture over its own input", kGood, "", "<input>", "would replace an input file", nullptr},
        // Cut short after its second line: LEAF7 of line 1 is beyond the
        // three leaves that two lines join, but the cut is what is wrong.
        Failure{"cut short", "NODE0\tLEAF7\tLEAF0\t1.000000\nNODE1\tLEAF2\tNO", "", "out.svg",
                "tree.dendro: line 2: no line feed at the end of the last line: the file looks cut short", "cut short"},
        Failure{"a name holding a tab", kGood, "a\tb\nc\nd\n", "out.svg", "names.txt: line 1: the name holds a tab",
                "holds a tab"}));

TEST(TreePrograms, UsageAndWriteErrors) {
    for (const std::string &program : {kPlot, kNewick, kCut, kExport}) {
        const ProgramResult none = RunForErrors(program, {});
        EXPECT_EQ(none.status, 1) << program;
        EXPECT_NE(none.out.find("usage:"), std::string::npos) << program;
        const ProgramResult help = RunProgram(program, {"--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_NE(help.out.find("usage:"), std::string::npos);
    }
    EXPECT_EQ(RunProgram(kPlot, {"a", "b.svg", "c", "d"}).status, 1);
    // A full disk on standard output is reported, not ignored.
    if (!ProgramsRunNatively()) return;  // /dev/full is Linux's
    TempDir dir;
    WriteFile(dir.file("tree.dendro"), kGood);
    for (const std::vector<std::string> &command :
         {std::vector<std::string>{kNewick, dir.file("tree.dendro")},
          std::vector<std::string>{kCut, dir.file("tree.dendro"), "--clusters", "2"},
          std::vector<std::string>{kExport, dir.file("tree.dendro"), "--to", "json"}}) {
        std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" 2>&1 >/dev/full"};
        args.insert(args.end(), command.begin(), command.end());
        const ProgramResult full = RunProgram("/bin/sh", args);
        EXPECT_EQ(full.status, 1) << command[0];
        EXPECT_NE(full.out.find("cannot write to standard output: No space left on device"), std::string::npos)
            << full.out;
    }
    // --help and --version too.
    for (const std::string &program : {kPlot, kNewick, kCut, kExport})
        for (const char *option : {"--help", "--version"}) {
            const ProgramResult full = RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$1\" 2>&1 >/dev/full", program, option});
            EXPECT_EQ(full.status, 1) << program << " " << option;
            EXPECT_NE(full.out.find("No space left on device"), std::string::npos) << full.out;
        }
}

// The tree programs in a pipe: "-" reads the merge lines from standard
// input (and writes dendro-plot's picture on standard output), giving
// what the file names give.
TEST(TreePrograms, InAPipe) {
    TempDir dir;
    WriteFile(dir.file("tree.dendro"), kGood);
    const std::string tree = dir.file("tree.dendro");
    const auto piped = [&](const std::vector<std::string> &command) {
        std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" < \"$TREE\""};
        args.insert(args.end(), command.begin(), command.end());
        RunSettings settings;
        settings.environment = {{"TREE", tree}};
        return RunProgram("/bin/sh", args, settings);
    };
    const std::vector<std::vector<std::string>> commands = {
        {kNewick, "@"}, {kCut, "@", "--clusters", "2"}, {kExport, "--to", "json", "@"}, {kExport, "@", "--to", "hclust"}};
    for (std::vector<std::string> command : commands) {
        std::vector<std::string> named = command;
        for (std::string &arg : named)
            if (arg == "@") arg = tree;
        for (std::string &arg : command)
            if (arg == "@") arg = "-";
        const ProgramResult fromFile = RunProgram(named[0], {named.begin() + 1, named.end()});
        const ProgramResult fromPipe = piped(command);
        EXPECT_EQ(fromPipe.status, 0) << command[0] << fromPipe.err;
        EXPECT_EQ(fromPipe.out, fromFile.out) << command[0];
        EXPECT_NE(fromPipe.out, "");
    }
    const ProgramResult picture = piped({kPlot, "-", "-", "--title", "t"});
    EXPECT_EQ(picture.status, 0) << picture.err;
    ASSERT_EQ(RunProgram(kPlot, {tree, dir.file("out.svg"), "--title", "t"}).status, 0);
    EXPECT_EQ(picture.out, ReadFile(dir.file("out.svg")));
    // A picture written over the file standard input reads is refused.
    WriteFile(dir.file("same.svg"), kGood);
    const ProgramResult refused =
        RunProgram("/bin/sh", {"-c", "exec \"$0\" - \"$1\" < \"$1\"", kPlot, dir.file("same.svg")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("would replace an input file"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadFile(dir.file("same.svg")), kGood);
    for (const std::string &program : {kPlot, kNewick, kCut, kExport}) {
        const ProgramResult version = RunProgram(program, {"--version"});
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out, std::filesystem::path(program).filename().string() + " " + DENDRO_VERSION + "\n");
    }
}

// dendro-plot writes its picture as the clustering programs write their
// output: a link is followed (the link stays, its target is replaced), the
// file keeps its permissions, and where the folder cannot hold a temporary
// file the picture is written in place once complete, with a note.
TEST(TreePrograms, PictureReplacedAsTheClusteringOutputIs) {
    TempDir dir;
    WriteFile(dir.file("tree.dendro"), kGood);
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    WriteFile(dir.file("sub/target.svg"), "old\n");
    ASSERT_EQ(chmod(dir.file("sub/target.svg").c_str(), 0640), 0);
    ASSERT_EQ(symlink("sub/target.svg", dir.file("link.svg").c_str()), 0);
    ProgramResult r = RunProgram(kPlot, {dir.file("tree.dendro"), dir.file("link.svg")});
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat s;
    ASSERT_EQ(lstat(dir.file("link.svg").c_str(), &s), 0);
    EXPECT_TRUE(S_ISLNK(s.st_mode));
    EXPECT_EQ(ReadFile(dir.file("sub/target.svg")).rfind("<?xml", 0), 0u);
    ASSERT_EQ(stat(dir.file("sub/target.svg").c_str(), &s), 0);
    EXPECT_EQ(s.st_mode & 07777, 0640u);

    RunSettings settings;
    if (geteuid() == 0) settings.user = 65534;
    if (settings.user < 0 && geteuid() == 0) return;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.file("tree.dendro").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(dir.file("locked").c_str(), 0755), 0);
    WriteFile(dir.file("locked/out.svg"), "previous\n");
    ASSERT_EQ(chmod(dir.file("locked/out.svg").c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.file("locked").c_str(), 0555), 0);
    r = RunProgram(kPlot, {dir.file("tree.dendro"), dir.file("locked/out.svg")}, settings);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "dendro-plot: note: " + dir.file("locked/out.svg") +
                         ": its folder cannot hold a temporary file, so it is written in place\n");
    EXPECT_EQ(ReadFile(dir.file("locked/out.svg")).rfind("<?xml", 0), 0u);
    ASSERT_EQ(chmod(dir.file("locked").c_str(), 0755), 0);
}

// dendro-cut, dendro-export and the names options of every tree program,
// run as a user runs them: options anywhere, exact output, and faults
// reported with a reason, status 1 and nothing on standard output.
struct ToolCase {
    const char *what;
    std::string program;
    std::vector<std::string> args;  // "@name" stands for the file of that name in the test folder
    int status;
    std::string out;     // exact standard output (not checked for dendro-plot)
    std::string errors;  // part of standard error; "" when it must be empty
};

void PrintTo(const ToolCase &c, std::ostream *os) { *os << c.what; }

class Tools : public testing::TestWithParam<ToolCase> {};

TEST_P(Tools, RunAsAUserRunsThem) {
    const ToolCase &c = GetParam();
    TempDir dir;
    WriteFile(dir.file("tree.dendro"), kGood);
    WriteFile(dir.file("names.txt"), "a\nb\nc\n");
    WriteFile(dir.file("table.txt"), "id x y z\nr1 0 1 5\nr2 0 0 0\n");
    WriteFile(dir.file("tabs.txt"), "\t x\tsecond y\tz\n\t0\t1\t5\n");
    WriteFile(dir.file("ragged.txt"), "x y\n0 1 5\n");
    WriteFile(dir.file("trailing.txt"), "a\nb\nc\n\n");
    WriteFile(dir.file("quoted.txt"), "\"id\" \"x 1\" \"y;2\" \"say \"\"z\"\"\"\nr1 0 1 5\n");
    WriteFile(dir.file("table.svg"), "x y z\n0 1 5\n");
    std::vector<std::string> args;
    for (const std::string &arg : c.args) args.push_back(arg.rfind("@", 0) == 0 ? dir.file(arg.substr(1)) : arg);
    const ProgramResult run = RunProgram(c.program, args);
    const ProgramResult errors = RunForErrors(c.program, args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(errors.status, c.status);
    if (c.program != kPlot || c.status != 0) {
        EXPECT_EQ(run.out, c.out);
    }
    if (c.errors.empty()) {
        EXPECT_EQ(errors.out, "");
    } else {
        EXPECT_NE(errors.out.find(c.errors), std::string::npos) << errors.out;
    }
    if (c.program == kPlot && c.status == 0) {
        const std::string svg = ReadFile(dir.file("out.svg"));
        EXPECT_NE(svg.find(c.out), std::string::npos) << "the picture lacks " << c.out;
    }
}

const std::string kNewickXyz = "((x:0.500000,y:0.500000):1.500000,z:2.000000);\n";

INSTANTIATE_TEST_SUITE_P(
    TreePrograms, Tools,
    testing::Values(
        ToolCase{"cut by count", kCut, {"@tree.dendro", "--clusters", "2"}, 0, "0\t1\n1\t1\n2\t2\n", ""},
        ToolCase{"cut by height, option first, names file", kCut, {"--height", "1", "@tree.dendro", "@names.txt"}, 0,
                 "0\ta\t1\n1\tb\t1\n2\tc\t2\n", ""},
        ToolCase{"cut with names from the table", kCut, {"@tree.dendro", "--names-from", "@table.txt", "--clusters=3"}, 0,
                 "0\tx\t1\n1\ty\t2\n2\tz\t3\n", ""},
        ToolCase{"cut below every merge", kCut, {"@tree.dendro", "--height=-0.5"}, 0, "0\t1\n1\t2\n2\t3\n", ""},
        ToolCase{"cut needs a rule", kCut, {"@tree.dendro"}, 1, "", "give exactly one of --clusters and --height"},
        ToolCase{"cut takes one rule", kCut, {"@tree.dendro", "--clusters", "2", "--height", "1"}, 1, "",
                 "give exactly one of --clusters and --height"},
        ToolCase{"more clusters than columns", kCut, {"@tree.dendro", "--clusters", "4"}, 1, "",
                 "holds a tree of 3 columns, too few for --clusters 4"},
        ToolCase{"zero clusters", kCut, {"@tree.dendro", "--clusters", "0"}, 1, "", "--clusters needs a whole number"},
        ToolCase{"clusters not a number", kCut, {"@tree.dendro", "--clusters", "2x"}, 1, "", "(given '2x')"},
        ToolCase{"height not a number", kCut, {"@tree.dendro", "--height", "1,5"}, 1, "", "--height needs a finite number"},
        ToolCase{"height nan", kCut, {"@tree.dendro", "--height", "nan"}, 1, "", "--height needs a finite number"},
        ToolCase{"cut of a broken tree", kCut, {"@names.txt", "--clusters", "1"}, 1, "", "names.txt: line 1:"},
        ToolCase{"linkage", kExport, {"@tree.dendro", "--to", "linkage"}, 0, "0 1 1 2\n2 3 4 3\n", ""},
        ToolCase{"newick through dendro-export", kExport, {"--to", "newick", "@tree.dendro", "--names-from", "@table.txt"}, 0,
                 kNewickXyz, ""},
        ToolCase{"newick through dendro-newick", kNewick, {"--names-from", "@table.txt", "@tree.dendro"}, 0, kNewickXyz, ""},
        ToolCase{"json with tab-separated names", kExport, {"@tree.dendro", "--to", "json-flat", "--names-from", "@tabs.txt"}, 0,
                 "{\"leaves\": 3, \"root\": 4, \"nodes\": [\n"
                 "{\"id\": 0, \"name\": \"x\", \"column\": 0, \"value\": 0, \"size\": 1},\n"
                 "{\"id\": 1, \"name\": \"second y\", \"column\": 1, \"value\": 0, \"size\": 1},\n"
                 "{\"id\": 2, \"name\": \"z\", \"column\": 2, \"value\": 0, \"size\": 1},\n"
                 "{\"id\": 3, \"name\": \"NODE0\", \"node\": 0, \"value\": 1, \"size\": 2, \"children\": [0, 1]},\n"
                 "{\"id\": 4, \"name\": \"NODE1\", \"node\": 1, \"value\": 4, \"size\": 3, \"children\": [3, 2]}\n]}\n",
                 "dendro-export: note: " /* the blanks around " x" */},
        ToolCase{"unknown format", kExport, {"@tree.dendro", "--to", "xml"}, 1, "",
                 "unknown format 'xml'; the formats are newick, linkage, hclust, json, json-flat, labels"},
        ToolCase{"format missing", kExport, {"@tree.dendro"}, 1, "", "--to FORMAT is needed"},
        ToolCase{"names twice", kExport, {"@tree.dendro", "--to", "json", "@names.txt", "--names-from", "@table.txt"}, 1, "",
                 "not both"},
        ToolCase{"table with the wrong count", kNewick, {"@tree.dendro", "--names-from", "@ragged.txt"}, 1, "",
                 "ragged.txt: line 1: 2 names (split on blanks and semicolons) for 3 columns"},
        ToolCase{"table missing", kCut, {"@tree.dendro", "--clusters", "1", "--names-from", "@absent.txt"}, 1, "",
                 "cannot read"},
        ToolCase{"empty table name", kNewick, {"@tree.dendro", "--names-from", ""}, 1, "", "--names-from needs the name"},
        ToolCase{"unknown option", kNewick, {"@tree.dendro", "--colour"}, 1, "", "unknown option '--colour'"},
        ToolCase{"option given twice", kPlot, {"@tree.dendro", "@out.svg", "--title", "a", "--title", "b"}, 1, "",
                 "--title is given twice"},
        ToolCase{"option without its value", kCut, {"@tree.dendro", "--clusters"}, 1, "", "--clusters needs a value"},
        ToolCase{"picture titled by the file name", kPlot, {"@tree.dendro", "@out.svg"}, 0,
                 "<text class=\"title\" x=\"10\" y=\"25\" font-size=\"15\" font-weight=\"bold\" fill=\"#111\">tree.dendro</text>", ""},
        ToolCase{"picture across, titled", kPlot, {"--horizontal", "@tree.dendro", "--title", "A & B", "@out.svg", "--names-from", "@table.txt"}, 0,
                 ">A &amp; B</text>", ""},
        ToolCase{"names file ending with empty lines", kCut, {"@tree.dendro", "@trailing.txt", "--clusters", "2"}, 0,
                 "0\ta\t1\n1\tb\t1\n2\tc\t2\n", ""},
        ToolCase{"quoted names in the table", kCut, {"@tree.dendro", "--names-from", "@quoted.txt", "--clusters", "2"}, 0,
                 "0\tx 1\t1\n1\ty;2\t1\n2\tsay \"z\"\t2\n", "double quotes around 3 names on line 1 dropped"},
        ToolCase{"labels for scipy", kExport, {"@tree.dendro", "--to", "labels", "@names.txt"}, 0, "a\nb\nc\n", ""},
        ToolCase{"labels without names", kExport, {"--to", "labels", "@tree.dendro"}, 0, "0\n1\n2\n", ""},
        ToolCase{"picture over the names table", kPlot, {"@tree.dendro", "@table.svg", "--names-from", "@table.svg"}, 1, "",
                 "would replace an input file"}));

}  // namespace
