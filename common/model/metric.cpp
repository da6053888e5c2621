#include "model/metric.h"

const char *MetricName(Metric metric) {
    switch (metric) {
        case Metric::Euclidean: return "euclidean";
        case Metric::SqEuclidean: return "sqeuclidean";
        case Metric::CityBlock: return "cityblock";
        case Metric::Chebyshev: return "chebyshev";
        case Metric::Cosine: return "cosine";
        case Metric::Correlation: return "correlation";
        case Metric::AbsCorrelation: return "abscorrelation";
        case Metric::Spearman: return "spearman";
    }
    return "";
}

std::optional<Metric> ParseMetric(std::string_view name) {
    for (Metric metric : kAllMetrics)
        if (name == MetricName(metric)) return metric;
    return std::nullopt;
}

std::string MetricNames() {
    std::string names;
    for (Metric metric : kAllMetrics) {
        if (!names.empty()) names += '|';
        names += MetricName(metric);
    }
    return names;
}

bool IsEuclideanGeometry(Metric metric) { return metric == Metric::Euclidean; }

bool IsCorrelationFamily(Metric metric) {
    return metric == Metric::Cosine || metric == Metric::Correlation || metric == Metric::AbsCorrelation ||
           metric == Metric::Spearman;
}
