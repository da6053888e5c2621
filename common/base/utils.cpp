#include "base/utils.h"

#include <cstdio>
#include <cstdlib>

namespace {

const char *const kExitMessages[] = {
    "Erreur de lecture des arguments \nformat: <nom fichier ditances> <nom fichier de sortie voisins> "
    "<nom fichier de sortie distibution>\n",
    "Probleme a l'initialisation\n",
    "Probleme a la lecture d'un des fichiers\n",
    "Probleme a l'ecriture d'un des fichiers\n",
    "Probleme d'allocation memoire\n",
    "Probleme dans le programme...\n",
};

// Said when a failure comes without its own reason.
const char *const kGeneralReasons[] = {
    "the command line is not understood (try --help)",
    "the program could not start",
    "a file could not be read",
    "a file could not be written",
    "out of memory",
    "internal error",
};

const char *programName = "dendro";
std::FILE *messageStream = stdout;
void (*failureCleanup)() = nullptr;

[[noreturn]] void Exit(int32_t code, const char *reason) {
    // Taken as unsigned: negative codes fall in the "greater than 6" group.
    const uint32_t c = static_cast<uint32_t>(code);
    if (c < ExitNormal) {
        if (void (*cleanup)() = failureCleanup) {
            failureCleanup = nullptr;  // a failure inside the cleanup ends plainly
            cleanup();
        }
        std::fputs(kExitMessages[c], messageStream);
        std::fflush(messageStream);
        std::fprintf(stderr, "%s: %s\n", programName, reason != nullptr ? reason : kGeneralReasons[c]);
        std::exit(-1);
    }
    std::exit(0);
}

}  // namespace

void SortieProg(int32_t code) { Exit(code, nullptr); }

void ExitWithReason(int32_t code, const std::string &reason) { Exit(code, reason.c_str()); }

void SetProgramName(const char *name) { programName = name; }

const char *ProgramName() { return programName; }

void SendExitMessagesToStandardError() { messageStream = stderr; }

void SetFailureCleanup(void (*cleanup)()) { failureCleanup = cleanup; }

namespace {

[[noreturn]] void ExitOverLimit(int64_t size) {
    char reason[128];
    std::snprintf(reason, sizeof reason, "out of memory: a block of %lld bytes is beyond the limit of %lld bytes",
                  static_cast<long long>(size), static_cast<long long>(MAX_BLOCK_BYTES));
    Exit(ExitMemory, reason);
}

[[noreturn]] void ExitAllocationFailed(int64_t size) {
    char reason[96];
    std::snprintf(reason, sizeof reason, "out of memory: %lld bytes could not be allocated",
                  static_cast<long long>(size));
    Exit(ExitMemory, reason);
}

}  // namespace

void *monmalloc(int64_t size) {
    if (size < 0 || size > MAX_BLOCK_BYTES) ExitOverLimit(size);
    // malloc(0) may legitimately return null; ask for one byte so that a
    // zero-byte request always yields a usable (empty) block.
    void *p = std::malloc(size == 0 ? 1 : static_cast<size_t>(size));
    if (p == nullptr) ExitAllocationFailed(size);
    return p;
}

void *monrealloc(void *block, int64_t size) {
    if (size < 0 || size > MAX_BLOCK_BYTES) ExitOverLimit(size);
    if (size == 0) {
        // A resize to nothing yields no block, which is an allocation failure.
        std::free(block);
        SortieProg(ExitMemory);
    }
    void *p = std::realloc(block, static_cast<size_t>(size));
    if (p == nullptr) ExitAllocationFailed(size);
    return p;
}

int IsSeparator(int c) {
    const unsigned char b = static_cast<unsigned char>(c);
    return b == '\t' || b == '\n' || b == '\r' || b == ' ';
}

int IsItemSeparator(int c) {
    const unsigned char b = static_cast<unsigned char>(c);
    return b == '\t' || b == ' ' || b == ';';
}

int IsLineSeparator(int c) {
    const unsigned char b = static_cast<unsigned char>(c);
    return b == '\n' || b == '\r';
}
