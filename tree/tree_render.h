// Turning a dendrogram into a picture (SVG).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dendrogram_file.h"

// The two parts of a merge in drawn order: the second child on the left (or
// on top, when drawn across), the first on the right (below).
inline DendrogramChild LeftChild(const DendrogramMerge &merge) { return merge.second; }
inline DendrogramChild RightChild(const DendrogramMerge &merge) { return merge.first; }

// The columns from left to right as the tree is drawn: a depth-first walk
// from the last merge, the left part of each merge before the right, so
// that every cluster's leaves are side by side and no lines cross.
std::vector<std::size_t> DrawnLeafOrder(const Dendrogram &tree);

struct SvgOptions {
    std::string title;        // written above the tree; none when empty
    bool horizontal = false;  // leaves down the left side, values growing to the right
    double leafSpacing = 0;   // pixels between neighbouring leaves; 0: chosen from their count
};

// What a user should hear about a picture: names cut short, a picture
// larger than common renderers rasterise, merges drawn less than a pixel
// above a part whose value is lower.
struct SvgNotes {
    std::size_t cutNames = 0;
    double width = 0, height = 0;
    double fittingSpacing = 0;     // the leaf spacing that keeps the picture within kMaxRasterSize
    std::size_t crowdedMerges = 0;
};
inline constexpr double kMaxRasterSize = 32767;

// A standalone SVG picture of the tree: leaves in DrawnLeafOrder along the
// bottom (or, horizontal, down the left side, names written across),
// labelled with LeafName(labels, column); each merge one path at its value
// on a labelled linear axis, repeated along long pictures; values that are
// not finite drawn in a marked band beyond the axis; merges lower than one
// of their parts drawn as they are, in another colour.
//
// Elements a reader can rely on: <text class="leaf" data-column="c" x=...
// y=...> per leaf; <path class="merge ..." data-node="k" d="M x y V y H x V
// y"> per merge (horizontal: "M x y H x V y H x"); <g class="tick"
// data-value="v"> per axis tick, whose first <line> lies at the tick's value
// (y1 upright, x1 across); <g class="axis-copy"> per repeat of the axis
// labels inside the picture; <text class="title">.
std::string RenderSvg(const Dendrogram &tree, const std::vector<std::string> &labels,
                      const SvgOptions &options = {}, SvgNotes *notes = nullptr);

// A name of at most `limit` code points: a longer one keeps its start and
// its end around an ellipsis, so that names sharing a prefix stay apart.
std::string CutInTheMiddle(const std::string &name, std::size_t limit, bool &cut);
