// Turning a dendrogram into a picture (SVG) or into Newick text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dendrogram_file.h"

// The columns from left to right as the tree is drawn: a depth-first walk
// from the last merge, the second child of each merge before the first, so
// that every cluster's leaves are side by side and no lines cross.
std::vector<std::size_t> DrawnLeafOrder(const Dendrogram &tree);

// The tree in Newick format, ending with ";\n". Leaves are named by
// LeafName(labels, column), quoted where Newick needs it; each branch has
// the length parent value minus child value, leaves counting as value 0.
// Children come in the drawn order.
std::string RenderNewick(const Dendrogram &tree, const std::vector<std::string> &labels);

// A leaf name as Newick writes it: bare when it holds only characters that
// read back unchanged, else in single quotes with inner quotes doubled.
std::string NewickName(const std::string &name);

// Things a user should know about the Newick text of this tree: branch
// lengths that are not finite numbers, and repeated leaf names, which many
// tree tools reject. Empty when there is nothing to say.
std::vector<std::string> NewickCautions(const Dendrogram &tree, const std::vector<std::string> &labels);

// A standalone SVG picture of the tree: leaves along the bottom in
// DrawnLeafOrder, labelled with LeafName(labels, column); each merge one
// path at the height of its value on a labelled linear axis; values that are
// not finite drawn in a marked band above the axis; merges lower than one of
// their parts drawn as they are, in another colour.
//
// Elements a reader can rely on: <text class="leaf" data-column="c" x=...>
// per leaf, <path class="merge ..." data-node="k" d="M x y V y H x V y">
// per merge, <g class="tick" data-value="v"> per axis tick, whose <line>
// has y1 at the tick's height.
std::string RenderSvg(const Dendrogram &tree, const std::vector<std::string> &labels);
