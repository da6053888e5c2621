// The span evaluator: varianceBis of one cluster's list against a batch of
// others, for tables of many lines, bit for bit.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/parallel.h"
#include "base/utils.h"
#include "engines/variance/exact_evaluator.h"
#include "model/table.h"

namespace variance_engine {

// Exact varianceBis of one cluster's list (first) against the lists of a
// batch of other clusters, for tables of many lines: every member-to-centroid
// distance is one lane, and the lines are walked in spans short enough for
// the lanes' centroid and member cells to stay in cache, each lane's running
// float sum carried from span to span. Every value is rounded where
// varianceBis rounds it and every sum is taken in its order (the lines of one
// distance, the members of one union), so the bits are those of varianceBis.
constexpr int32_t kSpan = 128;        // lines per span
constexpr int32_t kLaneBlock = 256;   // own-member lanes gathered together
constexpr int32_t kBatchLanes = 4096; // own-member lanes of one batch of candidates
constexpr int32_t kBatchCandidates = 64;

// Lane kernels (span_evaluator.cpp).
void Span(const float *c, const float *x, int32_t lines, int32_t width, float *sums);
void SpanBroadcast(const float *c, const float *x, int32_t lines, int32_t width, float *sums);

class SpanEvaluator {
public:
    SpanEvaluator(TableData table, TwoWayLoop &loop)
        : lines_(table.lines),
          columns_(static_cast<int64_t>(table.columns) * table.lines),
          first_(table.lines),
          loop_(loop) {
        for (int32_t l = 0; l < lines_; ++l)
            for (int32_t m = 0; m < table.columns; ++m)
                columns_[static_cast<int64_t>(m) * lines_ + l] = elementAt(l, m, table);
    }

    // out[k] = varianceBis(a, others[k]).
    void Evaluate(const std::vector<int32_t> &a, const std::vector<const std::vector<int32_t> *> &others,
                  float *out) {
        // The first list's part of every centroid sum, in list order.
        std::fill(first_.begin(), first_.end(), 0.0f);
        for (int32_t m : a) AddColumns(first_.data(), Column(m), lines_, &zero_, 1);
        // Batches of candidates; the two threads take alternate batches, and
        // each candidate's value is computed alone, so the split changes
        // nothing in the results.
        batches_.clear();
        const int32_t count = static_cast<int32_t>(others.size());
        const int32_t perBatch = count < 2 * kBatchCandidates ? (count + 1) / 2 : kBatchCandidates;
        for (int32_t k0 = 0; k0 < count;) {
            int32_t k1 = k0;
            int64_t lanes = 0;
            while (k1 < count && k1 - k0 < perBatch &&
                   (k1 == k0 || lanes + static_cast<int64_t>(others[k1]->size()) <= kBatchLanes))
                lanes += static_cast<int64_t>(others[k1++]->size());
            batches_.push_back({k0, k1});
            k0 = k1;
        }
        const int64_t work = static_cast<int64_t>(lines_) * (static_cast<int64_t>(a.size()) + 1) * count;
        auto half = [&](int64_t, int64_t, int part) {
            for (size_t b = part; b < batches_.size(); b += 2)
                Batch(scratch_[part], a, others.data() + batches_[b].first, batches_[b].second - batches_[b].first,
                      out + batches_[b].first);
        };
        const int64_t nb = static_cast<int64_t>(batches_.size());
        loop_.Run(nb, nb / 2, work < 200000 ? nb + 1 : 2, half);
    }

private:
    struct Scratch {
        std::vector<float> sum, totals, firstSums, ownSums, centroids, centroidLanes, memberLanes;
        std::vector<int32_t> laneOf;
        std::vector<const float *> column;
    };

    const float *Column(int32_t m) const { return columns_.get() + static_cast<int64_t>(m) * lines_; }

    void Batch(Scratch &w, const std::vector<int32_t> &a, const std::vector<int32_t> *const *lists, int32_t h,
               float *out) const {
        const int32_t na = static_cast<int32_t>(a.size());
        // Own-member lanes, candidate after candidate, each in list order.
        w.laneOf.clear();
        w.column.clear();
        w.totals.resize(h);
        for (int32_t k = 0; k < h; ++k) {
            w.totals[k] = static_cast<float>(a.size() + lists[k]->size());
            for (int32_t m : *lists[k]) {
                w.laneOf.push_back(k);
                w.column.push_back(Column(m));
            }
        }
        const int32_t lanes = static_cast<int32_t>(w.laneOf.size());
        // Member m of a against candidate k at [m * h + k], or at [k * na + m]
        // when the members are the lanes.
        const bool membersAsLanes = na > h;
        w.firstSums.assign(static_cast<size_t>(na) * h, 0.0f);
        w.ownSums.assign(lanes, 0.0f);
        w.centroids.resize(static_cast<size_t>(kSpan) * h);
        w.centroidLanes.resize(static_cast<size_t>(kSpan) * kLaneBlock);
        w.memberLanes.resize(static_cast<size_t>(kSpan) * kLaneBlock);
        w.sum.resize(kSpan);
        for (int32_t l0 = 0; l0 < lines_; l0 += kSpan) {
            const int32_t span = lines_ - l0 < kSpan ? lines_ - l0 : kSpan;
            // Each candidate's centroid over the span: the first list's sum,
            // then its own members in list order, divided by the total.
            for (int32_t k = 0; k < h; ++k) {
                std::copy(first_.begin() + l0, first_.begin() + l0 + span, w.sum.begin());
                for (int32_t m : *lists[k]) AddColumns(w.sum.data(), Column(m) + l0, span, &zero_, 1);
                for (int32_t l = 0; l < span; ++l)
                    w.centroids[static_cast<size_t>(l) * h + k] = w.sum[l] / w.totals[k];
            }
            // The first list's members against every candidate's centroid:
            // lanes across candidates, or, when the members outnumber them,
            // across the members, whose cells over the span are gathered once.
            if (membersAsLanes) {
                for (int32_t m0 = 0; m0 < na; m0 += kLaneBlock) {
                    const int32_t width = na - m0 < kLaneBlock ? na - m0 : kLaneBlock;
                    for (int32_t l = 0; l < span; ++l) {
                        float *x = w.memberLanes.data() + static_cast<size_t>(l) * width;
                        for (int32_t p = 0; p < width; ++p) x[p] = Column(a[m0 + p])[l0 + l];
                    }
                    for (int32_t k = 0; k < h; ++k) {
                        for (int32_t l = 0; l < span; ++l) w.sum[l] = w.centroids[static_cast<size_t>(l) * h + k];
                        // (x - c) squared is (c - x) squared: rounding is
                        // symmetric.
                        SpanBroadcast(w.memberLanes.data(), w.sum.data(), span, width,
                                      w.firstSums.data() + static_cast<size_t>(k) * na + m0);
                    }
                }
            } else {
                for (int32_t m = 0; m < na; ++m)
                    SpanBroadcast(w.centroids.data(), Column(a[m]) + l0, span, h,
                                  w.firstSums.data() + static_cast<size_t>(m) * h);
            }
            // Each candidate's own members against its centroid.
            for (int32_t p0 = 0; p0 < lanes; p0 += kLaneBlock) {
                const int32_t width = lanes - p0 < kLaneBlock ? lanes - p0 : kLaneBlock;
                for (int32_t l = 0; l < span; ++l) {
                    float *c = w.centroidLanes.data() + static_cast<size_t>(l) * width;
                    float *x = w.memberLanes.data() + static_cast<size_t>(l) * width;
                    const float *row = w.centroids.data() + static_cast<size_t>(l) * h;
                    for (int32_t p = 0; p < width; ++p) {
                        c[p] = row[w.laneOf[p0 + p]];
                        x[p] = w.column[p0 + p][l0 + l];
                    }
                }
                Span(w.centroidLanes.data(), w.memberLanes.data(), span, width, w.ownSums.data() + p0);
            }
        }
        // Distances summed per candidate, the first list's members first,
        // then the mean.
        auto distance = [](float squares) { return static_cast<float>(std::sqrt(static_cast<double>(squares))); };
        for (int32_t p = 0, k = 0; k < h; ++k) {
            float s = 0.0f;
            for (int32_t m = 0; m < na; ++m)
                s += distance(w.firstSums[membersAsLanes ? static_cast<size_t>(k) * na + m : static_cast<size_t>(m) * h + k]);
            for (; p < lanes && w.laneOf[p] == k; ++p) s += distance(w.ownSums[p]);
            out[k] = s / w.totals[k];
        }
    }

    int32_t lines_;
    Block<float> columns_;
    std::vector<float> first_;
    TwoWayLoop &loop_;
    Scratch scratch_[2];
    std::vector<std::pair<int32_t, int32_t>> batches_;
    const int32_t zero_ = 0;
};

}  // namespace variance_engine
