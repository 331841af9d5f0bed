// The registry's in-memory tree, shared by the key/value operations and the text format.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vel/kernel/registry.h"

namespace vel::kernel {

struct KeyNode {
    std::string name;  // as it was first written; lookups use the folded name
    std::map<std::string, std::unique_ptr<KeyNode>> children;  // by folded name
    struct NamedValue {
        std::string name;
        RegValue value;
    };
    std::map<std::string, NamedValue> values;  // by folded name

    const KeyNode* find(const std::vector<std::string>& components) const;
    KeyNode& create(const std::vector<std::string>& components);
};

// "\Registry\Machine\X" -> {"Registry", "Machine", "X"}; empty components are dropped.
std::vector<std::string> splitPath(const std::string& path);

// The text form of a tree (Registry::serialize) and its parser; the parser fills `root` and on
// failure returns false with "line N: ..." in `error`.
std::string serializeTree(const KeyNode& root);
bool parseTree(const std::string& text, KeyNode& root, std::string* error);

}  // namespace vel::kernel
