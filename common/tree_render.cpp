#include "tree_render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string_view>

namespace {

// The two children of a merge in drawn order.
DendrogramChild LeftChild(const DendrogramMerge &merge) { return merge.second; }
DendrogramChild RightChild(const DendrogramMerge &merge) { return merge.first; }

std::string Printf(const char *format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string Printf(const char *format, int precision, double value) {
    // Large fixed-notation values can run past any small buffer.
    const int size = std::snprintf(nullptr, 0, format, precision, value);
    std::string out(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(out.data(), out.size(), format, precision, value);
    out.resize(static_cast<std::size_t>(size));
    return out;
}

std::string NonFiniteText(double value) {
    if (std::isnan(value)) return "nan";
    return value < 0 ? "-inf" : "inf";
}

// parent - child, written with as many decimals as the two values were
// written with, so that 4.000000 - 1.000000 reads 3.000000 and not a
// binary rounding artefact; shortest round-trip form otherwise.
std::string BranchLength(double parent, int parentDecimals, double child, int childDecimals) {
    const double length = parent - child;
    if (!std::isfinite(length)) return NonFiniteText(length);
    std::string text;
    if (parentDecimals >= 0 && childDecimals >= 0)
        text = Printf("%.*f", std::min(std::max(parentDecimals, childDecimals), 17), length);
    else
        text = Printf("%.*g", 17, length);
    if (text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);  // "-0.000"
    return text;
}

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

// The first `limit` code points of `text`.
std::string FirstCodePoints(std::string_view text, std::size_t limit) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80 && count++ == limit)
            return std::string(text.substr(0, i));
    }
    return std::string(text);
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

std::string NewickName(const std::string &name) {
    // Newick gives these a meaning; underscores read back as blanks when bare.
    const bool bare = !name.empty() && name.find_first_of(" \t()[]':;,_") == std::string::npos;
    if (bare) return name;
    std::string out = "'";
    for (const char c : name) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

std::string RenderNewick(const Dendrogram &tree, const std::vector<std::string> &labels) {
    if (tree.merges.empty()) return NewickName(LeafName(labels, 0)) + ";\n";
    // Work items: a subtree to write (with the merge above it, if any) or a
    // piece of text. A stack keeps deep chains from exhausting the call stack.
    struct Item {
        bool isText;
        std::string text;
        DendrogramChild child;
        const DendrogramMerge *parent;
    };
    std::string out;
    std::vector<Item> stack;
    stack.push_back({false, {}, {false, tree.merges.size() - 1}, nullptr});
    while (!stack.empty()) {
        Item item = std::move(stack.back());
        stack.pop_back();
        if (item.isText) {
            out += item.text;
            continue;
        }
        std::string length;
        if (item.parent != nullptr) {
            const double value = item.child.isLeaf ? 0.0 : tree.merges[item.child.index].value;
            const int decimals = item.child.isLeaf ? 0 : tree.merges[item.child.index].decimals;
            length = ":" + BranchLength(item.parent->value, item.parent->decimals, value, decimals);
        }
        if (item.child.isLeaf) {
            out += NewickName(LeafName(labels, item.child.index)) + length;
            continue;
        }
        const DendrogramMerge &merge = tree.merges[item.child.index];
        stack.push_back({true, ")" + length, {}, nullptr});
        stack.push_back({false, {}, RightChild(merge), &merge});
        stack.push_back({true, ",", {}, nullptr});
        stack.push_back({false, {}, LeftChild(merge), &merge});
        out += '(';
    }
    return out + ";\n";
}

std::vector<std::string> NewickCautions(const Dendrogram &tree, const std::vector<std::string> &labels) {
    std::vector<std::string> cautions;
    std::size_t nonFinite = 0;
    for (const DendrogramMerge &merge : tree.merges) {
        // A merge's value reaches the lengths of both of its branches.
        if (!std::isfinite(merge.value)) nonFinite += 2;
    }
    // Lengths below a non-finite merge are counted above; a child that is not
    // finite under a finite parent gives one more.
    for (const DendrogramMerge &merge : tree.merges) {
        if (!std::isfinite(merge.value)) continue;
        for (const DendrogramChild &child : {merge.first, merge.second})
            if (!child.isLeaf && !std::isfinite(tree.merges[child.index].value)) ++nonFinite;
    }
    if (nonFinite > 0)
        cautions.push_back(std::to_string(nonFinite) + (nonFinite == 1 ? " branch length is" : " branch lengths are") +
                           " not a finite number (written inf or nan); some tree tools cannot read them");
    // Repeated names: the first few, then how many more.
    constexpr std::size_t shown = 3;
    std::size_t repeats = 0;
    std::map<std::string, std::size_t> firstColumn;
    for (std::size_t column = 0; column < labels.size(); ++column) {
        const auto [at, inserted] = firstColumn.emplace(labels[column], column);
        if (!inserted && ++repeats <= shown) {
            cautions.push_back("the name '" + labels[column] + "' is given to columns " +
                               std::to_string(at->second) + " and " + std::to_string(column) +
                               "; many tree tools reject repeated leaf names");
        }
    }
    if (repeats > shown)
        cautions.push_back("... and " + std::to_string(repeats - shown) + " more repeated " +
                           (repeats - shown == 1 ? "name" : "names"));
    return cautions;
}

std::string RenderSvg(const Dendrogram &tree, const std::vector<std::string> &labels) {
    const std::size_t leafCount = tree.leafCount;
    const std::size_t mergeCount = tree.merges.size();
    const std::vector<std::size_t> order = DrawnLeafOrder(tree);

    // Value axis over the finite merge values and the leaves' 0.
    double low = 0, high = 0;
    bool anyNonFinite = false;
    for (const DendrogramMerge &merge : tree.merges) {
        if (std::isfinite(merge.value)) {
            low = std::min(low, merge.value);
            high = std::max(high, merge.value);
        } else {
            anyNonFinite = true;
        }
    }
    const Axis axis = NiceAxis(low, high);
    std::vector<double> ticks;
    const long long firstTick = std::llround(axis.low / axis.step);
    const long long tickCount = std::llround((axis.high - axis.low) / axis.step) + 1;
    for (long long i = 0; i < tickCount; ++i) ticks.push_back(static_cast<double>(firstTick + i) * axis.step);
    std::size_t tickChars = 0;
    for (const double tick : ticks) tickChars = std::max(tickChars, axis.Label(tick).size());

    // Non-finite merges sit in a band above the axis, each one row above the
    // highest non-finite merge inside it, so that none hides another.
    std::vector<int> bandRow(mergeCount, 0);
    int bandRows = 0;
    for (std::size_t k = 0; k < mergeCount; ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        if (std::isfinite(merge.value)) continue;
        int row = 1;
        for (const DendrogramChild &child : {merge.first, merge.second})
            if (!child.isLeaf) row = std::max(row, bandRow[child.index] + 1);
        bandRow[k] = row;
        bandRows = std::max(bandRows, row);
    }

    // Leaf names: cut very long ones, keeping the whole name as a tooltip.
    constexpr double fontSize = 12;
    constexpr double charWidth = 0.62 * fontSize;
    constexpr std::size_t maxLabelChars = 48;
    std::vector<std::string> names(leafCount);
    double widestName = 0;
    for (std::size_t column = 0; column < leafCount; ++column) {
        names[column] = LeafName(labels, column);
        widestName = std::max(widestName, static_cast<double>(std::min(CodePoints(names[column]), maxLabelChars + 1)) * charWidth);
    }

    // Geometry. Leaves get at least 14 px each so that thousands of them can
    // still be read by zooming in; small trees get more room.
    const double spacing = std::clamp(720.0 / static_cast<double>(leafCount), 14.0, 48.0);
    const bool uprightNames = widestName <= spacing - 4;
    const double plotWidth = spacing * static_cast<double>(leafCount);
    const double plotHeight = 400;
    // Room for the tick labels, and for the band's "not finite" label.
    const double tickWidth = static_cast<double>(std::max<std::size_t>(tickChars, anyNonFinite ? 10 : 0)) * charWidth;
    const double left = 28 + tickWidth + 14;
    const bool rightAxis = plotWidth > 1200;
    const double right = rightAxis ? 14 + tickWidth + 12 : 24;
    // A merge lower than one of its parts (or finite above a part that is
    // not) is drawn as it is, in another colour.
    std::vector<char> inverted(mergeCount, 0);
    bool anyInverted = false;
    for (std::size_t k = 0; k < mergeCount; ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        if (!std::isfinite(merge.value)) continue;
        for (const DendrogramChild &child : {merge.first, merge.second}) {
            const double part = child.isLeaf ? 0.0 : tree.merges[child.index].value;
            if (!std::isfinite(part) || part > merge.value) inverted[k] = 1;
        }
        anyInverted = anyInverted || inverted[k];
    }
    const double legendHeight = (anyInverted ? 18 : 0) + (anyNonFinite ? 18 : 0);
    const double bandGap = 30, bandStep = 26;
    const double bandHeight = anyNonFinite ? bandGap + (bandRows - 1) * bandStep + 16 : 0;
    const double top = 20 + legendHeight + bandHeight;
    const double plotTop = top, plotBottom = top + plotHeight;
    const double labelHeight = uprightNames ? fontSize + 10 : widestName + 14;
    const double width = left + plotWidth + right;
    const double height = plotBottom + labelHeight + 10;

    const auto yOf = [&](double value) {
        return plotBottom - (value - axis.low) / (axis.high - axis.low) * plotHeight;
    };
    const auto leafX = [&](std::size_t position) { return left + (static_cast<double>(position) + 0.5) * spacing; };

    std::vector<double> columnX(leafCount);
    for (std::size_t position = 0; position < order.size(); ++position) columnX[order[position]] = leafX(position);
    std::vector<double> nodeX(mergeCount), nodeY(mergeCount);
    const auto childX = [&](const DendrogramChild &child) { return child.isLeaf ? columnX[child.index] : nodeX[child.index]; };
    const auto childY = [&](const DendrogramChild &child) { return child.isLeaf ? yOf(0) : nodeY[child.index]; };
    for (std::size_t k = 0; k < mergeCount; ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        nodeX[k] = (childX(merge.first) + childX(merge.second)) / 2;
        nodeY[k] = std::isfinite(merge.value) ? yOf(merge.value) : plotTop - bandGap - (bandRow[k] - 1) * bandStep;
    }

    const char *const ink = "#23395d", *const invertedInk = "#d95f02", *const nonFiniteInk = "#c0392b";
    std::string svg;
    svg.reserve(400 + leafCount * 260);
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Coord(width) + "\" height=\"" + Coord(height) +
           "\" viewBox=\"0 0 " + Coord(width) + " " + Coord(height) + "\" font-family=\"sans-serif\" font-size=\"" +
           Coord(fontSize) + "\">\n";
    svg += "<title>Dendrogram of " + std::to_string(leafCount) + (leafCount == 1 ? " leaf" : " leaves") + ", " +
           std::to_string(mergeCount) + (mergeCount == 1 ? " merge" : " merges") + "</title>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";

    // Legend.
    double legendY = 20;
    const auto legend = [&](const char *colour, const char *dash, const char *text) {
        svg += "<g class=\"legend\"><line x1=\"" + Coord(left) + "\" y1=\"" + Coord(legendY - 4) + "\" x2=\"" +
               Coord(left + 24) + "\" y2=\"" + Coord(legendY - 4) + "\" stroke=\"" + colour +
               "\" stroke-width=\"2\"" + dash + "/><text x=\"" + Coord(left + 30) + "\" y=\"" + Coord(legendY) +
               "\">" + text + "</text></g>\n";
        legendY += 18;
    };
    if (anyInverted) legend(invertedInk, "", "merge drawn below one of its parts (its value is lower)");
    if (anyNonFinite) legend(nonFiniteInk, " stroke-dasharray=\"4 3\"", "value not finite (inf or nan), drawn above the axis");

    // Axis, with light grid lines across the whole width.
    svg += "<g class=\"axis\" stroke=\"#888\">\n";
    svg += "<line x1=\"" + Coord(left) + "\" y1=\"" + Coord(plotTop) + "\" x2=\"" + Coord(left) + "\" y2=\"" +
           Coord(plotBottom) + "\"/>\n";
    if (rightAxis)
        svg += "<line x1=\"" + Coord(left + plotWidth) + "\" y1=\"" + Coord(plotTop) + "\" x2=\"" +
               Coord(left + plotWidth) + "\" y2=\"" + Coord(plotBottom) + "\"/>\n";
    for (const double tick : ticks) {
        const std::string y = Coord(yOf(tick));
        const std::string label = axis.Label(tick);
        svg += "<g class=\"tick\" data-value=\"" + label + "\"><line x1=\"" + Coord(left - 5) + "\" y1=\"" + y +
               "\" x2=\"" + Coord(left + plotWidth) + "\" y2=\"" + y +
               "\" stroke=\"#e4e4e4\"/><line x1=\"" + Coord(left - 5) + "\" y1=\"" + y + "\" x2=\"" + Coord(left) +
               "\" y2=\"" + y + "\"/><text x=\"" + Coord(left - 8) + "\" y=\"" + y +
               "\" text-anchor=\"end\" dominant-baseline=\"central\" stroke=\"none\" fill=\"#333\">" + label +
               "</text>";
        if (rightAxis)
            svg += "<line x1=\"" + Coord(left + plotWidth) + "\" y1=\"" + y + "\" x2=\"" +
                   Coord(left + plotWidth + 5) + "\" y2=\"" + y + "\"/><text x=\"" + Coord(left + plotWidth + 8) +
                   "\" y=\"" + y + "\" dominant-baseline=\"central\" stroke=\"none\" fill=\"#333\">" + label +
                   "</text>";
        svg += "</g>\n";
    }
    svg += "<text class=\"axis-title\" x=\"14\" y=\"" + Coord((plotTop + plotBottom) / 2) +
           "\" transform=\"rotate(-90 14 " + Coord((plotTop + plotBottom) / 2) +
           ")\" text-anchor=\"middle\" dominant-baseline=\"central\" stroke=\"none\" fill=\"#333\">merge value</text>\n";
    if (anyNonFinite) {
        const std::string y = Coord(plotTop - bandGap / 2);
        svg += "<line class=\"band\" x1=\"" + Coord(left) + "\" y1=\"" + y + "\" x2=\"" + Coord(left + plotWidth) +
               "\" y2=\"" + y + "\" stroke=\"" + nonFiniteInk + "\" stroke-dasharray=\"2 4\"/>\n";
        svg += "<text x=\"" + Coord(left - 8) + "\" y=\"" + Coord(plotTop - bandGap) +
               "\" text-anchor=\"end\" dominant-baseline=\"central\" stroke=\"none\" fill=\"" + nonFiniteInk +
               "\">not finite</text>\n";
    }
    svg += "</g>\n";

    // One path per merge: up from the left part to the merge's height,
    // across, and down to the right part.
    svg += "<g class=\"merges\" fill=\"none\" stroke=\"" + std::string(ink) + "\" stroke-width=\"1.4\">\n";
    std::string marks;
    for (std::size_t k = 0; k < mergeCount; ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        const DendrogramChild l = LeftChild(merge), r = RightChild(merge);
        const bool finite = std::isfinite(merge.value);
        std::string cls = "merge";
        std::string style;
        if (!finite) {
            cls += " nonfinite";
            style = " stroke=\"" + std::string(nonFiniteInk) + "\" stroke-dasharray=\"4 3\"";
        } else if (inverted[k]) {
            cls += " inverted";
            style = " stroke=\"" + std::string(invertedInk) + "\"";
        }
        const std::string valueText = finite ? Printf("%f", merge.value) : NonFiniteText(merge.value);
        const auto childName = [](const DendrogramChild &child) {
            return (child.isLeaf ? "LEAF" : "NODE") + std::to_string(child.index);
        };
        svg += "<path class=\"" + cls + "\" data-node=\"" + std::to_string(k) + "\" d=\"M " + Coord(childX(l)) + " " +
               Coord(childY(l)) + " V " + Coord(nodeY[k]) + " H " + Coord(childX(r)) + " V " + Coord(childY(r)) +
               "\"" + style + "><title>NODE" + std::to_string(k) + ": " + childName(merge.first) + " + " +
               childName(merge.second) + " at " + valueText + "</title></path>\n";
        if (!finite)
            // Under the bar, between the parts, where no line runs.
            marks += "<text class=\"value-mark\" x=\"" + Coord(nodeX[k]) + "\" y=\"" + Coord(nodeY[k] + 12) +
                     "\" text-anchor=\"middle\" font-size=\"10\" fill=\"" + nonFiniteInk + "\">" + valueText +
                     "</text>\n";
    }
    svg += "</g>\n";
    if (!marks.empty()) svg += "<g class=\"value-marks\">\n" + marks + "</g>\n";

    // Leaf names, upright when they fit between the leaves, else turned to
    // read upwards and hanging below the axis.
    svg += "<g class=\"leaves\" fill=\"#111\">\n";
    const double labelY = std::max(plotBottom, yOf(0)) + 6;
    for (std::size_t position = 0; position < order.size(); ++position) {
        const std::size_t column = order[position];
        const std::string x = Coord(leafX(position));
        const std::string &name = names[column];
        const bool cut = CodePoints(name) > maxLabelChars;
        const std::string shown = cut ? FirstCodePoints(name, maxLabelChars) + "\xe2\x80\xa6" : name;
        svg += "<text class=\"leaf\" data-column=\"" + std::to_string(column) + "\" x=\"" + x + "\" ";
        if (uprightNames)
            svg += "y=\"" + Coord(labelY + fontSize) + "\" text-anchor=\"middle\">";
        else
            svg += "y=\"" + Coord(labelY) + "\" transform=\"rotate(-90 " + x + " " + Coord(labelY) +
                   ")\" text-anchor=\"end\" dominant-baseline=\"central\">";
        svg += Xml(shown);
        if (cut) svg += "<title>" + Xml(name) + "</title>";
        svg += "</text>\n";
    }
    svg += "</g>\n</svg>\n";
    return svg;
}
