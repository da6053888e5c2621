#include "base/output_file.h"

#include <cerrno>
#include <cstring>

#include "base/platform.h"
#include "base/utils.h"

namespace {

struct Output {
    std::FILE *stream = nullptr;
    std::string name;       // as given on the command line
    std::string target;     // the file that is replaced (a link's target)
    std::string temporary;  // "" when written directly
} output;

[[noreturn]] void Fail(const std::string &what, int error) {
    const std::string name = output.name == "-" ? "standard output" : output.name;
    ExitWithReason(ExitWrite, name + ": " + what + (error != 0 ? std::string(": ") + std::strerror(error) : ""));
}

std::FILE *OpenDirectly() {
    output.stream = OpenFile(output.name, "wb");
    if (output.stream == nullptr) Fail("cannot be created", errno);
    return output.stream;
}

}  // namespace

std::FILE *OpenOutput(const std::string &name) {
    output.name = name;
    if (name == "-") {
        SetBinaryMode(stdout);
        output.stream = stdout;
        return stdout;
    }
    output.target = ResolveLinks(name);
    switch (KindOfPath(output.target)) {
        case PathKind::Folder:
            Fail("is a folder", 0);
        case PathKind::Other:
            return OpenDirectly();  // a device or a pipe: nothing to replace
        case PathKind::Unreachable:
            Fail("cannot be reached", errno);
        case PathKind::Regular:
            if (!CanWriteFile(output.target)) Fail("may not be written", errno);
            break;
        case PathKind::Missing:
            break;
    }
    output.stream = CreateFileBeside(output.target, output.temporary);
    if (output.stream == nullptr) return OpenDirectly();  // the folder cannot hold a temporary file
    RemoveOnInterrupt(output.temporary);
    return output.stream;
}

void FinishOutput() {
    std::FILE *stream = output.stream;
    if (stream == stdout) {
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) Fail("write error", errno);
        return;
    }
    if (output.temporary.empty()) {
        const bool failed = std::ferror(stream) != 0;
        const int error = errno;
        output.stream = nullptr;
        if (std::fclose(stream) != 0) Fail("write error", errno);
        if (failed) Fail("write error", error);
        return;
    }
    if (!FlushToDisk(stream) || std::ferror(stream)) Fail("write error", errno);
    output.stream = nullptr;
    if (std::fclose(stream) != 0) Fail("write error", errno);
    if (!ReplaceFile(output.temporary, output.target)) Fail("cannot be replaced", errno);
    ForgetOnInterrupt();
    output.temporary.clear();
}

void AbandonOutput() {
    if (output.temporary.empty()) return;
    if (output.stream != nullptr) std::fclose(output.stream);
    output.stream = nullptr;
    RemoveFile(output.temporary);
    ForgetOnInterrupt();
    output.temporary.clear();
}
