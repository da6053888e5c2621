// dendro-cut: the flat groups of a dendrogram, cut into a number of
// clusters or at a height, one line per column.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <system_error>

#include "base/platform.h"
#include "leaf_names.h"
#include "tree_cut.h"
#include "tool_order.h"
#include "tree_tool.h"

namespace {

constexpr const char *kProgram = "dendro-cut";
constexpr const char *kUsage =
    "usage: dendro-cut DENDROGRAM (--clusters K | --height H) [NAMES | --names-from TABLE [--rows]]\n"
    "Prints one line per column, in column order: the column number (from 0),\n"
    "its name when names are given, and its group, separated by tabs. Groups are\n"
    "numbered from 1 in the order of their first column.\n"
    "  --clusters K        K groups: the last K - 1 merges, in line order, are undone\n"
    "  --height H          every merge whose value is above H, or is not a finite\n"
    "                      number, is undone, and so is every merge above it in the\n"
    "                      tree: a merge at H or below stays undone when a merge\n"
    "                      under it is (the variance criterion can give a merge a\n"
    "                      lower value than its parts), so every group is a whole\n"
    "                      cluster of the tree\n"
    TOOL_NAMES_USAGE
    "DENDROGRAM - reads standard input; --version shows the version.\n"
    "Options may come anywhere among the file names.\n";

}  // namespace

int main(int argc, char **argv) {
    const ToolCommandLine line = StartTool(argc, argv, kProgram, kUsage, {kNamesFromOption, kRowsOption, {"--clusters", true}, {"--height", true}});
    if (line.files.empty() || line.files.size() > 2 || line.Has("--clusters") == line.Has("--height")) {
        if (!line.files.empty() && line.files.size() <= 2)
            std::fprintf(stderr, "%s: give exactly one of --clusters and --height\n", kProgram);
        std::fputs(kUsage, stderr);
        return 1;
    }
    // The cut is checked before any file is read.
    std::size_t clusters = 0;
    double height = 0;
    if (line.Has("--clusters")) {
        const std::string text = line.Value("--clusters");
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), clusters);
        if (text.empty() || text[0] == '-' || text[0] == '+' || ec != std::errc() || end != text.data() + text.size() ||
            clusters == 0)
            ToolFail(kProgram, "--clusters needs a whole number of groups, 1 or more (given '" + text + "')");
    } else {
        const std::string text = line.Value("--height");
        const char *begin = text.data() + (!text.empty() && text[0] == '+');
        const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), height);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(height))
            ToolFail(kProgram, "--height needs a finite number, with a point for decimals (given '" + text + "')");
    }

    const auto [namesPath, tablePath] = ToolNameSources(kProgram, line, 1);
    if (line.Has("--rows") && tablePath.empty()) ToolFail(kProgram, "--rows serves --names-from TABLE");
    const TreeInput input = ReadToolTree(kProgram, line, line.files[0], {namesPath, tablePath});
    const Dendrogram &tree = input.tree;
    if (line.Has("--clusters") && clusters > tree.leafCount)
        ToolFail(kProgram, line.files[0] + " holds a tree of " + std::to_string(tree.leafCount) +
                               (tree.leafCount == 1 ? " column" : " columns") + ", too few for --clusters " +
                               std::to_string(clusters));

    const std::vector<std::size_t> groups =
        line.Has("--clusters") ? CutIntoClusters(tree, clusters) : CutAtHeight(tree, height);
    std::string out;
    for (std::size_t column = 0; column < tree.leafCount; ++column) {
        out += std::to_string(column);
        if (!input.labels.empty()) {
            out += '\t';
            out += input.labels[column];
        }
        out += '\t';
        out += std::to_string(groups[column]);
        out += '\n';
    }
    ToolWriteOutput(kProgram, out);
    return 0;
}
