#include "engine_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engines/minimum_link.h"
#include "engines/variance/variance_engine.h"
#include "kernels/kernels.h"
#include "reference_engine.h"

namespace {

// Every engine of the project, by what it takes. An engine added to the
// project is added here, next to the reference it is held against. The
// entry points dispatch by content (a matrix holding NaN or -0, a table
// holding a cell that is not finite), so the inputs reach every engine.
struct MatrixEngine {
    const char *name;
    void (*write)(std::FILE *, DistanceMatrix);
};
struct TableEngine {
    const char *name;
    void (*write)(std::FILE *, TableData);
};

const MatrixEngine kMinimumLinkMatrixEngines[] = {
    {"printClassicDendrogram (matrix)", [](std::FILE *f, DistanceMatrix m) { printClassicDendrogram(f, m); }},
};
const TableEngine kMinimumLinkTableEngines[] = {
    {"printMinimumLinkDendrogram (table)", [](std::FILE *f, TableData t) { printMinimumLinkDendrogram(f, t); }},
};
const TableEngine kVarianceEngines[] = {
    {"printClassicDendrogram (variance)", [](std::FILE *f, TableData t) { printClassicDendrogram(f, t); }},
};

const KernelLevel kKernelLevels[] = {KernelLevel::Scalar, KernelLevel::Avx2, KernelLevel::Avx512};
const char *const kKernelNames[] = {"scalar", "avx2", "avx512"};

template <class Data>
std::string Text(void (*write)(std::FILE *, Data), Data data) {
    char *buffer = nullptr;
    size_t size = 0;
    std::FILE *f = open_memstream(&buffer, &size);
    write(f, data);
    std::fclose(f);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

std::string FirstDifference(const std::string &expected, const std::string &actual) {
    size_t k = 0;
    while (k < expected.size() && k < actual.size() && expected[k] == actual[k]) ++k;
    size_t lineStart = expected.rfind('\n', k == 0 ? 0 : k - 1);
    lineStart = lineStart == std::string::npos || k == 0 ? 0 : lineStart + 1;
    return "first difference at byte " + std::to_string(k) + "\n  reference: " +
           expected.substr(lineStart, expected.find('\n', k) - lineStart) +
           "\n  engine:    " + actual.substr(lineStart, actual.find('\n', k) - lineStart);
}

void CheckShape(const std::string &reference, int32_t n) {
    const std::string shape = DendrogramShapeFault(reference, n);
    if (!shape.empty()) FuzzFailure("reference engine: " + shape + "\n" + reference);
}

// The project's rule for engines: the reference's bytes, except that a NaN
// value may be printed with either sign ("nan" or "-nan").
std::string WithoutNanSign(std::string text) {
    for (size_t at; (at = text.find("-nan")) != std::string::npos;) text.erase(at, 1);
    return text;
}

template <class Engines, class Data>
void CheckEngines(const Engines &engines, const std::string &reference, Data data, const std::string &context) {
    for (const auto &engine : engines) {
        const std::string text = Text(engine.write, data);
        if (text != reference && WithoutNanSign(text) != WithoutNanSign(reference))
            FuzzFailure(std::string(engine.name) + context + " differs from the reference, " +
                        FirstDifference(reference, text));
    }
}

bool ReadNumber(const std::string &s, size_t &k, long &value) {
    const size_t start = k;
    value = 0;
    while (k < s.size() && s[k] >= '0' && s[k] <= '9' && k - start < 9) value = value * 10 + (s[k++] - '0');
    return k > start && (k == start + 1 || s[start] != '0');
}

bool ReadWord(const std::string &s, size_t &k, const char *word) {
    const std::string w(word);
    if (s.compare(k, w.size(), w) != 0) return false;
    k += w.size();
    return true;
}

// "%f" of a float: [-]digits.dddddd, or inf / nan with an optional sign.
bool ReadValue(const std::string &s, size_t &k) {
    if (k < s.size() && s[k] == '-') ++k;
    if (ReadWord(s, k, "inf") || ReadWord(s, k, "nan")) return true;
    const size_t digits = k;
    while (k < s.size() && s[k] >= '0' && s[k] <= '9') ++k;
    if (k == digits || k >= s.size() || s[k] != '.') return false;
    ++k;
    for (int d = 0; d < 6; ++d, ++k)
        if (k >= s.size() || s[k] < '0' || s[k] > '9') return false;
    return true;
}

}  // namespace

void FuzzFailure(const std::string &what) {
    std::fprintf(stderr, "\n*** %s\n", what.c_str());
    std::abort();
}

std::string DendrogramShapeFault(const std::string &text, int32_t n) {
    const int32_t merges = n <= 1 ? 0 : n - 1;
    std::vector<bool> leafUsed(static_cast<size_t>(n < 0 ? 0 : n), false);
    std::vector<bool> nodeUsed(static_cast<size_t>(merges), false);
    std::vector<long> slotOfNode(static_cast<size_t>(merges), -1);
    std::vector<bool> slotMerged(leafUsed.size(), false);
    size_t k = 0;
    long line = 0;
    for (; k < text.size(); ++line) {
        const std::string where = "line " + std::to_string(line) + ": ";
        if (line >= merges) return where + "more lines than merges";
        long number;
        if (!ReadWord(text, k, "NODE") || !ReadNumber(text, k, number) || number != line)
            return where + "bad node head";
        long slots[2];
        for (int child = 0; child < 2; ++child) {
            if (k >= text.size() || text[k++] != '\t') return where + "missing tab";
            if (ReadWord(text, k, "LEAF")) {
                if (!ReadNumber(text, k, number) || number >= n) return where + "bad leaf";
                if (leafUsed[number]) return where + "leaf used twice";
                if (slotMerged[number]) return where + "leaf of a slot that already merged";
                leafUsed[number] = true;
                slots[child] = number;
            } else if (ReadWord(text, k, "NODE")) {
                if (!ReadNumber(text, k, number) || number >= line) return where + "bad node child";
                if (nodeUsed[number]) return where + "node used twice";
                nodeUsed[number] = true;
                slots[child] = slotOfNode[number];
            } else {
                return where + "bad child";
            }
        }
        if (slots[0] <= slots[1]) return where + "survivor is not the larger slot";
        slotOfNode[line] = slots[0];
        slotMerged[slots[0]] = true;
        if (k >= text.size() || text[k++] != '\t' || !ReadValue(text, k)) return where + "bad value";
        if (k >= text.size() || text[k++] != '\n') return where + "missing line end";
    }
    if (line != merges) return "only " + std::to_string(line) + " lines for " + std::to_string(n) + " objects";
    if (merges > 0 && slotOfNode[merges - 1] != n - 1) return "last survivor is not slot n - 1";
    return "";
}

void CheckMatrixEngines(DistanceMatrix matrix) {
    const std::string reference = ReferenceMinText(matrix);
    CheckShape(reference, matrix.count);
    CheckEngines(kMinimumLinkMatrixEngines, reference, matrix, "");
}

void CheckTableEngines(TableData table) {
    // The reference matrix, pair by pair with the plain routine.
    const int32_t n = table.columns;
    std::vector<float> plain(static_cast<size_t>(PairCount(n)));
    for (int32_t i = 1; i < n; ++i)
        for (int32_t j = 0; j < i; ++j) plain[PairIndex(i, j)] = euclidDistByColumn(i, j, table);
    const std::string referenceMin = ReferenceMinText(DistanceMatrix{n, plain.data()});
    const std::string referenceVariance = ReferenceVarianceText(table);
    CheckShape(referenceMin, n);
    CheckShape(referenceVariance, n);

    const KernelLevel best = DetectKernelLevel();
    for (size_t level = 0; level <= static_cast<size_t>(best); ++level) {
        ForceKernelLevel(kKernelLevels[level]);
        const std::string context = std::string(" at kernel level ") + kKernelNames[level];
        const DistanceMatrix matrix = ComputeColumnDistances(table);
        for (size_t k = 0; k < plain.size(); ++k)
            if (std::memcmp(&matrix.values[k], &plain[k], sizeof(float)) != 0)
                FuzzFailure("ComputeColumnDistances" + context + ": value " + std::to_string(k) + " is " +
                            std::to_string(matrix.values[k]) + ", euclidDistByColumn " + std::to_string(plain[k]));
        CheckEngines(kMinimumLinkMatrixEngines, referenceMin, matrix, context);
        CheckEngines(kMinimumLinkTableEngines, referenceMin, table, context);
        CheckEngines(kVarianceEngines, referenceVariance, table, context);
        std::free(matrix.values);
    }
    ForceKernelLevel(best);
}
