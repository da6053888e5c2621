#include "engines/cluster/nn_chain.h"

#include <algorithm>
#include <limits>

#include "base/parallel.h"
#include "base/progress.h"
#include "engines/cluster/pair_rows.h"
#include "engines/cluster/pair_values.h"
#include "engines/cluster/pass_order.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// How many far-apart values a scan asks for ahead of use.
constexpr int64_t kAhead = 32;

// Live slots, ascending.
class LiveSlots {
public:
    explicit LiveSlots(int64_t n) {
        for (int64_t x = 0; x < n; ++x) slots_.push_back(x);
    }
    const std::vector<int64_t> &All() const { return slots_; }
    void Remove(int64_t x) { slots_.erase(std::lower_bound(slots_.begin(), slots_.end(), x)); }
    int64_t Count() const { return static_cast<int64_t>(slots_.size()); }

private:
    std::vector<int64_t> slots_;
};

// A candidate neighbour: its value and slot (-1 for none).
struct Candidate {
    double value = kInf;
    int64_t slot = -1;
};
// The earlier of two candidates in the pair order (equal values: smaller slot).
inline Candidate Earlier(const Candidate &p, const Candidate &q) {
    if (q.slot < 0) return p;
    if (p.slot < 0) return q;
    return ValueBefore(q.value, p.value) || (ValueSame(q.value, p.value) && q.slot < p.slot) ? q : p;
}

// Searches of fewer live slots than this stay on one thread.
constexpr int64_t kTwoThreadSearch = 3000;

// The chain itself, over a policy that gives the nearest neighbour of a
// slot among live[begin, end) and merges two slots (the larger survives)
// returning the merge. A search is split in two halves of the live slots on
// two threads; each half keeps its first best, and the earlier of the two
// is the first best of all, whatever the split.
template <class Policy>
std::vector<FoundMerge> RunChain(int64_t n, Policy &policy) {
    LiveSlots live(n);
    TwoWayLoop loop;
    Candidate parts[2];
    int64_t from = 0;
    auto body = [&](int64_t begin, int64_t end, int part) {
        parts[part] = policy.Nearest(from, live.All(), begin, end, part);
    };
    int64_t merging[2] = {0, 0};
    auto update = [&](int64_t begin, int64_t end, int) {
        policy.Update(merging[0], merging[1], live.All(), begin, end);
    };
    auto nearest = [&](int64_t a) {
        from = a;
        const int64_t count = live.Count();
        loop.Run(count, count / 2, kTwoThreadSearch, body);
        return Earlier(parts[0], parts[1]).slot;
    };
    std::vector<FoundMerge> found;
    found.reserve(static_cast<size_t>(n > 0 ? n - 1 : 0));
    std::vector<int64_t> chain;
    ProgressStart("merging", n - 1);
    while (live.Count() > 1) {
        ProgressAdvance(static_cast<int64_t>(found.size()));
        if (chain.empty()) chain.push_back(live.All().front());
        for (;;) {
            const int64_t a = chain.back();
            const int64_t b = nearest(a);
            if (chain.size() >= 2 && b == chain[chain.size() - 2]) break;
            chain.push_back(b);
        }
        const int64_t a = chain.back(), b = chain[chain.size() - 2];
        chain.resize(chain.size() - 2);
        const int64_t s = std::max(a, b), r = std::min(a, b);
        found.push_back(policy.Pair(s, r));
        merging[0] = s;
        merging[1] = r;
        loop.Run(live.Count(), live.Count() / 2, kTwoThreadSearch, update);
        policy.Absorb(s, r);
        live.Remove(r);
    }
    return found;
}

// Packed matrix: the stored value of a pair and the value compared differ
// only for average (sums) and Ward (sums of squares).
template <Linkage L>
class MatrixPolicy {
public:
    MatrixPolicy(double *packed, int64_t n) : d_(packed), row_(n), size_(n, 1.0), within_(n, 0.0) {
        for (int64_t i = 0; i < n; ++i) row_[i] = i * (i - 1) / 2;
    }

    double Compared(int64_t i, int64_t j, double stored) const {
        if constexpr (L == Linkage::Average) return AverageValue(stored, size_[i], size_[j]);
        if constexpr (L == Linkage::Ward) return WardValue(stored, size_[i], size_[j], within_[i], within_[j]);
        return stored;
    }

    // Nearest neighbour of a: scanning ascending with a strict test keeps the
    // smallest slot among equal values, the first pair in scan order.
    // The pairs of a with slots below it are in a's row; those with slots
    // above it, one per row, far apart: they are fetched a few rows ahead.
    Candidate Nearest(int64_t a, const std::vector<int64_t> &live, int64_t begin, int64_t end, int) const {
        double best = kInf;
        int64_t arg = -1;
        const double *ra = d_ + row_[a];
        const int64_t *l = live.data();
        const int64_t split = std::clamp<int64_t>(std::lower_bound(l + begin, l + end, a) - l, begin, end);
        for (int64_t k = begin; k < split; ++k) {
            const int64_t x = l[k];
            const double v = Compared(a, x, ra[x]);
            if (arg < 0 || ValueBefore(v, best)) {
                best = v;
                arg = x;
            }
        }
        for (int64_t k = split; k < end; ++k) {
            const int64_t x = l[k];
            if (x == a) continue;
            if (k + kAhead < end) __builtin_prefetch(d_ + row_[l[k + kAhead]] + a);
            const double v = Compared(a, x, d_[row_[x] + a]);
            if (arg < 0 || ValueBefore(v, best)) {
                best = v;
                arg = x;
            }
        }
        return Candidate{best, arg};
    }

    // The merge of s > r as found: before Update and Absorb.
    FoundMerge Pair(int64_t s, int64_t r) const {
        const double order = Compared(s, r, d_[row_[s] + r]);
        return FoundMerge{order, L == Linkage::Ward ? HeightOfSquare(order) : order, s, r};
    }

    // The values of s with live[begin, end) once r has joined it.
    void Update(int64_t s, int64_t r, const std::vector<int64_t> &live, int64_t begin, int64_t end) {
        const int64_t *l = live.data();
        for (int64_t k = begin; k < end; ++k) {
            const int64_t x = l[k];
            if (x == s || x == r) continue;
            if (k + kAhead < end) {
                const int64_t y = l[k + kAhead];
                if (y > s) __builtin_prefetch(d_ + row_[y] + s);
                if (y > r) __builtin_prefetch(d_ + row_[y] + r);
            }
            double &ds = x < s ? d_[row_[s] + x] : d_[row_[x] + s];
            const double dr = x < r ? d_[row_[r] + x] : d_[row_[x] + r];
            if constexpr (L == Linkage::Complete) ds = std::max(ds, dr);
            if constexpr (L == Linkage::Average || L == Linkage::Ward) ds = ds + dr;
            if constexpr (L == Linkage::Weighted) ds = (ds + dr) * 0.5;
        }
    }

    void Absorb(int64_t s, int64_t r) {
        within_[s] = within_[s] + within_[r] + d_[row_[s] + r];
        size_[s] += size_[r];
    }

private:
    double *d_;
    std::vector<int64_t> row_;
    std::vector<double> size_, within_;
};

template <Linkage L>
std::vector<FoundMerge> MatrixChain(double *packed, int64_t n) {
    MatrixPolicy<L> policy(packed, n);
    return RunChain(n, policy);
}

// Ward from the data: each cluster keeps its size and coordinate sums.
class WardDataPolicy {
public:
    WardDataPolicy(const double *values, int64_t n, int64_t m) : m_(m), sums_(values, values + n * m), size_(n, 1.0) {}

    double Compared(int64_t i, int64_t j) const {
        return WardFromSpread(SumsSpread(&sums_[i * m_], &sums_[j * m_], size_[i], size_[j], m_), size_[i], size_[j]);
    }

    Candidate Nearest(int64_t a, const std::vector<int64_t> &live, int64_t begin, int64_t end, int part) {
        std::vector<double> &values = values_[part];
        values.resize(static_cast<size_t>(end - begin));
        PairRow(RowValue::Ward, sums_.data(), size_.data(), m_, a, live.data() + begin, end - begin, values.data());
        // a itself, if in this part, is left out.
        const int64_t self = std::lower_bound(live.begin() + begin, live.begin() + end, a) - live.begin();
        const int64_t at = FirstSmallest(values.data(), end - begin, self < end && live[self] == a ? self - begin : -1);
        if (at < 0) return Candidate{};
        return Candidate{values[at], live[begin + at]};
    }

    FoundMerge Pair(int64_t s, int64_t r) const {
        const double order = Compared(s, r);
        return FoundMerge{order, HeightOfSquare(order), s, r};
    }
    void Update(int64_t, int64_t, const std::vector<int64_t> &, int64_t, int64_t) {}
    void Absorb(int64_t s, int64_t r) {
        for (int64_t k = 0; k < m_; ++k) sums_[s * m_ + k] += sums_[r * m_ + k];
        size_[s] += size_[r];
    }

private:
    int64_t m_;
    std::vector<double> sums_;
    std::vector<double> size_;
    std::vector<double> values_[2];  // per thread
};

}  // namespace

std::vector<ClusterMerge> ChainOnMatrix(double *packed, int64_t n, Linkage linkage) {
    std::vector<FoundMerge> found;
    switch (linkage) {
        case Linkage::Complete:
            found = MatrixChain<Linkage::Complete>(packed, n);
            break;
        case Linkage::Average:
            found = MatrixChain<Linkage::Average>(packed, n);
            break;
        case Linkage::Weighted:
            found = MatrixChain<Linkage::Weighted>(packed, n);
            break;
        case Linkage::Ward:
            found = MatrixChain<Linkage::Ward>(packed, n);
            break;
        default:
            return {};
    }
    return InPassOrder(std::move(found), n);
}

std::vector<ClusterMerge> WardChainOnData(const double *values, int64_t n, int64_t m) {
    WardDataPolicy policy(values, n, m);
    return InPassOrder(RunChain(n, policy), n);
}
