#include "kernels/metric_space.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "base/progress.h"
#include "kernels/missing_cells.h"

namespace {

// Tiles of AllDistances: blocks of kBlock x kBlock pairs, their lanes kept
// in one buffer (32 KiB) while the coordinates pass in runs of kRun (the two
// blocks' runs, 128 KiB, stay in the second-level cache).
constexpr std::int64_t kBlock = 32;
constexpr std::int64_t kRun = 256;
static_assert(kRun % 4 == 0, "runs start at lane 0");

LaneOp OpFor(Metric metric) {
    switch (metric) {
        case Metric::Euclidean:
        case Metric::SqEuclidean: return LaneOp::SquaredDifference;
        case Metric::CityBlock: return LaneOp::AbsoluteDifference;
        case Metric::Chebyshev: return LaneOp::LargestDifference;
        default: return LaneOp::Product;
    }
}

int ThreadCount(int asked) {
    if (asked > 0) return asked;
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware == 0 ? 1 : static_cast<int>(std::min(hardware, 8u));
}

// Calls work(t) for t in [0, threads), on as many threads.
template <class Work>
void OnThreads(int threads, const Work &work) {
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads; ++t) helpers.emplace_back(work, t);
    work(0);
    for (std::thread &helper : helpers) helper.join();
}

}  // namespace

MetricSpace::MetricSpace(const ObjectTable &table, Metric metric)
    : metric_(metric), op_(OpFor(metric)), objects_(table.objects), coordinates_(table.coordinates),
      data_(table.values), names_(table.names) {
    Prepare();
}

MetricSpace::MetricSpace(ObjectTable &&table, Metric metric)
    : metric_(metric), op_(OpFor(metric)), objects_(table.objects), coordinates_(table.coordinates),
      data_(std::move(table.values)), names_(std::move(table.names)) {
    table = ObjectTable{};
    Prepare();
}

void MetricSpace::Prepare() {
    missing_.assign(static_cast<size_t>(objects_), 0);
    constant_.assign(static_cast<size_t>(objects_), 0);
    const int threads = objects_ * coordinates_ > (1 << 16) ? ThreadCount(0) : 1;
    OnThreads(threads, [&](int t) {
        for (std::int64_t i = t; i < objects_; i += threads) {
            double *x = data_.data() + i * coordinates_;
            for (std::int64_t k = 0; k < coordinates_; ++k)
                if (x[k] != x[k]) missing_[i] = 1;
            if (!missing_[i] && IsCorrelationFamily(metric_) && !PrepareForCorrelation(metric_, x, coordinates_))
                constant_[i] = 1;
        }
    });
    missingObjects_ = std::count(missing_.begin(), missing_.end(), 1);
    special_.assign(static_cast<size_t>((objects_ + kBlock - 1) / kBlock), 0);
    for (std::int64_t i = 0; i < objects_; ++i) {
        special_[i / kBlock] |= missing_[i] | constant_[i];
        if (missing_[i] || constant_[i]) specialObjects_.push_back(i);
    }
}

double MetricSpace::Finish(std::int64_t i, std::int64_t j, const double *lanes) const {
    if (missing_[i] || missing_[j])
        return PartialPairDistance(metric_, Object(std::max(i, j)), Object(std::min(i, j)), coordinates_);
    if (constant_[i] || constant_[j]) return std::numeric_limits<double>::quiet_NaN();
    const double s = CombineLanes(op_, lanes);
    if (metric_ == Metric::Euclidean) return std::sqrt(s);
    if (IsCorrelationFamily(metric_)) return CorrelationDistance(metric_, s);
    return s;
}

double MetricSpace::Distance(std::int64_t i, std::int64_t j) const {
    if (i == j) return 0.0;
    double lanes[4] = {0.0, 0.0, 0.0, 0.0};
    const double *a = Object(std::max(i, j)), *b = Object(std::min(i, j));
    if (!missing_[i] && !missing_[j]) AccumulateLanes(op_, &a, 1, &b, 1, 0, coordinates_, lanes, 0);
    return Finish(i, j, lanes);
}

void MetricSpace::DistancesFrom(std::int64_t i, std::int64_t begin, std::int64_t end, double *out) const {
    if (begin >= end) return;
    CombinedRow(op_, Object(i), data_.data(), coordinates_, coordinates_, begin, end, out);
    const std::int64_t count = end - begin;
    if (metric_ == Metric::Euclidean) {
        for (std::int64_t p = 0; p < count; ++p) out[p] = std::sqrt(out[p]);
    } else if (IsCorrelationFamily(metric_)) {
        for (std::int64_t p = 0; p < count; ++p) out[p] = CorrelationDistance(metric_, out[p]);
    }
    // Pairs with a missing cell or a constant object, as Finish measures them.
    if (missing_[i] || constant_[i]) {
        for (std::int64_t j = begin; j < end; ++j) out[j - begin] = Finish(i, j, nullptr);
    } else {
        for (const std::int64_t j : specialObjects_) {
            if (j >= begin && j < end) out[j - begin] = Finish(i, j, nullptr);
        }
    }
    if (i >= begin && i < end) out[i - begin] = 0.0;
}

void MetricSpace::KeysAgainst(const double *x, const std::int64_t *objects, std::int64_t count, double *out) const {
    if (count <= 0) return;
    CombinedRowAt(op_, x, data_.data(), coordinates_, coordinates_, objects, count, out);
    if (IsCorrelationFamily(metric_)) {
        for (std::int64_t p = 0; p < count; ++p) out[p] = CorrelationDistance(metric_, out[p]);
    }
}

double MetricSpace::DistanceOfKey(double key) const { return metric_ == Metric::Euclidean ? std::sqrt(key) : key; }

// Writes the pairs j < i of a block of whole objects from their lanes,
// `transform` turning the combined lanes into the distance.
template <class Transform>
void FinishWholeBlock(LaneOp op, std::int64_t i0, std::int64_t i1, std::int64_t j0, std::int64_t j1,
                      const double *acc, double *out, Transform transform) {
    const std::int64_t width = j1 - j0;
    for (std::int64_t i = std::max(i0, std::int64_t{1}); i < i1; ++i) {
        double *row = out + (i - 1) * i / 2;
        const double *lanes = acc + 4 * (i - i0) * width;
        for (std::int64_t j = j0; j < std::min(j1, i); ++j) row[j] = transform(CombineLanes(op, lanes + 4 * (j - j0)));
    }
}

// The pairs of row block `block` with every earlier object: column blocks
// up to the diagonal one, whose pairs j >= i are computed and dropped.
void MetricSpace::RowBlock(std::int64_t block, double *acc, double *out) const {
    const std::int64_t i0 = block * kBlock, i1 = std::min(objects_, i0 + kBlock);
    for (std::int64_t j0 = 0; j0 < i1 - 1; j0 += kBlock) {
        const std::int64_t j1 = std::min(i1, j0 + kBlock), width = j1 - j0;
        std::fill(acc, acc + 4 * (i1 - i0) * width, 0.0);
        for (std::int64_t k0 = 0; k0 < coordinates_; k0 += kRun)
            AccumulateBlock(op_, data_.data(), coordinates_, i0, i1, j0, j1, k0, std::min(coordinates_, k0 + kRun), acc);
        if (special_[block] || special_[j0 / kBlock]) {
            for (std::int64_t i = std::max(i0, std::int64_t{1}); i < i1; ++i)
                for (std::int64_t j = j0; j < std::min(j1, i); ++j)
                    out[(i - 1) * i / 2 + j] = Finish(i, j, acc + 4 * ((i - i0) * width + (j - j0)));
        } else if (metric_ == Metric::Euclidean) {
            FinishWholeBlock(op_, i0, i1, j0, j1, acc, out, [](double s) { return std::sqrt(s); });
        } else if (IsCorrelationFamily(metric_)) {
            const Metric metric = metric_;
            FinishWholeBlock(op_, i0, i1, j0, j1, acc, out, [metric](double s) { return CorrelationDistance(metric, s); });
        } else {
            FinishWholeBlock(op_, i0, i1, j0, j1, acc, out, [](double s) { return s; });
        }
    }
}

void MetricSpace::AllDistances(double *out, int threads) const {
    const std::int64_t blocks = (objects_ + kBlock - 1) / kBlock;
    // Row blocks are handed out from the last (the longest) to the first, so
    // that the threads end together; a value does not depend on which
    // thread computes it.
    std::atomic<std::int64_t> next{blocks - 1};
    ProgressStart("distances", PairCount(objects_));
    ProgressAdvance(0);
    OnThreads(static_cast<int>(std::min<std::int64_t>(ThreadCount(threads), std::max<std::int64_t>(blocks, 1))),
              [&](int t) {
                  std::vector<double> acc(4 * kBlock * kBlock);
                  for (std::int64_t b; (b = next.fetch_sub(1)) >= 0;) {
                      RowBlock(b, acc.data(), out);
                      // The progress line is the main thread's (t == 0): the
                      // pairs of the blocks handed out so far.
                      if (t == 0) ProgressAdvance(PairCount(objects_) - PairCount(std::min(objects_, b * kBlock)));
                  }
              });
}

std::vector<double> MetricSpace::AllDistances() const {
    std::vector<double> out(static_cast<size_t>(PairCount(objects_)));
    AllDistances(out.data());
    return out;
}

UndefinedPair MetricSpace::Explain(std::int64_t i, std::int64_t j) const {
    UndefinedPair pair;
    pair.first = std::max(i, j);
    pair.second = std::min(i, j);
    pair.cause = UndefinedPair::Cause::NoVariance;
    if (constant_[pair.first] || constant_[pair.second]) {
        pair.constantObject = constant_[pair.first] ? pair.first : pair.second;
        return pair;
    }
    const double *x = Object(pair.first), *y = Object(pair.second);
    bool common = false;
    for (std::int64_t k = 0; k < coordinates_ && !common; ++k) common = x[k] == x[k] && y[k] == y[k];
    if (!common) pair.cause = UndefinedPair::Cause::NoCommonCoordinate;
    return pair;
}

std::optional<UndefinedPair> MetricSpace::FirstUndefinedPair() const {
    // Only a pair with a missing cell or a constant object can lack a
    // distance: whole objects have finite cells, whose differences and
    // products are numbers or infinities, never NaN.
    const std::vector<std::int64_t> &special = specialObjects_;
    if (special.empty()) return std::nullopt;
    auto undefined = [&](std::int64_t i, std::int64_t j) {
        if (constant_[i] || constant_[j]) return true;
        const double d = PartialPairDistance(metric_, Object(i), Object(j), coordinates_);
        return d != d;
    };
    for (std::int64_t i = 1; i < objects_; ++i) {
        if (missing_[i] || constant_[i]) {
            for (std::int64_t j = 0; j < i; ++j)
                if (undefined(i, j)) return Explain(i, j);
        } else {
            for (std::int64_t j : special) {
                if (j >= i) break;
                if (undefined(i, j)) return Explain(i, j);
            }
        }
    }
    return std::nullopt;
}

std::optional<UndefinedPair> MetricSpace::FirstUndefinedPairIn(const double *packed) const {
    if (missingObjects_ == 0 && std::find(constant_.begin(), constant_.end(), 1) == constant_.end())
        return std::nullopt;
    for (std::int64_t i = 1; i < objects_; ++i)
        for (std::int64_t j = 0; j < i; ++j)
            if (packed[(i - 1) * i / 2 + j] != packed[(i - 1) * i / 2 + j]) return Explain(i, j);
    return std::nullopt;
}
