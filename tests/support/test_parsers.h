// Small independent readers the tree tests hold the programs' output to:
// a strict XML well-formedness checker that also returns the element tree,
// and a Newick parser.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

struct XmlElement {
    std::string name;
    std::map<std::string, std::string> attributes;  // values with entities decoded
    std::string text;                               // own character data, decoded
    std::vector<XmlElement> children;

    // Every element below this one (depth first) whose class attribute holds
    // the word `cls`.
    std::vector<const XmlElement *> WithClass(const std::string &cls) const;
    const XmlElement *Child(const std::string &name) const;
};

// Parses a whole XML document: optional declaration, comments and processing
// instructions, exactly one root element. Throws std::runtime_error naming
// the byte offset on anything not well-formed: unbalanced or mismatched
// tags, repeated or unquoted attributes, '<' or a bad entity in text or
// values, invalid UTF-8, control characters, content after the root.
XmlElement ParseXml(const std::string &document);

struct NewickNode {
    std::string name;
    bool hasLength = false;
    double length = 0;
    std::vector<NewickNode> children;
};

// Parses one Newick tree ending in ';' (then an optional line feed). Bare
// names read underscores as blanks; quoted names use '' for a quote. Throws
// std::runtime_error on malformed text.
NewickNode ParseNewick(const std::string &text);
