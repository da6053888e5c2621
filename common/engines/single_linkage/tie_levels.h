// Single linkage merges clusters at non-decreasing values, and the clusters
// joined at one value w are the components that the spanning tree's edges of
// weight w connect: any minimum spanning tree gives the same components. The
// engine picks, among the pairs at the smallest value, the one with the
// largest slot (a cluster's slot is its largest column) and then the largest
// partner. So within one value the components are merged one after another,
// largest slot first, and inside a component of three or more clusters its
// largest slot absorbs, one at a time, the largest cluster lying at exactly w
// from what it holds so far. That order needs every pair at exactly w, not
// only the tree's edges: it is found from the distances between the columns
// of each absorbed cluster and those of the clusters not reached yet.
//
// The distances a level needs come from a GroupDistances policy, one for a
// table (TableGroupDistances: the vector kernel over copies of the group's
// columns) and one for a stored matrix (MatrixGroupDistances). For a group
// of clusters whose columns are listed cluster after cluster (`members`,
// `count` of them; "column t" below is members[t]):
//
//   GroupDistances(Data data)
//       Made once per tree, after the tree is built.
//   void Prepare(const int32_t *members, int32_t count, float w)
//       Starts a group joined at weight w. Every column is open (not
//       reached yet), open position p holding column p, until MoveOpen says
//       otherwise.
//   void Between(int32_t a, int32_t begin, int32_t length, float *out)
//       out[t] = the distance of columns a and begin + t, t < length.
//   void ToOpen(int32_t a, int32_t open, float *out)
//       out[p] = the distance of column a and the column at open position
//       p, p < open.
//   void MoveOpen(int32_t to, int32_t from)
//       The column at open position `from` moves to position `to`.
//
// Each distance must be the one the engine over the matrix would read: the
// float distance of the two columns, bit for bit, as the levels are found
// by comparing distances to the tree's edge weights with ==. Only where a
// distance is proved to lie above w may it be given as infinity instead
// (the table's policy proves it with floors, kernels/distance_floors.h).
#pragma once

#include <cstdint>
#include <cstdio>

#include "engines/single_linkage/spanning_trees.h"
#include "model/distance_matrix.h"
#include "model/table.h"

namespace single_linkage {

// Writes the merge lines of the n columns from the n - 1 edges of a minimum
// spanning tree (reordered on the way), the distances each level needs
// taken from the table or the matrix.
void WriteTieLevels(std::FILE *out, int32_t n, Edge *edges, TableData table);
void WriteTieLevels(std::FILE *out, int32_t n, Edge *edges, DistanceMatrix matrix);

}  // namespace single_linkage
