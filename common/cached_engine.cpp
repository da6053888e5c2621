#include "cached_engine.h"

#include "vector_levels.h"

namespace {

// The same plain loop compiled for each vector width; which one runs changes
// nothing in the result.
[[gnu::always_inline]] inline int32_t SmallestKeyLoop(const uint64_t *keys, int32_t n) {
    uint64_t best = UINT64_MAX;
    int32_t at = 0;
    for (int32_t r = 0; r < n; ++r)
        if (keys[r] < best) {
            best = keys[r];
            at = r;
        }
    return at;
}

}  // namespace

DENDRO_VECTOR_LEVELS(int32_t, SmallestKey, SmallestKeyLoop, (const uint64_t *keys, int32_t n), (keys, n))
