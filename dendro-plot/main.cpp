// dendro-plot: draws the merge lines of dendro-min or dendro-variance as a
// standalone SVG picture.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "dendrogram_file.h"
#include "platform.h"
#include "tree_render.h"

namespace {

constexpr const char *kUsage =
    "usage: dendro-plot DENDROGRAM PICTURE.svg [LABELS]\n"
    "  DENDROGRAM   merge lines written by dendro-min or dendro-variance\n"
    "  PICTURE.svg  the picture to write (replaced if it exists)\n"
    "  LABELS       optional: one name per line for each column, in column order\n";

[[noreturn]] void Fail(const std::string &message) {
    std::fprintf(stderr, "dendro-plot: %s\n", message.c_str());
    std::exit(1);
}

bool EndsWithSvg(std::string_view name) {
    if (name.size() < 4) return false;
    std::string tail(name.substr(name.size() - 4));
    for (char &c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".svg";
}

bool SameFile(const std::string &a, const std::string &b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

}  // namespace

int main(int argc, char **argv) {
    UseBinaryStandardStreams();
    if (argc == 2 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 3 || argc > 4) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    const std::string dendrogramPath = argv[1], picturePath = argv[2];
    const std::string labelsPath = argc == 4 ? argv[3] : "";
    if (!EndsWithSvg(picturePath))
        Fail("the picture's name must end in .svg (given '" + picturePath + "'); nothing was written");
    if (SameFile(picturePath, dendrogramPath) || (!labelsPath.empty() && SameFile(picturePath, labelsPath)))
        Fail("the picture '" + picturePath + "' would replace an input file; nothing was written");

    std::string text, error;
    if (!ReadWholeFile(dendrogramPath, text, error)) Fail("cannot read " + dendrogramPath + ": " + error);
    const DendrogramParse parsed = ParseDendrogram(text);
    if (!parsed.ok()) Fail(dendrogramPath + ": " + parsed.error);

    std::vector<std::string> labels;
    if (!labelsPath.empty()) {
        if (!ReadWholeFile(labelsPath, text, error)) Fail("cannot read " + labelsPath + ": " + error);
        LabelsParse names = ParseLabels(text, parsed.tree.leafCount);
        if (!names.ok()) Fail(labelsPath + ": " + names.error);
        labels = std::move(names.labels);
    }

    const std::string svg = RenderSvg(parsed.tree, labels);
    if (!WriteFileAtomically(picturePath, svg, error)) Fail("cannot write " + picturePath + ": " + error);
    return 0;
}
