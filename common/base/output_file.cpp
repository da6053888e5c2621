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
    // The folder cannot hold a temporary file: the output is held until it
    // is complete, and only then written over the old file.
    bool held = false;
} output;

// How failures end the process, and how the note of writing in place
// begins: the clustering programs' way unless ReportOutputFailures says
// otherwise.
void (*customFailure)(const std::string &reason) = nullptr;
std::string notePrefix = "note: ";

[[noreturn]] void FailWith(int32_t code, const std::string &reason) {
    if (customFailure != nullptr) {
        AbandonOutput();
        customFailure(reason);
    }
    ExitWithReason(code, reason);
}

[[noreturn]] void Fail(const std::string &what, int error) {
    const std::string name = output.name == "-" ? "standard output" : output.name;
    FailWith(ExitWrite, name + ": " + what + (error != 0 ? std::string(": ") + std::strerror(error) : ""));
}

std::FILE *OpenDirectly() {
    output.stream = OpenFile(output.name, "wb");
    if (output.stream == nullptr) Fail("cannot be created", errno);
    return output.stream;
}

// The whole output, held until now, written over the old file: the only
// moment a failure (a full disk) or an interruption can cost it, which the
// note says.
void WriteHeldInPlace() {
    std::FILE *held = output.stream;
    if (std::fflush(held) != 0 || std::ferror(held))
        FailWith(ExitMemory, output.name + ": the output could not be held in memory; the file is unchanged");
    std::fprintf(stderr, "%s%s: its folder cannot hold a temporary file, so it is written in place\n",
                 notePrefix.c_str(), output.name.c_str());
    std::FILE *file = OpenFile(output.name, "wb");
    if (file == nullptr) Fail("cannot be written", errno);
    const bool copied = CopyHeldStream(held, file);
    const int error = errno;
    output.stream = nullptr;
    output.held = false;
    CloseHeldStream(held);
    const bool closed = std::fclose(file) == 0;
    if (!copied || !closed) Fail("write error, the file is incomplete", copied ? errno : error);
}

}  // namespace

void ReportOutputFailures(void (*fail)(const std::string &reason), const std::string &note) {
    customFailure = fail;
    notePrefix = note;
}

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
    const bool exists = KindOfPath(output.target) == PathKind::Regular;
    output.stream = CreateFileBeside(output.target, output.temporary);
    if (output.stream != nullptr) {
        RemoveOnInterrupt(output.temporary);
        return output.stream;
    }
    // A new file where no temporary file can be made cannot be made either.
    if (!exists) Fail("cannot be created", errno);
    // The old file stays whole until the new output is: a failure or an
    // interruption before then leaves it as it was.
    output.stream = OpenHeldStream();
    if (output.stream == nullptr) FailWith(ExitMemory, output.name + ": the output cannot be held in memory");
    output.held = true;
    return output.stream;
}

void FinishOutput() {
    std::FILE *stream = output.stream;
    if (stream == stdout) {
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) Fail("write error", errno);
        return;
    }
    if (output.held) {
        WriteHeldInPlace();
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
    if (output.held) {
        if (output.stream != nullptr) CloseHeldStream(output.stream);
        output.stream = nullptr;
        output.held = false;
        return;
    }
    if (output.temporary.empty()) return;
    if (output.stream != nullptr) std::fclose(output.stream);
    output.stream = nullptr;
    RemoveFile(output.temporary);
    ForgetOnInterrupt();
    output.temporary.clear();
}
