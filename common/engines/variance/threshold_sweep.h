// The threshold sweep: the variance engine for tables of few lines and many
// columns.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/parallel.h"
#include "base/progress.h"
#include "base/utils.h"
#include "engines/merge_line.h"
#include "engines/variance/interval_order.h"
#include "engines/variance/lazy_engine.h"
#include "model/merge_order.h"
#include "model/table.h"

namespace variance_engine {

// ---------------------------------------------------------------------------
// The threshold sweep.
//
// The value v(x, y) of a pair of live clusters is varianceBis of the younger
// cluster's list followed by the older one's (see the lazy engine), fixed
// from the merge that forms the younger cluster until one of the two merges
// again. The straightforward engine merges the pair of smallest value, ties
// to the largest larger slot, then the largest smaller slot. Here that order
// is one unsigned key per pair:
//
//     key(f, x, y) = [order of the float f][32767 - max(x,y)][32767 - min(x,y)]
//
// (30 + 15 + 15 bits; slots are below 32768). The exact key of a pair is
// key(v(x, y), x, y). A bound key key(f, x, y), f a float at most v(x, y),
// is at most the exact key of the same pair, and the keys of two different
// pairs are never equal.
//
// One heap holds entries, bound or exact keys, and T is a threshold key.
// The invariant: every live pair either has a current entry in the heap (a
// bound key or its exact key), or its bound key, computed as below, is above
// T. An entry is current while neither of its clusters has merged since it
// was pushed; the others are dropped when they come to the top.
//
// The loop: a current exact entry at the top with key at most T is the
// smallest exact key of all live pairs (every other pair's exact key is at
// least its entry's key, which is above the top's, or at least its bound
// key, above T): it is the next merge of the straightforward engine. A
// current bound entry at the top is replaced by the pair's exact key. When
// the top is above T (or the heap is empty), a join raises T.
//
// Each merge makes a new cluster; its pass computes the bound key of its
// pair with every other live cluster and pushes those at most T. A join
// computes the bound key of every live pair above T and pushes the
// `joinShare` x live smallest of them, T becoming the largest pushed (or the
// largest key of all when no more were found). The first join, among the
// single columns, takes every pair.
//
// Two bounds: the cheap one (the Bounds' CheapPackedInto, from the two
// centroids and the clusters' own criteria) decides which pairs are pushed
// and is the bound key above; the pairs it lets through are pushed with the
// fine one (FineMany: every member's distance to the union's centroid, in
// double) where that is higher, so that few of them come to the top before
// T does and need their exact value. A pair whose cheap key is at most T is
// pushed whatever its fine key: a later join, which takes every pair of
// cheap key at most the old T as pushed, relies on it.
//
// A pair's bound key must be the same bits in its pass and in every join:
// it is always computed from the younger cluster's side (for two single
// columns, the larger column) by the Bounds' CheapPackedInto, which
// computes each pair alone, whatever the range or the packing, from the two
// clusters' own state. Passes and joins read a packed list of the live
// slots (Repack), not every slot.
// The Bounds (CentroidBounds) are those of the lazy engine; the lower end of
// their interval holds the float value with the rounding slack of
// FloatMargins (float_margins.h), and each is taken down to a float by
// FloatDown. Tables with a value that could exceed NO_MERGE_LIMIT, or with
// cells that are not finite, do not come here (SweepApplies): then the
// straightforward engine may merge nothing, which this order cannot say.
// ---------------------------------------------------------------------------

// Pairs a join pushes per live cluster.
inline constexpr int32_t kJoinShare = 128;

inline uint64_t SweepKey(uint32_t order, int32_t x, int32_t y) {
    const int32_t hi = std::max(x, y), lo = std::min(x, y);
    return (static_cast<uint64_t>(order) << 30) | (static_cast<uint64_t>(32767 - hi) << 15) |
           static_cast<uint64_t>(32767 - lo);
}
inline int32_t SweepLarger(uint64_t key) { return 32767 - static_cast<int32_t>((key >> 15) & 0x7fff); }
inline int32_t SweepSmaller(uint64_t key) { return 32767 - static_cast<int32_t>(key & 0x7fff); }
// The order of a float at most the bound `low` (a bound that is not a
// number bounds nothing: the lowest order).
inline uint32_t BoundOrder(double low) { return low == low ? OrderDown(low) : 0u; }

// A bound `low` at least AboveLimit(key) gives a bound key above `key`,
// whatever the pair: the largest float at most such a low is at least g,
// the float next above key's, so its order, the key's top bits, is at least
// FloatOrder(g), above key's (the order grows with the float). NaN, which
// no comparison passes, when there is no such float (key's float the
// largest, or key no pair's). The scans compare lows with it first, in
// double, and skip the key of what it rules out.
inline double AboveLimit(uint64_t key) {
    const uint64_t top = key >> 30;
    if (top > UINT32_MAX) return NAN;
    const float g = std::nextafter(OrderFloat(static_cast<uint32_t>(top)), INFINITY);
    return g == g && FloatOrder(g) > top ? static_cast<double>(g) : NAN;
}
// A bound `low` below BelowLimit(key) gives a bound key below `key`: the
// largest float at most it is below key's float, so of a lower order. NaN
// as above.
inline double BelowLimit(uint64_t key) {
    const uint64_t top = key >> 30;
    return top > UINT32_MAX ? NAN : static_cast<double>(OrderFloat(static_cast<uint32_t>(top)));
}

// Whether every value of the table is a finite float at most NO_MERGE_LIMIT
// and the Bounds hold: cells finite and at most 1.0e12 in size (the
// Bounds'), and no member farther than 2 sqrt(lines) max|cell| from any
// centroid (with room for the rounding), so a value of at most 4.0e10.
bool SweepApplies(TableData table);

template <class Bounds>
class ThresholdSweepEngine {
public:
    explicit ThresholdSweepEngine(TableData table, int32_t joinShare = kJoinShare)
        : n_(table.columns),
          joinShare_(joinShare),
          measures_(table, loop_),
          members_(n_),
          nodeId_(n_, -1),
          live_(n_, 1),
          changed_(n_, 0),
          size_(n_, 1.0) {
        for (int32_t k = 0; k < n_; ++k) members_[k].assign(1, k);
        for (Scratch &s : scratch_) {
            s.squares.resize(n_);
            s.low.resize(n_);
            s.high.resize(n_);
            s.packedLow.resize(n_);
            s.packedHigh.resize(n_);
        }
        Repack();
    }

    void Run(std::FILE *out) {
        int32_t nextNode = 0;
        remaining_ = n_;
        ProgressStart("merging", n_ - 1);
        if (n_ > 1) Join();
        while (remaining_ > 1) {
            if (heap_.empty() || heap_.front().key > threshold_) {
                if (threshold_ == UINT64_MAX) SortieProg(ExitInternal);  // every pair was in the heap
                Join();
                continue;
            }
            const Entry e = Pop();
            const int32_t i = SweepLarger(e.key), j = SweepSmaller(e.key);
            if (!Current(e, i, j)) continue;
            if (!e.exact) {
                Push(SweepKey(PickKey(Exact(i, j)), i, j), true);
                continue;
            }
            ProgressAdvance(nextNode);
            const float value = OrderFloat(static_cast<uint32_t>(e.key >> 30));
            WriteMergeLine(out, nextNode, i, nodeId_[i], j, nodeId_[j], value);
            const int32_t sizeI = static_cast<int32_t>(members_[i].size());
            const int32_t sizeJ = static_cast<int32_t>(members_[j].size());
            members_[i].insert(members_[i].end(), members_[j].begin(), members_[j].end());
            std::vector<int32_t>().swap(members_[j]);
            measures_.bounds.Merge(i, sizeI, j, sizeJ, members_[i], value);
            nodeId_[i] = nextNode++;
            size_[i] = static_cast<double>(members_[i].size());
            packedSize_[packedAt_[i]] = size_[i];
            live_[j] = 0;
            ++merges_;
            changed_[i] = changed_[j] = merges_;
            --remaining_;
            if (slots_.size() >= 2 * static_cast<size_t>(remaining_) && slots_.size() > 256) Repack();
            if (remaining_ > 1) Pass(i);
        }
    }

private:
    // One thread's room: squared distances and cheap intervals by packed
    // position, intervals by slot (those refined), the partners of a pass,
    // and the keys found.
    struct Scratch {
        std::vector<double> squares, packedLow, packedHigh, low, high;
        std::vector<uint64_t> found;
        std::vector<int32_t> ys;
        uint64_t cutoff = UINT64_MAX;
    };

    // A bound or exact key, and the number of merges done when pushed.
    struct Entry {
        uint64_t key;
        uint32_t stamp;
        uint32_t exact;
    };
    static bool Later(const Entry &a, const Entry &b) { return a.key > b.key; }

    void Push(uint64_t key, bool exact) {
        heap_.push_back({key, merges_, exact ? 1u : 0u});
        std::push_heap(heap_.begin(), heap_.end(), Later);
    }
    Entry Pop() {
        std::pop_heap(heap_.begin(), heap_.end(), Later);
        const Entry e = heap_.back();
        heap_.pop_back();
        return e;
    }
    bool Current(const Entry &e, int32_t i, int32_t j) const {
        return live_[i] && live_[j] && changed_[i] <= e.stamp && changed_[j] <= e.stamp;
    }
    // Drops the entries that are no longer current, once they make up most
    // of the heap.
    void Compact() {
        if (heap_.size() < compactAt_) return;
        size_t kept = 0;
        for (const Entry &e : heap_)
            if (Current(e, SweepLarger(e.key), SweepSmaller(e.key))) heap_[kept++] = e;
        heap_.resize(kept);
        std::make_heap(heap_.begin(), heap_.end(), Later);
        compactAt_ = std::max<size_t>(2 * kept, 1 << 16);
    }

    // The younger cluster was formed by the later merge (node numbers grow);
    // of two single columns (node -1), the larger column.
    bool Younger(int32_t x, int32_t y) const { return nodeId_[x] != nodeId_[y] ? nodeId_[x] > nodeId_[y] : x > y; }

    float Exact(int32_t x, int32_t y) {
        if (!Younger(x, y)) std::swap(x, y);
        one_.assign(1, &members_[y]);
        float v = 0.0f;
        measures_.evaluator->Evaluate(members_[x], one_, &v);
        return v;
    }

    // The live slots in increasing order, packed (with the Bounds' copy of
    // their state), dropping the dead ones once they are half of the list:
    // passes and joins read the list, not every slot.
    void Repack() {
        slots_.clear();
        for (int32_t y = 0; y < n_; ++y)
            if (live_[y]) slots_.push_back(y);
        packedAt_.assign(n_, -1);
        packedSize_.resize(slots_.size());
        for (size_t k = 0; k < slots_.size(); ++k) {
            packedAt_[slots_[k]] = static_cast<int32_t>(k);
            packedSize_[k] = size_[slots_[k]];
        }
        measures_.bounds.Pack(slots_);
    }

    // The cheap intervals of x against the packed positions [b, e).
    void Cheap(Scratch &s, int32_t x, int32_t b, int32_t e) {
        measures_.bounds.CheapPackedInto(s.squares.data(), x, size_[x], b, e, packedSize_.data(),
                                         s.packedLow.data(), s.packedHigh.data());
    }

    // The new cluster x against every other live cluster, on both threads:
    // the pairs whose bound key is at most T are pushed.
    void Pass(int32_t x) {
        const int32_t m = static_cast<int32_t>(slots_.size());
        const double above = AboveLimit(threshold_);
        auto part = [&](int64_t b64, int64_t e64, int p) {
            const int32_t b = static_cast<int32_t>(b64), e = static_cast<int32_t>(e64);
            Scratch &s = scratch_[p];
            s.found.clear();
            if (b >= e) return;
            Cheap(s, x, b, e);
            s.ys.clear();
            for (int32_t k = b; k < e; ++k) {
                if (s.packedLow[k] >= above) continue;
                const int32_t y = slots_[k];
                if (!live_[y] || y == x) continue;
                if (SweepKey(BoundOrder(s.packedLow[k]), x, y) > threshold_) continue;
                s.ys.push_back(y);
                s.low[y] = s.packedLow[k];
                s.high[y] = s.packedHigh[k];
            }
            Fine(s, x);
        };
        loop_.Run(m, m / 2, 4096, part);
        for (const Scratch &s : scratch_)
            for (uint64_t key : s.found) Push(key, false);
        Compact();
    }

    // The fine intervals of the pairs (x, y), y in s.ys, whose cheap ones
    // are in s.low and s.high; their bound keys go to s.found. Every pair
    // whose cheap bound key is at most T is pushed, even when its fine one
    // is above: the joins take every pair of cheap key at most T as pushed.
    void Fine(Scratch &s, int32_t x) {
        measures_.bounds.FineMany(x, members_[x], s.ys.data(), static_cast<int64_t>(s.ys.size()), members_,
                                  s.low.data(), s.high.data());
        for (int32_t y : s.ys) s.found.push_back(SweepKey(BoundOrder(s.low[y]), x, y));
    }

    // Raises T: see the top of the file.
    void Join() {
        const size_t want = static_cast<size_t>(std::max<int64_t>(1, static_cast<int64_t>(joinShare_) * remaining_));
        auto part = [&](int64_t, int64_t, int p) {
            Scratch &s = scratch_[p];
            s.found.clear();
            s.cutoff = UINT64_MAX;
            const double below = joined_ ? BelowLimit(threshold_) : NAN;
            double above = NAN;
            const int32_t m = static_cast<int32_t>(slots_.size());
            for (int32_t at = p; at < m; at += 2) {
                const int32_t x = slots_[at];
                if (!live_[x]) continue;
                const int32_t end = nodeId_[x] < 0 ? at : m;  // a single column is younger than smaller ones only
                if (end == 0) continue;
                Cheap(s, x, 0, end);
                for (int32_t k = 0; k < end; ++k) {
                    if (s.packedLow[k] < below || s.packedLow[k] >= above) continue;
                    const int32_t y = slots_[k];
                    if (!live_[y] || y == x || !Younger(x, y)) continue;
                    const uint64_t key = SweepKey(BoundOrder(s.packedLow[k]), x, y);
                    if ((joined_ && key <= threshold_) || key >= s.cutoff) continue;
                    s.found.push_back(key);
                    if (s.found.size() >= 2 * want) {
                        s.cutoff = Keep(s.found, want);
                        above = AboveLimit(s.cutoff);
                    }
                }
            }
        };
        loop_.Run(2, 1, 0, part);
        std::vector<uint64_t> &all = picked_;
        all.assign(scratch_[0].found.begin(), scratch_[0].found.end());
        all.insert(all.end(), scratch_[1].found.begin(), scratch_[1].found.end());
        threshold_ = all.size() > want ? Keep(all, want) : UINT64_MAX;
        joined_ = true;
        // The pairs taken, by their younger cluster, refined on both threads
        // (alternate clusters), then pushed.
        for (uint64_t &key : all) key = static_cast<uint64_t>(YoungerOf(key)) << 32 | (key & 0x3fffffffu);
        std::sort(all.begin(), all.end());
        auto fine = [&](int64_t, int64_t, int p) {
            Scratch &s = scratch_[p];
            s.found.clear();
            int group = 0;
            for (size_t at = 0; at < all.size(); ++group) {
                const int32_t x = static_cast<int32_t>(all[at] >> 32);
                size_t end = at;
                while (end < all.size() && static_cast<int32_t>(all[end] >> 32) == x) ++end;
                if (group % 2 == p) {
                    s.ys.clear();
                    for (size_t k = at; k < end; ++k) {
                        const int32_t larger = SweepLarger(all[k]), smaller = SweepSmaller(all[k]);
                        s.ys.push_back(larger == x ? smaller : larger);
                    }
                    for (int32_t y : s.ys) {
                        s.low[y] = -INFINITY;
                        s.high[y] = INFINITY;
                    }
                    Fine(s, x);
                }
                at = end;
            }
        };
        loop_.Run(2, 1, 0, fine);
        for (const Scratch &s : scratch_)
            for (uint64_t key : s.found) Push(key, false);
        Compact();
    }

    int32_t YoungerOf(uint64_t key) const {
        const int32_t i = SweepLarger(key), j = SweepSmaller(key);
        return Younger(i, j) ? i : j;
    }

    // Keeps the `want` smallest keys (all different); returns the largest
    // kept.
    static uint64_t Keep(std::vector<uint64_t> &keys, size_t want) {
        std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(want - 1), keys.end());
        keys.resize(want);
        return keys[want - 1];
    }

    int32_t n_;
    int32_t joinShare_;
    int32_t remaining_ = 0;
    uint32_t merges_ = 0;
    TwoWayLoop loop_;
    BoundsThenEvaluator<Bounds> measures_;
    std::vector<std::vector<int32_t>> members_;
    std::vector<int32_t> nodeId_;
    std::vector<unsigned char> live_;
    std::vector<uint32_t> changed_;
    std::vector<double> size_;
    std::vector<int32_t> slots_, packedAt_;  // the packed list and each slot's place in it
    std::vector<double> packedSize_;
    std::vector<Entry> heap_;
    std::vector<uint64_t> picked_;
    size_t compactAt_ = 1 << 16;
    uint64_t threshold_ = 0;
    bool joined_ = false;
    Scratch scratch_[2];
    std::vector<const std::vector<int32_t> *> one_;
};

}  // namespace variance_engine
