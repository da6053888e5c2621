// dendro-cluster as a user meets it: what it refuses (the reason, the
// status, nothing written), what it takes (missing cells, names, lines,
// distances, more objects than the older programs), and the same bytes at
// every kernel level.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "process.h"

namespace {

const std::string kUsage =
    "Erreur de lecture des arguments \nformat: <nom fichier ditances> <nom fichier de sortie voisins> <nom fichier "
    "de sortie distibution>\n";
const std::string kRead = "Probleme a la lecture d'un des fichiers\n";
const std::string kMemory = "Probleme d'allocation memoire\n";

struct Refusal {
    std::vector<std::string> options;
    std::string input;
    std::string message;  // on standard output
    std::string reason;   // on standard error, after "dendro-cluster: "
};

TEST(ClusterProgram, RefusesWithAReasonAndWritesNothing) {
    const std::string table = "1 2 3\n4 5 7\n";
    const Refusal cases[] = {
        {{"--linkage", "upgma"}, table, kUsage,
         "unknown linkage 'upgma' (single|complete|average|weighted|centroid|median|ward)"},
        {{"--metric", "manhattan"}, table, kUsage,
         "unknown metric 'manhattan' (euclidean|sqeuclidean|cityblock|chebyshev|cosine|correlation|abscorrelation|"
         "spearman)"},
        {{"--linkage", "ward", "--metric", "cosine"}, table, kUsage,
         "--linkage ward needs Euclidean distances (--metric euclidean), not cosine: its merge values are distances "
         "between centroids"},
        {{"--linkage", "centroid", "--metric", "sqeuclidean"}, table, kUsage,
         "--linkage centroid needs Euclidean distances (--metric euclidean), not sqeuclidean: its merge values are "
         "distances between centroids"},
        {{"--distances", "--metric", "cosine"}, "1 2 3\n", kUsage,
         "--metric measures the objects of a table; with --distances, INPUT holds the distances already"},
        {{"--distances", "--rows"}, "1 2 3\n", kUsage,
         "--rows chooses the objects of a table; with --distances, INPUT holds the distances of the objects already"},
        {{"--linkage="}, table, kUsage,
         "unknown linkage '' (single|complete|average|weighted|centroid|median|ward)"},
        {{}, "1 2 3\n4 5\n", kRead,
         "in: line 2 has 2 values, line 1 has 3: every row must hold the same number of values (a missing one is "
         "NA, or nothing between two tabs)"},
        {{}, "1 2\n3 -inf\n", kRead,
         "in: line 2: the cell '-inf' is infinite; only finite numbers and missing cells (NA, NaN, nothing between "
         "two tabs) can be clustered"},
        {{"--distances"}, "1 2 3 4\n", kRead,
         "in: 4 values read: a lower triangle of distances holds n (n - 1) / 2 values (3 for 3 objects, 6 for 4), "
         "and a square matrix n lines of n values"},
        {{"--distances"}, "0 1 2\n1 0 3\n2 3.5 0\n", kRead,
         "in: the square matrix of distances is not symmetric: row 3 column 2 (line 3) differs from row 2 column 3"},
        {{"--distances"}, "1\n-2\n3\n", kRead, "in: line 2: the distance '-2' is negative"},
        {{}, "1\tNA\t5\nNA\t2\t6\n", kRead,
         "in: LEAF1 and LEAF0 have no cell present in both: they have no distance"},
        {{"--header", "--linkage", "single"}, "a\tb\tc\n1\tNA\t5\nNA\t2\t6\n", kRead,
         "in: LEAF1 ('b') and LEAF0 ('a') have no cell present in both: they have no distance"},
        {{"--rows", "--metric", "correlation"}, "g1 1 2 3\ng2 4 4 4\ng3 1 5 2\n", kRead,
         "in: LEAF1 ('g2') has no variance (all its cells are equal): its correlation distance to LEAF0 ('g1') is "
         "undefined"},
        {{"--rows", "--metric", "cosine"}, "1 2 3\n0 0 0\n", kRead,
         "in: LEAF1 is all zero: its cosine distance to LEAF0 is undefined"},
        {{"--rows", "--metric", "correlation"}, "1 2 NA 4\n5 NA 6 5\n", kRead,
         "in: LEAF1 and LEAF0 have no variance on the cells present in both: their correlation distance is "
         "undefined"},
        {{}, "", kMemory, "in: the input holds no row"},
    };
    TempDir dir;
    for (const Refusal &c : cases) {
        WriteFile(dir.file("in"), c.input);
        std::remove(dir.file("out").c_str());
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {dir.file("in"), dir.file("out")});
        const ProgramResult r = RunProgram(DENDRO_CLUSTER_PATH, args, RunSettings{"", {}, false, 0, 0, dir.path()});
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, c.message);
        std::string reason = c.reason;
        if (reason.compare(0, 4, "in: ") == 0) reason = dir.file("in") + reason.substr(2);
        EXPECT_EQ(r.err, "dendro-cluster: " + reason + "\n");
        EXPECT_FALSE(FileExists(dir.file("out")));
    }
}

#ifdef DENDRO_SANITIZED_BUILD
#define SKIP_UNDER_SANITIZERS() GTEST_SKIP() << "the sanitizers' shadow memory does not fit an address-space cap"
#else
#define SKIP_UNDER_SANITIZERS() (void)0
#endif

// 20,000 objects need 1,599,920,000 bytes of distances for average
// linkage, beyond a 1 GiB address space; single linkage works from the
// data in that space.
TEST(ClusterProgram, MatrixBeyondMemorySaysWhatItNeeded) {
    SKIP_UNDER_SANITIZERS();
    if (!ProgramsRunNatively()) GTEST_SKIP() << "an address-space cap needs the programs to run natively";
    std::string row;
    for (int k = 0; k < 20000; ++k) row += std::to_string(k * 7 % 1000) + " ";
    TempDir dir;
    WriteFile(dir.file("wide"), row + "\n" + row + "\n");
    const unsigned long long cap = 1ull << 30;
    const ProgramResult average = RunProgram(DENDRO_CLUSTER_PATH, {dir.file("wide"), dir.file("out")}, cap);
    EXPECT_EQ(average.status, 255);
    EXPECT_EQ(average.out, kMemory);
    EXPECT_EQ(average.err, "dendro-cluster: " + dir.file("wide") +
                               ": 20000 objects: the matrix of their distances (average linkage) needs 1599920000 "
                               "bytes (1526 MiB), more than this system gives\n");
    EXPECT_FALSE(FileExists(dir.file("out")));
    const ProgramResult single =
        RunProgram(DENDRO_CLUSTER_PATH, {"--linkage", "single", dir.file("wide"), dir.file("out")}, cap);
    EXPECT_EQ(single.status, 0) << single.err;
    EXPECT_NE(ReadFile(dir.file("out")).find("NODE19998\t"), std::string::npos);
}

TEST(ClusterProgram, WhatItTakes) {
    struct Case {
        std::vector<std::string> options;
        std::string input, output;
    } cases[] = {
        // Six decimals, or 17 significant digits.
        {{}, "0 0.1\n", "NODE0\tLEAF1\tLEAF0\t0.100000\n"},
        {{"--precise"}, "0 0.1\n", "NODE0\tLEAF1\tLEAF0\t0.10000000000000001\n"},
        // Lines as objects, named or not, under a header.
        {{"--rows", "--header", "--linkage", "complete"}, "id\ts1\ts2\ng1\t0\t0\ng2\t3\t4\ng3\t0\t1\n",
         "NODE0\tLEAF2\tLEAF0\t1.000000\nNODE1\tNODE0\tLEAF1\t5.000000\n"},
        // Missing cells: NA or nothing between two tabs, scaled as R's dist.
        {{"--rows", "--linkage", "single"}, "1\tNA\t3\t10\n2\t5\t\t0\n", "NODE0\tLEAF1\tLEAF0\t14.212670\n"},
        {{"--rows", "--linkage", "single", "--metric", "chebyshev"}, "1\tNaN\t3\t10\n2\t5\t\t0\n",
         "NODE0\tLEAF1\tLEAF0\t10.000000\n"},
        // A triangle and the same distances as a square matrix.
        {{"--distances", "--linkage", "average"}, "1\n4 5\n", "NODE0\tLEAF1\tLEAF0\t1.000000\nNODE1\tLEAF2\tNODE0\t4.500000\n"},
        {{"--distances", "--linkage", "average"}, "0 1 4\n1 0 5\n4 5 0\n",
         "NODE0\tLEAF1\tLEAF0\t1.000000\nNODE1\tLEAF2\tNODE0\t4.500000\n"},
        // Ties: the first pair in the order of larger, then smaller, number.
        {{"--linkage", "single"}, "0 1 2 3\n", "NODE0\tLEAF1\tLEAF0\t1.000000\nNODE1\tLEAF2\tNODE0\t1.000000\nNODE2\tLEAF3\tNODE1\t1.000000\n"},
        // One object: no merge.
        {{}, "1\n2\n", ""},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-", "-"});
        const ProgramResult r = RunProgram(DENDRO_CLUSTER_PATH, args, WithInput(c.input));
        EXPECT_EQ(r.status, 0) << c.input << r.err;
        EXPECT_EQ(r.out, c.output) << c.input;
    }
}

// More objects than dendro-min takes (32,768), clustered from the data.
TEST(ClusterProgram, NoCapOnObjects) {
    std::string line;
    std::mt19937 rng(40000);
    std::uniform_int_distribution<int> digits(0, 999999);
    for (int k = 0; k < 33000; ++k) line += std::to_string(digits(rng)) + "." + std::to_string(digits(rng)) + "\t";
    TempDir dir;
    WriteFile(dir.file("wide"), line + "\n");
    const ProgramResult r = RunProgram(DENDRO_CLUSTER_PATH, {"--linkage", "single", dir.file("wide"), "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 32999);
    EXPECT_NE(r.out.find("LEAF32999"), std::string::npos);
}

// The same bytes with the plain and the vector kernels, for every metric
// and linkage, with missing cells too; and, when the programs under test are
// another build's (the Windows executables), the same bytes as this build.
TEST(ClusterProgram, SameBytesAtEveryKernelLevel) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> digits(0, 99999), missing(0, 30);
    std::string text;
    for (int l = 0; l < 37; ++l)
        for (int c = 0; c < 60; ++c)
            text += (missing(rng) == 0 ? std::string("NA") : std::to_string(digits(rng) / 1000.0)) + (c < 59 ? "\t" : "\n");
    TempDir dir;
    WriteFile(dir.file("table"), text);
    const std::string metrics[] = {"euclidean", "sqeuclidean", "cityblock", "chebyshev",
                                   "cosine", "correlation", "abscorrelation", "spearman"};
    RunSettings scalar;
    scalar.environment = {{"DENDRO_KERNEL_LEVEL", "scalar"}};
    for (const std::string linkage : {"single", "complete", "average", "weighted", "centroid", "median", "ward"})
        for (const std::string &metric : metrics) {
            const bool centroids = linkage == "centroid" || linkage == "median" || linkage == "ward";
            if (centroids && metric != "euclidean") continue;
            const std::vector<std::string> args = {"--precise", "--linkage", linkage, "--metric", metric,
                                                   dir.file("table"), "-"};
            const ProgramResult reference = RunBuiltProgram(DENDRO_CLUSTER_PATH, args);
            ASSERT_EQ(reference.status, 0) << reference.err;
            EXPECT_EQ(std::count(reference.out.begin(), reference.out.end(), '\n'), 59);
            EXPECT_EQ(RunProgram(DENDRO_CLUSTER_PATH, args, scalar).out, reference.out) << linkage << " " << metric;
            if (TestingOtherPrograms()) {
                EXPECT_EQ(RunProgram(DENDRO_CLUSTER_PATH, args).out, reference.out);
            }
        }
}

}  // namespace
