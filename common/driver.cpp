#include "driver.h"

#include <cstring>
#include <new>
#include <string>

#include "platform.h"
#include "utils.h"

namespace {

// The name is the argument's first whitespace-delimited word, as the "%s"
// scan takes it; the buffer is sized from the argument so any length fits.
std::string ScanFileName(const char *argument) {
    std::string name(std::strlen(argument) + 1, '\0');
    if (std::sscanf(argument, "%s", name.data()) != 1) SortieProg(ExitArguments);
    name.resize(std::strlen(name.c_str()));
    return name;
}

}  // namespace

void RunDriver(int argc, char **argv, const ReadStage &read, const WriteStage &write) {
    // Allocations through new (names, the helper thread) end like every
    // other allocation failure.
    std::set_new_handler([] { SortieProg(ExitMemory); });
    UseBinaryStandardStreams();
    if (argc <= 2) SortieProg(ExitArguments);
    const std::string inputName = ScanFileName(argv[1]);
    const std::string outputName = ScanFileName(argv[2]);

    // Both files in binary mode, so that tables and merge lines are the same
    // bytes on every platform: the reader takes a carriage return as a line
    // end anyway, and the merge lines end with a line feed alone.
    std::FILE *in = std::fopen(inputName.c_str(), "rb");
    if (in == nullptr) SortieProg(ExitRead);
    read(in);
    std::fclose(in);

    // Created only once the input has been read whole.
    std::FILE *out = std::fopen(outputName.c_str(), "wb");
    if (out == nullptr) SortieProg(ExitWrite);
    write(out);
    const bool writeFailed = std::ferror(out) != 0;
    if (std::fclose(out) != 0 || writeFailed) SortieProg(ExitWrite);
    SortieProg(ExitNormal);
}

TableData ReadTableOrExit(std::FILE *in) {
    const TableData table = ReadTable(in);
    if (table.values == nullptr || std::ferror(in)) SortieProg(ExitRead);
    return table;
}
