// dendro-newick: writes the merge lines of dendro-min or dendro-variance as
// a Newick tree on standard output.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "dendrogram_file.h"
#include "platform.h"
#include "tree_render.h"

namespace {

constexpr const char *kUsage =
    "usage: dendro-newick DENDROGRAM [LABELS] > TREE.nwk\n"
    "  DENDROGRAM  merge lines written by dendro-min or dendro-variance\n"
    "  LABELS      optional: one name per line for each column, in column order\n";

[[noreturn]] void Fail(const std::string &message) {
    std::fprintf(stderr, "dendro-newick: %s\n", message.c_str());
    std::exit(1);
}

}  // namespace

int main(int argc, char **argv) {
    UseBinaryStandardStreams();
    if (argc == 2 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 2 || argc > 3) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    const std::string dendrogramPath = argv[1];
    std::string text, error;
    if (!ReadWholeFile(dendrogramPath, text, error)) Fail("cannot read " + dendrogramPath + ": " + error);
    const DendrogramParse parsed = ParseDendrogram(text);
    if (!parsed.ok()) Fail(dendrogramPath + ": " + parsed.error);

    std::vector<std::string> labels;
    if (argc == 3) {
        const std::string labelsPath = argv[2];
        if (!ReadWholeFile(labelsPath, text, error)) Fail("cannot read " + labelsPath + ": " + error);
        LabelsParse names = ParseLabels(text, parsed.tree.leafCount);
        if (!names.ok()) Fail(labelsPath + ": " + names.error);
        labels = std::move(names.labels);
    }

    // The whole text is made before anything is printed.
    const std::string newick = RenderNewick(parsed.tree, labels);
    for (const std::string &caution : NewickCautions(parsed.tree, labels))
        std::fprintf(stderr, "dendro-newick: note: %s\n", caution.c_str());
    const bool written = std::fwrite(newick.data(), 1, newick.size(), stdout) == newick.size();
    if (!written || std::fflush(stdout) != 0 || std::ferror(stdout))
        Fail("cannot write the tree to standard output");
    return 0;
}
