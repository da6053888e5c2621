// The engine that keeps the full working matrix of cluster values and, per
// row, the best pair: used by the criteria whose values cannot be bounded
// ahead of their exact evaluation (tables with non-finite cells, minimum-link
// matrices holding NaN or a negative zero).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "base/progress.h"
#include "base/utils.h"
#include "engines/merge_line.h"
#include "model/distance_matrix.h"
#include "model/merge_order.h"

// Index of the smallest key (the first one on ties).
int32_t SmallestKey(const uint64_t *keys, int32_t n);

// The engine's bookkeeping, shared with the criteria: slot h's cluster is
// its single column h while nodeId[h] is -1, else members[h] (clusterSize[h]
// entries, the slot's own column first).
struct Clusters {
    int32_t n;
    const int32_t *identity;  // identity[k] == k: the list of a single column
    unsigned char *removed;
    int32_t *nodeId;
    int32_t *clusterSize;
    int32_t **members;

    const int32_t *list(int32_t slot, int32_t &size) const {
        if (nodeId[slot] == -1) {
            size = 1;
            return identity + slot;
        }
        size = clusterSize[slot];
        return members[slot];
    }
};

// Engine with a full working matrix and, per row i, the best pair (i, j < i)
// among live slots: the smallest value in pick order, ties to the largest j.
// A pass picks the best row, ties to the largest i, which is the last pair in
// scan order among the smallest values; only rows touched by the merge are
// rescanned.
template <class Criterion>
void RunCachedEngine(std::FILE *out, int32_t n, Criterion &criterion) {
    float *work = static_cast<float *>(monmalloc(PairCount(n) * static_cast<int64_t>(sizeof(float))));
    Block<int32_t> identity(n);
    for (int32_t k = 0; k < n; ++k) identity[k] = k;
    criterion.Fill(work, identity.get());
    Clusters c{n, identity.get(), static_cast<unsigned char *>(monmalloc(n)),
               static_cast<int32_t *>(monmalloc(static_cast<int64_t>(n) * sizeof(int32_t))),
               static_cast<int32_t *>(monmalloc(static_cast<int64_t>(n) * sizeof(int32_t))),
               static_cast<int32_t **>(monmalloc(static_cast<int64_t>(n) * sizeof(int32_t *)))};
    Block<float> rowBest(n);
    Block<int32_t> rowArg(n);
    // Row r's best pair as one key: its pick key, then the larger row first.
    // Rows without a live pair (removed, or no live slot below) never win.
    Block<uint64_t> rowKey(n > 0 ? n : 1);
    auto setKey = [&](int32_t r) {
        rowKey[r] = c.removed[r] || rowArg[r] < 0
                        ? UINT64_MAX
                        : RowKey(rowBest[r], r);
    };
    Block<int32_t> others(n);
    Block<float> values(n);
    for (int32_t k = 0; k < n; ++k) {
        c.removed[k] = 0;
        c.nodeId[k] = -1;
    }
    auto rescan = [&](int32_t i) {
        const float *row = work + PairIndex(i, 0);
        int32_t arg = -1;
        float best = 0.0f;
        for (int32_t j = 0; j < i; ++j) {
            if (c.removed[j]) continue;
            if (arg < 0 || AtMost(row[j], best)) {
                best = row[j];
                arg = j;
            }
        }
        rowBest[i] = best;
        rowArg[i] = arg;
        setKey(i);
    };
    if (n > 0) {
        rowArg[0] = -1;
        setKey(0);
    }
    for (int32_t i = 1; i < n; ++i) rescan(i);

    int32_t nextNode = 0;
    ProgressStart("merging", n - 1);
    for (int32_t remaining = n; remaining > 1; --remaining) {
        ProgressAdvance(n - remaining);
        // The smallest value, ties to the largest row: the last pair in scan order.
        const int32_t i = SmallestKey(rowKey.get(), n);
        const int32_t j = rowArg[i];
        const float best = rowBest[i];

        WriteMergeLine(out, nextNode, i, c.nodeId[i], j, c.nodeId[j], best);
        if (c.nodeId[i] == -1) {
            c.clusterSize[i] = 1;
            c.members[i] = static_cast<int32_t *>(monmalloc(sizeof(int32_t)));
            c.members[i][0] = i;
        }
        const int32_t newSize = c.clusterSize[i] + (c.nodeId[j] == -1 ? 1 : c.clusterSize[j]);
        c.members[i] =
            static_cast<int32_t *>(monrealloc(c.members[i], static_cast<int64_t>(newSize) * sizeof(int32_t)));
        if (c.nodeId[j] == -1) {
            c.members[i][c.clusterSize[i]] = j;
        } else {
            for (int32_t k = 0; k < c.clusterSize[j]; ++k) c.members[i][c.clusterSize[i] + k] = c.members[j][k];
            std::free(c.members[j]);
        }
        c.nodeId[i] = nextNode++;
        c.removed[j] = 255;
        setKey(j);
        c.clusterSize[i] = newSize;

        int32_t count = 0;
        for (int32_t h = 0; h < n; ++h)
            if (h != i && !c.removed[h]) others[count++] = h;
        criterion.Update(c, i, j, others.get(), count, values.get());
        for (int32_t k = 0; k < count; ++k) {
            const int32_t h = others[k];
            work[h < i ? PairIndex(i, h) : PairIndex(h, i)] = values[k];
        }

        rescan(i);
        for (int32_t k = 0; k < count; ++k) {
            const int32_t h = others[k];
            if (h <= j) continue;
            if (h < i) {
                if (rowArg[h] == j) rescan(h);
                continue;
            }
            const float v = values[k];  // just stored at work[PairIndex(h, i)]
            if (rowArg[h] == i || rowArg[h] == j) {
                rescan(h);
            } else if (!AtMost(rowBest[h], v) || (AtMost(v, rowBest[h]) && i > rowArg[h])) {
                // Strictly better, or equal and later in the row.
                rowBest[h] = v;
                rowArg[h] = i;
                setKey(h);
            }
        }
    }
    for (int32_t k = 0; k < n; ++k)
        if (!c.removed[k] && c.nodeId[k] != -1) std::free(c.members[k]);
    std::free(c.members);
    std::free(work);
    std::free(c.removed);
    std::free(c.nodeId);
    std::free(c.clusterSize);
}

