// Both programs run as built: exact standard output, exit status, and whether
// the output file was created and what it holds.
#include <optional>
#include <string>
#include <vector>

#include "core_helpers.h"

namespace {

const char *const kPrograms[] = {DENDRO_MIN_PATH, DENDRO_VARIANCE_PATH};

// "{d}" in an argument stands for the test's temporary folder.
std::vector<std::string> InDir(std::vector<std::string> args, const std::string &dir) {
    for (std::string &a : args)
        for (size_t at; (at = a.find("{d}")) != std::string::npos;) a.replace(at, 3, dir);
    return args;
}

TEST(Programs, FailuresPrintTheirMessageAndCreateNoOutput) {
    const std::string table = "1 2 3\n4 5 6\n";
    const std::string longName = "{d}/" + std::string(5000, 'x');
    const struct {
        const char *name;
        std::vector<std::string> args;
        std::optional<std::string> input;  // written to {d}/in
        std::string message;
    } cases[] = {
        {"no argument", {}, table, kUsageMessage},
        {"one argument", {"{d}/in"}, table, kUsageMessage},
        {"empty output name", {"{d}/in", ""}, table, kUsageMessage},
        {"output name of blanks", {"{d}/in", "  \t "}, table, kUsageMessage},
        {"missing input", {"{d}/missing", "{d}/out"}, std::nullopt, kReadMessage},
        {"directory as input", {"{d}", "{d}/out"}, std::nullopt, kReadMessage},
        {"input name of 5000 characters", {longName, "{d}/out"}, table, kReadMessage},
        {"ragged table", {"{d}/in", "{d}/out"}, "1 2\n3\n", kReadMessage},
        {"header row", {"{d}/in", "{d}/out"}, "a b\n1 2\n", kReadMessage},
        {"empty input", {"{d}/in", "{d}/out"}, "", kMemoryMessage},
        {"words only", {"{d}/in", "{d}/out"}, "a b\nc d\n", kMemoryMessage},
        {"output in a missing folder", {"{d}/in", "{d}/none/out"}, table, kWriteMessage},
        {"output name of 5000 characters", {"{d}/in", longName}, table, kWriteMessage},
        {"full device", {"{d}/in", "/dev/full"}, table, kWriteMessage},
    };
    for (const char *program : kPrograms)
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(program) + ": " + c.name);
            if (!ProgramsRunNatively() && c.args.size() == 2 && c.args[1] == "/dev/full") continue;  // Linux's
            TempDir dir;
            if (c.input) WriteFile(dir.file("in"), *c.input);
            const ProgramResult r = RunProgram(program, InDir(c.args, dir.path()));
            EXPECT_EQ(r.out, c.message);
            EXPECT_EQ(r.status, 255);
            EXPECT_FALSE(FileExists(dir.file("out")));
            EXPECT_FALSE(FileExists(dir.file("none")));
        }
}

// A name is the whole argument less the white space around it.
TEST(Programs, NamesAreTakenWholeAtAnyLength) {
    const std::string expected[] = {"NODE0\tLEAF1\tLEAF0\t1.000000\n", "NODE0\tLEAF1\tLEAF0\t0.500000\n"};
    std::string deep;  // a path of about 3800 characters that names the folder itself
    for (int k = 0; k < 1900; ++k) deep += "./";
    for (int p = 0; p < 2; ++p) {
        TempDir dir;
        WriteFile(dir.file("in one.txt"), "0 1\n");
        WriteFile(dir.file("in"), "5 5 5\n");
        WriteFile(dir.file("out"), "unrelated\n");
        // Appended rather than " " + name: GCC 12 warns wrongly (-Wrestrict)
        // about a string put after a literal.
        std::string padded(1, ' ');
        padded += dir.file("in one.txt") + "\t";
        ProgramResult r = RunProgram(kPrograms[p], {padded, dir.file("out two") + "  "});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(ReadFile(dir.file("out two")), expected[p]);
        EXPECT_EQ(ReadFile(dir.file("out")), "unrelated\n");
        r = RunProgram(kPrograms[p], {dir.path() + "/" + deep + "in one.txt", dir.path() + "/" + deep + "long", "ignored"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(ReadFile(dir.file("long")), expected[p]);
        // Names beyond any one code page: taken as UTF-8, the bytes of the
        // file system's names.
        const std::string input = "donn\xc3\xa9" "es \xe6\x95\xb0\xe6\x8d\xae", output = "r\xc3\xa9sultat \xce\xa9 \xe2\x9c\x93";
        WriteFile(dir.file(input), "0 1\n");
        r = RunProgram(kPrograms[p], {dir.file(input), dir.file(output)});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(ReadFile(dir.file(output)), expected[p]);
    }
}

// NaN prints with or without a sign depending on how it arose.
std::string WithoutNaNSign(std::string text) {
    for (size_t at; (at = text.find("-nan")) != std::string::npos;) text.erase(at, 1);
    return text;
}

TEST(Programs, DendrogramsOfSmallTables) {
    const struct { const char *name, *input, *min, *variance; } cases[] = {
        {"points on one axis", "0 1 5\n0 0 0\n",
         "NODE0\tLEAF1\tLEAF0\t1.000000\nNODE1\tLEAF2\tNODE0\t4.000000\n",
         "NODE0\tLEAF1\tLEAF0\t0.500000\nNODE1\tLEAF2\tNODE0\t2.000000\n"},
        {"four columns", "1 2 4 8\n0 1 0 1\n",
         "NODE0\tLEAF1\tLEAF0\t1.414214\nNODE1\tLEAF2\tNODE0\t2.236068\nNODE2\tLEAF3\tNODE1\t4.123106\n",
         "NODE0\tLEAF1\tLEAF0\t0.707107\nNODE1\tLEAF2\tNODE0\t1.273132\nNODE2\tLEAF3\tNODE1\t2.363360\n"},
        {"ties", "0 1 2\n", "NODE0\tLEAF2\tLEAF1\t1.000000\nNODE1\tNODE0\tLEAF0\t1.000000\n",
         "NODE0\tLEAF2\tLEAF1\t0.500000\nNODE1\tNODE0\tLEAF0\t0.666667\n"},
        {"one column", "3\n4\n5\n", "", ""},
        {"duplicate columns", "3 1 3\n4 0 4\n", "NODE0\tLEAF2\tLEAF0\t0.000000\nNODE1\tNODE0\tLEAF1\t4.472136\n",
         "NODE0\tLEAF2\tLEAF0\t0.000000\nNODE1\tNODE0\tLEAF1\t1.987616\n"},
        {"above the merge limit", "0 274877906944 1099511627776\n",
         "NODE0\tLEAF1\tLEAF0\t274877906944.000000\nNODE1\tLEAF2\tNODE0\t824633720832.000000\n",
         "NODE0\tLEAF1\tLEAF0\t137438953472.000000\nNODE1\tLEAF2\tNODE0\t427587895296.000000\n"},
        {"nan cell", "0 nan 5\n", "NODE0\tLEAF2\tLEAF0\t5.000000\nNODE1\tNODE0\tLEAF1\tnan\n",
         "NODE0\tLEAF2\tLEAF0\t2.500000\nNODE1\tNODE0\tLEAF1\tnan\n"},
        {"inf cell", "0 inf 5\n", "NODE0\tLEAF2\tLEAF0\t5.000000\nNODE1\tNODE0\tLEAF1\tinf\n",
         "NODE0\tLEAF2\tLEAF0\t2.500000\nNODE1\tNODE0\tLEAF1\tnan\n"},
    };
    for (const auto &c : cases)
        for (int p = 0; p < 2; ++p) {
            SCOPED_TRACE(std::string(kPrograms[p]) + ": " + c.name);
            TempDir dir;
            WriteFile(dir.file("in"), c.input);
            const ProgramResult r = RunProgram(kPrograms[p], {dir.file("in"), dir.file("out")});
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.status, 0);
            ASSERT_TRUE(FileExists(dir.file("out")));
            EXPECT_EQ(WithoutNaNSign(ReadFile(dir.file("out"))), p == 0 ? c.min : c.variance);
        }
}

}  // namespace
