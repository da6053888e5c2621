#include "dendrogram_file.h"

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "base/platform.h"

namespace {

// A field as it can be shown in a message: control bytes escaped, and cut
// after 40 bytes.
std::string Shown(std::string_view field) {
    std::string out = "'";
    std::size_t count = 0;
    for (const char c : field) {
        if (++count > 40) {
            out += "...";
            break;
        }
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02x", u);
            out += buffer;
        } else {
            out += c;
        }
    }
    return out + "'";
}

// Digits only (at least one), no sign; false also when the number does not
// fit in std::size_t.
bool ParseCount(std::string_view digits, std::size_t &value) {
    if (digits.empty()) return false;
    for (const char c : digits)
        if (c < '0' || c > '9') return false;
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return ec == std::errc() && ptr == digits.data() + digits.size();
}

enum class NameKind { Leaf, Node, Bad, TooLarge };

// Splits "LEAF12" / "NODE3" into its kind and number.
NameKind ParseName(std::string_view field, std::size_t &number) {
    NameKind kind;
    if (field.substr(0, 4) == "LEAF")
        kind = NameKind::Leaf;
    else if (field.substr(0, 4) == "NODE")
        kind = NameKind::Node;
    else
        return NameKind::Bad;
    const std::string_view digits = field.substr(4);
    if (ParseCount(digits, number)) return kind;
    if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos)
        return NameKind::TooLarge;
    return NameKind::Bad;
}

// A decimal number, optionally signed, in fixed or exponent notation, or
// inf / infinity / nan in any case. The whole field must be the number.
bool ParseValue(std::string_view field, double &value, int &decimals) {
    std::string_view body = field;
    if (!body.empty() && body.front() == '+') {
        body.remove_prefix(1);
        if (!body.empty() && (body.front() == '+' || body.front() == '-')) return false;
    }
    const auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
    if (ptr != body.data() + body.size()) return false;
    if (ec != std::errc()) return false;  // out of the range of a double
    // Decimal places of [-]digits[.digits][e[+-]digits]: the fraction's
    // digits less the exponent.
    std::string_view plain = body;
    if (!plain.empty() && plain.front() == '-') plain.remove_prefix(1);
    const std::size_t e = plain.find_first_of("eE");
    const std::string_view mantissa = plain.substr(0, e);
    const std::size_t point = mantissa.find('.');
    const std::string_view whole = mantissa.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : mantissa.substr(point + 1);
    const auto allDigits = [](std::string_view s) {
        return s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    long exponent = 0;
    if (e != std::string_view::npos) {
        std::string_view digits = plain.substr(e + 1);
        const bool negative = !digits.empty() && digits.front() == '-';
        if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
        // Exponents past a double's range are cut at 999; the value itself
        // was read above.
        for (const char c : digits) exponent = std::min(exponent * 10 + (c - '0'), 999L);
        if (negative) exponent = -exponent;
    }
    if (allDigits(whole) && allDigits(fraction) && !(whole.empty() && fraction.empty()))
        decimals = static_cast<int>(std::max(0L, static_cast<long>(fraction.size()) - exponent));
    else
        decimals = -1;  // inf, nan
    return true;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
}

// The children of the merge lines, checked one by one: each a leaf in
// range or a node of an earlier line, none used twice.
class ChildChecks {
public:
    ChildChecks(std::size_t leafCount, std::size_t lineCount)
        : leafCount_(leafCount), lineCount_(lineCount), leafUsedOn_(leafCount, 0), nodeUsedOn_(lineCount, 0) {}

    // Child `which` (0, 1) of line k (from 0), from its field: an empty
    // string, with `child` set, or why it is refused.
    std::string Take(std::string_view field, int which, std::size_t k, DendrogramChild &child) {
        const std::size_t lineNumber = k + 1;
        std::size_t number = 0;
        const char *const role = which == 0 ? "first child" : "second child";
        const NameKind kind = ParseName(field, number);
        if (kind == NameKind::Bad)
            return std::string(role) + " " + Shown(field) + " is neither LEAF<column> nor NODE<number>";
        const bool isLeaf = field.substr(0, 4) == "LEAF";
        const std::string name = std::string(field);
        if (isLeaf && (kind == NameKind::TooLarge || number >= leafCount_))
            return name + " is out of range: " + std::to_string(lineCount_) +
                   (lineCount_ == 1 ? " line joins " : " lines join ") + std::to_string(leafCount_) +
                   " leaves, LEAF0 to LEAF" + std::to_string(leafCount_ - 1) + " (a leaf or a line is missing)";
        if (!isLeaf && (kind == NameKind::TooLarge || number >= k))
            return name +
                   (number == k && kind != NameKind::TooLarge ? " refers to the node of this very line"
                                                              : " refers to a later line") +
                   ": a child must be a leaf or a node of an earlier line";
        std::size_t &usedOn = isLeaf ? leafUsedOn_[number] : nodeUsedOn_[number];
        if (usedOn != 0)
            return name + " is used a second time (already used " +
                   (usedOn == lineNumber ? std::string("on this line") : "on line " + std::to_string(usedOn)) +
                   "); every leaf and node belongs to exactly one merge";
        usedOn = lineNumber;
        child = DendrogramChild{isLeaf, number};
        return std::string();
    }

private:
    std::size_t leafCount_, lineCount_;
    // Where each leaf and node was used as a child (line number, 0 = unused).
    std::vector<std::size_t> leafUsedOn_, nodeUsedOn_;
};

}  // namespace

DendrogramParse ParseDendrogram(std::string_view text) {
    DendrogramParse result;
    if (text.empty()) return result;  // a single column

    std::size_t lineCount = 0;
    for (const char c : text)
        if (c == '\n') ++lineCount;
    if (text.back() != '\n') ++lineCount;
    const std::size_t leafCount = lineCount + 1;
    result.tree.leafCount = leafCount;
    result.tree.merges.reserve(lineCount);

    ChildChecks children(leafCount, lineCount);

    const auto fail = [&result](std::size_t line, const std::string &message) {
        result.errorLine = line;
        result.error = "line " + std::to_string(line) + ": " + message;
        result.tree = Dendrogram{};
        return result;
    };

    // A file cut short says so first: its last line would otherwise meet a
    // check of leaves or nodes out of range on some earlier line.
    if (text.back() != '\n')
        return fail(lineCount, "no line feed at the end of the last line: the file looks cut short");

    std::size_t start = 0;
    for (std::size_t k = 0; k < lineCount; ++k) {
        const std::size_t lineNumber = k + 1;
        const std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) return fail(lineNumber, "empty line; every line must describe one merge");

        const std::vector<std::string_view> fields = SplitTabs(line);
        if (fields.size() != 4) {
            std::string message = "expected 4 tab-separated fields (NODE" + std::to_string(k) +
                                  ", first child, second child, value), found " + std::to_string(fields.size());
            if (fields.size() == 1 && line.find(' ') != std::string_view::npos)
                message += " (fields must be separated by tabs, not spaces)";
            return fail(lineNumber, message);
        }

        std::size_t number = 0;
        const NameKind head = ParseName(fields[0], number);
        if (head != NameKind::Node && head != NameKind::TooLarge)
            return fail(lineNumber, "the line must start with NODE" + std::to_string(k) + ", found " + Shown(fields[0]));
        if (head == NameKind::TooLarge || number != k)
            return fail(lineNumber, "found " + Shown(fields[0]) + " where NODE" + std::to_string(k) +
                                        " was expected: nodes are numbered 0, 1, 2, ... in line order");

        DendrogramMerge merge;
        for (int which = 0; which < 2; ++which) {
            const std::string problem = children.Take(fields[1 + which], which, k, (which == 0 ? merge.first : merge.second));
            if (!problem.empty()) return fail(lineNumber, problem);
        }

        if (!ParseValue(fields[3], merge.value, merge.decimals))
            return fail(lineNumber, "value " + Shown(fields[3]) + " is not a number");
        result.tree.merges.push_back(merge);
    }
    // With n - 1 lines, 2(n - 1) children, every leaf in 0 .. n - 1 used at
    // most once and every node used at most once by a later line (so the last
    // node by none), the children are exactly the n leaves and the nodes
    // 0 .. n - 3: the checks above leave nothing unused.
    return result;
}

bool ReadWholeFile(const std::string &path, std::string &contents, std::string &error) {
    contents.clear();
    errno = 0;
    std::FILE *file = OpenFile(path, "rb");
    if (file == nullptr) {
        error = errno != 0 ? std::strerror(errno) : "cannot open";
        return false;
    }
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) contents.append(buffer, got);
    const int readErrno = errno;
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = readErrno != 0 ? std::strerror(readErrno) : "read error";
        contents.clear();
        return false;
    }
    return true;
}

bool WriteFileAtomically(const std::string &path, const std::string &contents, std::string &error) {
    if (FileNameOf(path).empty()) {
        error = "not a file name";
        return false;
    }
    std::string temporary;
    errno = 0;
    std::FILE *file = CreateFileBeside(path, temporary);
    if (file == nullptr) {
        error = errno != 0 ? std::strerror(errno) : "cannot create a file there";
        return false;
    }
    errno = 0;
    const bool written = std::fwrite(contents.data(), 1, contents.size(), file) == contents.size() &&
                         FlushToDisk(file) && std::ferror(file) == 0;
    int writeErrno = errno;
    const bool closed = std::fclose(file) == 0;
    if (written && !closed) writeErrno = errno;
    if (!written || !closed) {
        error = writeErrno != 0 ? std::strerror(writeErrno) : "write error";
        RemoveFile(temporary);
        return false;
    }
    if (!ReplaceFile(temporary, path)) {
        error = std::strerror(errno);
        RemoveFile(temporary);
        return false;
    }
    return true;
}
