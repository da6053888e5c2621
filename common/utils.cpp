#include "utils.h"

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

}  // namespace

void SortieProg(int32_t code) {
    // Taken as unsigned: negative codes fall in the "greater than 6" group.
    const uint32_t c = static_cast<uint32_t>(code);
    if (c < ExitNormal) {
        std::fputs(kExitMessages[c], stdout);
        std::exit(-1);
    }
    std::exit(0);
}

void *monmalloc(int64_t size) {
    if (size < 0 || size > MAX_BLOCK_BYTES) SortieProg(ExitMemory);
    // malloc(0) may legitimately return null; ask for one byte so that a
    // zero-byte request always yields a usable (empty) block.
    void *p = std::malloc(size == 0 ? 1 : static_cast<size_t>(size));
    if (p == nullptr) SortieProg(ExitMemory);
    return p;
}

void *monrealloc(void *block, int64_t size) {
    if (size < 0 || size > MAX_BLOCK_BYTES) SortieProg(ExitMemory);
    if (size == 0) {
        // A resize to nothing yields no block, which is an allocation failure.
        std::free(block);
        SortieProg(ExitMemory);
    }
    void *p = std::realloc(block, static_cast<size_t>(size));
    if (p == nullptr) SortieProg(ExitMemory);
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
