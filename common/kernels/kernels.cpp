#include "kernels/kernels.h"

#include <immintrin.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// The vector kernels keep several groups of columns in flight: each line's
// rounding step depends on the previous line's sum, so one group alone would
// wait on that chain most of the time.

template <bool BroadcastA, int Groups>
__attribute__((target("avx2"))) inline void GroupsAvx2(ColumnBlock a, ColumnBlock b, int32_t lines, int64_t p,
                                                        float *out) {
    __m256d lo[Groups], hi[Groups];
    for (int g = 0; g < Groups; ++g) lo[g] = hi[g] = _mm256_setzero_pd();
    for (int32_t l = 0; l < lines; ++l) {
        const float *rowB = b.data + l * b.stride + p;
        const __m256 broadcast = BroadcastA ? _mm256_set1_ps(a.data[l]) : _mm256_setzero_ps();
        for (int g = 0; g < Groups; ++g) {
            const __m256 va = BroadcastA ? broadcast : _mm256_loadu_ps(a.data + l * a.stride + p + 8 * g);
            const __m256 d = _mm256_sub_ps(va, _mm256_loadu_ps(rowB + 8 * g));
            const __m256d dlo = _mm256_cvtps_pd(_mm256_castps256_ps128(d));
            const __m256d dhi = _mm256_cvtps_pd(_mm256_extractf128_ps(d, 1));
            // Square and add in double, then round the new sum to float.
            lo[g] = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(dlo, dlo), lo[g])));
            hi[g] = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(dhi, dhi), hi[g])));
        }
    }
    for (int g = 0; g < Groups; ++g) {
        const __m128 rlo = _mm256_cvtpd_ps(_mm256_sqrt_pd(lo[g]));
        const __m128 rhi = _mm256_cvtpd_ps(_mm256_sqrt_pd(hi[g]));
        _mm256_storeu_ps(out + p + 8 * g, _mm256_set_m128(rhi, rlo));
    }
}

template <bool BroadcastA>
__attribute__((target("avx2"))) void KernelAvx2(ColumnBlock a, ColumnBlock b, int32_t lines, int64_t begin,
                                                 int64_t end, float *out) {
    int64_t p = begin;
    for (; p + 32 <= end; p += 32) GroupsAvx2<BroadcastA, 4>(a, b, lines, p, out);
    for (; p + 8 <= end; p += 8) GroupsAvx2<BroadcastA, 1>(a, b, lines, p, out);
    KernelScalar<BroadcastA>(a, b, lines, p, end, out);
}

// Groups of 16 columns; the last group may be partial, its lanes masked.
// Each group's 16 distances go to sink(position, mask, distances).
template <bool BroadcastA, int Groups, class Sink>
__attribute__((target("avx512f,avx512dq"))) inline void GroupsAvx512(ColumnBlock a, ColumnBlock b, int32_t lines,
                                                                      int64_t p, __mmask16 lastMask, Sink &sink) {
    __m512d lo[Groups], hi[Groups];
    for (int g = 0; g < Groups; ++g) lo[g] = hi[g] = _mm512_setzero_pd();
    for (int32_t l = 0; l < lines; ++l) {
        const float *rowB = b.data + l * b.stride + p;
        const __m512 broadcast = BroadcastA ? _mm512_set1_ps(a.data[l]) : _mm512_setzero_ps();
        for (int g = 0; g < Groups; ++g) {
            const __mmask16 mask = g == Groups - 1 ? lastMask : static_cast<__mmask16>(0xFFFF);
            const __m512 va =
                BroadcastA ? broadcast : _mm512_maskz_loadu_ps(mask, a.data + l * a.stride + p + 16 * g);
            const __m512 d = _mm512_maskz_sub_ps(mask, va, _mm512_maskz_loadu_ps(mask, rowB + 16 * g));
            const __m512d dlo = _mm512_cvtps_pd(_mm512_castps512_ps256(d));
            const __m512d dhi = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(d), 1)));
            lo[g] = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(dlo, dlo), lo[g])));
            hi[g] = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(dhi, dhi), hi[g])));
        }
    }
    for (int g = 0; g < Groups; ++g) {
        const __mmask16 mask = g == Groups - 1 ? lastMask : static_cast<__mmask16>(0xFFFF);
        const __m512 r = _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(_mm512_sqrt_pd(lo[g]))),
                                            _mm512_cvtpd_ps(_mm512_sqrt_pd(hi[g])), 1);
        sink(p + 16 * g, mask, r);
    }
}

template <bool BroadcastA, class Sink>
__attribute__((target("avx512f,avx512dq"))) void EachGroupAvx512(ColumnBlock a, ColumnBlock b, int32_t lines,
                                                                   int64_t end, Sink &sink) {
    const __mmask16 full = 0xFFFF;
    int64_t p = 0;
    for (; p + 64 <= end; p += 64) GroupsAvx512<BroadcastA, 4>(a, b, lines, p, full, sink);
    for (; p + 16 <= end; p += 16) GroupsAvx512<BroadcastA, 1>(a, b, lines, p, full, sink);
    // The last 1..15 columns in masked lanes; the other lanes compute zeros.
    if (p < end) GroupsAvx512<BroadcastA, 1>(a, b, lines, p, static_cast<__mmask16>((1u << (end - p)) - 1u), sink);
}

template <bool BroadcastA>
__attribute__((target("avx512f,avx512dq"))) void KernelAvx512(ColumnBlock a, ColumnBlock b, int32_t lines,
                                                                int64_t count, float *out) {
    auto store = [out](int64_t p, __mmask16 mask, __m512 r) __attribute__((target("avx512f"))) {
        _mm512_mask_storeu_ps(out + p, mask, r);
    };
    EachGroupAvx512<BroadcastA>(a, b, lines, count, store);
}

int64_t LowerScalar(const float *fresh, float *best, int32_t *parent, int32_t u, int64_t count) {
    int64_t q = -1;
    for (int64_t p = 0; p < count; ++p) {
        if (fresh[p] < best[p]) {
            best[p] = fresh[p];
            parent[p] = u;
        }
        if (q < 0 || best[p] < best[q]) q = p;
    }
    return q;
}

__attribute__((target("avx512f"))) int64_t LowerAvx512(const float *fresh, float *best, int32_t *parent, int32_t u,
                                                         int64_t count) {
    if (count == 0) return -1;
    const __m512i vu = _mm512_set1_epi32(u);
    __m512 smallest = _mm512_set1_ps(INFINITY);
    for (int64_t p = 0; p < count; p += 16) {
        const __mmask16 lanes = count - p >= 16 ? static_cast<__mmask16>(0xFFFF)
                                                : static_cast<__mmask16>((1u << (count - p)) - 1u);
        const __m512 f = _mm512_maskz_loadu_ps(lanes, fresh + p);
        __m512 b = _mm512_maskz_loadu_ps(lanes, best + p);
        const __mmask16 lower = _mm512_mask_cmp_ps_mask(lanes, f, b, _CMP_LT_OQ);
        b = _mm512_mask_mov_ps(b, lower, f);
        _mm512_mask_storeu_ps(best + p, lower, b);
        _mm512_mask_storeu_epi32(parent + p, lower, vu);
        smallest = _mm512_mask_min_ps(smallest, lanes, smallest, b);
    }
    const __m512 target = _mm512_set1_ps(_mm512_reduce_min_ps(smallest));
    for (int64_t p = 0;; p += 16) {
        const __mmask16 lanes = count - p >= 16 ? static_cast<__mmask16>(0xFFFF)
                                                : static_cast<__mmask16>((1u << (count - p)) - 1u);
        const __mmask16 equal = _mm512_mask_cmp_ps_mask(lanes, _mm512_maskz_loadu_ps(lanes, best + p), target, _CMP_EQ_OQ);
        if (equal != 0) return p + __builtin_ctz(equal);
    }
}

// The distances and the nearest-neighbour pass in one sweep, so that each
// distance is compared while still in a register.
__attribute__((target("avx512f,avx512dq"))) int64_t DistancesLowerAvx512(ColumnBlock block, int32_t lines,
                                                                         const float *x, int64_t count, float *best,
                                                                         int32_t *parent, int32_t u) {
    if (count == 0) return -1;
    const __m512i vu = _mm512_set1_epi32(u);
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    __m512 smallest = _mm512_set1_ps(INFINITY);
    __m512i where = _mm512_set1_epi32(-1);  // first position of each lane's smallest
    auto lower = [&](int64_t p, __mmask16 mask, __m512 r) __attribute__((target("avx512f"))) {
        __m512 b = _mm512_maskz_loadu_ps(mask, best + p);
        const __mmask16 lowered = _mm512_mask_cmp_ps_mask(mask, r, b, _CMP_LT_OQ);
        b = _mm512_mask_mov_ps(b, lowered, r);
        _mm512_mask_storeu_ps(best + p, lowered, b);
        _mm512_mask_storeu_epi32(parent + p, lowered, vu);
        // Strictly smaller, or the lane's first value (even an infinite one).
        const __mmask16 first = _mm512_mask_cmp_epi32_mask(mask, where, _mm512_set1_epi32(-1), _MM_CMPINT_EQ);
        const __mmask16 better = _mm512_mask_cmp_ps_mask(mask, b, smallest, _CMP_LT_OQ) | first;
        smallest = _mm512_mask_mov_ps(smallest, better, b);
        where = _mm512_mask_mov_epi32(where, better, _mm512_add_epi32(lane, _mm512_set1_epi32(static_cast<int32_t>(p))));
    };
    EachGroupAvx512<true>(ColumnBlock{x, 0}, block, lines, count, lower);
    // The first position among the lanes holding the smallest value.
    const float value = _mm512_reduce_min_ps(smallest);
    const __mmask16 holders = _mm512_cmp_ps_mask(smallest, _mm512_set1_ps(value), _CMP_EQ_OQ) &
                              _mm512_cmp_epi32_mask(where, _mm512_set1_epi32(-1), _MM_CMPINT_NE);
    return _mm512_mask_reduce_min_epi32(holders, where);
}

// The level at start-up: the best this processor supports, or a lower one
// named by DENDRO_KERNEL_LEVEL (scalar, avx2 or avx512), which lets the
// programs' results be compared level against level on any platform.
KernelLevel StartLevel() {
    const KernelLevel best = DetectKernelLevel();
    const char *named = std::getenv("DENDRO_KERNEL_LEVEL");
    if (named == nullptr || *named == '\0') return best;
    const struct { const char *name; KernelLevel level; } levels[] = {
        {"scalar", KernelLevel::Scalar}, {"avx2", KernelLevel::Avx2}, {"avx512", KernelLevel::Avx512}};
    for (const auto &l : levels)
        if (std::strcmp(named, l.name) == 0) return static_cast<int>(l.level) < static_cast<int>(best) ? l.level : best;
    std::fprintf(stderr, "DENDRO_KERNEL_LEVEL=%s is not scalar, avx2 or avx512: ignored\n", named);
    return best;
}

KernelLevel &Active() {
    static KernelLevel level = StartLevel();
    return level;
}

template <bool BroadcastA>
void Dispatch(ColumnBlock a, ColumnBlock b, int32_t lines, int64_t count, float *out) {
    switch (Active()) {
        case KernelLevel::Avx512: KernelAvx512<BroadcastA>(a, b, lines, count, out); break;
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

int64_t LowerAndFindNearest(const float *fresh, float *best, int32_t *parent, int32_t u, int64_t count) {
    return Active() == KernelLevel::Avx512 ? LowerAvx512(fresh, best, parent, u, count)
                                           : LowerScalar(fresh, best, parent, u, count);
}

int64_t DistancesLowerAndFindNearest(ColumnBlock block, int32_t lines, const float *x, int64_t count, float *fresh,
                                     float *best, int32_t *parent, int32_t u) {
    if (Active() == KernelLevel::Avx512) return DistancesLowerAvx512(block, lines, x, count, best, parent, u);
    DistancesToColumns(block, lines, x, count, fresh);
    return LowerAndFindNearest(fresh, best, parent, u, count);
}
