#include "simkernel/registry_store.h"
#include "simkernel/registry_text.h"
#include "simkernel/utf.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <unordered_map>
#include <utility>

namespace sim {
using namespace regtext;

namespace {

std::string Quote(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// The UTF-8 text of a REG_SZ if it can be written as a quoted string and read
// back to the same bytes: exactly one terminating NUL, no other NUL, no lone
// surrogate, no line break.
std::optional<std::string> PlainString(const std::vector<uint8_t>& data) {
    auto units = BytesToUtf16(data);
    if (!units || units->empty() || units->back() != 0) return std::nullopt;
    units->pop_back();
    if (units->find_first_of(std::u16string_view(u"\0\r\n", 3)) != std::u16string::npos) {
        return std::nullopt;
    }
    return Utf16ToUtf8(*units);
}

}  // namespace

// ---------------------------------------------------------------------------
// Store

std::string RegLoadError::Message() const {
    if (line <= 0) return file + ": " + reason;
    return file + ":" + std::to_string(line) + ": " + reason;
}

struct RegistryStore::Node {
    struct NamedValue {
        std::string name;
        RegValue value;
    };

    std::string name;
    std::vector<std::unique_ptr<Node>> subkeys;
    std::vector<NamedValue> values;
    // Positions in subkeys and values by folded name: a key with thousands of
    // values loads in linear time.
    std::unordered_map<std::string, size_t> subkeyIndex;
    std::unordered_map<std::string, size_t> valueIndex;

    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    // Iterative: a deep tree must not take the stack with it.
    ~Node() {
        std::vector<std::unique_ptr<Node>> pending = std::move(subkeys);
        while (!pending.empty()) {
            std::unique_ptr<Node> node = std::move(pending.back());
            pending.pop_back();
            for (auto& sub : node->subkeys)
                pending.push_back(std::move(sub));
            node->subkeys.clear();
        }
    }

    static std::string Folded(std::string_view n) {
        std::string folded(n);
        for (char& c : folded)
            c = FoldAscii(c);
        return folded;
    }

    Node* Subkey(std::string_view n) const {
        const auto it = subkeyIndex.find(Folded(n));
        return it == subkeyIndex.end() ? nullptr : subkeys[it->second].get();
    }

    Node* AddSubkey(std::string_view n) {
        subkeyIndex[Folded(n)] = subkeys.size();
        subkeys.push_back(std::make_unique<Node>());
        subkeys.back()->name = n;
        return subkeys.back().get();
    }

    bool RemoveSubkey(std::string_view n) {
        const auto it = subkeyIndex.find(Folded(n));
        if (it == subkeyIndex.end()) return false;
        subkeys.erase(subkeys.begin() + static_cast<std::ptrdiff_t>(it->second));
        subkeyIndex.clear();
        for (size_t i = 0; i < subkeys.size(); ++i)
            subkeyIndex[Folded(subkeys[i]->name)] = i;
        return true;
    }

    NamedValue* Value(std::string_view n) {
        const auto it = valueIndex.find(Folded(n));
        return it == valueIndex.end() ? nullptr : &values[it->second];
    }

    void AddValue(std::string_view n, RegValue value) {
        valueIndex[Folded(n)] = values.size();
        values.push_back({std::string(n), std::move(value)});
    }

    bool RemoveValue(std::string_view n) {
        const auto it = valueIndex.find(Folded(n));
        if (it == valueIndex.end()) return false;
        values.erase(values.begin() + static_cast<std::ptrdiff_t>(it->second));
        valueIndex.clear();
        for (size_t i = 0; i < values.size(); ++i)
            valueIndex[Folded(values[i].name)] = i;
        return true;
    }
};

RegistryStore::RegistryStore() { ResetLocked(); }

RegistryStore::~RegistryStore() = default;

void RegistryStore::ResetLocked() {
    root_ = std::make_unique<Node>();
    CreateLocked(kMachinePath, nullptr);
    CreateLocked(kUserPath, nullptr);
}

RegistryStore::Node* RegistryStore::FindLocked(std::string_view path) const {
    std::vector<std::string_view> parts;
    if (!SplitPath(path, &parts)) return nullptr;
    Node* node = root_.get();
    for (auto part : parts) {
        node = node->Subkey(part);
        if (!node) return nullptr;
    }
    return node;
}

RegistryStore::Node* RegistryStore::CreateLocked(std::string_view path, bool* created) {
    std::vector<std::string_view> parts;
    if (!SplitPath(path, &parts) || parts.size() > kMaxKeyDepth) return nullptr;
    Node* node = root_.get();
    bool isNew = false;
    for (auto part : parts) {
        Node* next = node->Subkey(part);
        isNew = next == nullptr;
        if (isNew) next = node->AddSubkey(part);
        node = next;
    }
    if (created) *created = isNew;
    return node;
}

bool RegistryStore::DeleteKeyLocked(std::string_view path) {
    std::vector<std::string_view> parts;
    if (!SplitPath(path, &parts) || IsFixedRoot(parts)) return false;
    Node* parent = root_.get();
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        parent = parent->Subkey(parts[i]);
        if (!parent) return false;
    }
    return parent->RemoveSubkey(parts.back());
}

bool RegistryStore::SetValueLocked(std::string_view keyPath, std::string_view name, uint32_t type,
                                   std::vector<uint8_t> data) {
    if (!ValidName(name)) return false;
    Node* node = FindLocked(keyPath);
    if (!node) return false;
    RegValue value{type, std::move(data)};
    if (auto* existing = node->Value(name)) {
        existing->value = std::move(value);
    } else {
        node->AddValue(name, std::move(value));
    }
    return true;
}

bool RegistryStore::DeleteValueLocked(std::string_view keyPath, std::string_view name) {
    Node* node = FindLocked(keyPath);
    if (!node) return false;
    return node->RemoveValue(name);
}

bool RegistryStore::KeyExists(std::string_view path) const {
    std::lock_guard lock(mutex_);
    return FindLocked(path) != nullptr;
}

bool RegistryStore::CreateKey(std::string_view path, bool* created) {
    std::lock_guard lock(mutex_);
    return CreateLocked(path, created) != nullptr;
}

bool RegistryStore::DeleteKey(std::string_view path) {
    std::lock_guard lock(mutex_);
    return DeleteKeyLocked(path);
}

bool RegistryStore::SetValue(std::string_view keyPath, std::string_view name, uint32_t type,
                             std::vector<uint8_t> data) {
    std::lock_guard lock(mutex_);
    return SetValueLocked(keyPath, name, type, std::move(data));
}

std::optional<RegValue> RegistryStore::GetValue(std::string_view keyPath, std::string_view name) const {
    std::lock_guard lock(mutex_);
    Node* node = FindLocked(keyPath);
    if (!node) return std::nullopt;
    if (const auto* v = node->Value(name)) return v->value;
    return std::nullopt;
}

bool RegistryStore::DeleteValue(std::string_view keyPath, std::string_view name) {
    std::lock_guard lock(mutex_);
    return DeleteValueLocked(keyPath, name);
}

std::vector<std::string> RegistryStore::ValueNames(std::string_view path) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    if (const Node* node = FindLocked(path)) {
        for (const auto& v : node->values)
            names.push_back(v.name);
    }
    return names;
}

std::vector<std::string> RegistryStore::SubkeyNames(std::string_view path) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    if (const Node* node = FindLocked(path)) {
        for (const auto& k : node->subkeys)
            names.push_back(k->name);
    }
    return names;
}

void RegistryStore::Clear() {
    std::lock_guard lock(mutex_);
    ResetLocked();
}

bool RegistryStore::SetDword(std::string_view keyPath, std::string_view name, uint32_t value) {
    std::vector<uint8_t> data(4);
    for (int b = 0; b < 4; ++b)
        data[b] = static_cast<uint8_t>(value >> (8 * b));
    return SetValue(keyPath, name, kRegDword, std::move(data));
}

bool RegistryStore::SetString(std::string_view keyPath, std::string_view name, std::u16string_view value,
                              uint32_t type) {
    if (type != kRegSz && type != kRegExpandSz) return false;
    return SetValue(keyPath, name, type, Utf16Bytes(value, true));
}

bool RegistryStore::SetString(std::string_view keyPath, std::string_view name, std::string_view utf8Value,
                              uint32_t type) {
    const auto units = Utf8ToUtf16(utf8Value);
    if (!units) return false;
    return SetString(keyPath, name, std::u16string_view(*units), type);
}

bool RegistryStore::SetMultiString(std::string_view keyPath, std::string_view name,
                                   const std::vector<std::string>& items) {
    std::u16string all;
    for (const auto& item : items) {
        const auto units = Utf8ToUtf16(item);
        if (!units || units->empty() || units->find(u'\0') != std::u16string::npos) return false;
        all += *units;
        all.push_back(u'\0');
    }
    if (items.empty()) all.push_back(u'\0');
    return SetValue(keyPath, name, kRegMultiSz, Utf16Bytes(all, true));
}

std::optional<uint32_t> RegistryStore::GetDword(std::string_view keyPath, std::string_view name) const {
    const auto v = GetValue(keyPath, name);
    if (!v || v->type != kRegDword || v->data.size() != 4) return std::nullopt;
    uint32_t out = 0;
    for (int b = 0; b < 4; ++b)
        out |= static_cast<uint32_t>(v->data[b]) << (8 * b);
    return out;
}

std::optional<std::string> RegistryStore::GetString(std::string_view keyPath, std::string_view name) const {
    const auto v = GetValue(keyPath, name);
    if (!v || (v->type != kRegSz && v->type != kRegExpandSz)) return std::nullopt;
    auto units = BytesToUtf16(v->data);
    if (!units) return std::nullopt;
    units->resize(std::min(units->size(), units->find(u'\0')));
    return Utf16ToUtf8(*units);
}

std::optional<std::vector<std::string>> RegistryStore::GetMultiString(std::string_view keyPath,
                                                                      std::string_view name) const {
    const auto v = GetValue(keyPath, name);
    if (!v || v->type != kRegMultiSz) return std::nullopt;
    const auto units = BytesToUtf16(v->data);
    if (!units) return std::nullopt;
    std::vector<std::string> items;
    size_t pos = 0;
    while (pos < units->size()) {
        size_t end = units->find(u'\0', pos);
        if (end == std::u16string::npos) end = units->size();  // tolerate a missing terminator
        if (end == pos) break;                                 // the empty string ends the list
        auto item = Utf16ToUtf8(std::u16string_view(*units).substr(pos, end - pos));
        if (!item) return std::nullopt;
        items.push_back(std::move(*item));
        pos = end + 1;
    }
    return items;
}

bool RegistryStore::LoadRegText(std::string_view raw, const std::string& nameForErrors, RegLoadError* error) {
    int line = 0;
    std::string reason;
    std::vector<LoadOp> ops;
    if (!ParseRegText(raw, &ops, &line, &reason)) {
        if (error) *error = {nameForErrors, line, std::move(reason)};
        return false;
    }

    std::lock_guard lock(mutex_);
    for (auto& op : ops) {
        switch (op.kind) {
        case LoadOp::Kind::kCreateKey:
            CreateLocked(op.path, nullptr);
            break;
        case LoadOp::Kind::kDeleteKey:
            DeleteKeyLocked(op.path);
            break;
        case LoadOp::Kind::kSetValue:
            SetValueLocked(op.path, op.name, op.value.type, std::move(op.value.data));
            break;
        case LoadOp::Kind::kDeleteValue:
            DeleteValueLocked(op.path, op.name);
            break;
        }
    }
    return true;
}

bool RegistryStore::LoadRegFile(const std::string& filename, RegLoadError* error) {
    std::ifstream in(filename, std::ios::binary);
    if (!in) {
        if (error) *error = {filename, 0, std::string("cannot open file: ") + std::strerror(errno)};
        return false;
    }
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        if (error) *error = {filename, 0, "cannot read file"};
        return false;
    }
    return LoadRegText(raw, filename, error);
}

namespace {

void SaveValue(std::string* out, std::string_view name, const RegValue& value) {
    std::string line = name.empty() ? std::string("@") : Quote(name);
    line += '=';
    char buf[16];
    if (value.type == kRegDword && value.data.size() == 4) {
        const uint32_t v = static_cast<uint32_t>(value.data[0]) | (value.data[1] << 8) | (value.data[2] << 16) |
                           (static_cast<uint32_t>(value.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "%08x", v);
        *out += line + "dword:" + buf + "\r\n";
        return;
    }
    if (value.type == kRegSz) {
        if (const auto s = PlainString(value.data)) {
            *out += line + Quote(*s) + "\r\n";
            return;
        }
    }
    if (value.type == kRegBinary) {
        line += "hex:";
    } else {
        std::snprintf(buf, sizeof buf, "%x", value.type);
        line += std::string("hex(") + buf + "):";
    }
    // Wrap long byte lists the way regedit does, two-space indented.
    size_t col = line.size();
    for (size_t i = 0; i < value.data.size(); ++i) {
        if (i > 0) {
            line += ',';
            if (++col > 76) {
                line += "\\\r\n  ";
                col = 2;
            }
        }
        std::snprintf(buf, sizeof buf, "%02x", value.data[i]);
        line += buf;
        col += 2;
    }
    *out += line + "\r\n";
}

}  // namespace

std::string RegistryStore::SaveRegText() const {
    std::lock_guard lock(mutex_);
    std::string out = std::string(kHeader5) + "\r\n\r\n";

    struct Walker {
        std::string* out;
        void Key(const Node& node, const std::string& name, bool always) const {
            if (always || !node.values.empty()) {
                *out += "[" + name + "]\r\n";
                for (const auto& v : node.values)
                    SaveValue(out, v.name, v.value);
                *out += "\r\n";
            }
            for (const auto& sub : node.subkeys)
                Key(*sub, name + "\\" + sub->name, true);
        }
    } walker{&out};

    const Node* registry = root_->Subkey("Registry");
    for (const auto& hive : registry->subkeys) {
        if (NamesEqual(hive->name, "Machine")) {
            walker.Key(*hive, "HKEY_LOCAL_MACHINE", false);
        } else if (NamesEqual(hive->name, "User")) {
            walker.Key(*hive, "HKEY_USERS", false);
        }
    }
    return out;
}

bool RegistryStore::SaveRegFile(const std::string& filename, std::string* error) const {
    const std::string text = SaveRegText();
    std::ofstream out(filename, std::ios::binary | std::ios::trunc);
    if (!out) {
        if (error) *error = filename + ": cannot open for writing: " + std::strerror(errno);
        return false;
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
        if (error) *error = filename + ": write failed";
        return false;
    }
    return true;
}

}  // namespace sim
