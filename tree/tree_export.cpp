#include "tree_export.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "leaf_names.h"
#include "number_text.h"
#include "tree_render.h"

namespace {

// Half of parent - child: a branch of a tree whose leaves lie half their
// merge value below it, so that the path between two leaves through the tree
// is as long as their merge value (ape's reading of an hclust tree). Written
// with one decimal more than the two values were written with, dropped again
// when it is 0, so that 4.000000 - 1.000000 reads 1.500000 and not a binary
// rounding artefact. That holds while those decimals are within a double's
// precision at the length's magnitude (15 significant digits); beyond it,
// and for inf and nan, the shortest form that reads back exactly.
std::string BranchLength(double parent, int parentDecimals, double child, int childDecimals) {
    const double length = (parent - child) / 2;
    if (!std::isfinite(length)) return NonFiniteText(length);
    const int decimals = std::max(parentDecimals, childDecimals) + 1;
    std::string text;
    if (parentDecimals >= 0 && childDecimals >= 0 && decimals <= 17 &&
        std::fabs(length) * std::pow(10.0, decimals) < 1e15) {
        text = Printf("%.*f", decimals, length);
        if (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    } else {
        text = ShortestText(length);
    }
    if (text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);  // "-0.000"
    return text;
}

// The number of columns under each merge.
std::vector<std::size_t> MergeSizes(const Dendrogram &tree) {
    std::vector<std::size_t> sizes(tree.merges.size());
    for (std::size_t k = 0; k < tree.merges.size(); ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        sizes[k] = 0;
        for (const DendrogramChild &child : {merge.first, merge.second})
            sizes[k] += child.isLeaf ? 1 : sizes[child.index];
    }
    return sizes;
}

// A merge lower than one of its parts, or finite above a part that is not.
bool AnyInversion(const Dendrogram &tree) {
    for (const DendrogramMerge &merge : tree.merges) {
        if (!std::isfinite(merge.value)) continue;
        for (const DendrogramChild &child : {merge.first, merge.second}) {
            const double part = child.isLeaf ? 0.0 : tree.merges[child.index].value;
            if (!std::isfinite(part) || part > merge.value) return true;
        }
    }
    return false;
}

std::size_t NonFiniteCount(const Dendrogram &tree) {
    std::size_t count = 0;
    for (const DendrogramMerge &merge : tree.merges) count += !std::isfinite(merge.value);
    return count;
}

std::string Merges(std::size_t count) { return std::to_string(count) + (count == 1 ? " merge" : " merges"); }

// A string as R source: in double quotes, with escapes for the quote, the
// backslash, control characters and every character beyond ASCII (so that
// the text reads the same in any locale).
std::string RString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c == '\t') {
                out += "\\t";
            } else if (c < 0x20 || c == 0x7f) {
                out += Printf("\\x%02x", static_cast<unsigned>(c));
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // Names are checked UTF-8 when read.
        const std::size_t extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : 1;
        unsigned long codePoint = c & (0x3f >> extra);
        for (std::size_t k = 1; k <= extra && i + k < text.size(); ++k)
            codePoint = (codePoint << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
        out += codePoint > 0xffff ? Printf("\\U{%lx}", codePoint) : Printf("\\u{%lx}", codePoint);
        i += extra + 1;
    }
    return out + "\"";
}

std::string RNumber(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Inf" : "Inf";
    return ShortestText(value);
}

// A string as JSON text.
std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7f) {
            out += Printf("\\u%04x", static_cast<unsigned>(u));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// "value": v, with null and a "nonfinite" member for values JSON cannot hold.
std::string JsonValue(double value) {
    if (std::isfinite(value)) return "\"value\": " + ShortestText(value);
    return "\"value\": null, \"nonfinite\": \"" + NonFiniteText(value) + "\"";
}

std::string JsonLeaf(const std::vector<std::string> &labels, std::size_t column) {
    return "{\"name\": " + JsonString(LeafName(labels, column)) + ", \"column\": " + std::to_string(column) +
           ", \"value\": 0, \"size\": 1";
}

std::string JsonMerge(const Dendrogram &tree, const std::vector<std::size_t> &sizes, std::size_t k) {
    return "{\"name\": \"NODE" + std::to_string(k) + "\", \"node\": " + std::to_string(k) + ", " +
           JsonValue(tree.merges[k].value) + ", \"size\": " + std::to_string(sizes[k]);
}

}  // namespace

std::string NewickName(const std::string &name) {
    // Newick gives these a meaning; underscores read back as blanks when bare,
    // and some readers take double quotes as quoting.
    const bool bare = !name.empty() && name.find_first_of(" \t()[]':;,_\"") == std::string::npos;
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
            length = ':';
            length += BranchLength(item.parent->value, item.parent->decimals, value, decimals);
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

std::string RenderLinkage(const Dendrogram &tree) {
    const std::vector<std::size_t> sizes = MergeSizes(tree);
    const auto id = [&tree](const DendrogramChild &child) {
        return child.isLeaf ? child.index : tree.leafCount + child.index;
    };
    std::string out;
    for (std::size_t k = 0; k < tree.merges.size(); ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        const std::size_t a = id(merge.first), b = id(merge.second);
        out += std::to_string(std::min(a, b)) + " " + std::to_string(std::max(a, b)) + " " +
               ShortestText(merge.value) + " " + std::to_string(sizes[k]) + "\n";
    }
    return out;
}

std::string RenderHclust(const Dendrogram &tree, const std::vector<std::string> &labels) {
    // Ten numbers to a line keeps the text readable and the lines short.
    const auto list = [](const std::vector<std::string> &items, const char *empty) {
        if (items.empty()) return std::string(empty);
        std::string out = "c(";
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (i > 0) out += i % 10 == 0 ? ",\n    " : ", ";
            out += items[i];
        }
        return out + ")";
    };
    const auto rChild = [](const DendrogramChild &child) {
        // GCC 12 warns wrongly about "-" + std::string.
        std::string text = child.isLeaf ? std::string(1, '-') : std::string();
        text += std::to_string(child.index + 1);
        return text + 'L';
    };
    std::vector<std::string> merge, height, order, names;
    for (const DendrogramMerge &m : tree.merges) {
        merge.push_back(rChild(LeftChild(m)));
        merge.push_back(rChild(RightChild(m)));
        height.push_back(RNumber(m.value));
    }
    for (const std::size_t column : DrawnLeafOrder(tree)) order.push_back(std::to_string(column + 1) + "L");
    for (std::size_t column = 0; column < tree.leafCount; ++column) names.push_back(RString(LeafName(labels, column)));
    return "structure(list(\n  merge = matrix(" + list(merge, "integer(0)") +
           ",\n    ncol = 2L, byrow = TRUE),\n  height = " + list(height, "numeric(0)") +
           ",\n  order = " + list(order, "integer(0)") + ",\n  labels = " + list(names, "character(0)") +
           "),\n  class = \"hclust\")\n";
}

std::string RenderJson(const Dendrogram &tree, const std::vector<std::string> &labels) {
    if (tree.merges.empty()) return JsonLeaf(labels, 0) + "}\n";
    const std::vector<std::size_t> sizes = MergeSizes(tree);
    // Work items: a part to write, or closing text. A stack keeps deep chains
    // from exhausting the call stack.
    struct Item {
        bool isText;
        const char *text;
        DendrogramChild child;
    };
    std::string out;
    std::vector<Item> stack{{false, nullptr, {false, tree.merges.size() - 1}}};
    while (!stack.empty()) {
        const Item item = stack.back();
        stack.pop_back();
        if (item.isText) {
            out += item.text;
        } else if (item.child.isLeaf) {
            out += JsonLeaf(labels, item.child.index) + "}";
        } else {
            const DendrogramMerge &merge = tree.merges[item.child.index];
            out += JsonMerge(tree, sizes, item.child.index) + ", \"children\": [";
            stack.push_back({true, "]}", {}});
            stack.push_back({false, nullptr, RightChild(merge)});
            stack.push_back({true, ", ", {}});
            stack.push_back({false, nullptr, LeftChild(merge)});
        }
    }
    return out + "\n";
}

std::string RenderJsonFlat(const Dendrogram &tree, const std::vector<std::string> &labels) {
    const std::vector<std::size_t> sizes = MergeSizes(tree);
    const std::size_t n = tree.leafCount;
    const auto id = [n](const DendrogramChild &child) { return child.isLeaf ? child.index : n + child.index; };
    std::string out = "{\"leaves\": " + std::to_string(n) + ", \"root\": " +
                      std::to_string(tree.merges.empty() ? 0 : n + tree.merges.size() - 1) + ", \"nodes\": [\n";
    for (std::size_t c = 0; c < n; ++c)
        out += "{\"id\": " + std::to_string(c) + ", " + JsonLeaf(labels, c).substr(1) + "}" +
               (c + 1 < n || !tree.merges.empty() ? ",\n" : "\n");
    for (std::size_t k = 0; k < tree.merges.size(); ++k) {
        const DendrogramMerge &merge = tree.merges[k];
        out += "{\"id\": " + std::to_string(n + k) + ", " + JsonMerge(tree, sizes, k).substr(1) +
               ", \"children\": [" + std::to_string(id(LeftChild(merge))) + ", " +
               std::to_string(id(RightChild(merge))) + "]}" + (k + 1 < tree.merges.size() ? ",\n" : "\n");
    }
    return out + "]}\n";
}

std::string RenderLabels(const Dendrogram &tree, const std::vector<std::string> &labels) {
    std::string out;
    for (std::size_t column = 0; column < tree.leafCount; ++column) out += LeafName(labels, column) + "\n";
    return out;
}

std::optional<ExportFormat> ExportFormatNamed(std::string_view name) {
    if (name == "newick") return ExportFormat::Newick;
    if (name == "linkage") return ExportFormat::Linkage;
    if (name == "hclust") return ExportFormat::Hclust;
    if (name == "json") return ExportFormat::Json;
    if (name == "json-flat") return ExportFormat::JsonFlat;
    if (name == "labels") return ExportFormat::Labels;
    return std::nullopt;
}

const char *ExportFormatNames() { return "newick, linkage, hclust, json, json-flat, labels"; }

std::string RenderExport(ExportFormat format, const Dendrogram &tree, const std::vector<std::string> &labels) {
    switch (format) {
        case ExportFormat::Newick: return RenderNewick(tree, labels);
        case ExportFormat::Linkage: return RenderLinkage(tree);
        case ExportFormat::Hclust: return RenderHclust(tree, labels);
        case ExportFormat::Json: return RenderJson(tree, labels);
        case ExportFormat::JsonFlat: return RenderJsonFlat(tree, labels);
        case ExportFormat::Labels: return RenderLabels(tree, labels);
    }
    return {};
}

std::size_t TreeDepth(const Dendrogram &tree) {
    // A merge's depth is one more than its deeper part's; parts come first.
    std::vector<std::size_t> depth(tree.merges.size());
    for (std::size_t k = 0; k < tree.merges.size(); ++k) {
        std::size_t below = 0;
        for (const DendrogramChild &child : {tree.merges[k].first, tree.merges[k].second})
            if (!child.isLeaf) below = std::max(below, depth[child.index]);
        depth[k] = below + 1;
    }
    return tree.merges.empty() ? 0 : depth.back();
}

std::vector<std::string> ExportCautions(ExportFormat format, const Dendrogram &tree,
                                        const std::vector<std::string> &labels) {
    if (format == ExportFormat::Newick) return NewickCautions(tree, labels);
    std::vector<std::string> cautions;
    const std::size_t nonFinite = NonFiniteCount(tree);
    std::size_t negative = 0;
    for (const DendrogramMerge &merge : tree.merges) negative += merge.value < 0;
    switch (format) {
        case ExportFormat::Linkage:
            if (nonFinite > 0)
                cautions.push_back(Merges(nonFinite) + " with a value that is not finite (written inf or nan); "
                                   "scipy takes the matrix, but its flat clusters and drawings are not reliable then");
            if (negative > 0)
                cautions.push_back(Merges(negative) + " with a negative value; scipy rejects negative distances");
            break;
        case ExportFormat::Hclust:
            if (nonFinite > 0)
                cautions.push_back(Merges(nonFinite) + " with a height that is not finite (written Inf or NaN); "
                                   "R reads them but cannot scale a drawing to them");
            if (AnyInversion(tree))
                cautions.push_back("some merges are lower than one of their parts; R's cutree refuses a cut by height");
            break;
        case ExportFormat::Json:
        case ExportFormat::JsonFlat: {
            if (nonFinite > 0)
                cautions.push_back(Merges(nonFinite) + " with a value that is not finite, written \"value\": null "
                                   "with \"nonfinite\" beside it; JSON has no such numbers");
            const std::size_t depth = TreeDepth(tree);
            if (format == ExportFormat::Json && depth > 400)
                cautions.push_back("the tree nests " + std::to_string(depth) +
                                   " levels deep, more than some JSON readers take (Python's json stops near "
                                   "1,000); --to json-flat writes it without nesting");
            break;
        }
        case ExportFormat::Newick:
        case ExportFormat::Labels: break;
    }
    return cautions;
}
