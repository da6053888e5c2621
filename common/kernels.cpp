#include "kernels.h"

#include <immintrin.h>

#include <cmath>

namespace {

// Column p of `a` is either its own column (a.stride rows, step 1) or, when
// BroadcastA, the single vector a.data[line] for every p.
template <bool BroadcastA>
inline float LaneA(ColumnBlock a, int32_t l, int64_t p) {
    return BroadcastA ? a.data[l] : a.data[l * a.stride + p];
}

template <bool BroadcastA>
void KernelScalar(ColumnBlock a, ColumnBlock b, int32_t lines, int64_t begin, int64_t end, float *out) {
    for (int64_t p = begin; p < end; ++p) {
        float sum = 0.0f;
        for (int32_t l = 0; l < lines; ++l) {
            const float d = LaneA<BroadcastA>(a, l, p) - b.data[l * b.stride + p];
            sum = static_cast<float>(static_cast<double>(d) * d + sum);
        }
        out[p] = static_cast<float>(std::sqrt(static_cast<double>(sum)));
    }
}

template <bool BroadcastA>
__attribute__((target("avx2"))) void KernelAvx2(ColumnBlock a, ColumnBlock b, int32_t lines, int64_t begin,
                                                 int64_t end, float *out) {
    int64_t p = begin;
    for (; p + 8 <= end; p += 8) {
        __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
        for (int32_t l = 0; l < lines; ++l) {
            const __m256 va = BroadcastA ? _mm256_set1_ps(a.data[l]) : _mm256_loadu_ps(a.data + l * a.stride + p);
            const __m256 d = _mm256_sub_ps(va, _mm256_loadu_ps(b.data + l * b.stride + p));
            const __m256d dlo = _mm256_cvtps_pd(_mm256_castps256_ps128(d));
            const __m256d dhi = _mm256_cvtps_pd(_mm256_extractf128_ps(d, 1));
            // Square and add in double, then round the new sum to float.
            lo = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(dlo, dlo), lo)));
            hi = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(dhi, dhi), hi)));
        }
        const __m128 rlo = _mm256_cvtpd_ps(_mm256_sqrt_pd(lo));
        const __m128 rhi = _mm256_cvtpd_ps(_mm256_sqrt_pd(hi));
        _mm256_storeu_ps(out + p, _mm256_set_m128(rhi, rlo));
    }
    KernelScalar<BroadcastA>(a, b, lines, p, end, out);
}

template <bool BroadcastA>
__attribute__((target("avx512f,avx512dq"))) void KernelAvx512(ColumnBlock a, ColumnBlock b, int32_t lines, int64_t begin,
                                                      int64_t end, float *out) {
    int64_t p = begin;
    for (; p + 16 <= end; p += 16) {
        __m512d lo = _mm512_setzero_pd(), hi = _mm512_setzero_pd();
        for (int32_t l = 0; l < lines; ++l) {
            const __m512 va = BroadcastA ? _mm512_set1_ps(a.data[l]) : _mm512_loadu_ps(a.data + l * a.stride + p);
            const __m512 d = _mm512_sub_ps(va, _mm512_loadu_ps(b.data + l * b.stride + p));
            const __m512d dlo = _mm512_cvtps_pd(_mm512_castps512_ps256(d));
            const __m512d dhi = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(d), 1)));
            lo = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(dlo, dlo), lo)));
            hi = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(dhi, dhi), hi)));
        }
        _mm256_storeu_ps(out + p, _mm512_cvtpd_ps(_mm512_sqrt_pd(lo)));
        _mm256_storeu_ps(out + p + 8, _mm512_cvtpd_ps(_mm512_sqrt_pd(hi)));
    }
    if (p < end) {
        // The last 1..15 columns, in masked lanes; the others stay zero.
        const __mmask16 mask = static_cast<__mmask16>((1u << (end - p)) - 1u);
        __m512d lo = _mm512_setzero_pd(), hi = _mm512_setzero_pd();
        for (int32_t l = 0; l < lines; ++l) {
            const __m512 va =
                BroadcastA ? _mm512_set1_ps(a.data[l]) : _mm512_maskz_loadu_ps(mask, a.data + l * a.stride + p);
            const __m512 d = _mm512_maskz_sub_ps(mask, va, _mm512_maskz_loadu_ps(mask, b.data + l * b.stride + p));
            const __m512d dlo = _mm512_cvtps_pd(_mm512_castps512_ps256(d));
            const __m512d dhi = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(d), 1)));
            lo = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(dlo, dlo), lo)));
            hi = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(dhi, dhi), hi)));
        }
        const __m512 r = _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(_mm512_sqrt_pd(lo))),
                                            _mm512_cvtpd_ps(_mm512_sqrt_pd(hi)), 1);
        _mm512_mask_storeu_ps(out + p, mask, r);
    }
}

KernelLevel &Active() {
    static KernelLevel level = DetectKernelLevel();
    return level;
}

template <bool BroadcastA>
void Dispatch(ColumnBlock a, ColumnBlock b, int32_t lines, int64_t count, float *out) {
    switch (Active()) {
        case KernelLevel::Avx512: KernelAvx512<BroadcastA>(a, b, lines, 0, count, out); break;
        case KernelLevel::Avx2: KernelAvx2<BroadcastA>(a, b, lines, 0, count, out); break;
        default: KernelScalar<BroadcastA>(a, b, lines, 0, count, out); break;
    }
}

}  // namespace

KernelLevel DetectKernelLevel() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return KernelLevel::Avx512;
    if (__builtin_cpu_supports("avx2")) return KernelLevel::Avx2;
    return KernelLevel::Scalar;
}

KernelLevel ActiveKernelLevel() { return Active(); }

void ForceKernelLevel(KernelLevel level) {
    const KernelLevel best = DetectKernelLevel();
    Active() = static_cast<int>(level) <= static_cast<int>(best) ? level : best;
}

void DistancesToColumns(ColumnBlock block, int32_t lines, const float *x, int64_t count, float *out) {
    // The sign of each difference is the opposite of (column - x); its square
    // is the same.
    Dispatch<true>(ColumnBlock{x, 0}, block, lines, count, out);
}

void PairedDistances(ColumnBlock a, ColumnBlock b, int32_t lines, int64_t count, float *out) {
    Dispatch<false>(a, b, lines, count, out);
}
