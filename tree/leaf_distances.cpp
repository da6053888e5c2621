#include "leaf_distances.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

double LeafDistances::At(std::size_t i, std::size_t j) const {
    if (i == j) return 0.0;
    double value = 0.0;
    Row(std::max(i, j), std::min(i, j), std::min(i, j) + 1, &value);
    return value;
}

void LeafDistances::Column(std::size_t j, std::size_t begin, std::size_t end, double *out) const {
    for (std::size_t i = begin; i < end; ++i) Row(i, j, j + 1, out + (i - begin));
}

void PackedDistances::Column(std::size_t j, std::size_t begin, std::size_t end, double *out) const {
    for (std::size_t i = begin; i < end; ++i) out[i - begin] = packed_[PackedIndex(i, j)];
}

PackedDistances::PackedDistances(std::size_t count, std::vector<double> packed)
    : count_(count), packed_(std::move(packed)) {}

void PackedDistances::Row(std::size_t i, std::size_t begin, std::size_t end, double *out) const {
    if (end > begin) std::memcpy(out, packed_.data() + PackedIndex(i, begin), (end - begin) * sizeof(double));
}

PackedDistances Renumbered(const LeafDistances &source, const std::vector<std::size_t> &order) {
    const std::size_t n = order.size();
    std::vector<double> packed(PackedSize(n));
    // Whole rows of the source, one per object, scattered into the new rows.
    std::vector<std::size_t> position(n);
    for (std::size_t p = 0; p < n; ++p) position[order[p]] = p;
    std::vector<double> row(n);
    for (std::size_t i = 1; i < n; ++i) {
        source.Row(i, 0, i, row.data());
        for (std::size_t j = 0; j < i; ++j) {
            const std::size_t p = position[i], q = position[j];
            packed[p > q ? PackedIndex(p, q) : PackedIndex(q, p)] = row[j];
        }
    }
    return PackedDistances(n, std::move(packed));
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool ParseDistanceText(std::string_view text, std::size_t count, std::vector<double> &packed, std::string &error) {
    const std::size_t expected = PackedSize(count);
    packed.clear();
    packed.reserve(expected);
    std::size_t line = 1, found = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (IsBlank(text[i])) {
            line += text[i] == '\n';
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !IsBlank(text[end])) ++end;
        const std::string_view word = text.substr(i, end - i);
        double value = 0;
        const char *first = word.data() + (word.front() == '+' ? 1 : 0);
        const auto [stop, status] = std::from_chars(first, word.data() + word.size(), value);
        if (status != std::errc() || stop != word.data() + word.size()) {
            error = "line " + std::to_string(line) + ": '" + std::string(word) + "' is not a number";
            return false;
        }
        if (!std::isfinite(value) || value < 0) {
            error = "line " + std::to_string(line) + ": the distance '" + std::string(word) +
                    "' is not a finite number of at least 0";
            return false;
        }
        if (++found <= expected) packed.push_back(value);
        i = end;
    }
    if (found != expected) {
        error = "holds " + std::to_string(found) + " distances; a tree of " + std::to_string(count) +
                " leaves needs " + std::to_string(expected) + " (the lower triangle, row after row)";
        return false;
    }
    return true;
}
