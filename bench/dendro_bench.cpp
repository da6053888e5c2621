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
//                                   reference, byte for byte
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dendrogram.h"
#include "distances.h"
#include "kernels.h"
#include "parallel.h"
#include "process.h"
#include "random_tables.h"
#include "reference_engine.h"
#include "table.h"

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

struct Run {
    double seconds;
    long peakKiB;
    int status;
};

// Runs a program to completion; wall time and peak resident memory.
Run RunTimed(const std::string &program, const std::string &input, const std::string &output) {
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execl(program.c_str(), program.c_str(), input.c_str(), output.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    return Run{Seconds(start), usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
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
    const Run run = RunTimed(DENDRO_MIN_PATH, dir.file("table.txt"), dir.file("out.txt"));
    std::printf("  dendro-min end to end: %.3f s (status %d), %.2f x floor\n", run.seconds, run.status,
                run.seconds / floor);
    std::printf("  peak memory %.1f MiB: %.1f MiB above the table\n", run.peakKiB / 1024.0,
                run.peakKiB / 1024.0 - tableMiB);
    return run.status;
}

int Variance(const std::vector<int32_t> &sizes) {
    for (int32_t n : sizes) {
        TempDir dir;
        WriteTable(DecimalTable(n, 16, 3), dir.file("table.txt"));
        const Run run = RunTimed(DENDRO_VARIANCE_PATH, dir.file("table.txt"), dir.file("out.txt"));
        std::printf("dendro-variance, %d columns x 16 lines: %.3f s (status %d), peak %.1f MiB\n", n, run.seconds,
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
        const bool same = WithoutNanSign(EngineMinText(m)) == WithoutNanSign(ReferenceMinText(m)) &&
                          WithoutNanSign(EngineVarianceText(t.view())) == WithoutNanSign(ReferenceVarianceText(t.view()));
        std::free(m.values);
        if (!same) {
            ++failures;
            std::printf("difference on:\n%s\n", TableText(t).c_str());
        }
    }
    std::printf("%d passed, %d failed\n", rounds - failures, failures);
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
    std::fprintf(stderr, "usage: dendro_bench kernels | min [N] | variance [N...] | reference [N] | differential [K]\n");
    return 2;
}
