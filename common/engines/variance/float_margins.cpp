#include "engines/variance/float_margins.h"

#include "kernels/vector_levels.h"

namespace variance_engine {

[[gnu::always_inline]] inline void CheapLoop(const CheapFixed &fixed, int32_t count, const double *__restrict d2,
                                             const double *__restrict size, const double *__restrict ownLow,
                                             const double *__restrict ownHigh, const double *__restrict normSum,
                                             double *__restrict low, double *__restrict high) {
    const CheapFixed f = fixed;
    for (int32_t k = 0; k < count; ++k) {
        const double sb = size[k], total = f.size + sb;
        const double w = 2.0 * f.size * sb / (total * total);
        const double down = d2[k] - f.e2, up = d2[k] + f.e2;
        const double dLow = std::max(0.0, std::sqrt(down > 0.0 ? down : 0.0) - f.e1);
        const double dHigh = std::sqrt(up > 0.0 ? up : 0.0) + f.e1;
        const double mLow = (f.size * f.ownLow + sb * ownLow[k]) / total;
        const double mHigh = (f.size * f.ownHigh + sb * ownHigh[k]) / total;
        const double realLow = std::max(w * dLow, mLow - w * dHigh) * (1.0 - 16.0 * kUd) - f.omega;
        const double realHigh = (mHigh + w * dHigh) * (1.0 + 16.0 * kUd) + f.omega;
        const double gn = total * kU / (1.0 - total * kU);
        const double gn1 = (total + 1.0) * kU / (1.0 - (total + 1.0) * kU);
        const double ec = gn1 * (f.normSum + normSum[k]) / total + f.centroidFloor;
        const double lo = (1.0 - kU) * ((1.0 - gn) * (f.kLow * (realLow - ec) - f.alpha) - kTau) - kTau;
        const double hi = (1.0 + kU) * ((1.0 + gn) * (f.kHigh * (realHigh + ec) + f.alpha) + kTau) + kTau;
        low[k] = lo - std::fabs(lo) * 0x1p-40;
        high[k] = hi + std::fabs(hi) * 0x1p-40;
    }
}
DENDRO_VECTOR_LEVELS(void, CheapMany, CheapLoop,
                     (const CheapFixed &f, int32_t count, const double *d2, const double *size, const double *ownLow,
                      const double *ownHigh, const double *normSum, double *low, double *high),
                     (f, count, d2, size, ownLow, ownHigh, normSum, low, high))

}  // namespace variance_engine
