// The exports loaded by the tools they are made for, run as separate
// processes: numpy and scipy (linkage matrix, JSON), R (hclust) and R's ape
// package (Newick). A consumer that is not installed skips its test and
// says so; with DENDRO_REQUIRE_CONSUMERS=1 (as in CI) it fails instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "dendrogram_file.h"
#include "process.h"
#include "tree_checks.h"

namespace {

const std::string kPython = "/usr/bin/python3";  // the system's, where Debian installs numpy and scipy
const std::string kRscript = "/usr/bin/Rscript";

// Empty when `probe` (a shell command) succeeds, else why the consumer is missing.
std::string Missing(const std::string &probe, const std::string &what) {
    if (RunProgram("/bin/sh", {"-c", probe + " >/dev/null 2>&1"}).status == 0) return "";
    return what + " is not installed (" + probe + " fails)";
}

#define SKIP_UNLESS_PRESENT(probe, what)                                                    \
    do {                                                                                    \
        const std::string missing = Missing(probe, what);                                   \
        if (!missing.empty()) {                                                             \
            const char *required = std::getenv("DENDRO_REQUIRE_CONSUMERS");                 \
            if (required != nullptr && std::string(required) == "1") FAIL() << missing;     \
            GTEST_SKIP() << missing;                                                        \
        }                                                                                   \
    } while (false)

std::vector<std::string> Fields(const std::string &line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

std::vector<std::vector<std::string>> Lines(const std::string &text) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) lines.push_back(Fields(line));
    return lines;
}

// The group column of dendro-cut's output.
std::vector<std::string> CutGroups(const std::string &dendrogram, const std::string &rule, const std::string &value) {
    const ProgramResult cut = RunProgram(DENDRO_CUT_PATH, {dendrogram, rule, value});
    EXPECT_EQ(cut.status, 0) << rule << " " << value;
    std::vector<std::string> groups;
    for (const std::vector<std::string> &fields : Lines(cut.out)) groups.push_back(fields.back());
    return groups;
}

// Renumbers groups from 1 in the order of their first member.
std::vector<std::string> ByFirstMember(const std::vector<std::string> &groups) {
    std::map<std::string, std::size_t> number;
    std::vector<std::string> out;
    for (const std::string &group : groups)
        out.push_back(std::to_string(number.emplace(group, number.size() + 1).first->second));
    return out;
}

// Trees of 12 to 40 columns from random tables, through both programs,
// kept when the two cutting rules must agree: no merge below one of its
// parts, and no two merges at the same value.
struct TestTree {
    std::string dendrogram;  // file
    Dendrogram tree;
};

std::vector<TestTree> MonotoneTrees(const TempDir &dir, std::size_t wanted) {
    std::mt19937 random(1312);
    std::normal_distribution<double> normal(0, 1);
    std::vector<TestTree> trees;
    for (int attempt = 0; attempt < 200 && trees.size() < wanted; ++attempt) {
        const std::size_t columns = std::uniform_int_distribution<std::size_t>(12, 40)(random);
        const std::size_t rows = std::uniform_int_distribution<std::size_t>(2, 5)(random);
        std::string table;
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < columns; ++c) {
                char cell[32];
                std::snprintf(cell, sizeof cell, "%s%.4f", c > 0 ? " " : "", normal(random));
                table += cell;
            }
            table += "\n";
        }
        const std::string name = std::string(1, 't') + std::to_string(trees.size());
        WriteFile(dir.file(name + ".txt"), table);
        const std::string program = attempt % 2 == 0 ? DENDRO_MIN_PATH : DENDRO_VARIANCE_PATH;
        if (RunProgram(program, {dir.file(name + ".txt"), dir.file(name + ".dendro")}).status != 0) continue;
        const DendrogramParse parsed = ParseDendrogram(ReadFile(dir.file(name + ".dendro")));
        EXPECT_TRUE(parsed.ok()) << parsed.error;
        bool agree = parsed.ok();
        for (std::size_t k = 1; agree && k < parsed.tree.merges.size(); ++k)
            agree = parsed.tree.merges[k - 1].value < parsed.tree.merges[k].value;
        if (agree) trees.push_back({dir.file(name + ".dendro"), parsed.tree});
    }
    EXPECT_EQ(trees.size(), wanted);
    return trees;
}

std::string Export(const std::string &dendrogram, const std::string &format, const std::string &names = "") {
    std::vector<std::string> args = {dendrogram, "--to", format};
    if (!names.empty()) args.push_back(names);
    const ProgramResult run = RunProgram(DENDRO_EXPORT_PATH, args);
    EXPECT_EQ(run.status, 0) << format;
    return run.out;
}

const char *const kPythonCheck = R"(
import json, sys
import numpy as np
from scipy.cluster import hierarchy

def by_first_member(labels):
    seen = {}
    return [str(seen.setdefault(x, len(seen) + 1)) for x in labels]

for path in sys.argv[1:]:
    if path.endswith('.lnk'):
        Z = np.loadtxt(path, ndmin=2)
        hierarchy.is_valid_linkage(Z, throw=True)
        n = Z.shape[0] + 1
        print(path, 'valid', n, int(hierarchy.is_monotonic(Z)), sep='\t')
        print(path, 'drawn', len(hierarchy.dendrogram(Z, no_plot=True)['ivl']), sep='\t')
        for k in range(2, 11):
            print(path, 'k', k, *by_first_member(hierarchy.fcluster(Z, k, 'maxclust')), sep='\t')
        heights = sorted(set(Z[:, 2]))
        cuts = [heights[0] / 2] + [(a + b) / 2 for a, b in zip(heights, heights[1:])] + [heights[-1] * 2]
        for t in cuts[::len(cuts) // 7][:7] + cuts[-1:]:
            print(path, 'h', repr(t), *by_first_member(hierarchy.fcluster(Z, t, 'distance')), sep='\t')
    else:
        tree = json.load(open(path, encoding='utf-8'))
        if 'nodes' in tree:
            leaves = [node for node in tree['nodes'] if 'children' not in node]
            ids = {node['id'] for node in tree['nodes']}
            assert all(child in ids for node in tree['nodes'] for child in node.get('children', []))
        else:
            leaves, stack = [], [tree]
            while stack:
                node = stack.pop()
                if 'children' in node:
                    assert node['size'] == sum(child['size'] for child in node['children'])
                    stack.extend(node['children'])
                else:
                    leaves.append(node)
        leaves.sort(key=lambda leaf: leaf['column'])
        print(path, 'json', len(leaves), *[leaf['name'] for leaf in leaves], sep='\t')
)";

TEST(Consumers, ScipyReadsTheLinkageMatrixAndJsonParses) {
    SKIP_UNLESS_PRESENT(kPython + " -c 'import numpy, scipy.cluster.hierarchy'", "Python with numpy and scipy");
    TempDir dir;
    const std::vector<TestTree> trees = MonotoneTrees(dir, 5);
    std::vector<std::string> args = {dir.file("check.py")};
    WriteFile(args[0], kPythonCheck);
    for (std::size_t i = 0; i < trees.size(); ++i) {
        WriteFile(dir.file(std::to_string(i) + ".lnk"), Export(trees[i].dendrogram, "linkage"));
        WriteFile(dir.file(std::to_string(i) + ".json"), Export(trees[i].dendrogram, "json"));
        WriteFile(dir.file(std::to_string(i) + "f.json"), Export(trees[i].dendrogram, "json-flat"));
        for (const char *suffix : {".lnk", ".json", "f.json"}) args.push_back(dir.file(std::to_string(i) + suffix));
    }
    // A chain too deep for nested JSON in Python, read in its flat form.
    std::string chain = "NODE0\tLEAF1\tLEAF0\t1\n";
    for (std::size_t k = 1; k < 2999; ++k)
        chain += "NODE" + std::to_string(k) + "\tLEAF" + std::to_string(k + 1) + "\tNODE" + std::to_string(k - 1) + "\t" +
                 std::to_string(k + 1) + "\n";
    WriteFile(dir.file("chain.dendro"), chain);
    WriteFile(dir.file("chainf.json"), Export(dir.file("chain.dendro"), "json-flat"));
    args.push_back(dir.file("chainf.json"));

    const ProgramResult python = RunProgram("/bin/sh", [&] {
        std::vector<std::string> shell = {"-c", "exec \"$0\" \"$@\" 2>&1", kPython};
        shell.insert(shell.end(), args.begin(), args.end());
        return shell;
    }());
    ASSERT_EQ(python.status, 0) << python.out;

    std::map<std::string, const TestTree *> treeOf;
    for (std::size_t i = 0; i < trees.size(); ++i)
        for (const char *suffix : {".lnk", ".json", "f.json"}) treeOf[dir.file(std::to_string(i) + suffix)] = &trees[i];
    std::size_t valid = 0, cutsByCount = 0, cutsByHeight = 0, jsons = 0;
    for (const std::vector<std::string> &f : Lines(python.out)) {
        ASSERT_GE(f.size(), 3u);
        if (f[0] == dir.file("chainf.json")) {
            EXPECT_EQ(f[2], "3000") << "leaves of the flat chain";
            continue;
        }
        const TestTree &t = *treeOf.at(f[0]);
        const std::vector<std::string> groups(f.begin() + 3, f.end());
        if (f[1] == "valid") {
            ++valid;
            EXPECT_EQ(f[2], std::to_string(t.tree.leafCount));
            EXPECT_EQ(f[3], "1") << "monotone in scipy's eyes";
        } else if (f[1] == "drawn") {
            EXPECT_EQ(f[2], std::to_string(t.tree.leafCount));
        } else if (f[1] == "k") {
            ++cutsByCount;
            EXPECT_EQ(CutGroups(t.dendrogram, "--clusters", f[2]), groups) << f[0] << " k = " << f[2];
        } else if (f[1] == "h") {
            ++cutsByHeight;
            EXPECT_EQ(CutGroups(t.dendrogram, "--height", f[2]), groups) << f[0] << " t = " << f[2];
        } else if (f[1] == "json") {
            ++jsons;
            EXPECT_EQ(f[2], std::to_string(t.tree.leafCount));
            ASSERT_EQ(groups.size(), t.tree.leafCount);
            EXPECT_EQ(groups, ColumnNumbers(t.tree.leafCount));
        } else {
            ADD_FAILURE() << "unexpected line from Python: " << f[1];
        }
    }
    EXPECT_EQ(valid, trees.size());
    EXPECT_EQ(cutsByCount, 9 * trees.size());
    EXPECT_EQ(cutsByHeight, 8 * trees.size());
    EXPECT_EQ(jsons, 2 * trees.size());
}

// Names that need quoting in Newick or escaping in R, made unique. ape
// (5.7) cannot read a Newick name holding a single quote (written doubled
// inside the quotes), so the names for ape hold none.
std::vector<std::string> AwkwardNames(std::size_t count, bool forApe = false) {
    std::vector<std::string> stems = {"col", "a b", "x_y", "(p)", "semi;", "comma,", "colon:",
                                      "caf\xc3\xa9", "<&>", "\"q\"", "back\\slash"};
    if (!forApe) stems.push_back("it's");
    std::vector<std::string> names;
    for (std::size_t c = 0; c < count; ++c) names.push_back(stems[c % stems.size()] + std::to_string(c));
    return names;
}

std::string NamesFile(const TempDir &dir, const std::string &name, const std::vector<std::string> &names) {
    std::string text;
    for (const std::string &n : names) text += n + "\n";
    WriteFile(dir.file(name), text);
    return dir.file(name);
}

const char *const kRCheck = R"(
args <- commandArgs(trailingOnly = TRUE)
for (path in args) {
  if (grepl("[.]R$", path)) {
    h <- dget(path)
    n <- length(h$labels)
    stopifnot(inherits(h, "hclust"), nrow(h$merge) == n - 1, all(sort(h$order) == seq_len(n)))
    pdf(NULL); plot(h); invisible(dev.off())
    stopifnot(length(labels(as.dendrogram(h))) == n)
    cat(path, "labels", h$labels, sep = "\t"); cat("\n")
    for (k in 2:min(10, n)) { cat(path, "k", k, unname(cutree(h, k = k)), sep = "\t"); cat("\n") }
    heights <- sort(unique(h$height))
    cuts <- c(heights[1] / 2, (heights[-1] + heights[-length(heights)]) / 2, heights[length(heights)] * 2)
    for (t in cuts[unique(round(seq(1, length(cuts), length.out = 8)))]) {
      cat(path, "h", sprintf("%.17g", t), unname(cutree(h, h = t)), sep = "\t"); cat("\n")
    }
  } else {
    library(ape)
    tree <- read.tree(path)
    cat(path, "tips", tree$tip.label, sep = "\t"); cat("\n")
    for (part in prop.part(tree)) { cat(path, "clade", tree$tip.label[part], sep = "\t"); cat("\n") }
  }
}
)";

ProgramResult RunR(const TempDir &dir, const std::vector<std::string> &files) {
    WriteFile(dir.file("check.R"), kRCheck);
    // A UTF-8 locale, so that names beyond ASCII are printed as they are.
    std::vector<std::string> shell = {"-c", "LC_ALL=C.UTF-8 exec \"$0\" \"$@\" 2>&1", kRscript, dir.file("check.R")};
    shell.insert(shell.end(), files.begin(), files.end());
    return RunProgram("/bin/sh", shell);
}

TEST(Consumers, RBuildsTheHclustObjectAndCutsItTheSameWay) {
    SKIP_UNLESS_PRESENT(kRscript + " -e 'stats::cutree'", "R");
    TempDir dir;
    const std::vector<TestTree> trees = MonotoneTrees(dir, 4);
    std::vector<std::string> files;
    std::map<std::string, std::pair<const TestTree *, std::vector<std::string>>> of;
    for (std::size_t i = 0; i < trees.size(); ++i) {
        const std::string file = dir.file(std::to_string(i) + ".R");
        // Every other tree with awkward names, the rest with column numbers.
        const std::vector<std::string> names =
            i % 2 == 0 ? AwkwardNames(trees[i].tree.leafCount) : ColumnNumbers(trees[i].tree.leafCount);
        WriteFile(file, Export(trees[i].dendrogram, "hclust",
                               i % 2 == 0 ? NamesFile(dir, std::to_string(i) + ".names", names) : ""));
        files.push_back(file);
        of[file] = {&trees[i], names};
    }
    const ProgramResult r = RunR(dir, files);
    ASSERT_EQ(r.status, 0) << r.out;
    std::size_t labels = 0, cutsByCount = 0, cutsByHeight = 0;
    for (const std::vector<std::string> &f : Lines(r.out)) {
        ASSERT_GE(f.size(), 3u);
        const auto &[t, names] = of.at(f[0]);
        if (f[1] == "labels") {
            ++labels;
            EXPECT_EQ(std::vector<std::string>(f.begin() + 2, f.end()), names);
            continue;
        }
        const std::vector<std::string> groups = ByFirstMember(std::vector<std::string>(f.begin() + 3, f.end()));
        if (f[1] == "k") {
            ++cutsByCount;
            EXPECT_EQ(CutGroups(t->dendrogram, "--clusters", f[2]), groups) << f[0] << " k = " << f[2];
        } else if (f[1] == "h") {
            ++cutsByHeight;
            EXPECT_EQ(CutGroups(t->dendrogram, "--height", f[2]), groups) << f[0] << " h = " << f[2];
        } else {
            ADD_FAILURE() << "unexpected line from R: " << f[1];
        }
    }
    EXPECT_EQ(labels, trees.size());
    EXPECT_EQ(cutsByCount, 9 * trees.size());
    EXPECT_EQ(cutsByHeight, 8 * trees.size());
}

TEST(Consumers, ApeReadsTheNewickTreeWithTheSameClades) {
    // Quoted names come back from ape in their quotes, which are taken off
    // here before the names are compared.
    SKIP_UNLESS_PRESENT(kRscript + " -e 'library(ape)'", "R's ape package");
    TempDir dir;
    const std::vector<TestTree> trees = MonotoneTrees(dir, 4);
    std::vector<std::string> files;
    std::map<std::string, std::pair<const TestTree *, std::vector<std::string>>> of;
    for (std::size_t i = 0; i < trees.size(); ++i) {
        const std::string file = dir.file(std::to_string(i) + ".nwk");
        const std::vector<std::string> names = AwkwardNames(trees[i].tree.leafCount, true);
        WriteFile(file, Export(trees[i].dendrogram, "newick", NamesFile(dir, std::to_string(i) + ".names", names)));
        files.push_back(file);
        of[file] = {&trees[i], names};
    }
    const ProgramResult r = RunR(dir, files);
    ASSERT_EQ(r.status, 0) << r.out;
    std::map<std::string, std::set<std::set<std::string>>> clades;
    for (const std::vector<std::string> &f : Lines(r.out)) {
        ASSERT_GE(f.size(), 3u);
        const std::vector<std::string> &names = of.at(f[0]).second;
        // ape keeps the quotes around a quoted name.
        std::vector<std::string> members;
        for (auto name = f.begin() + 2; name != f.end(); ++name) {
            const bool quoted = name->size() >= 2 && name->front() == '\'' && name->back() == '\'';
            members.push_back(quoted ? name->substr(1, name->size() - 2) : *name);
        }
        if (f[1] == "tips") {
            EXPECT_EQ(std::set<std::string>(members.begin(), members.end()),
                      std::set<std::string>(names.begin(), names.end()));
        } else {
            ASSERT_EQ(f[1], "clade");
            clades[f[0]].insert(std::set<std::string>(members.begin(), members.end()));
        }
    }
    for (const auto &[file, treeAndNames] : of) {
        const auto &[t, names] = treeAndNames;
        std::set<std::set<std::string>> expected;
        for (const auto &[members, value] : Clusters(t->tree)) {
            std::set<std::string> clade;
            for (const std::size_t column : members) clade.insert(names[column]);
            expected.insert(clade);
        }
        EXPECT_EQ(clades[file], expected) << file;
    }
}

// The two routes from a tree to ape give the same tree: the Newick text
// read by read.tree, and the hclust object turned by as.phylo. In both, two
// leaves are as far apart through the tree as their merge value.
TEST(Consumers, NewickAndApesHclustTreeAgree) {
    SKIP_UNLESS_PRESENT(kRscript + " -e 'library(ape)'", "R's ape package");
    TempDir dir;
    const std::vector<TestTree> trees = MonotoneTrees(dir, 3);
    std::string script = "library(ape)\n";
    for (std::size_t i = 0; i < trees.size(); ++i) {
        const std::string stem = dir.file(std::to_string(i));
        WriteFile(stem + ".R", Export(trees[i].dendrogram, "hclust"));
        WriteFile(stem + ".nwk", Export(trees[i].dendrogram, "newick"));
        script += "h <- dget('" + stem + ".R'); a <- cophenetic(as.phylo(h)); b <- cophenetic(read.tree('" + stem +
                  ".nwk'))\nb <- b[rownames(a), colnames(a)]; c <- as.matrix(cophenetic(h))[rownames(a), colnames(a)]\n"
                  "cat(sprintf('%.3g %.3g\\n', max(abs(a - b)), max(abs(a - c))))\n";
    }
    WriteFile(dir.file("agree.R"), script);
    const ProgramResult r = RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$1\" 2>&1", kRscript, dir.file("agree.R")});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<std::vector<std::string>> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), trees.size()) << r.out;
    for (const std::vector<std::string> &f : lines) {
        ASSERT_EQ(f.size(), 1u);
        double newick = 1, hclust = 1;
        ASSERT_EQ(std::sscanf(f[0].c_str(), "%lf %lf", &newick, &hclust), 2) << f[0];
        EXPECT_LT(newick, 1e-5) << "Newick and as.phylo(hclust) differ";
        EXPECT_LT(hclust, 1e-5) << "as.phylo(hclust) and the merge values differ";
    }
}

// `--to labels` gives scipy's dendrogram the names of the columns.
TEST(Consumers, ScipyDrawsTheLabels) {
    SKIP_UNLESS_PRESENT(kPython + " -c 'import numpy, scipy.cluster.hierarchy'", "Python with numpy and scipy");
    TempDir dir;
    const std::vector<TestTree> trees = MonotoneTrees(dir, 1);
    ASSERT_EQ(trees.size(), 1u);
    const std::vector<std::string> names = AwkwardNames(trees[0].tree.leafCount);
    WriteFile(dir.file("t.lnk"), Export(trees[0].dendrogram, "linkage"));
    WriteFile(dir.file("t.labels"), Export(trees[0].dendrogram, "labels", NamesFile(dir, "t.names", names)));
    WriteFile(dir.file("draw.py"),
              "import sys\nimport numpy as np\nfrom scipy.cluster import hierarchy\n"
              "Z = np.loadtxt(sys.argv[1], ndmin=2)\n"
              "labels = open(sys.argv[2], encoding='utf-8').read().splitlines()\n"
              "d = hierarchy.dendrogram(Z, labels=labels, no_plot=True)\n"
              "order = hierarchy.leaves_list(Z)\n"
              "for column, name in zip(order, d['ivl']):\n"
              "    sys.stdout.buffer.write(('%d\\t%s\\n' % (column, name)).encode('utf-8'))\n");
    const ProgramResult r = RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>&1", kPython, dir.file("draw.py"),
                                                   dir.file("t.lnk"), dir.file("t.labels")});
    ASSERT_EQ(r.status, 0) << r.out;
    // Each leaf drawn carries the name of its column.
    const std::vector<std::vector<std::string>> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), names.size()) << r.out;
    for (const std::vector<std::string> &f : lines) {
        ASSERT_EQ(f.size(), 2u);
        EXPECT_EQ(f[1], names.at(std::stoul(f[0])));
    }
}

}  // namespace
