#include "leaf_names.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <system_error>

namespace {

bool ValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t extra;
        unsigned long codePoint;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xc2 && c <= 0xdf) {
            extra = 1;
            codePoint = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            extra = 2;
            codePoint = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            extra = 3;
            codePoint = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xc0) != 0x80) return false;
            codePoint = (codePoint << 6) | (d & 0x3f);
        }
        // Overlong forms, surrogates and values past U+10FFFF.
        if ((extra == 2 && codePoint < 0x800) || (extra == 3 && codePoint < 0x10000) ||
            (codePoint >= 0xd800 && codePoint <= 0xdfff) || codePoint > 0x10ffff)
            return false;
        i += extra + 1;
    }
    return true;
}

// What is wrong with a name, or "" when nothing is.
std::string NameFault(std::string_view name) {
    if (name.empty()) return "empty name; every column needs a name";
    if (!ValidUtf8(name)) return "the name is not valid UTF-8 text";
    // A tab or a line end would break the lines of dendro-cut and the other
    // tab-separated outputs.
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '\t') return "the name holds a tab, which would break the tab-separated lines written";
        if (u < 0x20 || u == 0x7f) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02X", u);
            return std::string("the name holds the control character ") + code + "; names are printable text";
        }
    }
    return "";
}

// `text` without the blanks in `blanks` at either end.
std::string_view Trimmed(std::string_view text, const char *blanks) {
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string_view WithoutByteOrderMark(std::string_view text) {
    if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
    return text;
}

// A number as the table reader reads one (a decimal comma counts as a point).
bool IsNumber(std::string_view word) {
    std::string copy(word);
    for (char &c : copy)
        if (c == ',') c = '.';
    const char *begin = copy.data() + (!copy.empty() && copy.front() == '+');
    double value;
    const auto [ptr, ec] = std::from_chars(begin, copy.data() + copy.size(), value);
    return ec == std::errc() && ptr == copy.data() + copy.size() && begin != ptr;
}

// A name in double quotes without them, an inner pair of quotes read as
// one; any other name as it is.
std::string Unquoted(std::string_view name) {
    if (name.size() < 2 || name.front() != '"' || name.back() != '"') return std::string(name);
    std::string out;
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
        out += name[i];
        if (name[i] == '"' && name[i + 1] == '"' && i + 2 < name.size()) ++i;
    }
    return out;
}

std::string Plural(std::size_t count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

LabelsParse ParseLabels(std::string_view text, std::size_t leafCount) {
    LabelsParse result;
    text = WithoutByteOrderMark(text);
    const auto fail = [&result](std::size_t line, const std::string &message) {
        result.errorLine = line;
        result.error = line == 0 ? message : "line " + std::to_string(line) + ": " + message;
        result.labels.clear();
        result.notes.clear();
        return result;
    };
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        start = end == std::string_view::npos ? text.size() : end + 1;
    }
    // Empty lines (or lines of blanks) after the last name are no names: an
    // editor may leave one at the end.
    while (!lines.empty() && Trimmed(lines.back(), " \t\r").empty()) lines.pop_back();
    std::size_t trimmed = 0, firstTrimmed = 0;
    for (std::string_view line : lines) {
        const std::size_t lineNumber = result.labels.size() + 1;
        line = Trimmed(line, "\r");
        const std::string_view name = Trimmed(line, " \t\r");
        if (!name.empty() && name.size() != line.size() && trimmed++ == 0) firstTrimmed = lineNumber;
        const std::string fault = NameFault(name);
        if (!fault.empty()) return fail(lineNumber, fault);
        result.labels.emplace_back(name);
    }
    if (result.labels.size() != leafCount)
        return fail(0, Plural(result.labels.size(), "name", "names") + " for " +
                           Plural(leafCount, "column", "columns") +
                           ": give exactly one name per line for each column, in column order");
    if (trimmed > 0)
        result.notes.push_back("blanks around " + Plural(trimmed, "name", "names") + " dropped (first on line " +
                               std::to_string(firstTrimmed) + ")");
    return result;
}

LabelsParse ParseHeaderNames(std::string_view text, std::size_t leafCount) {
    LabelsParse result;
    text = WithoutByteOrderMark(text);
    const auto fail = [&result](const std::string &message) {
        result.errorLine = 1;
        result.error = "line 1: " + message;
        result.labels.clear();
        result.notes.clear();
        return result;
    };
    const std::string_view line = text.substr(0, text.find_first_of("\r\n"));

    std::vector<std::string_view> words;
    const bool tabs = line.find('\t') != std::string_view::npos;
    if (tabs) {
        std::size_t start = 0;
        while (true) {
            const std::size_t tab = line.find('\t', start);
            words.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
            if (tab == std::string_view::npos) break;
            start = tab + 1;
        }
    } else {
        std::size_t start = line.find_first_not_of(" ;");
        while (start != std::string_view::npos) {
            // A name in double quotes (as R and spreadsheets write them) may
            // hold blanks and semicolons.
            std::size_t from = start;
            if (line[start] == '"') {
                for (from = start + 1; from < line.size(); ++from) {
                    if (line[from] != '"') continue;
                    if (from + 1 < line.size() && line[from + 1] == '"') {
                        ++from;
                        continue;
                    }
                    break;
                }
            }
            const std::size_t end = line.find_first_of(" ;", std::min(from, line.size()));
            words.push_back(line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
            start = end == std::string_view::npos ? end : line.find_first_not_of(" ;", end);
        }
    }
    const char *const how = tabs ? "split on tabs" : "split on blanks and semicolons";
    if (words.size() != leafCount && words.size() != leafCount + 1)
        return fail(Plural(words.size(), "name", "names") + " (" + how + ") for " +
                    Plural(leafCount, "column", "columns") + ": expected " + std::to_string(leafCount) + ", or " +
                    std::to_string(leafCount + 1) + " with the heading of the row labels first");
    const std::size_t skip = words.size() - leafCount;
    std::size_t trimmed = 0, allNumbers = 0, unquoted = 0;
    for (std::size_t i = skip; i < words.size(); ++i) {
        const std::string_view bare = Trimmed(words[i], " ");
        trimmed += bare.size() != words[i].size() && !bare.empty();
        const std::string name = Unquoted(bare);
        unquoted += name.size() != bare.size();
        const std::string fault = NameFault(name);
        if (!fault.empty())
            return fail("name " + std::to_string(i - skip + 1) + " (word " + std::to_string(i + 1) + ", " + how +
                        "): " + fault);
        allNumbers += IsNumber(name);
        result.labels.emplace_back(name);
    }
    if (trimmed > 0) result.notes.push_back("blanks around " + Plural(trimmed, "name", "names") + " on line 1 dropped");
    if (unquoted > 0)
        result.notes.push_back("the double quotes around " + Plural(unquoted, "name", "names") + " on line 1 dropped");
    if (allNumbers == leafCount)
        result.notes.push_back("every name on line 1 is a number: is that line really a header of names?");
    return result;
}

std::string LeafName(const std::vector<std::string> &labels, std::size_t column) {
    return labels.empty() ? std::to_string(column) : labels[column];
}
