#!/usr/bin/python3
"""The optimal leaf order of dendro-export against scipy's optimal_leaf_ordering.

    bench/leaf_order.py BUILD_DIR [--scipy-limit SECONDS] [N ...]     (default N: 2000 8000)

For each N: N random points in 5 dimensions (seed 1), clustered by scipy's
average linkage; the same tree (merge lines, values exact) and distances
(a distance file, shortest exact numbers) are given to
`dendro-export --to linkage --order optimal --distances FILE`. Prints, per
N, the seconds of scipy's optimal_leaf_ordering (in this process, the
distances already in memory) and of the whole dendro-export run (reading
the 0.6 GB distance file at N = 8000 included), their ratio, and the two
totals of distances between neighbouring leaves. scipy runs in a child
process, stopped after --scipy-limit seconds (default: none); its time is
then printed as "> limit". Run it on a quiet machine: it prints the load
average.
"""
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np
from scipy.cluster import hierarchy
from scipy.spatial.distance import pdist, squareform


def write_inputs(folder, Z, D, n):
    name = lambda c: ("LEAF%d" % c) if c < n else ("NODE%d" % (c - n))
    with open(os.path.join(folder, "t.dendro"), "w") as f:
        for i, (a, b, v, _) in enumerate(Z):
            f.write("NODE%d\t%s\t%s\t%r\n" % (i, name(int(max(a, b))), name(int(min(a, b))), float(v)))
    with open(os.path.join(folder, "t.dist"), "w") as f:
        for i in range(1, n):
            f.write("\t".join(map(repr, D[i, :i].tolist())) + "\n")


SCIPY_SIDE = """
import sys, time, numpy as np
from scipy.cluster import hierarchy
from scipy.spatial.distance import pdist, squareform
n = int(sys.argv[1])
X = np.random.default_rng(1).normal(size=(n, 5))
y = pdist(X)
Z = hierarchy.linkage(y, "average")
start = time.perf_counter()
ordered = hierarchy.optimal_leaf_ordering(Z, y)
seconds = time.perf_counter() - start
D = squareform(y)
l = hierarchy.leaves_list(ordered)
print(seconds, float(sum(D[l[i], l[i + 1]] for i in range(n - 1))))
"""


def scipy_run(n, limit):
    try:
        run = subprocess.run([sys.executable, "-c", SCIPY_SIDE, str(n)], capture_output=True, text=True,
                             timeout=limit)
    except subprocess.TimeoutExpired:
        return None, None
    seconds, total = run.stdout.split()
    return float(seconds), float(total)


def main():
    args = sys.argv[1:]
    limit = None
    if "--scipy-limit" in args:
        at = args.index("--scipy-limit")
        limit = float(args[at + 1])
        del args[at:at + 2]
    build = args[0]
    sizes = [int(a) for a in args[1:]] or [2000, 8000]
    export = os.path.join(build, "dendro-export", "dendro-export")
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    print("%6s %12s %12s %8s %18s %18s" % ("N", "scipy s", "ours s", "ratio", "scipy total", "our total"))
    for n in sizes:
        X = np.random.default_rng(1).normal(size=(n, 5))
        y = pdist(X)
        Z = hierarchy.linkage(y, "average")
        D = squareform(y)
        del y
        with tempfile.TemporaryDirectory() as folder:
            write_inputs(folder, Z, D, n)
            start = time.perf_counter()
            run = subprocess.run([export, os.path.join(folder, "t.dendro"), "--to", "linkage", "--order", "optimal",
                                  "--distances", os.path.join(folder, "t.dist")], capture_output=True, text=True)
            ours = time.perf_counter() - start
            if run.returncode != 0:
                sys.exit(run.stderr)
            our_total = float(re.search(r"neighbours (\S+)", run.stderr).group(1))
        theirs, their_total = scipy_run(n, limit)
        if theirs is None:
            print("%6d %12s %12.2f %8s %18s %18.6f" % (n, "> %g" % limit, ours, "< %.3f" % (ours / limit), "-",
                                                        our_total), flush=True)
        else:
            print("%6d %12.2f %12.2f %8.3f %18.6f %18.6f" % (n, theirs, ours, ours / theirs, their_total, our_total),
                  flush=True)
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
