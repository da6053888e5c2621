#!/usr/bin/python3
"""dendro-cluster against fastcluster, in one run, on random tables.

    bench/cluster_vs_fastcluster.py PROGRAM [SHAPE...] [--cases LIST] [--repeat N] [--no-peer]

PROGRAM is a built dendro-cluster. SHAPE is OBJECTSxCOORDINATES (default
20000x16 4000x1000 1000x20000); the table holds uniform random six-digit
values (0.xxxxxx), one object per column. Cases (default: the seven
linkages with euclidean distances, then single, complete, average and
weighted with correlation distances) are LINKAGE:METRIC, comma-separated.

For each case it prints:
  ours     the whole run of dendro-cluster (reading the table included):
           wall time, processor time, peak resident memory (as GNU time
           /usr/bin/time reports it, which must be installed)
  peer     fastcluster 1.2 (Debian's python3-fastcluster) on the same
           objects, loaded beforehand from a binary file: the clustering
           alone (linkage_vector where it offers the method, else linkage
           on scipy's pdist), wall and processor time, and the peak
           resident memory of its process (VmHWM)
  ratio    ours wall / peer wall (the target is at most 0.5), and ours
           peak / peer peak (at most 1)
Best of --repeat runs (default 1) of each; --no-peer runs dendro-cluster
alone. The machine's load is printed
first and last: other processes on the cores lengthen wall times.
"""
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

PEER = r'''
import sys, time
import numpy as np
import fastcluster
from scipy.spatial.distance import pdist
x = np.load(sys.argv[1])
method, metric = sys.argv[2], sys.argv[3]
vector = method in ("single", "centroid", "median", "ward") and (method == "single" or metric == "euclidean")
wall, cpu = time.perf_counter(), time.process_time()
if vector:
    fastcluster.linkage_vector(x, method=method, metric=metric)
else:
    fastcluster.linkage(pdist(x, metric), method=method)
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
# The peak of this process's own image: ru_maxrss would also count the
# resident memory of the process it was forked from.
peak = [int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM:")][0]
print(wall, cpu, peak, "linkage_vector" if vector else "pdist+linkage")
'''

DEFAULT_CASES = ["%s:euclidean" % l for l in ("single", "complete", "average", "weighted", "centroid", "median", "ward")] + \
                ["%s:correlation" % l for l in ("single", "complete", "average", "weighted")]


def make_table(folder, objects, coordinates):
    """The table as text (objects as columns) and the objects as .npy."""
    text = os.path.join(folder, "table-%dx%d.txt" % (objects, coordinates))
    binary = os.path.join(folder, "objects-%dx%d.npy" % (objects, coordinates))
    if not (os.path.exists(text) and os.path.exists(binary)):
        rng = np.random.default_rng(objects * 100003 + coordinates)
        cells = rng.integers(0, 1000000, size=(coordinates, objects))
        with open(text, "w") as out:
            for line in cells:
                out.write("\t".join("0.%06d" % v for v in line))
                out.write("\n")
        np.save(binary, np.ascontiguousarray((cells / 1e6).T))
    return text, binary


def run_ours(program, table, linkage, metric):
    # Started through GNU time, a small process: a child's ru_maxrss counts
    # the resident memory of the process it was forked from (this script,
    # which may hold the tables it made), and time's child starts small.
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        child = subprocess.Popen(["/usr/bin/time", "-f", "%U %S %M", "-o", report.name, program, "--linkage", linkage,
                                  "--metric", metric, table, os.devnull],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        _, err = child.communicate()
        wall = time.perf_counter() - start
        if child.returncode != 0:
            raise SystemExit("dendro-cluster failed: %s" % err.decode())
        user, system, peak = report.read().split()[-3:]
    return wall, float(user) + float(system), int(peak)


def run_peer(binary, linkage, metric):
    out = subprocess.run(["/usr/bin/python3", "-c", PEER, binary, linkage, metric], check=True,
                         capture_output=True, text=True).stdout.split()
    return float(out[0]), float(out[1]), int(out[2]), out[3]


def load():
    return open("/proc/loadavg").read().split()[0]


def main():
    args = sys.argv[1:]
    if not args or args[0] in ("-h", "--help"):
        print(__doc__)
        return
    program = os.path.abspath(args[0])
    cases, repeat, shapes, peer_too = DEFAULT_CASES, 1, [], True
    k = 1
    while k < len(args):
        if args[k] == "--cases":
            cases, k = args[k + 1].split(","), k + 2
        elif args[k] == "--no-peer":
            peer_too, k = False, k + 1
        elif args[k] == "--repeat":
            repeat, k = int(args[k + 1]), k + 2
        else:
            shapes.append(tuple(int(v) for v in args[k].split("x")))
            k += 1
    shapes = shapes or [(20000, 16), (4000, 1000), (1000, 20000)]
    folder = os.environ.get("DENDRO_BENCH_DATA", os.path.join(tempfile.gettempdir(), "dendro-cluster-bench"))
    os.makedirs(folder, exist_ok=True)
    print("load average %s; %d processors" % (load(), os.cpu_count()))
    print("%-11s %-20s %8s %8s %8s | %8s %8s %8s %-14s | %6s %6s" %
          ("shape", "case", "wall s", "cpu s", "peak MB", "wall s", "cpu s", "peak MB", "peer", "time", "memory"))
    for objects, coordinates in shapes:
        table, binary = make_table(folder, objects, coordinates)
        for case in cases:
            linkage, metric = case.split(":")
            ours = min((run_ours(program, table, linkage, metric) for _ in range(repeat)), key=lambda r: r[0])
            if not peer_too:
                print("%-11s %-20s %8.2f %8.2f %8.0f  (load %s)" % ("%dx%d" % (objects, coordinates), case, ours[0],
                                                                   ours[1], ours[2] / 1024.0, load()), flush=True)
                continue
            peer = min((run_peer(binary, linkage, metric) for _ in range(repeat)), key=lambda r: r[0])
            print("%-11s %-20s %8.2f %8.2f %8.0f | %8.2f %8.2f %8.0f %-14s | %6.2f %6.2f  (load %s)" %
                  ("%dx%d" % (objects, coordinates), case, ours[0], ours[1], ours[2] / 1024.0, peer[0], peer[1],
                   peer[2] / 1024.0, peer[3], ours[0] / peer[0], ours[2] / float(peer[2]), load()), flush=True)
    print("load average %s" % load())


if __name__ == "__main__":
    main()
