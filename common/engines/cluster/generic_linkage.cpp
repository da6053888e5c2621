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
class GenericRun {
public:
    GenericRun(int64_t n, Policy &policy)
        : n_(n), policy_(policy), live_(n, 1), listed_(n), nn_(n, -1), heap_(n), fresh_(n) {
        for (int64_t x = 0; x < n; ++x) listed_[x] = x;
    }

    std::vector<FoundMerge> Run() {
        for (int64_t i = 1; i < n_; ++i) Rescan(i);
        std::vector<FoundMerge> found;
        ProgressStart("merging", n_ - 1);
        for (int64_t step = 0; step + 1 < n_; ++step) {
            ProgressAdvance(step);
            int64_t i = heap_.Top();
            while (!live_[nn_[i]] || !ValueSame(policy_.Value(i, nn_[i]), heap_.Key(i))) {
                Rescan(i);
                i = heap_.Top();
            }
            const int64_t j = nn_[i];
            const double q = heap_.Key(i);
            found.push_back(FoundMerge{q, HeightOfSquare(q), i, j});
            policy_.Merge(i, j, live_);
            live_[j] = 0;
            heap_.Remove(j);
            DropDead();
            Rescan(i);
            OfferAbove(i);
        }
        return found;
    }

private:
    // The values of `row_` with the live slots of listed_[first_ + begin,
    // first_ + end), into part's buffers.
    void ValuesOf(int64_t begin, int64_t end, int part) {
        slots_[part].clear();
        for (int64_t k = first_ + begin; k < first_ + end; ++k) {
            if (live_[listed_[k]]) slots_[part].push_back(listed_[k]);
        }
        values_[part].resize(slots_[part].size());
        policy_.Values(row_, slots_[part].data(), static_cast<int64_t>(slots_[part].size()), values_[part].data(),
                       part);
    }

    // Best partner of i below it: ascending, strict, so the first of equals;
    // in two halves on two threads, the lower half's best winning ties.
    void Rescan(int64_t i) {
        row_ = i;
        first_ = 0;
        auto scan = [&](int64_t begin, int64_t end, int part) {
            ValuesOf(begin, end, part);
            const int64_t at = FirstSmallest(values_[part].data(), static_cast<int64_t>(slots_[part].size()), -1);
            partBest_[part] = at < 0 ? kInf : values_[part][at];
            partArg_[part] = at < 0 ? -1 : slots_[part][at];
        };
        const int64_t below = std::lower_bound(listed_.begin(), listed_.end(), i) - listed_.begin();
        loop_.Run(below, below / 2, kTwoThreadLoop, scan);
        const int take = partArg_[0] < 0 || (partArg_[1] >= 0 && partBest_[1] < partBest_[0]) ? 1 : 0;
        nn_[i] = partArg_[take];
        if (nn_[i] < 0) {
            heap_.Remove(i);
        } else {
            heap_.Set(i, partBest_[take]);
        }
    }

    // The slots merged away leave the list once they are an eighth of it,
    // so that a pass costs the live slots rather than all n.
    void DropDead() {
        if (++dropped_ * 8 < static_cast<int64_t>(listed_.size())) return;
        listed_.erase(std::remove_if(listed_.begin(), listed_.end(), [&](int64_t x) { return !live_[x]; }),
                      listed_.end());
        dropped_ = 0;
    }

    // The survivor i's new values with the slots above it (on two threads),
    // each taken as that slot's best partner where it comes first.
    void OfferAbove(int64_t i) {
        row_ = i;
        first_ = std::upper_bound(listed_.begin(), listed_.end(), i) - listed_.begin();
        auto refresh = [&](int64_t begin, int64_t end, int part) {
            ValuesOf(begin, end, part);
            for (size_t k = 0; k < slots_[part].size(); ++k) fresh_[slots_[part][k]] = values_[part][k];
        };
        const int64_t above = static_cast<int64_t>(listed_.size()) - first_;
        loop_.Run(above, above / 2, kTwoThreadLoop, refresh);
        for (int64_t k = first_; k < static_cast<int64_t>(listed_.size()); ++k) {
            const int64_t x = listed_[k];
            if (!live_[x]) continue;
            const double v = fresh_[x];
            if (nn_[x] < 0 || ValueBefore(v, heap_.Key(x)) || (ValueSame(v, heap_.Key(x)) && i < nn_[x])) {
                nn_[x] = i;
                heap_.Set(x, v);
            }
        }
    }

    int64_t n_;
    Policy &policy_;
    std::vector<char> live_;
    // The slots ever live, ascending, less those dropped by DropDead.
    std::vector<int64_t> listed_;
    int64_t dropped_ = 0;
    std::vector<int64_t> nn_;
    SlotHeap heap_;
    TwoWayLoop loop_;
    double partBest_[2];
    int64_t partArg_[2];
    int64_t row_ = 0, first_ = 0;
    std::vector<int64_t> slots_[2];
    std::vector<double> values_[2];
    // The survivor's new values with the slots above it.
    std::vector<double> fresh_;
};

template <class Policy>
std::vector<FoundMerge> RunGeneric(int64_t n, Policy &policy) {
    return GenericRun<Policy>(n, policy).Run();
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
