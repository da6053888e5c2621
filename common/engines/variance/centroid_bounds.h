// Bounds of the variance criterion from the clusters' centroids, kept in
// double: the Bounds of the lazy engine for tables of many columns and few
// lines, where no table of inner products fits.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "base/parallel.h"
#include "engines/variance/centred_columns.h"
#include "engines/variance/float_margins.h"
#include "model/table.h"

namespace variance_engine {

// Squared distances of one centroid to a range of others, stored line by
// line (coordinate l of centroid y at c[l * stride + y]).
void Squares(const float *c, int64_t stride, int32_t lines, const double *x, int32_t begin, int32_t end, double *d2);

// Sum over `count` columns, stored one after another, of their distance to
// a double point, each squared distance in eight partial sums so that it
// vectorises; only bounds use it, and they allow for any order of the
// additions.
double DistanceSum(const float *cells, int32_t lines, int32_t count, const double *c);

// Distances of a block of `members` columns, stored one after another, to
// `count` double points at once (coordinate l of point k at
// points[l * count + k]): sums[k] += the distance of each column to point k,
// the columns in block order, each squared distance summed over the lines
// in order. Only bounds use it.
void ToPoints(const float *cells, int32_t lines, int32_t members, const double *points, int32_t count, double *d2, double *sums);

// Intervals from the clusters' centroids, kept in double, for tables of
// many columns and few lines (no table of inner products). A centroid is the
// weighted mean of its two parts' centroids: each merge moves a coordinate
// by at most 3 u_d times the largest centred cell from its exact value, so
// after at most n merges a centroid is within 3 n u_d sqrt(L) times that
// cell; a distance computed from it in double errs by at most (L + 4) u_d of
// twice G more. The scans read the centroids rounded to float: that moves
// each by at most u times its norm, at most G. A cluster's own criterion
// comes from its merge value through the margins' converse.
class CentroidBounds {
public:
    CentroidBounds(TableData table, TwoWayLoop &)
        : n_(table.columns),
          lines_(table.lines),
          columns_(table),
          margins_(table.lines),
          centroid_(static_cast<int64_t>(n_) * lines_),
          lineMajor_(static_cast<int64_t>(n_) * lines_),
          squares_(n_),
          normSum_(columns_.raw),
          ownLow_(n_, 0.0),
          ownHigh_(n_, 0.0),
          block_(n_) {
        for (int32_t y = 0; y < n_; ++y) block_[y].assign(columns_.Column(y), columns_.Column(y) + lines_);
        for (int64_t k = 0; k < static_cast<int64_t>(centroid_.size()); ++k) centroid_[k] = columns_.cells[k];
        std::vector<float>().swap(columns_.cells);
        for (int32_t y = 0; y < n_; ++y)
            for (int32_t l = 0; l < lines_; ++l)
                lineMajor_[static_cast<int64_t>(l) * n_ + y] = static_cast<float>(Centroid(y)[l]);
        const double root = std::sqrt(static_cast<double>(lines_));
        drift_ = ((3.0 * n_ + 3.0) * root * columns_.largestCell + 2.0 * (lines_ + 4.0) * columns_.largestNorm) *
                 kUd * 1.01;
        copy_ = kU * (columns_.largestNorm + drift_) * 1.01;
    }

    void Merge(int32_t into, int32_t intoSize, int32_t from, int32_t fromSize, const std::vector<int32_t> &,
               float value) {
        double *a = Centroid(into);
        const double *b = Centroid(from);
        const double total = static_cast<double>(intoSize) + fromSize;
        for (int32_t l = 0; l < lines_; ++l) {
            a[l] = (intoSize * a[l] + fromSize * b[l]) / total;
            lineMajor_[static_cast<int64_t>(l) * n_ + into] = static_cast<float>(a[l]);
        }
        normSum_[into] += normSum_[from];
        margins_.FromFloat(total, normSum_[into], value, ownLow_[into], ownHigh_[into]);
        // The larger block takes the smaller one's columns: each column is
        // copied at most log2(n) times in all.
        if (block_[from].size() > block_[into].size()) block_[into].swap(block_[from]);
        block_[into].insert(block_[into].end(), block_[from].begin(), block_[from].end());
        std::vector<float>().swap(block_[from]);
        if (!packedAt_.empty() && packedAt_[into] >= 0) Repack(into);
    }

    // A packed copy, for a list of slots in increasing order, of what the
    // cheap intervals read of each cluster, kept current by Merge for the
    // slots listed, so that a scan over live clusters reads no dead one. A
    // packed interval is the same arithmetic on the same values as the one
    // by slot: the same bits.
    void Pack(const std::vector<int32_t> &slots) {
        const int32_t m = static_cast<int32_t>(slots.size());
        packedAt_.assign(n_, -1);
        packed_ = m;
        packedCentroid_.resize(static_cast<size_t>(m) * lines_);
        packedOwnLow_.resize(m);
        packedOwnHigh_.resize(m);
        packedNormSum_.resize(m);
        for (int32_t k = 0; k < m; ++k) {
            packedAt_[slots[k]] = k;
            Repack(slots[k]);
        }
    }

    // CheapRangeInto over the packed positions [begin, end): low[k] and
    // high[k] for the cluster at position k.
    void CheapPackedInto(double *squares, int32_t x, double size, int32_t begin, int32_t end, const double *sizes,
                         double *low, double *high) const {
        Squares(packedCentroid_.data(), packed_, lines_, Centroid(x), begin, end, squares);
        CheapMany(Fixed(x, size), end - begin, squares + begin, sizes + begin, packedOwnLow_.data() + begin,
                  packedOwnHigh_.data() + begin, packedNormSum_.data() + begin, low + begin, high + begin);
    }


    // The work of refining pairs of `members` members in all.
    int64_t FineWork(int64_t members) const { return members * lines_; }

    // The fine intervals of the pairs (x, ys[k]), k < count, narrowing
    // low[y] and high[y]: each member's distance to the union's centroid,
    // summed. x's block is read once for a group of partners, its distances
    // to their union centroids taken side by side.
    void FineMany(int32_t x, const std::vector<int32_t> &mx, const int32_t *ys, int64_t count,
                  const std::vector<std::vector<int32_t>> &members, double *low, double *high) const {
        constexpr int32_t kGroup = 64, kAhead = 6;
        thread_local std::vector<double> lineMajor, points, d2, sums;
        lineMajor.resize(static_cast<size_t>(lines_) * kGroup);
        points.resize(static_cast<size_t>(lines_) * kGroup);
        d2.resize(kGroup);
        sums.resize(kGroup);
        const double sa = static_cast<double>(mx.size());
        const double *cx = Centroid(x);
        for (int64_t k0 = 0; k0 < count; k0 += kGroup) {
            const int32_t g = static_cast<int32_t>(std::min<int64_t>(kGroup, count - k0));
            // The partners lie anywhere: their centroids and blocks are
            // asked for ahead.
            for (int32_t k = 0; k < g && k < kAhead; ++k) Prefetch(ys[k0 + k]);
            for (int32_t k = 0; k < g; ++k) {
                const int32_t y = ys[k0 + k];
                if (k + kAhead < g) Prefetch(ys[k0 + k + kAhead]);
                const double sb = static_cast<double>(members[y].size()), total = sa + sb;
                const double a = sa / total, b = sb / total;
                const double *cy = Centroid(y);
                double *point = points.data() + static_cast<int64_t>(k) * lines_;
                for (int32_t l = 0; l < lines_; ++l) {
                    point[l] = a * cx[l] + b * cy[l];
                    lineMajor[static_cast<int64_t>(l) * g + k] = point[l];
                }
                sums[k] = 0.0;
            }
            ToPoints(block_[x].data(), lines_, static_cast<int32_t>(mx.size()), lineMajor.data(), g, d2.data(),
                     sums.data());
            for (int32_t k = 0; k < g; ++k) {
                const int32_t y = ys[k0 + k];
                const double sb = static_cast<double>(members[y].size()), total = sa + sb;
                const double sum = sums[k] + DistanceSum(block_[y].data(), lines_, static_cast<int32_t>(sb),
                                                         points.data() + static_cast<int64_t>(k) * lines_);
                const double mean = sum / total;
                const double realLow = mean * (1.0 - (total + 4.0) * 2.0 * kUd) - drift_ - columns_.omega;
                const double realHigh = mean * (1.0 + (total + 4.0) * 2.0 * kUd) + drift_ + columns_.omega;
                double fineLow, fineHigh;
                margins_.ToFloat(total, normSum_[x] + normSum_[y], realLow, realHigh, fineLow, fineHigh);
                low[y] = std::max(low[y], fineLow);
                high[y] = std::min(high[y], fineHigh);
            }
        }
    }

    // Cheap(x, y) for every y in [begin, end): low[y], high[y] (anything for
    // clusters that are not live).
    void CheapRange(int32_t x, const std::vector<int32_t> &mx, int32_t begin, int32_t end, const double *sizes,
                    const std::vector<std::vector<int32_t>> &, const unsigned char *, double *low, double *high) {
        CheapRangeInto(squares_.data(), x, static_cast<double>(mx.size()), begin, end, sizes, low, high);
    }

    // The same, with the caller's room for the squared distances (indexed
    // like low and high), so that two threads can take two clusters at
    // once. Every pair's interval is computed alone, by the same arithmetic
    // wherever it falls in the range: the same bits for the same clusters.
    void CheapRangeInto(double *squares, int32_t x, double size, int32_t begin, int32_t end, const double *sizes,
                        double *low, double *high) const {
        Squares(lineMajor_.data(), n_, lines_, Centroid(x), begin, end, squares);
        CheapMany(Fixed(x, size), end - begin, squares + begin, sizes + begin, ownLow_.data() + begin,
                  ownHigh_.data() + begin, normSum_.data() + begin, low + begin, high + begin);
    }

private:
    CheapFixed Fixed(int32_t x, double size) const {
        return CheapFixed{size,          ownLow_[x],       ownHigh_[x],     normSum_[x],
                          0.0,           2.0 * drift_ + copy_, columns_.omega, margins_.alpha(),
                          margins_.kLow(), margins_.kHigh(),  margins_.centroidFloor()};
    }
    // Copies slot y's state to its packed position.
    void Repack(int32_t y) {
        const int32_t k = packedAt_[y];
        for (int32_t l = 0; l < lines_; ++l)
            packedCentroid_[static_cast<int64_t>(l) * packed_ + k] = lineMajor_[static_cast<int64_t>(l) * n_ + y];
        packedOwnLow_[k] = ownLow_[y];
        packedOwnHigh_[k] = ownHigh_[y];
        packedNormSum_[k] = normSum_[y];
    }
    // Asks for the first lines of cluster y's centroid and block.
    void Prefetch(int32_t y) const {
        const char *c = reinterpret_cast<const char *>(Centroid(y));
        const char *b = reinterpret_cast<const char *>(block_[y].data());
        for (int at = 0; at < 256; at += 64) {
            __builtin_prefetch(c + at);
            __builtin_prefetch(b + at);
        }
    }
    double *Centroid(int32_t x) { return centroid_.data() + static_cast<int64_t>(x) * lines_; }
    const double *Centroid(int32_t x) const { return centroid_.data() + static_cast<int64_t>(x) * lines_; }

    int32_t n_, lines_;
    CentredColumns columns_;
    FloatMargins margins_;
    std::vector<double> centroid_;   // centroid x at [x * lines + l]
    std::vector<float> lineMajor_;   // the same rounded to float, at [l * n + x]
    std::vector<double> squares_;
    std::vector<double> normSum_;
    std::vector<double> ownLow_, ownHigh_;
    // Each cluster's members' centred columns, one after another, in any
    // order: the refinement reads them in one stream.
    std::vector<std::vector<float>> block_;
    double drift_ = 0.0, copy_ = 0.0;
    // The packed copy (Pack): position by slot (-1 when not listed), and
    // the float centroids at [l * packed + k].
    std::vector<int32_t> packedAt_;
    int32_t packed_ = 0;
    std::vector<float> packedCentroid_;
    std::vector<double> packedOwnLow_, packedOwnHigh_, packedNormSum_;
};

}  // namespace variance_engine
