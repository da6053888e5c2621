// The TreeView files read back by a reader written from the format's
// description (Java TreeView's manual, "File Formats"): the generalized CDT
// file (a GID column when there is a gene tree, UNIQID and NAME, the
// GWEIGHT column before the data, the AID row naming the arrays, the
// EWEIGHT row before the data rows) and the tree files (one node a row:
// its id, its left and right child, the similarity that sets its height;
// the root is the node that is no one's child).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "dendrogram_file.h"
#include "process.h"

namespace {

const std::string kExport = DENDRO_EXPORT_PATH, kMin = DENDRO_MIN_PATH;

std::vector<std::string> Split(const std::string &line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

std::vector<std::vector<std::string>> Rows(const std::string &text) {
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        EXPECT_EQ(line.find('\r'), std::string::npos);
        rows.push_back(Split(line));
    }
    return rows;
}

struct Cdt {
    std::vector<std::string> arrayNames, arrayIds, geneIds, geneNames;
    std::vector<std::vector<double>> cells;  // NaN for an empty field
};

Cdt ReadCdt(const std::string &text) {
    Cdt cdt;
    const auto rows = Rows(text);
    EXPECT_GE(rows.size(), 3u);
    const std::vector<std::string> &header = rows.at(0);
    const bool gid = header[0] == "GID";
    const auto weight = std::find(header.begin(), header.end(), "GWEIGHT");
    EXPECT_NE(weight, header.end()) << "no GWEIGHT column";
    const std::size_t first = static_cast<std::size_t>(weight - header.begin()) + 1;
    EXPECT_EQ(header[gid ? 1 : 0], "UNIQID");
    EXPECT_EQ(header[gid ? 2 : 1], "NAME");
    cdt.arrayNames.assign(header.begin() + static_cast<long>(first), header.end());
    bool eweight = false;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const std::vector<std::string> &row = rows[r];
        EXPECT_EQ(row.size(), header.size()) << "row " << r;
        if (!eweight && row[0] == "AID") {
            cdt.arrayIds.assign(row.begin() + static_cast<long>(first), row.end());
            continue;
        }
        if (!eweight && row[0] == "EWEIGHT") {
            eweight = true;
            continue;
        }
        EXPECT_TRUE(eweight) << "a data row before EWEIGHT";
        if (gid) cdt.geneIds.push_back(row[0]);
        cdt.geneNames.push_back(row[gid ? 2 : 1]);
        std::vector<double> values;
        for (std::size_t c = first; c < row.size(); ++c)
            values.push_back(row[c].empty() ? NAN : std::strtod(row[c].c_str(), nullptr));
        cdt.cells.push_back(values);
    }
    return cdt;
}

struct TreeFile {
    std::vector<std::string> order;                               // leaves, left first from the root
    std::map<std::set<std::string>, double> clusters;             // each node's leaves and its similarity
};

TreeFile ReadTreeFile(const std::string &text) {
    struct Node {
        std::string left, right;
        double similarity;
    };
    std::map<std::string, Node> nodes;
    std::set<std::string> children;
    std::vector<std::string> lineOrder;
    for (const auto &row : Rows(text)) {
        EXPECT_EQ(row.size(), 4u);
        if (row.size() != 4) continue;
        EXPECT_TRUE(nodes.emplace(row[0], Node{row[1], row[2], std::strtod(row[3].c_str(), nullptr)}).second);
        children.insert(row[1]);
        children.insert(row[2]);
        lineOrder.push_back(row[0]);
    }
    TreeFile tree;
    std::string root;
    for (const auto &[id, node] : nodes)
        if (!children.count(id)) {
            EXPECT_TRUE(root.empty()) << "two roots";
            root = id;
        }
    std::vector<std::string> stack{root};
    while (!stack.empty()) {
        const std::string id = stack.back();
        stack.pop_back();
        const auto found = nodes.find(id);
        if (found == nodes.end()) {
            tree.order.push_back(id);
            continue;
        }
        stack.push_back(found->second.right);
        stack.push_back(found->second.left);
    }
    std::map<std::string, std::set<std::string>> leaves;
    for (const std::string &id : lineOrder) {  // children are defined first
        std::set<std::string> under;
        for (const std::string &child : {nodes[id].left, nodes[id].right}) {
            if (nodes.count(child)) {
                EXPECT_TRUE(leaves.count(child)) << child << " used before its row";
                under.insert(leaves[child].begin(), leaves[child].end());
            } else {
                under.insert(child);
            }
        }
        leaves[id] = under;
        tree.clusters[under] = nodes[id].similarity;
    }
    return tree;
}

// The clusters of a dendrogram, leaves named prefix<c>X, with the
// similarity the files should give them.
std::map<std::set<std::string>, double> Expected(const Dendrogram &tree, const std::string &prefix) {
    double high = 0;
    for (const DendrogramMerge &merge : tree.merges) high = std::max(high, merge.value);
    std::vector<std::set<std::string>> under(tree.merges.size());
    std::map<std::set<std::string>, double> clusters;
    for (std::size_t k = 0; k < tree.merges.size(); ++k) {
        for (const DendrogramChild &child : {tree.merges[k].first, tree.merges[k].second}) {
            if (child.isLeaf)
                under[k].insert(prefix + std::to_string(child.index) + "X");
            else
                under[k].insert(under[child.index].begin(), under[child.index].end());
        }
        clusters[under[k]] = 1 - tree.merges[k].value / high;
    }
    return clusters;
}

Dendrogram ReadTree(const std::string &path) {
    const DendrogramParse parsed = ParseDendrogram(ReadFile(path));
    EXPECT_TRUE(parsed.ok()) << parsed.error;
    return parsed.tree;
}

TEST(TreeViewExport, RoundTripThroughAReaderOfTheFormat) {
    std::mt19937 random(23);
    for (int trial = 0; trial < 6; ++trial) {
        TempDir dir;
        const std::size_t lines = 3 + trial * 4, columns = 2 + trial * 2;
        const bool withLineTree = trial % 2 == 0, optimal = trial % 3 == 1;
        std::uniform_real_distribution<double> cell(-5, 5);
        std::string table = "name", numbers, turned;
        std::vector<std::vector<std::string>> values(lines, std::vector<std::string>(columns));
        for (std::size_t c = 0; c < columns; ++c) table += "\tsample " + std::to_string(c);
        table += "\n";
        for (std::size_t l = 0; l < lines; ++l) {
            table += "gene" + std::to_string(l);
            for (std::size_t c = 0; c < columns; ++c) {
                char text[32];
                std::snprintf(text, sizeof text, "%.3f", cell(random));
                values[l][c] = text;
                const bool missing = l == 1 && c == 1 && !optimal;
                table += std::string("\t") + (missing ? "NA" : text);
                numbers += (c ? "\t" : "") + values[l][c];
            }
            table += "\n";
            numbers += "\n";
        }
        for (std::size_t c = 0; c < columns; ++c) {
            for (std::size_t l = 0; l < lines; ++l) turned += (l ? "\t" : "") + values[l][c];
            turned += "\n";
        }
        WriteFile(dir.file("t.txt"), table);
        WriteFile(dir.file("numbers.txt"), numbers);
        WriteFile(dir.file("turned.txt"), turned);
        ASSERT_EQ(RunProgram(kMin, {dir.file("numbers.txt"), dir.file("c.dendro")}).status, 0);
        ASSERT_EQ(RunProgram(kMin, {dir.file("turned.txt"), dir.file("l.dendro")}).status, 0);
        std::vector<std::string> args = {dir.file("c.dendro"), "--to", "treeview", "--table", dir.file("t.txt"),
                                         "--out", dir.file("out")};
        if (withLineTree) args.insert(args.end(), {"--row-tree", dir.file("l.dendro")});
        if (optimal) args.insert(args.end(), {"--order", "optimal"});
        const ProgramResult run = RunProgram(kExport, args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "");

        const Cdt cdt = ReadCdt(ReadFile(dir.file("out.cdt")));
        const TreeFile atr = ReadTreeFile(ReadFile(dir.file("out.atr")));
        EXPECT_EQ(atr.clusters, Expected(ReadTree(dir.file("c.dendro")), "ARRY")) << "trial " << trial;
        EXPECT_EQ(cdt.arrayIds, atr.order) << "the CDT's columns in the tree's order";
        EXPECT_EQ(FileExists(dir.file("out.gtr")), withLineTree);
        std::vector<std::size_t> lineOf;
        if (withLineTree) {
            const TreeFile gtr = ReadTreeFile(ReadFile(dir.file("out.gtr")));
            EXPECT_EQ(gtr.clusters, Expected(ReadTree(dir.file("l.dendro")), "GENE")) << "trial " << trial;
            EXPECT_EQ(cdt.geneIds, gtr.order) << "the CDT's lines in the tree's order";
        }
        ASSERT_EQ(cdt.cells.size(), lines);
        for (std::size_t r = 0; r < lines; ++r) {
            const std::size_t l = std::stoul(cdt.geneNames[r].substr(4));
            if (withLineTree) {
                EXPECT_EQ(cdt.geneIds[r], "GENE" + std::to_string(l) + "X");
            }
            for (std::size_t a = 0; a < columns; ++a) {
                const std::size_t c = std::stoul(cdt.arrayIds[a].substr(4));
                EXPECT_EQ(cdt.arrayNames[a], "sample " + std::to_string(c));
                if (l == 1 && c == 1 && !optimal)
                    EXPECT_TRUE(std::isnan(cdt.cells[r][a])) << "a missing cell is an empty field";
                else
                    EXPECT_EQ(cdt.cells[r][a], std::strtod(values[l][c].c_str(), nullptr));
            }
        }
    }
}

TEST(TreeViewExport, BadInputEndsWithAReasonAndWritesNothing) {
    TempDir dir;
    WriteFile(dir.file("t.txt"), "1 2 3\n4 5 6\n");
    WriteFile(dir.file("c.dendro"), "NODE0\tLEAF1\tLEAF0\t1\nNODE1\tLEAF2\tNODE0\t2\n");
    WriteFile(dir.file("two.dendro"), "NODE0\tLEAF1\tLEAF0\t1\n");
    const std::string out = dir.file("out");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{dir.file("two.dendro"), "--table", dir.file("t.txt"), "--out", out}, "3 columns, the tree 2 leaves"},
        {{dir.file("c.dendro"), "--table", dir.file("t.txt"), "--out", out, "--row-tree", dir.file("c.dendro")},
         "the tree has 3 leaves, the table"},
        {{dir.file("c.dendro"), "--out", out}, "needs --table TABLE and --out PREFIX"},
        {{dir.file("c.dendro"), "--table", dir.file("t.txt")}, "needs --table TABLE and --out PREFIX"},
        {{dir.file("c.dendro"), "--table", dir.file("absent.txt"), "--out", out}, "cannot read"},
    };
    for (const auto &[args, reason] : cases) {
        std::vector<std::string> command = {args[0], "--to", "treeview"};
        command.insert(command.end(), args.begin() + 1, args.end());
        const ProgramResult result = RunProgram(kExport, command);
        EXPECT_EQ(result.status, 1) << reason;
        EXPECT_NE(result.err.find(reason), std::string::npos) << "wanted '" << reason << "', got: " << result.err;
        for (const char *suffix : {".cdt", ".atr", ".gtr"}) EXPECT_FALSE(FileExists(out + suffix)) << reason;
    }
}

}  // namespace
