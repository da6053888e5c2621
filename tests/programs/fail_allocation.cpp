// Allocation failure injection for the fault tests, loaded into a program
// with LD_PRELOAD. Once the program has opened a file for writing (fopen or
// fdopen with a mode beginning with 'w': the output itself, or the temporary
// file that replaces it when complete; or open_memstream, the output held
// in memory), the DENDRO_FAIL_ALLOCATION-th call to malloc,
// calloc or realloc from then on (counted from 1) returns null, as an
// exhausted heap would; every other call is served by the C library. With
// DENDRO_COUNT_ALLOCATIONS set to a file name, the number of calls made after
// the opening is written to that file when the program ends.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
}

namespace {

long failAt = 0;
std::atomic<bool> armed{false};
std::atomic<long> counted{0};

const char *countFile = nullptr;

__attribute__((constructor)) void ReadSettings() {
    if (const char *s = std::getenv("DENDRO_FAIL_ALLOCATION")) failAt = std::atol(s);
    countFile = std::getenv("DENDRO_COUNT_ALLOCATIONS");
}

// Without stdio, which may allocate.
__attribute__((destructor)) void WriteCount() {
    if (countFile == nullptr) return;
    char digits[24];
    int k = sizeof digits;
    long n = counted.load();
    do digits[--k] = static_cast<char>('0' + n % 10); while ((n /= 10) > 0);
    const int fd = open(countFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    if (write(fd, digits + k, sizeof digits - k) < 0) {}
    close(fd);
}

// A failing call sets errno as the C library's allocator does.
bool FailThisOne() {
    if (!armed.load() || counted.fetch_add(1) + 1 != failAt) return false;
    errno = ENOMEM;
    return true;
}

}  // namespace

extern "C" {

void *malloc(size_t size) noexcept { return FailThisOne() ? nullptr : __libc_malloc(size); }
void *calloc(size_t count, size_t size) noexcept { return FailThisOne() ? nullptr : __libc_calloc(count, size); }
void *realloc(void *block, size_t size) noexcept { return FailThisOne() ? nullptr : __libc_realloc(block, size); }

FILE *fopen(const char *path, const char *mode) {
    using Fopen = FILE *(*)(const char *, const char *);
    static const Fopen real = reinterpret_cast<Fopen>(dlsym(RTLD_NEXT, "fopen"));
    FILE *f = real(path, mode);
    if (f != nullptr && mode[0] == 'w') armed.store(true);
    return f;
}

FILE *fdopen(int fd, const char *mode) {
    using Fdopen = FILE *(*)(int, const char *);
    static const Fdopen real = reinterpret_cast<Fdopen>(dlsym(RTLD_NEXT, "fdopen"));
    FILE *f = real(fd, mode);
    if (f != nullptr && mode[0] == 'w') armed.store(true);
    return f;
}

// The output held in memory until complete, where its folder cannot hold a
// temporary file.
FILE *open_memstream(char **bytes, size_t *size) {
    using OpenMemstream = FILE *(*)(char **, size_t *);
    static const OpenMemstream real = reinterpret_cast<OpenMemstream>(dlsym(RTLD_NEXT, "open_memstream"));
    FILE *f = real(bytes, size);
    if (f != nullptr) armed.store(true);
    return f;
}

}  // extern "C"
