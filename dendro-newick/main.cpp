// dendro-newick: writes the merge lines of dendro-min or dendro-variance as
// a Newick tree on standard output (the same text as dendro-export --to
// newick).
#include <cstdio>
#include <string>

#include "base/platform.h"
#include "tree_export.h"
#include "tool_order.h"
#include "tree_tool.h"

namespace {

constexpr const char *kProgram = "dendro-newick";
constexpr const char *kUsage =
    "usage: dendro-newick DENDROGRAM [NAMES | --names-from TABLE [--rows]] > TREE.nwk\n"
    "  DENDROGRAM          merge lines written by dendro-min or dendro-variance\n"
    TOOL_NAMES_USAGE
    "DENDROGRAM - reads standard input; --version shows the version.\n"
    "Options may come anywhere among the file names.\n";

}  // namespace

int main(int argc, char **argv) {
    const ToolCommandLine line = StartTool(argc, argv, kProgram, kUsage, {kNamesFromOption, kRowsOption});
    if (line.files.empty() || line.files.size() > 2) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    const auto [namesPath, tablePath] = ToolNameSources(kProgram, line, 1);
    if (line.Has("--rows") && tablePath.empty()) ToolFail(kProgram, "--rows serves --names-from TABLE");
    const TreeInput input = ReadToolTree(kProgram, line, line.files[0], {namesPath, tablePath});

    // The whole text is made before anything is printed.
    const std::string newick = RenderNewick(input.tree, input.labels);
    for (const std::string &caution : NewickCautions(input.tree, input.labels)) ToolNote(kProgram, caution);
    ToolWriteOutput(kProgram, newick);
    return 0;
}
