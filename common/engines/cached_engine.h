// The engine that keeps the full working matrix of cluster values and, per
// row, the best pair: used by the criteria whose values cannot be bounded
// ahead of their exact evaluation (tables with non-finite cells, minimum-link
// matrices holding NaN or a negative zero).
//
// The Criterion it takes (VarianceCriterion, MinimumLinkCriterion,
// NanMinimumLinkCriterion) scores pairs of clusters:
//
//   void Fill(float *work, const int32_t *identity)
//       Called once, before any merge: work[PairIndex(i, j)] = the value of
//       the pair of single columns i > j, for every such pair of the n
//       columns. identity[k] == k, the member list of column k alone.
//   void Update(const Clusters &c, int32_t i, int32_t j, const int32_t *others,
//               int32_t count, float *out)
//       Called after each merge, once its line is written: slot i has
//       absorbed slot j, and `c` already holds the union (c.members[i], its
//       new size, j removed). out[k] = the value of the pair of slot i and
//       slot others[k], for the `count` live slots other than i, in
//       ascending order. It may keep state of its own from merge to merge.
//
// Any value is allowed, NaN and infinities included. The engine merges the
// pair whose value comes first in the pick order (AtMost: numbers
// ascending, NaN last), ties to the last pair in scan order (the largest
// row i, then the largest j), as the straightforward engine does; a pair's
// value is the one Fill or the latest Update gave it.
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

namespace cached_engine {

// The working matrix, and per row i the best pair (i, j < i) among live
// slots: the smallest value in pick order, ties to the largest j, with the
// row's key for the pick.
struct Rows {
    int32_t n;
    float *work;
    const Clusters &c;
    float *best;
    int32_t *arg;
    uint64_t *key;

    // Row r's best pair as one key (model/merge_order.h). Rows without a live
    // pair (removed, or no live slot below) never win.
    void SetKey(int32_t r) { key[r] = c.removed[r] || arg[r] < 0 ? UINT64_MAX : RowKey(best[r], r); }

    void Rescan(int32_t i) {
        const float *row = work + PairIndex(i, 0);
        int32_t found = -1;
        float smallest = 0.0f;
        for (int32_t j = 0; j < i; ++j) {
            if (c.removed[j]) continue;
            if (found < 0 || AtMost(row[j], smallest)) {
                smallest = row[j];
                found = j;
            }
        }
        best[i] = smallest;
        arg[i] = found;
        SetKey(i);
    }

    // Slot i has absorbed slot j, and values[k] is the new value of the pair
    // of i and others[k]: the values are stored, row i is rescanned, and so
    // is every other row whose best pair was with i or j; the rest take the
    // new pair where it is better.
    void AfterMerge(int32_t i, int32_t j, const int32_t *others, const float *values, int32_t count) {
        for (int32_t k = 0; k < count; ++k) {
            const int32_t h = others[k];
            work[h < i ? PairIndex(i, h) : PairIndex(h, i)] = values[k];
        }
        Rescan(i);
        for (int32_t k = 0; k < count; ++k) {
            const int32_t h = others[k];
            if (h <= j) continue;
            if (h < i) {
                if (arg[h] == j) Rescan(h);
                continue;
            }
            const float v = values[k];  // just stored at work[PairIndex(h, i)]
            if (arg[h] == i || arg[h] == j) {
                Rescan(h);
            } else if (!AtMost(best[h], v) || (AtMost(v, best[h]) && i > arg[h])) {
                // Strictly better, or equal and later in the row.
                best[h] = v;
                arg[h] = i;
                SetKey(h);
            }
        }
    }
};

// Slot j's members join slot i's, whose cluster becomes node `node`.
inline void JoinMembers(Clusters &c, int32_t i, int32_t j, int32_t node) {
    if (c.nodeId[i] == -1) {
        c.clusterSize[i] = 1;
        c.members[i] = static_cast<int32_t *>(monmalloc(sizeof(int32_t)));
        c.members[i][0] = i;
    }
    const int32_t newSize = c.clusterSize[i] + (c.nodeId[j] == -1 ? 1 : c.clusterSize[j]);
    c.members[i] = static_cast<int32_t *>(monrealloc(c.members[i], static_cast<int64_t>(newSize) * sizeof(int32_t)));
    if (c.nodeId[j] == -1) {
        c.members[i][c.clusterSize[i]] = j;
    } else {
        for (int32_t k = 0; k < c.clusterSize[j]; ++k) c.members[i][c.clusterSize[i] + k] = c.members[j][k];
        std::free(c.members[j]);
    }
    c.nodeId[i] = node;
    c.removed[j] = 255;
    c.clusterSize[i] = newSize;
}

}  // namespace cached_engine

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
    Block<uint64_t> rowKey(n > 0 ? n : 1);
    cached_engine::Rows rows{n, work, c, rowBest.get(), rowArg.get(), rowKey.get()};
    Block<int32_t> others(n);
    Block<float> values(n);
    for (int32_t k = 0; k < n; ++k) {
        c.removed[k] = 0;
        c.nodeId[k] = -1;
    }
    if (n > 0) {
        rowArg[0] = -1;
        rows.SetKey(0);
    }
    for (int32_t i = 1; i < n; ++i) rows.Rescan(i);

    int32_t nextNode = 0;
    ProgressStart("merging", n - 1);
    for (int32_t remaining = n; remaining > 1; --remaining) {
        ProgressAdvance(n - remaining);
        // The smallest value, ties to the largest row: the last pair in scan order.
        const int32_t i = SmallestKey(rowKey.get(), n);
        const int32_t j = rowArg[i];
        WriteMergeLine(out, nextNode, i, c.nodeId[i], j, c.nodeId[j], rowBest[i]);
        cached_engine::JoinMembers(c, i, j, nextNode++);
        rows.SetKey(j);
        int32_t count = 0;
        for (int32_t h = 0; h < n; ++h)
            if (h != i && !c.removed[h]) others[count++] = h;
        criterion.Update(c, i, j, others.get(), count, values.get());
        rows.AfterMerge(i, j, others.get(), values.get(), count);
    }
    for (int32_t k = 0; k < n; ++k)
        if (!c.removed[k] && c.nodeId[k] != -1) std::free(c.members[k]);
    std::free(c.members);
    std::free(work);
    std::free(c.removed);
    std::free(c.nodeId);
    std::free(c.clusterSize);
}
