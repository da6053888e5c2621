// Helpers for black-box tests: run a built program, capture what it prints
// on standard output and its exit status; make and read temporary files.
#pragma once

#include <string>
#include <vector>

struct ProgramResult {
    std::string out;  // standard output
    int status;       // exit status (0..255), or -1 if it did not exit normally
};

// Runs `path` with `args` (argv[1..]), standard input from /dev/null.
// `limitAddressSpace`, when non-zero, caps the child's address space in bytes.
ProgramResult RunProgram(const std::string &path, const std::vector<std::string> &args,
                         unsigned long long limitAddressSpace = 0);

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
