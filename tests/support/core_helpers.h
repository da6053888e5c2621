// Shared helpers of the core tests: feeding bytes to the readers, exact float
// comparison, and death tests that also check what was printed.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>

#include "process.h"

// A float as "%.9g" plus its bits: equal strings mean equal floats, bit for bit.
inline std::string Show(float v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g (0x%08x)", static_cast<double>(v), std::bit_cast<uint32_t>(v));
    return text;
}
#define EXPECT_SAME_FLOAT(actual, expected) EXPECT_EQ(Show(actual), Show(expected))

// Runs reader(stream) on an in-memory stream holding exactly `bytes`.
template <class Reader>
auto ReadBytes(const std::string &bytes, Reader reader) {
    std::string copy = bytes;
    std::FILE *stream = fmemopen(copy.data(), copy.size(), "r");
    auto result = reader(stream);
    std::fclose(stream);
    return result;
}

// `statement` must end the process with `status` after printing exactly
// `message` on standard output (redirected to a file the parent reads back).
#define EXPECT_EXIT_PRINTING(statement, status, message)                                     \
    do {                                                                                     \
        TempDir exitDir;                                                                     \
        const std::string exitOut = exitDir.file("stdout");                                 \
        EXPECT_EXIT(                                                                         \
            {                                                                                \
                if (std::freopen(exitOut.c_str(), "w", stdout) == nullptr) std::abort();     \
                statement;                                                                   \
            },                                                                               \
            ::testing::ExitedWithCode(status), "");                                         \
        EXPECT_EQ(ReadFile(exitOut), message);                                               \
    } while (0)

inline const char *const kMemoryMessage = "Probleme d'allocation memoire\n";
inline const char *const kReadMessage = "Probleme a la lecture d'un des fichiers\n";
inline const char *const kWriteMessage = "Probleme a l'ecriture d'un des fichiers\n";
inline const char *const kUsageMessage =
    "Erreur de lecture des arguments \nformat: <nom fichier ditances> <nom fichier de sortie voisins> "
    "<nom fichier de sortie distibution>\n";
