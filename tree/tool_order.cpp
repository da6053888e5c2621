#include "tool_order.h"

#include <charconv>
#include <cmath>

#include "input/object_table_reader.h"
#include "kernels/metric_space.h"
#include "model/metric.h"

#include "leaf_distances.h"
#include "leaf_names.h"
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

void OrderToolTree(const char *program, const ToolCommandLine &line, Dendrogram &tree) {
    if (!WantsOptimalOrder(program, line)) {
        if (line.Has("--table") || line.Has("--distances"))
            ToolFail(program, "--table and --distances serve --order optimal");
        return;
    }
    std::vector<double> distances;
    std::string error;
    if (!CommandLineDistances(line, tree.leafCount, distances, error) ||
        !OrderOptimally(program, tree, std::move(distances), "leaves", error))
        ToolFail(program, error);
}

namespace {

// A first line holding no field that is a number is a header. Its fields
// are split as header names are: on tabs where it holds one ("sample 1" is
// one name), else on blanks and semicolons.
bool HeaderFirst(const std::string &firstLine) {
    const bool tabs = firstLine.find('\t') != std::string::npos;
    const auto separator = [tabs](char c) { return c == '\t' || (!tabs && (c == ' ' || c == ';')); };
    std::size_t i = 0;
    while (i < firstLine.size()) {
        while (i < firstLine.size() && separator(firstLine[i])) ++i;
        const std::size_t start = i;
        while (i < firstLine.size() && !separator(firstLine[i])) ++i;
        if (i == start) break;
        const std::string word = firstLine.substr(start, i - start);
        double value;
        const char *first = word.data() + (word[0] == '+' || word[0] == '-' ? 1 : 0);
        if (std::from_chars(first, word.data() + word.size(), value).ec == std::errc() && !std::isnan(value))
            return false;
        if (word == "NA" || word == "nan" || word == "NaN") return false;
    }
    return true;
}

}  // namespace

bool ReadTableObjects(const std::string &path, bool rows, ObjectTable &table, std::string &error) {
    std::string text, firstLine, reason;
    if (!ReadWholeFile(path, text, reason)) {
        error = "cannot read " + path + ": " + reason;
        return false;
    }
    std::size_t lineEnd = text.find_first_of("\r\n");
    firstLine = text.substr(0, lineEnd);
    if (firstLine.rfind("\xef\xbb\xbf", 0) == 0) firstLine.erase(0, 3);
    ObjectTableOptions options;
    options.rows = rows;
    options.header = HeaderFirst(firstLine);
    ObjectTableRead read = ReadObjectTableFromText(text, options);
    if (!read.refusal.empty()) {
        error = path + ": " + read.refusal;
        return false;
    }
    table = std::move(read.table);
    return true;
}

bool ReadHeatmapTable(const std::string &path, HeatmapTable &table, std::string &error) {
    ObjectTable lines;
    if (!ReadTableObjects(path, true, lines, error)) return false;
    table.lines = static_cast<std::size_t>(lines.objects);
    table.columns = static_cast<std::size_t>(lines.coordinates);
    table.cells = std::move(lines.values);
    table.lineNames = std::move(lines.names);
    std::string firstLine, reason;
    if (!ReadFirstLine(path, firstLine, reason)) {
        error = "cannot read " + path + ": " + reason;
        return false;
    }
    if (firstLine.rfind("\xef\xbb\xbf", 0) == 0) firstLine.erase(0, 3);
    if (HeaderFirst(firstLine)) {
        LabelsParse names = ParseHeaderNames(firstLine, table.columns);
        if (!names.ok()) {
            error = path + ": " + names.error;
            return false;
        }
        table.columnNames = std::move(names.labels);
    }
    return true;
}

bool ReadLineNames(const std::string &path, TreeInput &input, std::string &error) {
    ObjectTable lines;
    if (!ReadTableObjects(path, true, lines, error)) return false;
    if (static_cast<std::size_t>(lines.objects) != input.tree.leafCount) {
        error = path + ": the table has " + std::to_string(lines.objects) + " lines, the tree " +
                std::to_string(input.tree.leafCount) + " leaves";
        return false;
    }
    if (lines.names.empty()) {
        error = path + ": no line has a name (a first word that is not a number)";
        return false;
    }
    for (std::size_t i = 0; i < lines.names.size(); ++i)
        if (lines.names[i].empty()) {
            error = path + ": line " + std::to_string(i + 1) + " of the table's numbers has no name";
            return false;
        }
    input.labels = std::move(lines.names);
    return true;
}

TreeInput ReadToolTree(const char *program, const ToolCommandLine &line, const std::string &dendrogramPath,
                       const NameSources &sources) {
    const bool rows = line.Has("--rows");
    TreeInput input;
    std::string error;
    if (!ReadTreeInput(dendrogramPath, sources.namesPath, rows ? "" : sources.tablePath, input, error) ||
        (rows && !sources.tablePath.empty() && !ReadLineNames(sources.tablePath, input, error)))
        ToolFail(program, error);
    for (const std::string &note : input.notes) ToolNote(program, note);
    return input;
}

ObjectTable HeatmapObjects(const HeatmapTable &table, bool rows) {
    ObjectTable objects;
    objects.objects = static_cast<std::int64_t>(rows ? table.lines : table.columns);
    objects.coordinates = static_cast<std::int64_t>(rows ? table.columns : table.lines);
    if (rows) {
        objects.values = table.cells;
        return objects;
    }
    objects.values.resize(table.cells.size());
    for (std::size_t line = 0; line < table.lines; ++line)
        for (std::size_t column = 0; column < table.columns; ++column)
            objects.values[column * table.lines + line] = table.cells[line * table.columns + column];
    return objects;
}

bool TableDistances(ObjectTable table, const std::string &metric, std::vector<double> &packed, std::string &error) {
    const std::optional<Metric> parsed = ParseMetric(metric);
    if (!parsed) {
        error = "unknown metric '" + metric + "'; the metrics are " + MetricNames();
        return false;
    }
    const MetricSpace space(std::move(table), *parsed);
    if (const std::optional<UndefinedPair> pair = space.FirstUndefinedPair()) {
        error = "objects " + std::to_string(pair->first) + " and " + std::to_string(pair->second) + " have no " +
                MetricName(*parsed) + " distance (" +
                (pair->cause == UndefinedPair::Cause::NoCommonCoordinate ? "no cell present in both"
                                                                          : "no variance on their common cells") +
                ")";
        return false;
    }
    packed = space.AllDistances();
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
    ObjectTable table;
    const bool rows = line.Has("--rows");
    if (!ReadTableObjects(path, rows, table, error)) return false;
    const auto objects = static_cast<std::size_t>(table.objects);
    if (objects != leafCount) {
        error = path + ": the table has " + std::to_string(objects) + (rows ? " lines" : " columns") + ", the tree " +
                std::to_string(leafCount) + " leaves" + (rows ? "" : " (a tree of the lines needs --rows)");
        return false;
    }
    std::string reason;
    if (!TableDistances(std::move(table), line.Has("--metric") ? line.Value("--metric") : "euclidean", packed, reason)) {
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

void ReadTableAndTrees(const char *program, const ToolCommandLine &line, const std::string &tablePath,
                       const TreeInput &columns, HeatmapTable &table, TreeInput &lines) {
    std::string error;
    if (!ReadHeatmapTable(tablePath, table, error)) ToolFail(program, error);
    if (columns.tree.leafCount != table.columns)
        ToolFail(program, tablePath + ": the table has " + std::to_string(table.columns) + " columns, the tree " +
                              std::to_string(columns.tree.leafCount) + " leaves; nothing was written");
    if (!columns.labels.empty()) table.columnNames = columns.labels;
    if (!line.Has("--row-tree")) return;
    if (!ReadTreeInput(line.Value("--row-tree"), "", "", lines, error)) ToolFail(program, error);
    if (lines.tree.leafCount != table.lines)
        ToolFail(program, line.Value("--row-tree") + ": the tree has " + std::to_string(lines.tree.leafCount) +
                              " leaves, the table " + tablePath + " " + std::to_string(table.lines) +
                              " lines; nothing was written");
}

void OrderTableTrees(const char *program, const ToolCommandLine &line, const std::string &tablePath,
                     const HeatmapTable &table, TreeInput &columns, TreeInput &lines) {
    if (!WantsOptimalOrder(program, line)) return;
    const std::string metric = line.Has("--metric") ? line.Value("--metric") : "euclidean";
    std::string error;
    std::vector<double> distances;
    if (!TableDistances(HeatmapObjects(table, false), metric, distances, error) ||
        !OrderOptimally(program, columns.tree, std::move(distances), "columns", error))
        ToolFail(program, tablePath + ": " + error);
    if (line.Has("--row-tree") && (!TableDistances(HeatmapObjects(table, true), metric, distances, error) ||
                                   !OrderOptimally(program, lines.tree, std::move(distances), "lines", error)))
        ToolFail(program, tablePath + ": " + error);
}
