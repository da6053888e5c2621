#include "heatmap.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "number_text.h"
#include "png_image.h"
#include "tree_render.h"

namespace {

constexpr double kTreeDepth = 110, kGap = 4, kFont = 11, kCharWidth = 0.62 * kFont;
constexpr std::size_t kNameChars = 32;
constexpr double kMaxImagePixels = 4e6;
const char *const kInk = "#23395d";

std::string Coord(double value) {
    std::string text = Printf("%.2f", value);
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text == "-0" ? "0" : text;
}

std::string Xml(const std::string &text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string Hex(const std::uint8_t rgb[3]) { return Printf("#%02x%02x%02x", rgb[0], rgb[1], rgb[2]); }

struct Rgb {
    double r, g, b;
};

void Mix(const Rgb &from, const Rgb &to, double t, std::uint8_t rgb[3]) {
    rgb[0] = static_cast<std::uint8_t>(std::lround(from.r + (to.r - from.r) * t));
    rgb[1] = static_cast<std::uint8_t>(std::lround(from.g + (to.g - from.g) * t));
    rgb[2] = static_cast<std::uint8_t>(std::lround(from.b + (to.b - from.b) * t));
}

// Mean and standard deviation (n - 1) of the values at[0 .. count) that are numbers.
void MeanAndSpread(const std::function<double(std::size_t)> &at, std::size_t count, double &mean, double &spread) {
    double sum = 0, squares = 0;
    std::size_t present = 0;
    for (std::size_t i = 0; i < count; ++i)
        if (!std::isnan(at(i))) {
            sum += at(i);
            ++present;
        }
    mean = present > 0 ? sum / static_cast<double>(present) : 0;
    for (std::size_t i = 0; i < count; ++i)
        if (!std::isnan(at(i))) squares += (at(i) - mean) * (at(i) - mean);
    spread = present > 1 ? std::sqrt(squares / static_cast<double>(present - 1)) : 0;
}

}  // namespace

std::vector<double> ScaledCells(const HeatmapTable &table, HeatmapScale scale) {
    std::vector<double> cells = table.cells;
    if (scale == HeatmapScale::None) return cells;
    const bool rows = scale == HeatmapScale::Row;
    const std::size_t groups = rows ? table.lines : table.columns, members = rows ? table.columns : table.lines;
    for (std::size_t g = 0; g < groups; ++g) {
        const auto index = [&](std::size_t i) { return rows ? g * table.columns + i : i * table.columns + g; };
        double mean, spread;
        MeanAndSpread([&](std::size_t i) { return cells[index(i)]; }, members, mean, spread);
        for (std::size_t i = 0; i < members; ++i) {
            double &cell = cells[index(i)];
            if (!std::isnan(cell)) cell = spread > 0 ? (cell - mean) / spread : cell - mean;
        }
    }
    return cells;
}

ColourScale ScaleFor(const std::vector<double> &values, bool scaled) {
    ColourScale scale;
    double low = INFINITY, high = -INFINITY;
    for (const double v : values)
        if (std::isfinite(v)) {
            low = std::min(low, v);
            high = std::max(high, v);
        }
    if (!(low <= high)) low = high = 0;
    scale.diverging = scaled || (low < 0 && high > 0);
    if (scale.diverging) {
        const double limit = std::max(std::fabs(low), std::fabs(high));
        scale.low = -limit;
        scale.high = limit;
    } else {
        scale.low = low;
        scale.high = high;
    }
    return scale;
}

void ColourScale::Colour(double value, std::uint8_t rgb[3]) const {
    if (!std::isfinite(value)) {
        std::copy(kMissingRgb, kMissingRgb + 3, rgb);
        return;
    }
    if (diverging) {
        static const Rgb blue{33, 102, 172}, white{247, 247, 247}, red{178, 24, 43};
        const double t = high > 0 ? std::clamp(value / high, -1.0, 1.0) : 0.0;
        Mix(white, t < 0 ? blue : red, std::fabs(t), rgb);
        return;
    }
    static const Rgb stops[] = {{255, 255, 204}, {161, 218, 180}, {65, 182, 196}, {44, 127, 184}, {37, 52, 148}};
    const double t = high > low ? std::clamp((value - low) / (high - low), 0.0, 1.0) * 4 : 0.0;
    const auto segment = std::min<std::size_t>(static_cast<std::size_t>(t), 3);
    Mix(stops[segment], stops[segment + 1], t - static_cast<double>(segment), rgb);
}

namespace {

// A name of at most kNameChars code points: longer ones keep their start
// and their end, cut in the middle, so that names sharing a prefix stay apart.
std::string ShownName(const std::string &name, bool &cut) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < name.size(); ++i)
        if ((static_cast<unsigned char>(name[i]) & 0xc0) != 0x80) starts.push_back(i);
    cut = starts.size() > kNameChars;
    if (!cut) return name;
    const std::size_t head = (kNameChars - 1) / 2, tail = kNameChars - 1 - head;
    return name.substr(0, starts[head]) + "\xe2\x80\xa6" + name.substr(starts[starts.size() - tail]);
}

double NamesExtent(const std::vector<std::string> &names) {
    std::size_t widest = 0;
    for (const std::string &name : names) {
        bool cut = false;
        std::size_t points = 0;
        for (const char c : ShownName(name, cut)) points += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
        widest = std::max(widest, points);
    }
    return static_cast<double>(widest) * kCharWidth;
}

// One path per merge: from the first drawn part out to the merge's level,
// along to the second part, back to it. `at(leaf)` is a leaf's centre along
// the leaves; `level(value)` the coordinate of a value across them
// (leaves at level(0)); `across`: leaves down the side, levels in x.
void DrawTree(std::string &svg, const Dendrogram &tree, const std::vector<double> &leafAt,
              const std::function<double(double)> &level, bool across, const char *cls) {
    std::vector<double> nodeAt(tree.merges.size()), nodeLevel(tree.merges.size());
    const auto at = [&](const DendrogramChild &c) { return c.isLeaf ? leafAt[c.index] : nodeAt[c.index]; };
    const auto lev = [&](const DendrogramChild &c) { return c.isLeaf ? level(0) : nodeLevel[c.index]; };
    const auto point = [&](double position, double lv) {
        return across ? Coord(lv) + " " + Coord(position) : Coord(position) + " " + Coord(lv);
    };
    svg += std::string("<g class=\"") + cls + "\" fill=\"none\" stroke=\"" + kInk + "\" stroke-width=\"1.2\">\n";
    for (std::size_t k = 0; k < tree.merges.size(); ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        const DendrogramChild l = LeftChild(merge), r = RightChild(merge);
        nodeAt[k] = (at(l) + at(r)) / 2;
        nodeLevel[k] = level(merge.value);
        const char out = across ? 'H' : 'V', along = across ? 'V' : 'H';
        svg += "<path class=\"merge\" data-node=\"" + std::to_string(k) + "\" d=\"M " + point(at(l), lev(l)) + " " +
               out + " " + Coord(nodeLevel[k]) + " " + along + " " + Coord(at(r)) + " " + out + " " + Coord(lev(r)) +
               "\"/>\n";
    }
    svg += "</g>\n";
}

// level(value) for a tree drawn from `base` (its leaves) towards `tip`
// (its highest merge); values that are not finite go to the tip, negative
// ones to the base.
std::function<double(double)> TreeLevels(const Dendrogram &tree, double base, double tip) {
    double high = 0;
    for (const DendrogramMerge &merge : tree.merges)
        if (std::isfinite(merge.value)) high = std::max(high, merge.value);
    return [=](double value) {
        if (!std::isfinite(value)) return tip;
        const double t = high > 0 ? std::clamp(value / high, 0.0, 1.0) : 1.0;
        return base + (tip - base) * t;
    };
}

struct Layout {
    double cellWidth, cellHeight, cellsLeft, cellsTop, width, height;
    bool columnNames, lineNames;
};

Layout LayOut(const HeatmapTable &table, bool lineTree, const HeatmapOptions &options) {
    Layout l;
    const auto n = static_cast<double>(table.columns), m = static_cast<double>(table.lines);
    // Whole pixels a cell, so that a picture drawn at its size puts each
    // cell on whole pixels, with no blend at its edges.
    l.cellWidth = std::floor(options.cellWidth > 0 ? options.cellWidth : std::clamp(720.0 / n, 3.0, 40.0));
    l.cellHeight = std::floor(std::clamp(600.0 / m, 1.0, 28.0));
    l.columnNames = !table.columnNames.empty() && l.cellWidth >= 9;
    l.lineNames = !table.lineNames.empty() && l.cellHeight >= 9;
    l.cellsLeft = 10 + (lineTree ? kTreeDepth + kGap : 0);
    l.cellsTop = (options.title.empty() ? 10 : 40) + kTreeDepth + kGap;
    const double right = l.cellsLeft + n * l.cellWidth + (l.lineNames ? 6 + NamesExtent(table.lineNames) : 0);
    l.width = right + 20 + 170;  // the legend
    const double namesBelow = l.columnNames ? 6 + NamesExtent(table.columnNames) : 0;
    l.height = std::max(l.cellsTop + m * l.cellHeight + namesBelow, l.cellsTop + 230) + 10;
    l.width = std::max(l.width, 10 + static_cast<double>(options.title.size()) * 0.62 * 15 + 10);
    return l;
}

void DrawCells(std::string &svg, const HeatmapTable &table, const std::vector<double> &values, const ColourScale &scale,
               const Layout &l, const std::vector<std::size_t> &columns, const std::vector<std::size_t> &lines) {
    std::uint8_t rgb[3];
    if (table.lines * table.columns <= kMaxCellElements) {
        svg += "<g class=\"cells\" stroke=\"none\">\n";
        for (std::size_t y = 0; y < lines.size(); ++y)
            for (std::size_t x = 0; x < columns.size(); ++x) {
                const double value = values[lines[y] * table.columns + columns[x]];
                scale.Colour(value, rgb);
                svg += "<rect class=\"cell\" data-line=\"" + std::to_string(lines[y]) + "\" data-column=\"" +
                       std::to_string(columns[x]) + "\" x=\"" + Coord(l.cellsLeft + x * l.cellWidth) + "\" y=\"" +
                       Coord(l.cellsTop + y * l.cellHeight) + "\" width=\"" + Coord(l.cellWidth) + "\" height=\"" +
                       Coord(l.cellHeight) + "\" fill=\"" + Hex(rgb) + "\"><title>" +
                       (std::isnan(table.cells[lines[y] * table.columns + columns[x]])
                            ? std::string("missing")
                            : ShortestText(table.cells[lines[y] * table.columns + columns[x]])) +
                       "</title></rect>\n";
            }
        svg += "</g>\n";
        return;
    }
    // A cell is one pixel of the image, or its whole size in pixels where
    // the image stays small: renderers that smooth a scaled image then
    // still draw each cell in its own colour.
    const auto cellsAcross = columns.size(), cellsDown = lines.size();
    const double full = static_cast<double>(cellsAcross) * l.cellWidth * static_cast<double>(cellsDown) * l.cellHeight;
    const std::size_t kx = full <= kMaxImagePixels ? static_cast<std::size_t>(std::max(1.0, l.cellWidth)) : 1;
    const std::size_t ky = full <= kMaxImagePixels ? static_cast<std::size_t>(std::max(1.0, l.cellHeight)) : 1;
    const std::size_t imageWidth = cellsAcross * kx;
    std::vector<std::uint8_t> pixels(imageWidth * cellsDown * ky * 3);
    for (std::size_t y = 0; y < cellsDown * ky; ++y)
        for (std::size_t x = 0; x < imageWidth; ++x)
            scale.Colour(values[lines[y / ky] * table.columns + columns[x / kx]], &pixels[(y * imageWidth + x) * 3]);
    svg += "<image class=\"cells\" x=\"" + Coord(l.cellsLeft) + "\" y=\"" + Coord(l.cellsTop) + "\" width=\"" +
           Coord(l.cellWidth * columns.size()) + "\" height=\"" + Coord(l.cellHeight * lines.size()) +
           "\" preserveAspectRatio=\"none\" image-rendering=\"optimizeSpeed\" style=\"image-rendering:pixelated\" "
           "xlink:href=\"data:image/png;base64," +
           Base64(EncodePng(pixels, imageWidth, cellsDown * ky)) + "\"/>\n";
}

void DrawLegend(std::string &svg, const ColourScale &scale, double x, double y, bool anyMissing) {
    constexpr int steps = 40;
    constexpr double barHeight = 160, barWidth = 14;
    svg += "<g class=\"legend\">\n";
    std::uint8_t rgb[3];
    for (int i = 0; i < steps; ++i) {
        const double value = scale.high - (scale.high - scale.low) * (i + 0.5) / steps;
        scale.Colour(value, rgb);
        svg += "<rect x=\"" + Coord(x) + "\" y=\"" + Coord(y + barHeight * i / steps) + "\" width=\"" +
               Coord(barWidth) + "\" height=\"" + Coord(barHeight / steps + 0.5) + "\" fill=\"" + Hex(rgb) + "\"/>\n";
    }
    const auto label = [&](double value, double at) {
        svg += "<text x=\"" + Coord(x + barWidth + 5) + "\" y=\"" + Coord(at) + "\" dominant-baseline=\"central\">" +
               Printf("%.4g", value) + "</text>\n";
    };
    label(scale.high, y);
    label((scale.high + scale.low) / 2, y + barHeight / 2);
    label(scale.low, y + barHeight);
    if (anyMissing) {
        svg += "<rect class=\"missing\" x=\"" + Coord(x) + "\" y=\"" + Coord(y + barHeight + 16) + "\" width=\"" +
               Coord(barWidth) + "\" height=\"" + Coord(barWidth) + "\" fill=\"" + Hex(kMissingRgb) + "\"/>\n";
        svg += "<text x=\"" + Coord(x + barWidth + 5) + "\" y=\"" + Coord(y + barHeight + 16 + barWidth / 2) +
               "\" dominant-baseline=\"central\">missing</text>\n";
    }
    svg += "</g>\n";
}

void DrawNames(std::string &svg, const std::vector<std::string> &names, const std::vector<std::size_t> &order,
               const std::function<double(std::size_t)> &at, double edge, bool upright, const char *cls) {
    svg += std::string("<g class=\"") + cls + "\" fill=\"#111\">\n";
    for (std::size_t p = 0; p < order.size(); ++p) {
        bool cut = false;
        const std::string &name = names[order[p]];
        const std::string shown = Xml(ShownName(name, cut)) + (cut ? "<title>" + Xml(name) + "</title>" : "");
        const std::string position = Coord(at(p));
        if (upright)
            svg += "<text x=\"" + position + "\" y=\"" + Coord(edge) + "\" transform=\"rotate(-90 " + position + " " +
                   Coord(edge) + ")\" text-anchor=\"end\" dominant-baseline=\"central\">" + shown + "</text>\n";
        else
            svg += "<text x=\"" + Coord(edge) + "\" y=\"" + position + "\" dominant-baseline=\"central\">" + shown +
                   "</text>\n";
    }
    svg += "</g>\n";
}

}  // namespace

void HeatmapSize(const HeatmapTable &table, bool lineTree, const HeatmapOptions &options, double &width,
                 double &height) {
    const Layout l = LayOut(table, lineTree, options);
    width = l.width;
    height = l.height;
}

std::string RenderHeatmap(const HeatmapTable &table, const Dendrogram &columnTree, const Dendrogram *lineTree,
                          const HeatmapOptions &options) {
    const Layout l = LayOut(table, lineTree != nullptr, options);
    const std::vector<double> values = ScaledCells(table, options.scale);
    const ColourScale scale = ScaleFor(values, options.scale != HeatmapScale::None);
    const std::vector<std::size_t> columns = DrawnLeafOrder(columnTree);
    std::vector<std::size_t> lines(table.lines);
    for (std::size_t i = 0; i < lines.size(); ++i) lines[i] = i;
    if (lineTree != nullptr) lines = DrawnLeafOrder(*lineTree);

    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
                      "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"" +
                      Coord(l.width) + "\" height=\"" + Coord(l.height) + "\" viewBox=\"0 0 " + Coord(l.width) + " " +
                      Coord(l.height) + "\" font-family=\"sans-serif\" font-size=\"" + Coord(kFont) + "\">\n";
    svg += "<title>" + Xml(options.title.empty() ? "" : options.title + ": ") + "heatmap of " +
           std::to_string(table.lines) + " lines and " + std::to_string(table.columns) + " columns</title>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    if (!options.title.empty())
        svg += "<text class=\"title\" x=\"10\" y=\"25\" font-size=\"15\" font-weight=\"bold\">" + Xml(options.title) +
               "</text>\n";
    DrawCells(svg, table, values, scale, l, columns, lines);

    std::vector<double> columnAt(table.columns), lineAt(table.lines);
    for (std::size_t p = 0; p < columns.size(); ++p) columnAt[columns[p]] = l.cellsLeft + (p + 0.5) * l.cellWidth;
    for (std::size_t p = 0; p < lines.size(); ++p) lineAt[lines[p]] = l.cellsTop + (p + 0.5) * l.cellHeight;
    DrawTree(svg, columnTree, columnAt, TreeLevels(columnTree, l.cellsTop - kGap, l.cellsTop - kGap - kTreeDepth),
             false, "column-tree");
    if (lineTree != nullptr)
        DrawTree(svg, *lineTree, lineAt, TreeLevels(*lineTree, l.cellsLeft - kGap, l.cellsLeft - kGap - kTreeDepth),
                 true, "line-tree");
    const double cellsRight = l.cellsLeft + table.columns * l.cellWidth;
    const double cellsBottom = l.cellsTop + table.lines * l.cellHeight;
    if (l.columnNames)
        DrawNames(svg, table.columnNames, columns, [&](std::size_t p) { return l.cellsLeft + (p + 0.5) * l.cellWidth; },
                  cellsBottom + 6, true, "column-names");
    if (l.lineNames)
        DrawNames(svg, table.lineNames, lines, [&](std::size_t p) { return l.cellsTop + (p + 0.5) * l.cellHeight; },
                  cellsRight + 6, false, "line-names");
    const double legendX = l.width - 170 + 10;
    const bool anyMissing = std::any_of(table.cells.begin(), table.cells.end(), [](double v) { return std::isnan(v); });
    DrawLegend(svg, scale, legendX, l.cellsTop, anyMissing);
    svg += "</svg>\n";
    return svg;
}
