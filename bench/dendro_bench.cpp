// Speed and memory figures of the two programs on random tables.
//
//   dendro_bench kernels            throughput of the column-distance kernel per level
//   dendro_bench min [N]            dendro-min on N columns x 16 lines (default 32768):
//                                   wall time and peak memory against the time needed
//                                   just to compute every pairwise distance once
//   dendro_bench variance N...      dendro-variance on N columns x 16 lines (default 4000)
//   dendro_bench reference N        the straightforward engine of both criteria at N columns
//                                   (once) against the fast engines (best of three)
//   dendro_bench differential K     K random tables per program: fast engines against the
//                                   reference, byte for byte (the variance engine with each
//                                   kind of interval in turn)
//   dendro_bench table C L FILE     writes a random table of C columns x L lines to FILE
//                                   (uniform values in [0, 1), six significant digits)
//   dendro_bench variance-shapes [--landed PROGRAM | --no-landed] [--no-peer] [CxL...]
//                                   dendro-variance on each shape (default 32768x16 4000x1000
//                                   1000x20000 2000x20000): this build best of three, PROGRAM
//                                   (default /work/landed/build/dendro-variance/dendro-variance)
//                                   once, wall and processor time, peak memory, identical output,
//                                   and fastcluster's centroid linkage, reading included
//   dendro_bench variance-engines [--sweep-only] [CxL...]
//                                   the variance engine taken before the sweep (the working
//                                   matrix or the lazy one over centroids) against the
//                                   threshold sweep, in this process, on uniform values, 20
//                                   Gaussian blobs and points near a smooth 3-D surface (one
//                                   run each, default 4000x16 8000x16 16384x16 20000x16
//                                   32768x16): wall seconds, identical output
//   dendro_bench min-orders CxL...  dendro-min's engine in each order of computing the
//                                   distances (stored matrix, column by column, floored
//                                   columns, rows ahead)
//                                   on the same table in this process, best of two each
//   dendro_bench read FILE...       the table reader alone on each file, on one thread and as
//                                   the programs run it, best of three each: wall and
//                                   processor time (every thread), MB/s, cells read
//   dendro_bench shapes [--landed PROGRAM] [--no-peer] [CxL...]
//                                   for each shape (default 32768x16 4000x1000 8000x1000
//                                   1000x20000 2000x20000): the reader's throughput, the
//                                   compute floor, and this dendro-min against PROGRAM
//                                   (default /work/landed/build/dendro-min/dendro-min) in
//                                   the same run: wall and processor time, peak memory,
//                                   identical output, and fastcluster's single linkage
//                                   (its clustering time alone, reading apart)
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/parallel.h"
#include "engines/minimum_link.h"
#include "engines/single_linkage/single_linkage.h"
#include "engines/variance/variance_engine.h"
#include "input/table_reader.h"
#include "input/table_report.h"
#include "kernels/distance_tiles.h"
#include "kernels/kernels.h"
#include "model/distance_matrix.h"
#include "model/table.h"
#include "process.h"
#include "random_tables.h"
#include "reference_engine.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// 16 lines of random decimals in [0, 1) with four digits, as measurement
// tables often hold.
OwnedTable DecimalTable(int32_t columns, int32_t lines, uint32_t seed) {
    std::mt19937 rng(seed);
    OwnedTable t;
    t.lines = lines;
    t.columns = columns;
    t.cells.resize(static_cast<size_t>(lines) * columns);
    char text[32];
    for (float &v : t.cells) {
        std::snprintf(text, sizeof text, "%.4f", std::uniform_real_distribution<double>(0.0, 1.0)(rng));
        v = std::strtof(text, nullptr);
    }
    return t;
}

double ProcessorSeconds(const struct rusage &u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct TimedRun {
    double wall, processor;
    long peakKiB;
    int status;
};

// Runs a program to completion: wall and processor time, peak resident
// memory, exit status.
TimedRun RunProgram(const std::string &program, const std::string &input, const std::string &output) {
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execl(program.c_str(), program.c_str(), input.c_str(), output.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    return TimedRun{Seconds(start), ProcessorSeconds(usage), usage.ru_maxrss,
                    WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// Every pairwise distance computed once with the vector kernel, on two
// threads as the clustering does, and only the smallest kept: the least
// work any exact answer needs.
double DistanceFloor(TableData table) {
    const int32_t n = table.columns, lines = table.lines;
    const int64_t stride = PaddedStride(n);
    std::vector<float> copy(static_cast<size_t>(lines) * stride);
    for (int32_t l = 0; l < lines; ++l)
        for (int32_t p = 0; p < n; ++p) copy[l * stride + p] = elementAt(l, p, table);
    const Clock::time_point start = Clock::now();
    std::vector<float> row(n), x(lines);
    float smallest[2] = {INFINITY, INFINITY};
    TwoWayLoop loop;
    for (int32_t i = 1; i < n; ++i) {
        for (int32_t l = 0; l < lines; ++l) x[l] = copy[l * stride + i];
        auto body = [&](int64_t begin, int64_t end, int part) {
            DistancesToColumns(ColumnBlock{copy.data() + begin, stride}, lines, x.data(), end - begin, row.data() + begin);
            for (int64_t p = begin; p < end; ++p) smallest[part] = std::min(smallest[part], row[p]);
        };
        loop.Run(i, (i / 2) & ~int64_t{15}, 2048, body);
    }
    const double seconds = Seconds(start);
    std::printf("  (smallest distance %.6f)\n", std::min(smallest[0], smallest[1]));
    return seconds;
}

void WriteTable(const OwnedTable &t, const std::string &path) { WriteFile(path, TableText(t)); }

double ProcessProcessorSeconds();

// dendro-min's engine in each order of computing the distances, on the same
// table in this process, one after another (best of two each, wall and
// processor time of every thread): where the
// switch between the orders belongs. The lines written must be the same.
int MinOrders(int argc, char **argv) {
    struct Named {
        SingleLinkageOrder order;
        const char *name;
    };
    const Named orders[] = {{SingleLinkageOrder::StoredMatrix, "stored matrix"},
                            {SingleLinkageOrder::ColumnByColumn, "column by column"},
                            {SingleLinkageOrder::FlooredColumns, "floored columns"},
                            {SingleLinkageOrder::RowsAhead, "rows ahead"}};
    int failures = 0;
    for (int k = 2; k < argc; ++k) {
        int columns = 0, lines = 0;
        if (std::sscanf(argv[k], "%dx%d", &columns, &lines) != 2 || columns < 2 || lines < 1) {
            std::fprintf(stderr, "bad shape %s (COLUMNSxLINES)\n", argv[k]);
            return 2;
        }
        OwnedTable t = DecimalTable(columns, lines, 5);
        const SingleLinkageOrder chosen = ChooseSingleLinkageOrder(t.view());
        std::printf("%d columns x %d lines:\n", columns, lines);
        {
            const Clock::time_point start = Clock::now();
            const double processor = ProcessProcessorSeconds();
            const DistanceMatrix matrix = ComputeColumnDistances(t.view());
            const double seconds = Seconds(start), processorSeconds = ProcessProcessorSeconds() - processor;
            std::free(matrix.values);
            std::printf("  %-17s %8.3f s (%8.3f s processor)\n", "the matrix alone", seconds, processorSeconds);
        }
        TempDir dir;
        std::string first;
        for (const Named &o : orders) {
            double best = 0.0, bestProcessor = 0.0;
            for (int round = 0; round < 2; ++round) {
                std::FILE *out = std::fopen(dir.file("out.txt").c_str(), "wb");
                const Clock::time_point start = Clock::now();
                const double processor = ProcessProcessorSeconds();
                WriteSingleLinkage(out, t.view(), o.order);
                std::fclose(out);
                const double seconds = Seconds(start), processorSeconds = ProcessProcessorSeconds() - processor;
                if (round == 0 || seconds < best) best = seconds;
                if (round == 0 || processorSeconds < bestProcessor) bestProcessor = processorSeconds;
            }
            const std::string bytes = ReadFile(dir.file("out.txt"));
            if (first.empty()) first = bytes;
            const bool same = bytes == first;
            if (!same) ++failures;
            std::printf("  %-17s %8.3f s (%8.3f s processor)%s%s\n", o.name, best, bestProcessor,
                        o.order == chosen ? "  (chosen)" : "",
                        same ? "" : "  DIFFERENT OUTPUT");
            std::fflush(stdout);
        }
    }
    return failures == 0 ? 0 : 1;
}

int Kernels() {
    const int32_t n = 4096, lines = 16;
    OwnedTable t = DecimalTable(n, lines, 1);
    std::vector<float> row(n), x(lines);
    double scalarRate = 0.0;
    for (KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx2, KernelLevel::Avx512}) {
        if (static_cast<int>(level) > static_cast<int>(DetectKernelLevel())) continue;
        ForceKernelLevel(level);
        const Clock::time_point start = Clock::now();
        for (int32_t i = 1; i < n; ++i) {
            for (int32_t l = 0; l < lines; ++l) x[l] = t.cells[static_cast<size_t>(l) * n + i];
            DistancesToColumns(ColumnBlock{t.cells.data(), n}, lines, x.data(), i, row.data());
        }
        const double rate = static_cast<double>(PairCount(n)) / Seconds(start);
        if (level == KernelLevel::Scalar) scalarRate = rate;
        std::printf("kernel %-7s %8.1f M pairs/s (16 lines, one thread)  x%.1f over scalar\n",
                    level == KernelLevel::Scalar ? "scalar" : level == KernelLevel::Avx2 ? "avx2" : "avx512",
                    rate / 1e6, rate / scalarRate);
    }
    ForceKernelLevel(DetectKernelLevel());
    return 0;
}

int Min(int32_t n) {
    TempDir dir;
    OwnedTable t = DecimalTable(n, 16, 2);
    WriteTable(t, dir.file("table.txt"));
    const double tableMiB = static_cast<double>(t.cells.size()) * sizeof(float) / (1024.0 * 1024.0);
    std::printf("dendro-min, %d columns x 16 lines (table %.2f MiB)\n", n, tableMiB);
    const double floor = DistanceFloor(t.view());
    std::printf("  all pairwise distances once (floor): %.3f s\n", floor);
    const TimedRun run = RunProgram(DENDRO_MIN_PATH, dir.file("table.txt"), dir.file("out.txt"));
    std::printf("  dendro-min end to end: %.3f s (status %d), %.2f x floor\n", run.wall, run.status,
                run.wall / floor);
    std::printf("  peak memory %.1f MiB: %.1f MiB above the table\n", run.peakKiB / 1024.0,
                run.peakKiB / 1024.0 - tableMiB);
    return run.status;
}

int Variance(const std::vector<int32_t> &sizes) {
    for (int32_t n : sizes) {
        TempDir dir;
        WriteTable(DecimalTable(n, 16, 3), dir.file("table.txt"));
        const TimedRun run = RunProgram(DENDRO_VARIANCE_PATH, dir.file("table.txt"), dir.file("out.txt"));
        std::printf("dendro-variance, %d columns x 16 lines: %.3f s (status %d), peak %.1f MiB\n", n, run.wall,
                    run.status, run.peakKiB / 1024.0);
    }
    return 0;
}

// The fastest of three runs of a fast engine (the reference runs once).
template <class Run>
double BestOfThree(Run run, std::string &text) {
    double best = 0.0;
    for (int k = 0; k < 3; ++k) {
        const Clock::time_point start = Clock::now();
        text = run();
        const double seconds = Seconds(start);
        if (k == 0 || seconds < best) best = seconds;
    }
    return best;
}

int Reference(int32_t n) {
    OwnedTable t = DecimalTable(n, 16, 3);
    std::string fast;
    const double fastSeconds = BestOfThree([&] { return EngineVarianceText(t.view()); }, fast);
    Clock::time_point start = Clock::now();
    const std::string slow = ReferenceVarianceText(t.view());
    const double slowSeconds = Seconds(start);
    std::printf("variance engine, %d columns: reference %.3f s, fast %.3f s, x%.1f, %s\n", n, slowSeconds,
                fastSeconds, slowSeconds / fastSeconds, fast == slow ? "same bytes" : "DIFFERENT BYTES");
    const DistanceMatrix m = ComputeColumnDistances(t.view());
    std::string fastMin;
    const double fastMinSeconds = BestOfThree([&] { return EngineMinText(m); }, fastMin);
    start = Clock::now();
    const std::string slowMin = ReferenceMinText(m);
    const double slowMinSeconds = Seconds(start);
    std::printf("minimum-link engine, %d columns: reference %.3f s, fast %.3f s, x%.1f, %s\n", n, slowMinSeconds,
                fastMinSeconds, slowMinSeconds / fastMinSeconds, fastMin == slowMin ? "same bytes" : "DIFFERENT BYTES");
    std::free(m.values);
    return fast == slow && fastMin == slowMin ? 0 : 1;
}

int Differential(int rounds) {
    std::mt19937 rng(static_cast<uint32_t>(std::random_device{}()));
    int failures = 0;
    for (int k = 0; k < rounds; ++k) {
        const Flavour flavour = kAllFlavours[k % 5];
        OwnedTable t = RandomTable(rng, flavour, 2 + k % 200, 1 + k % 6);
        const DistanceMatrix m = ComputeColumnDistances(t.view());
        bool same = WithoutNanSign(EngineMinText(m)) == WithoutNanSign(ReferenceMinText(m));
        std::free(m.values);
        // The variance engine with each kind of interval forced in turn, on
        // tables up to 400 columns wide (rows longer than a shortlist).
        const VarianceBounds bounds[] = {VarianceBounds::Automatic, VarianceBounds::InnerProducts,
                                         VarianceBounds::Centroids, VarianceBounds::Sweep};
        ForceVarianceBounds(bounds[k % 4]);
        if (k % 7 == 0) t = RandomTable(rng, flavour, 2 + k % 400, 1 + k % 60);
        same = same &&
               WithoutNanSign(EngineVarianceText(t.view())) == WithoutNanSign(ReferenceVarianceText(t.view()));
        ForceVarianceBounds(VarianceBounds::Automatic);
        if (!same) {
            ++failures;
            std::printf("difference on:\n%s\n", TableText(t).c_str());
        }
    }
    std::printf("%d passed, %d failed\n", rounds - failures, failures);
    return failures == 0 ? 0 : 1;
}

// Uniform values in [0, 1) printed with six significant digits, tab-separated.
void WriteUniformTable(int32_t columns, int32_t lines, uint32_t seed, const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (int32_t l = 0; l < lines; ++l)
        for (int32_t c = 0; c < columns; ++c) std::fprintf(f, "%.6g%c", uniform(rng), c + 1 == columns ? '\n' : '\t');
    if (std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

int Table(int argc, char **argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: dendro_bench table COLUMNS LINES FILE\n");
        return 2;
    }
    WriteUniformTable(std::atoi(argv[2]), std::atoi(argv[3]), 7, argv[4]);
    return 0;
}

// Processor time of the whole process, every thread of it.
double ProcessProcessorSeconds() {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return ProcessorSeconds(u);
}

struct ReadTiming {
    double wall, processor;
    int64_t cells;
};

// ReadTable on a file, best of `rounds` (wall and processor time apart),
// each round in a new process as the programs read: memory freed by an
// earlier round would otherwise be reused without the page faults a
// program's one read pays.
ReadTiming TimeReader(const std::string &path, int rounds, bool oneThread = false) {
    ReadTiming best{0.0, 0.0, 0};
    for (int round = 0; round < rounds; ++round) {
        int channel[2];
        if (pipe(channel) != 0) return best;
        const pid_t pid = fork();
        if (pid == 0) {
            close(channel[0]);
            ReadTiming r{0.0, 0.0, -1};
            if (std::FILE *f = std::fopen(path.c_str(), "r")) {
                const double processor = ProcessProcessorSeconds();
                const Clock::time_point start = Clock::now();
                const TableData t = oneThread ? ReadTableInStretches(f, nullptr, 0) : ReadTable(f);
                r = ReadTiming{Seconds(start), ProcessProcessorSeconds() - processor,
                               static_cast<int64_t>(t.lines) * t.columns};
            }
            const bool sent = write(channel[1], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
            _exit(sent ? 0 : 1);
        }
        close(channel[1]);
        ReadTiming r{0.0, 0.0, -1};
        const bool received = read(channel[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
        close(channel[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!received || r.cells < 0) return ReadTiming{0.0, 0.0, -1};
        if (round == 0 || r.wall < best.wall) best.wall = r.wall;
        if (round == 0 || r.processor < best.processor) best.processor = r.processor;
        best.cells = r.cells;
    }
    return best;
}

int Read(int argc, char **argv) {
    for (int k = 2; k < argc; ++k) {
        struct stat status {};
        if (stat(argv[k], &status) != 0) {
            std::fprintf(stderr, "%s: cannot be read\n", argv[k]);
            return 1;
        }
        const double mb = static_cast<double>(status.st_size) / 1e6;
        for (const bool oneThread : {true, false}) {
            const ReadTiming r = TimeReader(argv[k], 3, oneThread);
            std::printf("%s: %.1f MB, %lld cells, %s: %.3f s (%.3f s processor), %.0f MB/s\n", argv[k], mb,
                        static_cast<long long>(r.cells), oneThread ? "one thread " : "two threads", r.wall,
                        r.processor, mb / r.wall);
            std::fflush(stdout);
        }
    }
    return 0;
}

// Pairs x lines per second of the kernel on a table that stays in cache
// (4096 columns x 16 lines), on both threads as the programs run it.
double InCacheRate() {
    const int32_t n = 4096, lines = 16;
    OwnedTable t = DecimalTable(n, lines, 9);
    std::vector<float> row(n), x(lines);
    TwoWayLoop loop;
    double best = 0.0;
    for (int round = 0; round < 3; ++round) {
        const Clock::time_point start = Clock::now();
        for (int32_t i = 1; i < n; ++i) {
            for (int32_t l = 0; l < lines; ++l) x[l] = t.cells[static_cast<size_t>(l) * n + i];
            auto body = [&](int64_t begin, int64_t end, int) {
                DistancesToColumns(ColumnBlock{t.cells.data() + begin, n}, lines, x.data(), end - begin,
                                   row.data() + begin);
            };
            loop.Run(i, (i / 2) & ~int64_t{15}, 2048, body);
        }
        best = std::max(best, static_cast<double>(PairCount(n)) * lines / Seconds(start));
    }
    return best;
}

std::string FileBytes(const std::string &path) { return ReadFile(path); }

// The arguments of the shape benchmarks: --landed PROGRAM, --no-landed
// (when allowed) and shapes COLUMNSxLINES. Returns false on a bad one.
struct ShapeArguments {
    std::string landed;
    bool skipLanded = false;
    bool skipPeer = false;
    std::vector<std::pair<int32_t, int32_t>> shapes;
};

// The table of one shape, written into `dir`: uniform values, the same
// seed for every build and command.
std::string WriteShapeTable(const TempDir &dir, int32_t columns, int32_t lines) {
    const std::string input = dir.file("table.txt");
    WriteUniformTable(columns, lines, 7, input);
    return input;
}

// The table's values in memory, in MiB.
double TableMiB(int32_t columns, int32_t lines) { return static_cast<double>(columns) * lines * 4 / (1024.0 * 1024.0); }

bool ParseShapeArguments(int argc, char **argv, bool allowSkip, ShapeArguments &out) {
    for (int k = 2; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--landed" && k + 1 < argc) {
            out.landed = argv[++k];
            continue;
        }
        if (allowSkip && a == "--no-landed") {
            out.skipLanded = true;
            continue;
        }
        if (a == "--no-peer") {
            out.skipPeer = true;
            continue;
        }
        int c = 0, l = 0;
        if (std::sscanf(a.c_str(), "%dx%d", &c, &l) != 2 || c < 2 || l < 1) {
            std::fprintf(stderr, "bad shape %s (COLUMNSxLINES)\n", a.c_str());
            return false;
        }
        out.shapes.emplace_back(c, l);
    }
    return true;
}

// fastcluster's time on a table (bench/fastcluster_peer.py, numpy's reader
// then linkage_vector on the columns), or ok = false where it cannot run.
struct PeerTiming {
    bool ok = false;
    double read = 0.0, cluster = 0.0, processor = 0.0;
};

PeerTiming RunPeer(const char *method, const std::string &input) {
    const std::string command =
        std::string("/usr/bin/python3 ") + DENDRO_PEER_SCRIPT + " " + method + " '" + input + "' 2>/dev/null";
    PeerTiming t;
    std::FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return t;
    long merges = 0;
    t.ok = std::fscanf(pipe, "read %lf cluster %lf processor %lf merges %ld", &t.read, &t.cluster, &t.processor,
                       &merges) == 4;
    t.ok = pclose(pipe) == 0 && t.ok;
    return t;
}

int Shapes(int argc, char **argv) {
    ShapeArguments arguments;
    arguments.landed = "/work/landed/build/dendro-min/dendro-min";
    if (!ParseShapeArguments(argc, argv, false, arguments)) return 2;
    const std::string &landed = arguments.landed;
    std::vector<std::pair<int32_t, int32_t>> &shapes = arguments.shapes;
    if (shapes.empty()) shapes = {{32768, 16}, {4000, 1000}, {8000, 1000}, {1000, 20000}, {2000, 20000}};
    const double rate = InCacheRate();
    std::printf("in-cache kernel rate, both threads: %.2fe9 pairs x lines per second\n", rate / 1e9);
    std::printf("this build: %s\nlanded:     %s\n", DENDRO_MIN_PATH, landed.c_str());
    std::printf("wall seconds (processor seconds in brackets); this machine's other load shows in wall times\n\n");
    int failures = 0;
    for (const auto &[columns, lines] : shapes) {
        TempDir dir;
        const std::string input = WriteShapeTable(dir, columns, lines);
        const double textMB = static_cast<double>(FileBytes(input).size()) / 1e6;
        // The reader alone, in a process of its own: best of two.
        const ReadTiming reading = TimeReader(input, 2);
        const double readSeconds = reading.wall, readProcessor = reading.processor;
        const double tableMiB = TableMiB(columns, lines);
        const SingleLinkageOrder order = ChooseSingleLinkageOrder(TableData{lines, columns, nullptr});
        const bool stores = order == SingleLinkageOrder::StoredMatrix;
        const double matrixMiB = stores ? static_cast<double>(PairCount(columns)) * 4 / (1024.0 * 1024.0) : 0.0;
        const double floor = static_cast<double>(PairCount(columns)) * lines / rate;
        std::printf("%d columns x %d lines: text %.1f MB, table %.1f MiB, %s\n", columns, lines, textMB, tableMiB,
                    stores                                        ? "distance matrix stored"
                    : order == SingleLinkageOrder::ColumnByColumn ? "no matrix, column by column"
                    : order == SingleLinkageOrder::FlooredColumns ? "no matrix, floors column by column"
                                                                  : "no matrix, batches of rows ahead");
        std::printf("  reader: %.3f s (%.3f s), %.0f MB/s (%.0f MB/s of processor time)\n", readSeconds,
                    readProcessor, textMB / readSeconds, textMB / readProcessor);
        std::printf("  compute floor: %.3f s; floor + reading: %.3f s\n", floor, floor + readSeconds);
        const TimedRun mine = RunProgram(DENDRO_MIN_PATH, input, dir.file("mine.dendro"));
        const TimedRun old = RunProgram(landed, input, dir.file("landed.dendro"));
        const bool same = FileBytes(dir.file("mine.dendro")) == FileBytes(dir.file("landed.dendro"));
        const double limitMiB = 2 * tableMiB + 64 + matrixMiB;
        std::printf("  this build: %7.3f s (%7.3f s), peak %7.1f MiB (limit %.1f MiB), status %d\n", mine.wall,
                    mine.processor, mine.peakKiB / 1024.0, limitMiB, mine.status);
        std::printf("  landed:     %7.3f s (%7.3f s), peak %7.1f MiB, status %d\n", old.wall, old.processor,
                    old.peakKiB / 1024.0, old.status);
        std::printf("  speed-up x%.2f (processor time x%.2f); this build / (floor + reading) = %.2f; output %s\n",
                    old.wall / mine.wall, old.processor / mine.processor, mine.wall / (floor + readSeconds),
                    same ? "identical" : "DIFFERENT");
        if (!arguments.skipPeer) {
            const PeerTiming peer = RunPeer("single", input);
            if (peer.ok)
                std::printf("  fastcluster single: reading %.3f s, clustering %.3f s (%.3f s); this build / clustering"
                            " %.2f (processor time %.2f), landed / clustering %.2f\n",
                            peer.read, peer.cluster, peer.processor, mine.wall / peer.cluster,
                            mine.processor / peer.processor, old.wall / peer.cluster);
            else
                std::printf("  fastcluster single: could not run\n");
        }
        std::printf("\n");
        if (!same || mine.status != 0) ++failures;
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}

// dendro-variance of this build against another build (the landed one) on
// uniform tables: the other build once per shape (it takes minutes), this
// one best of three; wall and processor time, peak memory, identical output.
int VarianceShapes(int argc, char **argv) {
    ShapeArguments arguments;
    arguments.landed = "/work/landed/build/dendro-variance/dendro-variance";
    if (!ParseShapeArguments(argc, argv, true, arguments)) return 2;
    const std::string &landed = arguments.landed;
    const bool skipLanded = arguments.skipLanded;
    std::vector<std::pair<int32_t, int32_t>> &shapes = arguments.shapes;
    if (shapes.empty()) shapes = {{32768, 16}, {4000, 1000}, {1000, 20000}, {2000, 20000}};
    std::printf("this build: %s\nlanded:     %s\n", DENDRO_VARIANCE_PATH, skipLanded ? "(not run)" : landed.c_str());
    std::printf("wall seconds (processor seconds in brackets); this machine's other load shows in wall times\n\n");
    int failures = 0;
    for (const auto &[columns, lines] : shapes) {
        TempDir dir;
        const std::string input = WriteShapeTable(dir, columns, lines);
        const double tableMiB = TableMiB(columns, lines);
        std::printf("%d columns x %d lines: table %.1f MiB\n", columns, lines, tableMiB);
        TimedRun best{};
        for (int round = 0; round < 3; ++round) {
            const TimedRun run = RunProgram(DENDRO_VARIANCE_PATH, input, dir.file("mine.dendro"));
            std::printf("  this build, run %d: %8.3f s (%8.3f s), peak %7.1f MiB, status %d\n", round + 1, run.wall,
                        run.processor, run.peakKiB / 1024.0, run.status);
            if (round == 0 || run.wall < best.wall) best = run;
            if (run.status != 0) ++failures;
            std::fflush(stdout);
        }
        std::printf("  this build, best: %8.3f s, peak %.1f MiB (%.1f MiB above the table)\n", best.wall,
                    best.peakKiB / 1024.0, best.peakKiB / 1024.0 - tableMiB);
        if (!skipLanded) {
            const TimedRun old = RunProgram(landed, input, dir.file("landed.dendro"));
            const bool same = FileBytes(dir.file("mine.dendro")) == FileBytes(dir.file("landed.dendro"));
            std::printf("  landed:           %8.3f s (%8.3f s), peak %7.1f MiB, status %d\n", old.wall, old.processor,
                        old.peakKiB / 1024.0, old.status);
            std::printf("  speed-up x%.1f (processor time x%.1f); output %s\n", old.wall / best.wall,
                        old.processor / best.processor, same ? "identical" : "DIFFERENT");
            if (!same) ++failures;
        }
        if (!arguments.skipPeer) {
            const PeerTiming peer = RunPeer("centroid", input);
            if (peer.ok)
                std::printf("  fastcluster centroid: reading %.3f s + clustering %.3f s (%.3f s) = %.3f s;"
                            " this build / peer %.2f\n",
                            peer.read, peer.cluster, peer.processor, peer.read + peer.cluster,
                            best.wall / (peer.read + peer.cluster));
            else
                std::printf("  fastcluster centroid: could not run\n");
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}

// A table of `columns` points in `lines` dimensions: uniform in [0, 1)
// (kind 0), 20 Gaussian blobs of spread 0.03 to 0.10 (kind 1), or a smooth
// 3-D surface with noise 0.01 (kind 2).
OwnedTable StructuredTable(int kind, int32_t columns, int32_t lines, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    OwnedTable t;
    t.lines = lines;
    t.columns = columns;
    t.cells.resize(static_cast<size_t>(lines) * columns);
    std::vector<double> centres(static_cast<size_t>(20) * lines), spread(20), slope(static_cast<size_t>(3) * lines),
        phase(lines);
    for (double &c : centres) c = uniform(rng);
    for (double &s : spread) s = 0.03 + 0.07 * uniform(rng);
    for (double &a : slope) a = 4.0 * uniform(rng) - 2.0;
    for (double &b : phase) b = 6.28 * uniform(rng);
    for (int32_t c = 0; c < columns; ++c) {
        const int blob = static_cast<int>(uniform(rng) * 20.0) % 20;
        const double u[3] = {uniform(rng), uniform(rng), uniform(rng)};
        for (int32_t l = 0; l < lines; ++l) {
            double v = uniform(rng);
            if (kind == 1) v = centres[static_cast<size_t>(blob) * lines + l] + spread[blob] * normal(rng);
            if (kind == 2) {
                const double *a = &slope[static_cast<size_t>(3) * l];
                v = 0.5 + 0.5 * std::sin(a[0] * u[0] + a[1] * u[1] + a[2] * u[2] + phase[l]) + 0.01 * normal(rng);
            }
            t.cells[static_cast<size_t>(l) * columns + c] = static_cast<float>(v);
        }
    }
    return t;
}

int VarianceEngines(int argc, char **argv) {
    std::vector<std::pair<int32_t, int32_t>> shapes;
    bool sweepOnly = false;
    for (int k = 2; k < argc; ++k) {
        if (std::string(argv[k]) == "--sweep-only") {
            sweepOnly = true;
            continue;
        }
        int columns = 0, lines = 0;
        if (std::sscanf(argv[k], "%dx%d", &columns, &lines) != 2 || columns < 2 || lines < 1) {
            std::fprintf(stderr, "not a shape: %s\n", argv[k]);
            return 2;
        }
        shapes.push_back({columns, lines});
    }
    if (shapes.empty()) shapes = {{4000, 16}, {8000, 16}, {16384, 16}, {20000, 16}, {32768, 16}};
    const char *kinds[] = {"uniform", "blobs", "surface"};
    int failures = 0;
    for (const auto &[columns, lines] : shapes) {
        for (int kind = 0; kind < 3; ++kind) {
            OwnedTable t = StructuredTable(kind, columns, lines, 11);
            // The engine the dispatch would take without the sweep: the
            // working matrix up to 16,384 columns of few lines, else the
            // lazy engine over centroids.
            const VarianceBounds before = lines < 48 && columns <= 16384 ? VarianceBounds::WorkingMatrix
                                                                         : VarianceBounds::Centroids;
            double seconds[2];
            std::string text[2];
            for (int engine = sweepOnly ? 1 : 0; engine < 2; ++engine) {
                ForceVarianceBounds(engine == 0 ? before : VarianceBounds::Sweep);
                const Clock::time_point start = Clock::now();
                text[engine] = EngineVarianceText(t.view());
                seconds[engine] = Seconds(start);
            }
            ForceVarianceBounds(VarianceBounds::Automatic);
            const bool same = sweepOnly || text[0] == text[1];
            if (sweepOnly) seconds[0] = 0.0;
            if (!same) ++failures;
            std::printf("%d x %d %-8s %s %8.3f s, sweep %8.3f s, x%.2f, %s\n", columns, lines, kinds[kind],
                        before == VarianceBounds::WorkingMatrix ? "matrix " : "centroids", seconds[0], seconds[1], seconds[0] / seconds[1], same ? "same bytes" : "DIFFERENT BYTES");
            std::fflush(stdout);
        }
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "kernels") return Kernels();
    if (what == "min") return Min(argc > 2 ? std::atoi(argv[2]) : 32768);
    if (what == "variance") {
        std::vector<int32_t> sizes;
        for (int k = 2; k < argc; ++k) sizes.push_back(std::atoi(argv[k]));
        if (sizes.empty()) sizes.push_back(4000);
        return Variance(sizes);
    }
    if (what == "reference") return Reference(argc > 2 ? std::atoi(argv[2]) : 4000);
    if (what == "differential") return Differential(argc > 2 ? std::atoi(argv[2]) : 10000);
    if (what == "table") return Table(argc, argv);
    if (what == "shapes") return Shapes(argc, argv);
    if (what == "read") return Read(argc, argv);
    if (what == "min-orders") return MinOrders(argc, argv);
    if (what == "variance-shapes") return VarianceShapes(argc, argv);
    if (what == "variance-engines") return VarianceEngines(argc, argv);
    std::fprintf(stderr, "usage: dendro_bench kernels | min [N] | variance [N...] | reference [N] | differential [K] |\n"
                         "       table C L FILE | read FILE... | min-orders CxL... | shapes [--landed PROGRAM] [--no-peer] [CxL...] |\n"
                         "       variance-shapes [--landed PROGRAM | --no-landed] [--no-peer] [CxL...]\n"
                         "       variance-engines [CxL...]\n");
    return 2;
}
