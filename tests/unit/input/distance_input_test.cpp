// dendro-cluster's distance input: a lower triangle or a checked square
// matrix, in double precision.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input/distance_input.h"

namespace {

TEST(DistanceInput, TrianglesAndSquares) {
    struct Case {
        std::string text;
        std::int64_t objects;
        bool square;
        std::vector<double> packed;
        std::vector<std::string> names;
    } cases[] = {
        {"0.5\n1 2\n", 3, false, {0.5, 1, 2}, {}},
        {"0.5 1 2", 3, false, {0.5, 1, 2}, {}},
        {"0,5\n1,5\n2,5\n", 3, false, {0.5, 1.5, 2.5}, {}},
        {"7\n", 2, false, {7}, {}},
        {"1 2 3 4 5 6", 4, false, {1, 2, 3, 4, 5, 6}, {}},
        // Six digits after the point are kept in double precision.
        {"0.123457", 2, false, {0.123457}, {}},
        {"0 1 2\n1 0 3\n2 3 0\n", 3, true, {1, 2, 3}, {}},
        {"0\t1\r\n1\t0\r\n", 2, true, {1}, {}},
        // Line names, as R writes as.matrix(dist).
        {"a 0 1 2\nb 1 0 3\nc 2 3 0\n", 3, true, {1, 2, 3}, {"a", "b", "c"}},
        // One value, one line: a triangle of two objects, not a square of one.
        {"0\n", 2, false, {0}, {}},
    };
    for (const Case &c : cases) {
        const DistanceInput input = ReadDistanceInputFromText(c.text, false);
        ASSERT_EQ(input.refusal, "") << c.text;
        EXPECT_EQ(input.objects, c.objects) << c.text;
        EXPECT_EQ(input.square, c.square) << c.text;
        EXPECT_EQ(input.packed, c.packed) << c.text;
        EXPECT_EQ(input.names, c.names) << c.text;
    }
    const DistanceInput named = ReadDistanceInputFromText("\tx\ty\tz\nx\t0\t1\t2\ny\t1\t0\t3\nz\t2\t3\t0\n", true);
    EXPECT_EQ(named.refusal, "");
    EXPECT_EQ(named.names, (std::vector<std::string>{"x", "y", "z"}));
}

TEST(DistanceInput, Refusals) {
    struct Case {
        std::string text;
        bool empty;
        std::string refusal;
    } cases[] = {
        {"1 2", false,
         "2 values read: a lower triangle of distances holds n (n - 1) / 2 values (1 for 2 objects, 3 for 3), and a "
         "square matrix n lines of n values"},
        {"1 2 3 4 5", false,
         "5 values read: a lower triangle of distances holds n (n - 1) / 2 values (3 for 3 objects, 6 for 4), and a "
         "square matrix n lines of n values"},
        {"0 1 2\n1 0 3\n2 4 0\n", false,
         "the square matrix of distances is not symmetric: row 3 column 2 (line 3) differs from row 2 column 3"},
        {"0 1\n1 0.5\n", false,
         "line 2: the diagonal of a square matrix of distances must be 0; value 2 of the line is not"},
        {"1\n-2\n3\n", false, "line 2: the distance '-2' is negative"},
        {"1 NA 3\n", false, "line 1: the distance 'NA' is missing; every distance must be given"},
        {"1 2\ninf\n", false, "line 2: the distance 'inf' is infinite"},
        {"", true, "no distance found"},
        {"a b\n", true, "no distance found"},
    };
    for (const Case &c : cases) {
        const DistanceInput input = ReadDistanceInputFromText(c.text, false);
        EXPECT_EQ(input.refusal, c.refusal) << c.text;
        EXPECT_EQ(input.empty, c.empty) << c.text;
    }
}

}  // namespace
