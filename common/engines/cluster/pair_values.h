// What the matrix engines store per pair and how a linkage turns that into
// the value it compares, for the linkages that keep more than a distance.
//
// Every value compared is ONE rounding of a quantity that sums (or halves)
// the given values exactly whenever they are small integers. Two pairs that
// tie in exact arithmetic then tie in the engine whatever the order in which
// clusters were merged, and a merge can never make a pair compare below
// both pairs it came from where exact arithmetic would not (rounding is
// monotone). That keeps the nearest-neighbour chain on the tree of the tie
// rule.
//   average:  S(A,B) = sum of the distances between members;
//             value S / (|A| |B|).
//   centroid, ward (given matrix):
//             P(A,B) = sum of squared distances between members, and per
//             cluster W(A) = sum of squared distances within it. With
//             N = |A||B| P - (|B|^2 W(A) + |A|^2 W(B)):
//             centroid  N / (|A|^2 |B|^2)   (squared centroid distance)
//             ward      2N / (|A||B|(|A|+|B|))   (squared Ward height)
//             These are the Lance-Williams recurrences solved in closed form.
//   median:   squared distances, Q(A+B,C) = (Q(A,C)+Q(B,C))/2 - Q(A,B)/4.
//   weighted: (d(A,C) + d(B,C)) / 2.
#pragma once

#include <cmath>
#include <cstdint>

inline double AverageValue(double sum, double na, double nb) { return sum / (na * nb); }

// Symmetric in (na, wa) and (nb, wb) to the bit, so that a pair's value
// does not depend on which side asks.
inline double SquareSumNumerator(double p, double na, double nb, double wa, double wb) {
    return (na * nb) * p - ((nb * nb) * wa + (na * na) * wb);
}
inline double CentroidValue(double p, double na, double nb, double wa, double wb) {
    return SquareSumNumerator(p, na, nb, wa, wb) / ((na * na) * (nb * nb));
}
inline double WardValue(double p, double na, double nb, double wa, double wb) {
    return 2 * SquareSumNumerator(p, na, nb, wa, wb) / ((na * nb) * (na + nb));
}
inline double MedianUpdate(double qac, double qbc, double qab) { return (qac + qbc) * 0.5 - qab * 0.25; }

// The height written for a squared one; a negative square (a given matrix
// that is not Euclidean) is written as 0.
inline double HeightOfSquare(double q) { return q > 0 ? std::sqrt(q) : 0.0; }

// Sums of squares over coordinates are taken in four running sums, of the
// coordinates k = 0, 1, 2, 3 (mod 4), added as (s0 + s1) + (s2 + s3): a fixed
// order, the same on every instruction set, that the compiler can vectorise.
template <class Term>
__attribute__((always_inline)) inline double FourWaySum(int64_t m, Term term) {
    double s[4] = {0, 0, 0, 0};
    int64_t k = 0;
    for (; k + 4 <= m; k += 4) {
        for (int l = 0; l < 4; ++l) {
            const double t = term(k + l);
            s[l] += t * t;
        }
    }
    for (int l = 0; k < m; ++k, ++l) {
        const double t = term(k);
        s[l] += t * t;
    }
    return (s[0] + s[1]) + (s[2] + s[3]);
}

// From coordinate sums s (centroid, ward) of clusters of sizes na, nb over
// m coordinates: E = sum_k (nb sa_k - na sb_k)^2, exact on integer data.
__attribute__((always_inline)) inline double SumsSpread(const double *sa, const double *sb, double na, double nb,
                                                        int64_t m) {
    return FourWaySum(
        m, [=](int64_t k) __attribute__((always_inline)) { return nb * sa[k] - na * sb[k]; });
}
// Squared distance of two centres (median).
__attribute__((always_inline)) inline double CentreSpread(const double *a, const double *b, int64_t m) {
    return FourWaySum(
        m, [=](int64_t k) __attribute__((always_inline)) { return a[k] - b[k]; });
}
__attribute__((always_inline)) inline double CentroidFromSpread(double e, double na, double nb) {
    return e / ((na * na) * (nb * nb));
}
__attribute__((always_inline)) inline double WardFromSpread(double e, double na, double nb) {
    return 2 * e / ((na * nb) * (na + nb));
}
