#include "engines/cached_engine.h"

#include "kernels/vector_levels.h"

namespace {

// The same plain loop compiled for each vector width; which one runs changes
// nothing in the result.
[[gnu::always_inline]] inline int32_t SmallestKeyLoop(const uint64_t *keys, int32_t n) {
    // The smallest key, in a loop that vectorises, then where it first
    // occurs.
    uint64_t best = UINT64_MAX;
    for (int32_t r = 0; r < n; ++r) best = keys[r] < best ? keys[r] : best;
    for (int32_t r = 0; r < n; ++r)
        if (keys[r] == best) return r;
    return 0;
}

}  // namespace

DENDRO_VECTOR_LEVELS(int32_t, SmallestKey, SmallestKeyLoop, (const uint64_t *keys, int32_t n), (keys, n))
