#include "kernels/half_floors.h"

#include <cpuid.h>
#include <immintrin.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "kernels/kernels.h"

HalfFloors::HalfFloors(TableData table)
    : lines_(table.lines), mean_(table.lines > 0 ? table.lines : 1), floors_(table.lines) {
    double largest = 0.0;
    for (int32_t l = 0; l < lines_; ++l) {
        const float *line = table.values + static_cast<int64_t>(l) * table.columns;
        double sum = 0.0;
        for (int32_t c = 0; c < table.columns; ++c) sum += line[c];
        mean_[l] = table.columns > 0 ? static_cast<float>(sum / table.columns) : 0.0f;
        for (int32_t c = 0; c < table.columns; ++c)
            largest = std::fmax(largest, std::fabs(static_cast<double>(line[c]) - mean_[l]));
    }
    // largest < 2^e, so every scaled value lies below 2^15, within the
    // halves' range (their largest is 65504).
    int e = 0;
    if (largest > 0.0) std::frexp(largest, &e);
    exponent_ = 15 - e;
    scale_ = std::ldexp(1.0, exponent_);
    factor_ = std::ldexp(1.0, 2 * exponent_) * (1.0 + 0x1p-40);
    slack_ = 8.0 * lines_ * 0x1p-150;
}

// Any rounding would do (the error is measured per column): the bits below
// the half's are dropped.
uint16_t HalfFloors::Encode(float cell, int32_t l) const {
    // The scaling is exact in double; the value is rounded to a float (to
    // nearest), then its low bits dropped.
    const float v = static_cast<float>((static_cast<double>(cell) - mean_[l]) * scale_);
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const uint16_t sign = static_cast<uint16_t>(bits >> 16 & 0x8000u);
    const float a = std::fabs(v);
    if (a < 0x1p-24f) return sign;
    if (a < 0x1p-14f) return static_cast<uint16_t>(sign | static_cast<uint32_t>(a * 0x1p24f));
    const uint32_t exponent = (bits >> 23 & 0xffu) - 127u + 15u;
    return static_cast<uint16_t>(sign | exponent << 10 | (bits >> 13 & 0x3ffu));
}

float HalfFloors::Decode(uint16_t half) {
    const uint32_t e = half >> 10 & 31u, m = half & 1023u, sign = static_cast<uint32_t>(half & 0x8000u) << 16;
    if (e == 0) {
        const float magnitude = static_cast<float>(m) * 0x1p-24f;  // exact
        return sign != 0 ? -magnitude : magnitude;
    }
    const uint32_t bits = sign | (e - 15u + 127u) << 23 | m << 13;  // e < 31: never an infinity
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

double HalfFloors::Reduced(const uint16_t *halves, int64_t step) const {
    std::vector<float> column(lines_ > 0 ? lines_ : 1);
    for (int32_t l = 0; l < lines_; ++l) column[l] = Decode(halves[l * step]);
    return floors_.Reduced(column.data(), 1);
}

// t = a_l - m_l in double is within 2^-53 |t| of the exact difference, so
// (a - m) lies within 2^-52 |t| of t. The kept value is exact in double;
// the error t - kept, its square, the sums and the square root round at
// most 3 lines + 1 times, each within a relative 2^-53, which the factor
// 1 + 2^-30 more than makes up for up to 2^20 lines (beyond them,
// Threshold is infinite and nothing is proved); the term 2^-50 |t| covers
// the difference of t from a - m.
double HalfFloors::ErrorNorm(const float *cells, int64_t cellStep, const uint16_t *halves, int64_t halfStep) const {
    double sum = 0.0, centred = 0.0;
    for (int32_t l = 0; l < lines_; ++l) {
        const double t = static_cast<double>(cells[l * cellStep]) - mean_[l];
        const double e = t - static_cast<double>(Decode(halves[l * halfStep])) / scale_;
        sum = e * e + sum;
        centred = t * t + centred;
    }
    return std::sqrt(sum) * (1.0 + 0x1p-30) + std::sqrt(centred) * 0x1p-50;
}

// R(w) = sqrt(Threshold(w)), its rounding made up by the factor.
double HalfFloors::Reach(float w, double errorNorm) const {
    const double threshold = floors_.Threshold(w);
    if (!(threshold < INFINITY)) return INFINITY;
    return (std::sqrt(threshold) + errorNorm) * (1.0 + 0x1p-40);
}

bool ProcessorConvertsHalves() {
    // Leaf 1 of cpuid: ECX bit 12 is FMA, bit 29 F16C.
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
    return (c & (1u << 12)) != 0 && (c & (1u << 29)) != 0;
}

namespace {

void HalfInnerProductsScalar(const uint16_t *panel, int32_t lines, const float *x, float *out) {
    for (int c = 0; c < 32; ++c) out[c] = 0.0f;
    for (int32_t l = 0; l < lines; ++l)
        for (int c = 0; c < 32; ++c) out[c] = x[l] * HalfFloors::Decode(panel[l * 32 + c]) + out[c];
}

__attribute__((target("avx2,f16c"), always_inline)) inline __m256 Halves8(const uint16_t *p) {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

__attribute__((target("avx2,fma,f16c"))) void HalfInnerProductsAvx2(const uint16_t *panel, int32_t lines,
                                                                     const float *x, float *out) {
    __m256 even[4], odd[4];
    for (int q = 0; q < 4; ++q) even[q] = odd[q] = _mm256_setzero_ps();
    int32_t l = 0;
    for (; l + 2 <= lines; l += 2) {
        const uint16_t *row = panel + l * 32;
        const __m256 x0 = _mm256_set1_ps(x[l]), x1 = _mm256_set1_ps(x[l + 1]);
        for (int q = 0; q < 4; ++q) {
            even[q] = _mm256_fmadd_ps(x0, Halves8(row + 8 * q), even[q]);
            odd[q] = _mm256_fmadd_ps(x1, Halves8(row + 32 + 8 * q), odd[q]);
        }
    }
    if (l < lines) {
        const __m256 x0 = _mm256_set1_ps(x[l]);
        for (int q = 0; q < 4; ++q) even[q] = _mm256_fmadd_ps(x0, Halves8(panel + l * 32 + 8 * q), even[q]);
    }
    for (int q = 0; q < 4; ++q) _mm256_storeu_ps(out + 8 * q, _mm256_add_ps(even[q], odd[q]));
}

// The bound factor (reach + errorU)² + slack rounds four times (the sum,
// the square, the product, the slack's sum), each at most a relative 2^-53
// below the exact value; the factor's 1 + 2^-40 (on top of s²) more than
// makes up for them. C's own roundings are in the floor's slack
// (distance_floors.cpp).
int64_t OpenHalfFloorsScalar(double reducedU, double errorU, const double *reduced, const float *dots,
                             const double *reach, int64_t count, int64_t first, double factor, double slack,
                             int64_t *found) {
    int64_t k = 0;
    for (int64_t i = 0; i < count; ++i) {
        const double c = reducedU + reduced[i] - 2.0 * static_cast<double>(dots[i]);
        const double r = reach[i] + errorU;
        found[k] = first + i;
        k += !(c >= r * r * factor + slack && c < static_cast<double>(INFINITY));
    }
    return k;
}

// The same double operations, four lanes at a time.
__attribute__((target("avx2"))) int64_t OpenHalfFloorsAvx2(double reducedU, double errorU, const double *reduced,
                                                            const float *dots, const double *reach, int64_t count,
                                                            int64_t first, double factor, double slack,
                                                            int64_t *found) {
    const __m256d u = _mm256_set1_pd(reducedU), e = _mm256_set1_pd(errorU), two = _mm256_set1_pd(2.0);
    const __m256d f = _mm256_set1_pd(factor), s = _mm256_set1_pd(slack), top = _mm256_set1_pd(INFINITY);
    int64_t k = 0, i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d c = _mm256_sub_pd(_mm256_add_pd(u, _mm256_loadu_pd(reduced + i)),
                                        _mm256_mul_pd(two, _mm256_cvtps_pd(_mm_loadu_ps(dots + i))));
        const __m256d r = _mm256_add_pd(_mm256_loadu_pd(reach + i), e);
        const __m256d bound = _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(r, r), f), s);
        const int mask =
            _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(c, bound, _CMP_GE_OQ), _mm256_cmp_pd(c, top, _CMP_LT_OQ)));
        if (mask == 0xF) continue;
        for (int j = 0; j < 4; ++j) {
            found[k] = first + i + j;
            k += (mask >> j & 1) == 0;
        }
    }
    return k + OpenHalfFloorsScalar(reducedU, errorU, reduced + i, dots + i, reach + i, count - i, first + i, factor,
                                    slack, found + k);
}

bool UseAvx2() {
    static const bool fused = ProcessorConvertsHalves();
    return ActiveKernelLevel() != KernelLevel::Scalar && fused;
}

}  // namespace

void HalfInnerProducts(const uint16_t *panel, int32_t lines, const float *x, float *out) {
    if (UseAvx2()) {
        HalfInnerProductsAvx2(panel, lines, x, out);
    } else {
        HalfInnerProductsScalar(panel, lines, x, out);
    }
}

int64_t OpenHalfFloors(double reducedU, double errorU, const double *reduced, const float *dots, const double *reach,
                       int64_t count, int64_t first, double factor, double slack, int64_t *found) {
    return UseAvx2() ? OpenHalfFloorsAvx2(reducedU, errorU, reduced, dots, reach, count, first, factor, slack, found)
                     : OpenHalfFloorsScalar(reducedU, errorU, reduced, dots, reach, count, first, factor, slack,
                                            found);
}
