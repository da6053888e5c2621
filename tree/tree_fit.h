// How well a tree keeps the distances it was built from: the cophenetic
// distances (the value of the merge that first joins two leaves), their
// correlation with the distances, and the merges drawn below their parts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dendrogram_file.h"

struct TreeFit {
    double correlation = 0;      // Pearson's, over all pairs of leaves
    std::size_t inversions = 0;  // merges lower than one of their parts
    std::size_t nonFinite = 0;   // merges whose value is not finite
};

// The fit of `tree` to the packed distances between its columns (the
// value of columns i > j at (i - 1) * i / 2 + j). Each pair is met once,
// merge by merge, with no search for its merge; the correlation is the
// centred form: sum((y - mean y)(c - mean c)) / sqrt(sum((y - mean y)^2)
// sum((c - mean c)^2)).
TreeFit FitOfTree(const Dendrogram &tree, const std::vector<double> &distances);

// The merges lower than one of their parts (or finite above a part that
// is not).
std::size_t InversionCount(const Dendrogram &tree);

// The cophenetic distances, packed as the distances are.
std::vector<double> CopheneticDistances(const Dendrogram &tree);

// A packed triangle as a distance file: row i (from 1) on line i, its i
// values separated by tabs, each in the shortest form that reads back
// exactly.
std::string DistanceFileText(const std::vector<double> &packed, std::size_t count);
