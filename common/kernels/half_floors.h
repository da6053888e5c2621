// Floors of exact column distances from columns stored in half precision:
// half the bytes of distance_floors.h's float columns to read per pair, for
// passes that wait on memory, at the price of a looser floor.
//
// Each cell a_l less its line's mean m_l (distances do not change when
// every column moves by the same vector m) is scaled by a power of two s
// (the largest then below 2^15) and stored as a half h (11 significant
// bits); q = h / s is what is kept of a - m. For a column, ρ bounds the
// norm of its error (a - m) - q. With C the floor of distance_floors.h over
// the halves (as floats) and τ its slack,
//     |a - b| = |(a - m) - (b - m)| ≥ |h_a - h_b| / s - ρ_a - ρ_b
// and |h_a - h_b|² ≥ C - τ. So the exact distance F(a, b) is at least w as
// soon as |a - b| ≥ R(w) = sqrt(Threshold(w)) (distance_floors.h), which
// holds as soon as
//     C ≥ s² (R(w) + ρ_a + ρ_b)² + τ.
// Per open column p the pass keeps reach[p] = R(w_p) + ρ_p, rounded up.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/distance_floors.h"
#include "model/table.h"

class HalfFloors {
public:
    // The scale is chosen from the table's cells, all finite.
    explicit HalfFloors(TableData table);

    // The half of a cell of line l.
    uint16_t Encode(float cell, int32_t l) const;
    static float Decode(uint16_t half);
    // A over the halves of a column (as floats), read with step `step`.
    double Reduced(const uint16_t *halves, int64_t step) const;
    // ρ of a column: its cells read with step `cellStep`, its halves with
    // step `halfStep`.
    double ErrorNorm(const float *cells, int64_t cellStep, const uint16_t *halves, int64_t halfStep) const;
    // reach for distance w and error norm ρ: infinite for an infinite w.
    double Reach(float w, double errorNorm) const;
    // What OpenHalfFloors needs besides the columns.
    double factor() const { return factor_; }
    double slack() const { return slack_; }

private:
    int32_t lines_;
    std::vector<float> mean_;  // m, by line
    int exponent_;   // s = 2^exponent
    double scale_;   // s
    double factor_;  // s² (1 + 2^-40)
    double slack_;   // τ
    DistanceFloors floors_;
};

// Whether the processor has the fused multiply-adds and the half
// conversions of the vector path (every processor with AVX2 has so far);
// without them the plain path runs at every level.
bool ProcessorConvertsHalves();

// out[c] = the float inner product of x with the 32 columns of a panel of
// halves stored line after line (half (l, c) at panel[l * 32 + c]), each
// half taken exactly as a float.
void HalfInnerProducts(const uint16_t *panel, int32_t lines, const float *x, float *out);

// Appends to `found` the positions first + i, i < count, whose floor does
// not prove the pair: C = reducedU + reduced[i] - 2 dots[i] below
// factor (reach[i] + errorU)² + slack, or not finite. Returns how many.
int64_t OpenHalfFloors(double reducedU, double errorU, const double *reduced, const float *dots, const double *reach,
                       int64_t count, int64_t first, double factor, double slack, int64_t *found);
