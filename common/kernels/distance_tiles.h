// Exact column distances for many pairs at once. A pair's distance is a sum
// over the lines taken in line order, rounded to float after every line, so
// the lines cannot be reordered; what can be shared is the reading of the
// cells. The pairs are taken tile by tile (a few vectors against a panel of
// columns), the lines in chunks that stay in cache while every tile of a
// stretch of columns uses them, and each pair's running float sum is carried
// from one chunk to the next. Every sum rounds exactly as euclidDistByColumn
// does, at every kernel level (scalar, AVX2, AVX-512; see kernels.h).
#pragma once

#include <cstdint>

#include "base/utils.h"
#include "model/distance_matrix.h"
#include "model/table.h"

class TwoWayLoop;

// The columns of a table regrouped in panels of WIDTH columns, each panel
// stored line after line: cell (line, c) is Panel(c / WIDTH)[line * WIDTH +
// c % WIDTH]. The last panel is filled up with columns of zeros. A panel of
// a chunk of lines is one contiguous run, read in full by the kernels.
class ColumnPanels {
public:
    static constexpr int32_t WIDTH = 32;

    // Given a loop, the panels are filled on both of its threads.
    explicit ColumnPanels(TableData table, TwoWayLoop *loop = nullptr);
    // Only the listed columns of the table, in list order: column k of the
    // panels is the table's column ids[k].
    ColumnPanels(TableData table, const int32_t *ids, int64_t count, TwoWayLoop *loop = nullptr);
    int32_t lines() const { return lines_; }
    int64_t columns() const { return columns_; }
    const float *Panel(int64_t k) const { return cells_.get() + k * lines_ * WIDTH; }
    // Column c as a vector read with step WIDTH.
    const float *Column(int64_t c) const { return Panel(c / WIDTH) + c % WIDTH; }

private:
    int32_t lines_;
    int64_t columns_;
    Block<float> cells_;
};

// A vector of one value per line: value l is data[l * step].
struct StridedVector {
    const float *data;
    int64_t step;
};

// One vector measured against the columns [first, first + limit) of the
// panels (first as given to ContinuePairSums); the running sum of its pair
// with column c is sums[c - first].
struct PairSumRow {
    StridedVector vector;
    float *sums;
    int64_t limit;
};

// Continues, over lines [begin, end), the running sums of squared
// differences of every row's pairs: for each row and each column c of
// [first, min(end of the panels' columns, first + row.limit)), with d the
// vector's value minus the cell, rounded to float, sum = d * d + sum in
// double, rounded to float, line after line. `first` is a multiple of
// ColumnPanels::WIDTH. Rows whose limits rise with their order (as in a
// triangle) waste the least work. The caller sets the sums to 0 before the
// first line.
void ContinuePairSums(const PairSumRow *rows, int64_t rowCount, const ColumnPanels &panels, int64_t first,
                      int32_t begin, int32_t end);

// The same from line 0 to `end`, the sums starting at 0 whatever they hold
// (they are only written).
void StartPairSums(const PairSumRow *rows, int64_t rowCount, const ColumnPanels &panels, int64_t first,
                   int32_t end);

// The distance of a finished running sum: its square root in double,
// rounded to float.
float DistanceOfSum(float sum);

// Rows [firstRow, lastRow) of the packed strict lower triangle of the
// distances between the panels' columns: the distance of columns i > j goes
// to out[PairIndex(i, j) - PairIndex(firstRow, 0)], equal bit for bit to
// euclidDistByColumn(i, j, table).
void TriangleDistances(const ColumnPanels &panels, int64_t firstRow, int64_t lastRow, float *out);

// Euclidean distances between every pair of the table's columns.
DistanceMatrix ComputeColumnDistances(TableData table);
