#include "engines/variance/interval_order.h"

namespace variance_engine {

// Sorts OrderKeys by their float, a byte at a time (a byte that every key
// shares is skipped); keys of the same float keep their order.
void SortKeys(std::vector<uint64_t> &keys, std::vector<uint64_t> &spare) {
    const size_t n = keys.size();
    if (n < 2) return;
    spare.resize(n);
    uint32_t counts[4][256] = {};
    for (const uint64_t key : keys)
        for (int pass = 0; pass < 4; ++pass) ++counts[pass][(key >> (32 + 8 * pass)) & 255];
    for (int pass = 0; pass < 4; ++pass) {
        const int shift = 32 + 8 * pass;
        uint32_t *count = counts[pass];
        if (count[(keys[0] >> shift) & 255] == n) continue;
        uint32_t sum = 0;
        for (int b = 0; b < 256; ++b) {
            const uint32_t c = count[b];
            count[b] = sum;
            sum += c;
        }
        for (const uint64_t key : keys) spare[count[(key >> shift) & 255]++] = key;
        keys.swap(spare);
    }
}

}  // namespace variance_engine
