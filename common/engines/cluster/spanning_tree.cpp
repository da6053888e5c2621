#include "engines/cluster/spanning_tree.h"

#include <algorithm>
#include <limits>

#include "base/parallel.h"
#include "base/progress.h"
#include "engines/cluster/pass_order.h"

namespace {

struct Edge {
    double w;
    int64_t a, b;
};

// Prim's tree. `open` lists the objects not in the tree, ascending, with -1
// for those that joined since the last compaction.
class Prim {
public:
    Prim(int64_t n, const DistanceRows &rows) : n_(n), rows_(rows), key_(n, kInf), from_(n, 0) {
        open_.reserve(static_cast<size_t>(n));
        for (int64_t x = 1; x < n; ++x) open_.push_back(x);
    }

    std::vector<Edge> Run(bool twoThreads) {
        std::vector<Edge> edges;
        edges.reserve(static_cast<size_t>(n_ > 0 ? n_ - 1 : 0));
        TwoWayLoop loop;
        int64_t v = 0;
        ProgressStart("spanning tree", n_ - 1);
        while (!open_.empty()) {
            ProgressAdvance(static_cast<int64_t>(edges.size()));
            Best parts[2];
            const int64_t count = static_cast<int64_t>(open_.size());
            auto body = [&](int64_t begin, int64_t end, int part) { parts[part] = Relax(v, begin, end, part); };
            if (twoThreads) {
                loop.Run(count, count / 2, 4096, body);
            } else {
                body(0, count, 0);
            }
            const Best &b = Earlier(parts[0], parts[1]) ? parts[0] : parts[1];
            edges.push_back(Edge{key_[static_cast<size_t>(b.x)], from_[static_cast<size_t>(b.x)], b.x});
            open_[static_cast<size_t>(b.at)] = -1;
            v = b.x;
            if (++closed_ * 8 >= count) Compact();
        }
        return edges;
    }

private:
    static constexpr double kInf = std::numeric_limits<double>::infinity();
    struct Best {
        double key = kInf;
        int64_t x = -1, at = -1;
    };
    bool Earlier(const Best &p, const Best &q) const {
        if (q.x < 0) return p.x >= 0;
        if (p.x < 0) return false;
        return p.key < q.key || (p.key == q.key && p.x < q.x);
    }

    // Distances from v to open_[begin, end): runs of nearby indexes are asked
    // for at once (a hole of up to two objects is computed and dropped).
    Best Relax(int64_t v, int64_t begin, int64_t end, int part) {
        std::vector<double> &buf = buffer_[part];
        Best best;
        int64_t k = begin;
        while (k < end) {
            if (open_[static_cast<size_t>(k)] < 0) {
                ++k;
                continue;
            }
            int64_t last = k;
            for (int64_t t = k + 1; t < end; ++t) {
                const int64_t x = open_[static_cast<size_t>(t)];
                if (x < 0) continue;
                if (x - open_[static_cast<size_t>(last)] > 3 || x - open_[static_cast<size_t>(k)] >= 4096) break;
                last = t;
            }
            const int64_t lo = open_[static_cast<size_t>(k)], hi = open_[static_cast<size_t>(last)] + 1;
            buf.resize(static_cast<size_t>(hi - lo));
            rows_(v, lo, hi, buf.data());
            for (int64_t t = k; t <= last; ++t) {
                const int64_t x = open_[static_cast<size_t>(t)];
                if (x < 0) continue;
                const double d = buf[static_cast<size_t>(x - lo)];
                double &key = key_[static_cast<size_t>(x)];
                if (d < key) {
                    key = d;
                    from_[static_cast<size_t>(x)] = v;
                }
                if (key < best.key || best.x < 0) best = Best{key, x, t};
            }
            k = last + 1;
        }
        return best;
    }

    void Compact() {
        open_.erase(std::remove(open_.begin(), open_.end(), int64_t{-1}), open_.end());
        closed_ = 0;
    }

    int64_t n_;
    const DistanceRows &rows_;
    std::vector<double> key_;
    std::vector<int64_t> from_;
    std::vector<int64_t> open_;
    int64_t closed_ = 0;
    std::vector<double> buffer_[2];
};

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
void ResolveHeight(const std::vector<Edge> &edges, size_t first, size_t last, Forest &forest, const DistanceRows &rows,
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

// The merges of single linkage from a spanning tree's edges.
std::vector<FoundMerge> ResolveHeights(std::vector<Edge> edges, int64_t n, const DistanceRows &rows) {
    std::sort(edges.begin(), edges.end(), [](const Edge &p, const Edge &q) { return p.w < q.w; });
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

}  // namespace

std::vector<ClusterMerge> SingleLinkageTree(int64_t n, const DistanceRows &rows, bool twoThreads) {
    if (n < 2) return {};
    Prim prim(n, rows);
    std::vector<Edge> edges = prim.Run(twoThreads);
    return InPassOrder(ResolveHeights(std::move(edges), n, rows), n);
}

std::vector<ClusterMerge> SingleLinkageTree(const double *packed, int64_t n) {
    const DistanceRows rows = [packed](int64_t i, int64_t begin, int64_t end, double *out) {
        const int64_t row = i * (i - 1) / 2;
        for (int64_t x = begin; x < end; ++x) {
            *out++ = x < i ? packed[row + x] : x > i ? packed[x * (x - 1) / 2 + i] : 0.0;
        }
    };
    return SingleLinkageTree(n, rows, false);
}
