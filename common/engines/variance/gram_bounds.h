// Bounds of the variance criterion from inner products: the columns'
// products with every live cluster's centroid (a table of n^2 doubles),
// kept up to date merge by merge. The Bounds of the lazy engine for tables
// of up to kBoundedColumns columns.
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

// On the centred columns x' (inner products exact in
// double but for their sums), with a = |A| / N, b = |B| / N:
//     c = a c_A + b c_B,  |c|^2 = a^2 |c_A|^2 + 2ab <c_A, c_B> + b^2 |c_B|^2,
//     D_k^2 = |x_k|^2 - 2 (a <x_k, c_A> + b <x_k, c_B>) + |c|^2,
// from the table ip[Y][x] = <x, c_Y> over every column x and live cluster Y.
// A cluster's row is the size-weighted mean of its two parts' rows.
// Every inner product is at most G^2 in size (G the largest centred norm,
// as every centroid is a mean of columns): the Gram sums err by at most
// L u_d G^2, each merge's weighted mean adds 3 u_d G^2 to the error of the
// rows it mixes, and a cluster's row has been through fewer merges than it
// has members. The sums and products above add (n + 40) u_d G^2 in all, so
// D_k^2 is known to within e_q = (4 (L + 3n) + n + 40) u_d G^2 (with 1% to
// spare); so is the squared distance of two centroids, |c_A|^2 + |c_B|^2 -
// 2 <c_A, c_B>, whose four inner products and averages err by at most
// (4 L + 11 n) u_d G^2 together. Hence D_k lies in [sqrt(max(0, D^_k^2 -
// e_q)), sqrt(D^_k^2 + e_q)], and the mean of these is within sqrt(e_q) of
// the mean of sqrt(max(0, D^_k^2)), the square root being subadditive.

// Gram matrix of the centred columns, in double: g[a * n + b] = <x_a, x_b>.
// Blocked over lines and columns; the order of the additions is free, since
// only the bounds use it and they allow for any order.
// columns: n columns of `lines` floats each, column k at columns[k * lines].
void ComputeGram(const float *columns, int32_t n, int32_t lines, double *g, TwoWayLoop &loop);

// sum over the listed members m of sqrt(max(0, |x_m|^2 - 2 (a <x_m, c_A> +
// b <x_m, c_B>) + |c|^2)): the estimated distances of the members to the
// union's centroid. Eight partial sums, so the loop vectorises; only bounds
// use it, and they allow for any order of the additions.
double RootSum(const int32_t *list, int32_t count, const double *self, const double *ra, const double *rb, double a, double b, double cc);

class PairBounds {
public:
    PairBounds(TableData table, TwoWayLoop &loop)
        : n_(table.columns),
          lines_(table.lines),
          margins_(table.lines),
          ip_(static_cast<int64_t>(n_) * n_),
          self_(n_),
          squares_(n_) {
        const CentredColumns columns(table);
        ComputeGram(columns.cells.data(), n_, lines_, ip_.data(), loop);
        for (int32_t x = 0; x < n_; ++x) self_[x] = ip_[static_cast<int64_t>(x) * n_ + x];
        // G bounds every centred norm, the Gram sums' error allowed for.
        const double g = columns.largestNorm;
        const double g2 = g * g * (1.0 + 0x1p-40);
        eq_ = (4.0 * (lines_ + 3.0 * n_) + n_ + 40.0) * kUd * g2 * 1.01;
        rootEq_ = std::sqrt(eq_) * (1.0 + 0x1p-40);
        omega_ = columns.omega;
        normSum_ = columns.raw;
        // Initially cluster x is the single column x: ip[x][.] is row x of
        // the Gram matrix, its centroid's squared norm its own.
        centroidSquare_ = self_;
        ownLow_.assign(n_, 0.0);
        ownHigh_.assign(n_, 0.0);
    }

    // True when the bounds hold for this table.
    static bool Applies(TableData table) {
        const int64_t cells = static_cast<int64_t>(table.lines) * table.columns;
        for (int64_t k = 0; k < cells; ++k)
            if (!(std::fabs(table.values[k]) <= 1.0e12f)) return false;
        return table.lines * kU < 1.0e-2 && table.columns * kU < 1.0e-2;
    }

    // Cluster `into` (members `list`, `intoSize` of them before the merge)
    // absorbs cluster `from`.
    void Merge(int32_t into, int32_t intoSize, int32_t from, int32_t fromSize, const std::vector<int32_t> &list,
               float) {
        double *a = Row(into);
        const double *b = Row(from);
        const double total = static_cast<double>(intoSize) + fromSize;
        for (int32_t x = 0; x < n_; ++x) a[x] = (intoSize * a[x] + fromSize * b[x]) / total;
        double s = 0.0;
        for (int32_t x : list) s += a[x];
        centroidSquare_[into] = s / total;
        normSum_[into] += normSum_[from];
        // The new cluster's own criterion, from its members alone.
        double low = 0.0, high = 0.0;
        for (int32_t x : list) {
            const double q = self_[x] - 2.0 * a[x] + centroidSquare_[into];
            low += std::sqrt(std::max(0.0, q - eq_));
            high += std::sqrt(std::max(0.0, q + eq_));
        }
        ownLow_[into] = std::max(0.0, low / total * (1.0 - (total + 4.0) * 2.0 * kUd) - omega_);
        ownHigh_[into] = high / total * (1.0 + (total + 4.0) * 2.0 * kUd) + omega_;
    }


    // Interval of the float value of the pair from every member's distance.
    void Fine(int32_t x, const std::vector<int32_t> &mx, int32_t y, const std::vector<int32_t> &my, double &low,
              double &high) const {
        const double sa = static_cast<double>(mx.size()), sb = static_cast<double>(my.size()), total = sa + sb;
        const double a = sa / total, b = sb / total;
        const double cross = Cross(x, mx, y, my);
        const double cc = a * a * centroidSquare_[x] + 2.0 * a * b * cross + b * b * centroidSquare_[y];
        const double *rx = Row(x), *ry = Row(y);
        // Each D_k^2 is within e_q of its estimate q, so D_k is within
        // sqrt(e_q) of sqrt(max(0, q)) (the square root is subadditive).
        const double roots = RootSum(mx.data(), static_cast<int32_t>(mx.size()), self_.data(), rx, ry, a, b, cc) +
                             RootSum(my.data(), static_cast<int32_t>(my.size()), self_.data(), rx, ry, a, b, cc);
        const double mean = roots / total;
        const double realLow = mean * (1.0 - (total + 4.0) * 2.0 * kUd) - rootEq_ - omega_;
        const double realHigh = (mean + rootEq_) * (1.0 + (total + 4.0) * 2.0 * kUd) + omega_;
        ToFloat(x, y, total, realLow, realHigh, low, high);
    }

    // The work of refining pairs of `members` members in all: each member
    // costs a few gathered inner products and a square root, about what 64
    // subtractions cost.
    static int64_t FineWork(int64_t members) { return 64 * members; }

    // Fine for the pairs (x, ys[k]), k < count, narrowing low[y] and high[y].
    void FineMany(int32_t x, const std::vector<int32_t> &mx, const int32_t *ys, int64_t count,
                  const std::vector<std::vector<int32_t>> &members, double *low, double *high) const {
        for (int64_t k = 0; k < count; ++k) {
            const int32_t y = ys[k];
            double fineLow, fineHigh;
            Fine(x, mx, y, members[y], fineLow, fineHigh);
            low[y] = std::max(low[y], fineLow);
            high[y] = std::min(high[y], fineHigh);
        }
    }

    // Cheap(x, y) for every y in [begin, end): low[y], high[y] (anything for
    // clusters that are not live).
    void CheapRange(int32_t x, const std::vector<int32_t> &mx, int32_t begin, int32_t end, const double *sizes,
                    const std::vector<std::vector<int32_t>> &members, const unsigned char *live, double *low,
                    double *high) {
        for (int32_t y = begin; y < end; ++y)
            squares_[y] = live[y] ? centroidSquare_[x] + centroidSquare_[y] - 2.0 * Cross(x, mx, y, members[y]) : 0.0;
        const CheapFixed f{static_cast<double>(mx.size()), ownLow_[x], ownHigh_[x], normSum_[x], eq_, 0.0, omega_,
                           margins_.alpha(), margins_.kLow(), margins_.kHigh(), margins_.centroidFloor()};
        CheapMany(f, end - begin, squares_.data() + begin, sizes + begin, ownLow_.data() + begin,
                  ownHigh_.data() + begin, normSum_.data() + begin, low + begin, high + begin);
    }

private:
    double *Row(int32_t y) { return ip_.data() + static_cast<int64_t>(y) * n_; }
    const double *Row(int32_t y) const { return ip_.data() + static_cast<int64_t>(y) * n_; }

    // <c_x, c_y>, summed over the smaller list.
    double Cross(int32_t x, const std::vector<int32_t> &mx, int32_t y, const std::vector<int32_t> &my) const {
        const bool xSmaller = mx.size() <= my.size();
        const double *row = Row(xSmaller ? y : x);
        const std::vector<int32_t> &list = xSmaller ? mx : my;
        // Four partial sums, so that the loads overlap; the bounds allow for
        // any order of the additions.
        const int32_t *m = list.data();
        const size_t count = list.size();
        double s[4] = {};
        size_t k = 0;
        for (; k + 4 <= count; k += 4)
            for (int t = 0; t < 4; ++t) s[t] += row[m[k + t]];
        for (; k < count; ++k) s[0] += row[m[k]];
        return ((s[0] + s[1]) + (s[2] + s[3])) / static_cast<double>(count);
    }

    void ToFloat(int32_t x, int32_t y, double total, double realLow, double realHigh, double &low,
                 double &high) const {
        margins_.ToFloat(total, normSum_[x] + normSum_[y], realLow, realHigh, low, high);
    }

    int32_t n_, lines_;
    FloatMargins margins_;
    std::vector<double> ip_;              // ip_[y * n + x] = <x, c_y>, centred
    std::vector<double> self_;            // |x|^2, centred
    std::vector<double> centroidSquare_;  // |c_y|^2, centred
    std::vector<double> normSum_;         // sum of the members' raw norms
    std::vector<double> ownLow_, ownHigh_;  // the cluster's own exact criterion
    double eq_ = 0.0, rootEq_ = 0.0, omega_ = 0.0;
    std::vector<double> squares_;
};

}  // namespace variance_engine
