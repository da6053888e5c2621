// The distances between the objects of a table under one metric, computed
// in double precision, the same bytes on every platform, instruction set and
// thread count.
//
// Contract:
// 1. Distance(i, j), DistancesFrom and AllDistances give bit for bit the
//    same value for a pair, whichever is asked and in whatever order;
//    Distance(i, j) == Distance(j, i) and Distance(i, i) == 0.
// 2. Whole objects (no missing cell) are measured by the lane arithmetic of
//    kernels/metric_lanes.h: the Minkowski family on the coordinates as
//    read, the correlation family as the dot product of objects prepared
//    once (ranked, centred, divided by their length). A pair with a missing
//    cell is measured as kernels/missing_cells.h says.
// 3. A pair without a distance (no coordinate present in both; in the
//    correlation family, an object or a pair's common cells without
//    variance; for cosine, without length) has the value NaN.
//    FirstUndefinedPair finds the first such pair in the packed order, so
//    that a run can refuse the table before it clusters anything; the
//    clustering engines may assume every value a number once it has said
//    none.
// 4. The object is read-only once built: its methods may be called from
//    several threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "kernels/metric_lanes.h"
#include "model/metric.h"
#include "model/object_table.h"

// A pair of objects that has no distance; first > second.
struct UndefinedPair {
    std::int64_t first = 0, second = 0;
    enum class Cause {
        NoCommonCoordinate,  // no coordinate present in both
        NoVariance,          // correlation: constant (cosine: zero) on the common ones
    } cause = Cause::NoCommonCoordinate;
    // The object that has no variance (no length) on all its coordinates,
    // when that is why; -1 when only the pair's common ones lack it.
    std::int64_t constantObject = -1;
};

class MetricSpace {
public:
    MetricSpace(const ObjectTable &table, Metric metric);
    // Takes the table's storage over instead of copying it.
    MetricSpace(ObjectTable &&table, Metric metric);

    std::int64_t size() const { return objects_; }
    std::int64_t coordinates() const { return coordinates_; }
    Metric metric() const { return metric_; }
    const std::vector<std::string> &names() const { return names_; }
    bool HasMissingCells() const { return missingObjects_ > 0; }
    // Object i as the distances read it: its cells as read for the Minkowski
    // family and for any object with a missing cell, prepared (contract 2)
    // for whole objects of the correlation family.
    const double *Object(std::int64_t i) const { return data_.data() + i * coordinates_; }

    double Distance(std::int64_t i, std::int64_t j) const;
    // out[j - begin] = Distance(i, j) for j in [begin, end).
    void DistancesFrom(std::int64_t i, std::int64_t begin, std::int64_t end, double *out) const;
    // The packed strict lower triangle: the value of i > j at
    // (i - 1) * i / 2 + j, n (n - 1) / 2 values in all. Computed in
    // cache-sized tiles on `threads` threads (0: one per processor); the
    // values do not depend on the number.
    std::vector<double> AllDistances() const;

    // True when no object has a missing cell or is constant: then every
    // pair is measured by the lanes alone, and KeysAgainst serves.
    bool AllWhole() const { return specialObjects_.empty(); }
    // out[p] = the key of row x (as Object() gives rows) and object
    // objects[p], p < count: a value whose DistanceOfKey is the pair's
    // distance, bit for bit, non-decreasing in the key (the sum of squares
    // for Euclidean, else the distance). Whole objects only (AllWhole).
    void KeysAgainst(const double *x, const std::int64_t *objects, std::int64_t count, double *out) const;
    double DistanceOfKey(double key) const;
    void AllDistances(double *out, int threads = 0) const;

    std::optional<UndefinedPair> FirstUndefinedPair() const;
    // The first NaN of a packed triangle of `objects`, as an undefined pair
    // of this space (its cause worked out again).
    std::optional<UndefinedPair> FirstUndefinedPairIn(const double *packed) const;

    static constexpr std::int64_t PairCount(std::int64_t n) { return n * (n - 1) / 2; }

private:
    void Prepare();
    // The distance of i and j from their lanes; `lanes` is not read for a
    // pair with a missing cell or a constant object.
    double Finish(std::int64_t i, std::int64_t j, const double *lanes) const;
    UndefinedPair Explain(std::int64_t i, std::int64_t j) const;
    void RowBlock(std::int64_t block, double *acc, double *out) const;

    Metric metric_;
    LaneOp op_;
    std::int64_t objects_, coordinates_;
    std::vector<double> data_;
    std::vector<std::string> names_;
    // Per object: 1 when it holds a missing cell; 1 when, whole, it has no
    // variance (no length) for the correlation family.
    std::vector<unsigned char> missing_, constant_;
    std::int64_t missingObjects_ = 0;
    // Per block of AllDistances' tiles: 1 when an object of it has a
    // missing cell or is constant.
    std::vector<unsigned char> special_;
    // The objects with a missing cell or constant, ascending.
    std::vector<std::int64_t> specialObjects_;
};
