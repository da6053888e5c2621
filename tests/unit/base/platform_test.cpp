// The platform module's pure parts, which run the same everywhere: the
// Windows command line split as the C runtime splits it, and the last part
// of a name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/platform.h"

namespace {

TEST(SplitCommandLine, FollowsTheCRuntimeRules) {
    const struct {
        const char *line;
        std::vector<std::string> arguments;
    } cases[] = {
        {"prog a b", {"prog", "a", "b"}},
        {"prog  \t a\t\tb  ", {"prog", "a", "b"}},
        {"prog", {"prog"}},
        {"prog ", {"prog"}},
        {"\"C:\\Program Files\\x\\prog.exe\" in out", {"C:\\Program Files\\x\\prog.exe", "in", "out"}},
        // The program name takes no escapes: a backslash before its closing
        // quote stays and the quote still closes.
        {"\"C:\\dir\\\" a", {"C:\\dir\\", "a"}},
        {"prog \"in one.txt\" \" out \"", {"prog", "in one.txt", " out "}},
        {"prog \"\" x", {"prog", "", "x"}},
        {"prog a\"b c\"d", {"prog", "ab cd"}},
        {"prog C:\\data\\t.txt \\\\server\\share\\", {"prog", "C:\\data\\t.txt", "\\\\server\\share\\"}},
        {"prog a\\\\\"b c\"", {"prog", "a\\b c"}},     // 2n backslashes, quote: n and a group
        {"prog a\\\\\\\"b c", {"prog", "a\\\"b", "c"}},  // 2n+1: n and a literal quote
        {"prog \\\"x\\\"", {"prog", "\"x\""}},
        {"prog \"a\"\"b\" c", {"prog", "a\"b", "c"}},  // a pair inside quotes: one quote
        {"prog \"C:\\dir\\\\\" next", {"prog", "C:\\dir\\", "next"}},
        {"prog \"unclosed arg", {"prog", "unclosed arg"}},
        {"prog \xc3\xa9t\xc3\xa9 \"\xe6\x95\xb0 \xe6\x8d\xae\"", {"prog", "\xc3\xa9t\xc3\xa9", "\xe6\x95\xb0 \xe6\x8d\xae"}},
    };
    for (const auto &c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.arguments) << c.line;
}

TEST(FileNameOf, LastPartOfTheName) {
    EXPECT_EQ(FileNameOf("tree.txt"), "tree.txt");
    EXPECT_EQ(FileNameOf("/data/run 1/tree.txt"), "tree.txt");
    EXPECT_EQ(FileNameOf("data/"), "");
    EXPECT_EQ(FileNameOf(".."), "..");
}

}  // namespace
