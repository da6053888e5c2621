// Distances between the leaves of a tree, in double precision, for the
// leaf order and the tree's fit: a packed strict lower triangle (the value
// of objects i > j at index (i - 1) * i / 2 + j), read from a distance file
// or computed from a table, and the same distances renumbered so that the
// leaves are counted in the order the tree draws them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline std::size_t PackedIndex(std::size_t i, std::size_t j) { return (i - 1) * i / 2 + j; }
inline std::size_t PackedSize(std::size_t n) { return n <= 1 ? 0 : (n - 1) * n / 2; }

// Distances between `Count()` objects, asked for a run of partners at a time.
class LeafDistances {
public:
    virtual ~LeafDistances() = default;
    virtual std::size_t Count() const = 0;
    // out[j - begin] = distance between objects i and j, for begin <= j < end <= i.
    virtual void Row(std::size_t i, std::size_t begin, std::size_t end, double *out) const = 0;
    // out[i - begin] = distance between objects i and j, for j < begin <= i < end.
    virtual void Column(std::size_t j, std::size_t begin, std::size_t end, double *out) const;
    double At(std::size_t i, std::size_t j) const;
};

// The packed triangle held whole.
class PackedDistances final : public LeafDistances {
public:
    PackedDistances(std::size_t count, std::vector<double> packed);
    std::size_t Count() const override { return count_; }
    void Row(std::size_t i, std::size_t begin, std::size_t end, double *out) const override;
    void Column(std::size_t j, std::size_t begin, std::size_t end, double *out) const override;
    const std::vector<double> &Values() const { return packed_; }

private:
    std::size_t count_;
    std::vector<double> packed_;
};

// The packed triangle of `order.size()` objects where object p is object
// order[p] of `source`.
PackedDistances Renumbered(const LeafDistances &source, const std::vector<std::size_t> &order);

// Parses a distance file for `count` objects: the strict lower triangle in
// packed order, numbers separated by any white space. Exactly (count - 1) *
// count / 2 numbers, each finite and not negative; every word must be a
// whole number. False with `error` saying what is wrong (which value, how
// many were found).
bool ParseDistanceText(std::string_view text, std::size_t count, std::vector<double> &packed, std::string &error);
