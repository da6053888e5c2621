// The variance engine's dispatch: which engine and which bounds a table
// gets, from its shape.
#include "engines/variance/variance_engine.h"

#include "base/utils.h"
#include "engines/cached_engine.h"
#include "engines/variance/centroid_bounds.h"
#include "engines/variance/exact_evaluator.h"
#include "engines/variance/gram_bounds.h"
#include "engines/variance/lazy_engine.h"
#include "engines/variance/threshold_sweep.h"
#include "model/distance_matrix.h"

namespace {

using variance_engine::CentroidBounds;
using variance_engine::kFewLines;
using variance_engine::LazyVarianceEngine;
using variance_engine::PairBounds;
using variance_engine::SweepApplies;
using variance_engine::ThresholdSweepEngine;
using variance_engine::VarianceCriterion;

// Largest column count for which the inner-product table (n^2 doubles) is
// kept.
constexpr int32_t kBoundedColumns = 11585;

// Tables of fewer lines than kFewLines, up to this many columns, keep the
// working matrix.
constexpr int32_t kFewLinesColumns = 16384;

// Tables of at most kSweepLines lines and at least kSweepColumns columns go
// to the threshold sweep (dendro_bench variance-engines: as fast as the
// working matrix at 3,000 columns of 16 lines, 1.3 to 4 times faster from
// 4,000 to 16,384, on uniform, blob and surface tables alike, and at 5,000
// columns of 4 lines; beyond 16,384 columns 1.15 to 2.3 times faster than
// the lazy engine over centroids at 20,000 and 32,768 columns of 16 lines;
// slower on uniform tables of 32 lines).
constexpr int32_t kSweepLines = 16;
constexpr int32_t kSweepColumns = 3000;

VarianceBounds forcedBounds = VarianceBounds::Automatic;

}  // namespace

void ForceVarianceBounds(VarianceBounds bounds) { forcedBounds = bounds; }

void WriteVarianceDendrogram(std::FILE *out, TableData table) {
    if (table.columns > MAX_OBJECTS) SortieProg(ExitMemory);
    VarianceBounds bounds = forcedBounds;
    if (bounds == VarianceBounds::Automatic && table.lines <= kSweepLines && table.columns >= kSweepColumns)
        bounds = VarianceBounds::Sweep;
    if (bounds == VarianceBounds::Sweep && !SweepApplies(table)) bounds = VarianceBounds::Automatic;
    if (!PairBounds::Applies(table)) {
        bounds = VarianceBounds::Automatic;  // every pair evaluated exactly
    } else if (bounds == VarianceBounds::Automatic) {
        // With few lines an exact value costs little more than an interval,
        // and the working matrix, up to kFewLinesColumns columns, beats
        // recomputing rows; otherwise the intervals pay.
        if (table.lines >= kFewLines || table.columns > kFewLinesColumns)
            bounds = table.columns <= kBoundedColumns ? VarianceBounds::InnerProducts : VarianceBounds::Centroids;
    }
    if (bounds == VarianceBounds::WorkingMatrix) {
        VarianceCriterion criterion(table);
        RunCachedEngine(out, table.columns, criterion);
    } else if (bounds == VarianceBounds::Sweep) {
        ThresholdSweepEngine<CentroidBounds> engine(table);
        engine.Run(out);
    } else if (bounds == VarianceBounds::InnerProducts) {
        LazyVarianceEngine<PairBounds> engine(table);
        engine.Run(out);
    } else if (bounds == VarianceBounds::Centroids) {
        LazyVarianceEngine<CentroidBounds> engine(table);
        engine.Run(out);
    } else {
        VarianceCriterion criterion(table);
        RunCachedEngine(out, table.columns, criterion);
    }
}

void printClassicDendrogram(std::FILE *out, TableData table) { WriteVarianceDendrogram(out, table); }
