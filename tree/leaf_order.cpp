// The optimal leaf order, computed merge by merge from the leaves up.
//
// Contract:
//  1. Leaves are counted by their position in the tree's drawn order, so
//     every cluster is a run [lo, hi) of positions and its two parts are
//     [lo, mid) and [mid, hi).
//  2. For a merge v of parts A (left) and B (right), cost(v, u, z), for u in
//     A and z in B, is the smallest neighbour total of an order of v's
//     leaves that starts at u and ends at z. Such an order is A's leaves
//     from u to some m, then B's from some k to z, so
//         cost(v, u, z) = min over m, k of cost(A, u, m) + d(m, k) + cost(B, k, z)
//     where m runs over the other part of A than u's (u itself when A is a
//     leaf), k likewise in B. Reversing an order keeps its total, so the
//     table of v (|A| x |B| values) holds every order of v.
//  3. The minimum is taken in two steps: inner(u, k) = min over m of
//     cost(A, u, m) + d(m, k), then cost(v, u, z) = min over k of
//     inner(u, k) + cost(B, k, z). Each step walks its candidates in
//     ascending order of their first term and stops at the first one whose
//     first term plus the smallest possible second term cannot beat the
//     best so far (see BestOf): the result is exact, only work is skipped.
//  4. A merge's table is dropped once its parent's is made; what remains
//     are the arg-minima m and k, kept only where there was a choice (the
//     other part held more than one leaf), from which the order is read
//     back from the last merge down, without recursion.
#include "leaf_order.h"

#include <algorithm>
#include <limits>
#include <numeric>

#include "tree_render.h"

TreeSpans SpansOf(const Dendrogram &tree) {
    TreeSpans spans;
    spans.order = DrawnLeafOrder(tree);
    spans.position.resize(tree.leafCount);
    for (std::size_t p = 0; p < spans.order.size(); ++p) spans.position[spans.order[p]] = p;
    const std::size_t merges = tree.merges.size();
    spans.lo.resize(merges);
    spans.mid.resize(merges);
    spans.hi.resize(merges);
    for (std::size_t k = 0; k < merges; ++k) {
        const DendrogramChild left = LeftChild(tree.merges[k]), right = RightChild(tree.merges[k]);
        spans.lo[k] = left.isLeaf ? static_cast<std::uint32_t>(spans.position[left.index]) : spans.lo[left.index];
        spans.mid[k] = right.isLeaf ? static_cast<std::uint32_t>(spans.position[right.index]) : spans.lo[right.index];
        spans.hi[k] = right.isLeaf ? static_cast<std::uint32_t>(spans.position[right.index] + 1) : spans.hi[right.index];
    }
    return spans;
}

Dendrogram FlipMerges(Dendrogram tree, const std::vector<char> &flipped) {
    for (std::size_t k = 0; k < tree.merges.size(); ++k)
        if (flipped[k]) std::swap(tree.merges[k].first, tree.merges[k].second);
    return tree;
}

double NeighbourTotal(const std::vector<std::size_t> &order, const LeafDistances &distances) {
    double total = 0;
    for (std::size_t p = 1; p < order.size(); ++p) total += distances.At(order[p - 1], order[p]);
    return total;
}

namespace {

using Index = std::uint32_t;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// From this many uses of one candidate list on, sorting it pays.
constexpr std::size_t kSortFrom = 4;

// A part of a merge: a run of positions, split in its own two parts unless
// it is a leaf.
struct Part {
    Index lo, mid, hi;
    bool leaf;
    std::size_t node;  // the merge, when not a leaf
    std::size_t Size() const { return hi - lo; }
    // The other part than u's: where the other end of an order from u lies.
    Index OtherLo(Index u) const { return leaf ? u : u < mid ? mid : lo; }
    Index OtherHi(Index u) const { return leaf ? u + 1 : u < mid ? hi : mid; }
};

Part PartOf(const TreeSpans &spans, const DendrogramChild &child) {
    if (child.isLeaf) {
        const auto p = static_cast<Index>(spans.position[child.index]);
        return {p, p + 1, p + 1, true, 0};
    }
    return {spans.lo[child.index], spans.mid[child.index], spans.hi[child.index], false, child.index};
}

// cost(P, u, m) from P's table (|P1| x |P2|, P1 = [lo, mid)); 0 for a leaf.
double EndCost(const Part &part, const std::vector<double> &table, Index u, Index m) {
    if (part.leaf) return 0.0;
    const std::size_t width = part.hi - part.mid;
    return u < part.mid ? table[(u - part.lo) * width + (m - part.mid)] : table[(m - part.lo) * width + (u - part.mid)];
}

// The arg-minima kept for one merge (contract 4): the inner end m of the left
// part for rows u in [mLo, mHi), per k of the right part; the inner end k
// of the right part for columns z in [kLo, kHi), per u of the left part.
struct Choices {
    Index mLo = 0, mHi = 0, kLo = 0, kHi = 0;
    std::vector<Index> m, k;
};

// The rows of a part whose other part has more than one leaf.
void RowsWithChoice(const Part &part, Index &lo, Index &hi) {
    lo = hi = part.lo;
    if (part.leaf) return;
    const bool first = part.hi - part.mid > 1, second = part.mid - part.lo > 1;
    lo = first ? part.lo : part.mid;
    hi = second ? part.hi : part.mid;
    if (lo >= hi) lo = hi = part.lo;
}

// The smallest first[j] + second(j) over the candidates j of `ranked`;
// `floor` is at most every second(j). A candidate with first[j] + floor >=
// best cannot come out below best (rounded addition is monotonic in each
// operand), so it is passed over; when `ranked` is sorted ascending by
// first[j], so is every later one, and the walk stops there. Among equal
// totals the first met wins. Returns the index j, or the first candidate
// when none is below infinity.
template <typename Second>
std::size_t BestOf(const std::vector<Index> &ranked, bool sorted, const double *first, double floor, Second second,
                   double &best) {
    best = kInfinity;
    std::size_t arg = ranked.empty() ? 0 : ranked.front();
    for (const Index j : ranked) {
        if (first[j] + floor >= best) {
            if (sorted) break;
            continue;
        }
        const double total = first[j] + second(j);
        if (total < best) {
            best = total;
            arg = j;
        }
    }
    return arg;
}

// Candidates 0 .. count - 1 ranked by `values`, ascending; in their own
// order when the list is used too few times to pay for sorting. True when
// sorted.
bool Rank(const double *values, std::size_t count, std::size_t uses, std::vector<Index> &ranked) {
    ranked.resize(count);
    std::iota(ranked.begin(), ranked.end(), Index{0});
    if (uses < kSortFrom || count < 2) return false;
    std::stable_sort(ranked.begin(), ranked.end(), [values](Index x, Index y) { return values[x] < values[y]; });
    return true;
}

// Smallest value of each row of `block` (rows x width) over [from, to).
std::vector<double> RowMinima(const std::vector<double> &block, std::size_t rows, std::size_t width, std::size_t from,
                              std::size_t to) {
    std::vector<double> minima(rows, kInfinity);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = from; c < to; ++c) minima[r] = std::min(minima[r], block[r * width + c]);
    return minima;
}

// Step one (contract 3): inner(u, k) for u in A, k in B, as |A| x |B| values.
std::vector<double> InnerCosts(const Part &a, const std::vector<double> &tableA, const Part &b,
                               const LeafDistances &distances, Choices &choices) {
    const std::size_t na = a.Size(), nb = b.Size();
    std::vector<double> block(nb * na);  // d(k, m): row k - b.lo, column m - a.lo
    if (na >= nb) {
        for (Index k = b.lo; k < b.hi; ++k) distances.Row(k, a.lo, a.hi, &block[(k - b.lo) * na]);
    } else {
        std::vector<double> column(nb);
        for (Index m = a.lo; m < a.hi; ++m) {
            distances.Column(m, b.lo, b.hi, column.data());
            for (std::size_t kb = 0; kb < nb; ++kb) block[kb * na + (m - a.lo)] = column[kb];
        }
    }
    std::vector<double> inner(na * nb);
    const std::vector<double> floorFirst = RowMinima(block, nb, na, 0, a.mid - a.lo);
    const std::vector<double> floorSecond = RowMinima(block, nb, na, a.mid - a.lo, na);
    RowsWithChoice(a, choices.mLo, choices.mHi);
    choices.m.resize(static_cast<std::size_t>(choices.mHi - choices.mLo) * nb);
    std::vector<double> first;
    std::vector<Index> ranked;
    for (Index u = a.lo; u < a.hi; ++u) {
        const Index otherLo = a.OtherLo(u), count = a.OtherHi(u) - otherLo;
        if (count == 1) {  // no choice: the other end is that leaf
            const double cost = EndCost(a, tableA, u, otherLo);
            double *out = &inner[(u - a.lo) * nb];
            for (std::size_t kb = 0; kb < nb; ++kb) out[kb] = cost + block[kb * na + (otherLo - a.lo)];
            continue;
        }
        first.resize(count);
        for (Index j = 0; j < count; ++j) first[j] = EndCost(a, tableA, u, otherLo + j);
        const bool sorted = Rank(first.data(), count, nb, ranked);
        const std::vector<double> &floor = a.leaf ? floorFirst : u < a.mid ? floorSecond : floorFirst;
        const bool kept = u >= choices.mLo && u < choices.mHi;
        for (std::size_t kb = 0; kb < nb; ++kb) {
            const double *row = &block[kb * na + (otherLo - a.lo)];
            double best;
            const std::size_t j = BestOf(ranked, sorted, first.data(), floor[kb], [row](Index x) { return row[x]; }, best);
            inner[(u - a.lo) * nb + kb] = best;
            if (kept) choices.m[(u - choices.mLo) * nb + kb] = otherLo + static_cast<Index>(j);
        }
    }
    return inner;
}

// Step two (contract 3): cost(v, u, z) for u in A, z in B, as |A| x |B| values.
std::vector<double> MergeCosts(const Part &a, const Part &b, const std::vector<double> &tableB,
                               const std::vector<double> &inner, Choices &choices) {
    const std::size_t na = a.Size(), nb = b.Size();
    if (b.leaf) return inner;
    const std::vector<double> floorFirst = RowMinima(inner, na, nb, 0, b.mid - b.lo);
    const std::vector<double> floorSecond = RowMinima(inner, na, nb, b.mid - b.lo, nb);
    RowsWithChoice(b, choices.kLo, choices.kHi);
    const std::size_t width = choices.kHi - choices.kLo;
    choices.k.resize(na * width);
    std::vector<double> table(na * nb), first;
    std::vector<Index> ranked;
    for (Index z = b.lo; z < b.hi; ++z) {
        const Index otherLo = b.OtherLo(z), count = b.OtherHi(z) - otherLo;
        if (count == 1) {
            // No choice: the other end is that leaf, for the whole half.
            const Index halfEnd = z < b.mid ? b.mid : b.hi;
            for (std::size_t ua = 0; ua < na; ++ua) {
                const double before = inner[ua * nb + (otherLo - b.lo)];
                for (Index y = z; y < halfEnd; ++y) table[ua * nb + (y - b.lo)] = before + EndCost(b, tableB, y, otherLo);
            }
            z = halfEnd - 1;
            continue;
        }
        first.resize(count);
        for (Index j = 0; j < count; ++j) first[j] = EndCost(b, tableB, z, otherLo + j);
        const bool sorted = Rank(first.data(), count, na, ranked);
        const std::vector<double> &floor = z < b.mid ? floorSecond : floorFirst;
        const bool kept = z >= choices.kLo && z < choices.kHi;
        for (std::size_t ua = 0; ua < na; ++ua) {
            const double *row = &inner[ua * nb + (otherLo - b.lo)];
            double best;
            const std::size_t j = BestOf(ranked, sorted, first.data(), floor[ua], [row](Index x) { return row[x]; }, best);
            table[ua * nb + (z - b.lo)] = best;
            if (kept) choices.k[ua * width + (z - choices.kLo)] = otherLo + static_cast<Index>(j);
        }
    }
    return table;
}

// The bytes of arg-minima the whole tree keeps.
std::size_t ChoiceBytes(const Dendrogram &tree, const TreeSpans &spans) {
    std::size_t total = 0;
    for (const DendrogramMerge &merge : tree.merges) {
        const Part a = PartOf(spans, LeftChild(merge)), b = PartOf(spans, RightChild(merge));
        Index lo, hi;
        RowsWithChoice(a, lo, hi);
        total += static_cast<std::size_t>(hi - lo) * b.Size();
        RowsWithChoice(b, lo, hi);
        total += static_cast<std::size_t>(hi - lo) * a.Size();
    }
    return total * sizeof(Index);
}

// The inner ends (m in A, k in B) of the best order of merge v from u to z.
void InnerEnds(const Part &a, const Part &b, const Choices &choices, Index u, Index z, Index &m, Index &k) {
    if (b.leaf || b.OtherHi(z) - b.OtherLo(z) == 1)
        k = b.OtherLo(z);
    else
        k = choices.k[(u - a.lo) * (choices.kHi - choices.kLo) + (z - choices.kLo)];
    if (a.leaf || a.OtherHi(u) - a.OtherLo(u) == 1)
        m = a.OtherLo(u);
    else
        m = choices.m[(u - choices.mLo) * b.Size() + (k - b.lo)];
}

// Contract 4: from the last merge down, each merge told which leaf must
// come first and which last.
std::vector<char> ReadBackFlips(const Dendrogram &tree, const TreeSpans &spans, const std::vector<Choices> &choices,
                                Index rootFirst, Index rootLast) {
    std::vector<char> flipped(tree.merges.size(), 0);
    struct Task {
        std::size_t node;
        Index first, last;
    };
    std::vector<Task> tasks{{tree.merges.size() - 1, rootFirst, rootLast}};
    while (!tasks.empty()) {
        const Task task = tasks.back();
        tasks.pop_back();
        const DendrogramMerge &merge = tree.merges[task.node];
        const Part a = PartOf(spans, LeftChild(merge)), b = PartOf(spans, RightChild(merge));
        const bool flip = task.first >= b.lo;  // the order starts in the right part
        const Index u = flip ? task.last : task.first, z = flip ? task.first : task.last;
        Index m, k;
        InnerEnds(a, b, choices[task.node], u, z, m, k);
        flipped[task.node] = flip;
        // Unflipped: A from u to m, then B from k to z; flipped, the reverse.
        if (!a.leaf) tasks.push_back({a.node, flip ? m : u, flip ? u : m});
        if (!b.leaf) tasks.push_back({b.node, flip ? z : k, flip ? k : z});
    }
    return flipped;
}

}  // namespace

bool OptimalLeafOrder(const Dendrogram &tree, const LeafDistances &byPosition, LeafOrderResult &result,
                      std::string &error, std::size_t memoryLimit) {
    result.flipped.assign(tree.merges.size(), 0);
    result.total = 0;
    if (tree.merges.empty()) return true;
    const TreeSpans spans = SpansOf(tree);
    const std::size_t needed = ChoiceBytes(tree, spans);
    if (needed > memoryLimit) {
        error = "the optimal order of this tree would keep " + std::to_string(needed >> 20) +
                " MiB of choices, more than the " + std::to_string(memoryLimit >> 20) + " MiB allowed";
        return false;
    }
    std::vector<std::vector<double>> tables(tree.merges.size());
    std::vector<Choices> choices(tree.merges.size());
    for (std::size_t v = 0; v < tree.merges.size(); ++v) {
        const DendrogramMerge &merge = tree.merges[v];
        const Part a = PartOf(spans, LeftChild(merge)), b = PartOf(spans, RightChild(merge));
        static const std::vector<double> none;
        const std::vector<double> &tableA = a.leaf ? none : tables[a.node];
        const std::vector<double> &tableB = b.leaf ? none : tables[b.node];
        const std::vector<double> inner = InnerCosts(a, tableA, b, byPosition, choices[v]);
        tables[v] = MergeCosts(a, b, tableB, inner, choices[v]);
        if (!a.leaf) std::vector<double>().swap(tables[a.node]);
        if (!b.leaf) std::vector<double>().swap(tables[b.node]);
    }
    // The best pair of ends of the whole order; the last merge keeps its sides.
    const std::vector<double> &root = tables.back();
    const std::size_t best = static_cast<std::size_t>(std::min_element(root.begin(), root.end()) - root.begin());
    const Part a = PartOf(spans, LeftChild(tree.merges.back())), b = PartOf(spans, RightChild(tree.merges.back()));
    result.total = root[best];
    result.flipped = ReadBackFlips(tree, spans, choices, a.lo + static_cast<Index>(best / b.Size()),
                                   b.lo + static_cast<Index>(best % b.Size()));
    return true;
}
