// The clustered heatmap: a table's cells as colours, its columns in the
// order of the column tree drawn above them, its lines in the order of a
// tree of the lines drawn at their left (when there is one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dendrogram_file.h"

struct HeatmapTable {
    std::size_t lines = 0, columns = 0;
    std::vector<double> cells;  // (line, column) at line * columns + column; NaN when missing
    std::vector<std::string> columnNames, lineNames;  // empty, or one per column / line
};

enum class HeatmapScale { None, Row, Column };

struct HeatmapOptions {
    std::string title;
    HeatmapScale scale = HeatmapScale::None;
    double cellWidth = 0;  // pixels a column; 0: chosen from the column count
};

// The values as drawn: with Row (Column), each line (column) less its mean
// and divided by its standard deviation (n - 1), missing cells left out, as
// R's heatmap scales; a line without spread becomes 0 less its mean.
std::vector<double> ScaledCells(const HeatmapTable &table, HeatmapScale scale);

// The colour scale: diverging (blue, white at 0, red) when the values drawn
// take both signs or were scaled, symmetric about 0; sequential (pale
// yellow to dark blue) otherwise. Missing cells are grey.
struct ColourScale {
    bool diverging = false;
    double low = 0, high = 1;
    void Colour(double value, std::uint8_t rgb[3]) const;
};
ColourScale ScaleFor(const std::vector<double> &values, bool scaled);
inline constexpr std::uint8_t kMissingRgb[3] = {0x9a, 0x9a, 0x9a};

// A standalone SVG picture. `columnTree` has one leaf per column;
// `lineTree`, when not null, one per line. Up to kMaxCellElements cells are
// one <rect class="cell" data-line data-column> each, with its value as a
// tooltip; more are one embedded PNG <image class="cells">, one pixel per
// cell. Merges are <path class="merge" data-node> in <g class="column-tree">
// and <g class="line-tree">; the root's bar is the last path of each.
inline constexpr std::size_t kMaxCellElements = 4000;
std::string RenderHeatmap(const HeatmapTable &table, const Dendrogram &columnTree, const Dendrogram *lineTree,
                          const HeatmapOptions &options);
// The picture's width and height in pixels.
void HeatmapSize(const HeatmapTable &table, bool lineTree, const HeatmapOptions &options, double &width,
                 double &height);
