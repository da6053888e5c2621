#include "driver/cluster_program.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/progress.h"
#include "base/utils.h"
#include "engines/cluster/cluster.h"
#include "engines/cluster/cluster_objects.h"
#include "engines/cluster/linkage.h"
#include "engines/cluster/matrix_buffer.h"
#include "input/distance_input.h"
#include "input/object_table_reader.h"
#include "kernels/metric_space.h"

namespace {

// What the run was asked and what it read; lives until the process ends.
struct ClusterRun {
    Linkage linkage = Linkage::Average;
    Metric metric = Metric::Euclidean;
    bool rows = false, distances = false;
    ClusterInput route = ClusterInput::PackedMatrix;
    std::int64_t objects = 0;
    // The objects: coordinates for the engines that work from the data,
    // a metric space for single linkage from the data, or the matrix.
    ObjectTable table;
    std::unique_ptr<MetricSpace> space;
    std::vector<double> packed;                   // given (--distances)
    std::unique_ptr<MatrixBuffer> matrix;        // computed
    // Names of the objects for the reasons (may be empty).
    std::vector<std::string> names;
} run;

const char *const kLinkageNames = "single|complete|average|weighted|centroid|median|ward";

void ReadOptions() {
    if (OptionGiven("--linkage")) {
        const std::string text = OptionValue("--linkage");
        const std::optional<Linkage> linkage = ParseLinkage(text);
        if (!linkage) ExitWithReason(ExitArguments, "unknown linkage '" + text + "' (" + kLinkageNames + ")");
        run.linkage = *linkage;
    }
    if (OptionGiven("--metric")) {
        const std::string text = OptionValue("--metric");
        const std::optional<Metric> metric = ParseMetric(text);
        if (!metric) ExitWithReason(ExitArguments, "unknown metric '" + text + "' (" + MetricNames() + ")");
        run.metric = *metric;
    }
    run.rows = OptionGiven("--rows");
    run.distances = OptionGiven("--distances");
    if (run.distances && OptionGiven("--metric"))
        ExitWithReason(ExitArguments, "--metric measures the objects of a table; with --distances, INPUT holds the "
                                      "distances already");
    if (run.distances && run.rows)
        ExitWithReason(ExitArguments, "--rows chooses the objects of a table; with --distances, INPUT holds the "
                                      "distances of the objects already");
    if (NeedsEuclidean(run.linkage) && !IsEuclideanGeometry(run.metric)) {
        ExitWithReason(ExitArguments, std::string("--linkage ") + LinkageName(run.linkage) +
                                          " needs Euclidean distances (--metric euclidean), not " +
                                          MetricName(run.metric) + ": its merge values are distances between centroids");
    }
}

// "LEAF3 ('name')": an object as the merge lines and the input name it.
std::string Shown(std::int64_t object) {
    std::string text = "LEAF" + std::to_string(object);
    if (object < static_cast<std::int64_t>(run.names.size()) && !run.names[object].empty())
        text += " ('" + run.names[object] + "')";
    return text;
}

[[noreturn]] void RefuseUndefinedPair(const UndefinedPair &pair) {
    std::string reason;
    const bool cosine = run.metric == Metric::Cosine;
    if (pair.cause == UndefinedPair::Cause::NoCommonCoordinate) {
        reason = Shown(pair.first) + " and " + Shown(pair.second) +
                 " have no cell present in both: they have no distance";
    } else if (pair.constantObject >= 0) {
        reason = Shown(pair.constantObject) + (cosine ? " is all zero" : " has no variance (all its cells are equal)") +
                 ": its " + MetricName(run.metric) + " distance to " +
                 Shown(pair.constantObject == pair.first ? pair.second : pair.first) + " is undefined";
    } else {
        reason = Shown(pair.first) + " and " + Shown(pair.second) +
                 (cosine ? " have no cell other than 0 present in both"
                         : " have no variance on the cells present in both") +
                 ": their " + MetricName(run.metric) + " distance is undefined";
    }
    ExitWithReason(ExitRead, InputShownName() + ": " + reason);
}

void ReadDistances(std::FILE *in) {
    DistanceInput input = ReadDistanceInput(in, HeaderAsked());
    const std::string name = InputShownName();
    if (std::ferror(in)) ExitWithReason(ExitRead, name + ": cannot be read: " + std::strerror(errno));
    if (!input.refusal.empty()) ExitWithReason(input.empty ? ExitMemory : ExitRead, name + ": " + input.refusal);
    run.objects = input.objects;
    run.packed = std::move(input.packed);
    run.names = std::move(input.names);
}

void ReadObjects(std::FILE *in) {
    ObjectTableOptions options;
    options.header = HeaderAsked();
    options.rows = run.rows;
    options.labels = LabelsAsked();
    ObjectTableRead read = ReadObjectTable(in, options);
    const std::string name = InputShownName();
    if (std::ferror(in)) ExitWithReason(ExitRead, name + ": cannot be read: " + std::strerror(errno));
    if (!read.refusal.empty()) ExitWithReason(read.empty ? ExitMemory : ExitRead, name + ": " + read.refusal);
    for (const std::string &warning : read.warnings)
        std::fprintf(stderr, "warning: %s: %s\n", name.c_str(), warning.c_str());
    run.table = std::move(read.table);
    run.objects = run.table.objects;
    run.names = run.table.names;
}

// The reason for a matrix of all distances that cannot be allocated.
std::string MatrixTooLargeReason() {
    const std::uint64_t bytes = PackedMatrixBytes(run.objects);
    return InputShownName() + ": " + std::to_string(run.objects) + " objects: the matrix of their distances (" +
           LinkageName(run.linkage) + " linkage) needs " + std::to_string(bytes) + " bytes (" +
           std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB), more than this system gives";
}

}  // namespace

ProgramDescription ClusterProgramDescription() {
    ProgramDescription program{
        "dendro-cluster",
        "Clusters the columns (or lines) of the table INPUT bottom-up by the chosen\n"
        "linkage and distance, in double precision, and writes the merge history\n"
        "to OUTPUT."};
    program.options = {
        {"--linkage", "METHOD",
         "single, complete, average (UPGMA, the default), weighted\n(WPGMA), centroid, median or ward; merge values as\nscipy's linkage gives them"},
        {"--metric", "METRIC",
         "euclidean (the default), sqeuclidean, cityblock,\nchebyshev, cosine (1 - cosine similarity), correlation\n"
         "(1 - Pearson's r), abscorrelation (1 - |r|) or spearman\n(1 - Spearman's rho, tied values sharing their ranks);\n"
         "centroid, median and ward take euclidean only"},
        {"--rows", nullptr, "cluster the lines instead of the columns (a line's\nfirst word that is not a number names it)"},
        {"--distances", nullptr, "INPUT holds the distances, not a table (see INPUT)"},
    };
    program.input =
        "  INPUT   a table of numbers, one row per line, values separated by tabs,\n"
        "          spaces or ';' (a decimal comma is read as a point); NA, NaN and\n"
        "          nothing between two tabs are missing cells; - reads standard\n"
        "          input. With --distances: the lower triangle of the distances\n"
        "          (1-0, 2-0, 2-1, 3-0, ...) or the square symmetric matrix with a\n"
        "          zero diagonal, values separated by any white space\n";
    program.notes =
        "Ties: the pair of smallest value merges; among equal values, the pair\n"
        "whose larger cluster number is smallest, then whose smaller one is (a\n"
        "cluster is numbered by its largest LEAF). The output is the same bytes\n"
        "on every platform, processor and number of threads.\n"
        "\n"
        "Missing cells: a distance uses the cells present in both objects; sums\n"
        "are scaled by (all cells / cells present), as R's dist does, and\n"
        "correlations take the pairs of cells present. Two objects without a\n"
        "distance (no cell present in both, a correlation without variance) end\n"
        "the run with the reason.\n"
        "\n"
        "Memory: complete, average and weighted linkage, --distances, and\n"
        "centroid, median or ward with missing cells keep all n(n-1)/2 distances\n"
        "(8 bytes each); single linkage, and centroid, median and ward on whole\n"
        "Euclidean data, need memory in proportion to the table only.\n";
    program.preciseDigits = 17;
    return program;
}

void ReadClusterInput(std::FILE *in) {
    ReadOptions();
    if (run.distances) {
        ReadDistances(in);
        run.route = ClusterInput::PackedMatrix;
        return;
    }
    ReadObjects(in);
    const bool missing = run.table.HasMissingCells();
    // A matrix of all distances at most twice the size of the table (for
    // single linkage, no larger) is computed once in tiles, whatever the
    // linkage (see ChooseClusterInput).
    run.route = ChooseClusterInput(run.linkage, IsEuclideanGeometry(run.metric), missing, false, run.table.objects,
                                   run.table.coordinates);
    // Coordinates for centroid, median and ward from the data: Euclidean,
    // no missing cell, every pair has a distance.
    if (run.route == ClusterInput::Data && run.linkage != Linkage::Single) return;
    // The recurrences of centroid, median and ward over a computed matrix
    // take squared Euclidean distances, exact where the cells are integers.
    const bool squared = NeedsEuclidean(run.linkage);
    run.space = std::make_unique<MetricSpace>(std::move(run.table), squared ? Metric::SqEuclidean : run.metric);
    if (run.route == ClusterInput::Data) {
        if (const std::optional<UndefinedPair> pair = run.space->FirstUndefinedPair()) RefuseUndefinedPair(*pair);
        return;
    }
    // Uninitialised storage (every value is written), in huge pages.
    const std::uint64_t bytes = PackedMatrixBytes(run.objects);
    if (bytes == UINT64_MAX) ExitWithReason(ExitMemory, MatrixTooLargeReason());
    run.matrix = std::make_unique<MatrixBuffer>(static_cast<std::int64_t>(bytes / sizeof(double)));
    if (run.matrix->data() == nullptr) ExitWithReason(ExitMemory, MatrixTooLargeReason());
    run.space->AllDistances(run.matrix->data());
    if (const std::optional<UndefinedPair> pair = run.space->FirstUndefinedPairIn(run.matrix->data()))
        RefuseUndefinedPair(*pair);
    run.space.reset();
}

void WriteClusterRun(std::FILE *out) {
    std::vector<ClusterMerge> merges;
    if (run.matrix) {
        merges = ClusterPackedMatrix(run.matrix->data(), run.objects, run.linkage, NeedsEuclidean(run.linkage));
    } else if (run.route == ClusterInput::PackedMatrix) {
        merges = ClusterPackedMatrix(run.packed, run.objects, run.linkage, false);
    } else if (run.linkage == Linkage::Single) {
        merges = SingleLinkageOfSpace(*run.space);
    } else {
        merges = ClusterCoordinates(run.table.values, run.objects, run.table.coordinates, run.linkage);
    }
    WriteClusterMerges(out, merges, PreciseAsked());
}

