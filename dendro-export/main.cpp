// dendro-export: the merge lines of dendro-min or dendro-variance in the
// formats other tools read, on standard output.
#include <cstdio>
#include <string>

#include "base/platform.h"
#include "tree_export.h"
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
    "DENDROGRAM - reads standard input; --version shows the version.\n"
    "Options may come anywhere among the file names. Notes on values that a\n"
    "format's readers cannot take go to standard error.\n";

}  // namespace

int main(int argc, char **argv) {
    const ToolCommandLine line = StartTool(argc, argv, kProgram, kUsage, {kNamesFromOption, {"--to", true}});
    std::string error;
    if (line.files.empty() || line.files.size() > 2 || !line.Has("--to")) {
        if (!line.files.empty() && line.files.size() <= 2) std::fprintf(stderr, "%s: --to FORMAT is needed\n", kProgram);
        std::fputs(kUsage, stderr);
        return 1;
    }
    const std::optional<ExportFormat> format = ExportFormatNamed(line.Value("--to"));
    if (!format)
        ToolFail(kProgram, "unknown format '" + line.Value("--to") + "'; the formats are " + ExportFormatNames());

    const auto [namesPath, tablePath] = ToolNameSources(kProgram, line, 1);
    TreeInput input;
    if (!ReadTreeInput(line.files[0], namesPath, tablePath, input, error)) ToolFail(kProgram, error);
    for (const std::string &note : input.notes) ToolNote(kProgram, note);

    // The whole text is made before anything is printed.
    const std::string text = RenderExport(*format, input.tree, input.labels);
    for (const std::string &caution : ExportCautions(*format, input.tree, input.labels)) ToolNote(kProgram, caution);
    ToolWriteOutput(kProgram, text);
    return 0;
}
