#include "kernels/distance_tiles.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "base/parallel.h"
#include "base/platform.h"
#include "kernels/kernels.h"
#include "model/distance_matrix.h"

namespace {

constexpr int32_t W = ColumnPanels::WIDTH;
// Vectors measured together against one panel: the kernels hold all their
// sums in registers and load each panel value once for all of them.
constexpr int kRows = 4;
// Lines per chunk: one panel's chunk is 16 KiB, in the first-level cache.
constexpr int32_t kChunkLines = 128;
// Columns per stretch: their chunks (256 KiB) stay in the second-level cache
// while every block of rows runs over them.
constexpr int64_t kStretchColumns = 512;
// Panels from this size on are filled on two threads.
constexpr int64_t kTwoThreadPanelBytes = int64_t{1} << 20;

// The kernels continue the sums of up to kRows vectors a[r] against the W
// columns of one panel chunk b (line l at b + l * W), over `count` lines.
// Row r's sums of columns [0, valid[r]) live at sums[r]; its other lanes are
// computed and dropped, so every a[r] must be readable.
struct Tile {
    const float *a[kRows];
    int64_t step;
    const float *b;
    int32_t count;
    float *sums[kRows];
    int32_t valid[kRows];
    bool fresh;  // the sums start at 0 here: they are only written
};

void TileScalar(const Tile &t) {
    for (int r = 0; r < kRows; ++r)
        for (int32_t p = 0; p < t.valid[r]; ++p) {
            float sum = t.fresh ? 0.0f : t.sums[r][p];
            for (int32_t l = 0; l < t.count; ++l) {
                const float d = t.a[r][l * t.step] - t.b[l * W + p];
                sum = static_cast<float>(static_cast<double>(d) * d + sum);
            }
            t.sums[r][p] = sum;
        }
}

// Lanes [0, n) of an AVX2 mask, n clamped to 0 .. 8.
__attribute__((target("avx2"))) inline __m256i MaskAvx2(int32_t n) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), lane);
}

// Two rows against 16 columns at a time (sixteen registers hold no more).
__attribute__((target("avx2"))) void TileAvx2(const Tile &t) {
    for (int r0 = 0; r0 < kRows; r0 += 2)
        for (int32_t h = 0; h < W; h += 16) {
            if (t.valid[r0] <= h && t.valid[r0 + 1] <= h) continue;
            __m256d acc[2][4];
            __m256i mask[2][2];
            for (int r = 0; r < 2; ++r)
                for (int q = 0; q < 2; ++q) {
                    mask[r][q] = MaskAvx2(t.valid[r0 + r] - h - 8 * q);
                    const __m256 s =
                        t.fresh ? _mm256_setzero_ps() : _mm256_maskload_ps(t.sums[r0 + r] + h + 8 * q, mask[r][q]);
                    acc[r][2 * q] = _mm256_cvtps_pd(_mm256_castps256_ps128(s));
                    acc[r][2 * q + 1] = _mm256_cvtps_pd(_mm256_extractf128_ps(s, 1));
                }
            for (int32_t l = 0; l < t.count; ++l) {
                const float *row = t.b + l * W + h;
                const __m256 b0 = _mm256_loadu_ps(row), b1 = _mm256_loadu_ps(row + 8);
                for (int r = 0; r < 2; ++r) {
                    const __m256 va = _mm256_set1_ps(t.a[r0 + r][l * t.step]);
                    const __m256 d[2] = {_mm256_sub_ps(va, b0), _mm256_sub_ps(va, b1)};
                    for (int q = 0; q < 2; ++q) {
                        const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(d[q]));
                        const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(d[q], 1));
                        // Square and add in double, then round the new sum to float.
                        acc[r][2 * q] =
                            _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(lo, lo), acc[r][2 * q])));
                        acc[r][2 * q + 1] =
                            _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(hi, hi), acc[r][2 * q + 1])));
                    }
                }
            }
            for (int r = 0; r < 2; ++r)
                for (int q = 0; q < 2; ++q)
                    _mm256_maskstore_ps(t.sums[r0 + r] + h + 8 * q, mask[r][q],
                                        _mm256_set_m128(_mm256_cvtpd_ps(acc[r][2 * q + 1]),
                                                        _mm256_cvtpd_ps(acc[r][2 * q])));
        }
}

// Lanes [0, n) of a 16-lane mask, n clamped to 0 .. 16.
inline __mmask16 Mask16(int32_t n) {
    return n >= 16 ? static_cast<__mmask16>(0xFFFF) : n <= 0 ? static_cast<__mmask16>(0)
                                                              : static_cast<__mmask16>((1u << n) - 1u);
}

// Four rows against all 32 columns: sixteen registers of sums.
__attribute__((target("avx512f,avx512dq"))) void TileAvx512(const Tile &t) {
    __m512d acc[kRows][4];
    __mmask16 mask[kRows][2];
    for (int r = 0; r < kRows; ++r)
        for (int q = 0; q < 2; ++q) {
            mask[r][q] = Mask16(t.valid[r] - 16 * q);
            const __m512 s = t.fresh ? _mm512_setzero_ps() : _mm512_maskz_loadu_ps(mask[r][q], t.sums[r] + 16 * q);
            acc[r][2 * q] = _mm512_cvtps_pd(_mm512_castps512_ps256(s));
            acc[r][2 * q + 1] = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(s), 1)));
        }
    for (int32_t l = 0; l < t.count; ++l) {
        const float *row = t.b + l * W;
        const __m512 b0 = _mm512_loadu_ps(row), b1 = _mm512_loadu_ps(row + 16);
        for (int r = 0; r < kRows; ++r) {
            const __m512 va = _mm512_set1_ps(t.a[r][l * t.step]);
            const __m512 d[2] = {_mm512_sub_ps(va, b0), _mm512_sub_ps(va, b1)};
            for (int q = 0; q < 2; ++q) {
                const __m512d lo = _mm512_cvtps_pd(_mm512_castps512_ps256(d[q]));
                const __m512d hi = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(d[q]), 1)));
                // The square of a float is exact in double, so the fused
                // multiply-add rounds once, as the separate add would.
                acc[r][2 * q] = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_fmadd_pd(lo, lo, acc[r][2 * q])));
                acc[r][2 * q + 1] = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_fmadd_pd(hi, hi, acc[r][2 * q + 1])));
            }
        }
    }
    for (int r = 0; r < kRows; ++r)
        for (int q = 0; q < 2; ++q) {
            const __m512 s = _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(acc[r][2 * q])),
                                                _mm512_cvtpd_ps(acc[r][2 * q + 1]), 1);
            _mm512_mask_storeu_ps(t.sums[r] + 16 * q, mask[r][q], s);
        }
}

}  // namespace

ColumnPanels::ColumnPanels(TableData table, TwoWayLoop *loop) : ColumnPanels(table, nullptr, table.columns, loop) {}

ColumnPanels::ColumnPanels(TableData table, const int32_t *ids, int64_t count, TwoWayLoop *loop)
    : lines_(table.lines), columns_(count), cells_((count + W - 1) / W * W * table.lines) {
    const int64_t panels = (columns_ + W - 1) / W;
    const int64_t panelCells = static_cast<int64_t>(lines_) * W;
    const int64_t bytes = panels * panelCells * static_cast<int64_t>(sizeof(float));
    AdviseLargePages(cells_.get(), bytes);
    // Line after line, so that the table is read in its own order; each
    // thread fills its own panels.
    auto fill = [&](int64_t firstPanel, int64_t lastPanel, int) {
        for (int32_t l = 0; l < lines_; ++l) {
            const float *source = table.values + static_cast<int64_t>(l) * table.columns;
            float *target = cells_.get() + firstPanel * panelCells + static_cast<int64_t>(l) * W;
            for (int64_t k = firstPanel; k < lastPanel; ++k, target += panelCells) {
                const int64_t from = k * W, width = std::min<int64_t>(W, columns_ - from);
                if (ids == nullptr) {
                    for (int64_t p = 0; p < width; ++p) target[p] = source[from + p];
                } else {
                    for (int64_t p = 0; p < width; ++p) target[p] = source[ids[from + p]];
                }
                for (int64_t p = width; p < W; ++p) target[p] = 0.0f;
            }
        }
    };
    if (loop != nullptr && bytes >= kTwoThreadPanelBytes) {
        loop->Run(panels, panels / 2, 2, fill);
    } else {
        fill(0, panels, 0);
    }
}

namespace {
void RunPairSums(const PairSumRow *rows, int64_t rowCount, const ColumnPanels &panels, int64_t first,
                 int32_t begin, int32_t end, bool start);
}  // namespace

void ContinuePairSums(const PairSumRow *rows, int64_t rowCount, const ColumnPanels &panels, int64_t first,
                      int32_t begin, int32_t end) {
    RunPairSums(rows, rowCount, panels, first, begin, end, false);
}

void StartPairSums(const PairSumRow *rows, int64_t rowCount, const ColumnPanels &panels, int64_t first,
                   int32_t end) {
    RunPairSums(rows, rowCount, panels, first, 0, end, true);
}

namespace {

void RunPairSums(const PairSumRow *rows, int64_t rowCount, const ColumnPanels &panels, int64_t first,
                 int32_t begin, int32_t end, bool start) {
    if (start && begin >= end) {
        // No line: every sum stays 0.
        for (int64_t k = 0; k < rowCount; ++k)
            std::fill(rows[k].sums, rows[k].sums + std::clamp<int64_t>(panels.columns() - first, 0, rows[k].limit), 0.0f);
        return;
    }
    void (*kernel)(const Tile &) = ActiveKernelLevel() == KernelLevel::Avx512 ? TileAvx512
                                   : ActiveKernelLevel() == KernelLevel::Avx2 ? TileAvx2
                                                                              : TileScalar;
    const int64_t columns = panels.columns();
    float spare[W];  // the sums of rows beyond the last, never read or written
    for (int32_t chunk = begin; chunk < end; chunk += kChunkLines) {
        const int32_t count = std::min(kChunkLines, end - chunk);
        for (int64_t stretch = first; stretch < columns; stretch += kStretchColumns) {
            const int64_t stretchEnd = std::min(columns, stretch + kStretchColumns);
            for (int64_t r0 = 0; r0 < rowCount; r0 += kRows) {
                Tile t;
                t.step = W;
                t.count = count;
                t.fresh = start && chunk == begin;
                int64_t reach = 0;  // end of the columns any row of the block measures
                for (int r = 0; r < kRows; ++r) {
                    const PairSumRow &row = rows[std::min(r0 + r, rowCount - 1)];
                    t.a[r] = row.vector.data + chunk * row.vector.step;
                    if (r0 + r < rowCount) reach = std::max(reach, std::min(columns, first + row.limit));
                }
                const int64_t step = rows[r0].vector.step;
                bool sameStep = true;
                for (int64_t r = r0; r < std::min(r0 + kRows, rowCount); ++r) sameStep &= rows[r].vector.step == step;
                for (int64_t j = stretch; j < std::min(stretchEnd, reach); j += W) {
                    t.b = panels.Panel(j / W) + static_cast<int64_t>(chunk) * W;
                    for (int r = 0; r < kRows; ++r) {
                        const int64_t k = r0 + r;
                        const int64_t limit = k < rowCount ? std::min(columns, first + rows[k].limit) : 0;
                        t.valid[r] = static_cast<int32_t>(std::clamp<int64_t>(limit - j, 0, W));
                        t.sums[r] = k < rowCount ? rows[k].sums + (j - first) : spare;
                    }
                    if (sameStep) {
                        t.step = step;
                        kernel(t);
                    } else {
                        // Vectors read with different steps go one by one.
                        for (int r = 0; r < kRows; ++r) {
                            if (t.valid[r] == 0) continue;
                            Tile one = t;
                            one.step = rows[r0 + r].vector.step;
                            for (int s = 0; s < kRows; ++s) {
                                one.a[s] = t.a[r];
                                one.sums[s] = t.sums[r];
                                one.valid[s] = s == 0 ? t.valid[r] : 0;
                            }
                            kernel(one);
                        }
                    }
                }
            }
        }
    }
}

}  // namespace

float DistanceOfSum(float sum) { return static_cast<float>(std::sqrt(static_cast<double>(sum))); }

void TriangleDistances(const ColumnPanels &panels, int64_t firstRow, int64_t lastRow, float *out) {
    firstRow = std::max<int64_t>(firstRow, 1);
    if (lastRow <= firstRow) return;
    const int64_t base = PairIndex(firstRow, 0);
    const int64_t pairs = PairIndex(lastRow, 0) - base;
    // Rows in blocks of a bounded size, so that the row list stays small.
    constexpr int64_t kBlockRows = 256;
    PairSumRow rows[kBlockRows];
    for (int64_t i0 = firstRow; i0 < lastRow; i0 += kBlockRows) {
        const int64_t i1 = std::min(lastRow, i0 + kBlockRows);
        for (int64_t i = i0; i < i1; ++i)
            rows[i - i0] = PairSumRow{StridedVector{panels.Column(i), W}, out + (PairIndex(i, 0) - base), i};
        StartPairSums(rows, i1 - i0, panels, 0, panels.lines());
    }
    for (int64_t k = 0; k < pairs; ++k) out[k] = DistanceOfSum(out[k]);
}

DistanceMatrix ComputeColumnDistances(TableData table) {
    const int32_t n = table.columns;
    float *values = static_cast<float *>(monmalloc(PairCount(n) * static_cast<int64_t>(sizeof(float))));
    if (n < 2) return DistanceMatrix{n, values};
    // A large matrix is written once, from end to end: fewer, larger pages
    // fault in faster.
    AdviseLargePages(values, PairCount(n) * static_cast<int64_t>(sizeof(float)));
    TwoWayLoop loop;
    const ColumnPanels panels(table, &loop);
    // Two parts of the rows holding about as many pairs each.
    const int64_t split = std::clamp<int64_t>(std::llround(n / std::sqrt(2.0)), 1, n);
    auto part = [&](int64_t begin, int64_t end, int) {
        TriangleDistances(panels, begin, end, values + PairIndex(std::max<int64_t>(begin, 1), 0));
    };
    loop.Run(n, split, 0, part);
    return DistanceMatrix{n, values};
}
