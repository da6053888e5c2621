#include "engines/cluster/tree_heights.h"

#include <algorithm>

namespace {

// Clusters as a union-find forest: each root's slot (largest object) and
// its objects as a chain through next_.
class Forest {
public:
    explicit Forest(int64_t n) : up_(n), slot_(n), low_(n), tail_(n), next_(n, -1), mark_(n, 0) {
        for (int64_t x = 0; x < n; ++x) up_[x] = slot_[x] = low_[x] = tail_[x] = x;
    }
    int64_t Find(int64_t x) {
        while (up_[x] != x) {
            up_[x] = up_[up_[x]];
            x = up_[x];
        }
        return x;
    }
    int64_t Slot(int64_t root) const { return slot_[root]; }
    // The smallest object of a root's cluster.
    int64_t Low(int64_t root) const { return low_[root]; }
    // A flag per root, for the caller's use (cleared by the caller).
    char &Mark(int64_t root) { return mark_[root]; }
    // Object after x in its root's chain (the chain starts at the root), -1 at the end.
    int64_t Next(int64_t x) const { return next_[x]; }
    // Joins two roots; returns the new root.
    int64_t Join(int64_t a, int64_t b) {
        if (slot_[a] < slot_[b]) std::swap(a, b);
        up_[b] = a;
        low_[a] = std::min(low_[a], low_[b]);
        next_[tail_[a]] = b;
        tail_[a] = tail_[b];
        return a;
    }

private:
    std::vector<int64_t> up_, slot_, low_, tail_, next_;
    std::vector<char> mark_;
};

// Which of the clusters `others` (roots) have an object at distance exactly v from an object of root a:
// their flags are set in `touched`. Each object of a asks for its distances
// to the span of objects the others cover, and only equal distances are
// looked up.
void Touching(Forest &forest, int64_t a, const std::vector<int64_t> &others, double v, const DistanceRows &rows,
              std::vector<char> &touched) {
    touched.assign(others.size(), 0);
    if (others.empty()) return;
    int64_t lo = forest.Low(others[0]), hi = 0;
    for (size_t k = 0; k < others.size(); ++k) {
        forest.Mark(others[k]) = 1;
        lo = std::min(lo, forest.Low(others[k]));
        hi = std::max(hi, forest.Slot(others[k]) + 1);
    }
    std::vector<double> d(static_cast<size_t>(hi - lo));
    size_t left = others.size();
    for (int64_t x = a; x >= 0 && left > 0; x = forest.Next(x)) {
        rows(x, lo, hi, d.data());
        for (int64_t y = lo; y < hi && left > 0; ++y) {
            if (d[static_cast<size_t>(y - lo)] != v) continue;
            const int64_t r = forest.Find(y);
            if (forest.Mark(r) != 1) continue;
            forest.Mark(r) = 2;
            --left;
        }
    }
    for (size_t k = 0; k < others.size(); ++k) {
        touched[k] = forest.Mark(others[k]) == 2;
        forest.Mark(others[k]) = 0;
    }
}

// Places the clusters `parts` (below height v, ascending by slot, all joined
// by edges of height v) one after another: each merges with the clusters
// made so far that it touches, smallest slot first. `links` are the edges
// as pairs of those clusters, sorted.
void PlaceParts(const std::vector<int64_t> &parts, const std::vector<std::pair<int64_t, int64_t>> &links, double v,
                Forest &forest, const DistanceRows &rows, std::vector<FoundMerge> &found) {
    auto bySlot = [&](int64_t p, int64_t q) { return forest.Slot(p) < forest.Slot(q); };
    // The clusters made so far, all of slot below the part being placed
    // and none touching another (else they would have merged).
    std::vector<int64_t> made;
    for (const int64_t m : parts) {
        std::vector<int64_t> touched, kept;
        auto near = std::equal_range(links.begin(), links.end(), std::make_pair(m, int64_t{-1}),
                                     [](const auto &p, const auto &q) { return p.first < q.first; });
        // Those the edges join to m touch it; the others are asked.
        std::vector<int64_t> asked;
        for (const int64_t r : made) {
            bool linked = false;
            for (auto it = near.first; it != near.second && !linked; ++it) linked = forest.Find(it->second) == r;
            (linked ? touched : asked).push_back(r);
        }
        std::vector<char> hit;
        Touching(forest, m, asked, v, rows, hit);
        for (size_t k = 0; k < asked.size(); ++k) (hit[k] ? touched : kept).push_back(asked[k]);
        std::sort(touched.begin(), touched.end(), bySlot);
        int64_t root = m;
        for (const int64_t r : touched) {
            found.push_back(FoundMerge{v, v, forest.Slot(root), forest.Slot(r)});
            root = forest.Join(root, r);
        }
        kept.push_back(root);
        made = std::move(kept);
    }
}

// The edges of one height v, [first, last), when there are several: they
// are taken apart into groups that they join, and each group is placed.
void ResolveHeight(const std::vector<TreeEdge> &edges, size_t first, size_t last, Forest &forest, const DistanceRows &rows,
                   std::vector<FoundMerge> &found) {
    const double v = edges[first].w;
    std::vector<std::pair<int64_t, int64_t>> links;
    for (size_t e = first; e < last; ++e) {
        const int64_t a = forest.Find(edges[e].a), b = forest.Find(edges[e].b);
        links.emplace_back(a, b);
        links.emplace_back(b, a);
    }
    std::sort(links.begin(), links.end());
    // Groups: the clusters the edges join, by a small union-find over them.
    std::vector<int64_t> parts;
    for (const auto &l : links) parts.push_back(l.first);
    parts.erase(std::unique(parts.begin(), parts.end()), parts.end());
    auto indexOf = [&](int64_t p) { return std::lower_bound(parts.begin(), parts.end(), p) - parts.begin(); };
    std::vector<int64_t> group(parts.size());
    for (size_t k = 0; k < parts.size(); ++k) group[k] = static_cast<int64_t>(k);
    auto top = [&](int64_t k) {
        while (group[k] != k) k = group[k] = group[group[k]];
        return k;
    };
    for (const auto &l : links) group[top(indexOf(l.first))] = top(indexOf(l.second));
    std::vector<std::pair<int64_t, int64_t>> byGroup;  // (group, slot)
    for (size_t k = 0; k < parts.size(); ++k) byGroup.emplace_back(top(static_cast<int64_t>(k)), forest.Slot(parts[k]));
    std::vector<size_t> order(parts.size());
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::sort(order.begin(), order.end(), [&](size_t p, size_t q) { return byGroup[p] < byGroup[q]; });
    for (size_t k = 0; k < order.size();) {
        std::vector<int64_t> members;
        const int64_t g = byGroup[order[k]].first;
        for (; k < order.size() && byGroup[order[k]].first == g; ++k) members.push_back(parts[order[k]]);
        PlaceParts(members, links, v, forest, rows, found);
    }
}

}  // namespace

std::vector<FoundMerge> MergesOfTree(std::vector<TreeEdge> edges, int64_t n, const DistanceRows &rows) {
    std::sort(edges.begin(), edges.end(), [](const TreeEdge &p, const TreeEdge &q) { return p.w < q.w; });
    Forest forest(n);
    std::vector<FoundMerge> found;
    found.reserve(edges.size());
    for (size_t first = 0; first < edges.size();) {
        size_t last = first + 1;
        while (last < edges.size() && edges[last].w == edges[first].w) ++last;
        if (last - first == 1) {
            const int64_t a = forest.Find(edges[first].a), b = forest.Find(edges[first].b);
            const double w = edges[first].w;
            found.push_back(
                FoundMerge{w, w, std::max(forest.Slot(a), forest.Slot(b)), std::min(forest.Slot(a), forest.Slot(b))});
            forest.Join(a, b);
        } else {
            ResolveHeight(edges, first, last, forest, rows, found);
        }
        first = last;
    }
    return found;
}

