#include "engines/cluster/generic_linkage.h"

#include <algorithm>
#include <limits>

#include "base/parallel.h"
#include "base/progress.h"
#include "engines/cluster/pair_rows.h"
#include "engines/cluster/pair_values.h"
#include "engines/cluster/pass_order.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// A binary heap of slots keyed by (key[slot], slot), with each slot's place
// so that a key can move either way.
class SlotHeap {
public:
    explicit SlotHeap(int64_t n) : key_(n, kInf), place_(n, -1) {}
    bool Empty() const { return heap_.empty(); }
    int64_t Top() const { return heap_.front(); }
    double Key(int64_t s) const { return key_[s]; }
    void Set(int64_t s, double key) {
        key_[s] = key;
        if (place_[s] < 0) {
            place_[s] = static_cast<int64_t>(heap_.size());
            heap_.push_back(s);
        }
        Up(place_[s]);
        Down(place_[s]);
    }
    void Remove(int64_t s) {
        const int64_t p = place_[s];
        if (p < 0) return;
        const int64_t last = heap_.back();
        heap_.pop_back();
        place_[s] = -1;
        if (last == s) return;
        heap_[p] = last;
        place_[last] = p;
        Up(p);
        Down(place_[last]);
    }

private:
    bool Before(int64_t a, int64_t b) const {
        return ValueBefore(key_[a], key_[b]) || (ValueSame(key_[a], key_[b]) && a < b);
    }
    void Swap(int64_t p, int64_t q) {
        std::swap(heap_[p], heap_[q]);
        place_[heap_[p]] = p;
        place_[heap_[q]] = q;
    }
    void Up(int64_t p) {
        while (p > 0 && Before(heap_[p], heap_[(p - 1) / 2])) {
            Swap(p, (p - 1) / 2);
            p = (p - 1) / 2;
        }
    }
    void Down(int64_t p) {
        const int64_t size = static_cast<int64_t>(heap_.size());
        for (;;) {
            int64_t c = 2 * p + 1;
            if (c >= size) return;
            if (c + 1 < size && Before(heap_[c + 1], heap_[c])) ++c;
            if (!Before(heap_[c], heap_[p])) return;
            Swap(p, c);
            p = c;
        }
    }
    std::vector<double> key_;
    std::vector<int64_t> place_;
    std::vector<int64_t> heap_;
};

// The loop of the generic algorithm over a policy that gives the value of a
// pair i > j (Value), and merges (Merge: updates what the survivor s keeps
// and its values with the live slots).
// Loops over fewer slots than this stay on one thread.
constexpr int64_t kTwoThreadLoop = 3000;

template <class Policy>
std::vector<FoundMerge> RunGeneric(int64_t n, Policy &policy) {
    std::vector<char> live(n, 1);
    // The slots ever live, ascending; those merged away are dropped once
    // they are an eighth of the list, so that a pass costs the live slots
    // rather than all n.
    std::vector<int64_t> listed(n);
    for (int64_t x = 0; x < n; ++x) listed[x] = x;
    int64_t dropped = 0;
    std::vector<int64_t> nn(n, -1);
    SlotHeap heap(n);
    TwoWayLoop loop;
    // Best partner of i below it: ascending, strict, so the first of equals;
    // in two halves on two threads, the lower half's best winning ties.
    double partBest[2];
    int64_t partArg[2];
    int64_t row = 0, first = 0;
    std::vector<int64_t> slots[2];
    std::vector<double> values[2];
    // The values of `row` with the live slots of listed[first + begin, first + end), into part's buffers.
    auto valuesOf = [&](int64_t begin, int64_t end, int part) {
        slots[part].clear();
        for (int64_t k = first + begin; k < first + end; ++k) {
            if (live[listed[k]]) slots[part].push_back(listed[k]);
        }
        values[part].resize(slots[part].size());
        policy.Values(row, slots[part].data(), static_cast<int64_t>(slots[part].size()), values[part].data(), part);
    };
    auto scan = [&](int64_t begin, int64_t end, int part) {
        valuesOf(begin, end, part);
        const int64_t at = FirstSmallest(values[part].data(), static_cast<int64_t>(slots[part].size()), -1);
        partBest[part] = at < 0 ? kInf : values[part][at];
        partArg[part] = at < 0 ? -1 : slots[part][at];
    };
    auto rescan = [&](int64_t i) {
        row = i;
        first = 0;
        const int64_t below = std::lower_bound(listed.begin(), listed.end(), i) - listed.begin();
        loop.Run(below, below / 2, kTwoThreadLoop, scan);
        const int take = partArg[0] < 0 || (partArg[1] >= 0 && partBest[1] < partBest[0]) ? 1 : 0;
        nn[i] = partArg[take];
        if (nn[i] < 0) {
            heap.Remove(i);
        } else {
            heap.Set(i, partBest[take]);
        }
    };
    // The new values of the slots above the survivor, on two threads.
    std::vector<double> fresh(n);
    auto refresh = [&](int64_t begin, int64_t end, int part) {
        valuesOf(begin, end, part);
        for (size_t k = 0; k < slots[part].size(); ++k) fresh[slots[part][k]] = values[part][k];
    };
    for (int64_t i = 1; i < n; ++i) rescan(i);
    std::vector<FoundMerge> found;
    ProgressStart("merging", n - 1);
    for (int64_t step = 0; step + 1 < n; ++step) {
        ProgressAdvance(step);
        int64_t i = heap.Top();
        while (!live[nn[i]] || !ValueSame(policy.Value(i, nn[i]), heap.Key(i))) {
            rescan(i);
            i = heap.Top();
        }
        const int64_t j = nn[i];
        const double q = heap.Key(i);
        found.push_back(FoundMerge{q, HeightOfSquare(q), i, j});
        policy.Merge(i, j, live);
        live[j] = 0;
        heap.Remove(j);
        if (++dropped * 8 >= static_cast<int64_t>(listed.size())) {
            listed.erase(std::remove_if(listed.begin(), listed.end(), [&](int64_t x) { return !live[x]; }),
                         listed.end());
            dropped = 0;
        }
        rescan(i);
        row = i;
        first = std::upper_bound(listed.begin(), listed.end(), i) - listed.begin();
        const int64_t above = static_cast<int64_t>(listed.size()) - first;
        loop.Run(above, above / 2, kTwoThreadLoop, refresh);
        for (int64_t k = first; k < static_cast<int64_t>(listed.size()); ++k) {
            const int64_t x = listed[k];
            if (!live[x]) continue;
            const double v = fresh[x];
            if (nn[x] < 0 || ValueBefore(v, heap.Key(x)) || (ValueSame(v, heap.Key(x)) && i < nn[x])) {
                nn[x] = i;
                heap.Set(x, v);
            }
        }
    }
    return found;
}

// Centroid (sums of squares, pair_values.h) or median (squared values) on
// the packed matrix.
template <Linkage L>
class MatrixPolicy {
public:
    MatrixPolicy(double *packed, int64_t n) : d_(packed), row_(n), size_(n, 1.0), within_(n, 0.0) {
        for (int64_t i = 0; i < n; ++i) row_[i] = i * (i - 1) / 2;
    }
    // The value of slots i and j, either order.
    double Value(int64_t i, int64_t j) const {
        const double stored = i > j ? d_[row_[i] + j] : d_[row_[j] + i];
        if constexpr (L == Linkage::Centroid) return CentroidValue(stored, size_[i], size_[j], within_[i], within_[j]);
        return stored;
    }
    void Values(int64_t a, const int64_t *xs, int64_t count, double *out, int) const {
        for (int64_t k = 0; k < count; ++k) out[k] = Value(a, xs[k]);
    }
    void Merge(int64_t s, int64_t r, const std::vector<char> &live) {
        const double dsr = d_[row_[s] + r];
        const int64_t n = static_cast<int64_t>(live.size());
        for (int64_t x = 0; x < n; ++x) {
            if (!live[x] || x == s || x == r) continue;
            double &ds = x < s ? d_[row_[s] + x] : d_[row_[x] + s];
            const double dr = x < r ? d_[row_[r] + x] : d_[row_[x] + r];
            if constexpr (L == Linkage::Centroid) ds = ds + dr;
            if constexpr (L == Linkage::Median) ds = MedianUpdate(ds, dr, dsr);
        }
        within_[s] = within_[s] + within_[r] + dsr;
        size_[s] += size_[r];
    }

private:
    double *d_;
    std::vector<int64_t> row_;
    std::vector<double> size_, within_;
};

// From the data: centroid keeps coordinate sums and sizes, median the
// weighted centres.
template <Linkage L>
class DataPolicy {
public:
    DataPolicy(const double *values, int64_t n, int64_t m) : m_(m), c_(values, values + n * m), size_(n, 1.0) {}
    double Value(int64_t i, int64_t j) const {
        double v;
        Values(i, &j, 1, &v, 0);
        return v;
    }
    void Values(int64_t a, const int64_t *xs, int64_t count, double *out, int) const {
        PairRow(L == Linkage::Centroid ? RowValue::Centroid : RowValue::Centre, c_.data(), size_.data(), m_, a, xs,
                count, out);
    }
    void Merge(int64_t s, int64_t r, const std::vector<char> &) {
        for (int64_t k = 0; k < m_; ++k) {
            double &cs = c_[s * m_ + k];
            if constexpr (L == Linkage::Centroid) cs = cs + c_[r * m_ + k];
            if constexpr (L == Linkage::Median) cs = (cs + c_[r * m_ + k]) * 0.5;
        }
        size_[s] += size_[r];
    }

private:
    int64_t m_;
    std::vector<double> c_, size_;
};

}  // namespace

std::vector<ClusterMerge> GenericOnMatrix(double *packed, int64_t n, Linkage linkage) {
    if (linkage == Linkage::Centroid) {
        MatrixPolicy<Linkage::Centroid> policy(packed, n);
        return AsMerges(RunGeneric(n, policy));
    }
    MatrixPolicy<Linkage::Median> policy(packed, n);
    return AsMerges(RunGeneric(n, policy));
}

std::vector<ClusterMerge> GenericOnData(const double *values, int64_t n, int64_t m, Linkage linkage) {
    if (linkage == Linkage::Centroid) {
        DataPolicy<Linkage::Centroid> policy(values, n, m);
        return AsMerges(RunGeneric(n, policy));
    }
    DataPolicy<Linkage::Median> policy(values, n, m);
    return AsMerges(RunGeneric(n, policy));
}
