// The programs' files are the same bytes wherever they are built. The
// reader's cases hold the programs under test to exact expected text; the
// other tests hold them to this build's own programs, table after table and
// at every kernel level, when the programs under test are another build's
// (the Windows executables under wine: see support/process.h).
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core_helpers.h"
#include "kernels/kernels.h"
#include "random_tables.h"

namespace {

const char *const kLevels[] = {"scalar", "avx2", "avx512"};

// The kernel level of the programs started while it lives.
class KernelLevelOfChildren {
public:
    explicit KernelLevelOfChildren(const char *level) { setenv("DENDRO_KERNEL_LEVEL", level, 1); }
    ~KernelLevelOfChildren() { unsetenv("DENDRO_KERNEL_LEVEL"); }
};

struct Outcome {
    ProgramResult run;
    bool created;
    std::string file;
};

// Runs `program` on `input` (written to a file), through the program under
// test or, with `built`, this build's own.
Outcome Cluster(const std::string &program, const std::string &input, bool built) {
    TempDir dir;
    WriteFile(dir.file("in"), input);
    const std::vector<std::string> args = {dir.file("in"), dir.file("out")};
    Outcome o{built ? RunBuiltProgram(program, args) : RunProgram(program, args), false, ""};
    // Reasons and warnings name the input, whose folder differs from run to
    // run: compared under one name.
    for (std::string *text : {&o.run.out, &o.run.err})
        for (size_t at; (at = text->find(dir.file("in"))) != std::string::npos;)
            text->replace(at, dir.file("in").size(), "INPUT");
    o.created = FileExists(dir.file("out"));
    if (o.created) o.file = ReadFile(dir.file("out"));
    return o;
}

void ExpectSameAsBuilt(const std::string &program, const std::string &input, const std::string &what) {
    const Outcome expected = Cluster(program, input, true);
    const Outcome got = Cluster(program, input, false);
    EXPECT_EQ(got.run.status, expected.run.status) << what;
    EXPECT_EQ(got.run.out, expected.run.out) << what;
    EXPECT_EQ(got.run.err, expected.run.err) << what;
    EXPECT_EQ(got.created, expected.created) << what;
    EXPECT_EQ(got.file, expected.file) << what << "\ninput:\n" << input;
}

// Inputs that differ between platforms unless the reader decides alone:
// line ends, bytes that text mode treats specially, and the spellings of
// numbers. Each is one table for dendro-min; a table of one column gives an
// empty output, so a word that is not taken shows as "".
TEST(ReaderCases, SameOutputOnEveryPlatform) {
    const std::string one = "NODE0\tLEAF1\tLEAF0\t1.000000\n";
    const std::string zeroOneThree = "NODE0\tLEAF1\tLEAF0\t1.000000\nNODE1\tLEAF2\tNODE0\t2.000000\n";
    const struct { const char *name; std::string input, expected; } cases[] = {
        {"carriage return and line feed", "0 1\r\n0 1\r\n", "NODE0\tLEAF1\tLEAF0\t1.414214\n"},
        {"carriage returns alone", "0 1\r0 1\r", "NODE0\tLEAF1\tLEAF0\t1.414214\n"},
        {"blank lines of both kinds", "\r\n\n0;1\r\n\r\n0\t1", "NODE0\tLEAF1\tLEAF0\t1.414214\n"},
        // Ctrl-Z ends a file read in Windows text mode; here it is a byte of a word.
        {"Ctrl-Z byte", std::string("0 1\x1a 3\n"), zeroOneThree},
        {"byte 0xFF", "0 1\xff 3\n", zeroOneThree},
        {"NUL byte ends a piece's number", std::string("0 1\0002 3\n", 8), zeroOneThree},
        {"token of 150 zeros", "1 " + std::string(150, '0') + "\n", "NODE0\tLEAF2\tLEAF1\t0.000000\nNODE1\tNODE0\tLEAF0\t1.000000\n"},
        {"decimal comma", "0 1,5\n", "NODE0\tLEAF1\tLEAF0\t1.500000\n"},
        {"exponent", "0 -2e1\n", "NODE0\tLEAF1\tLEAF0\t20.000000\n"},
        {"exponent mark without digits", "0 1e\n", one},
        {"exponent sign without digits", "0 1E+\n", one},
        {"trailing letters", "0 12abc\n", "NODE0\tLEAF1\tLEAF0\t12.000000\n"},
        {"hexadecimal", "0 0x1p3\n", "NODE0\tLEAF1\tLEAF0\t8.000000\n"},
        {"hexadecimal with a point", "0 -0X1.8P1\n", "NODE0\tLEAF1\tLEAF0\t3.000000\n"},
        {"hexadecimal comma", "0 0x,8\n", "NODE0\tLEAF1\tLEAF0\t0.500000\n"},
        {"0x and a point", "1 0x.\n", one},
        {"0x alone", "0 0x\n", ""},
        {"infinity", "0 Infinity\n", "NODE0\tLEAF1\tLEAF0\tinf\n"},
        {"minus inf", "0 -INF\n", "NODE0\tLEAF1\tLEAF0\tinf\n"},
        {"unfinished infinity", "0 infinit\n", ""},
        {"nan", "0 nan\n", "NODE0\tLEAF1\tLEAF0\tnan\n"},
        {"minus nan", "0 -NaN\n", "NODE0\tLEAF1\tLEAF0\tnan\n"},
        {"nan with a payload", "0 nan(12)\n", "NODE0\tLEAF1\tLEAF0\tnan\n"},
        {"unfinished nan", "0 na\n", ""},
        {"beyond the float range", "0 1e39\n", "NODE0\tLEAF1\tLEAF0\tinf\n"},
        {"large value printed in full", "0 1.8e19\n", "NODE0\tLEAF1\tLEAF0\t18000000404716257280.000000\n"},
        {"below the float range", "1 1e-50\n", one},
        {"lone point and sign", "0 . - 2\n", "NODE0\tLEAF1\tLEAF0\t2.000000\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = Cluster(DENDRO_MIN_PATH, c.input, false);
        EXPECT_EQ(o.run.status, 0);
        EXPECT_EQ(o.run.out, "");
        EXPECT_EQ(o.file, c.expected);
    }
}

TEST(SameBytes, ExampleTablesAtEveryLevel) {
    if (!TestingOtherPrograms()) GTEST_SKIP() << "the programs under test are this build's";
    int compared = 0;
    for (const auto &entry : std::filesystem::directory_iterator(DENDRO_EXAMPLES_DIR)) {
        const std::string table = ReadFile(entry.path().string());
        for (const char *level : kLevels) {
            KernelLevelOfChildren forced(level);
            for (const char *program : {DENDRO_MIN_PATH, DENDRO_VARIANCE_PATH}) {
                ExpectSameAsBuilt(program, table, entry.path().filename().string() + " " + program + " " + level);
                ++compared;
            }
        }
    }
    EXPECT_GE(compared, 12);
}

// Random tables (ties, duplicate columns, huge values, NaN and infinities),
// written with every line end and separator, some wide enough for the
// vector kernels' longer paths and the helper thread.
class SameBytesAtLevel : public ::testing::TestWithParam<const char *> {};

TEST_P(SameBytesAtLevel, RandomTables) {
    if (!TestingOtherPrograms()) GTEST_SKIP() << "the programs under test are this build's";
    KernelLevelOfChildren forced(GetParam());
    std::mt19937 rng(4242);
    const char *const lineEnds[] = {"\n", "\r\n", "\r"};
    const char separators[] = {'\t', ' ', ';'};
    constexpr int kTables = 200;
    for (int round = 0; round < kTables; ++round) {
        const Flavour flavour = kAllFlavours[round % 5];
        const bool wide = round % 10 == 9;
        OwnedTable t = RandomTable(rng, flavour, wide ? 300 : 40, wide ? 3 : 6);
        std::string text = TableText(t);
        std::string written;
        const std::string lineEnd = lineEnds[round % 3];
        const char separator = separators[(round / 3) % 3];
        for (char ch : text) {
            if (ch == '\n') written += lineEnd;
            else if (ch == '\t') written += separator;
            else written += ch;
        }
        for (const char *program : {DENDRO_MIN_PATH, DENDRO_VARIANCE_PATH})
            ExpectSameAsBuilt(program, written, std::string(program) + " table " + std::to_string(round));
        if (HasFailure()) return;
    }
}

// A launcher may start helpers that outlive the program and keep its
// standard streams open (wine starts its services from the first program it
// runs); the run still ends with the program, with all it wrote. Here the
// helper holds them until the test writes to a pipe, after the run.
TEST(Launcher, RunEndsWithTheProgramWhileItsHelperHoldsItsStreams) {
    TempDir dir;
    const std::string hold = dir.file("hold");
    ASSERT_EQ(mkfifo(hold.c_str(), 0600), 0);
    const ProgramResult r =
        RunProgram("/bin/sh", {"-c", "cat '" + hold + "' >/dev/null & echo started; echo note >&2; exit 3"});
    WriteFile(hold, "release\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "started\n");
    EXPECT_EQ(r.err, "note\n");
}

INSTANTIATE_TEST_SUITE_P(EveryLevel, SameBytesAtLevel, ::testing::ValuesIn(kLevels),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

}  // namespace
