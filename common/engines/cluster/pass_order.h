// The order of pairs (the tie rule of linkage.h) and the ordering of merges
// found out of order (nearest-neighbour chain, spanning tree) into the order
// in which merging the first smallest pair pass after pass would make them.
#pragma once

#include <cstdint>
#include <vector>

#include "engines/cluster/linkage.h"

// A merge as an engine finds it: `order` is the value the engine compares
// (a squared height for centroid, median and ward), `value` the height
// written.
struct FoundMerge {
    double order = 0;
    double value = 0;
    int64_t larger = 0;
    int64_t smaller = 0;
};

// The order of values: ascending, a NaN after every number (NaNs equal).
// Inputs are numbers, but squares of huge ones overflow, and an infinity
// minus an infinity is NaN: the engines must still end, with a tree.
inline bool ValueBefore(double v, double w) { return v < w || (w != w && v == v); }
inline bool ValueSame(double v, double w) { return v == w || (v != v && w != w); }

// The index of the first smallest of values[0, count) in the order of
// ValueBefore (the first of equals; a NaN only when all are NaN), leaving
// out index `skip` (-1: none), whose value it overwrites; -1 when there is
// none. The same as one strict scan, in two passes that vectorise.
int64_t FirstSmallest(double *values, int64_t count, int64_t skip);

// True when pair (value a, slots al > as) comes before pair (b, bl > bs):
// smaller value, then smaller larger slot, then smaller smaller slot.
inline bool PairBefore(double a, int64_t al, int64_t as, double b, int64_t bl, int64_t bs) {
    if (!ValueSame(a, b)) return ValueBefore(a, b);
    if (al != bl) return al < bl;
    return as < bs;
}
inline bool PairBefore(const FoundMerge &x, const FoundMerge &y) {
    return PairBefore(x.order, x.larger, x.smaller, y.order, y.larger, y.smaller);
}

// Merges of a monotone linkage in the order they were found (each cluster
// made before it takes part in another merge), sorted into the pass-by-pass
// order: by the pair order, a merge never before the merges that made its
// children (a rounding that made a parent's value fall below a child's
// keeps the parent after it). n is the number of objects.
std::vector<ClusterMerge> InPassOrder(std::vector<FoundMerge> found, int64_t n);
// Merges already in pass order.
std::vector<ClusterMerge> AsMerges(const std::vector<FoundMerge> &found);
