#include "kernels/missing_cells.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

namespace {

constexpr double kUndefined = std::numeric_limits<double>::quiet_NaN();

double Minkowski(Metric metric, const double *x, const double *y, int64_t m) {
    double sum = 0.0;
    int64_t present = 0;
    for (int64_t k = 0; k < m; ++k) {
        if (x[k] != x[k] || y[k] != y[k]) continue;
        const double d = std::fabs(x[k] - y[k]);
        if (metric == Metric::Chebyshev) sum = sum > d ? sum : d;
        else sum += metric == Metric::CityBlock ? d : d * d;
        ++present;
    }
    if (present == 0) return kUndefined;
    if (metric != Metric::Chebyshev && present != m) sum /= static_cast<double>(present) / static_cast<double>(m);
    return metric == Metric::Euclidean ? std::sqrt(sum) : sum;
}

bool AllEqual(const double *x, int64_t n) {
    for (int64_t k = 1; k < n; ++k)
        if (x[k] != x[0]) return false;
    return true;
}

// r of the values (centred unless cosine), NaN without length.
double PearsonOrCosine(Metric metric, std::vector<double> &x, std::vector<double> &y) {
    const int64_t n = static_cast<int64_t>(x.size());
    if (metric != Metric::Cosine) {
        // A constant has no variance, whatever the rounding of its mean.
        if (AllEqual(x.data(), n) || AllEqual(y.data(), n)) return kUndefined;
        double sx = 0.0, sy = 0.0;
        for (int64_t k = 0; k < n; ++k) sx += x[k], sy += y[k];
        const double mx = sx / static_cast<double>(n), my = sy / static_cast<double>(n);
        for (int64_t k = 0; k < n; ++k) x[k] -= mx, y[k] -= my;
    }
    double sxx = 0.0, syy = 0.0, sxy = 0.0;
    for (int64_t k = 0; k < n; ++k) {
        sxx += x[k] * x[k];
        syy += y[k] * y[k];
        sxy += x[k] * y[k];
    }
    if (!(sxx > 0.0) || !(syy > 0.0)) return kUndefined;
    return sxy / (std::sqrt(sxx) * std::sqrt(syy));
}

}  // namespace

double PartialPairDistance(Metric metric, const double *x, const double *y, int64_t coordinates) {
    if (!IsCorrelationFamily(metric)) return Minkowski(metric, x, y, coordinates);
    std::vector<double> a, b;
    for (int64_t k = 0; k < coordinates; ++k) {
        if (x[k] != x[k] || y[k] != y[k]) continue;
        a.push_back(x[k]);
        b.push_back(y[k]);
    }
    if (a.empty()) return kUndefined;
    if (metric == Metric::Spearman) {
        std::vector<double> ra(a.size()), rb(b.size());
        AverageRanks(a.data(), static_cast<int64_t>(a.size()), ra.data());
        AverageRanks(b.data(), static_cast<int64_t>(b.size()), rb.data());
        a.swap(ra);
        b.swap(rb);
    }
    const double r = PearsonOrCosine(metric, a, b);
    return r != r ? kUndefined : CorrelationDistance(metric, r);
}

void AverageRanks(const double *x, int64_t count, double *ranks) {
    std::vector<int64_t> order(static_cast<size_t>(count));
    std::iota(order.begin(), order.end(), int64_t{0});
    std::stable_sort(order.begin(), order.end(), [x](int64_t a, int64_t b) { return x[a] < x[b]; });
    for (int64_t first = 0; first < count;) {
        int64_t last = first + 1;
        while (last < count && x[order[last]] == x[order[first]]) ++last;
        // Ranks first + 1 .. last share their average.
        const double rank = 0.5 * static_cast<double>(first + 1 + last);
        for (int64_t k = first; k < last; ++k) ranks[order[k]] = rank;
        first = last;
    }
}

bool PrepareForCorrelation(Metric metric, double *x, int64_t m) {
    if (metric == Metric::Spearman) {
        std::vector<double> ranks(static_cast<size_t>(m));
        AverageRanks(x, m, ranks.data());
        std::copy(ranks.begin(), ranks.end(), x);
    }
    if (metric != Metric::Cosine) {
        if (AllEqual(x, m)) return false;
        double sum = 0.0;
        for (int64_t k = 0; k < m; ++k) sum += x[k];
        const double mean = sum / static_cast<double>(m);
        for (int64_t k = 0; k < m; ++k) x[k] -= mean;
    }
    // Scaled by the largest magnitude first, so that the squares neither
    // overflow nor vanish.
    double largest = 0.0;
    for (int64_t k = 0; k < m; ++k) largest = std::max(largest, std::fabs(x[k]));
    if (!(largest > 0.0)) return false;
    double squares = 0.0;
    for (int64_t k = 0; k < m; ++k) {
        x[k] /= largest;
        squares += x[k] * x[k];
    }
    const double length = std::sqrt(squares);
    for (int64_t k = 0; k < m; ++k) x[k] /= length;
    return true;
}
