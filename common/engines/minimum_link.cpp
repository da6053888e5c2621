#include "engines/minimum_link.h"

#include <cmath>
#include <cstring>
#include <cstdlib>

#include "base/utils.h"
#include "engines/cached_engine.h"
#include "engines/single_linkage/single_linkage.h"
#include "kernels/distance_tiles.h"

namespace {

// The minimum-link criterion read straight from the member lists: used for
// matrices holding a negative zero, whose sign depends on which of several
// equal pairs distanceClassesMin meets first.
struct MinimumLinkCriterion {
    DistanceMatrix matrix;

    void Fill(float *work, const int32_t *) const {
        for (int64_t k = 0; k < PairCount(matrix.count); ++k) work[k] = matrix.values[k];
    }

    void Update(const Clusters &c, int32_t i, int32_t, const int32_t *others, int32_t count, float *out) const {
        for (int32_t k = 0; k < count; ++k) {
            int32_t size;
            const int32_t *b = c.list(others[k], size);
            out[k] = distanceClassesMin(matrix, c.members[i], c.clusterSize[i], b, size);
        }
    }
};

// The minimum-link criterion for matrices holding NaN (and no negative
// zero). distanceClassesMin starts from the pair of the two lists' first
// members, which are the two slots, and only a strictly smaller distance
// replaces it: the result is NaN when the slots' own distance is NaN, and
// otherwise the smallest distance that is not NaN over all member pairs. That
// smallest distance follows the recurrence min(survivor's, absorbed's), kept
// here per pair of slots (NaN standing for "no pair that is a number yet").
class NanMinimumLinkCriterion {
public:
    explicit NanMinimumLinkCriterion(DistanceMatrix matrix)
        : matrix_(matrix), smallest_(static_cast<float *>(monmalloc(PairCount(matrix.count) * static_cast<int64_t>(sizeof(float))))) {
        for (int64_t k = 0; k < PairCount(matrix.count); ++k) smallest_[k] = matrix.values[k];
    }
    ~NanMinimumLinkCriterion() { std::free(smallest_); }
    NanMinimumLinkCriterion(const NanMinimumLinkCriterion &) = delete;
    NanMinimumLinkCriterion &operator=(const NanMinimumLinkCriterion &) = delete;

    void Fill(float *work, const int32_t *) const {
        for (int64_t k = 0; k < PairCount(matrix_.count); ++k) work[k] = matrix_.values[k];
    }

    void Update(const Clusters &, int32_t i, int32_t j, const int32_t *others, int32_t count, float *out) {
        for (int32_t k = 0; k < count; ++k) {
            const int32_t h = others[k];
            float &survivor = smallest_[Index(i, h)];
            const float absorbed = smallest_[Index(j, h)];
            if (survivor != survivor || absorbed < survivor) survivor = absorbed;
            const float slots = matrix_.values[Index(i, h)];
            out[k] = slots != slots ? slots : survivor;
        }
    }

private:
    static int64_t Index(int32_t x, int32_t y) { return x > y ? PairIndex(x, y) : PairIndex(y, x); }

    DistanceMatrix matrix_;
    float *smallest_;
};

struct MatrixContents {
    bool nan = false;
    bool negativeZero = false;
};

MatrixContents Inspect(DistanceMatrix matrix) {
    MatrixContents found;
    for (int64_t k = 0; k < PairCount(matrix.count); ++k) {
        const float v = matrix.values[k];
        found.nan |= v != v;
        found.negativeZero |= v == 0.0f && std::signbit(v);
    }
    return found;
}

}  // namespace

void printClassicDendrogram(std::FILE *out, DistanceMatrix matrix) {
    // No working matrix of more objects fits the 32-bit byte limit.
    if (matrix.count > MAX_OBJECTS) SortieProg(ExitMemory);
    const MatrixContents contents = Inspect(matrix);
    if (contents.negativeZero) {
        MinimumLinkCriterion criterion{matrix};
        RunCachedEngine(out, matrix.count, criterion);
    } else if (contents.nan) {
        NanMinimumLinkCriterion criterion(matrix);
        RunCachedEngine(out, matrix.count, criterion);
    } else {
        WriteSingleLinkage(out, matrix);
    }
}

bool NeedsDistanceMatrix(TableData table) {
    // A float is not finite when its exponent bits are all ones. The cells
    // are tested a block at a time, without a branch per cell, so that the
    // loop vectorises; the first block that holds one ends the scan.
    const int64_t cells = static_cast<int64_t>(table.lines) * table.columns;
    constexpr int64_t kBlock = 4096;
    for (int64_t begin = 0; begin < cells; begin += kBlock) {
        const int64_t end = cells - begin < kBlock ? cells : begin + kBlock;
        uint32_t found = 0;
        for (int64_t k = begin; k < end; ++k) {
            uint32_t bits;
            std::memcpy(&bits, &table.values[k], sizeof bits);
            found |= static_cast<uint32_t>((bits & 0x7f800000u) == 0x7f800000u);
        }
        if (found != 0) return true;
    }
    return false;
}

bool StoresDistanceMatrix(TableData table) {
    return ChooseSingleLinkageOrder(table) == SingleLinkageOrder::StoredMatrix || NeedsDistanceMatrix(table);
}

MinimumLinkPlan PrepareMinimumLink(TableData table) {
    if (table.columns > MAX_OBJECTS) SortieProg(ExitMemory);
    MinimumLinkPlan plan{table, DistanceMatrix{0, nullptr}};
    if (StoresDistanceMatrix(table)) plan.matrix = ComputeColumnDistances(table);
    return plan;
}

void WriteMinimumLink(std::FILE *out, const MinimumLinkPlan &plan) {
    if (plan.matrix.values != nullptr) {
        printClassicDendrogram(out, plan.matrix);
    } else {
        WriteSingleLinkage(out, plan.table);  // every cell finite: checked when prepared
    }
}

void printMinimumLinkDendrogram(std::FILE *out, TableData table) {
    const MinimumLinkPlan plan = PrepareMinimumLink(table);
    WriteMinimumLink(out, plan);
    std::free(plan.matrix.values);
}
