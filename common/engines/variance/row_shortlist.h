// The rows' shortlists of the lazy engine: for each row, the pairs with the
// lowest intervals at its last full scan, so that most rows are made exact
// again without scanning every pair.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace variance_engine {

// Row r's shortlist holds the pairs with the lowest intervals at its last
// full scan, kept up to date as clusters merge (an entry whose partner has
// merged since is void: the pair is gone, or it is a new pair that enters
// when its interval starts below the floor); every live pair of the row
// outside it has a value of at least the floor. A row that has had no full
// scan since it was last formed is not listed, and holds nothing.
//
// Whether an entry is void is the engine's to say: the calls that drop or
// match entries take `valid`, true for an entry whose partner is live and
// has not merged since it was listed.
class RowShortlists {
public:
    struct Entry {
        double low, high;
        int32_t y;
        int32_t version;  // the partner's merge count when listed
    };

    RowShortlists(int32_t rows, size_t length) : length_(length), list_(rows), floor_(rows, INFINITY), listed_(rows, 0) {}

    size_t length() const { return length_; }
    bool Listed(int32_t r) const { return listed_[r] != 0; }
    double Floor(int32_t r) const { return floor_[r]; }
    std::vector<Entry> &Of(int32_t r) { return list_[r]; }

    // Row r is formed anew: it holds nothing until its next full scan.
    void Unlist(int32_t r) { listed_[r] = 0; }
    // Row r's cluster is gone.
    void Drop(int32_t r) { list_[r].clear(); }

    // Drops the void entries of row r.
    template <class Valid>
    void Prune(int32_t r, Valid valid) {
        std::vector<Entry> &list = list_[r];
        size_t kept = 0;
        for (const Entry &e : list)
            if (valid(e)) list[kept++] = e;
        list.resize(kept);
    }

    // A new pair (r, y), y at merge count `version`, of interval [low, high].
    template <class Valid>
    void Enlist(int32_t r, int32_t y, int32_t version, double low, double high, Valid valid) {
        if (!listed_[r] || low >= floor_[r]) return;
        std::vector<Entry> &list = list_[r];
        if (list.size() == length_) Prune(r, valid);
        if (list.size() == length_) {
            size_t top = 0;
            for (size_t k = 1; k < list.size(); ++k)
                if (list[k].low > list[top].low) top = k;
            // The one left out is no smaller than its interval's start.
            floor_[r] = std::min(floor_[r], list[top].low);
            if (low >= floor_[r]) return;
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(top));
        }
        list.push_back({low, high, y, version});
    }

    // The pairs of row r just evaluated are known exactly now.
    void Pin(int32_t r, const std::vector<std::pair<int32_t, float>> &evaluated) {
        for (Entry &e : list_[r])
            for (const auto &[y, v] : evaluated)
                if (y == e.y) {
                    e.low = e.high = v;
                    break;
                }
    }
    // The pair (r, y) is known exactly: v.
    template <class Valid>
    void PinPair(int32_t r, int32_t y, float v, Valid valid) {
        for (Entry &e : list_[r])
            if (e.y == y && valid(e)) e.low = e.high = v;
    }

    // After a full scan of row r: the list starts again from `floor`, and
    // Keep adds its pairs.
    void Restart(int32_t r, double floor) {
        list_[r].clear();
        listed_[r] = 1;
        floor_[r] = floor;
    }
    void Keep(int32_t r, const Entry &entry) { list_[r].push_back(entry); }

private:
    size_t length_;
    std::vector<std::vector<Entry>> list_;
    std::vector<double> floor_;
    std::vector<unsigned char> listed_;
};

}  // namespace variance_engine
