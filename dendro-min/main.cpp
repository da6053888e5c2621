// dendro-min: clusters the columns of a numeric table by minimum linkage
// over their Euclidean distances and writes the merge lines.
#include "driver/driver.h"
#include "engines/minimum_link.h"

int main(int argc, char **argv) {
    // Lives until the process ends. The distance matrix is stored when the
    // table holds non-finite cells or is small next to the table; otherwise
    // the distances are computed as the clustering needs them.
    MinimumLinkPlan plan{};
    RunDriver(
        {"dendro-min",
         "Clusters the columns of the table INPUT by minimum (single) linkage over\n"
         "their Euclidean distances and writes the merge history to OUTPUT.",
         {{"--rows", nullptr, "cluster the lines instead of the columns (the table's\ntranspose)"}}},
        argc, argv, [&](std::FILE *in) { plan = PrepareMinimumLink(ReadTableOrExit(in)); },
        [&](std::FILE *out) { WriteMinimumLink(out, plan); });
}
