// dendro-export: the merge lines of dendro-min or dendro-variance in the
// formats other tools read, on standard output.
#include <cstdio>
#include <string>

#include "base/platform.h"
#include "tree_export.h"
#include "tool_order.h"
#include "treeview_export.h"
#include "tree_tool.h"

namespace {

constexpr const char *kProgram = "dendro-export";
constexpr const char *kUsage =
    "usage: dendro-export DENDROGRAM --to FORMAT [NAMES | --names-from TABLE] > FILE\n"
    "  --to newick     the Newick tree, as dendro-newick writes it\n"
    "  --to linkage    the linkage matrix of scipy.cluster.hierarchy, one merge a\n"
    "                  line: numpy.loadtxt(FILE, ndmin=2)\n"
    "  --to hclust     R source of an hclust object: dget(\"FILE\")\n"
    "  --to json       nested objects (name, value, size, children) for web viewers\n"
    "  --to json-flat  the same objects in one flat list, each naming its children,\n"
    "                  for trees nested too deep for some JSON readers\n"
    "  --to labels     the names, one a line in column order (the column numbers\n"
    "                  without names): the labels of the linkage matrix\n"
    "  NAMES               one name per line for each column, in column order\n"
    "  --names-from TABLE  the names on the first line of the clustered table\n"
    "  --order tree        the leaves in the order of the merge lines (the default)\n"
    "  --order optimal     merges flipped so that the distances between neighbouring\n"
    "                      leaves add up to the least, from --table TABLE [--metric M]\n"
    "                      [--rows] or --distances FILE (the lower triangle); every\n"
    "                      format keeps that order (the linkage matrix by the order of\n"
    "                      each line's two parts)\n"
    "  --to treeview --table TABLE --out PREFIX [--row-tree ROWS]\n"
    "                  the files of the TreeView viewers: PREFIX.cdt (the table in\n"
    "                  the trees' order), PREFIX.atr (DENDROGRAM, the tree of its\n"
    "                  columns) and with --row-tree PREFIX.gtr (the tree of its lines)\n"
    "DENDROGRAM - reads standard input; --version shows the version.\n"
    "Options may come anywhere among the file names. Notes on values that a\n"
    "format's readers cannot take go to standard error.\n";

// --to treeview: DENDROGRAM is the tree of TABLE's columns. Everything is
// read and checked before the first file is written.
void ExportTreeView(const ToolCommandLine &line, TreeInput &columns) {
    std::string error;
    if (!line.Has("--table") || !line.Has("--out") || line.Value("--out").empty())
        ToolFail(kProgram, "--to treeview needs --table TABLE and --out PREFIX");
    if (line.Has("--distances") || line.Has("--rows"))
        ToolFail(kProgram, "with --to treeview, the table gives the distances; --distances and --rows are not taken");
    const std::string tablePath = line.Value("--table"), prefix = line.Value("--out");
    HeatmapTable table;
    TreeInput lines;
    ReadTableAndTrees(kProgram, line, tablePath, columns, table, lines);
    const bool lineTree = line.Has("--row-tree");
    OrderTableTrees(kProgram, line, tablePath, table, columns, lines);
    const TreeViewFiles files = RenderTreeView(table, columns.tree, lineTree ? &lines.tree : nullptr);
    for (const std::string &caution : files.cautions) ToolNote(kProgram, caution);
    const std::vector<std::pair<std::string, const std::string *>> outputs = {
        {prefix + ".cdt", &files.cdt}, {prefix + ".atr", &files.atr}, {prefix + ".gtr", &files.gtr}};
    for (const auto &[path, text] : outputs) {
        if (path.size() == prefix.size() + 4 && text->empty()) continue;
        for (const std::string &input : {line.files[0], tablePath, line.Value("--row-tree")})
            if (SameFile(path, input)) ToolFail(kProgram, path + " would replace an input file; nothing was written");
    }
    for (const auto &[path, text] : outputs)
        if (!text->empty() && !WriteFileAtomically(path, *text, error)) ToolFail(kProgram, "cannot write " + path + ": " + error);
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<ToolOption> known = LeafOrderOptions();
    known.insert(known.end(), {kNamesFromOption, {"--to", true}, {"--out", true}, {"--row-tree", true}});
    const ToolCommandLine line = StartTool(argc, argv, kProgram, kUsage, known);
    std::string error;
    if (line.files.empty() || line.files.size() > 2 || !line.Has("--to")) {
        if (!line.files.empty() && line.files.size() <= 2) std::fprintf(stderr, "%s: --to FORMAT is needed\n", kProgram);
        std::fputs(kUsage, stderr);
        return 1;
    }
    if (line.Value("--to") == "treeview") {
        const auto [namesPath, tablePath] = ToolNameSources(kProgram, line, 1);
        TreeInput input;
        if (!ReadTreeInput(line.files[0], namesPath, tablePath, input, error)) ToolFail(kProgram, error);
        ExportTreeView(line, input);
        return 0;
    }
    if (line.Has("--out") || line.Has("--row-tree")) ToolFail(kProgram, "--out and --row-tree serve --to treeview");
    const std::optional<ExportFormat> format = ExportFormatNamed(line.Value("--to"));
    if (!format)
        ToolFail(kProgram, "unknown format '" + line.Value("--to") + "'; the formats are " + ExportFormatNames());

    const auto [namesPath, tablePath] = ToolNameSources(kProgram, line, 1);
    TreeInput input = ReadToolTree(kProgram, line, line.files[0], {namesPath, tablePath});
    OrderToolTree(kProgram, line, input.tree);

    // The whole text is made before anything is printed.
    const std::string text = RenderExport(*format, input.tree, input.labels, line.Has("--order"));
    for (const std::string &caution : ExportCautions(*format, input.tree, input.labels)) ToolNote(kProgram, caution);
    ToolWriteOutput(kProgram, text);
    return 0;
}
