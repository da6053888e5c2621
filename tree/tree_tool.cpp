#include "tree_tool.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/platform.h"
#include "leaf_names.h"

bool ParseToolCommandLine(int argc, char **argv, const std::vector<ToolOption> &known, ToolCommandLine &line,
                          std::string &error) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            line.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            line.help = true;
            continue;
        }
        if (arg == "--version") {
            line.version = true;
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const ToolOption *option = nullptr;
        for (const ToolOption &candidate : known)
            if (candidate.name == name) option = &candidate;
        if (option == nullptr) {
            error = "unknown option '" + name + "'";
            return false;
        }
        std::string value;
        if (option->takesValue) {
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                error = name + " needs a value";
                return false;
            }
        } else if (equals != std::string::npos) {
            error = name + " takes no value";
            return false;
        }
        if (!line.options.emplace(name, value).second) {
            error = name + " is given twice";
            return false;
        }
    }
    return true;
}

NameSources ToolNameSources(const char *program, const ToolCommandLine &line, std::size_t namesIndex) {
    NameSources sources;
    if (line.files.size() > namesIndex) sources.namesPath = line.files[namesIndex];
    if (line.Has(kNamesFromOption.name)) {
        sources.tablePath = line.Value(kNamesFromOption.name);
        if (sources.tablePath.empty()) ToolFail(program, "--names-from needs the name of the clustered table");
        if (!sources.namesPath.empty())
            ToolFail(program, "give the names either as a file or with --names-from, not both");
    }
    return sources;
}

bool ReadFirstLine(const std::string &path, std::string &line, std::string &error) {
    line.clear();
    errno = 0;
    std::FILE *file = OpenFile(path, "rb");
    if (file == nullptr) {
        error = errno != 0 ? std::strerror(errno) : "cannot open";
        return false;
    }
    int c;
    while ((c = std::getc(file)) != EOF && c != '\n' && c != '\r') line += static_cast<char>(c);
    const int readErrno = errno;
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = readErrno != 0 ? std::strerror(readErrno) : "read error";
        return false;
    }
    return true;
}

namespace {

bool ReadStandardInput(std::string &contents, std::string &error) {
    contents.clear();
    char buffer[65536];
    std::size_t got;
    errno = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) contents.append(buffer, got);
    if (std::ferror(stdin)) {
        error = errno != 0 ? std::strerror(errno) : "read error";
        return false;
    }
    return true;
}

}  // namespace

std::string ShownPath(const std::string &path) { return path == "-" ? "standard input" : path; }

bool ReadTreeInput(const std::string &dendrogramPath, const std::string &namesPath, const std::string &tablePath,
                   TreeInput &input, std::string &error) {
    std::string text, reason;
    const bool read = dendrogramPath == "-" ? ReadStandardInput(text, reason) : ReadWholeFile(dendrogramPath, text, reason);
    if (!read) {
        error = "cannot read " + ShownPath(dendrogramPath) + ": " + reason;
        return false;
    }
    DendrogramParse parsed = ParseDendrogram(text);
    if (!parsed.ok()) {
        error = ShownPath(dendrogramPath) + ": " + parsed.error;
        return false;
    }
    input.tree = std::move(parsed.tree);
    if (namesPath.empty() && tablePath.empty()) return true;

    const std::string &path = namesPath.empty() ? tablePath : namesPath;
    const bool fromTable = namesPath.empty();
    if (!(fromTable ? ReadFirstLine(path, text, reason) : ReadWholeFile(path, text, reason))) {
        error = "cannot read " + path + ": " + reason;
        return false;
    }
    LabelsParse names = fromTable ? ParseHeaderNames(text, input.tree.leafCount) : ParseLabels(text, input.tree.leafCount);
    if (!names.ok()) {
        error = path + ": " + names.error;
        return false;
    }
    input.labels = std::move(names.labels);
    for (const std::string &note : names.notes) input.notes.push_back(path + ": " + note);
    return true;
}

void ToolFail(const char *program, const std::string &message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    std::exit(1);
}

void ToolNote(const char *program, const std::string &message) {
    std::fprintf(stderr, "%s: note: %s\n", program, message.c_str());
}

void ToolWriteOutput(const char *program, const std::string &text) {
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if (!written || std::fflush(stdout) != 0 || std::ferror(stdout))
        ToolFail(program, std::string("cannot write to standard output: ") + std::strerror(errno));
}

ToolCommandLine StartTool(int argc, char **argv, const char *program, const char *usage,
                          const std::vector<ToolOption> &known) {
    UseBinaryStandardStreams();
    UseUtf8Arguments(argc, argv);
    ToolCommandLine line;
    std::string error;
    if (!ParseToolCommandLine(argc, argv, known, line, error)) {
        std::fprintf(stderr, "%s: %s\n%s", program, error.c_str(), usage);
        std::exit(1);
    }
    if (line.help || line.version) {
        const std::string text = line.help ? std::string(usage) : std::string(program) + " " + DENDRO_VERSION + "\n";
        ToolWriteOutput(program, text);
        std::exit(0);
    }
    return line;
}
