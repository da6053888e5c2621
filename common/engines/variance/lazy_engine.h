// The lazy variance engine.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "base/parallel.h"
#include "base/progress.h"
#include "engines/cached_engine.h"
#include "engines/merge_line.h"
#include "engines/variance/exact_evaluator.h"
#include "engines/variance/interval_order.h"
#include "engines/variance/row_shortlist.h"
#include "engines/variance/span_evaluator.h"
#include "model/merge_order.h"
#include "model/table.h"

namespace variance_engine {

// ---------------------------------------------------------------------------
// The lazy engine.
//
// The value of a pair of live clusters is a function of their member lists
// alone: varianceBis of the younger cluster's list (the one formed by the
// later merge; of two single columns, the larger column) followed by the
// older one's. The straightforward engine stores it when the younger cluster
// is formed and never changes it until one of the two absorbs or is absorbed,
// so recomputing it later from the same lists gives the same bits.
//
// Row r holds the pairs (r, y), y < r. Each live row is either exact (its
// smallest value, ties to the largest y, and that y) or stale (a float known
// to be at most the row's smallest value). The next merge is the smallest
// row key (value, then the larger row); a stale row that comes first is
// recomputed and the pick made again. Since every key is at most its row's
// true key, an exact row that comes first holds the smallest pair of all,
// and a stale row of equal value and larger index, which could hold a later
// pair of the same value, is always recomputed before it.
//
// Recomputing a row, and scoring a new cluster against the others, uses
// intervals that hold the exact float value of a pair; a pair is evaluated
// exactly only when its interval does not rule it out. The intervals come
// from the columns' inner products with every live cluster's centroid, kept
// up to date merge by merge (see PairBounds).
//
// The Bounds the engine takes (PairBounds, CentroidBounds), with v(x, y)
// the float value of the pair of live clusters x and y (varianceBis of the
// younger list first) and mx the member list of x:
//
//   Bounds(TableData table, TwoWayLoop &loop)
//       Set up from the table, on the loop's two threads if it likes. Built
//       before the evaluator, which makes its own copy of the table once the
//       bounds' copies are gone (the peak memory is the larger of the two).
//   void CheapRange(x, mx, begin, end, sizes, members, live, low, high)
//       For every live y in [begin, end): low[y] <= v(x, y) <= high[y]
//       (anything for the others). sizes[y] is the member count of y as a
//       double. Runs on both threads at once over disjoint ranges, so it
//       writes nothing outside [begin, end) of what it shares.
//   void FineMany(x, mx, ys, count, members, low, high) const
//       For each y = ys[k], k < count: narrows [low[y], high[y]] to an
//       interval that still holds v(x, y). Runs on both threads at once over
//       disjoint parts of ys.
//   int64_t FineWork(int64_t members) const
//       The cost of refining pairs of `members` members in all, in units of
//       about one subtraction: whether a run is worth sharing between the
//       threads.
//   void Merge(into, intoSize, from, fromSize, list, value)
//       Cluster `into` (intoSize members) has absorbed `from` (fromSize) at
//       the float value `value`; `list` is the union's members. Called after
//       each merge, before any interval of the new cluster is asked for.
//
// The engine asks only about live clusters, takes an interval [v, v] for a
// value known exactly, and writes the lines of the straightforward engine
// whenever every interval holds: how wide they are changes the work done,
// never the lines.

// Tables of fewer lines than this are clustered over the cached engine's
// working matrix up to a number of columns (variance_engine.cpp); past it
// they come here, with shorter shortlists.
inline constexpr int32_t kFewLines = 48;

// Pairs kept on each row's shortlist: a longer list settles more rows from
// it, but every full scan refines the list's pairs too. With many lines the
// intervals crowd, and a scan refines more than that anyway.
inline size_t ShortlistLength(int32_t lines) { return lines >= kFewLines ? 64 : 32; }

// A row's pairs are refined in runs of this many at first, doubling up to
// the second.
constexpr size_t kFirstRefineRun = 8;
constexpr size_t kRefineRun = 64;
// Refinements of less work than this (FineWork: about one unit per
// subtraction) stay on one thread.
constexpr int64_t kHandOverWork = 1 << 16;

// The bounds and the evaluator, the evaluator made in the body, once the
// bounds are set up: every copy of the table the bounds were set up from is
// gone by then, and the evaluator's own copy does not add to them. Nothing
// else is made between the two (the peak memory depends on that too).
template <class Bounds>
struct BoundsThenEvaluator {
    BoundsThenEvaluator(TableData table, TwoWayLoop &loop) : bounds(table, loop) { evaluator.emplace(table, loop); }
    Bounds bounds;
    std::optional<SpanEvaluator> evaluator;
};

template <class Bounds>
class LazyVarianceEngine {
public:
    explicit LazyVarianceEngine(TableData table)
        : n_(table.columns),
          measures_(table, loop_),
          members_(n_),
          nodeId_(n_, -1),
          live_(n_, 1),
          exact_(n_, 0),
          value_(n_, -INFINITY),
          arg_(n_, -1),
          key_(n_ > 0 ? n_ : 1, UINT64_MAX),
          low_(n_),
          high_(n_),
          shortlists_(n_, ShortlistLength(table.lines)),
          size_(n_, 1.0),
          version_(n_, 0),
          popped_(n_, 0) {
        for (int32_t k = 0; k < n_; ++k) {
            members_[k].assign(1, k);
            SetKey(k);
        }
        if (n_ > 0) MarkEmpty(0);
    }

    void Run(std::FILE *out) {
        int32_t nextNode = 0;
        ProgressStart("merging", n_ - 1);
        for (int32_t remaining = n_; remaining > 1;) {
            ProgressAdvance(nextNode);
            const int32_t i = SmallestKey(key_.data(), n_);
            if (!exact_[i]) {
                Recompute(i);
                continue;
            }
            const int32_t j = arg_[i];
            WriteMergeLine(out, nextNode, i, nodeId_[i], j, nodeId_[j], value_[i]);
            const int32_t sizeI = static_cast<int32_t>(members_[i].size());
            const int32_t sizeJ = static_cast<int32_t>(members_[j].size());
            members_[i].insert(members_[i].end(), members_[j].begin(), members_[j].end());
            std::vector<int32_t>().swap(members_[j]);
            measures_.bounds.Merge(i, sizeI, j, sizeJ, members_[i], value_[i]);
            nodeId_[i] = nextNode++;
            size_[i] = static_cast<double>(members_[i].size());
            ++version_[i];
            ++version_[j];
            live_[j] = 0;
            key_[j] = UINT64_MAX;
            --remaining;
            AfterMerge(i, j);
        }
    }

private:
    void SetKey(int32_t r) {
        key_[r] = !live_[r] || (exact_[r] && arg_[r] < 0)
                      ? UINT64_MAX
                      : RowKey(value_[r], r);
    }
    void MarkEmpty(int32_t r) {
        exact_[r] = 1;
        arg_[r] = -1;
        SetKey(r);
    }
    // Row r may now hold a value as small as `bound`.
    void Lower(int32_t r, float bound) {
        if (bound < value_[r]) value_[r] = bound;
        exact_[r] = 0;
        SetKey(r);
    }

    // The younger cluster was formed by the later merge (node numbers grow);
    // of two single columns (node -1), the larger column.
    bool Younger(int32_t x, int32_t y) const { return nodeId_[x] != nodeId_[y] ? nodeId_[x] > nodeId_[y] : x > y; }

    // Exact values of the pairs (x, ys[k]), each with the younger list first.
    void Exact(int32_t x, const std::vector<int32_t> &ys, std::vector<float> &out) {
        out.resize(ys.size());
        older_.clear();
        olderAt_.clear();
        for (size_t k = 0; k < ys.size(); ++k) {
            if (Younger(x, ys[k])) {
                older_.push_back(&members_[ys[k]]);
                olderAt_.push_back(static_cast<int32_t>(k));
            } else {
                one_.assign(1, &members_[x]);
                measures_.evaluator->Evaluate(members_[ys[k]], one_, &out[k]);
            }
        }
        if (older_.empty()) return;
        batch_.resize(older_.size());
        measures_.evaluator->Evaluate(members_[x], older_, batch_.data());
        for (size_t k = 0; k < older_.size(); ++k) out[olderAt_[k]] = batch_[k];
    }

    using Entry = RowShortlists::Entry;

    // The entry's partner is live and has not merged since it was listed.
    bool Valid(const Entry &e) const { return live_[e.y] && version_[e.y] == e.version; }
    auto Validity() const {
        return [this](const Entry &e) { return Valid(e); };
    }

    // Exact values of the given candidates of row r, lowest interval first,
    // until the next interval starts above the best value found. Returns
    // whether one was found; ties go to the largest y.
    bool BestOf(int32_t r, std::vector<std::pair<double, int32_t>> &candidates, double ceiling, float &best,
                int32_t &bestY) {
        std::sort(candidates.begin(), candidates.end());
        evaluated_.clear();
        bool found = false;
        for (size_t at = 0; at < candidates.size();) {
            if (found && candidates[at].first > best) break;
            const double limit = found ? static_cast<double>(best) : ceiling;
            ys_.clear();
            for (; at < candidates.size() && ys_.size() < kChunk && candidates[at].first <= limit; ++at) {
                const int32_t y = candidates[at].second;
                const auto known = std::find_if(known_.begin(), known_.end(), [y](const auto &k) { return k.first == y; });
                if (known != known_.end()) {
                    evaluated_.push_back(*known);
                } else {
                    ys_.push_back(y);
                }
            }
            Exact(r, ys_, values_);
            for (size_t k = 0; k < ys_.size(); ++k) evaluated_.push_back({ys_[k], values_[k]});
            if (evaluated_.empty()) break;
            for (const auto &[y, v] : evaluated_) {
                if (!found || v < best || (v == best && y > bestY)) {
                    found = true;
                    best = v;
                    bestY = y;
                }
            }
        }
        return found;
    }

    // Makes row r exact: its smallest value over the live y < r, ties to the
    // largest y. From the shortlist when its best is below the floor (no pair
    // outside can then reach or tie it); otherwise from every pair: pairs
    // whose interval starts above the smallest upper end cannot be smallest,
    // the others are evaluated exactly, lowest interval first, until the next
    // interval starts above the best exact value.
    void Recompute(int32_t r) {
        if (SettleFromShortlist(r)) return;
        const ScanEnd end = ScanAndRefine(r);
        KeepShortlist(r, end);
        size_t kept = 0;
        for (const auto &c : candidates_)
            if (c.first <= end.ceiling) candidates_[kept++] = c;
        candidates_.resize(kept);
        float best = 0.0f;
        int32_t bestY = -1;
        if (!BestOf(r, candidates_, end.ceiling, best, bestY)) {
            MarkEmpty(r);
            return;
        }
        Pin(r);
        Settle(r, best, bestY);
    }

    // Settles row r from its shortlist where it can; true when it did.
    // Otherwise `known_` keeps the exact values found on the way.
    bool SettleFromShortlist(int32_t r) {
        known_.clear();
        if (!shortlists_.Listed(r)) return false;
        shortlists_.Prune(r, Validity());
        const std::vector<Entry> &list = shortlists_.Of(r);
        if (list.empty()) return false;
        for (const Entry &e : list)
            if (e.low == e.high) known_.push_back({e.y, static_cast<float>(e.low)});
        double ceiling = shortlists_.Floor(r);
        for (const Entry &e : list) ceiling = std::min(ceiling, e.high);
        candidates_.clear();
        for (const Entry &e : list)
            if (e.low <= ceiling) candidates_.push_back({e.low, e.y});
        float best = 0.0f;
        int32_t bestY = -1;
        if (BestOf(r, candidates_, ceiling, best, bestY) && best < shortlists_.Floor(r)) {
            Pin(r);
            Settle(r, best, bestY);
            return true;
        }
        known_ = evaluated_;
        return false;
    }

    // Where a full scan of a row stopped: the lowest upper end found, the
    // next start in `order_` (at `at`) and the lowest start of the pairs
    // outside it.
    struct ScanEnd {
        double ceiling, outside;
        size_t at;
    };

    // Every pair's cheap interval; then the lowest intervals refined first:
    // each refined upper end lowers the ceiling, which rules out the rest
    // sooner; on until the lowest starts, one more than the shortlist holds,
    // are refined too. Leaves in `candidates_` the pairs that may be
    // smallest, in `top_` the lowest starts.
    ScanEnd ScanAndRefine(int32_t r) {
        // On each thread the lowest upper end of its part and the pairs
        // that start at most there.
        ScanRow(r);
        double ceiling = std::min(scan_[0].ceiling, scan_[1].ceiling);
        for (const auto &[y, v] : known_) {
            low_[y] = high_[y] = v;
            ceiling = std::min(ceiling, static_cast<double>(v));
        }
        // `order_` holds, sorted, the pairs whose interval starts at most at
        // `upTo`; `outside` is the lowest start of the others.
        ++stamp_;
        double outside = std::min(scan_[0].outside, scan_[1].outside);
        auto place = [&](int32_t y, double upTo) {
            if (low_[y] <= upTo) {
                order_.push_back(OrderKey(low_[y], y));
            } else {
                outside = std::min(outside, low_[y]);
            }
        };
        order_.clear();
        for (const Scan &part : scan_)
            for (int32_t y : part.near) place(y, ceiling);
        SortKeys(order_, spare_);
        size_t at = 0;  // order_[at] is the lowest start not taken
        // Every pair not taken yet, when `order_` runs short.
        auto fill = [&](double upTo) {
            order_.clear();
            outside = INFINITY;
            for (int32_t y = 0; y < r; ++y)
                if (live_[y] && popped_[y] != stamp_) place(y, upTo);
            SortKeys(order_, spare_);
            at = 0;
        };
        candidates_.clear();
        top_.clear();
        // The pairs are taken in runs, refined on both threads, then gone
        // through one by one in order. A run may take pairs beyond where the
        // row would have stopped; they are only known better. The runs grow
        // from short ones, so a row that stops early refines few pairs it
        // needs not.
        const size_t full = shortlists_.length() + 1;
        size_t run = kFirstRefineRun;
        for (;;) {
            const double front = at < order_.size() ? OrderValue(order_[at]) : INFINITY;
            const double next = std::min(front, outside);
            const bool filled = top_.size() == full;
            if (next == INFINITY || (next > ceiling && filled && !(next < top_.back().first))) break;
            if (front > outside) {
                fill(filled ? std::max(ceiling, top_.back().first) : INFINITY);
                continue;
            }
            taken_.clear();
            while (taken_.size() < run && at < order_.size() && OrderValue(order_[at]) <= outside) {
                const int32_t y = static_cast<int32_t>(order_[at++] & 0xffffffffu);
                taken_.push_back({low_[y], y});
            }
            run = std::min(2 * run, kRefineRun);
            RefineTaken(r, ceiling);
        }
        return ScanEnd{ceiling, outside, at};
    }

    // Refines the pairs of `taken_` whose intervals are not points, then
    // goes through them in order: each upper end bounds the row, those that
    // started at most at the ceiling are candidates, and the lowest starts
    // go to `top_` (sorted, one more than the shortlist holds).
    void RefineTaken(int32_t r, double &ceiling) {
        toRefine_.clear();
        for (const auto &[cheapLow, y] : taken_)
            if (high_[y] > cheapLow) toRefine_.push_back(y);
        Refine(r, toRefine_);
        const size_t full = shortlists_.length() + 1;
        for (const auto &[cheapLow, y] : taken_) {
            const bool needed = cheapLow <= ceiling;
            popped_[y] = stamp_;
            // Refined or not, the pair's upper end bounds the row.
            ceiling = std::min(ceiling, high_[y]);
            if (needed) candidates_.push_back({low_[y], y});
            const double low = low_[y];
            if (top_.size() == full && !(low < top_.back().first)) continue;
            if (top_.size() == full) top_.pop_back();
            size_t slot = top_.size();
            top_.push_back({low, y});
            for (; slot > 0 && low < top_[slot - 1].first; --slot) top_[slot] = top_[slot - 1];
            top_[slot] = {low, y};
        }
    }

    // Row r's new shortlist: the lowest starts of its scan. Every pair off
    // the list starts at the lowest refined start left off it, the next in
    // `order_` or `outside` at least.
    void KeepShortlist(int32_t r, const ScanEnd &end) {
        const size_t length = shortlists_.length();
        double floor = top_.size() == length + 1 ? top_.back().first : INFINITY;
        if (end.at < order_.size()) floor = std::min(floor, OrderValue(order_[end.at]));
        floor = std::min(floor, end.outside);
        shortlists_.Restart(r, floor);
        for (size_t k = 0; k < top_.size() && k < length; ++k) {
            const int32_t y = top_[k].second;
            shortlists_.Keep(r, {low_[y], high_[y], y, version_[y]});
        }
    }

    // The shortlisted pairs just evaluated are known exactly now.
    void Pin(int32_t r) { shortlists_.Pin(r, evaluated_); }

    // Row r's cheap intervals (dead pairs get empty ones, [inf, inf]), and
    // for each thread's part the lowest upper end, the pairs that start at
    // most there, and the lowest start of the others.
    struct Scan {
        double ceiling = INFINITY, outside = INFINITY;
        std::vector<int32_t> near;
    };
    void ScanRow(int32_t r) {
        auto part = [&](int64_t b64, int64_t e64, int p) {
            const int32_t b = static_cast<int32_t>(b64), e = static_cast<int32_t>(e64);
            Scan &scan = scan_[p];
            scan.near.clear();
            scan.ceiling = scan.outside = INFINITY;
            if (b >= e) return;
            measures_.bounds.CheapRange(r, members_[r], b, e, size_.data(), members_, live_.data(), low_.data(), high_.data());
            double *low = low_.data(), *high = high_.data();
            const unsigned char *live = live_.data();
            double ceiling = INFINITY;
            for (int32_t y = b; y < e; ++y) {
                const double l = live[y] ? low[y] : INFINITY, h = live[y] ? high[y] : INFINITY;
                low[y] = l;
                high[y] = h;
                ceiling = std::min(ceiling, h);
            }
            double outside = INFINITY;
            for (int32_t y = b; y < e; ++y) {
                if (low[y] <= ceiling) {
                    scan.near.push_back(y);
                } else {
                    outside = std::min(outside, low[y]);
                }
            }
            scan.ceiling = ceiling;
            scan.outside = outside;
        };
        loop_.Run(r, r / 2, 4096, part);
    }

    // The fine intervals of the pairs (x, y), y in ys, on both threads.
    void Refine(int32_t x, const std::vector<int32_t> &ys) {
        auto part = [&](int64_t begin, int64_t end, int) {
            measures_.bounds.FineMany(x, members_[x], ys.data() + begin, end - begin, members_, low_.data(), high_.data());
        };
        const int64_t count = static_cast<int64_t>(ys.size());
        // A short run costs less than handing half of it over.
        int64_t work = count * static_cast<int64_t>(members_[x].size());
        for (int32_t y : ys) work += static_cast<int64_t>(members_[y].size());
        loop_.Run(count, count / 2, measures_.bounds.FineWork(work) >= kHandOverWork ? 2 : INT64_MAX, part);
    }

    // The cheap intervals of (x, y) for y in [begin, end), on both threads.
    void CheapRange(int32_t x, int32_t begin, int32_t end) {
        auto part = [&](int64_t b, int64_t e, int) {
            if (b < begin) b = begin;
            if (b >= e) return;
            measures_.bounds.CheapRange(x, members_[x], static_cast<int32_t>(b), static_cast<int32_t>(e), size_.data(),
                               members_, live_.data(), low_.data(), high_.data());
        };
        loop_.Run(end, begin + (end - begin) / 2, 4096, part);
    }

    void Settle(int32_t r, float best, int32_t bestY) {
        value_[r] = best;
        arg_[r] = bestY;
        exact_[r] = 1;
        SetKey(r);
    }

    // Cluster i has absorbed cluster j: row i is recomputed; every row above
    // i holds a new pair with i and has lost its pair with j; rows below i
    // have lost their pair with j.
    void AfterMerge(int32_t i, int32_t j) {
        shortlists_.Unlist(i);
        shortlists_.Drop(j);
        Recompute(i);
        CheapRange(i, i + 1, n_);
        // The cheap intervals that reach their row's value, or that enter
        // its shortlist, are refined, on both threads: a shortlist of cheap
        // intervals would hold a floor too low to settle the row from.
        // The rows' states follow no pattern: the loops below test them
        // without branching, and branch once on the outcome, which is
        // mostly the same.
        refine_.clear();
        for (int32_t h = i + 1; h < n_; ++h) {
            const bool reaches = (low_[h] < value_[h]) | (shortlists_.Listed(h) & (low_[h] < shortlists_.Floor(h)));
            if ((live_[h] != 0) & reaches & (high_[h] > low_[h])) refine_.push_back(h);
        }
        Refine(i, refine_);
        // The rows below i have lost their pair with j; the remaining pairs
        // of a row are unchanged and were no smaller than the lost one.
        for (int32_t h = 0; h < i; ++h)
            if (arg_[h] == j && live_[h] && exact_[h]) Lower(h, value_[h]);
        ys_.clear();
        for (int32_t h = i + 1; h < n_; ++h) {
            const double low = low_[h], high = high_[h], value = value_[h];
            const bool exact = exact_[h] != 0;
            // Nothing to do for an exact row whose best pair stays and that
            // the new pair neither reaches nor enters the shortlist of, nor
            // for a stale row whose value is at most `low` (lowering it to
            // `low` would change nothing) and whose shortlist it does not
            // enter.
            const bool act = (live_[h] != 0) &
                             ((exact & ((arg_[h] == i) | (arg_[h] == j))) | (low < value) | (exact & (low == value)) |
                              (shortlists_.Listed(h) & !(low >= shortlists_.Floor(h))));
            if (!act) continue;
            const bool needsValue = exact && arg_[h] != i && arg_[h] != j;
            shortlists_.Enlist(h, i, version_[i], low, high, Validity());
            if (needsValue) {
                if (low <= value_[h]) ys_.push_back(h);
            } else {
                // A stale row, or an exact row whose best pair changed: the
                // old value bounds the unchanged pairs, `low` the new one.
                Lower(h, FloatDown(low));
            }
        }
        if (ys_.empty()) return;
        const std::vector<int32_t> rows = ys_;
        Exact(i, rows, values_);
        for (size_t k = 0; k < rows.size(); ++k) {
            const int32_t h = rows[k];
            const float v = values_[k];
            shortlists_.PinPair(h, i, v, Validity());
            if (v < value_[h] || (v == value_[h] && i > arg_[h])) {
                value_[h] = v;
                arg_[h] = i;
                SetKey(h);
            }
        }
    }

    int32_t n_;
    TwoWayLoop loop_;
    BoundsThenEvaluator<Bounds> measures_;
    std::vector<std::vector<int32_t>> members_;
    std::vector<int32_t> nodeId_;
    std::vector<unsigned char> live_, exact_;
    std::vector<float> value_;
    std::vector<int32_t> arg_;
    std::vector<uint64_t> key_;
    std::vector<double> low_, high_;
    std::vector<std::pair<double, int32_t>> candidates_, top_;
    std::vector<uint64_t> order_, spare_;
    RowShortlists shortlists_;
    std::vector<double> size_;
    std::vector<int32_t> version_;
    std::vector<uint32_t> popped_;
    Scan scan_[2];
    uint32_t stamp_ = 0;
    std::vector<std::pair<int32_t, float>> evaluated_, known_;
    std::vector<int32_t> ys_, olderAt_, refine_, toRefine_;
    std::vector<std::pair<double, int32_t>> taken_;
    std::vector<const std::vector<int32_t> *> older_, one_;
    std::vector<float> values_, batch_;
};

}  // namespace variance_engine
