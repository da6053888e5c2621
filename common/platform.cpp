#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

bool IsTerminal(std::FILE *stream) {
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

void SetBinaryMode(std::FILE *stream) {
#if defined(_WIN32)
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
#endif
}

namespace {

// The folder part of a name, with its final separator ("" for none).
std::string FolderOf(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

PathKind KindOfPath(const std::string &path) {
    struct stat s;
    if (stat(path.c_str(), &s) != 0) return errno == ENOENT ? PathKind::Missing : PathKind::Unreachable;
    if (S_ISREG(s.st_mode)) return PathKind::Regular;
    if (S_ISDIR(s.st_mode)) return PathKind::Folder;
    return PathKind::Other;
}

bool SameFile(const std::string &first, const std::string &second) {
    struct stat a, b;
    if (stat(first.c_str(), &a) != 0 || stat(second.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string ResolveLinks(const std::string &path) {
    std::string name = path;
    for (int links = 0; links < 40; ++links) {
        struct stat s;
        if (lstat(name.c_str(), &s) != 0 || !S_ISLNK(s.st_mode)) break;
        std::string target(static_cast<size_t>(s.st_size > 0 ? s.st_size : 255) + 1, '\0');
        const ssize_t length = readlink(name.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size()) break;
        target.resize(static_cast<size_t>(length));
        name = target[0] == '/' ? target : FolderOf(name) + target;
    }
    return name;
}

bool CanWriteFile(const std::string &path) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) return false;
    close(fd);
    return true;
}

std::FILE *CreateFileBeside(const std::string &beside, std::string &name) {
    std::string pattern = FolderOf(beside) + ".dendro-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) return nullptr;
    // Handed over without allocating, so that a failure from here on (which
    // may end the process) knows the file to remove.
    name.swap(pattern);
    struct stat s;
    if (stat(beside.c_str(), &s) == 0) {
        // The owner first: changing it may clear the set-id bits.
        if (fchown(fd, s.st_uid, s.st_gid) != 0) {}  // allowed to fail: not our file to give away
        fchmod(fd, s.st_mode & 07777);
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
    }
    std::FILE *stream = fdopen(fd, "w");
    if (stream == nullptr) {
        const int error = errno;
        close(fd);
        unlink(name.c_str());
        name.clear();
        errno = error;
    }
    return stream;
}

bool FlushToDisk(std::FILE *stream) {
    if (std::fflush(stream) != 0) return false;
    // Some files (a pipe, a terminal) cannot be synchronised, which is no
    // failure of the data written.
    return fsync(fileno(stream)) == 0 || errno == EINVAL || errno == EROFS;
}

bool ReplaceFile(const std::string &from, const std::string &to) { return rename(from.c_str(), to.c_str()) == 0; }

namespace {

char interruptPath[4096 + 256];
volatile std::sig_atomic_t interruptArmed = 0;
const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemoveAndReraise(int signal) {
    if (interruptArmed) unlink(interruptPath);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

void RemoveOnInterrupt(const std::string &path) {
    if (path.size() >= sizeof interruptPath) return;
    std::memcpy(interruptPath, path.c_str(), path.size() + 1);
    interruptArmed = 1;
    for (const int signal : kInterruptSignals) {
        // A signal ignored by the caller (nohup) stays ignored.
        if (std::signal(signal, RemoveAndReraise) == SIG_IGN) std::signal(signal, SIG_IGN);
    }
}

void ForgetOnInterrupt() { interruptArmed = 0; }
