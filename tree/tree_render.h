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
};

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
                      const SvgOptions &options = {});
