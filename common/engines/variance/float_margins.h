// The float margins of the variance bounds: how far the float value
// varianceBis computes can lie from the exact criterion, with the rounding
// argument that gives them. Every interval the lazy engine rules pairs out
// with goes through these margins.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace variance_engine {

// Rounding to float after an operation in double: relative error at most
// kU (2^-24, with room for the earlier rounding to double), absolute error
// at most kTau in the subnormal range.
constexpr double kU = 0x1p-24 * (1.0 + 0x1p-20);
constexpr double kTau = 0x1p-150;
// Unit roundoff of double.
constexpr double kUd = 0x1p-53;

inline double Gamma(double k) { return k * kU / (1.0 - k * kU); }

// Bounds on the float value of a pair, computed from inner products.
//
// Notation: N members (the union of A and B), L lines, c the exact centroid
// of the union, D_k the exact distance of member k to c, V = (1/N) sum D_k
// the exact criterion. varianceBis computes, with every rounding of the
// text, a float V~; the bounds below hold V~, for any order of the members.
//
// (1) The centroid. Each coordinate is a running float sum of N cells, then
//     divided by N: |c~_l - c_l| <= gamma(N+1) * A_l + 2 tau, where A_l is the
//     mean of |cell| on line l over the members (recursive summation;
//     gamma(k) = k u / (1 - k u)). Since A = (1/N) sum |x_k| elementwise,
//     |A| <= (1/N) sum |x_k|, so e_c = |c~ - c| <= gamma(N+1) P / N +
//     2 tau sqrt(L), with P the sum of the members' norms (raw cells).
// (2) One distance. The rounded differences have norm within a factor
//     (1 +- u) of |c~ - x_k|, up to tau sqrt(L); their squares, summed in L
//     rounded steps, stay within (1 +- gamma(L)), up to L tau; the square
//     root and its rounding add a factor (1 +- u) and tau. So the float
//     distance d~_k lies in [k_lo (D_k - e_c) - alpha, k_hi (D_k + e_c) +
//     alpha], k_lo = (1-u)^2 sqrt(1-gamma(L)), k_hi = (1+u)^2
//     sqrt(1+gamma(L)), alpha = (1+u) sqrt(1+gamma(L)) (tau sqrt(L) +
//     sqrt((1+gamma(L)) L tau)) + tau (the absolute terms grow with the
//     sum and the square root like the rest).
// (3) The mean. N rounded additions of non-negative terms and one rounded
//     division: V~ >= (1-u)((1-gamma(N)) (k_lo (V - e_c) - alpha) - tau) -
//     tau, and V~ <= (1+u)((1+gamma(N)) (k_hi (V + e_c) + alpha) + tau) + tau.
//
//
// It remains to bound V: from inner products (gram_bounds.h) or from the
// clusters' centroids (centroid_bounds.h), both on the columns centred
// first (centred_columns.h).
//
// A cheaper interval needs no member: with D the distance of the two
// centroids and V_A, V_B the clusters' own criteria (mean distance of their
// members to their own centroid), the triangle inequality gives
//     V >= J = 2 |A| |B| D / N^2,   V >= M - J,   V <= M + J,
// M = (|A| V_A + |B| V_B) / N: the members of A pull c towards c_A by
// (|B| / N) D at most, and their displacements sum to |A| (c_A - c). V_A
// and V_B hold for the raw cells and D for the centred ones; the two D
// differ by at most omega, and J takes at most half of that (|A||B|/N^2 is
// at most 1/4), so subtracting omega once covers both.
//
// The arithmetic of the bounds themselves, in double, is covered by the
// relative margins 2^-40 and (N + 4) u_d added last, and where a subtraction
// cancels (the interval's start less e_c, M less J) or the lines are many
// (the raw norms, summed in double), by the slack left above: gamma(N + 1)
// where gamma(N) would do in e_c, and the 1% in omega. The bounds hold only
// for finite cells small enough that no float sum can overflow (every
// cell at most 1e12 in size) and for N u, L u well below 1: other tables use
// the engine that evaluates every pair exactly.
// The rounding of varianceBis, as margins between the exact criterion of a
// union of `total` members (P the sum of their raw norms) and its float
// value; see the derivation above.
class FloatMargins {
public:
    explicit FloatMargins(int32_t lines)
        : rootLines_(std::sqrt(static_cast<double>(lines))),
          alpha_((1.0 + kU) * std::sqrt(1.0 + Gamma(lines)) *
                     (kTau * rootLines_ + std::sqrt((1.0 + Gamma(lines)) * lines * kTau)) +
                 kTau),
          kLow_((1.0 - kU) * (1.0 - kU) * std::sqrt(1.0 - Gamma(lines))),
          kHigh_((1.0 + kU) * (1.0 + kU) * std::sqrt(1.0 + Gamma(lines))) {}

    // [low, high] holds the float value when [realLow, realHigh] holds the
    // exact criterion.
    void ToFloat(double total, double normSum, double realLow, double realHigh, double &low, double &high) const {
        const double ec = Centroid(total, normSum), gn = Gamma(total);
        low = (1.0 - kU) * ((1.0 - gn) * (kLow_ * (realLow - ec) - alpha_) - kTau) - kTau;
        high = (1.0 + kU) * ((1.0 + gn) * (kHigh_ * (realHigh + ec) + alpha_) + kTau) + kTau;
        low -= std::fabs(low) * 0x1p-40;
        high += std::fabs(high) * 0x1p-40;
    }

    // The converse: [realLow, realHigh] holds the exact criterion of a union
    // whose float value is v (both maps above are increasing).
    void FromFloat(double total, double normSum, double v, double &realLow, double &realHigh) const {
        const double ec = Centroid(total, normSum), gn = Gamma(total);
        realHigh = ((((v + kTau) / (1.0 - kU) + kTau) / (1.0 - gn) + alpha_) / kLow_ + ec) * (1.0 + 0x1p-40);
        realLow = ((((v - kTau) / (1.0 + kU) - kTau) / (1.0 + gn) - alpha_) / kHigh_ - ec);
        realLow = std::max(0.0, realLow - std::fabs(realLow) * 0x1p-40);
    }

    double alpha() const { return alpha_; }
    double kLow() const { return kLow_; }
    double kHigh() const { return kHigh_; }
    double centroidFloor() const { return 2.0 * kTau * rootLines_; }

private:
    // e_c, the distance of the float centroid from the exact one.
    double Centroid(double total, double normSum) const {
        return Gamma(total + 1.0) * normSum / total + 2.0 * kTau * rootLines_;
    }

    double rootLines_, alpha_, kLow_, kHigh_;
};

// The cheap interval (see above) of a fixed cluster x against many others
// at once, from the squared distance d2[k] of the two centroids, known to
// within e2 (and the distance then to within e1): the same arithmetic as
// FloatMargins::ToFloat, laid out so that it vectorises.
struct CheapFixed {
    double size, ownLow, ownHigh, normSum;  // of cluster x
    double e2, e1, omega;
    double alpha, kLow, kHigh, centroidFloor;
};
void CheapMany(const CheapFixed &f, int32_t count, const double *d2, const double *size, const double *ownLow, const double *ownHigh, const double *normSum, double *low, double *high);

}  // namespace variance_engine
