// Registry of the simulated kernel: a key tree with typed values, addressed by
// kernel paths (\Registry\Machine\...), plus loading and saving of regedit
// ".reg" text so a configuration can be prepared by hand.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;
constexpr uint32_t kRegQword = 11;

// A value as Windows stores it: the type and the raw bytes (strings are
// UTF-16LE including the terminating NUL, numbers little-endian).
struct RegValue {
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;

    bool operator==(const RegValue&) const = default;
};

// Why a .reg file was refused. line is 1-based; 0 when the failure is not
// tied to a line (e.g. the file could not be read).
struct RegLoadError {
    std::string file;
    int line = 0;
    std::string reason;

    // "file:line: reason" ("file: reason" when line is 0).
    std::string Message() const;
};

// Thread-safe key/value tree. Paths start with a backslash and have no empty
// component ("\Registry\Machine\System"); names compare case-insensitively
// (ASCII) and keep the case they were created with; keys nest at most 512
// names deep, \Registry included. Names must be valid UTF-8
// without NUL, CR or LF. \Registry, \Registry\Machine and \Registry\User always
// exist and cannot be deleted.
class RegistryStore {
public:
    RegistryStore();
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    bool KeyExists(std::string_view path) const;
    // Creates the key and any missing parents. *created tells whether the key
    // itself was new. False for an invalid path.
    bool CreateKey(std::string_view path, bool* created = nullptr);
    // Deletes the key with all its subkeys and values.
    bool DeleteKey(std::string_view path);

    // The key must exist. Replacing a value keeps its name case and position.
    bool SetValue(std::string_view keyPath, std::string_view name, uint32_t type, std::vector<uint8_t> data);
    std::optional<RegValue> GetValue(std::string_view keyPath, std::string_view name) const;
    bool DeleteValue(std::string_view keyPath, std::string_view name);

    // In creation order; empty when the key does not exist.
    std::vector<std::string> ValueNames(std::string_view path) const;
    std::vector<std::string> SubkeyNames(std::string_view path) const;

    // Back to the empty tree (only the fixed roots remain).
    void Clear();

    bool SetDword(std::string_view keyPath, std::string_view name, uint32_t value);
    // type is kRegSz or kRegExpandSz. The UTF-8 form fails on invalid UTF-8.
    bool SetString(std::string_view keyPath, std::string_view name, std::u16string_view value, uint32_t type = kRegSz);
    bool SetString(std::string_view keyPath, std::string_view name, std::string_view utf8Value, uint32_t type = kRegSz);
    // Items must be non-empty valid UTF-8.
    bool SetMultiString(std::string_view keyPath, std::string_view name, const std::vector<std::string>& items);

    // Only a REG_DWORD of exactly 4 bytes.
    std::optional<uint32_t> GetDword(std::string_view keyPath, std::string_view name) const;
    // REG_SZ or REG_EXPAND_SZ as UTF-8, up to the first NUL.
    std::optional<std::string> GetString(std::string_view keyPath, std::string_view name) const;
    // REG_MULTI_SZ as UTF-8 items.
    std::optional<std::vector<std::string>> GetMultiString(std::string_view keyPath, std::string_view name) const;

    // Loads .reg text (UTF-8 with or without BOM, or UTF-16LE with BOM). The
    // whole text is checked first; on any error nothing is applied and *error
    // (if given) says where and why. A valid file is applied in file order, as
    // one step with respect to other threads.
    bool LoadRegText(std::string_view text, const std::string& nameForErrors, RegLoadError* error);
    bool LoadRegFile(const std::string& filename, RegLoadError* error);

    // The keys under \Registry\Machine and \Registry\User as version 5.00 .reg
    // text (UTF-8, CRLF). Keys elsewhere have no .reg root and are left out.
    std::string SaveRegText() const;
    bool SaveRegFile(const std::string& filename, std::string* error) const;

private:
    struct Node;

    Node* FindLocked(std::string_view path) const;
    Node* CreateLocked(std::string_view path, bool* created);
    bool DeleteKeyLocked(std::string_view path);
    bool SetValueLocked(std::string_view keyPath, std::string_view name, uint32_t type, std::vector<uint8_t> data);
    bool DeleteValueLocked(std::string_view keyPath, std::string_view name);
    void ResetLocked();

    mutable std::mutex mutex_;
    std::unique_ptr<Node> root_;
};

}  // namespace sim
