#include "cluster_reference.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

#include "engines/merge_line.h"

namespace {

double Packed(const std::vector<double> &d, int64_t i, int64_t j) {
    if (i < j) std::swap(i, j);
    return d[static_cast<size_t>(i * (i - 1) / 2 + j)];
}

// The pass-by-pass loop. value(i, j) gives the compared value of live slots
// i > j; merged(s, r) is told of each merge before the slots change; height
// turns a compared value into the written one.
std::vector<ClusterMerge> Passes(int64_t n, const std::function<double(int64_t, int64_t)> &value,
                                 const std::function<void(int64_t, int64_t)> &merged,
                                 const std::function<double(double)> &height) {
    std::vector<bool> live(static_cast<size_t>(n), true);
    std::vector<ClusterMerge> merges;
    for (int64_t pass = 0; pass + 1 < n; ++pass) {
        double best = std::numeric_limits<double>::infinity();
        int64_t bi = -1, bj = -1;
        for (int64_t i = 1; i < n; ++i) {
            if (!live[i]) continue;
            for (int64_t j = 0; j < i; ++j) {
                if (!live[j]) continue;
                const double v = value(i, j);
                if (bi < 0 || v < best) {
                    best = v;
                    bi = i;
                    bj = j;
                }
            }
        }
        merges.push_back(ClusterMerge{bi, bj, height(best)});
        merged(bi, bj);
        live[bj] = false;
    }
    return merges;
}

double Root(double q) { return q > 0 ? std::sqrt(q) : 0.0; }
double Same(double v) { return v; }

}  // namespace

std::vector<double> ReferenceEuclidean(const Points &p) {
    std::vector<double> d;
    for (int64_t i = 1; i < p.n; ++i) {
        for (int64_t j = 0; j < i; ++j) {
            double s = 0;
            for (int64_t k = 0; k < p.m; ++k) {
                const double t = p.values[i * p.m + k] - p.values[j * p.m + k];
                s += t * t;
            }
            d.push_back(std::sqrt(s));
        }
    }
    return d;
}

std::vector<double> ReferenceCityBlock(const Points &p) {
    std::vector<double> d;
    for (int64_t i = 1; i < p.n; ++i) {
        for (int64_t j = 0; j < i; ++j) {
            double s = 0;
            for (int64_t k = 0; k < p.m; ++k) s += std::fabs(p.values[i * p.m + k] - p.values[j * p.m + k]);
            d.push_back(s);
        }
    }
    return d;
}

std::vector<ClusterMerge> ReferenceMatrixMerges(const std::vector<double> &packed, int64_t n, Linkage linkage,
                                                bool squaredValues, bool lanceWilliams) {
    const bool squared = NeedsEuclidean(linkage);
    const bool sums =
        linkage == Linkage::Average || (!lanceWilliams && (linkage == Linkage::Centroid || linkage == Linkage::Ward));
    // The working matrix, full and symmetric: distances, squared distances,
    // or their sums over member pairs.
    std::vector<double> w(static_cast<size_t>(n * n), 0.0);
    for (int64_t i = 0; i < n; ++i) {
        for (int64_t j = 0; j < n; ++j) {
            const double d = i == j ? 0.0 : Packed(packed, i, j);
            w[i * n + j] = squared && !squaredValues ? d * d : d;
        }
    }
    std::vector<double> size(static_cast<size_t>(n), 1.0), within(static_cast<size_t>(n), 0.0);
    auto value = [&](int64_t i, int64_t j) -> double {
        const double na = size[i], nb = size[j], v = w[i * n + j];
        if (linkage == Linkage::Average) return v / (na * nb);
        if (!sums || linkage == Linkage::Average) return v;
        const double num = (na * nb) * v - ((nb * nb) * within[i] + (na * na) * within[j]);
        return linkage == Linkage::Ward ? 2 * num / ((na * nb) * (na + nb)) : num / ((na * na) * (nb * nb));
    };
    auto merged = [&](int64_t s, int64_t r) {
        const double ns = size[s], nr = size[r], nst = ns + nr, ab = w[s * n + r];
        for (int64_t x = 0; x < n; ++x) {
            if (x == s || x == r) continue;
            const double a = w[s * n + x], b = w[r * n + x], nx = size[x];
            double v = a + b;  // sums
            if (linkage == Linkage::Single) v = std::min(a, b);
            if (linkage == Linkage::Complete) v = std::max(a, b);
            if (linkage == Linkage::Weighted) v = (a + b) * 0.5;
            if (linkage == Linkage::Median) v = (a + b) * 0.5 - ab * 0.25;
            if (!sums && linkage == Linkage::Centroid) v = (ns * a + nr * b) / nst - ns * nr * ab / (nst * nst);
            if (!sums && linkage == Linkage::Ward) v = ((ns + nx) * a + (nr + nx) * b - nx * ab) / (nst + nx);
            w[s * n + x] = w[x * n + s] = v;
        }
        within[s] = within[s] + within[r] + ab;
        size[s] = nst;
    };
    return Passes(n, value, merged, squared ? Root : Same);
}

std::vector<ClusterMerge> ReferenceDataMerges(const Points &p, Linkage linkage) {
    const int64_t n = p.n, m = p.m;
    std::vector<std::vector<int64_t>> members(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) members[i] = {i};
    std::vector<double> centre(p.values);  // median only
    auto sums = [&](int64_t a) {
        std::vector<double> s(static_cast<size_t>(m), 0.0);
        for (int64_t x : members[a])
            for (int64_t k = 0; k < m; ++k) s[k] += p.values[x * m + k];
        return s;
    };
    auto value = [&](int64_t i, int64_t j) -> double {
        if (linkage == Linkage::Median) {
            double e = 0;
            for (int64_t k = 0; k < m; ++k) {
                const double t = centre[i * m + k] - centre[j * m + k];
                e += t * t;
            }
            return e;
        }
        const double na = static_cast<double>(members[i].size()), nb = static_cast<double>(members[j].size());
        const std::vector<double> si = sums(i), sj = sums(j);
        double e = 0;
        for (int64_t k = 0; k < m; ++k) {
            const double t = nb * si[k] - na * sj[k];
            e += t * t;
        }
        return linkage == Linkage::Ward ? 2 * e / ((na * nb) * (na + nb)) : e / ((na * na) * (nb * nb));
    };
    auto merged = [&](int64_t s, int64_t r) {
        for (int64_t k = 0; k < m; ++k) centre[s * m + k] = (centre[s * m + k] + centre[r * m + k]) * 0.5;
        members[s].insert(members[s].end(), members[r].begin(), members[r].end());
    };
    return Passes(n, value, merged, Root);
}

std::string ReferenceMergeText(const std::vector<ClusterMerge> &merges, bool precise) {
    std::string text;
    std::vector<int64_t> node(merges.size() + 2, -1);
    for (size_t k = 0; k < merges.size(); ++k) {
        const ClusterMerge &c = merges[k];
        char value[64], line[256];
        FormatMergeValue(value, c.value + 0.0, precise ? "%.17g" : "%f");
        auto child = [&](int64_t slot) {
            return node[slot] < 0 ? "LEAF" + std::to_string(slot) : "NODE" + std::to_string(node[slot]);
        };
        std::snprintf(line, sizeof line, "NODE%zu\t%s\t%s\t%s\n", k, child(c.larger).c_str(), child(c.smaller).c_str(),
                      value);
        text += line;
        node[c.larger] = static_cast<int64_t>(k);
    }
    return text;
}
