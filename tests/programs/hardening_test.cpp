// Both programs as built, under faults: allocations that cannot be met (an
// address-space cap), the column limit, and files that cannot be read or
// written. Each case checks the exact message, the status and what became of
// the output file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"

namespace {

const char *const kMemoryMessage = "Probleme d'allocation memoire\n";
const char *const kReadMessage = "Probleme a la lecture d'un des fichiers\n";
const char *const kWriteMessage = "Probleme a l'ecriture d'un des fichiers\n";

constexpr unsigned long long kMiB = 1024ULL * 1024ULL;

// The pair matrix of dendro-min is built while reading, before the output
// is opened; dendro-variance allocates its working matrix in the engine,
// once the output's temporary file has been created.
struct Program {
    const char *name;
    const char *path;
};
const Program kPrograms[] = {
    {"dendro-min", DENDRO_MIN_PATH},
    {"dendro-variance", DENDRO_VARIANCE_PATH},
};

// One row of `columns` values; `first` is the first cell's text.
std::string OneRow(int columns, const std::string &first = "0") {
    std::string row = first;
    for (int c = 1; c < columns; ++c) row += ' ' + std::to_string(c % 97);
    return row + '\n';
}

bool IsDirectory(const std::string &path) {
    struct stat s;
    return stat(path.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

// What a failing run must leave behind: no output file, or one holding
// exactly `contents`.
void ExpectOutput(const std::string &path, const std::optional<std::string> &contents) {
    if (!contents) {
        EXPECT_FALSE(FileExists(path)) << "output created";
    } else {
        ASSERT_TRUE(FileExists(path)) << "output not created";
        EXPECT_EQ(ReadFile(path), *contents);
    }
}

// The cap leaves room for an ordinary run: the bundled example gives the
// same bytes under it as without it.
void ExpectOrdinaryRunFits(const Program &p, unsigned long long cap) {
    TempDir dir;
    const std::string example = std::string(DENDRO_EXAMPLES_DIR) + "/measures.txt";
    const ProgramResult free = RunProgram(p.path, {example, dir.file("free")});
    const ProgramResult capped = RunProgram(p.path, {example, dir.file("capped")}, cap);
    ASSERT_EQ(free.status, 0);
    EXPECT_EQ(capped.status, 0);
    EXPECT_EQ(capped.out, "");
    EXPECT_NE(ReadFile(dir.file("free")), "");
    EXPECT_EQ(ReadFile(dir.file("capped")), ReadFile(dir.file("free")));
}

#ifdef DENDRO_SANITIZED_BUILD
#define SKIP_UNDER_SANITIZERS(why) GTEST_SKIP() << why
#else
#define SKIP_UNDER_SANITIZERS(why) (void)0
#endif
#define NO_CAP_UNDER_SANITIZERS "the sanitizers' shadow memory does not fit an address-space cap"

// 16,384 columns need a pair matrix of 16,383 x 16,384 / 2 floats (512 MiB),
// which a 256 MiB address space cannot hold although the row itself is tiny.
// The infinite cell keeps dendro-min on its stored matrix of distances.
TEST(AllocationFailure, PairMatrixBeyondAddressSpaceCap) {
    SKIP_UNDER_SANITIZERS(NO_CAP_UNDER_SANITIZERS);
    const unsigned long long cap = 256 * kMiB;
    TempDir dir;
    WriteFile(dir.file("wide"), OneRow(16384, "inf"));
    for (const Program &p : kPrograms) {
        SCOPED_TRACE(p.name);
        ExpectOrdinaryRunFits(p, cap);
        const std::string out = dir.file(std::string(p.name) + ".out");
        WriteFile(out, "previous\n");
        const ProgramResult r = RunProgram(p.path, {dir.file("wide"), out}, cap);
        EXPECT_EQ(r.out, kMemoryMessage);
        EXPECT_EQ(r.status, 255);
        // A failed run leaves the output as it was, whether the matrix is
        // allocated before the output is opened or after.
        ExpectOutput(out, "previous\n");
    }
}

// A one-column table of 8 million rows: its 32 MiB of values cannot grow
// inside a 24 MiB address space, so the reader fails and no output is made.
TEST(AllocationFailure, TableBeyondAddressSpaceCapWhileReading) {
    SKIP_UNDER_SANITIZERS(NO_CAP_UNDER_SANITIZERS);
    const unsigned long long cap = 24 * kMiB;
    TempDir dir;
    std::string rows(16'000'000, '\n');
    for (size_t k = 0; k < rows.size(); k += 2) rows[k] = '0';
    WriteFile(dir.file("tall"), rows);
    for (const Program &p : kPrograms) {
        SCOPED_TRACE(p.name);
        ExpectOrdinaryRunFits(p, cap);
        const ProgramResult r = RunProgram(p.path, {dir.file("tall"), dir.file("out")}, cap);
        EXPECT_EQ(r.out, kMemoryMessage);
        EXPECT_EQ(r.status, 255);
        ExpectOutput(dir.file("out"), std::nullopt);
    }
}

// Runs the program with the allocation-failure library preloaded, under the
// given settings of DENDRO_FAIL_ALLOCATION / DENDRO_COUNT_ALLOCATIONS.
ProgramResult RunFailingAllocation(const Program &p, const std::vector<std::string> &args, long failAt,
                                   const std::string &countFile = "", int user = -1) {
    setenv("LD_PRELOAD", FAIL_ALLOCATION_LIBRARY, 1);
    setenv("DENDRO_FAIL_ALLOCATION", std::to_string(failAt).c_str(), 1);
    if (!countFile.empty()) setenv("DENDRO_COUNT_ALLOCATIONS", countFile.c_str(), 1);
    RunSettings settings;
    settings.user = user;
    const ProgramResult r = RunProgram(p.path, args, settings);
    unsetenv("LD_PRELOAD");
    unsetenv("DENDRO_FAIL_ALLOCATION");
    unsetenv("DENDRO_COUNT_ALLOCATIONS");
    return r;
}

// The names in a folder, sorted.
std::vector<std::string> FolderContents(const std::string &path) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// Allocations that fail once the output is open, one at a time: the k-th
// malloc, calloc or realloc after the output's temporary file is opened
// returns null, for every k up to the number such a run makes. A run either
// absorbs the failure (the C library's own buffers can do without) and
// writes the whole dendrogram, or ends with the memory message and status
// 255; either way the output file holds the whole dendrogram of the run
// before, and no temporary file is left in the folder.
TEST(AllocationFailure, EachAllocationAfterTheOutputOpensFailsCleanly) {
    SKIP_UNDER_SANITIZERS("the sanitizers' allocator cannot be replaced through LD_PRELOAD");
    TempDir dir;
    WriteFile(dir.file("finite"), "1 2 4 8 16 3 5 7 9 11 0 6\n0 1 0 1 0 1 1 0 2 2 3 3\n");
    WriteFile(dir.file("not-finite"), "1 nan 2 inf 3 4 0 7\n0 0 -inf 0 0 1 2 1\n");
    const std::vector<std::string> kept = {"count", "finite", "not-finite", "out"};
    for (const Program &p : kPrograms)
        for (const char *table : {"finite", "not-finite"}) {
            SCOPED_TRACE(std::string(p.name) + " on " + table);
            const std::vector<std::string> args = {dir.file(table), dir.file("out")};
            ASSERT_EQ(RunProgram(p.path, args).status, 0);
            const std::string whole = ReadFile(dir.file("out"));
            ASSERT_NE(whole, "");
            ASSERT_EQ(RunFailingAllocation(p, args, 0, dir.file("count")).status, 0);
            ASSERT_EQ(ReadFile(dir.file("out")), whole);
            const long allocations = std::atol(ReadFile(dir.file("count")).c_str());
            ASSERT_GT(allocations, 0);
            int failed = 0;
            for (long k = 1; k <= allocations; ++k) {
                SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(allocations));
                const ProgramResult r = RunFailingAllocation(p, args, k);
                if (r.status == 0) {
                    EXPECT_EQ(r.out, "");
                } else {
                    ++failed;
                    EXPECT_EQ(r.out, kMemoryMessage);
                    EXPECT_EQ(r.status, 255);
                }
                EXPECT_EQ(ReadFile(dir.file("out")), whole);
                EXPECT_EQ(FolderContents(dir.path()), kept);
            }
            // The injection reached the run: some failures were not absorbed.
            EXPECT_GT(failed, 0);
        }
}

// Where the output's folder cannot hold a temporary file, the output is
// written in place, but only once complete: an allocation that fails
// meanwhile leaves the old file whole. Run as an ordinary user ("nobody"
// when the tests run as the superuser, who may write in any folder).
TEST(AllocationFailure, AFailedRunWrittenInPlaceLeavesTheOldOutput) {
    SKIP_UNDER_SANITIZERS("the sanitizers' allocator cannot be replaced through LD_PRELOAD");
    const int user = geteuid() == 0 ? 65534 : -1;
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("locked").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(dir.file("counts").c_str(), 0777), 0);
    ASSERT_EQ(chmod(dir.file("counts").c_str(), 0777), 0);  // past the umask
    WriteFile(dir.file("in"), "1 2 4 8 16 3 5 7 9 11 0 6\n0 1 0 1 0 1 1 0 2 2 3 3\n");
    const std::string previous = "previous\n";
    for (const Program &p : kPrograms) {
        SCOPED_TRACE(p.name);
        const std::string out = dir.file("locked/out");
        ASSERT_EQ(chmod(dir.file("locked").c_str(), 0777), 0);
        WriteFile(out, previous);
        ASSERT_EQ(chmod(out.c_str(), 0666), 0);
        ASSERT_EQ(chmod(dir.file("locked").c_str(), 0555), 0);
        const std::vector<std::string> args = {dir.file("in"), out};
        const ProgramResult counted = RunFailingAllocation(p, args, 0, dir.file("counts/count"), user);
        ASSERT_EQ(counted.status, 0) << counted.err;
        ASSERT_NE(counted.err.find("written in place"), std::string::npos) << counted.err;
        const std::string whole = ReadFile(out);
        ASSERT_NE(whole, previous);
        const long allocations = std::atol(ReadFile(dir.file("counts/count")).c_str());
        ASSERT_GT(allocations, 0);
        int failed = 0;
        for (long k = 1; k <= allocations; ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(allocations));
            ASSERT_EQ(chmod(dir.file("locked").c_str(), 0777), 0);
            WriteFile(out, previous);
            ASSERT_EQ(chmod(dir.file("locked").c_str(), 0555), 0);
            const ProgramResult r = RunFailingAllocation(p, args, k, "", user);
            if (r.status == 0) {
                EXPECT_EQ(ReadFile(out), whole);
            } else {
                ++failed;
                EXPECT_EQ(r.status, 255);
                // Opening the file for the held output may be what fails.
                if (r.out != kMemoryMessage) {
                    EXPECT_EQ(r.out, kWriteMessage);
                    EXPECT_NE(r.err.find("cannot be written: Cannot allocate memory"), std::string::npos) << r.err;
                }
                EXPECT_EQ(ReadFile(out), previous);
            }
        }
        EXPECT_GT(failed, 0);
        EXPECT_EQ(FolderContents(dir.file("locked")), std::vector<std::string>{"out"});
    }
}

// 32,769 columns: the pair matrix would take 2,147,549,184 bytes, past the
// 32-bit signed byte count, so the run ends with the memory message without
// trying, once the table is read and before the output is touched.
TEST(Limits, MoreThan32768ColumnsEndWithMemoryMessage) {
    TempDir dir;
    WriteFile(dir.file("in"), OneRow(32769));
    for (const Program &p : kPrograms) {
        SCOPED_TRACE(p.name);
        const std::string out = dir.file(std::string(p.name) + ".out");
        const ProgramResult r = RunProgram(p.path, {dir.file("in"), out});
        EXPECT_EQ(r.out, kMemoryMessage);
        EXPECT_EQ(r.status, 255);
        ExpectOutput(out, std::nullopt);
    }
}

// Exactly 32,768 columns are accepted. dendro-min computes the distances it
// needs without storing them, so a full run takes seconds. Every line must be
// well formed, every leaf and node used exactly once, the survivor of each
// merge the larger slot and the last survivor slot 32,767: a byte size or a
// pair index that overflowed would break one of these.
TEST(Limits, Exactly32768ColumnsGiveACompleteMinimumLinkDendrogram) {
    SKIP_UNDER_SANITIZERS("about a minute under the sanitizers; bench/limits.sh runs it under UBSan");
    constexpr int n = 32768;
    TempDir dir;
    std::string rows;
    for (int r = 0; r < 2; ++r) {
        for (int k = 0; k < n; ++k) rows += std::to_string((k * 7919 + r * 104729) % 10007) + (k + 1 < n ? " " : "\n");
    }
    WriteFile(dir.file("in"), rows);
    const ProgramResult r = RunProgram(DENDRO_MIN_PATH, {dir.file("in"), dir.file("out")});
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.status, 0);

    std::istringstream text(ReadFile(dir.file("out")));
    std::vector<int> leafUses(n, 0), nodeUses, nodeSlot;
    std::string line;
    while (std::getline(text, line)) {
        const int k = static_cast<int>(nodeSlot.size());
        char kinds[2][5];
        int node = -1, ids[2] = {-1, -1}, used = 0;
        float value;
        ASSERT_EQ(std::sscanf(line.c_str(), "NODE%d\t%4[A-Z]%d\t%4[A-Z]%d\t%f%n", &node, kinds[0], &ids[0], kinds[1],
                              &ids[1], &value, &used),
                  6)
            << line;
        ASSERT_EQ(used, static_cast<int>(line.size())) << line;
        ASSERT_EQ(node, k) << line;
        int slots[2];
        for (int c = 0; c < 2; ++c) {
            const bool leaf = std::string(kinds[c]) == "LEAF";
            ASSERT_TRUE(leaf ? ids[c] >= 0 && ids[c] < n : std::string(kinds[c]) == "NODE" && ids[c] >= 0 && ids[c] < k)
                << line;
            if (leaf) {
                ASSERT_EQ(leafUses[ids[c]]++, 0) << line;
                slots[c] = ids[c];
            } else {
                ASSERT_EQ(nodeUses[ids[c]]++, 0) << line;
                slots[c] = nodeSlot[ids[c]];
            }
        }
        ASSERT_GT(slots[0], slots[1]) << line;
        nodeSlot.push_back(slots[0]);
        nodeUses.push_back(0);
    }
    ASSERT_EQ(nodeSlot.size(), static_cast<size_t>(n - 1));
    EXPECT_EQ(nodeSlot.back(), n - 1);
    for (int k = 0; k < n; ++k) EXPECT_EQ(leafUses[k], 1) << "leaf " << k;
}

TEST(IoFaults, UnreadableInputAndUnwritableOutput) {
    // 300 columns give about 8 KiB of lines: more than one stdio buffer, so
    // the full device fails writes during the run and not only at close.
    const std::string smallTable = "0 1 5\n0 0 0\n";
    const std::string largeTable = OneRow(300) + OneRow(300, "3");
    const struct {
        const char *name;
        std::string input;   // written to {dir}/in unless empty
        std::string inPath;  // relative to {dir}
        std::string outPath;  // relative to {dir}, or absolute
        std::string message;
    } cases[] = {
        {"full device, small output", smallTable, "in", "/dev/full", kWriteMessage},
        {"full device, output beyond one buffer", largeTable, "in", "/dev/full", kWriteMessage},
        {"directory as input", "", "folder", "out", kReadMessage},
        {"output path is a folder", smallTable, "in", "folder", kWriteMessage},
        {"output path is a folder, trailing slash", smallTable, "in", "folder/", kWriteMessage},
    };
    for (const Program &p : kPrograms)
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(p.name) + ": " + c.name);
            TempDir dir;
            ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
            WriteFile(dir.file("folder/kept"), "kept\n");
            if (!c.input.empty()) WriteFile(dir.file("in"), c.input);
            const std::string out = c.outPath[0] == '/' ? c.outPath : dir.file(c.outPath);
            const ProgramResult r = RunProgram(p.path, {dir.file(c.inPath), out});
            EXPECT_EQ(r.out, c.message);
            EXPECT_EQ(r.status, 255);
            EXPECT_FALSE(FileExists(dir.file("out")));
            EXPECT_TRUE(IsDirectory(dir.file("folder")));
            EXPECT_EQ(ReadFile(dir.file("folder/kept")), "kept\n");
        }
}

}  // namespace
