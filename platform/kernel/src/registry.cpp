// The registry: key and value operations under one lock, persistence and the open log.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "registry_tree.h"
#include "text.h"
#include "vel/kernel/kernel.h"
#include "vel_nt.h"

namespace vel::kernel {

// ----- Values -----------------------------------------------------------------------------------

RegValue RegValue::dword(uint32_t value) {
    RegValue v{REG_DWORD, std::vector<uint8_t>(4)};
    for (int i = 0; i < 4; ++i) {
        v.data[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return v;
}

RegValue RegValue::string(const std::u16string& value) {
    RegValue v{REG_SZ, {}};
    v.data.reserve((value.size() + 1) * 2);
    for (char16_t c : value) {
        v.data.push_back(static_cast<uint8_t>(c));
        v.data.push_back(static_cast<uint8_t>(c >> 8));
    }
    v.data.insert(v.data.end(), 2, 0);
    return v;
}

std::optional<uint32_t> RegValue::asDword() const {
    if (type != REG_DWORD || data.size() != 4) {
        return std::nullopt;
    }
    return uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 |
           uint32_t{data[3]} << 24;
}

// The text up to the first terminator (the data may lack one, as written by a driver).
std::optional<std::u16string> RegValue::asString() const {
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return std::nullopt;
    }
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        const auto c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (c == 0) {
            break;
        }
        text.push_back(c);
    }
    return text;
}

// ----- Paths ------------------------------------------------------------------------------------

namespace regpath {

std::string service(const std::string& driverName) {
    return kServices + "\\" + driverName;
}

std::string parameters(const std::string& driverName) {
    return service(driverName) + "\\Parameters";
}

std::string hardwareKey(const std::string& instancePath) {
    return kEnum + "\\" + instancePath + "\\Device Parameters";
}

std::string softwareKey(const std::string& classGuid, unsigned index) {
    char number[16];
    std::snprintf(number, sizeof number, "%04u", index);
    const bool braced = !classGuid.empty() && classGuid.front() == '{';
    return kClass + "\\" + (braced ? classGuid : "{" + classGuid + "}") + "\\" + number;
}

}  // namespace regpath

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            components.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return components;
}

const KeyNode* KeyNode::find(const std::vector<std::string>& components) const {
    const KeyNode* node = this;
    for (const auto& component : components) {
        auto it = node->children.find(foldCase(component));
        if (it == node->children.end()) {
            return nullptr;
        }
        node = it->second.get();
    }
    return node;
}

KeyNode& KeyNode::create(const std::vector<std::string>& components) {
    KeyNode* node = this;
    for (const auto& component : components) {
        auto& child = node->children[foldCase(component)];
        if (!child) {
            child = std::make_unique<KeyNode>();
            child->name = component;
        }
        node = child.get();
    }
    return *node;
}

// ----- Registry ---------------------------------------------------------------------------------

struct Registry::Impl {
    mutable std::mutex mutex;
    KeyNode root;
    std::vector<OpenRecord> opens;

    KeyNode* find(const std::string& path) {
        return const_cast<KeyNode*>(root.find(splitPath(path)));
    }
    const KeyNode* find(const std::string& path) const { return root.find(splitPath(path)); }
};

Registry::Registry() : impl_(std::make_unique<Impl>()) {}
Registry::~Registry() = default;

void Registry::createKey(const std::string& path) {
    std::lock_guard lock(impl_->mutex);
    impl_->root.create(splitPath(path));
}

bool Registry::keyExists(const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->find(path) != nullptr;
}

bool Registry::deleteKey(const std::string& path) {
    auto components = splitPath(path);
    if (components.empty()) {
        return false;  // the root stays
    }
    const std::string last = foldCase(components.back());
    components.pop_back();
    std::lock_guard lock(impl_->mutex);
    auto* parent = const_cast<KeyNode*>(impl_->root.find(components));
    return parent != nullptr && parent->children.erase(last) == 1;
}

std::vector<std::string> Registry::subkeys(const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    std::vector<std::string> names;
    if (const auto* node = impl_->find(path)) {
        for (const auto& [folded, child] : node->children) {
            names.push_back(child->name);
        }
    }
    return names;
}

void Registry::setValue(const std::string& path, const std::string& name, RegValue value) {
    std::lock_guard lock(impl_->mutex);
    auto& node = impl_->root.create(splitPath(path));
    node.values.insert_or_assign(foldCase(name), KeyNode::NamedValue{name, std::move(value)});
}

std::optional<RegValue> Registry::value(const std::string& path, const std::string& name) const {
    std::lock_guard lock(impl_->mutex);
    const auto* node = impl_->find(path);
    if (node == nullptr) {
        return std::nullopt;
    }
    auto it = node->values.find(foldCase(name));
    if (it == node->values.end()) {
        return std::nullopt;
    }
    return it->second.value;
}

bool Registry::deleteValue(const std::string& path, const std::string& name) {
    std::lock_guard lock(impl_->mutex);
    auto* node = impl_->find(path);
    return node != nullptr && node->values.erase(foldCase(name)) == 1;
}

std::vector<std::string> Registry::valueNames(const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    std::vector<std::string> names;
    if (const auto* node = impl_->find(path)) {
        for (const auto& [folded, named] : node->values) {
            names.push_back(named.name);
        }
    }
    return names;
}

void Registry::setDword(const std::string& path, const std::string& name, uint32_t value) {
    setValue(path, name, RegValue::dword(value));
}

std::optional<uint32_t> Registry::dword(const std::string& path, const std::string& name) const {
    auto v = value(path, name);
    return v ? v->asDword() : std::nullopt;
}

void Registry::setString(const std::string& path, const std::string& name,
                         const std::u16string& value) {
    setValue(path, name, RegValue::string(value));
}

std::optional<std::u16string> Registry::string(const std::string& path,
                                               const std::string& name) const {
    auto v = value(path, name);
    return v ? v->asString() : std::nullopt;
}

std::string Registry::serialize() const {
    std::lock_guard lock(impl_->mutex);
    return serializeTree(impl_->root);
}

// Parsed into a fresh tree first, so a malformed text leaves the registry as it was.
bool Registry::deserialize(const std::string& text, std::string* error) {
    KeyNode parsed;
    if (!parseTree(text, parsed, error)) {
        return false;
    }
    std::lock_guard lock(impl_->mutex);
    impl_->root = std::move(parsed);
    return true;
}

// Written to a temporary file and renamed over the target, so a failed save never leaves a
// half-written registry behind.
bool Registry::save(const std::string& file, std::string* error) const {
    const std::string temporary = file + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << serialize();
        out.close();
        if (!out) {
            if (error != nullptr) {
                *error = "cannot write " + temporary;
            }
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), file.c_str()) != 0) {
        if (error != nullptr) {
            *error = "cannot replace " + file;
        }
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool Registry::load(const std::string& file, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (error != nullptr) {
            *error = "cannot read " + file;
        }
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!deserialize(text.str(), error)) {
        if (error != nullptr) {
            *error = file + ": " + *error;
        }
        return false;
    }
    return true;
}

void Registry::noteOpen(const std::string& path, uint32_t access) {
    std::lock_guard lock(impl_->mutex);
    impl_->opens.push_back({path, access});
}

std::vector<Registry::OpenRecord> Registry::opens() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->opens;
}

void Registry::clearOpens() {
    std::lock_guard lock(impl_->mutex);
    impl_->opens.clear();
}

}  // namespace vel::kernel
