// The leaf order and the tree's fit as the programs give them, held to
// scipy's optimal_leaf_ordering and cophenet on random trees; their refusals
// of bad input; and every tree program on a chain 100,000 merges deep.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "process.h"

namespace {

const std::string kPython = "/usr/bin/python3";
const std::string kPlot = DENDRO_PLOT_PATH, kExport = DENDRO_EXPORT_PATH, kFit = DENDRO_FIT_PATH;
const std::string kCut = DENDRO_CUT_PATH, kNewick = DENDRO_NEWICK_PATH;

bool ScipyPresent() {
    return RunProgram("/bin/sh", {"-c", kPython + " -c 'import scipy.cluster.hierarchy' >/dev/null 2>&1"}).status == 0;
}

#define SKIP_WITHOUT_SCIPY()                                                             \
    do {                                                                                 \
        if (!ScipyPresent()) {                                                           \
            const char *required = std::getenv("DENDRO_REQUIRE_CONSUMERS");              \
            if (required != nullptr && std::string(required) == "1") FAIL() << "no scipy"; \
            GTEST_SKIP() << "scipy is not installed";                                    \
        }                                                                                \
    } while (false)

// Writes, for one random set of points, the tree scipy's linkage makes as
// merge lines (values exact), the distances as a distance file, the points
// as a table of lines, and prints scipy's optimal order total and
// cophenetic correlation.
const char *kScipySide = R"(
import sys, numpy as np
from scipy.cluster import hierarchy as h
from scipy.spatial.distance import pdist, squareform
n, seed, method, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
rng = np.random.default_rng(seed)
X = rng.normal(size=(n, 4)) if seed % 3 else np.round(rng.normal(size=(n, 2)), 1)
y = pdist(X)
Z = h.linkage(y, method)
name = lambda c: ('LEAF%d' % c) if c < n else ('NODE%d' % (c - n))
with open(out + '.dendro', 'w') as f:
    for i, (a, b, v, _) in enumerate(Z):
        f.write('NODE%d\t%s\t%s\t%r\n' % (i, name(int(max(a, b))), name(int(min(a, b))), float(v)))
D = squareform(y)
with open(out + '.dist', 'w') as f:
    for i in range(1, n):
        f.write('\t'.join(repr(float(D[i, j])) for j in range(i)) + '\n')
np.savetxt(out + '.txt', X, fmt='%r', delimiter='\t')
l = h.leaves_list(h.optimal_leaf_ordering(Z, y))
print(repr(float(sum(D[l[i], l[i + 1]] for i in range(n - 1)))), repr(float(h.cophenet(Z, y)[0])))
)";

// The neighbour total of the order a linkage matrix gives scipy's dendrogram.
const char *kLinkageTotal = R"(
import sys, numpy as np
from scipy.cluster import hierarchy as h
Z = np.loadtxt(sys.argv[1], ndmin=2)
n = len(Z) + 1
D = np.zeros((n, n))
rows = [list(map(float, line.split())) for line in open(sys.argv[2])]
for i, row in enumerate(rows, 1):
    D[i, :i] = row
    D[:i, i] = row
l = h.leaves_list(Z)
print(repr(float(sum(D[l[i], l[i + 1]] for i in range(n - 1)))))
)";

double NumberAfter(const std::string &text, const std::string &mark) {
    const std::size_t at = text.find(mark);
    EXPECT_NE(at, std::string::npos) << mark << " not in: " << text;
    return at == std::string::npos ? NAN : std::strtod(text.c_str() + at + mark.size(), nullptr);
}

TEST(TreeOrderAndFit, AgainstScipyOnRandomTrees) {
    SKIP_WITHOUT_SCIPY();
    TempDir dir;
    WriteFile(dir.file("side.py"), kScipySide);
    WriteFile(dir.file("total.py"), kLinkageTotal);
    int trial = 0;
    for (const char *method : {"average", "complete", "ward", "single", "weighted"}) {
        for (const int n : {2, 3, 17, 60, 150}) {
            ++trial;
            const std::string base = dir.file("t" + std::to_string(trial));
            const ProgramResult scipy = RunProgram(kPython, {dir.file("side.py"), std::to_string(n),
                                                             std::to_string(trial), method, base});
            ASSERT_EQ(scipy.status, 0) << scipy.err;
            char *rest = nullptr;
            const double scipyTotal = std::strtod(scipy.out.c_str(), &rest);
            const double scipyCophenet = std::strtod(rest, nullptr);  // "nan" too
            const std::string what = std::string(method) + " n=" + std::to_string(n);

            const ProgramResult ordered = RunProgram(
                kExport, {base + ".dendro", "--to", "linkage", "--order", "optimal", "--distances", base + ".dist"});
            ASSERT_EQ(ordered.status, 0) << ordered.err;
            WriteFile(base + ".lnk", ordered.out);
            const double ours = NumberAfter(ordered.err, "total distance between neighbours ");
            EXPECT_LE(ours, scipyTotal + 1e-9 * (1 + scipyTotal)) << what;
            // The matrix written draws in scipy the order whose total was told.
            const ProgramResult drawn = RunProgram(kPython, {dir.file("total.py"), base + ".lnk", base + ".dist"});
            ASSERT_EQ(drawn.status, 0) << drawn.err;
            EXPECT_NEAR(std::strtod(drawn.out.c_str(), nullptr), ours, 1e-9 * (1 + ours)) << what;

            for (const std::vector<std::string> &source :
                 {std::vector<std::string>{"--distances", base + ".dist"},
                  std::vector<std::string>{"--table", base + ".txt", "--rows"}}) {
                std::vector<std::string> args = {base + ".dendro"};
                args.insert(args.end(), source.begin(), source.end());
                const ProgramResult fit = RunProgram(kFit, args);
                ASSERT_EQ(fit.status, 0) << fit.err;
                const double ourCophenet = NumberAfter(fit.out, "cophenetic correlation\t");
                if (n == 2)
                    EXPECT_TRUE(std::isnan(ourCophenet) && std::isnan(scipyCophenet)) << what;
                else
                    EXPECT_NEAR(ourCophenet, scipyCophenet, 1e-9) << what << " " << source[0];
                EXPECT_NE(fit.out.find("inversions\t0\n"), std::string::npos) << what;
            }
        }
    }
}

// A bad command line or input ends with a reason on standard error, status
// 1, and nothing written.
TEST(TreeOrderAndFit, BadInputEndsWithAReasonAndWritesNothing) {
    TempDir dir;
    WriteFile(dir.file("t.dendro"), "NODE0\tLEAF1\tLEAF0\t1\nNODE1\tLEAF2\tNODE0\t2\n");
    WriteFile(dir.file("t.txt"), "1 2 3\n4 5 6\n");
    WriteFile(dir.file("four.txt"), "1 2 3 4\n4 5 6 7\n");
    WriteFile(dir.file("t.dist"), "1\n2 3\n");
    WriteFile(dir.file("short.dist"), "1\n2\n");
    WriteFile(dir.file("bad.dist"), "1\n2 x\n");
    const std::string svg = dir.file("p.svg");
    struct Case {
        std::string program;
        std::vector<std::string> args;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {kExport, {"--to", "newick", "--order", "optimal"}, "needs the distances"},
        {kExport, {"--to", "newick", "--order", "best", "--table", dir.file("t.txt")}, "unknown order 'best'"},
        {kExport, {"--to", "newick", "--table", dir.file("t.txt")}, "serve --order optimal"},
        {kExport, {"--to", "newick", "--order", "optimal", "--table", dir.file("four.txt")}, "4 columns, the tree 3"},
        {kExport, {"--to", "newick", "--order", "optimal", "--table", dir.file("t.txt"), "--rows"}, "2 lines, the tree 3"},
        {kExport, {"--to", "newick", "--order", "optimal", "--table", dir.file("t.txt"), "--metric", "manhattan"},
         "unknown metric 'manhattan'"},
        {kExport, {"--to", "newick", "--order", "optimal", "--distances", dir.file("short.dist")}, "3 leaves needs 3"},
        {kExport, {"--to", "newick", "--order", "optimal", "--distances", dir.file("bad.dist")}, "'x' is not a number"},
        {kExport,
         {"--to", "newick", "--order", "optimal", "--distances", dir.file("t.dist"), "--table", dir.file("t.txt")},
         "not both"},
        {kPlot, {svg, "--order", "optimal"}, "needs the distances"},
        {kPlot, {svg, "--order", "optimal", "--table", dir.file("four.txt")}, "4 columns, the tree 3"},
        {kFit, {}, "needs the distances"},
        {kFit, {"--table", dir.file("missing.txt")}, "cannot read"},
        {kFit, {"--distances", dir.file("short.dist")}, "3 leaves needs 3"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {dir.file("t.dendro")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProgramResult result = RunProgram(c.program, args);
        EXPECT_EQ(result.status, 1) << c.reason;
        EXPECT_EQ(result.out, "") << c.reason;
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << "wanted '" << c.reason << "', got: " << result.err;
        EXPECT_FALSE(FileExists(svg)) << c.reason;
    }
}

TEST(TreeOrderAndFit, TheMatrixIsTheCopheneticDistances) {
    TempDir dir;
    WriteFile(dir.file("t.dendro"), "NODE0\tLEAF2\tLEAF0\t0.5\nNODE1\tLEAF1\tNODE0\t1.25\nNODE2\tLEAF3\tNODE1\t4\n");
    WriteFile(dir.file("t.dist"), "1\n0.5 1.5\n4 4 4\n");
    const ProgramResult result = RunProgram(kFit, {dir.file("t.dendro"), "--distances", dir.file("t.dist"), "--matrix"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "1.25\n0.5\t1.25\n4\t4\t4\n");
    EXPECT_NE(result.err.find("cophenetic correlation\t"), std::string::npos);
}

// Single linkage on a gradient: a chain as deep as the tree has leaves.
TEST(TreeOrderAndFit, EveryTreeProgramOnAChainOfHundredThousandLeaves) {
    TempDir dir;
    std::string chain = "NODE0\tLEAF1\tLEAF0\t1.000000\n";
    constexpr std::size_t n = 100000;
    for (std::size_t k = 1; k + 1 < n; ++k)
        chain += "NODE" + std::to_string(k) + "\tLEAF" + std::to_string(k + 1) + "\tNODE" + std::to_string(k - 1) +
                 "\t" + std::to_string(k + 1) + ".000000\n";
    const std::string tree = dir.file("chain.dendro");
    WriteFile(tree, chain);
    const std::vector<std::pair<std::string, std::vector<std::string>>> runs = {
        {kPlot, {tree, dir.file("c.svg")}},
        {kPlot, {tree, dir.file("h.svg"), "--horizontal"}},
        {kCut, {tree, "--clusters", "7"}},
        {kCut, {tree, "--height", "500"}},
        {kNewick, {tree}},
        {kExport, {tree, "--to", "json"}},
        {kExport, {tree, "--to", "json-flat"}},
        {kExport, {tree, "--to", "hclust"}},
        {kExport, {tree, "--to", "linkage", "--order", "tree"}},
    };
    for (const auto &[program, args] : runs) {
        const ProgramResult result = RunProgram(program, args);
        EXPECT_EQ(result.status, 0) << program << ": " << result.err;
    }
    EXPECT_GT(ReadFile(dir.file("c.svg")).size(), n * 100);
}

}  // namespace

namespace {

// The notes on pictures people cannot read as drawn: names cut (in the
// middle, so that names sharing a prefix stay apart), a picture beyond
// what renderers rasterise (with the spacing that fits, which then does),
// merges drawn on top of their parts; and the hover text names the parts.
TEST(TreePictureNotes, SayWhatThePictureCannotShow) {
    TempDir dir;
    std::string chain, names;
    constexpr std::size_t n = 2500;
    for (std::size_t k = 0; k + 1 < n; ++k)
        chain += "NODE" + std::to_string(k) + "\tLEAF" + std::to_string(k + 1) + "\t" +
                 (k == 0 ? std::string("LEAF0") : "NODE" + std::to_string(k - 1)) + "\t" + std::to_string(k + 1) + "\n";
    for (std::size_t c = 0; c < n; ++c) names += "a_sample_name_with_a_long_shared_prefix_of_many_words_" + std::to_string(c) + "\n";
    WriteFile(dir.file("t.dendro"), chain);
    WriteFile(dir.file("t.names"), names);
    const ProgramResult wide = RunProgram(kPlot, {dir.file("t.dendro"), dir.file("t.svg"), dir.file("t.names")});
    ASSERT_EQ(wide.status, 0) << wide.err;
    EXPECT_NE(wide.err.find("2500 names are longer than 48 characters and shown cut in the middle"), std::string::npos)
        << wide.err;
    EXPECT_NE(wide.err.find("merges stand less than a pixel above a part"), std::string::npos) << wide.err;
    const std::string mark = "--leaf-spacing ";
    const std::size_t at = wide.err.find(mark);
    ASSERT_NE(at, std::string::npos) << wide.err;
    EXPECT_NE(wide.err.find("more than the 32,767 common renderers rasterise"), std::string::npos);
    const std::string spacing = wide.err.substr(at + mark.size(), wide.err.find(' ', at + mark.size()) - at - mark.size());
    const std::string svg = ReadFile(dir.file("t.svg"));
    EXPECT_NE(svg.find("a_sample_name_with_a_lo\xe2\x80\xa6"), std::string::npos) << "cut in the middle";
    EXPECT_NE(svg.find("<title>NODE2498 at 2499.000000, 2500 leaves: NODE2497 (2499 leaves: a_sample_name_with_a_lo"
                       "\xe2\x80\xa6" "d_prefix_of_many_words_0 \xe2\x80\xa6 a_sample_name_with_a_lo\xe2\x80\xa6refix_of_"
                       "many_words_2498) + a_sample_name_with_a_lo\xe2\x80\xa6refix_of_many_words_2499</title>"),
              std::string::npos);

    const ProgramResult fitted =
        RunProgram(kPlot, {dir.file("t.dendro"), dir.file("f.svg"), dir.file("t.names"), "--leaf-spacing", spacing});
    ASSERT_EQ(fitted.status, 0) << fitted.err;
    EXPECT_EQ(fitted.err.find("rasterise"), std::string::npos) << "the spacing told does fit: " << fitted.err;
    const std::string picture = ReadFile(dir.file("f.svg"));
    const double width = std::strtod(picture.c_str() + picture.find("width=\"") + 7, nullptr);
    EXPECT_LE(width, 32767);
    EXPECT_GT(width, 32000);

    const ProgramResult bad = RunProgram(kPlot, {dir.file("t.dendro"), dir.file("b.svg"), "--leaf-spacing", "wide"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("--leaf-spacing takes a number of pixels"), std::string::npos);
    EXPECT_FALSE(FileExists(dir.file("b.svg")));
}

}  // namespace

namespace {

// --names-from TABLE --rows: a tree of the table's lines named by their labels.
TEST(TreeLineNames, FromTheLabelsOfTheTable) {
    TempDir dir;
    WriteFile(dir.file("t.txt"), "id\ta\tb\nalpha\t1\t2\nbeta\t3\t4\ngamma\t0\t9\n");
    WriteFile(dir.file("unnamed.txt"), "alpha 1 2\n3 4\ngamma 0 9\n");
    WriteFile(dir.file("l.dendro"), "NODE0\tLEAF1\tLEAF0\t2.828427\nNODE1\tLEAF2\tNODE0\t7.071068\n");
    const ProgramResult named =
        RunProgram(kExport, {dir.file("l.dendro"), "--to", "newick", "--names-from", dir.file("t.txt"), "--rows"});
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(named.out, "((alpha:1.4142135,beta:1.4142135):2.1213205,gamma:3.535534);\n");
    const ProgramResult unnamed =
        RunProgram(kExport, {dir.file("l.dendro"), "--to", "newick", "--names-from", dir.file("unnamed.txt"), "--rows"});
    EXPECT_EQ(unnamed.status, 1);
    EXPECT_EQ(unnamed.out, "");
    EXPECT_NE(unnamed.err.find("line 2 of the table's numbers has no name"), std::string::npos) << unnamed.err;
    // dendro-cut and dendro-newick name a tree of lines alike; --rows alone has no table to name it.
    const ProgramResult cut =
        RunProgram(kCut, {dir.file("l.dendro"), "--clusters", "2", "--rows", "--names-from", dir.file("t.txt")});
    ASSERT_EQ(cut.status, 0) << cut.err;
    EXPECT_EQ(cut.out, "0\talpha\t1\n1\tbeta\t1\n2\tgamma\t2\n");
    const ProgramResult newick = RunProgram(kNewick, {dir.file("l.dendro"), "--names-from", dir.file("t.txt"), "--rows"});
    ASSERT_EQ(newick.status, 0) << newick.err;
    EXPECT_EQ(newick.out, named.out);
    for (const std::string &program : {kCut, kNewick}) {
        std::vector<std::string> args = {dir.file("l.dendro"), "--rows"};
        if (program == kCut) args.insert(args.end(), {"--clusters", "2"});
        const ProgramResult alone = RunProgram(program, args);
        EXPECT_EQ(alone.status, 1) << program;
        EXPECT_EQ(alone.out, "");
        EXPECT_NE(alone.err.find("--rows serves --names-from TABLE"), std::string::npos) << alone.err;
    }
    WriteFile(dir.file("c.dendro"), "NODE0\tLEAF1\tLEAF0\t1\n");
    const ProgramResult mismatch =
        RunProgram(kPlot, {dir.file("c.dendro"), dir.file("p.svg"), "--names-from", dir.file("t.txt"), "--rows"});
    EXPECT_EQ(mismatch.status, 1);
    EXPECT_NE(mismatch.err.find("the table has 3 lines, the tree 2 leaves"), std::string::npos) << mismatch.err;
    EXPECT_FALSE(FileExists(dir.file("p.svg")));
}

}  // namespace
