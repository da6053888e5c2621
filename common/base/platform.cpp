#include "base/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// windows.h names its own ReplaceFile; the one here is this module's.
#undef ReplaceFile
#else
#include <fcntl.h>
#include <sys/mman.h>
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

void UseBinaryStandardStreams() {
    SetBinaryMode(stdin);
    SetBinaryMode(stdout);
    SetBinaryMode(stderr);
}

void AdviseLargePages(void *block, int64_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes < (int64_t{8} << 20)) return;
    // Every page the block touches, so that a block mapped on its own keeps
    // one mapping (which can then grow in place) rather than being split.
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = reinterpret_cast<uintptr_t>(block) / page * page;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + static_cast<uintptr_t>(bytes) + page - 1) / page * page;
    if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

void WaitWhileEqual(std::atomic<uint64_t> &word, uint64_t expected) {
#if defined(_WIN32)
    static_assert(sizeof(word) == sizeof(uint64_t));
    WaitOnAddress(&word, &expected, sizeof expected, INFINITE);
#else
    word.wait(expected, std::memory_order_acquire);
#endif
}

void WakeOneWaiter(std::atomic<uint64_t> &word) {
#if defined(_WIN32)
    WakeByAddressSingle(&word);
#else
    word.notify_one();
#endif
}

namespace {

// The folder part of a name, with its final separator ("" for none). On
// Windows a backslash separates too, and "C:" names a drive's current folder.
std::string FolderOf(const std::string &path) {
#if defined(_WIN32)
    const size_t slash = path.find_last_of("/\\:");
#else
    const size_t slash = path.find_last_of('/');
#endif
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

#if defined(_WIN32)
// UTF-16 of UTF-8 text, and back.
std::wstring Wide(const std::string &text) {
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string Utf8(const wchar_t *text, size_t size) {
    if (size == 0) return std::string();
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), narrow.data(), length, nullptr, nullptr);
    return narrow;
}

// The name the system's UTF-16 calls take. A name whose full form reaches
// the classic limit (260 characters with the terminator, 248 for folders)
// gets the "\\?\" prefix, which lifts it to about 32,767; the system then
// takes the name literally, so it is first made full here: separators become
// backslashes and "." and ".." parts are resolved, as the system would have
// done. Names already in a verbatim or device form ("\\?\", "\\.\") stay.
std::wstring SystemName(const std::string &name) {
    const std::wstring wide = Wide(name);
    if (wide.compare(0, 4, L"\\\\?\\") == 0 || wide.compare(0, 4, L"\\\\.\\") == 0 ||
        wide.compare(0, 4, L"\\??\\") == 0)
        return wide;
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return wide;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return wide;
    full.resize(length);
    if (full.size() < 248) return wide;
    if (full.compare(0, 2, L"\\\\") == 0) {
        if (full.compare(0, 4, L"\\\\.\\") == 0 || full.compare(0, 4, L"\\\\?\\") == 0) return full;
        return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
    }
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
    return wide;
}

// errno for the last Windows error, for std::strerror.
int ErrnoOfLastError() {
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT: return EACCES;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_BUFFER_OVERFLOW: return ENAMETOOLONG;
        case ERROR_NOT_SAME_DEVICE: return EXDEV;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        default: return EIO;
    }
}

// A handle on an existing file or folder that reads nothing and keeps
// nobody from using it; INVALID_HANDLE_VALUE (errno set) when it cannot be
// opened.
HANDLE OpenForQuery(const std::string &path) {
    const HANDLE h = CreateFileW(SystemName(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) errno = ErrnoOfLastError();
    return h;
}
#endif

}  // namespace

PathKind KindOfPath(const std::string &path) {
#if defined(_WIN32)
    const DWORD attributes = GetFileAttributesW(SystemName(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        errno = ErrnoOfLastError();
        return errno == ENOENT ? PathKind::Missing : PathKind::Unreachable;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::Folder;
    // Devices (NUL, CON, COM1) answer with attributes too; only a disk file
    // is a file to replace.
    const HANDLE h = OpenForQuery(path);
    if (h == INVALID_HANDLE_VALUE) return PathKind::Unreachable;
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    return type == FILE_TYPE_DISK ? PathKind::Regular : PathKind::Other;
#else
    struct stat s;
    if (stat(path.c_str(), &s) != 0) return errno == ENOENT ? PathKind::Missing : PathKind::Unreachable;
    if (S_ISREG(s.st_mode)) return PathKind::Regular;
    if (S_ISDIR(s.st_mode)) return PathKind::Folder;
    return PathKind::Other;
#endif
}

bool SameFile(const std::string &first, const std::string &second) {
#if defined(_WIN32)
    // Windows gives no inode numbers through stat; the volume and the file
    // index of an open handle tell files apart.
    BY_HANDLE_FILE_INFORMATION a, b;
    auto identify = [](const std::string &path, BY_HANDLE_FILE_INFORMATION &info) {
        const HANDLE h = OpenForQuery(path);
        if (h == INVALID_HANDLE_VALUE) return false;
        const bool known = GetFileInformationByHandle(h, &info) != 0;
        CloseHandle(h);
        return known;
    };
    return identify(first, a) && identify(second, b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
#else
    struct stat a, b;
    if (stat(first.c_str(), &a) != 0 || stat(second.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
#endif
}

std::string ResolveLinks(const std::string &path) {
#if defined(_WIN32)
    // A symbolic link (a reparse point) is asked for its final path; any
    // other name, missing ones included, is used as it is.
    const std::wstring name = SystemName(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return path;
    const HANDLE h = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return path;
    std::wstring final(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(h, final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
    if (length >= final.size()) {
        final.resize(length + 1);
        length = GetFinalPathNameByHandleW(h, final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
    }
    CloseHandle(h);
    if (length == 0 || length >= final.size()) return path;
    final.resize(length);
    // "\\?\C:\folder\file" names the same file as "C:\folder\file"; a path
    // that only the long form can name (a share, a long path) keeps it.
    if (final.compare(0, 4, L"\\\\?\\") == 0 && final.size() < MAX_PATH + 4 && final.compare(4, 4, L"UNC\\") != 0)
        final.erase(0, 4);
    return Utf8(final.data(), final.size());
#else
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
#endif
}

bool CanWriteFile(const std::string &path) {
#if defined(_WIN32)
    const HANDLE h = CreateFileW(SystemName(path).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ErrnoOfLastError();
        return false;
    }
    CloseHandle(h);
    return true;
#else
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) return false;
    close(fd);
    return true;
#endif
}

namespace {

// A temporary file is named after the file it will replace, so that one
// left behind by a killed run says whose it is: ".NAME.dendro-" and six
// letters. NAME is cut (between characters) so that the whole stays well
// within any limit on names.
std::string TemporaryPrefix(const std::string &beside) {
    constexpr size_t kMostNameBytes = 64;
    std::string name = FileNameOf(beside);
    if (name.size() > kMostNameBytes) {
        size_t cut = kMostNameBytes;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name.resize(cut);
    }
    return FolderOf(beside) + "." + name + ".dendro-";
}

}  // namespace

std::FILE *CreateFileBeside(const std::string &beside, std::string &name) {
#if defined(_WIN32)
    // A new name of six letters and digits, tried until one is free; the
    // file takes the folder's permissions, as every new file there does.
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned long long state = 0;
    if (state == 0) state = GetTickCount64() * 0x9E3779B97F4A7C15ull ^ GetCurrentProcessId();
    std::string candidate;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
        candidate = TemporaryPrefix(beside);
        for (int k = 0; k < 6; ++k) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            candidate += kLetters[(state >> 33) % 36];
        }
        h = CreateFileW(SystemName(candidate).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        errno = ErrnoOfLastError();
        return nullptr;
    }
    name.swap(candidate);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    std::FILE *stream = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (stream == nullptr) {
        const int error = errno;
        if (fd >= 0) _close(fd); else CloseHandle(h);
        DeleteFileW(SystemName(name).c_str());
        name.clear();
        errno = error;
    }
    return stream;
#else
    std::string pattern = TemporaryPrefix(beside) + "XXXXXX";
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
#endif
}

namespace {

#if !defined(_WIN32)
// What the held stream holds, valid once it is flushed.
char *heldBytes = nullptr;
size_t heldSize = 0;
#endif

}  // namespace

std::FILE *OpenHeldStream() {
#if defined(_WIN32)
    // No stream in memory here: a file of the system's temporary folder,
    // marked temporary (the system keeps it in memory while it can) and
    // deleted when closed.
    wchar_t folder[MAX_PATH + 1], name[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"dnd", 0, name) == 0) {
        errno = ErrnoOfLastError();
        return nullptr;
    }
    const HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ErrnoOfLastError();
        DeleteFileW(name);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
    std::FILE *stream = fd < 0 ? nullptr : _fdopen(fd, "w+b");
    if (stream == nullptr) {
        if (fd >= 0) _close(fd); else CloseHandle(h);
    }
    return stream;
#else
    return open_memstream(&heldBytes, &heldSize);
#endif
}

bool CopyHeldStream(std::FILE *held, std::FILE *to) {
    if (std::fflush(held) != 0 || std::ferror(held)) return false;
#if defined(_WIN32)
    std::rewind(held);
    char block[1 << 16];
    for (size_t got; (got = std::fread(block, 1, sizeof block, held)) > 0;)
        if (std::fwrite(block, 1, got, to) != got) return false;
    return std::ferror(held) == 0;
#else
    return heldSize == 0 || std::fwrite(heldBytes, 1, heldSize, to) == heldSize;
#endif
}

void CloseHeldStream(std::FILE *held) {
    std::fclose(held);
#if !defined(_WIN32)
    std::free(heldBytes);
    heldBytes = nullptr;
    heldSize = 0;
#endif
}

bool IsFileOfStream(std::FILE *stream, const std::string &path) {
#if defined(_WIN32)
    const HANDLE own = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (own == INVALID_HANDLE_VALUE || GetFileType(own) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION a, b;
    if (!GetFileInformationByHandle(own, &a)) return false;
    const HANDLE h = OpenForQuery(path);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(h, &b) != 0;
    CloseHandle(h);
    return known && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
#else
    struct stat a, b;
    if (fstat(fileno(stream), &a) != 0 || !S_ISREG(a.st_mode) || stat(path.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
#endif
}

bool FlushToDisk(std::FILE *stream) {
    if (std::fflush(stream) != 0) return false;
#if defined(_WIN32)
    // A pipe or a console cannot be flushed to a disk, which is no failure
    // of the data written.
    if (FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))))) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_FUNCTION) return true;
    errno = ErrnoOfLastError();
    return false;
#else
    // Some files (a pipe, a terminal) cannot be synchronised, which is no
    // failure of the data written.
    return fsync(fileno(stream)) == 0 || errno == EINVAL || errno == EROFS;
#endif
}

bool ReplaceFile(const std::string &from, const std::string &to) {
#if defined(_WIN32)
    if (MoveFileExW(SystemName(from).c_str(), SystemName(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    errno = ErrnoOfLastError();
    return false;
#else
    return rename(from.c_str(), to.c_str()) == 0;
#endif
}

namespace {

// The name to remove, as the signal handler passes it to the system: it
// must not allocate.
#if defined(_WIN32)
wchar_t interruptPath[32768 + 16];
#else
char interruptPath[4096 + 256];
#endif
volatile std::sig_atomic_t interruptArmed = 0;
// Windows has no hang-up signal; Ctrl-C and Ctrl-Break arrive as SIGINT
// and SIGBREAK.
#if defined(SIGHUP)
const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
#else
const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGBREAK};
#endif

extern "C" void RemoveAndReraise(int signal) {
#if defined(_WIN32)
    if (interruptArmed) DeleteFileW(interruptPath);
#else
    if (interruptArmed) unlink(interruptPath);
#endif
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

void RemoveOnInterrupt(const std::string &path) {
#if defined(_WIN32)
    const std::wstring name = SystemName(path);
    if (name.size() >= sizeof interruptPath / sizeof interruptPath[0]) return;
    std::memcpy(interruptPath, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
#else
    if (path.size() >= sizeof interruptPath) return;
    std::memcpy(interruptPath, path.c_str(), path.size() + 1);
#endif
    interruptArmed = 1;
    for (const int signal : kInterruptSignals) {
        // A signal ignored by the caller (nohup) stays ignored.
        if (std::signal(signal, RemoveAndReraise) == SIG_IGN) std::signal(signal, SIG_IGN);
    }
}

void ForgetOnInterrupt() { interruptArmed = 0; }

std::vector<std::string> SplitCommandLine(const std::string &line) {
    std::vector<std::string> arguments;
    size_t at = 0;
    const size_t size = line.size();
    // The program name: no escapes, quotes only group.
    std::string program;
    bool quoted = false;
    for (; at < size && (quoted || (line[at] != ' ' && line[at] != '\t')); ++at) {
        if (line[at] == '"') quoted = !quoted;
        else program += line[at];
    }
    arguments.push_back(program);
    for (;;) {
        while (at < size && (line[at] == ' ' || line[at] == '\t')) ++at;
        if (at == size) break;
        std::string argument;
        quoted = false;
        while (at < size && (quoted || (line[at] != ' ' && line[at] != '\t'))) {
            size_t backslashes = 0;
            while (at < size && line[at] == '\\') ++backslashes, ++at;
            if (at < size && line[at] == '"') {
                argument.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) {
                    argument += '"';
                } else if (quoted && at + 1 < size && line[at + 1] == '"') {
                    argument += '"';
                    ++at;
                } else {
                    quoted = !quoted;
                }
                ++at;
            } else {
                argument.append(backslashes, '\\');
                if (backslashes == 0) argument += line[at++];
            }
        }
        arguments.push_back(argument);
    }
    return arguments;
}

void UseUtf8Arguments(int &argc, char **&argv) {
#if defined(_WIN32)
    static std::vector<std::string> arguments;
    static std::vector<char *> pointers;
    const wchar_t *line = GetCommandLineW();
    arguments = SplitCommandLine(Utf8(line, std::wcslen(line)));
    pointers.clear();
    for (std::string &argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    argc = static_cast<int>(arguments.size());
    argv = pointers.data();
#else
    (void)argc;
    (void)argv;
#endif
}

std::FILE *OpenFile(const std::string &name, const char *mode) {
#if defined(_WIN32)
    return _wfopen(SystemName(name).c_str(), Wide(mode).c_str());
#else
    return std::fopen(name.c_str(), mode);
#endif
}

bool RemoveFile(const std::string &name) {
#if defined(_WIN32)
    if (DeleteFileW(SystemName(name).c_str())) return true;
    errno = ErrnoOfLastError();
    return false;
#else
    return std::remove(name.c_str()) == 0;
#endif
}

std::string FileNameOf(const std::string &path) { return path.substr(FolderOf(path).size()); }
