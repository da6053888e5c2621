#include "cached_engine.h"

#include "kernels.h"

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

__attribute__((target("avx512f"))) int32_t SmallestKeyAvx512(const uint64_t *keys, int32_t n) {
    return SmallestKeyLoop(keys, n);
}
__attribute__((target("avx2"))) int32_t SmallestKeyAvx2(const uint64_t *keys, int32_t n) {
    return SmallestKeyLoop(keys, n);
}

}  // namespace

int32_t SmallestKey(const uint64_t *keys, int32_t n) {
    switch (ActiveKernelLevel()) {
        case KernelLevel::Avx512: return SmallestKeyAvx512(keys, n);
        case KernelLevel::Avx2: return SmallestKeyAvx2(keys, n);
        default: return SmallestKeyLoop(keys, n);
    }
}
