// The platform module's pure parts, which run the same everywhere: the
// Windows command line split as the C runtime splits it, and the last part
// of a name.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/platform.h"
#include "process.h"

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

// A temporary file says whose it is, so that one left by a killed run can
// be told apart: named after the file it replaces, cut between characters
// so that the name stays short.
TEST(CreateFileBeside, NamedAfterTheFileItReplaces) {
    TempDir dir;
    const struct {
        std::string name, prefix;
    } cases[] = {
        {"result.dendro", ".result.dendro.dendro-"},
        {std::string(200, 'x'), "." + std::string(64, 'x') + ".dendro-"},
        // 63 bytes, then a character of two: cut before it.
        {std::string(63, 'a') + "\xc3\xa9" + "tail", "." + std::string(63, 'a') + ".dendro-"},
    };
    for (const auto &c : cases) {
        std::string temporary;
        std::FILE *stream = CreateFileBeside(dir.file(c.name), temporary);
        ASSERT_NE(stream, nullptr);
        std::fclose(stream);
        EXPECT_TRUE(FileExists(temporary));
        EXPECT_EQ(temporary.rfind(dir.path() + "/", 0), 0u) << temporary;
        const std::string own = FileNameOf(temporary);
        EXPECT_EQ(own.rfind(c.prefix, 0), 0u) << own;
        EXPECT_EQ(own.size(), c.prefix.size() + 6) << own;
        RemoveFile(temporary);
    }
}

}  // namespace
