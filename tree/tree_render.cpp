#include "tree_render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "leaf_names.h"
#include "number_text.h"

namespace {

// Escapes the characters XML gives a meaning to.
std::string Xml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

// A coordinate with at most two decimals and no trailing zeros.
std::string Coord(double value) {
    std::string text = Printf("%.2f", value);
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    if (text == "-0") text = "0";
    return text;
}

std::size_t CodePoints(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text)
        if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) ++count;
    return count;
}


struct Axis {
    double low = 0, high = 1, step = 1;
    int decimals = 0;
    bool general = false;  // labels in %g form (very large or very small values)
    std::string Label(double value) const {
        std::string text = general ? Printf("%.6g", value) : Printf("%.*f", decimals, value);
        if (text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
        return text;
    }
};

// A linear axis from `low` to `high` rounded out to steps of 1, 2 or 5
// times a power of ten, about six of them.
Axis NiceAxis(double low, double high) {
    if (!(high > low)) high = low + 1;
    Axis axis;
    const double rough = (high - low) / 6;
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    const double ratio = rough / magnitude;
    axis.step = (ratio < 1.5 ? 1 : ratio < 3.5 ? 2 : ratio < 7.5 ? 5 : 10) * magnitude;
    axis.low = std::floor(low / axis.step) * axis.step;
    axis.high = std::ceil(high / axis.step) * axis.step;
    const int exponent = static_cast<int>(std::floor(std::log10(axis.step) + 1e-9));
    axis.decimals = std::max(0, -exponent);
    axis.general = std::max(std::fabs(axis.low), std::fabs(axis.high)) >= 1e9 || axis.decimals > 8;
    return axis;
}

}  // namespace

std::string CutInTheMiddle(const std::string &name, std::size_t limit, bool &cut) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < name.size(); ++i)
        if ((static_cast<unsigned char>(name[i]) & 0xc0) != 0x80) starts.push_back(i);
    cut = starts.size() > limit;
    if (!cut) return name;
    const std::size_t head = (limit - 1) / 2, tail = limit - 1 - head;
    return name.substr(0, starts[head]) + "\xe2\x80\xa6" + name.substr(starts[starts.size() - tail]);
}

std::vector<std::size_t> DrawnLeafOrder(const Dendrogram &tree) {
    std::vector<std::size_t> order;
    order.reserve(tree.leafCount);
    if (tree.merges.empty()) {
        order.push_back(0);
        return order;
    }
    std::vector<DendrogramChild> stack{{false, tree.merges.size() - 1}};
    while (!stack.empty()) {
        const DendrogramChild item = stack.back();
        stack.pop_back();
        if (item.isLeaf) {
            order.push_back(item.index);
        } else {
            stack.push_back(RightChild(tree.merges[item.index]));
            stack.push_back(LeftChild(tree.merges[item.index]));
        }
    }
    return order;
}


namespace {

constexpr double kFontSize = 12;
constexpr double kCharWidth = 0.62 * kFontSize;  // a generous average for sans-serif
constexpr double kTitleSize = 15;
constexpr std::size_t kMaxLabelChars = 48;
constexpr double kBandGap = 30, kBandStep = 26;
// Along a long picture the axis labels are repeated this often (pixels), so
// that every part of the tree has a scale within sight.
constexpr double kAxisRepeat = 900;
const char *const kInk = "#23395d", *const kInvertedInk = "#d95f02", *const kNonFiniteInk = "#c0392b";

double TextWidth(std::string_view text, double fontSize = kFontSize) {
    return static_cast<double>(CodePoints(text)) * 0.62 * fontSize;
}

// Step 1: the leaves in drawn order, their names as shown, and the room
// between neighbours.
struct Leaves {
    std::vector<std::size_t> order;  // columns in drawn order
    std::vector<std::string> names;  // by column, whole
    double widestName = 0;           // pixels, of the names as shown
    double spacing = 14;             // pixels between neighbouring leaves
};

Leaves PlaceLeaves(const Dendrogram &tree, const std::vector<std::string> &labels, bool horizontal,
                   double spacing) {
    Leaves leaves;
    leaves.order = DrawnLeafOrder(tree);
    leaves.names.resize(tree.leafCount);
    for (std::size_t column = 0; column < tree.leafCount; ++column) {
        leaves.names[column] = LeafName(labels, column);
        leaves.widestName = std::max(
            leaves.widestName, static_cast<double>(std::min(CodePoints(leaves.names[column]), kMaxLabelChars + 1)) * kCharWidth);
    }
    // At least 14 px a leaf, so that thousands of them can still be read
    // (zoomed in when upright); small trees get more room.
    const double n = static_cast<double>(tree.leafCount);
    leaves.spacing = spacing > 0      ? spacing
                     : horizontal ? std::clamp(480.0 / n, 16.0, 28.0)
                                  : std::clamp(720.0 / n, 14.0, 48.0);
    return leaves;
}

// Step 2: the value scale: a linear axis over the finite values and the
// leaves' 0, the rows of the band that holds values that are not finite,
// and the merges drawn lower than one of their parts.
struct Scale {
    Axis axis;
    std::vector<double> ticks;
    double tickWidth = 0;  // pixels of the widest tick label
    std::vector<int> bandRow;
    int bandRows = 0;
    std::vector<char> inverted;
    bool anyInverted = false;
};

Scale ScaleValues(const Dendrogram &tree) {
    Scale scale;
    const std::size_t mergeCount = tree.merges.size();
    double low = 0, high = 0;
    for (const DendrogramMerge &merge : tree.merges) {
        if (!std::isfinite(merge.value)) continue;
        low = std::min(low, merge.value);
        high = std::max(high, merge.value);
    }
    scale.axis = NiceAxis(low, high);
    const long long firstTick = std::llround(scale.axis.low / scale.axis.step);
    const long long tickCount = std::llround((scale.axis.high - scale.axis.low) / scale.axis.step) + 1;
    for (long long i = 0; i < tickCount; ++i)
        scale.ticks.push_back(static_cast<double>(firstTick + i) * scale.axis.step);
    for (const double tick : scale.ticks) scale.tickWidth = std::max(scale.tickWidth, TextWidth(scale.axis.Label(tick)));

    // Non-finite merges sit in a band beyond the axis, each one row beyond
    // the farthest non-finite merge inside it, so that none hides another.
    scale.bandRow.assign(mergeCount, 0);
    for (std::size_t k = 0; k < mergeCount; ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        if (std::isfinite(merge.value)) continue;
        int row = 1;
        for (const DendrogramChild &child : {merge.first, merge.second})
            if (!child.isLeaf) row = std::max(row, scale.bandRow[child.index] + 1);
        scale.bandRow[k] = row;
        scale.bandRows = std::max(scale.bandRows, row);
    }
    // A merge lower than one of its parts (or finite above a part that is
    // not) is drawn as it is, in another colour.
    scale.inverted.assign(mergeCount, 0);
    for (std::size_t k = 0; k < mergeCount; ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        if (!std::isfinite(merge.value)) continue;
        for (const DendrogramChild &child : {merge.first, merge.second}) {
            const double part = child.isLeaf ? 0.0 : tree.merges[child.index].value;
            if (!std::isfinite(part) || part > merge.value) scale.inverted[k] = 1;
        }
        scale.anyInverted = scale.anyInverted || scale.inverted[k];
    }
    return scale;
}

struct LegendEntry {
    const char *colour;
    const char *dash;
    std::string text;
};

std::vector<LegendEntry> LegendEntries(const Scale &scale, bool horizontal) {
    std::vector<LegendEntry> entries;
    if (scale.anyInverted)
        entries.push_back({kInvertedInk, "", horizontal ? "merge drawn left of one of its parts (its value is lower)"
                                                        : "merge drawn below one of its parts (its value is lower)"});
    if (scale.bandRows > 0)
        entries.push_back({kNonFiniteInk, " stroke-dasharray=\"4 3\"",
                           horizontal ? "value not finite (inf or nan), drawn right of the axis"
                                      : "value not finite (inf or nan), drawn above the axis"});
    return entries;
}

// Step 3: where everything goes. Two directions: along the leaves
// ("position": x when upright, y across) and along the values ("level": y
// when upright, growing upwards; x across, growing to the right).
struct Frame {
    bool horizontal = false;
    double width = 0, height = 0;
    double titleY = 0, legendX = 0, legendY = 0;
    double positionStart = 0, positionEnd = 0, spacing = 14;  // the leaves' span
    double levelLow = 0, levelHigh = 0;  // pixels of the axis's low and high ends
    double valueLow = 0, valueHigh = 1;  // the axis's values
    double nameEdge = 0;                 // the names start (upright) or end (across) here
    bool uprightNames = true;            // upright picture: names fit level between leaves
    bool endAxis = false;                // the axis drawn again at the far end
    std::vector<double> copies;          // positions of repeated axis labels

    double LeafAt(std::size_t position) const {
        return positionStart + (static_cast<double>(position) + 0.5) * spacing;
    }
    double LevelOf(double value) const {
        return levelLow + (value - valueLow) / (valueHigh - valueLow) * (levelHigh - levelLow);
    }
    // Beyond the axis's high end: +1 pixel per pixel to the right or upwards.
    double Beyond(double pixels) const { return horizontal ? levelHigh + pixels : levelHigh - pixels; }
    double BandLevel(int row) const { return Beyond(kBandGap + (row - 1) * kBandStep); }
    std::string Point(double position, double level) const {
        return horizontal ? Coord(level) + " " + Coord(position) : Coord(position) + " " + Coord(level);
    }
};

Frame FrameUpright(const Leaves &leaves, const Scale &scale, const SvgOptions &options, std::size_t leafCount) {
    Frame f;
    const std::vector<LegendEntry> legend = LegendEntries(scale, false);
    f.spacing = leaves.spacing;
    f.uprightNames = leaves.widestName <= f.spacing - 4;
    const double plotWidth = f.spacing * static_cast<double>(leafCount);
    // Room for the tick labels, and for the band's "not finite" label.
    const double tickWidth = std::max(scale.tickWidth, scale.bandRows > 0 ? TextWidth("not finite") : 0);
    const double left = 28 + tickWidth + 14;
    f.endAxis = plotWidth > 1200;
    const double right = f.endAxis ? 14 + tickWidth + 12 : 24;
    double y = 10;
    if (!options.title.empty()) {
        f.titleY = y + kTitleSize;
        y += kTitleSize + 12;
    }
    f.legendX = left;
    f.legendY = y + 10;
    y += static_cast<double>(legend.size()) * 18;
    const double bandHeight = scale.bandRows > 0 ? kBandGap + (scale.bandRows - 1) * kBandStep + 16 : 0;
    const double plotTop = y + 10 + bandHeight, plotBottom = plotTop + 400;
    f.positionStart = left;
    f.positionEnd = left + plotWidth;
    f.levelLow = plotBottom;
    f.levelHigh = plotTop;
    f.valueLow = scale.axis.low;
    f.valueHigh = scale.axis.high;
    f.nameEdge = std::max(plotBottom, f.LevelOf(0)) + 6;
    const double labelHeight = f.uprightNames ? kFontSize + 10 : leaves.widestName + 14;
    double width = f.positionEnd + right;
    for (const LegendEntry &entry : legend) width = std::max(width, f.legendX + 30 + TextWidth(entry.text) + 12);
    width = std::max(width, 10 + TextWidth(options.title, kTitleSize) + 12);
    f.width = width;
    f.height = f.nameEdge + labelHeight + 4;
    if (plotWidth > 2 * kAxisRepeat)
        for (double at = f.positionStart + kAxisRepeat; at <= f.positionEnd - kAxisRepeat / 2; at += kAxisRepeat)
            f.copies.push_back(at);
    return f;
}

Frame FrameAcross(const Leaves &leaves, const Scale &scale, const SvgOptions &options, std::size_t leafCount) {
    Frame f;
    f.horizontal = true;
    const std::vector<LegendEntry> legend = LegendEntries(scale, true);
    f.spacing = leaves.spacing;
    const double plotLength = 640;
    double y = 10;
    if (!options.title.empty()) {
        f.titleY = y + kTitleSize;
        y += kTitleSize + 12;
    }
    f.legendX = 10;
    f.legendY = y + 10;
    y += static_cast<double>(legend.size()) * 18;
    y += 20;                                  // the axis title
    const double plotTop = y + 18 + 6;        // the tick labels above
    const double namesWidth = leaves.widestName;
    const double plotLeft = 10 + namesWidth + 12;
    f.positionStart = plotTop;
    f.positionEnd = plotTop + f.spacing * static_cast<double>(leafCount);
    f.levelLow = plotLeft;
    f.levelHigh = plotLeft + plotLength;
    f.valueLow = scale.axis.low;
    f.valueHigh = scale.axis.high;
    f.nameEdge = std::min(plotLeft, f.LevelOf(0)) - 6;
    f.endAxis = f.positionEnd - f.positionStart > 1200;
    const double bandWidth = scale.bandRows > 0 ? kBandGap + (scale.bandRows - 1) * kBandStep + 10 : 0;
    const double notFiniteLabel = scale.bandRows > 0 ? TextWidth("not finite") : 0;
    double width = f.levelHigh + std::max(bandWidth + 4, scale.tickWidth / 2) + notFiniteLabel + 16;
    for (const LegendEntry &entry : legend) width = std::max(width, f.legendX + 30 + TextWidth(entry.text) + 12);
    width = std::max(width, 10 + TextWidth(options.title, kTitleSize) + 12);
    f.width = width;
    f.height = f.positionEnd + (f.endAxis ? 30 : 12);
    if (f.positionEnd - f.positionStart > 2 * kAxisRepeat)
        for (double at = f.positionStart + kAxisRepeat; at <= f.positionEnd - kAxisRepeat / 2; at += kAxisRepeat)
            f.copies.push_back(at);
    return f;
}

// Step 4: the title, the legend and the axis: ticks with light grid lines
// across the whole tree, labelled at the start, at the far end of a long
// picture and along it; the band for values that are not finite.
void DrawTitleAndLegend(std::string &svg, const Frame &f, const Scale &scale, const SvgOptions &options) {
    if (!options.title.empty())
        svg += "<text class=\"title\" x=\"10\" y=\"" + Coord(f.titleY) + "\" font-size=\"" + Coord(kTitleSize) +
               "\" font-weight=\"bold\" fill=\"#111\">" + Xml(options.title) + "</text>\n";
    double y = f.legendY;
    for (const LegendEntry &entry : LegendEntries(scale, f.horizontal)) {
        svg += "<g class=\"legend\"><line x1=\"" + Coord(f.legendX) + "\" y1=\"" + Coord(y - 4) + "\" x2=\"" +
               Coord(f.legendX + 24) + "\" y2=\"" + Coord(y - 4) + "\" stroke=\"" + entry.colour +
               "\" stroke-width=\"2\"" + entry.dash + "/><text x=\"" + Coord(f.legendX + 30) + "\" y=\"" + Coord(y) +
               "\">" + entry.text + "</text></g>\n";
        y += 18;
    }
}

std::string Line(const Frame &f, double position1, double level1, double position2, double level2,
                 const std::string &extra = "") {
    const auto x = [&f](double position, double level) { return f.horizontal ? level : position; };
    const auto y = [&f](double position, double level) { return f.horizontal ? position : level; };
    return "<line x1=\"" + Coord(x(position1, level1)) + "\" y1=\"" + Coord(y(position1, level1)) + "\" x2=\"" +
           Coord(x(position2, level2)) + "\" y2=\"" + Coord(y(position2, level2)) + "\"" + extra + "/>";
}

// A label at a position and level: "before" the position (left of an
// upright axis, above an axis across), "after" it, or "on" it; `paint`
// gives its stroke and fill.
std::string AxisLabel(const Frame &f, double position, double level, const std::string &text, const char *placement,
                      const std::string &paint = " stroke=\"none\" fill=\"#333\"") {
    std::string attributes;
    const std::string placementName(placement);
    if (!f.horizontal) {
        const double x = placementName == "before" ? position - 8 : placementName == "after" ? position + 8 : position;
        const char *anchor = placementName == "before" ? "end" : placementName == "after" ? "start" : "middle";
        attributes = "x=\"" + Coord(x) + "\" y=\"" + Coord(level) + "\" text-anchor=\"" + anchor +
                     "\" dominant-baseline=\"central\"";
    } else {
        const double y = placementName == "before" ? position - 8 : placementName == "after" ? position + 8 : position;
        const char *baseline = placementName == "before" ? "auto" : placementName == "after" ? "hanging" : "central";
        attributes = "x=\"" + Coord(level) + "\" y=\"" + Coord(y) + "\" text-anchor=\"middle\" dominant-baseline=\"" +
                     baseline + "\"";
    }
    return "<text " + attributes + paint + ">" + text + "</text>";
}

void DrawAxis(std::string &svg, const Frame &f, const Scale &scale) {
    svg += "<g class=\"axis\" stroke=\"#888\">\n";
    svg += Line(f, f.positionStart, f.levelLow, f.positionStart, f.levelHigh) + "\n";
    if (f.endAxis) svg += Line(f, f.positionEnd, f.levelLow, f.positionEnd, f.levelHigh) + "\n";
    for (const double tick : scale.ticks) {
        const double level = f.LevelOf(tick);
        const std::string label = scale.axis.Label(tick);
        svg += "<g class=\"tick\" data-value=\"" + label + "\">" +
               Line(f, f.positionStart - 5, level, f.positionEnd, level, " stroke=\"#e4e4e4\"") +
               Line(f, f.positionStart - 5, level, f.positionStart, level) +
               AxisLabel(f, f.positionStart, level, label, "before");
        if (f.endAxis)
            svg += Line(f, f.positionEnd, level, f.positionEnd + 5, level) +
                   AxisLabel(f, f.positionEnd, level, label, "after");
        svg += "</g>\n";
    }
    // Repeats inside the picture, on a white halo so that they stay readable
    // over the tree.
    for (const double at : f.copies) {
        svg += "<g class=\"axis-copy\" data-position=\"" + Coord(at) + "\">";
        for (const double tick : scale.ticks)
            svg += AxisLabel(f, at, f.LevelOf(tick), scale.axis.Label(tick), "on",
                             " font-size=\"10\" fill=\"#333\" paint-order=\"stroke\" stroke=\"white\" stroke-width=\"3\"");
        svg += "</g>\n";
    }
    // The axis's title, beside the axis.
    const double middle = (f.levelLow + f.levelHigh) / 2;
    if (f.horizontal)
        svg += "<text class=\"axis-title\" x=\"" + Coord(middle) + "\" y=\"" + Coord(f.positionStart - 30) +
               "\" text-anchor=\"middle\" stroke=\"none\" fill=\"#333\">merge value</text>\n";
    else
        svg += "<text class=\"axis-title\" x=\"14\" y=\"" + Coord(middle) + "\" transform=\"rotate(-90 14 " +
               Coord(middle) +
               ")\" text-anchor=\"middle\" dominant-baseline=\"central\" stroke=\"none\" fill=\"#333\">merge "
               "value</text>\n";
    if (scale.bandRows > 0) {
        const double level = f.Beyond(kBandGap / 2);
        svg += "<g class=\"band\">" +
               Line(f, f.positionStart, level, f.positionEnd, level,
                    " stroke=\"" + std::string(kNonFiniteInk) + "\" stroke-dasharray=\"2 4\"");
        const std::string fill = " fill=\"" + std::string(kNonFiniteInk) + "\"";
        if (f.horizontal)
            svg += "<text x=\"" + Coord(f.Beyond(kBandGap / 2)) + "\" y=\"" + Coord(f.positionStart - 8) +
                   "\" stroke=\"none\"" + fill + ">not finite</text>";
        else
            svg += "<text x=\"" + Coord(f.positionStart - 8) + "\" y=\"" + Coord(f.Beyond(kBandGap)) +
                   "\" text-anchor=\"end\" dominant-baseline=\"central\" stroke=\"none\"" + fill +
                   ">not finite</text>";
        svg += "</g>\n";
    }
    svg += "</g>\n";
}

// Step 5: one path per merge: from the left part out to the merge's
// level, across to the right part's position, and back to the right part.
// The hover text of a merge: "NODE5 at 5.052782, 6 leaves: alpha + NODE4
// (5 leaves: beta ... gamma)", each part by its name, or by its line, size
// and first and last leaf as drawn.
class HoverTexts {
public:
    HoverTexts(const Dendrogram &tree, const Leaves &leaves)
        : tree_(tree), leaves_(leaves), size_(tree.merges.size()), first_(size_), last_(size_) {
        for (std::size_t k = 0; k < tree.merges.size(); ++k) {
            const DendrogramChild l = LeftChild(tree.merges[k]), r = RightChild(tree.merges[k]);
            size_[k] = Size(l) + Size(r);
            first_[k] = l.isLeaf ? l.index : first_[l.index];
            last_[k] = r.isLeaf ? r.index : last_[r.index];
        }
    }
    std::string Of(std::size_t k, const std::string &value) const {
        const DendrogramMerge &merge = tree_.merges[k];
        return "NODE" + std::to_string(k) + " at " + value + ", " + std::to_string(size_[k]) +
               " leaves: " + Part(LeftChild(merge)) + " + " + Part(RightChild(merge));
    }

private:
    std::size_t Size(const DendrogramChild &c) const { return c.isLeaf ? 1 : size_[c.index]; }
    std::string Name(std::size_t column) const {
        bool cut = false;
        return CutInTheMiddle(leaves_.names[column], kMaxLabelChars, cut);
    }
    std::string Part(const DendrogramChild &c) const {
        if (c.isLeaf) return Name(c.index);
        return "NODE" + std::to_string(c.index) + " (" + std::to_string(size_[c.index]) + " leaves: " +
               Name(first_[c.index]) + (size_[c.index] > 2 ? " \xe2\x80\xa6 " : ", ") + Name(last_[c.index]) + ")";
    }
    const Dendrogram &tree_;
    const Leaves &leaves_;
    std::vector<std::size_t> size_, first_, last_;
};

void DrawMerges(std::string &svg, const Frame &f, const Scale &scale, const Leaves &leaves, const Dendrogram &tree) {
    const std::size_t mergeCount = tree.merges.size();
    std::vector<double> columnAt(tree.leafCount);
    for (std::size_t position = 0; position < leaves.order.size(); ++position)
        columnAt[leaves.order[position]] = f.LeafAt(position);
    std::vector<double> nodeAt(mergeCount), nodeLevel(mergeCount);
    const auto at = [&](const DendrogramChild &c) { return c.isLeaf ? columnAt[c.index] : nodeAt[c.index]; };
    const auto level = [&](const DendrogramChild &c) { return c.isLeaf ? f.LevelOf(0) : nodeLevel[c.index]; };
    const char outward = f.horizontal ? 'H' : 'V', along = f.horizontal ? 'V' : 'H';
    const HoverTexts hover(tree, leaves);

    svg += "<g class=\"merges\" fill=\"none\" stroke=\"" + std::string(kInk) + "\" stroke-width=\"1.4\">\n";
    std::string marks;
    for (std::size_t k = 0; k < mergeCount; ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        const DendrogramChild l = LeftChild(merge), r = RightChild(merge);
        const bool finite = std::isfinite(merge.value);
        nodeAt[k] = (at(merge.first) + at(merge.second)) / 2;
        nodeLevel[k] = finite ? f.LevelOf(merge.value) : f.BandLevel(scale.bandRow[k]);
        std::string cls = "merge", style;
        if (!finite) {
            cls += " nonfinite";
            style = " stroke=\"" + std::string(kNonFiniteInk) + "\" stroke-dasharray=\"4 3\"";
        } else if (scale.inverted[k]) {
            cls += " inverted";
            style = " stroke=\"" + std::string(kInvertedInk) + "\"";
        }
        const std::string valueText = finite ? Printf("%f", merge.value) : NonFiniteText(merge.value);
        svg += "<path class=\"" + cls + "\" data-node=\"" + std::to_string(k) + "\" d=\"M " + f.Point(at(l), level(l)) +
               " " + outward + " " + Coord(nodeLevel[k]) + " " + along + " " + Coord(at(r)) + " " + outward + " " +
               Coord(level(r)) + "\"" + style + "><title>" + Xml(hover.Of(k, valueText)) + "</title></path>\n";
        if (!finite) {
            // Between the parts, on the near side of the bar, where no line runs.
            const std::string common = " class=\"value-mark\" font-size=\"10\" fill=\"" + std::string(kNonFiniteInk) + "\"";
            if (f.horizontal)
                marks += "<text" + common + " x=\"" + Coord(nodeLevel[k] - 4) + "\" y=\"" + Coord(nodeAt[k]) +
                         "\" text-anchor=\"end\" dominant-baseline=\"central\">" + valueText + "</text>\n";
            else
                marks += "<text" + common + " x=\"" + Coord(nodeAt[k]) + "\" y=\"" + Coord(nodeLevel[k] + 12) +
                         "\" text-anchor=\"middle\">" + valueText + "</text>\n";
        }
    }
    svg += "</g>\n";
    if (!marks.empty()) svg += "<g class=\"value-marks\">\n" + marks + "</g>\n";
}

// Step 6: the leaf names: across, beside the leaves; upright, below them,
// level when they fit between the leaves, else turned to read upwards.
// Very long names are cut, keeping the whole name as a tooltip.
void DrawLeafNames(std::string &svg, const Frame &f, const Leaves &leaves) {
    svg += "<g class=\"leaves\" fill=\"#111\">\n";
    for (std::size_t position = 0; position < leaves.order.size(); ++position) {
        const std::size_t column = leaves.order[position];
        const std::string at = Coord(f.LeafAt(position));
        const std::string &name = leaves.names[column];
        bool cut = false;
        const std::string shown = CutInTheMiddle(name, kMaxLabelChars, cut);
        svg += "<text class=\"leaf\" data-column=\"" + std::to_string(column) + "\" ";
        if (f.horizontal)
            svg += "x=\"" + Coord(f.nameEdge) + "\" y=\"" + at + "\" text-anchor=\"end\" dominant-baseline=\"central\">";
        else if (f.uprightNames)
            svg += "x=\"" + at + "\" y=\"" + Coord(f.nameEdge + kFontSize) + "\" text-anchor=\"middle\">";
        else
            svg += "x=\"" + at + "\" y=\"" + Coord(f.nameEdge) + "\" transform=\"rotate(-90 " + at + " " +
                   Coord(f.nameEdge) + ")\" text-anchor=\"end\" dominant-baseline=\"central\">";
        // Blanks inside a name are kept as they are.
        svg += Xml(shown);
        if (cut) svg += "<title>" + Xml(name) + "</title>";
        svg += "</text>\n";
    }
    svg += "</g>\n";
}

// Merges whose bar stands less than a pixel beyond a part's bar although
// their value is greater: drawn, they seem to sit on that part.
std::size_t CrowdedMerges(const Dendrogram &tree, const Frame &f) {
    std::size_t crowded = 0;
    for (const DendrogramMerge &merge : tree.merges) {
        if (!std::isfinite(merge.value)) continue;
        for (const DendrogramChild &child : {merge.first, merge.second}) {
            if (child.isLeaf) continue;
            const double part = tree.merges[child.index].value;
            if (std::isfinite(part) && merge.value > part &&
                std::fabs(f.LevelOf(merge.value) - f.LevelOf(part)) < 1) {
                ++crowded;
                break;
            }
        }
    }
    return crowded;
}

}  // namespace

std::string RenderSvg(const Dendrogram &tree, const std::vector<std::string> &labels, const SvgOptions &options,
                      SvgNotes *notes) {
    const Leaves leaves = PlaceLeaves(tree, labels, options.horizontal, options.leafSpacing);
    const Scale scale = ScaleValues(tree);
    const Frame f = options.horizontal ? FrameAcross(leaves, scale, options, tree.leafCount)
                                       : FrameUpright(leaves, scale, options, tree.leafCount);

    std::string svg;
    svg.reserve(400 + tree.leafCount * 260);
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Coord(f.width) + "\" height=\"" + Coord(f.height) +
           "\" viewBox=\"0 0 " + Coord(f.width) + " " + Coord(f.height) +
           "\" font-family=\"sans-serif\" font-size=\"" + Coord(kFontSize) + "\" xml:space=\"preserve\">\n";
    const std::size_t mergeCount = tree.merges.size();
    svg += "<title>" + (options.title.empty() ? std::string() : Xml(options.title) + ": ") + "dendrogram of " +
           std::to_string(tree.leafCount) + (tree.leafCount == 1 ? " leaf" : " leaves") + ", " +
           std::to_string(mergeCount) + (mergeCount == 1 ? " merge" : " merges") + "</title>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    DrawTitleAndLegend(svg, f, scale, options);
    DrawAxis(svg, f, scale);
    DrawMerges(svg, f, scale, leaves, tree);
    DrawLeafNames(svg, f, leaves);
    svg += "</svg>\n";
    if (notes != nullptr) {
        notes->width = f.width;
        notes->height = f.height;
        // The length along the leaves less their span, then what is left per leaf.
        const double along = f.horizontal ? f.height : f.width;
        const double fixed = along - (f.positionEnd - f.positionStart);
        notes->fittingSpacing = std::floor((kMaxRasterSize - fixed) / static_cast<double>(tree.leafCount) * 100) / 100;
        for (const std::string &name : leaves.names) notes->cutNames += CodePoints(name) > kMaxLabelChars;
        notes->crowdedMerges = CrowdedMerges(tree, f);
    }
    return svg;
}
