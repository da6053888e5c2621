// The seven linkages of dendro-cluster, the merges the engines return, and
// how those become merge lines.
//
// Wiring, for a program:
//   1. ParseLinkage(text) reads --linkage; NeedsEuclidean(linkage) says
//      which linkages refuse another metric.
//   2. ChooseClusterInput(linkage, euclidean, missingCells, givenMatrix, n, m)
//      says whether the engines work on the packed matrix of all distances
//      (then ask PackedMatrixBytes(n) for the bytes it needs, and report
//      them if the matrix cannot be allocated) or from the data in
//      O(n x coordinates) memory.
//   3. ClusterPackedMatrix (engines/cluster/cluster.h) or the data engines
//      there return the n - 1 merges in output order; WriteClusterMerges
//      writes them as the project's merge lines. ClusterObjects
//      (engines/cluster/cluster_objects.h) does 2 and 3 for a metric space.
//   Keep a packed matrix in a MatrixBuffer (engines/cluster/matrix_buffer.h):
//   it asks for huge pages, which halves the time of the chain on large
//   matrices.
//
// Slots and the tie rule. A cluster is named by its slot, the largest
// object index it holds (the survivor of a merge is the larger slot, as in
// dendro-min and dendro-variance). The merged pair is the one of smallest
// value; among equal values the one whose larger slot is smallest, and
// among those the one whose smaller slot is smallest: the FIRST pair in the
// scan order "larger slot ascending, then smaller slot ascending".
// Merging never moves a pair ahead of both the pairs it came from under
// this order (the merged cluster keeps the larger slot, whose pairs come
// later), so the nearest-neighbour chain and the spanning tree find exactly
// the tree that merging the first smallest pair pass after pass finds. The
// last pair (the older programs' rule) lacks that property: a merged
// cluster would overtake pairs tied with it, and no chain could see that
// without rescanning every pair.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

enum class Linkage { Single, Complete, Average, Weighted, Centroid, Median, Ward };

// "single", "complete", "average", "weighted", "centroid", "median", "ward".
std::optional<Linkage> ParseLinkage(std::string_view text);
const char *LinkageName(Linkage linkage);
// Centroid, median and Ward linkage need Euclidean geometry.
bool NeedsEuclidean(Linkage linkage);

// One merge: the clusters of slots `larger` > `smaller` join, at `value`
// (the linkage's height as scipy defines it; for centroid, median and ward
// the square root of the squared height the engine compares, a negative one
// from a matrix that is not Euclidean written as 0).
struct ClusterMerge {
    int64_t larger = 0;
    int64_t smaller = 0;
    double value = 0;
};

enum class ClusterInput {
    // The packed strict lower triangle of all distances, n(n-1)/2 doubles.
    PackedMatrix,
    // The data themselves: single linkage computes distances row by row
    // (any metric); centroid, median and ward keep coordinate sums (Euclidean,
    // no missing cell).
    Data,
};
// Complete, average and weighted linkage, and any given matrix, need the
// matrix. The others work from the data, in O(n x m) memory for n objects
// of m coordinates, unless the matrix is at most twice the size of the data
// (n - 1 <= 4m): then computing all distances once in tiles costs far less
// than the data engines' passes over every coordinate, in memory still
// O(n x m). Single linkage, whose pass from the data is the cheapest (one
// distance per pair), takes the matrix only when it is no larger than the
// data (n - 1 <= m), so that its memory stays within twice the table's.
ClusterInput ChooseClusterInput(Linkage linkage, bool euclidean, bool missingCells, bool givenMatrix, int64_t n = 0,
                                int64_t m = 0);
// Bytes of the packed matrix of n objects; UINT64_MAX when beyond 64 bits.
uint64_t PackedMatrixBytes(int64_t n);

// The merge lines: "NODE<k>\t<first>\t<second>\t<value>\n", k counting the
// merges from 0, the first child the larger slot, a child written LEAF<slot>
// until its slot has merged, NODE<k> after. Values with six decimals ("%f")
// or, when precise, 17 significant digits ("%.17g", enough to read the double
// back). Returns false when a write failed.
bool WriteClusterMerges(std::FILE *out, const std::vector<ClusterMerge> &merges, bool precise);
