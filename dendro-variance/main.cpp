// dendro-variance: clusters the columns of a numeric table with the variance
// criterion (mean distance of the union's columns to its centroid) and writes
// the merge lines.
#include "driver/driver.h"
#include "engines/variance/variance_engine.h"
#include "model/table.h"

int main(int argc, char **argv) {
    TableData table{};  // lives until the process ends
    RunDriver(
        {"dendro-variance",
         "Clusters the columns of the table INPUT with the variance criterion (the\n"
         "mean distance of a union's columns to its centroid) and writes the merge\n"
         "history to OUTPUT.",
         {{"--rows", nullptr, "cluster the lines instead of the columns (the table's\ntranspose)"}}},
        argc, argv, [&](std::FILE *in) { table = ReadTableOrExit(in); },
        [&](std::FILE *out) { printClassicDendrogram(out, table); });
}
