// dendro-cluster held to the peers users check it against, run as separate
// processes on random tables without near ties: scipy's linkage for every
// linkage and metric it offers, R's hclust with dist (missing cells as NA)
// and cor, and scipy again on a given distance matrix. The merges must join
// the same leaves in the same order, at heights within 1e-9 relative. A peer
// that is not installed skips its test and says so; with
// DENDRO_REQUIRE_CONSUMERS=1 (as in CI) it fails instead.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"

namespace {

const std::string kPython = "/usr/bin/python3";  // the system's, where Debian installs scipy
const std::string kRscript = "/usr/bin/Rscript";

#define SKIP_UNLESS_PEER(probe, what)                                                                   \
    do {                                                                                                \
        if (RunProgram("/bin/sh", {"-c", std::string(probe) + " >/dev/null 2>&1"}).status != 0) {       \
            const std::string missing = std::string(what) + " is not installed (" + probe + " fails)"; \
            const char *required = std::getenv("DENDRO_REQUIRE_CONSUMERS");                             \
            if (required != nullptr && std::string(required) == "1") FAIL() << missing;                 \
            GTEST_SKIP() << missing;                                                                    \
        }                                                                                               \
    } while (false)

// One merge as the peers and we can both say it: the sorted leaves it
// joins, and its height.
struct Merge {
    std::string leaves;
    double height;
};
using Tree = std::vector<Merge>;

std::string Joined(std::vector<long> leaves) {
    std::sort(leaves.begin(), leaves.end());
    std::string text;
    for (long leaf : leaves) text += (text.empty() ? "" : ",") + std::to_string(leaf);
    return text;
}

Tree OurTree(const std::string &mergeLines) {
    Tree tree;
    std::vector<std::vector<long>> nodes;
    std::istringstream in(mergeLines);
    std::string node, a, b, value;
    while (in >> node >> a >> b >> value) {
        std::vector<long> leaves;
        for (const std::string &child : {a, b}) {
            const long number = std::stol(child.substr(4));
            if (child.compare(0, 4, "LEAF") == 0) leaves.push_back(number);
            else leaves.insert(leaves.end(), nodes[number].begin(), nodes[number].end());
        }
        nodes.push_back(leaves);
        tree.push_back({Joined(leaves), std::stod(value)});
    }
    return tree;
}

// The peers print one block per job, "== job" then "leaves\theight" lines.
std::map<std::string, Tree> PeerTrees(const std::string &output) {
    std::map<std::string, Tree> trees;
    std::istringstream in(output);
    std::string line, job;
    while (std::getline(in, line)) {
        if (line.compare(0, 3, "== ") == 0) {
            job = line.substr(3);
            trees[job];
        } else if (!line.empty()) {
            const size_t tab = line.find('\t');
            trees[job].push_back({line.substr(0, tab), std::stod(line.substr(tab + 1))});
        }
    }
    return trees;
}

void ExpectSameTree(const Tree &ours, const Tree &peer, const std::string &what) {
    ASSERT_EQ(ours.size(), peer.size()) << what;
    for (size_t k = 0; k < ours.size(); ++k) {
        ASSERT_EQ(ours[k].leaves, peer[k].leaves) << what << ", merge " << k;
        EXPECT_NEAR(ours[k].height, peer[k].height, 1e-9 * std::fabs(peer[k].height) + 1e-300)
            << what << ", merge " << k;
    }
}

// Objects of uniform six-digit values: a table with objects as columns (or
// lines), NA in about `missingShare` of the cells.
std::string RandomTableText(std::mt19937 &rng, int objects, int coordinates, bool rows, double missingShare) {
    std::uniform_int_distribution<int> digits(0, 999999);
    std::uniform_real_distribution<double> share(0.0, 1.0);
    std::vector<std::string> cells(static_cast<size_t>(objects * coordinates));
    for (std::string &cell : cells) {
        char text[16];
        std::snprintf(text, sizeof text, "%d.%06d", digits(rng) % 100, digits(rng));
        cell = share(rng) < missingShare ? "NA" : text;
    }
    const int lines = rows ? objects : coordinates, columns = rows ? coordinates : objects;
    std::string text;
    for (int l = 0; l < lines; ++l)
        for (int c = 0; c < columns; ++c) {
            const int object = rows ? l : c, coordinate = rows ? c : l;
            text += cells[static_cast<size_t>(object * coordinates + coordinate)] + (c + 1 < columns ? "\t" : "\n");
        }
    return text;
}

// Jobs "linkage:metric" (peer's names), run in one process of the peer.
const char *const kScipy = R"(
import sys
import numpy as np
from scipy.cluster.hierarchy import linkage
from scipy.spatial.distance import squareform
path, rows, given = sys.argv[1], sys.argv[2] == '1', sys.argv[3] == '1'
x = np.loadtxt(path, ndmin=2)
if not rows and not given:
    x = x.T
for job in sys.argv[4:]:
    method, metric = job.split(':')
    z = linkage(squareform(x, checks=False), method=method) if given else linkage(x, method=method, metric=metric)
    n = len(z) + 1
    members = {i: [i] for i in range(n)}
    print('== ' + job)
    for k, (a, b, h, c) in enumerate(z):
        members[n + k] = sorted(members[int(a)] + members[int(b)])
        print(','.join(map(str, members[n + k])) + '\t' + repr(float(h)))
)";

const char *const kR = R"(
args <- commandArgs(TRUE)
x <- as.matrix(read.table(args[1]))
if (args[2] != "1") x <- t(x)
for (job in args[3:length(args)]) {
  parts <- strsplit(job, ":")[[1]]
  metric <- parts[2]
  d <- if (metric %in% c("euclidean", "manhattan", "maximum")) dist(x, method = metric) else {
    r <- cor(t(x), method = if (metric == "spearman") "spearman" else "pearson", use = "pairwise.complete.obs")
    as.dist(if (metric == "abscorrelation") 1 - abs(r) else 1 - r)
  }
  h <- hclust(d, method = parts[1])
  members <- list()
  cat("== ", job, "\n", sep = "")
  for (k in seq_len(nrow(h$merge))) {
    s <- c()
    for (child in h$merge[k, ]) s <- c(s, if (child < 0) -child - 1 else members[[child]])
    members[[k]] <- sort(s)
    cat(paste(members[[k]], collapse = ","), "\t", sprintf("%.17g", h$height[k]), "\n", sep = "")
  }
}
)";

struct Job {
    std::string linkage, metric;  // ours
    std::string peerJob;          // the peer's "linkage:metric"
};

// Runs every job through us and through the peer (`command` then the jobs)
// and compares the trees.
void CompareWithPeer(const std::vector<std::string> &command, const std::vector<std::string> &ourOptions,
                     const std::string &table, const std::vector<Job> &jobs) {
    std::vector<std::string> peerCommand = command;
    for (const Job &job : jobs) peerCommand.push_back(job.peerJob);
    const ProgramResult peer = RunProgram(peerCommand[0], {peerCommand.begin() + 1, peerCommand.end()});
    ASSERT_EQ(peer.status, 0) << peer.err;
    const std::map<std::string, Tree> peerTrees = PeerTrees(peer.out);
    for (const Job &job : jobs) {
        std::vector<std::string> args = ourOptions;
        args.insert(args.end(), {"--precise", "--linkage", job.linkage});
        if (!job.metric.empty()) args.insert(args.end(), {"--metric", job.metric});
        args.insert(args.end(), {table, "-"});
        const ProgramResult ours = RunProgram(DENDRO_CLUSTER_PATH, args);
        ASSERT_EQ(ours.status, 0) << ours.err;
        ASSERT_EQ(peerTrees.count(job.peerJob), 1u) << job.peerJob;
        ExpectSameTree(OurTree(ours.out), peerTrees.at(job.peerJob), job.linkage + " " + job.metric);
    }
}

TEST(ClusterPeers, ScipyLinkageForEveryLinkageAndMetricItOffers) {
    SKIP_UNLESS_PEER(kPython + " -c 'import scipy.cluster.hierarchy'", "scipy (Debian's python3-scipy)");
    TempDir dir;
    WriteFile(dir.file("peer.py"), kScipy);
    std::vector<Job> jobs;
    for (const char *linkage : {"single", "complete", "average", "weighted"})
        for (const char *metric : {"euclidean", "sqeuclidean", "cityblock", "chebyshev", "cosine", "correlation"})
            jobs.push_back({linkage, metric, std::string(linkage) + ":" + metric});
    for (const char *linkage : {"centroid", "median", "ward"})
        jobs.push_back({linkage, "euclidean", std::string(linkage) + ":euclidean"});
    std::mt19937 rng(2121);
    for (const bool rows : {false, true}) {
        const std::string table = dir.file(rows ? "rows" : "columns");
        WriteFile(table, RandomTableText(rng, 40, 12, rows, 0.0));
        CompareWithPeer({kPython, dir.file("peer.py"), table, rows ? "1" : "0", "0"},
                        rows ? std::vector<std::string>{"--rows"} : std::vector<std::string>{}, table, jobs);
    }
}

// A square matrix of city-block distances, given: every linkage, centroid,
// median and ward by the Lance-Williams recurrences on the values given.
TEST(ClusterPeers, ScipyLinkageOnAGivenMatrix) {
    SKIP_UNLESS_PEER(kPython + " -c 'import scipy.cluster.hierarchy'", "scipy (Debian's python3-scipy)");
    TempDir dir;
    WriteFile(dir.file("peer.py"), kScipy);
    std::mt19937 rng(77);
    const int n = 35;
    std::vector<std::vector<double>> points(n, std::vector<double>(6));
    std::uniform_int_distribution<int> digits(0, 999999);
    for (auto &point : points)
        for (double &v : point) v = digits(rng) / 1e4;
    std::string square;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double d = 0;
            for (int k = 0; k < 6; ++k) d += std::fabs(points[i][k] - points[j][k]);
            char text[40];
            std::snprintf(text, sizeof text, "%.6f", d);
            square += std::string(text) + (j + 1 < n ? " " : "\n");
        }
    WriteFile(dir.file("matrix"), square);
    std::vector<Job> jobs;
    for (const char *linkage : {"single", "complete", "average", "weighted", "centroid", "median", "ward"})
        jobs.push_back({linkage, "", std::string(linkage) + ":given"});
    CompareWithPeer({kPython, dir.file("peer.py"), dir.file("matrix"), "0", "1"}, {"--distances"}, dir.file("matrix"),
                    jobs);
}

std::vector<Job> RJobs(const std::vector<std::pair<std::string, std::string>> &metrics) {
    const std::pair<const char *, const char *> linkages[] = {
        {"single", "single"}, {"complete", "complete"}, {"average", "average"}, {"weighted", "mcquitty"}, {"ward", "ward.D2"}};
    std::vector<Job> jobs;
    for (const auto &[ours, r] : linkages)
        for (const auto &[metric, rMetric] : metrics) {
            if (std::string(ours) == "ward" && metric != "euclidean") continue;
            jobs.push_back({ours, metric, std::string(r) + ":" + rMetric});
        }
    return jobs;
}

TEST(ClusterPeers, RHclustWithDistAndCor) {
    SKIP_UNLESS_PEER(kRscript + " -e 'stats::hclust'", "R (Debian's r-base-core)");
    TempDir dir;
    WriteFile(dir.file("peer.R"), kR);
    const std::vector<Job> jobs = RJobs({{"euclidean", "euclidean"}, {"cityblock", "manhattan"},
                                         {"chebyshev", "maximum"}, {"correlation", "correlation"},
                                         {"abscorrelation", "abscorrelation"}});
    std::mt19937 rng(4);
    const std::string table = dir.file("table");
    WriteFile(table, RandomTableText(rng, 40, 12, false, 0.0));
    CompareWithPeer({kRscript, dir.file("peer.R"), table, "0"}, {}, table, jobs);
    // Spearman's distances over few coordinates take few values, and tie:
    // many coordinates keep them apart.
    WriteFile(table, RandomTableText(rng, 40, 400, false, 0.0));
    CompareWithPeer({kRscript, dir.file("peer.R"), table, "0"}, {}, table, RJobs({{"spearman", "spearman"}}));
}

// Missing cells: R's dist scales the sums over the cells present in both,
// cor takes the complete pairs; ward, with missing cells, runs on the
// distances as hclust's ward.D2 does.
TEST(ClusterPeers, RHclustWithMissingCells) {
    SKIP_UNLESS_PEER(kRscript + " -e 'stats::hclust'", "R (Debian's r-base-core)");
    TempDir dir;
    WriteFile(dir.file("peer.R"), kR);
    const std::vector<Job> jobs = RJobs({{"euclidean", "euclidean"}, {"cityblock", "manhattan"},
                                         {"chebyshev", "maximum"}, {"correlation", "correlation"}});
    std::mt19937 rng(5);
    for (const bool rows : {false, true}) {
        const std::string table = dir.file(rows ? "rows" : "columns");
        const std::vector<std::string> options = rows ? std::vector<std::string>{"--rows"} : std::vector<std::string>{};
        WriteFile(table, RandomTableText(rng, 30, 16, rows, 0.08));
        CompareWithPeer({kRscript, dir.file("peer.R"), table, rows ? "1" : "0"}, options, table, jobs);
        WriteFile(table, RandomTableText(rng, 30, 400, rows, 0.08));
        CompareWithPeer({kRscript, dir.file("peer.R"), table, rows ? "1" : "0"}, options, table,
                        RJobs({{"spearman", "spearman"}}));
    }
}

}  // namespace
