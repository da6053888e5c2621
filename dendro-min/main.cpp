// dendro-min: clusters the columns of a numeric table by minimum linkage
// over their Euclidean distances and writes the merge lines.
#include "dendrogram.h"
#include "distances.h"
#include "driver.h"
#include "single_linkage.h"
#include "table.h"
#include "utils.h"

int main(int argc, char **argv) {
    // Both live until the process ends. The distance matrix is stored when
    // the table holds non-finite cells or is small next to the table;
    // otherwise the distances are computed as the clustering needs them.
    TableData table{};
    DistanceMatrix matrix{0, nullptr};
    RunDriver(
        {"dendro-min",
         "Clusters the columns of the table INPUT by minimum (single) linkage over\n"
         "their Euclidean distances and writes the merge history to OUTPUT."},
        argc, argv,
        [&](std::FILE *in) {
            table = ReadTableOrExit(in);
            if (table.columns > MAX_OBJECTS) SortieProg(ExitMemory);
            if (StoresDistanceMatrix(table)) matrix = ComputeColumnDistances(table);
        },
        [&](std::FILE *out) {
            if (matrix.values != nullptr) {
                printClassicDendrogram(out, matrix);
            } else {
                WriteSingleLinkage(out, table);  // every cell finite: checked above
            }
        });
}
