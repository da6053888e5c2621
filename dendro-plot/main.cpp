// dendro-plot: draws the merge lines of dendro-min or dendro-variance as a
// standalone SVG picture.
#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/output_file.h"
#include "base/platform.h"
#include "tree_render.h"
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
    "  --version           show the version and end\n"
    "Options may come anywhere among the file names.\n";

bool EndsWithSvg(std::string_view name) {
    if (name.size() < 4) return false;
    std::string tail(name.substr(name.size() - 4));
    for (char &c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".svg";
}

}  // namespace

int main(int argc, char **argv) {
    const ToolCommandLine line = StartTool(argc, argv, kProgram, kUsage, {kNamesFromOption, {"--title", true}, {"--horizontal", false}});
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
         SameFile(picturePath, tablePath) || (dendrogramPath == "-" && IsFileOfStream(stdin, picturePath))))
        ToolFail(kProgram, "the picture '" + picturePath + "' would replace an input file; nothing was written");

    TreeInput input;
    if (!ReadTreeInput(dendrogramPath, namesPath, tablePath, input, error)) ToolFail(kProgram, error);
    for (const std::string &note : input.notes) ToolNote(kProgram, note);

    SvgOptions options;
    options.title = line.Has("--title") ? line.Value("--title")
                    : dendrogramPath == "-" ? std::string()
                                            : FileNameOf(dendrogramPath);
    options.horizontal = line.Has("--horizontal");
    const std::string svg = RenderSvg(input.tree, input.labels, options);
    // Written as the clustering programs write their output: links followed,
    // permissions kept, replaced only once complete.
    ReportOutputFailures([](const std::string &reason) { ToolFail(kProgram, reason); },
                         std::string(kProgram) + ": note: ");
    std::FILE *out = OpenOutput(picturePath);
    std::fwrite(svg.data(), 1, svg.size(), out);  // a failure shows in FinishOutput
    FinishOutput();
    return 0;
}
