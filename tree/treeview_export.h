// The clustered table as the TreeView viewers read it: a CDT file (the
// table's cells in the trees' order, with the identifier rows and columns
// the format wants) and tree files, ATR for the tree of the columns
// ("arrays") and GTR for a tree of the lines ("genes").
//
// The files, tab-separated, each line ended by a line feed:
//   .cdt  header "GID UNIQID NAME GWEIGHT <column names>" (no GID without a
//         tree of the lines); a row "AID" with the columns' identifiers
//         ARRY<c>X; a row "EWEIGHT" of 1s; then one row per line of the
//         table, in the drawn order of its tree: GENE<i>X, its name twice,
//         weight 1, its cells (an empty field for a missing one).
//   .atr  one row per merge, in line order: NODE<k+1>X, the left and the
//   .gtr  right part as drawn (ARRY<c>X / GENE<i>X or NODE<j+1>X), and the
//         merge's similarity, 1 - value / (largest finite value), so that
//         the leaves stand at 1 and the last merge lowest; values that are
//         not finite are written as the lowest similarity (with a caution).
#pragma once

#include <string>
#include <vector>

#include "dendrogram_file.h"
#include "heatmap.h"

struct TreeViewFiles {
    std::string cdt, atr, gtr;  // gtr empty without a tree of the lines
    std::vector<std::string> cautions;
};

TreeViewFiles RenderTreeView(const HeatmapTable &table, const Dendrogram &columnTree, const Dendrogram *lineTree);
