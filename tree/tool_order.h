// The leaf order on the tree programs' command line: --order tree|optimal,
// with the distances from --distances FILE or --table TABLE [--metric M]
// [--rows], and the clustered table read as dendro-cluster reads it.
#pragma once

#include <string>
#include <vector>

#include "dendrogram_file.h"
#include "heatmap.h"
#include "model/object_table.h"
#include "tree_tool.h"

// The options, for the programs' lists of known options.
const std::vector<ToolOption> &LeafOrderOptions();

// True when --order optimal was given; ends through ToolFail on an unknown
// order.
bool WantsOptimalOrder(const char *program, const ToolCommandLine &line);

// --order optimal on a tree (not a heatmap): its merges flipped by the
// distances of --table or --distances; without it, those options are
// refused. Ends through ToolFail on the first fault.
void OrderToolTree(const char *program, const ToolCommandLine &line, Dendrogram &tree);

// Reads a table as dendro-cluster does: objects are its columns, or its
// lines with `rows`; a first line without a number is the header. False,
// with `error` naming the file, when it is refused.
bool ReadTableObjects(const std::string &path, bool rows, ObjectTable &table, std::string &error);

// The table of a heatmap: its lines and columns, the column names from its
// header (when its first line holds no number), the line names from their
// labels. False, with `error` naming the file, when it is refused.
bool ReadHeatmapTable(const std::string &path, HeatmapTable &table, std::string &error);

// The table of a heatmap or a TreeView export with its trees: reads the
// table at `tablePath` and, with --row-tree, the tree of its lines into
// `lines`; the column tree's names, when given, name the table's columns.
// Ends through ToolFail, writing nothing, when a file is refused or a tree's
// leaves are not the table's columns or lines.
void ReadTableAndTrees(const char *program, const ToolCommandLine &line, const std::string &tablePath,
                       const TreeInput &columns, HeatmapTable &table, TreeInput &lines);

// With --order optimal: the column tree, and the tree of the lines when
// --row-tree was given, in the optimal order by the table's own distances.
// Ends through ToolFail when a distance is missing or the order cannot be
// kept.
void OrderTableTrees(const char *program, const ToolCommandLine &line, const std::string &tablePath,
                     const HeatmapTable &table, TreeInput &columns, TreeInput &lines);

// --names-from TABLE --rows: the names of a tree of the table's lines, each
// line's label (its first word that is not a number). False, with `error`
// naming the file, when the table is refused, no line has a label, or the
// tree's leaves are not its lines.
bool ReadLineNames(const std::string &path, TreeInput &input, std::string &error);

// The tree and its names as every tree program takes them: NAMES, or
// --names-from TABLE (the header's names, or with --rows the lines' labels).
// Ends through ToolFail, writing nothing, on the first fault.
TreeInput ReadToolTree(const char *program, const ToolCommandLine &line, const std::string &dendrogramPath,
                       const NameSources &sources);

// The objects of a heatmap's table: its columns, or with `rows` its lines.
ObjectTable HeatmapObjects(const HeatmapTable &table, bool rows);

// The packed distances between the objects of `table` by the metric named
// `metric` (dendro-cluster's names). False, with `error`, for an unknown
// metric or a pair without a distance.
bool TableDistances(ObjectTable table, const std::string &metric, std::vector<double> &packed, std::string &error);

// The distances between the tree's leaves as the command line gives them.
// False, with `error` naming the file, when they cannot be had or their
// count does not match the tree's leaves.
bool CommandLineDistances(const ToolCommandLine &line, std::size_t leafCount, std::vector<double> &packed,
                          std::string &error);

// Flips the merges of `tree` into the optimal order for `packed`, and tells
// on standard error the neighbour totals before and after ("what" names
// the leaves: "columns", "lines"). False, with `error`, when that cannot be done.
bool OrderOptimally(const char *program, Dendrogram &tree, std::vector<double> packed, const std::string &what,
                    std::string &error);
