// What the tree programs (dendro-plot, dendro-newick, dendro-cut,
// dendro-export) share on the command line: options anywhere among the file
// names, the tree and its names read and checked before anything is
// written, errors and notes on standard error.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "dendrogram_file.h"

struct ToolOption {
    std::string name;  // with its dashes: "--title"
    bool takesValue;
};

struct ToolCommandLine {
    std::vector<std::string> files;              // in order
    std::map<std::string, std::string> options;  // given options and their values ("" for flags)
    bool help = false;                           // -h or --help anywhere
    bool version = false;                        // --version anywhere
    bool Has(const std::string &name) const { return options.count(name) != 0; }
    std::string Value(const std::string &name) const {
        const auto found = options.find(name);
        return found == options.end() ? std::string() : found->second;
    }
};

// Splits argv into options ("--name value" or "--name=value") and file
// names, in any order; "--" ends the options. False, with `error` set, for
// an unknown option, a missing value, or an option given twice.
bool ParseToolCommandLine(int argc, char **argv, const std::vector<ToolOption> &known, ToolCommandLine &line,
                          std::string &error);
// The start every tree program shares: binary standard streams, then the
// command line parsed. A bad one ends with its reason and the usage text on
// standard error (status 1); --help prints the usage text, --version the
// program's name and version (status 0; 1 when standard output fails).
ToolCommandLine StartTool(int argc, char **argv, const char *program, const char *usage,
                          const std::vector<ToolOption> &known);

// The option every tree program takes for names from a table's header.
inline const ToolOption kNamesFromOption{"--names-from", true};
inline const ToolOption kRowsOption{"--rows", false};
// The usage lines of NAMES, --names-from and --rows (a literal, to be
// joined with the program's own lines).
#define TOOL_NAMES_USAGE \
    "  NAMES               one name per line for each column, in column order\n" \
    "  --names-from TABLE  the names on the first line of the clustered table\n" \
    "  --rows              with --names-from: the tree is of the table's lines (clustered\n" \
    "                      with --rows), each named by its label\n"

// Where the names come from: the names file among the file names (at
// `namesIndex`, when there are that many), or the table of --names-from.
// Ends through ToolFail when both are given or the table's name is empty.
struct NameSources {
    std::string namesPath, tablePath;
};
NameSources ToolNameSources(const char *program, const ToolCommandLine &line, std::size_t namesIndex);

struct TreeInput {
    Dendrogram tree;
    std::vector<std::string> labels;  // empty when no names were given
    std::vector<std::string> notes;   // about the names, each naming its file
};

// How a file name is shown in messages: "-" is standard input.
std::string ShownPath(const std::string &path);

// Reads and checks the dendrogram ("-": standard input), then the names: from `namesPath` (a
// names file) or from the first line of `tablePath`, or none when both are
// empty. False, with `error` naming the file, on the first fault.
bool ReadTreeInput(const std::string &dendrogramPath, const std::string &namesPath, const std::string &tablePath,
                   TreeInput &input, std::string &error);

// The first line of a file, without its line end (line feed or carriage
// return); reads no further than that.
bool ReadFirstLine(const std::string &path, std::string &line, std::string &error);

// Prints "<program>: <message>" on standard error and ends with status 1.
[[noreturn]] void ToolFail(const char *program, const std::string &message);
// Prints "<program>: note: <message>" on standard error.
void ToolNote(const char *program, const std::string &message);
// Writes all of `text` to standard output and flushes it; ends through
// ToolFail when that fails (a full disk, a closed pipe).
void ToolWriteOutput(const char *program, const std::string &text);
