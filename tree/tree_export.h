// The tree in the formats other tools read: Newick (tree libraries and
// viewers), the linkage matrix of Python's scientific stack, R's hclust
// object, and JSON for web viewers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dendrogram_file.h"

// The tree in Newick format, ending with ";\n". Leaves are named by
// LeafName(labels, column), quoted where Newick needs it; each branch has
// the length (parent value - child value) / 2, leaves counting as value 0,
// so that two leaves are as far apart through the tree as their merge value.
// Children come in the drawn order.
std::string RenderNewick(const Dendrogram &tree, const std::vector<std::string> &labels);

// A leaf name as Newick writes it: bare when it holds only characters that
// read back unchanged, else in single quotes with inner quotes doubled.
std::string NewickName(const std::string &name);

// The linkage matrix: one line per merge, "a b value size", where a < b are
// the two parts (column c as c, the merge of line k as leafCount + k), value
// the merge value in its shortest exact form (inf, -inf, nan when not
// finite) and size the number of columns under the merge.
std::string RenderLinkage(const Dendrogram &tree);

// R source that dget() or source() turns into an hclust object: the merge
// matrix (-(c + 1) for column c, k + 1 for the merge of line k), the
// heights (Inf, -Inf, NaN when not finite), the drawn leaf order (from 1)
// and the labels (the column numbers when no names are given).
std::string RenderHclust(const Dendrogram &tree, const std::vector<std::string> &labels);

// The tree as nested JSON objects on one line: a merge is {"name": "NODE<k>",
// "node": k, "value": v, "size": s, "children": [left, right]}, a leaf
// {"name": ..., "column": c, "value": 0, "size": 1}. A value that is not
// finite is written null, with "nonfinite": "inf", "-inf" or "nan" beside it.
std::string RenderJson(const Dendrogram &tree, const std::vector<std::string> &labels);

// The same objects without nesting, for trees too deep for some readers:
// {"leaves": n, "root": id, "nodes": [...]}, one node per line, each with
// its "id" (column c as c, the merge of line k as n + k) and a merge's
// "children" as the two ids.
std::string RenderJsonFlat(const Dendrogram &tree, const std::vector<std::string> &labels);

// The export formats by name, for the command line.
// The names of the columns, one a line in column order (the column numbers
// when no names are given): the labels of a linkage matrix.
std::string RenderLabels(const Dendrogram &tree, const std::vector<std::string> &labels);

enum class ExportFormat { Newick, Linkage, Hclust, Json, JsonFlat, Labels };
std::optional<ExportFormat> ExportFormatNamed(std::string_view name);
const char *ExportFormatNames();  // "newick, linkage, hclust, json, json-flat, labels"
std::string RenderExport(ExportFormat format, const Dendrogram &tree, const std::vector<std::string> &labels);

// Things a user should know about the tree in a format: values the reading
// tool cannot take as they are (non-finite, negative, inversions), repeated
// leaf names, nesting too deep for some JSON readers. Empty when there is
// nothing to say.
std::vector<std::string> ExportCautions(ExportFormat format, const Dendrogram &tree,
                                        const std::vector<std::string> &labels);

// The cautions of the Newick text (kept for dendro-newick).
std::vector<std::string> NewickCautions(const Dendrogram &tree, const std::vector<std::string> &labels);

// The levels of merges from the last merge down to the deepest leaf.
std::size_t TreeDepth(const Dendrogram &tree);
