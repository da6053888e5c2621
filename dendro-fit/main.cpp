// dendro-fit: how well a tree of dendro-min or dendro-variance keeps the
// distances it was built from.
#include <cstdio>
#include <string>

#include "number_text.h"
#include "tool_order.h"
#include "tree_fit.h"
#include "tree_tool.h"

namespace {

constexpr const char *kProgram = "dendro-fit";
constexpr const char *kUsage =
    "usage: dendro-fit DENDROGRAM (--table TABLE [--metric M] [--rows] | --distances FILE) [--matrix]\n"
    "  --table TABLE     the clustered table: distances between its columns\n"
    "                    (between its lines with --rows)\n"
    "  --metric M        the distance between them (default: euclidean)\n"
    "  --distances FILE  the distances themselves: the lower triangle, row after row\n"
    "  --matrix          write the cophenetic distances (the value of the merge that\n"
    "                    first joins two leaves) as a distance file instead; the\n"
    "                    figures then go to standard error\n"
    "Writes the cophenetic correlation (Pearson's, between the distances and the\n"
    "cophenetic distances) and the number of merges lower than one of their parts.\n";

}  // namespace

int main(int argc, char **argv) {
    std::vector<ToolOption> known = LeafOrderOptions();
    known.erase(known.begin());  // --order
    known.push_back({"--matrix", false});
    const ToolCommandLine line = StartTool(argc, argv, kProgram, kUsage, known);
    if (line.files.size() != 1) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    TreeInput input;
    std::string error;
    if (!ReadTreeInput(line.files[0], "", "", input, error)) ToolFail(kProgram, error);
    std::vector<double> distances;
    if (!CommandLineDistances(line, input.tree.leafCount, distances, error)) ToolFail(kProgram, error);

    const TreeFit fit = FitOfTree(input.tree, distances);
    const std::string figures = "cophenetic correlation\t" + ShortestText(fit.correlation) + "\ninversions\t" +
                                std::to_string(fit.inversions) + "\n";
    if (fit.nonFinite > 0)
        ToolNote(kProgram, std::to_string(fit.nonFinite) + " merge values are not finite numbers; the correlation is nan");
    if (line.Has("--matrix")) {
        std::fputs(figures.c_str(), stderr);
        ToolWriteOutput(kProgram, DistanceFileText(CopheneticDistances(input.tree), input.tree.leafCount));
    } else {
        ToolWriteOutput(kProgram, figures);
    }
    return 0;
}
