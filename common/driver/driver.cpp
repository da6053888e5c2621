#include "driver/driver.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/output_file.h"
#include "base/platform.h"
#include "base/progress.h"
#include "base/utils.h"
#include "engines/merge_line.h"
#include "input/table_reader.h"
#include "input/table_report.h"
#include "model/distance_matrix.h"

#ifndef DENDRO_VERSION
#error "DENDRO_VERSION comes from the build (the project's version)"
#endif

namespace {

// The run's command line, for the stages.
CommandLine commandLine;

// Blanks as the C library classifies them in the default locale.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string Trimmed(const std::string &argument) {
    size_t begin = 0, end = argument.size();
    while (begin < end && IsBlank(argument[begin])) ++begin;
    while (end > begin && IsBlank(argument[end - 1])) --end;
    return argument.substr(begin, end - begin);
}

// How a name is shown in a reason.
std::string Shown(const std::string &name) { return name == "-" ? "standard input" : name; }

void OnFailure() {
    ProgressEnd();
    AbandonOutput();
}

}  // namespace

namespace {

// Takes argv[k] when it is one of `options` (with its value, which may be
// the next argument); returns false when it is none of them.
bool TakeProgramOption(CommandLine &line, const std::vector<ProgramOption> &options, int argc,
                       const char *const *argv, int &k) {
    const std::string a = argv[k];
    for (const ProgramOption &option : options) {
        const std::string name = option.name;
        if (option.argument == nullptr) {
            if (a != name) continue;
            line.given.emplace_back(name, "");
            return true;
        }
        if (a.compare(0, name.size() + 1, name + "=") == 0) {
            line.given.emplace_back(name, a.substr(name.size() + 1));
            return true;
        }
        if (a != name) continue;
        if (k + 1 >= argc) {
            line.error = "the option " + name + " needs a value (" + option.argument + ", try --help)";
        } else {
            line.given.emplace_back(name, argv[++k]);
        }
        return true;
    }
    return false;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char *const *argv, const std::vector<ProgramOption> &options) {
    CommandLine line;
    std::vector<std::string> names;
    bool optionsEnded = false;
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            names.push_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "--help" || a == "-h") {
            line.help = true;
        } else if (a == "--version") {
            line.version = true;
        } else if (a == "--header") {
            line.header = true;
        } else if (a == "--labels") {
            line.labels = true;
        } else if (a == "--precise") {
            line.precise = true;
        } else if (TakeProgramOption(line, options, argc, argv, k)) {
            if (!line.error.empty()) return line;
        } else {
            line.error = "unknown option '" + a + "' (try --help; a file name beginning with '-' follows --)";
            return line;
        }
    }
    if (line.help || line.version) return line;
    if (names.size() < 2) {
        line.error = names.empty() ? "the names of the input and output files are missing (try --help)"
                                   : "the name of the output file is missing (try --help)";
        return line;
    }
    line.input = Trimmed(names[0]);
    line.output = Trimmed(names[1]);
    if (line.input.empty()) line.error = "the name of the input file is empty";
    else if (line.output.empty()) line.error = "the name of the output file is empty";
    line.extra.assign(names.begin() + 2, names.end());
    return line;
}

namespace {

// The --help lines of the program's own options: the name (and value) in a
// column of 12, or on a line of its own when longer.
std::string ProgramOptionsHelp(const ProgramDescription &program) {
    std::string text;
    for (const ProgramOption &option : program.options) {
        std::string head = std::string("  ") + option.name;
        if (option.argument != nullptr) head += std::string(" ") + option.argument;
        if (head.size() < 14) {
            head.append(14 - head.size(), ' ');
        } else {
            head.append(1, '\n').append(14, ' ');
        }
        std::string help = option.help;
        for (size_t at = 0; (at = help.find('\n', at)) != std::string::npos && at + 1 < help.size(); at += 15)
            help.insert(at + 1, std::string(14, ' '));
        text += head + help + (help.empty() || help.back() != '\n' ? "\n" : "");
    }
    return text;
}

bool TakesOption(const ProgramDescription &program, const char *name) {
    for (const ProgramOption &option : program.options)
        if (std::strcmp(option.name, name) == 0) return true;
    return false;
}

}  // namespace

std::string UsageText(const ProgramDescription &program) {
    const std::string name = program.name;
    const std::string digits = program.preciseDigits == 9 ? "nine" : std::to_string(program.preciseDigits);
    const std::string precise = "%." + std::to_string(program.preciseDigits) + "g";
    const std::string input = program.input != nullptr ? program.input
                                                       : "  INPUT   a table of numbers, one row per line, values separated by tabs,\n"
                                                         "          spaces or ';' (a decimal comma is read as a point); - reads\n"
                                                         "          standard input\n";
    const bool rows = TakesOption(program, "--rows");
    return "Usage: " + name + " [OPTION]... INPUT OUTPUT\n" + program.purpose +
           "\n"
           "\n" +
           input +
           "  OUTPUT  the merge lines; an existing file is replaced only once the new\n"
           "          one is complete; - writes standard output\n"
           "\n"
           "Options, before or after the file names:\n"
           "  --header    the first line holds the column names, not numbers\n"
           "  --labels    the first field of each line is its label, never a value (up\n"
           "              to the first tab when the first line holds one, else up to\n"
           "              the first blank or ';')\n"
           "  --precise   merge values with " + digits + " significant digits (" + precise + "), enough to\n"
           "              read back the exact value, instead of six decimals\n" +
           ProgramOptionsHelp(program) +
           "  -h, --help  show this help and end\n"
           "  --version   show the version and end\n"
           "  --          end of the options, for a file name beginning with -\n"
           "\n"
           "Output: one line per merge, NODEk TAB child TAB child TAB value, where a\n" +
           (rows ? "child is LEAFc (column c, counted from 0; line c with --rows) or NODEk\n"
                   "(an earlier merge).\n"
                 : "child is LEAFc (column c, counted from 0) or NODEk (an earlier merge).\n") +
           "\n" + (program.notes != nullptr ? std::string(program.notes) + "\n" : std::string()) +
           "A failure prints a French message on standard output (on standard error\n"
           "when OUTPUT is -) and its reason on standard error, and ends with status\n"
           "255. Progress is shown on standard error when it is a terminal and the\n"
           "run lasts more than a second.\n";
}

void RunDriver(const ProgramDescription &program, int argc, char **argv, const ReadStage &read,
               const WriteStage &write) {
    // Allocations through new (names, the helper thread) end like every
    // other allocation failure.
    std::set_new_handler([] { SortieProg(ExitMemory); });
    // Standard streams and files in binary mode, so that tables, merge lines
    // and messages are the same bytes on every platform: the reader takes a
    // carriage return as a line end anyway, and lines end with a line feed
    // alone.
    UseBinaryStandardStreams();
    SetProgramName(program.name);
    UseUtf8Arguments(argc, argv);
    commandLine = ParseCommandLine(argc, argv, program.options);
    if (!commandLine.error.empty()) ExitWithReason(ExitArguments, commandLine.error);
    if (commandLine.help || commandLine.version) {
        const std::string text =
            commandLine.help ? UsageText(program) : std::string(program.name) + " " + DENDRO_VERSION + "\n";
        std::fputs(text.c_str(), stdout);
        if (std::fflush(stdout) != 0) {
            ExitWithReason(ExitWrite, std::string("standard output: write error: ") + std::strerror(errno));
        }
        SortieProg(ExitNormal);
    }
    for (const std::string &extra : commandLine.extra)
        std::fprintf(stderr, "warning: the argument '%s' after the two file names is ignored\n", extra.c_str());
    const std::string &inputName = commandLine.input, &outputName = commandLine.output;
    if (outputName == "-") SendExitMessagesToStandardError();
    if (commandLine.precise) preciseMergeValues = true;
    SetFailureCleanup(OnFailure);

    std::FILE *in = stdin;
    if (inputName == "-") {
        SetBinaryMode(stdin);
    } else {
        in = OpenFile(inputName, "rb");
        if (in == nullptr) ExitWithReason(ExitRead, inputName + ": cannot be opened: " + std::strerror(errno));
    }
    if (inputName != "-" && outputName != "-" && SameFile(inputName, outputName)) {
        ExitWithReason(ExitWrite, outputName + ": names the input file " + inputName +
                                      "; writing the merge lines there would lose the table");
    }
    if (inputName == "-" && outputName != "-" && IsFileOfStream(stdin, outputName)) {
        ExitWithReason(ExitWrite, outputName + ": is the file standard input reads" +
                                      "; writing the merge lines there would lose the table");
    }
    EnableProgress(program.name);
    read(in);
    if (in != stdin) std::fclose(in);

    // Opened only once the input has been read whole.
    std::FILE *out = OpenOutput(outputName);
    write(out);
    // Values too small for six decimals: all of them print as 0.000000.
    if (mergeValuesNotZero > 0 && mergeValuesShownAsZero == mergeValuesNotZero) {
        std::fprintf(stderr, "warning: every merge value prints as 0.000000 though %s not 0: --precise writes them "
                             "with nine significant digits\n", mergeValuesNotZero == 1 ? "it is" : "they are");
    }
    ProgressEnd();
    FinishOutput();
    SortieProg(ExitNormal);
}

bool OptionGiven(const std::string &name) {
    for (const auto &[given, value] : commandLine.given)
        if (given == name) return true;
    return false;
}

std::string OptionValue(const std::string &name) {
    std::string last;
    for (const auto &[given, value] : commandLine.given)
        if (given == name) last = value;
    return last;
}

bool HeaderAsked() { return commandLine.header; }

bool LabelsAsked() { return commandLine.labels; }

bool PreciseAsked() { return commandLine.precise; }

std::string InputShownName() { return Shown(commandLine.input); }

namespace {

// The table's lines become its columns.
TableData Transposed(TableData table) {
    float *values = static_cast<float *>(monmalloc(int64_t{table.lines} * table.columns * 4));
    for (int64_t line = 0; line < table.lines; ++line)
        for (int64_t column = 0; column < table.columns; ++column)
            values[column * table.lines + line] = table.values[line * table.columns + column];
    std::free(table.values);
    return TableData{table.columns, table.lines, values};
}

}  // namespace

TableData ReadTableOrExit(std::FILE *in) {
    TableReport report;
    report.header = commandLine.header;
    report.labels = commandLine.labels;
    const TableData table = ReadTable(in, report);
    const std::string name = Shown(commandLine.input);
    // Merge lines are the one other input recognised for sure: most likely
    // the two file names were given the wrong way round.
    if (IsMergeLine(report.firstLineText)) {
        std::free(table.values);
        ExitWithReason(ExitRead, name + ": holds merge lines (its first line is \"" + report.firstLineText +
                                     "\"), not a table: are INPUT and OUTPUT swapped?");
    }
    if (std::ferror(in)) ExitWithReason(ExitRead, name + ": cannot be read: " + std::strerror(errno));
    // An input without any number ends as an allocation failure would.
    if (report.noValues) ExitWithReason(ExitMemory, name + ": " + RejectionReason(report));
    if (table.values == nullptr) ExitWithReason(ExitRead, name + ": " + RejectionReason(report));
    const bool rows = OptionGiven("--rows");
    const int32_t objects = rows ? table.lines : table.columns;
    if (objects > MAX_OBJECTS) {
        std::free(table.values);
        ExitWithReason(ExitMemory, name + ": " + std::to_string(objects) + (rows ? " lines" : " columns") +
                                       "; at most " + std::to_string(MAX_OBJECTS) + " can be clustered");
    }
    for (const std::string &warning : TableWarnings(report, table))
        std::fprintf(stderr, "warning: %s: %s\n", name.c_str(), warning.c_str());
    return rows ? Transposed(table) : table;
}
