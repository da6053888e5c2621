#include "engines/cluster/spanning_tree.h"

#include <algorithm>
#include <limits>

#include "base/parallel.h"
#include "base/progress.h"
#include "engines/cluster/pass_order.h"
#include "engines/cluster/tree_heights.h"

namespace {

// Prim's tree. `open` lists the objects not in the tree, ascending, with -1
// for those that joined since the last compaction.
class Prim {
public:
    Prim(int64_t n, const DistanceRows &rows) : n_(n), rows_(rows), key_(n, kInf), from_(n, 0) {
        open_.reserve(static_cast<size_t>(n));
        for (int64_t x = 1; x < n; ++x) open_.push_back(x);
    }

    std::vector<TreeEdge> Run(bool twoThreads) {
        std::vector<TreeEdge> edges;
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
            edges.push_back(TreeEdge{key_[static_cast<size_t>(b.x)], from_[static_cast<size_t>(b.x)], b.x});
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

// Prim's tree over objects' rows. Positions [0, count) hold the objects
// not in the tree, ascending, each with its key to the tree and the tree
// object that gives it; an object that joins leaves a hole (key NaN, which
// no comparison picks) until the holes are an eighth of the positions and
// the lists are compacted.
class PointPrim {
public:
    PointPrim(int64_t n, const PointRows &points)
        : n_(n), points_(points), object_(static_cast<size_t>(n - 1)), from_(static_cast<size_t>(n - 1), 0),
          key_(static_cast<size_t>(n - 1), kInf), buffer_(static_cast<size_t>(n - 1)) {
        for (int64_t x = 1; x < n; ++x) object_[static_cast<size_t>(x - 1)] = x;
    }

    std::vector<TreeEdge> Run(bool twoThreads) {
        std::vector<TreeEdge> edges;
        edges.reserve(static_cast<size_t>(n_ - 1));
        TwoWayLoop loop;
        int64_t v = 0;
        ProgressStart("spanning tree", n_ - 1);
        while (static_cast<int64_t>(edges.size()) < n_ - 1) {
            ProgressAdvance(static_cast<int64_t>(edges.size()));
            Best parts[2];
            const int64_t count = static_cast<int64_t>(object_.size());
            const double *x = points_.object(v);
            auto body = [&](int64_t begin, int64_t end, int part) { parts[part] = Relax(x, v, begin, end); };
            if (twoThreads) {
                loop.Run(count, count / 2, 4096, body);
            } else {
                body(0, count, 0);
            }
            const Best &b = Earlier(parts[0], parts[1]) ? parts[0] : parts[1];
            const size_t at = static_cast<size_t>(b.at);
            edges.push_back(TreeEdge{points_.distance(key_[at]), from_[at], object_[at]});
            v = object_[at];
            key_[at] = std::numeric_limits<double>::quiet_NaN();
            if (++holes_ * 8 >= count) Compact();
        }
        return edges;
    }

private:
    static constexpr double kInf = std::numeric_limits<double>::infinity();
    struct Best {
        double key = kInf;
        int64_t x = -1, at = -1;
    };
    static bool Earlier(const Best &p, const Best &q) {
        if (q.x < 0) return p.x >= 0;
        if (p.x < 0) return false;
        return p.key < q.key || (p.key == q.key && p.x < q.x);
    }

    // Keys from row x (object v) to positions [begin, end): the smallest
    // key, the first (smallest object) among equals. A hole's object is
    // measured too (it is still an object) and its key left NaN.
    Best Relax(const double *x, int64_t v, int64_t begin, int64_t end) {
        double *fresh = buffer_.data();
        points_.keys(x, object_.data() + begin, end - begin, fresh + begin);
        double *key = key_.data();
        int64_t *from = from_.data();
        for (int64_t p = begin; p < end; ++p) {
            const bool closer = fresh[p] < key[p];
            key[p] = closer ? fresh[p] : key[p];
            from[p] = closer ? v : from[p];
        }
        // Holes are NaN: one is found only when the part holds nothing else.
        const int64_t at = FirstSmallest(key + begin, end - begin, -1);
        if (at < 0 || key[begin + at] != key[begin + at]) return Best{};
        return Best{key[begin + at], object_[static_cast<size_t>(begin + at)], begin + at};
    }

    void Compact() {
        size_t to = 0;
        for (size_t p = 0; p < object_.size(); ++p) {
            if (key_[p] != key_[p]) continue;
            object_[to] = object_[p];
            key_[to] = key_[p];
            from_[to] = from_[p];
            ++to;
        }
        object_.resize(to);
        key_.resize(to);
        from_.resize(to);
        holes_ = 0;
    }

    int64_t n_;
    const PointRows &points_;
    std::vector<int64_t> object_, from_;
    std::vector<double> key_, buffer_;
    int64_t holes_ = 0;
};

}  // namespace

std::vector<ClusterMerge> SingleLinkageTree(int64_t n, const DistanceRows &rows, bool twoThreads) {
    if (n < 2) return {};
    Prim prim(n, rows);
    std::vector<TreeEdge> edges = prim.Run(twoThreads);
    return InPassOrder(MergesOfTree(std::move(edges), n, rows), n);
}

std::vector<ClusterMerge> SingleLinkageTree(int64_t n, const PointRows &points, const DistanceRows &rows,
                                            bool twoThreads) {
    if (n < 2) return {};
    PointPrim prim(n, points);
    std::vector<TreeEdge> edges = prim.Run(twoThreads);
    return InPassOrder(MergesOfTree(std::move(edges), n, rows), n);
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
