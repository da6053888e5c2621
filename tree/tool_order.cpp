#include "tool_order.h"

#include <cmath>

#include "leaf_order.h"
#include "number_text.h"

const std::vector<ToolOption> &LeafOrderOptions() {
    static const std::vector<ToolOption> options = {
        {"--order", true}, {"--distances", true}, {"--table", true}, {"--metric", true}, {"--rows", false}};
    return options;
}

bool WantsOptimalOrder(const char *program, const ToolCommandLine &line) {
    const std::string order = line.Has("--order") ? line.Value("--order") : "tree";
    if (order != "tree" && order != "optimal")
        ToolFail(program, "unknown order '" + order + "'; the orders are tree and optimal");
    return order == "optimal";
}

bool TableDistances(const NumericTable &table, bool rows, const std::string &metric, std::vector<double> &packed,
                    std::string &error) {
    if (metric != "euclidean") {
        error = "unknown metric '" + metric + "'; the metrics are euclidean";
        return false;
    }
    if (table.missing > 0) {
        error = "holds " + std::to_string(table.missing) + " missing cells; the distances need every cell";
        return false;
    }
    const std::size_t objects = rows ? table.lines : table.columns;
    const std::size_t coordinates = rows ? table.columns : table.lines;
    const auto cell = [&](std::size_t object, std::size_t c) {
        return rows ? table.Cell(object, c) : table.Cell(c, object);
    };
    packed.assign(PackedSize(objects), 0.0);
    for (std::size_t i = 1; i < objects; ++i)
        for (std::size_t j = 0; j < i; ++j) {
            double sum = 0;
            for (std::size_t c = 0; c < coordinates; ++c) {
                const double d = cell(i, c) - cell(j, c);
                sum += d * d;
            }
            packed[PackedIndex(i, j)] = std::sqrt(sum);
        }
    return true;
}

bool CommandLineDistances(const ToolCommandLine &line, std::size_t leafCount, std::vector<double> &packed,
                          std::string &error) {
    if (line.Has("--distances") == line.Has("--table")) {
        error = line.Has("--table") ? "give either --table or --distances, not both"
                                    : "the optimal order needs the distances: --table TABLE or --distances FILE";
        return false;
    }
    if (line.Has("--distances")) {
        const std::string path = line.Value("--distances");
        std::string text, reason;
        if (!ReadWholeFile(path, text, reason) || !ParseDistanceText(text, leafCount, packed, reason)) {
            error = path + ": " + reason;
            return false;
        }
        return true;
    }
    const std::string path = line.Value("--table");
    NumericTable table;
    if (!ReadNumericTable(path, table, error)) return false;
    const bool rows = line.Has("--rows");
    const std::size_t objects = rows ? table.lines : table.columns;
    if (objects != leafCount) {
        error = path + ": the table has " + std::to_string(objects) + (rows ? " lines" : " columns") + ", the tree " +
                std::to_string(leafCount) + " leaves" + (rows ? "" : " (a tree of the lines needs --rows)");
        return false;
    }
    std::string reason;
    if (!TableDistances(table, rows, line.Has("--metric") ? line.Value("--metric") : "euclidean", packed, reason)) {
        error = path + ": " + reason;
        return false;
    }
    return true;
}

bool OrderOptimally(const char *program, Dendrogram &tree, std::vector<double> packed, const std::string &what,
                    std::string &error) {
    const PackedDistances byColumn(tree.leafCount, std::move(packed));
    const TreeSpans spans = SpansOf(tree);
    const double before = NeighbourTotal(spans.order, byColumn);
    LeafOrderResult result;
    if (!OptimalLeafOrder(tree, Renumbered(byColumn, spans.order), result, error)) return false;
    tree = FlipMerges(std::move(tree), result.flipped);
    ToolNote(program, "optimal order of the " + what + ": total distance between neighbours " +
                          ShortestText(result.total) + " (tree order: " + ShortestText(before) + ")");
    return true;
}
