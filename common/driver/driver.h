// The command-line driver both programs share:
//   program [OPTION]... INPUT OUTPUT
// It reads the options, opens the input ("-": standard input), runs the
// program's read stage on it, closes it, opens the output ("-": standard
// output; a file is replaced only once complete), runs the write stage on
// it, completes it and ends the process. Every failure ends through
// SortieProg, with its reason on standard error.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "input/table_reader.h"
#include "model/table.h"

// What a command line asks for.
struct CommandLine {
    bool help = false;
    bool version = false;
    bool header = false;   // --header: the first line holds the column names
    bool labels = false;   // --labels: the first field of each line is its label
    bool precise = false;  // --precise: merge values with nine significant digits
    std::string input, output;        // whole arguments less surrounding white space
    std::vector<std::string> extra;   // file names after the first two, ignored
    std::string error;                // why the line is not understood; "" when it is
    // The program's own options given, in order: name and value ("" for a
    // flag).
    std::vector<std::pair<std::string, std::string>> given;
};

// An option of one program beyond those every program takes: a flag
// ("--rows"), or one with a value, given as "--linkage ward" or
// "--linkage=ward".
struct ProgramOption {
    const char *name;      // "--linkage"
    const char *argument;  // "METHOD" for --help; nullptr for a flag
    const char *help;      // its lines in --help, each after the option's column
};

// Options may come before or after the file names; "--" ends them, so that
// a file name may begin with '-' ("-" alone is a file name: a standard
// stream).
CommandLine ParseCommandLine(int argc, const char *const *argv, const std::vector<ProgramOption> &options = {});

struct ProgramDescription {
    const char *name;     // "dendro-min"
    const char *purpose;  // one sentence for --help
    std::vector<ProgramOption> options = {};
    const char *input = nullptr;  // --help's lines on INPUT, when not a table
    const char *notes = nullptr;  // a paragraph of --help after the output's
    int preciseDigits = 9;        // significant digits of --precise
};

using ReadStage = std::function<void(std::FILE *in)>;
using WriteStage = std::function<void(std::FILE *out)>;

[[noreturn]] void RunDriver(const ProgramDescription &program, int argc, char **argv, const ReadStage &read,
                            const WriteStage &write);

// ReadTable for the programs: a rejected (ragged) table, an input stream in
// error or more columns than can be clustered end the process with the
// reason, before the output is opened. When the program's option --rows was
// given, the table returned is the transpose of the one read: its lines are
// the columns clustered.
TableData ReadTableOrExit(std::FILE *in);

// For the stages, about the run's command line: whether the program's
// option `name` was given, and the value it was last given ("" when not).
bool OptionGiven(const std::string &name);
std::string OptionValue(const std::string &name);
bool HeaderAsked();
bool LabelsAsked();
bool PreciseAsked();
// The input as reasons name it: its name, or "standard input" for "-".
std::string InputShownName();

// The usage text of --help.
std::string UsageText(const ProgramDescription &program);
