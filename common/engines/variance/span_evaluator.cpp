#include "engines/variance/span_evaluator.h"

#include "kernels/vector_levels.h"

namespace variance_engine {

// B lanes, p = 0 ... B - 1, of the loops below, with the lanes' running sums
// held in registers over all the lines: each lane's sum is one chain of
// dependent additions, and B of them go side by side.
template <int B, bool Broadcast>
[[gnu::always_inline]] inline void SpanBlock(const float *__restrict centroid, const float *__restrict member,
                                             int32_t lines, int32_t width, float *__restrict sums) {
    float acc[B];
    for (int p = 0; p < B; ++p) acc[p] = sums[p];
    for (int32_t l = 0; l < lines; ++l) {
        const float *c = centroid + static_cast<int64_t>(l) * width;
        for (int p = 0; p < B; ++p) {
            const float d = c[p] - (Broadcast ? member[l] : member[static_cast<int64_t>(l) * width + p]);
            acc[p] = static_cast<float>(static_cast<double>(d) * d + acc[p]);
        }
    }
    for (int p = 0; p < B; ++p) sums[p] = acc[p];
}

// Lanes 0 ... width - 1 in blocks of 32, 16 and 8, then the rest.
template <bool Broadcast>
[[gnu::always_inline]] inline void SpanLanes(const float *centroid, const float *member, int32_t lines, int32_t width,
                                             float *sums) {
    int32_t p = 0;
    auto at = [&](int32_t q) { return Broadcast ? member : member + q; };
    for (; p + 32 <= width; p += 32) SpanBlock<32, Broadcast>(centroid + p, at(p), lines, width, sums + p);
    if (p + 16 <= width) {
        SpanBlock<16, Broadcast>(centroid + p, at(p), lines, width, sums + p);
        p += 16;
    }
    if (p + 8 <= width) {
        SpanBlock<8, Broadcast>(centroid + p, at(p), lines, width, sums + p);
        p += 8;
    }
    switch (width - p) {
        case 7: SpanBlock<7, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        case 6: SpanBlock<6, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        case 5: SpanBlock<5, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        case 4: SpanBlock<4, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        case 3: SpanBlock<3, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        case 2: SpanBlock<2, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        case 1: SpanBlock<1, Broadcast>(centroid + p, at(p), lines, width, sums + p); break;
        default: break;
    }
}

// sums[p] takes the squared differences of lane p over `lines` lines:
// centroid cell centroid[l * width + p], member cell member[l * width + p].
[[gnu::always_inline]] inline void SpanLoop(const float *centroid, const float *member, int32_t lines, int32_t width,
                                            float *sums) {
    SpanLanes<false>(centroid, member, lines, width, sums);
}
DENDRO_VECTOR_LEVELS(void, Span, SpanLoop,
                     (const float *c, const float *x, int32_t lines, int32_t width, float *sums),
                     (c, x, lines, width, sums))

// The same with one side broadcast: sums[p] takes the squared differences of
// centroid[l * width + p] and x[l].
[[gnu::always_inline]] inline void SpanBroadcastLoop(const float *centroid, const float *x, int32_t lines,
                                                     int32_t width, float *sums) {
    SpanLanes<true>(centroid, x, lines, width, sums);
}
DENDRO_VECTOR_LEVELS(void, SpanBroadcast, SpanBroadcastLoop,
                     (const float *c, const float *x, int32_t lines, int32_t width, float *sums),
                     (c, x, lines, width, sums))

}  // namespace variance_engine
