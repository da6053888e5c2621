#include "process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::string Environment(const char *name) {
    const char *value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::vector<std::string> Words(const std::string &text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// The program under test standing for `path`: a program of this build
// (DENDRO_BUILD_DIR) is looked up in DENDRO_TEST_PROGRAMS_DIR instead.
std::string UnderTest(const std::string &path) {
    const std::string other = Environment("DENDRO_TEST_PROGRAMS_DIR");
    const std::string built = DENDRO_BUILD_DIR;
    if (other.empty() || path.compare(0, built.size() + 1, built + "/") != 0) return path;
    const std::string mapped = other + path.substr(built.size());
    return std::filesystem::exists(mapped) || !std::filesystem::exists(mapped + ".exe") ? mapped : mapped + ".exe";
}

bool IsUnderTest(const std::string &path) {
    const std::string built = DENDRO_BUILD_DIR;
    return path.compare(0, built.size() + 1, built + "/") == 0;
}

ProgramResult Run(const std::vector<std::string> &command, unsigned long long limitAddressSpace) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    std::vector<char *> argv;
    for (const std::string &a : command) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        const int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, STDIN_FILENO);
        if (limitAddressSpace != 0) {
            struct rlimit rl = {limitAddressSpace, limitAddressSpace};
            setrlimit(RLIMIT_AS, &rl);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    ProgramResult result{"", -1};
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

}  // namespace

bool TestingOtherPrograms() { return !Environment("DENDRO_TEST_PROGRAMS_DIR").empty(); }

bool ProgramsRunNatively() { return Words(Environment("DENDRO_TEST_LAUNCHER")).empty(); }

std::vector<std::string> LaunchCommand(const std::string &path) {
    std::vector<std::string> command;
    if (IsUnderTest(path)) command = Words(Environment("DENDRO_TEST_LAUNCHER"));
    command.push_back(UnderTest(path));
    return command;
}

ProgramResult RunProgram(const std::string &path, const std::vector<std::string> &args,
                         unsigned long long limitAddressSpace) {
    std::vector<std::string> command = LaunchCommand(path);
    command.insert(command.end(), args.begin(), args.end());
    return Run(command, limitAddressSpace);
}

ProgramResult RunBuiltProgram(const std::string &path, const std::vector<std::string> &args) {
    std::vector<std::string> command = {path};
    command.insert(command.end(), args.begin(), args.end());
    return Run(command, 0);
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dendro-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string &path, const std::string &contents) {
    std::ofstream f(path, std::ios::binary);
    f << contents;
    if (!f) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string &path) { return std::filesystem::exists(path); }

std::string ReadFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}
