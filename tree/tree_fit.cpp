#include "tree_fit.h"

#include <cmath>

#include "leaf_distances.h"
#include "leaf_order.h"
#include "number_text.h"

std::size_t InversionCount(const Dendrogram &tree) {
    std::size_t count = 0;
    for (const DendrogramMerge &merge : tree.merges) {
        if (!std::isfinite(merge.value)) continue;
        bool inverted = false;
        for (const DendrogramChild &child : {merge.first, merge.second}) {
            const double part = child.isLeaf ? 0.0 : tree.merges[child.index].value;
            inverted = inverted || !std::isfinite(part) || part > merge.value;
        }
        count += inverted;
    }
    return count;
}

namespace {

// Calls visit(i, j, value) once for every pair of columns i > j, with the
// value of the merge that joins them: merge by merge, its left part's
// columns against its right part's.
template <typename Visit>
void ForEachPair(const Dendrogram &tree, const TreeSpans &spans, Visit visit) {
    for (std::size_t k = 0; k < tree.merges.size(); ++k) {
        const double value = tree.merges[k].value;
        for (std::size_t p = spans.lo[k]; p < spans.mid[k]; ++p)
            for (std::size_t q = spans.mid[k]; q < spans.hi[k]; ++q) {
                const std::size_t a = spans.order[p], b = spans.order[q];
                visit(a > b ? a : b, a > b ? b : a, value);
            }
    }
}

}  // namespace

TreeFit FitOfTree(const Dendrogram &tree, const std::vector<double> &distances) {
    TreeFit fit;
    fit.inversions = InversionCount(tree);
    for (const DendrogramMerge &merge : tree.merges) fit.nonFinite += !std::isfinite(merge.value);
    const std::size_t pairs = distances.size();
    if (pairs == 0) {
        fit.correlation = std::nan("");
        return fit;
    }
    const TreeSpans spans = SpansOf(tree);
    double sumDistances = 0, sumCophenetic = 0;
    for (const double d : distances) sumDistances += d;
    for (std::size_t k = 0; k < tree.merges.size(); ++k)
        sumCophenetic += tree.merges[k].value * static_cast<double>(spans.mid[k] - spans.lo[k]) *
                         static_cast<double>(spans.hi[k] - spans.mid[k]);
    const double meanDistance = sumDistances / static_cast<double>(pairs);
    const double meanCophenetic = sumCophenetic / static_cast<double>(pairs);
    // Sums of one merge's pairs first, then across merges: the partial sums
    // stay of like size.
    double cross = 0, squaresD = 0, squaresC = 0;
    for (std::size_t k = 0; k < tree.merges.size(); ++k) {
        const double c = tree.merges[k].value - meanCophenetic;
        double crossK = 0, squaresK = 0;
        for (std::size_t p = spans.lo[k]; p < spans.mid[k]; ++p) {
            double crossRow = 0, squaresRow = 0;
            for (std::size_t q = spans.mid[k]; q < spans.hi[k]; ++q) {
                const std::size_t a = spans.order[p], b = spans.order[q];
                const double y = distances[a > b ? PackedIndex(a, b) : PackedIndex(b, a)] - meanDistance;
                crossRow += y;
                squaresRow += y * y;
            }
            crossK += crossRow;
            squaresK += squaresRow;
        }
        const double count = static_cast<double>(spans.mid[k] - spans.lo[k]) * (spans.hi[k] - spans.mid[k]);
        cross += c * crossK;
        squaresD += squaresK;
        squaresC += c * c * count;
    }
    fit.correlation = cross / std::sqrt(squaresD * squaresC);
    return fit;
}

std::vector<double> CopheneticDistances(const Dendrogram &tree) {
    std::vector<double> packed(PackedSize(tree.leafCount));
    ForEachPair(tree, SpansOf(tree), [&packed](std::size_t i, std::size_t j, double value) {
        packed[PackedIndex(i, j)] = value;
    });
    return packed;
}

std::string DistanceFileText(const std::vector<double> &packed, std::size_t count) {
    std::string text;
    for (std::size_t i = 1; i < count; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (j > 0) text += '\t';
            text += ShortestText(packed[PackedIndex(i, j)]);
        }
        text += '\n';
    }
    return text;
}
