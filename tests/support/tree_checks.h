// Checks shared by the tree tests: what a drawing and a Newick text must
// satisfy to show a given dendrogram.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "dendrogram_file.h"

// Every merge's cluster (its columns, sorted) with the merge's value.
std::map<std::vector<std::size_t>, double> Clusters(const Dendrogram &tree);

// Parses `svg` as XML and checks it draws `tree`: one leaf label per column
// reading names[column], leaves side by side for every cluster (no crossing),
// one path per merge joining its two parts at the height of its value on the
// axis (non-finite values above the axis, marked), inversions marked. With
// `horizontal`, the same turned: leaves down the side, values across.
void ExpectDrawsTree(const std::string &svg, const Dendrogram &tree, const std::vector<std::string> &names,
                     bool horizontal = false);

// Parses `newick` and checks it is `tree`: the same leaves by name, the same
// clusters, and branch lengths that add up to half the merge values (the
// distance between two leaves through the tree is their merge value).
void ExpectNewickIsTree(const std::string &newick, const Dendrogram &tree, const std::vector<std::string> &names);

// The names the programs give the leaves when no names file is given.
std::vector<std::string> ColumnNumbers(std::size_t count);
