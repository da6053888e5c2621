// The distances dendro-cluster measures between two objects (points whose
// coordinates are a column's or a line's cells), by name.
//
// Contract:
// 1. Euclidean: sqrt of the sum of squared differences; SqEuclidean: that
//    sum; CityBlock: the sum of absolute differences; Chebyshev: the largest
//    absolute difference (the Minkowski family).
// 2. Cosine: 1 - x.y / (|x| |y|); Correlation: 1 - Pearson's r;
//    AbsCorrelation: 1 - |r|; Spearman: 1 - Pearson's r of the average ranks
//    (the correlation family). Their values are kept within [0, 2].
// 3. Only Euclidean distances describe points in space whose centroids mean
//    something: the centroid, median and ward linkages take no other metric.
#pragma once

#include <optional>
#include <string>
#include <string_view>

enum class Metric { Euclidean, SqEuclidean, CityBlock, Chebyshev, Cosine, Correlation, AbsCorrelation, Spearman };

// Every metric, in the order of the enumeration (and of --help).
inline constexpr Metric kAllMetrics[] = {Metric::Euclidean,   Metric::SqEuclidean,    Metric::CityBlock,
                                         Metric::Chebyshev,   Metric::Cosine,         Metric::Correlation,
                                         Metric::AbsCorrelation, Metric::Spearman};

// The command-line name: "euclidean", "sqeuclidean", "cityblock",
// "chebyshev", "cosine", "correlation", "abscorrelation", "spearman".
const char *MetricName(Metric metric);
// The metric of that exact name; nothing for any other text.
std::optional<Metric> ParseMetric(std::string_view name);
// The names joined by '|', for messages and --help.
std::string MetricNames();

// True for Euclidean only: distances of points in Euclidean space.
bool IsEuclideanGeometry(Metric metric);
// Cosine, Correlation, AbsCorrelation and Spearman.
bool IsCorrelationFamily(Metric metric);
