#include "kernels/distance_floors.h"

#include <immintrin.h>

#include <cmath>

#include "kernels/kernels.h"

// Why a floor proves what it claims. Notation: n lines, u = 2^-24 (the
// float unit roundoff), η = 2^-150 (the largest error of rounding a number
// to float in the subnormal range), fl_f / fl_d rounding to nearest float /
// double. Every cell is a float; a and b are two columns.
//
// 1. The exact value. d_l = fl_f(a_l - b_l); S_0 = 0, S_{l+1} =
//    fl_f(fl_d(d_l² + S_l)); F = fl_f(fl_d(sqrt(S_n))).
//    - |d_l| ≥ (1 - u)|a_l - b_l|: a float difference is exact in the
//      subnormal range and otherwise within a relative u (an overflow gives
//      an infinity, and then S and F are infinite, above every threshold).
//      d_l² is exact in double.
//    - For x ≥ 0: fl_d(x) ≥ (1 - 2^-53) x and fl_f(x) ≥ (1 - u) x - η. So
//      S_{l+1} ≥ θ (d_l² + S_l) - η with θ = (1 - u)(1 - 2^-53) ≤ 1, and by
//      induction S_n ≥ θ^n Σ d_l² - n η ≥ θ^n (1 - u)² D² - n η.
//    - F ≥ (1 - u)(1 - 2^-53) sqrt(S_n) - η ≥ c1 sqrt(S_n) - η, with
//      c1 = 1 - 2^-23; and θ^n (1 - u)² ≥ 1 - (n + 2)(u + 2^-53) ≥ c2 =
//      1 - (n + 3) 2^-23 (Bernoulli's inequality; c2 > 0 for n < 2^23).
//    Hence F ≥ w as soon as S_n ≥ ((w + η) / c1)², which holds as soon as
//      D² ≥ (((w + η) / c1)² + n η) / c2 =: T*(w).
// 2. The floor. D² = N_a + N_b - 2 G (N the squared norms, G the inner
//    product, exact reals).
//    - Ñ sums the exact double squares in double: Ñ ≤ (1 + γ'_n) N, with
//      γ'_n = n 2^-53 / (1 - n 2^-53).
//    - g, a float inner product in any order, with or without fused
//      multiply-adds, rounds each term at most n times on its way (its
//      product, then at most n - 1 sums), so |g - G| ≤ γ_n Σ |a_l b_l| +
//      4 n η with γ_n = n u / (1 - n u). The η term: at most 2n roundings
//      may underflow, each by at most η, and later roundings scale those
//      errors by at most (1 + u)^n < 2. An overflow gives a non-finite g,
//      which Proves() rejects. And 2 Σ |a_l b_l| ≤ N_a + N_b.
//    - So D² ≥ (Ñ_a + Ñ_b)(1 - γ'_n - γ_n (1 + γ'_n)) - 2 g - 8 n η.
//    - With ε = (n + 8) 2^-23, ε exceeds γ'_n + γ_n (1 + γ'_n) by more than
//      2^-40 for n ≤ 2^20, and that margin covers the three double
//      roundings of A = fl_d(Ñ (1 - ε)) and C = fl_d(fl_d(A_a + A_b) - 2 g),
//      each within 2^-53 of a quantity at most 2 (Ñ_a + Ñ_b), the double
//      underflow being far below η. So C ≤ D² + 8 n η.
// 3. The threshold. Threshold(w) = fl_d(T*(w) + τ)(1 + 2^-40), τ = 8 n η,
//    computed in double: five roundings of positive values, each at most a
//    relative 2^-53 down, are more than made up by the factor 1 + 2^-40.
//    So C ≥ Threshold(w) gives D² ≥ C - τ ≥ T*(w), and then F ≥ w.

DistanceFloors::DistanceFloors(int32_t lines) : lines_(lines), keep_(1.0 - (lines + 8.0) * 0x1p-23) {}

double DistanceFloors::Reduced(const float *column, int64_t step) const {
    double sum = 0.0;
    for (int32_t l = 0; l < lines_; ++l) {
        const double v = column[l * step];
        sum = v * v + sum;
    }
    return sum * keep_;
}

double DistanceFloors::Threshold(float w) const {
    if (lines_ > kMaxLines || !(w < INFINITY)) return INFINITY;
    const double eta = 0x1p-150, n = lines_;
    const double c1 = 1.0 - 0x1p-23, c2 = 1.0 - (n + 3.0) * 0x1p-23;
    const double root = (static_cast<double>(w) + eta) / c1;
    return ((root * root + n * eta) / c2 + 8.0 * n * eta) * (1.0 + 0x1p-40);
}

namespace {

void InnerProductsScalar(ColumnBlock block, int32_t lines, const float *x, int64_t begin, int64_t count,
                         float *out) {
    for (int64_t p = begin; p < count; ++p) out[p] = 0.0f;
    for (int32_t l = 0; l < lines; ++l)
        for (int64_t p = begin; p < count; ++p) out[p] = x[l] * block.data[l * block.stride + p] + out[p];
}

// Groups of 8 x Width columns; two sets of sums (even and odd lines) keep
// more multiply-adds in flight.
template <int Width>
__attribute__((target("avx2,fma"))) inline void InnerProductGroupAvx2(ColumnBlock block, int32_t lines,
                                                                       const float *x, int64_t p, float *out) {
    __m256 even[Width], odd[Width];
    for (int q = 0; q < Width; ++q) even[q] = odd[q] = _mm256_setzero_ps();
    int32_t l = 0;
    for (; l + 2 <= lines; l += 2) {
        const float *row = block.data + l * block.stride + p;
        const __m256 x0 = _mm256_set1_ps(x[l]), x1 = _mm256_set1_ps(x[l + 1]);
        for (int q = 0; q < Width; ++q) {
            even[q] = _mm256_fmadd_ps(x0, _mm256_loadu_ps(row + 8 * q), even[q]);
            odd[q] = _mm256_fmadd_ps(x1, _mm256_loadu_ps(row + block.stride + 8 * q), odd[q]);
        }
    }
    if (l < lines) {
        const __m256 x0 = _mm256_set1_ps(x[l]);
        for (int q = 0; q < Width; ++q)
            even[q] = _mm256_fmadd_ps(x0, _mm256_loadu_ps(block.data + l * block.stride + p + 8 * q), even[q]);
    }
    for (int q = 0; q < Width; ++q) _mm256_storeu_ps(out + p + 8 * q, _mm256_add_ps(even[q], odd[q]));
}

__attribute__((target("avx2,fma"))) void InnerProductsAvx2(ColumnBlock block, int32_t lines, const float *x,
                                                            int64_t count, float *out) {
    int64_t p = 0;
    for (; p + 32 <= count; p += 32) InnerProductGroupAvx2<4>(block, lines, x, p, out);
    for (; p + 8 <= count; p += 8) InnerProductGroupAvx2<1>(block, lines, x, p, out);
    InnerProductsScalar(block, lines, x, p, count, out);
}

int64_t FirstSmallestScalar(const float *values, int64_t count) {
    if (count <= 0) return -1;
    int64_t q = 0;
    for (int64_t p = 1; p < count; ++p)
        if (values[p] < values[q]) q = p;
    return q;
}

__attribute__((target("avx2"))) int64_t FirstSmallestAvx2(const float *values, int64_t count) {
    if (count < 16) return FirstSmallestScalar(values, count);
    __m256 smallest = _mm256_loadu_ps(values);
    int64_t p = 8;
    for (; p + 8 <= count; p += 8) smallest = _mm256_min_ps(smallest, _mm256_loadu_ps(values + p));
    float lanes[8];
    _mm256_storeu_ps(lanes, smallest);
    float value = lanes[0];
    for (int j = 1; j < 8; ++j) value = lanes[j] < value ? lanes[j] : value;
    for (; p < count; ++p) value = values[p] < value ? values[p] : value;
    const __m256 target = _mm256_set1_ps(value);
    for (p = 0; p + 8 <= count; p += 8) {
        const int equal = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(values + p), target, _CMP_EQ_OQ));
        if (equal != 0) return p + __builtin_ctz(static_cast<unsigned>(equal));
    }
    for (; values[p] != value; ++p) {
    }
    return p;
}

}  // namespace

int64_t FirstSmallest(const float *values, int64_t count) {
    return ActiveKernelLevel() == KernelLevel::Scalar ? FirstSmallestScalar(values, count)
                                                      : FirstSmallestAvx2(values, count);
}

void InnerProducts(ColumnBlock block, int32_t lines, const float *x, int64_t count, float *out) {
    static const bool fused = __builtin_cpu_supports("fma");
    if (ActiveKernelLevel() == KernelLevel::Scalar || !fused) {
        InnerProductsScalar(block, lines, x, 0, count, out);
    } else {
        InnerProductsAvx2(block, lines, x, count, out);
    }
}

// Four pairs at a time: each pair's chain of roundings waits on its previous
// line, so independent chains side by side keep the processor busy.
void ExactDistancesToColumns(const float *x, int32_t lines, const float *const *columns, int64_t step,
                             int64_t count, float *out) {
    int64_t k = 0;
    for (; k + 4 <= count; k += 4) {
        float sum[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int32_t l = 0; l < lines; ++l)
            for (int j = 0; j < 4; ++j) {
                const float d = x[l] - columns[k + j][l * step];
                sum[j] = static_cast<float>(static_cast<double>(d) * d + sum[j]);
            }
        for (int j = 0; j < 4; ++j) out[k + j] = static_cast<float>(std::sqrt(static_cast<double>(sum[j])));
    }
    for (; k < count; ++k) {
        float sum = 0.0f;
        for (int32_t l = 0; l < lines; ++l) {
            const float d = x[l] - columns[k][l * step];
            sum = static_cast<float>(static_cast<double>(d) * d + sum);
        }
        out[k] = static_cast<float>(std::sqrt(static_cast<double>(sum)));
    }
}
