#include "treeview_export.h"

#include <algorithm>
#include <cmath>

#include "number_text.h"
#include "tree_render.h"

namespace {

// The tree file of `tree`, its leaves named leaf<c>X.
std::string TreeFile(const Dendrogram &tree, const char *leaf, std::size_t &nonFinite) {
    double high = 0;
    for (const DendrogramMerge &merge : tree.merges)
        if (std::isfinite(merge.value)) high = std::max(high, std::fabs(merge.value));
    const auto name = [leaf](const DendrogramChild &child) {
        return child.isLeaf ? leaf + std::to_string(child.index) + "X" : "NODE" + std::to_string(child.index + 1) + "X";
    };
    std::string text;
    for (std::size_t k = 0; k < tree.merges.size(); ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        double similarity = 0;
        if (!std::isfinite(merge.value)) {
            ++nonFinite;
            similarity = high > 0 ? -1 : 0;
        } else {
            similarity = high > 0 ? 1 - merge.value / high : 1;
        }
        text += "NODE" + std::to_string(k + 1) + "X\t" + name(LeftChild(merge)) + "\t" + name(RightChild(merge)) + "\t" +
                ShortestText(similarity) + "\n";
    }
    return text;
}

// Tabs and line ends cannot stand inside a field: they become blanks.
std::string Field(std::string text) {
    for (char &c : text)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return text;
}

}  // namespace

TreeViewFiles RenderTreeView(const HeatmapTable &table, const Dendrogram &columnTree, const Dendrogram *lineTree) {
    TreeViewFiles files;
    std::size_t nonFinite = 0;
    files.atr = TreeFile(columnTree, "ARRY", nonFinite);
    if (lineTree != nullptr) files.gtr = TreeFile(*lineTree, "GENE", nonFinite);
    if (nonFinite > 0)
        files.cautions.push_back(std::to_string(nonFinite) +
                                 " merge values are not finite; they are written as the lowest similarity");

    const std::vector<std::size_t> columns = DrawnLeafOrder(columnTree);
    std::vector<std::size_t> lines(table.lines);
    for (std::size_t i = 0; i < lines.size(); ++i) lines[i] = i;
    if (lineTree != nullptr) lines = DrawnLeafOrder(*lineTree);
    const bool gid = lineTree != nullptr;
    const std::string lead = gid ? "\t\t\t" : "\t\t";  // the identifier columns after the first

    std::string &cdt = files.cdt;
    cdt = gid ? "GID\tUNIQID\tNAME\tGWEIGHT" : "UNIQID\tNAME\tGWEIGHT";
    for (const std::size_t c : columns)
        cdt += "\t" + Field(table.columnNames.empty() ? std::to_string(c) : table.columnNames[c]);
    cdt += "\nAID" + lead;
    for (const std::size_t c : columns) cdt += "\tARRY" + std::to_string(c) + "X";
    cdt += "\nEWEIGHT" + lead;
    for (std::size_t c = 0; c < columns.size(); ++c) cdt += "\t1";
    cdt += "\n";
    for (const std::size_t line : lines) {
        const std::string name = Field(table.lineNames.empty() ? std::to_string(line) : table.lineNames[line]);
        if (gid) cdt += "GENE" + std::to_string(line) + "X\t";
        cdt += name + "\t" + name + "\t1";
        for (const std::size_t c : columns) {
            const double cell = table.cells[line * table.columns + c];
            cdt += "\t";
            if (!std::isnan(cell)) cdt += ShortestText(cell);
        }
        cdt += "\n";
    }
    return files;
}
