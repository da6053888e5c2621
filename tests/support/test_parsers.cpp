#include "test_parsers.h"

#include <cctype>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace {

class XmlReader {
public:
    explicit XmlReader(const std::string &s) : s_(s) {}

    XmlElement Document() {
        CheckCharacters();
        if (s_.compare(0, 5, "<?xml") == 0) SkipPast("?>");
        SkipMisc();
        if (!At("<")) Fail("no root element");
        XmlElement root = Element();
        SkipMisc();
        if (pos_ != s_.size()) Fail("content after the root element");
        return root;
    }

private:
    [[noreturn]] void Fail(const std::string &what) const {
        std::ostringstream m;
        m << "XML not well-formed at byte " << pos_ << ": " << what;
        throw std::runtime_error(m.str());
    }
    bool At(const char *prefix) const { return s_.compare(pos_, std::char_traits<char>::length(prefix), prefix) == 0; }
    void SkipSpace() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) ++pos_;
    }
    void SkipPast(const char *end) {
        const std::size_t at = s_.find(end, pos_);
        if (at == std::string::npos) Fail(std::string("missing ") + end);
        pos_ = at + std::char_traits<char>::length(end);
    }
    void SkipMisc() {
        while (true) {
            SkipSpace();
            if (At("<!--")) {
                SkipPast("-->");
            } else if (At("<?")) {
                SkipPast("?>");
            } else {
                return;
            }
        }
    }
    static bool NameChar(char c, bool first) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalpha(u) || c == '_' || c == ':' || u >= 0x80) return true;
        return !first && (std::isdigit(u) || c == '-' || c == '.');
    }
    std::string Name() {
        const std::size_t start = pos_;
        if (pos_ >= s_.size() || !NameChar(s_[pos_], true)) Fail("expected a name");
        while (pos_ < s_.size() && NameChar(s_[pos_], false)) ++pos_;
        return s_.substr(start, pos_ - start);
    }
    // Character data up to `stop`, entities decoded; '<' is not allowed.
    std::string CharData(char stop) {
        std::string out;
        while (pos_ < s_.size() && s_[pos_] != stop) {
            const char c = s_[pos_];
            if (c == '<') Fail("'<' in character data");
            if (c == '&') {
                const std::size_t end = s_.find(';', pos_);
                if (end == std::string::npos) Fail("unterminated entity");
                const std::string entity = s_.substr(pos_ + 1, end - pos_ - 1);
                if (entity == "amp") out += '&';
                else if (entity == "lt") out += '<';
                else if (entity == "gt") out += '>';
                else if (entity == "quot") out += '"';
                else if (entity == "apos") out += '\'';
                else if (entity.size() > 1 && entity[0] == '#') {
                    const bool hex = entity[1] == 'x';
                    const std::string digits = entity.substr(hex ? 2 : 1);
                    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
                        Fail("bad character reference");
                    out += '?';  // the tests never look at referenced characters
                } else {
                    Fail("unknown entity &" + entity + ";");
                }
                pos_ = end + 1;
            } else {
                out += c;
                ++pos_;
            }
        }
        return out;
    }
    XmlElement Element() {
        ++pos_;  // '<'
        XmlElement element;
        element.name = Name();
        while (true) {
            const std::size_t before = pos_;
            SkipSpace();
            if (At("/>")) {
                pos_ += 2;
                return element;
            }
            if (At(">")) {
                ++pos_;
                break;
            }
            if (pos_ == before) Fail("expected space before an attribute");
            const std::string attribute = Name();
            SkipSpace();
            if (!At("=")) Fail("attribute " + attribute + " without '='");
            ++pos_;
            SkipSpace();
            if (pos_ >= s_.size() || (s_[pos_] != '"' && s_[pos_] != '\'')) Fail("unquoted attribute value");
            const char quote = s_[pos_++];
            std::string value = CharData(quote);
            if (pos_ >= s_.size()) Fail("unterminated attribute value");
            ++pos_;
            if (!element.attributes.emplace(attribute, value).second) Fail("repeated attribute " + attribute);
        }
        while (true) {
            element.text += CharData('<');
            if (pos_ >= s_.size()) Fail("element " + element.name + " not closed");
            if (At("</")) {
                pos_ += 2;
                if (Name() != element.name) Fail("mismatched end tag for " + element.name);
                SkipSpace();
                if (!At(">")) Fail("bad end tag");
                ++pos_;
                return element;
            }
            if (At("<!--")) {
                SkipPast("-->");
            } else if (At("<![CDATA[")) {
                pos_ += 9;
                const std::size_t end = s_.find("]]>", pos_);
                if (end == std::string::npos) Fail("unterminated CDATA");
                element.text += s_.substr(pos_, end - pos_);
                pos_ = end + 3;
            } else if (At("<?")) {
                SkipPast("?>");
            } else {
                element.children.push_back(Element());
            }
        }
    }
    // UTF-8 and the characters XML 1.0 allows.
    void CheckCharacters() {
        for (std::size_t i = 0; i < s_.size();) {
            const auto c = static_cast<unsigned char>(s_[i]);
            if (c < 0x80) {
                if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                    pos_ = i;
                    Fail("control character");
                }
                ++i;
                continue;
            }
            const std::size_t extra = c >= 0xc2 && c <= 0xdf ? 1 : c >= 0xe0 && c <= 0xef ? 2 : c >= 0xf0 && c <= 0xf4 ? 3 : 0;
            if (extra == 0 || i + extra >= s_.size()) {
                pos_ = i;
                Fail("invalid UTF-8");
            }
            for (std::size_t k = 1; k <= extra; ++k)
                if ((static_cast<unsigned char>(s_[i + k]) & 0xc0) != 0x80) {
                    pos_ = i;
                    Fail("invalid UTF-8");
                }
            i += extra + 1;
        }
    }

    const std::string &s_;
    std::size_t pos_ = 0;
};

class NewickReader {
public:
    explicit NewickReader(const std::string &s) : s_(s) {}
    NewickNode Tree() {
        NewickNode root = Subtree();
        if (!At(';')) Fail("expected ';'");
        ++pos_;
        if (pos_ < s_.size() && s_[pos_] == '\n') ++pos_;
        if (pos_ != s_.size()) Fail("text after ';'");
        return root;
    }

private:
    [[noreturn]] void Fail(const std::string &what) const {
        std::ostringstream m;
        m << "Newick malformed at byte " << pos_ << ": " << what;
        throw std::runtime_error(m.str());
    }
    bool At(char c) const { return pos_ < s_.size() && s_[pos_] == c; }
    NewickNode Subtree() {
        NewickNode node;
        if (At('(')) {
            do {
                ++pos_;
                node.children.push_back(Subtree());
            } while (At(','));
            if (!At(')')) Fail("expected ')'");
            ++pos_;
        }
        node.name = Label();
        if (At(':')) {
            ++pos_;
            const std::size_t start = pos_;
            while (pos_ < s_.size() && std::string("(),:;[]'").find(s_[pos_]) == std::string::npos) ++pos_;
            const std::string number = s_.substr(start, pos_ - start);
            char *end = nullptr;
            node.length = std::strtod(number.c_str(), &end);
            if (number.empty() || *end != '\0') Fail("bad branch length '" + number + "'");
            node.hasLength = true;
        }
        return node;
    }
    std::string Label() {
        std::string out;
        if (At('\'')) {
            ++pos_;
            while (true) {
                if (pos_ >= s_.size()) Fail("unterminated quoted name");
                if (s_[pos_] == '\'') {
                    if (pos_ + 1 < s_.size() && s_[pos_ + 1] == '\'') {
                        out += '\'';
                        pos_ += 2;
                        continue;
                    }
                    ++pos_;
                    return out;
                }
                out += s_[pos_++];
            }
        }
        while (pos_ < s_.size() && std::string("(),:;[]' \t\n").find(s_[pos_]) == std::string::npos) {
            out += s_[pos_] == '_' ? ' ' : s_[pos_];
            ++pos_;
        }
        return out;
    }

    const std::string &s_;
    std::size_t pos_ = 0;
};

void CollectWithClass(const XmlElement &element, const std::string &cls, std::vector<const XmlElement *> &out) {
    for (const XmlElement &child : element.children) {
        const auto found = child.attributes.find("class");
        if (found != child.attributes.end()) {
            std::istringstream words(found->second);
            std::string word;
            while (words >> word)
                if (word == cls) {
                    out.push_back(&child);
                    break;
                }
        }
        CollectWithClass(child, cls, out);
    }
}

}  // namespace

std::vector<const XmlElement *> XmlElement::WithClass(const std::string &cls) const {
    std::vector<const XmlElement *> out;
    CollectWithClass(*this, cls, out);
    return out;
}

const XmlElement *XmlElement::Child(const std::string &childName) const {
    for (const XmlElement &child : children)
        if (child.name == childName) return &child;
    return nullptr;
}

XmlElement ParseXml(const std::string &document) { return XmlReader(document).Document(); }

NewickNode ParseNewick(const std::string &text) { return NewickReader(text).Tree(); }
