// dendro-plot: draws the merge lines of dendro-min or dendro-variance as a
// standalone SVG picture.
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/output_file.h"
#include "base/platform.h"
#include "tree_render.h"
#include "number_text.h"
#include "tool_order.h"
#include "tree_tool.h"

namespace {

constexpr const char *kProgram = "dendro-plot";
constexpr const char *kUsage =
    "usage: dendro-plot DENDROGRAM PICTURE.svg [NAMES | --names-from TABLE] [--title TITLE] [--horizontal]\n"
    "  DENDROGRAM          merge lines written by dendro-min or dendro-variance\n"
    "                      (- reads standard input)\n"
    "  PICTURE.svg         the picture to write (replaced if it exists, once complete;\n"
    "                      - writes standard output)\n"
    "  NAMES               one name per line for each column, in column order\n"
    "  --names-from TABLE  the names on the first line of the clustered table\n"
    "  --title TITLE       the picture's title (default: the dendrogram file's name;\n"
    "                      --title '' for none)\n"
    "  --horizontal        leaves down the left side with their names written across,\n"
    "                      values growing to the right: readable at thousands of leaves\n"
    "  --leaf-spacing PX   pixels between neighbouring leaves (default: from their\n"
    "                      count, at least 14; a heatmap's column width)\n"
    "  --order tree        the leaves in the order of the merge lines (the default)\n"
    "  --order optimal     merges flipped so that the distances between neighbouring\n"
    "                      leaves add up to the least, from --table TABLE [--metric M]\n"
    "                      [--rows] or --distances FILE (the lower triangle)\n"
    "  --heatmap TABLE     the clustered table's cells as colours, its columns in the\n"
    "                      order of DENDROGRAM (drawn above), names from its header\n"
    "                      and its line labels; missing cells (NA, empty) in grey\n"
    "  --row-tree ROWS     a tree of the table's lines (clustered with --rows), drawn\n"
    "                      at the left, the lines in its order\n"
    "  --scale row|column|none   centre and scale each line or column (mean 0,\n"
    "                      standard deviation 1) before colouring (default: none)\n"
    "                      With --heatmap, --order optimal orders both trees by the\n"
    "                      table's own distances (--metric M, default euclidean).\n"
    "  --version           show the version and end\n"
    "Options may come anywhere among the file names.\n";

// --leaf-spacing PX: a number of pixels from 1 to 1000; 0 when not given.
double LeafSpacing(const ToolCommandLine &line) {
    if (!line.Has("--leaf-spacing")) return 0;
    const std::string text = line.Value("--leaf-spacing");
    char *end = nullptr;
    const double spacing = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(spacing >= 1 && spacing <= 1000))
        ToolFail(kProgram, "--leaf-spacing takes a number of pixels from 1 to 1000, not '" + text + "'");
    return spacing;
}

// The notes on a drawn tree: names cut, a picture too large for common
// renderers, merges that seem to sit on a part.
void NotePicture(const SvgNotes &notes) {
    if (notes.cutNames > 0)
        ToolNote(kProgram, std::to_string(notes.cutNames) + (notes.cutNames == 1 ? " name is" : " names are") +
                               " longer than 48 characters and shown cut in the middle; the whole name is its tooltip");
    if (notes.width > kMaxRasterSize || notes.height > kMaxRasterSize) {
        std::string advice = notes.fittingSpacing >= 1
                                 ? "; --leaf-spacing " + Printf("%g", notes.fittingSpacing) + " would fit"
                                 : "; no leaf spacing of a pixel or more fits";
        ToolNote(kProgram, "the picture is " + Printf("%.0f x %.0f", notes.width, notes.height) +
                               " pixels, more than the 32,767 common renderers rasterise" + advice);
    }
    if (notes.crowdedMerges > 0)
        ToolNote(kProgram, std::to_string(notes.crowdedMerges) +
                               (notes.crowdedMerges == 1 ? " merge stands" : " merges stand") +
                               " less than a pixel above a part of lower value, so that they seem to sit on it; "
                               "each merge's value is in its hover text");
}

// Written as the clustering programs write their output: links followed,
// permissions kept, replaced only once complete.
void WritePicture(const std::string &picturePath, const std::string &svg) {
    ReportOutputFailures([](const std::string &reason) { ToolFail(kProgram, reason); },
                         std::string(kProgram) + ": note: ");
    std::FILE *out = OpenOutput(picturePath);
    std::fwrite(svg.data(), 1, svg.size(), out);  // a failure shows in FinishOutput
    FinishOutput();
}

bool EndsWithSvg(std::string_view name) {
    if (name.size() < 4) return false;
    std::string tail(name.substr(name.size() - 4));
    for (char &c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".svg";
}

// The heatmap of --heatmap TABLE: DENDROGRAM is the tree of its columns.
void PlotHeatmap(const ToolCommandLine &line, TreeInput &columns, const std::string &picturePath) {
    std::string error;
    if (line.Has("--table") || line.Has("--distances") || line.Has("--rows"))
        ToolFail(kProgram, "with --heatmap, the heatmap's table gives the distances; --table, --distances and --rows "
                           "are not taken");
    const std::string tablePath = line.Value("--heatmap");
    HeatmapTable table;
    TreeInput lines;
    ReadTableAndTrees(kProgram, line, tablePath, columns, table, lines);
    const bool lineTree = line.Has("--row-tree");
    HeatmapOptions options;
    const std::string scale = line.Has("--scale") ? line.Value("--scale") : "none";
    if (scale != "none" && scale != "row" && scale != "column")
        ToolFail(kProgram, "unknown scale '" + scale + "'; the scales are row, column and none");
    options.scale = scale == "row" ? HeatmapScale::Row : scale == "column" ? HeatmapScale::Column : HeatmapScale::None;
    options.title = line.Has("--title") ? line.Value("--title") : FileNameOf(tablePath);
    options.cellWidth = LeafSpacing(line);
    OrderTableTrees(kProgram, line, tablePath, table, columns, lines);
    const std::string svg = RenderHeatmap(table, columns.tree, lineTree ? &lines.tree : nullptr, options);
    double width, height;
    HeatmapSize(table, lineTree, options, width, height);
    if (width > kMaxRasterSize || height > kMaxRasterSize)
        ToolNote(kProgram, "the picture is " + Printf("%.0f x %.0f", width, height) +
                               " pixels, more than the 32,767 common renderers rasterise");
    WritePicture(picturePath, svg);
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<ToolOption> known = LeafOrderOptions();
    known.insert(known.end(), {kNamesFromOption, {"--title", true}, {"--horizontal", false}, {"--heatmap", true},
                               {"--row-tree", true}, {"--scale", true},
                               {"--leaf-spacing", true}});
    const ToolCommandLine line = StartTool(argc, argv, kProgram, kUsage, known);
    std::string error;
    if (line.files.size() < 2 || line.files.size() > 3) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    const std::string &dendrogramPath = line.files[0], &picturePath = line.files[1];
    const auto [namesPath, tablePath] = ToolNameSources(kProgram, line, 2);
    const bool toStandardOutput = picturePath == "-";
    if (!toStandardOutput && !EndsWithSvg(picturePath))
        ToolFail(kProgram, "the picture's name must end in .svg (given '" + picturePath + "'); nothing was written");
    if (!toStandardOutput &&
        (SameFile(picturePath, dendrogramPath) || SameFile(picturePath, namesPath) ||
         SameFile(picturePath, tablePath) || SameFile(picturePath, line.Value("--heatmap")) ||
         SameFile(picturePath, line.Value("--row-tree")) || (dendrogramPath == "-" && IsFileOfStream(stdin, picturePath))))
        ToolFail(kProgram, "the picture '" + picturePath + "' would replace an input file; nothing was written");

    TreeInput input = ReadToolTree(kProgram, line, dendrogramPath, {namesPath, tablePath});
    if (line.Has("--heatmap")) {
        PlotHeatmap(line, input, picturePath);
        return 0;
    }
    if (line.Has("--row-tree") || line.Has("--scale")) ToolFail(kProgram, "--row-tree and --scale serve --heatmap");
    OrderToolTree(kProgram, line, input.tree);

    SvgOptions options;
    options.title = line.Has("--title") ? line.Value("--title")
                    : dendrogramPath == "-" ? std::string()
                                            : FileNameOf(dendrogramPath);
    options.horizontal = line.Has("--horizontal");
    options.leafSpacing = LeafSpacing(line);
    SvgNotes notes;
    const std::string svg = RenderSvg(input.tree, input.labels, options, &notes);
    NotePicture(notes);
    WritePicture(picturePath, svg);
    return 0;
}
