#include "engines/cluster/pass_order.h"

#include <algorithm>
#include <limits>
#include <numeric>

std::vector<ClusterMerge> InPassOrder(std::vector<FoundMerge> found, int64_t n) {
    // Each merge's sort key is the latest of its own and its children's keys;
    // `made[slot]` is the merge that last formed the cluster of that slot.
    std::vector<int64_t> made(static_cast<size_t>(n), -1);
    std::vector<FoundMerge> key(found.size());
    for (size_t k = 0; k < found.size(); ++k) {
        FoundMerge latest = found[k];
        for (int64_t child : {found[k].larger, found[k].smaller}) {
            const int64_t m = made[static_cast<size_t>(child)];
            if (m >= 0 && PairBefore(latest, key[static_cast<size_t>(m)])) latest = key[static_cast<size_t>(m)];
        }
        key[k] = latest;
        made[static_cast<size_t>(found[k].larger)] = static_cast<int64_t>(k);
    }
    std::vector<size_t> order(found.size());
    std::iota(order.begin(), order.end(), size_t{0});
    // Equal keys only where a parent inherited its child's: found order.
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return PairBefore(key[a], key[b]); });
    std::vector<ClusterMerge> merges(found.size());
    for (size_t k = 0; k < order.size(); ++k) {
        const FoundMerge &f = found[order[k]];
        merges[k] = ClusterMerge{f.larger, f.smaller, f.value};
    }
    return merges;
}

std::vector<ClusterMerge> AsMerges(const std::vector<FoundMerge> &found) {
    std::vector<ClusterMerge> merges(found.size());
    for (size_t k = 0; k < found.size(); ++k)
        merges[k] = ClusterMerge{found[k].larger, found[k].smaller, found[k].value};
    return merges;
}

int64_t FirstSmallest(double *values, int64_t count, int64_t skip) {
    if (skip >= 0 && skip < count) values[skip] = std::numeric_limits<double>::quiet_NaN();
    // The smallest number (a NaN never passes the test), in four lanes.
    constexpr double kInf = std::numeric_limits<double>::infinity();
    double low[4] = {kInf, kInf, kInf, kInf};
    int64_t k = 0;
    for (; k + 4 <= count; k += 4)
        for (int l = 0; l < 4; ++l) low[l] = values[k + l] < low[l] ? values[k + l] : low[l];
    for (; k < count; ++k) low[0] = values[k] < low[0] ? values[k] : low[0];
    const double least = std::min(std::min(low[0], low[1]), std::min(low[2], low[3]));
    for (k = 0; k < count; ++k)
        if (values[k] == least) return k;
    // Every value NaN: the first.
    for (k = 0; k < count; ++k)
        if (k != skip) return k;
    return -1;
}
