// Reading the merge lines that dendro-min and dendro-variance write:
//   NODE<k> \t <first child> \t <second child> \t <value> \n
// one line per merge, k = 0, 1, 2, ... in line order, each child LEAF<column>
// or NODE<earlier k>. n - 1 lines join the leaves LEAF0 .. LEAF(n-1); an empty
// file is the tree of a single column. Also whole-file reading and writing
// for the tree programs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct DendrogramChild {
    bool isLeaf = true;
    std::size_t index = 0;  // column for a leaf, node number for a node
};

struct DendrogramMerge {
    DendrogramChild first;
    DendrogramChild second;
    double value = 0.0;
    // Decimal places of the value as written ("4.000000" gives 6, "12" 0,
    // "1.50000002e-05" 13, "1.5e+20" 0); -1 for inf and nan.
    int decimals = -1;
};

struct Dendrogram {
    std::size_t leafCount = 1;
    std::vector<DendrogramMerge> merges;  // merges[k] is NODE<k>
};

// A parse result: `error` is empty on success; otherwise it says what is
// wrong and, when the fault is on a line, `errorLine` is that line (from 1)
// and `error` starts with "line <errorLine>: ".
struct DendrogramParse {
    Dendrogram tree;
    std::size_t errorLine = 0;
    std::string error;
    bool ok() const { return error.empty(); }
};

// Parses and checks a whole dendrogram file. Every line must end with a line
// feed (a carriage return before it is tolerated); a missing final line feed
// is reported, as it is the mark of a file cut short.
DendrogramParse ParseDendrogram(std::string_view text);

// Reads a whole file into `contents`. On failure returns false and sets
// `error` to a message naming the reason (the file name is not included).
bool ReadWholeFile(const std::string &path, std::string &contents, std::string &error);

// Writes `contents` to `path` through a temporary file in the same folder
// that is renamed over `path` only once everything was written, so `path`
// is never left half-written. On failure nothing is created, `path` is left
// as it was, and `error` says why.
bool WriteFileAtomically(const std::string &path, const std::string &contents, std::string &error);
