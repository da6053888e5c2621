// dendro-cluster: clusters the columns (or lines) of a numeric table, or the
// objects of a distance matrix, by any of seven linkages over any of eight
// distances, and writes the merge lines.
#include "driver/cluster_program.h"
#include "driver/driver.h"

int main(int argc, char **argv) {
    RunDriver(ClusterProgramDescription(), argc, argv, ReadClusterInput, WriteClusterRun);
}
