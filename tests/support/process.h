// Helpers for black-box tests: run a built program, capture what it prints
// on standard output and standard error and its exit status; make and read
// temporary files.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct ProgramResult {
    std::string out;  // standard output
    int status;       // exit status (0..255), or -1 if it did not exit normally
    std::string err;  // standard error
};

// How a program is run, beyond its arguments.
struct RunSettings {
    // Fed to standard input (through a file); standard input is /dev/null
    // when this is empty.
    std::string input;
    // Set in the program's environment (the test's own stays unchanged).
    std::vector<std::pair<std::string, std::string>> environment;
    // Standard error on a pseudo-terminal instead of a pipe; what the
    // program writes there is still returned in `err` (line feeds as the
    // terminal shows them: "\r\n").
    bool errorOnTerminal = false;
    // When non-zero: caps the address space, in bytes.
    unsigned long long limitAddressSpace = 0;
    // When non-zero: caps the size of the files the program writes, in
    // bytes; a write beyond fails as on a full disk.
    unsigned long long limitFileSize = 0;
    // When not empty: the program's working folder.
    std::string directory;
    // When not negative: the user the program runs as (the test must be
    // allowed to switch to it, as the superuser is).
    int user = -1;
};

// Runs `path` with `args` (argv[1..]), standard input from /dev/null.
// `limitAddressSpace`, when non-zero, caps the child's address space in bytes.
// A program of this build is replaced by the program under test (see
// below) and started through the launcher, if any.
ProgramResult RunProgram(const std::string &path, const std::vector<std::string> &args,
                         unsigned long long limitAddressSpace = 0);
ProgramResult RunProgram(const std::string &path, const std::vector<std::string> &args, const RunSettings &settings);
// Settings that only feed `input` to standard input.
inline RunSettings WithInput(std::string input) {
    RunSettings settings;
    settings.input = std::move(input);
    return settings;
}

// The black-box tests may run the programs of another build, for example
// the Windows executables through wine, instead of this build's:
//   DENDRO_TEST_PROGRAMS_DIR  the other build's folder, laid out like this
//                             one (".exe" is added where the file has it)
//   DENDRO_TEST_LAUNCHER      the command that starts them, words separated
//                             by blanks (e.g. "wine64")
// Both are read from the environment when the tests run.
bool TestingOtherPrograms();
// False when the programs under test run through a launcher: tests that
// need Linux itself (address-space caps, preloaded libraries, /dev/full)
// leave them out.
bool ProgramsRunNatively();
// The command words that start `path` (launcher first), after replacing a
// program of this build by the one under test.
std::vector<std::string> LaunchCommand(const std::string &path);
// Runs the program of this build itself, as RunProgram does without the
// replacement and the launcher: the reference the other programs are held to.
ProgramResult RunBuiltProgram(const std::string &path, const std::vector<std::string> &args);

// A fresh temporary folder, removed with everything in it when destroyed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteFile(const std::string &path, const std::string &contents);
bool FileExists(const std::string &path);
std::string ReadFile(const std::string &path);
