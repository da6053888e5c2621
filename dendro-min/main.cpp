// dendro-min: clusters the columns of a numeric table by minimum linkage
// over their Euclidean distances and writes the merge lines.
#include "dendrogram.h"
#include "distances.h"
#include "driver.h"
#include "table.h"

int main(int argc, char **argv) {
    // Both live until the process ends.
    TableData table{};
    DistanceMatrix matrix{};
    RunDriver(
        argc, argv,
        [&](std::FILE *in) {
            table = ReadTableOrExit(in);
            matrix = ComputeColumnDistances(table);
        },
        [&](std::FILE *out) { printClassicDendrogram(out, matrix); });
}
