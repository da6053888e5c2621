#!/usr/bin/python3
# The peer's time on one table, for dendro_bench: fastcluster's clustering
# of the table's columns (Debian's python3-fastcluster).
#
#   fastcluster_peer.py single|centroid TABLE
#
# Prints one line: "read SECONDS cluster SECONDS processor SECONDS merges
# COUNT", the last time the clustering's processor time. Reading is
# numpy's text reader; the clustering is linkage_vector on the columns as
# points, the route that keeps memory linear as the programs do.
import sys
import time

import fastcluster
import numpy


def main():
    method, path = sys.argv[1], sys.argv[2]
    if method not in ("single", "centroid"):
        sys.exit("method must be single or centroid")
    start = time.perf_counter()
    table = numpy.loadtxt(path, dtype=numpy.float64, ndmin=2)
    read = time.perf_counter() - start
    points = numpy.ascontiguousarray(table.T)
    start, processor = time.perf_counter(), time.process_time()
    merges = fastcluster.linkage_vector(points, method=method, metric="euclidean")
    cluster, processor = time.perf_counter() - start, time.process_time() - processor
    print(f"read {read:.3f} cluster {cluster:.3f} processor {processor:.3f} merges {len(merges)}")


if __name__ == "__main__":
    main()
