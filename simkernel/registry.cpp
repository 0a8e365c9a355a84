// The kernel's registry routines over the simulated registry store. Paths
// and names arrive as UTF-16 and are kept as UTF-8 by the store.
//
// RtlQueryRegistryValues follows the platform's documented rules for query
// tables, including the ones drivers get wrong. Where the platform would
// write through EntryContext without knowing what it points to, this kernel
// refuses rather than write past the caller's variable:
//  - An entry that declares what it holds, by its type check (the type in
//    the top byte of DefaultType with RTL_QUERY_REGISTRY_TYPECHECK) or else by
//    its DefaultType, only receives data of that kind: a text for a counted
//    string, a number or bytes for anything else. Another kind fails with
//    STATUS_OBJECT_TYPE_MISMATCH.
//  - Non-text data of more than 4 bytes follows the buffer's first LONG, as
//    on the platform: negated, it is the buffer's size and the data alone is
//    stored; otherwise it is taken as the size of a buffer that receives the
//    data's length, its type and then the data. Whatever the entry is
//    declared to hold: a REG_DWORD value of 8 bytes read into a 4-byte
//    variable that happens to hold 16 or more writes 16 bytes, past the
//    variable, just as the platform does. A size too small for the data
//    fails with STATUS_BUFFER_TOO_SMALL.
//  - REG_EXPAND_SZ is handed on as REG_SZ, unexpanded: the simulated kernel
//    has no environment to expand it from.
//  - RTL_REGISTRY_OPTIONAL is accepted and changes nothing: a missing key
//    still fails the query, as it does on the platform.
#include "simkernel/registry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/ntio.h"
#include "platform/ntrtl.h"
#include "simkernel/core.h"
#include "simkernel/frames.h"
#include "simkernel/utf.h"

namespace sim {
namespace {

// The tag of string buffers the run-time library allocates for its caller;
// it reads "Strg" in memory. Such a buffer is freed with RtlFreeUnicodeString.
constexpr uint32_t kStringTag = 0x67727453;

// ---------------------------------------------------------------------------
// Text

std::optional<std::string> ToUtf8(std::u16string_view text) { return Utf16ToUtf8(text); }

// Names in the store are valid UTF-8, so this need not reject anything.
std::u16string ToUtf16(std::string_view text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        uint32_t c;
        size_t extra;
        if (b < 0x80) {
            c = b;
            extra = 0;
        } else if (b < 0xE0) {
            c = b & 0x1F;
            extra = 1;
        } else if (b < 0xF0) {
            c = b & 0x0F;
            extra = 2;
        } else {
            c = b & 0x07;
            extra = 3;
        }
        ++i;
        for (size_t k = 0; k < extra && i < text.size(); ++k, ++i)
            c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

size_t WideLength(PCWSTR s) {
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

bool IsText(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// A kernel key path: "\Registry\..." without empty components.
bool ValidKeyPath(std::string_view path) {
    if (path.size() < 2 || path[0] != '\\' || path.back() == '\\') return false;
    if (path.find("\\\\") != std::string_view::npos) return false;
    constexpr std::string_view kRoot = "\\registry";
    if (path.size() < kRoot.size()) return false;
    for (size_t i = 0; i < kRoot.size(); ++i) {
        const char c = path[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != kRoot[i]) return false;
    }
    return path.size() == kRoot.size() || path[kRoot.size()] == '\\';
}

std::string ParentPath(const std::string& path) { return path.substr(0, path.rfind('\\')); }

// ---------------------------------------------------------------------------
// Key handles

struct OpenKey {
    uint64_t serial;
    std::string path;
};

struct HandleTable {
    std::mutex mutex;
    std::map<uintptr_t, OpenKey> keys;
    uint64_t next = 1;
};

HandleTable& Handles() {
    static HandleTable table;
    return table;
}

std::optional<std::string> HandlePath(HANDLE handle) {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto it = table.keys.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.keys.end()) return std::nullopt;
    return it->second.path;
}

[[noreturn]] void BadHandle(const char* routine, HANDLE handle) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    BugCheck("INVALID_KERNEL_HANDLE", routine, nullptr, std::string("handle ") + text + " is not an open key handle");
}

void ResetRegistry() {
    Registry().Clear();
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.keys.clear();
    table.next = 1;
}

[[maybe_unused]] const bool g_resetRegistered = (RegisterResetHook(&ResetRegistry), true);

// ---------------------------------------------------------------------------
// RtlXxxRegistry paths

NTSTATUS ResolvePath(ULONG relativeTo, PCWSTR path, std::string* out) {
    std::optional<std::string> relative;
    if (path != nullptr) {
        relative = ToUtf8(std::u16string_view(path, WideLength(path)));
        if (!relative) return STATUS_OBJECT_NAME_INVALID;
    }
    switch (relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL)) {
    case RTL_REGISTRY_ABSOLUTE:
        if (!relative) return STATUS_OBJECT_NAME_INVALID;
        *out = *relative;
        break;
    case RTL_REGISTRY_SERVICES:
    case RTL_REGISTRY_CONTROL:
        *out = (relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL)) == RTL_REGISTRY_SERVICES ? kServicesRoot
                                                                                                  : kControlRoot;
        if (relative && !relative->empty()) {
            if ((*relative)[0] != '\\') *out += '\\';
            *out += *relative;
        }
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    return ValidKeyPath(*out) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

// ---------------------------------------------------------------------------
// Query tables

class Query {
public:
    Query(std::string top, PVOID context) : top_(std::move(top)), current_(top_), context_(context) {}

    NTSTATUS Run(PRTL_QUERY_REGISTRY_TABLE entry) {
        // The table ends at the first entry with neither a routine nor a
        // direct or subkey flag: a zeroed entry.
        for (; entry->QueryRoutine != nullptr ||
               (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT)) != 0;
             ++entry) {
            const NTSTATUS status = RunEntry(entry);
            if (!NT_SUCCESS(status)) return status;
        }
        return STATUS_SUCCESS;
    }

private:
    NTSTATUS RunEntry(PRTL_QUERY_REGISTRY_TABLE entry) {
        const ULONG flags = entry->Flags;
        const bool direct = (flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        if (direct &&
            (entry->Name == nullptr || entry->EntryContext == nullptr || (flags & RTL_QUERY_REGISTRY_SUBKEY) != 0))
            return STATUS_INVALID_PARAMETER;

        if ((flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) != 0) current_ = top_;
        if ((flags & RTL_QUERY_REGISTRY_SUBKEY) != 0) {
            if (entry->Name == nullptr) return STATUS_INVALID_PARAMETER;
            const auto name = ToUtf8(std::u16string_view(entry->Name, WideLength(entry->Name)));
            if (!name) return STATUS_OBJECT_NAME_INVALID;
            const std::string path = top_ + "\\" + *name;
            // A missing subkey without REQUIRED reads as an empty key.
            if (ValidKeyPath(path) && Registry().KeyExists(path)) {
                current_ = path;
            } else if ((flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            } else {
                current_.reset();
            }
            return entry->QueryRoutine != nullptr ? EnumerateValues(entry) : STATUS_SUCCESS;
        }

        if ((flags & RTL_QUERY_REGISTRY_NOVALUE) != 0) {
            if (entry->QueryRoutine == nullptr) return STATUS_INVALID_PARAMETER;
            return entry->QueryRoutine(entry->Name, REG_NONE, nullptr, 0, context_, entry->EntryContext);
        }
        if (entry->Name == nullptr) return EnumerateValues(entry);
        return QueryNamed(entry);
    }

    NTSTATUS QueryNamed(PRTL_QUERY_REGISTRY_TABLE entry) {
        const ULONG flags = entry->Flags;
        const auto name = ToUtf8(std::u16string_view(entry->Name, WideLength(entry->Name)));
        if (!name) return STATUS_OBJECT_NAME_INVALID;
        std::optional<RegValue> value;
        if (current_) value = Registry().GetValue(*current_, *name);

        if (value) {
            if ((flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0 && (flags & RTL_QUERY_REGISTRY_DIRECT) != 0 &&
                value->type != (entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT))
                return STATUS_OBJECT_TYPE_MISMATCH;
            const NTSTATUS status = Deliver(entry, entry->Name, value->type, value->data.data(), value->data.size());
            if (NT_SUCCESS(status) && (flags & RTL_QUERY_REGISTRY_DELETE) != 0)
                Registry().DeleteValue(*current_, *name);
            return status;
        }
        if ((flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
        const ULONG defaultType = DefaultType(entry);
        if (defaultType == REG_NONE) return STATUS_SUCCESS;
        return DeliverDefault(entry, defaultType);
    }

    // Every value of the current key through the entry's routine.
    NTSTATUS EnumerateValues(PRTL_QUERY_REGISTRY_TABLE entry) {
        if (entry->QueryRoutine == nullptr) return STATUS_INVALID_PARAMETER;
        const std::vector<std::string> names = current_ ? Registry().ValueNames(*current_) : std::vector<std::string>{};
        if (names.empty() && (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
        for (const std::string& name : names) {
            const std::optional<RegValue> value = Registry().GetValue(*current_, name);
            if (!value) continue;  // deleted meanwhile by another thread
            std::u16string wideName = ToUtf16(name);
            const NTSTATUS status =
                Deliver(entry, wideName.data(), value->type, value->data.data(), value->data.size());
            if (!NT_SUCCESS(status)) return status;
            if ((entry->Flags & RTL_QUERY_REGISTRY_DELETE) != 0) Registry().DeleteValue(*current_, name);
        }
        return STATUS_SUCCESS;
    }

    static ULONG DefaultType(PRTL_QUERY_REGISTRY_TABLE entry) {
        if ((entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0)
            return entry->DefaultType & ((1u << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) - 1);
        return entry->DefaultType;
    }

    // What the entry's EntryContext is declared to hold, REG_NONE if unknown.
    static ULONG DeclaredType(PRTL_QUERY_REGISTRY_TABLE entry) {
        if ((entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0) {
            const ULONG checked = entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
            if (checked != REG_NONE) return checked;
        }
        return DefaultType(entry);
    }

    NTSTATUS DeliverDefault(PRTL_QUERY_REGISTRY_TABLE entry, ULONG type) {
        const auto* data = static_cast<const uint8_t*>(entry->DefaultData);
        size_t length = entry->DefaultLength;
        // A text default may leave its length to be measured.
        if (length == 0 && data != nullptr && IsText(type)) {
            const auto* units = static_cast<PCWSTR>(entry->DefaultData);
            size_t n = 0;
            if (type == REG_MULTI_SZ) {
                while (units[n] != 0)
                    n += WideLength(units + n) + 1;
            } else {
                n = WideLength(units);
            }
            length = (n + 1) * sizeof(WCHAR);
        }
        if (data == nullptr && length != 0) return STATUS_INVALID_PARAMETER;
        return Deliver(entry, entry->Name, type, data, length);
    }

    // A multi-string goes out one text at a time unless NOEXPAND is set.
    NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, PWSTR name, ULONG type, const uint8_t* data, size_t length) {
        const bool expand = (entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0;
        if (type == REG_EXPAND_SZ && expand) type = REG_SZ;
        if (type != REG_MULTI_SZ || !expand) return DeliverOne(entry, name, type, data, length);

        std::u16string units(length / sizeof(WCHAR), u'\0');
        if (!units.empty()) std::memcpy(units.data(), data, units.size() * sizeof(WCHAR));
        for (size_t start = 0; start < units.size();) {
            const size_t end = std::min(units.find(u'\0', start), units.size());
            if (end == start) break;  // the empty text that ends the list
            std::u16string item = units.substr(start, end - start);
            item += u'\0';
            const NTSTATUS status = DeliverOne(entry, name, REG_SZ, reinterpret_cast<const uint8_t*>(item.data()),
                                               item.size() * sizeof(WCHAR));
            if (!NT_SUCCESS(status)) return status;
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS DeliverOne(PRTL_QUERY_REGISTRY_TABLE entry, PWSTR name, ULONG type, const uint8_t* data, size_t length) {
        if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0) return StoreDirect(entry, type, data, length);
        // The routine gets its own copy: it may write to the data.
        std::vector<uint8_t> copy(data, data + length);
        return entry->QueryRoutine(name, type, copy.empty() ? nullptr : copy.data(), static_cast<ULONG>(length),
                                   context_, entry->EntryContext);
    }

    static NTSTATUS StoreDirect(PRTL_QUERY_REGISTRY_TABLE entry, ULONG type, const uint8_t* data, size_t length) {
        const ULONG declared = DeclaredType(entry);
        if (declared != REG_NONE && IsText(declared) != IsText(type)) return STATUS_OBJECT_TYPE_MISMATCH;
        if (IsText(type)) return StoreText(static_cast<PUNICODE_STRING>(entry->EntryContext), type, data, length);

        if (length <= sizeof(ULONG)) {
            if (length != 0) std::memcpy(entry->EntryContext, data, length);
            return STATUS_SUCCESS;
        }
        LONG head;
        std::memcpy(&head, entry->EntryContext, sizeof head);
        if (head < 0) {
            const unsigned long long capacity = -static_cast<long long>(head);
            if (length > capacity) return STATUS_BUFFER_TOO_SMALL;
            std::memcpy(entry->EntryContext, data, length);
            return STATUS_SUCCESS;
        }
        const ULONG header[2] = {static_cast<ULONG>(length), type};
        if (length + sizeof header > static_cast<unsigned long long>(head)) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(entry->EntryContext, header, sizeof header);
        std::memcpy(static_cast<uint8_t*>(entry->EntryContext) + sizeof header, data, length);
        return STATUS_SUCCESS;
    }

    // Into the caller's counted string, with a NUL after the text. A string
    // without a buffer gets one from pool.
    static NTSTATUS StoreText(PUNICODE_STRING destination, ULONG type, const uint8_t* data, size_t length) {
        std::u16string units(length / sizeof(WCHAR), u'\0');
        if (!units.empty()) std::memcpy(units.data(), data, units.size() * sizeof(WCHAR));
        if (type == REG_MULTI_SZ) {
            if (!units.empty() && units.back() == u'\0') units.pop_back();
        } else {
            units.resize(std::min(units.find(u'\0'), units.size()));
        }
        const size_t needed = (units.size() + 1) * sizeof(WCHAR);
        if (needed > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
        if (destination->Buffer == nullptr) {
            destination->Buffer = static_cast<PWSTR>(PoolAllocate(needed, kStringTag));
            destination->MaximumLength = static_cast<USHORT>(needed);
        } else if (needed > destination->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (!units.empty()) std::memcpy(destination->Buffer, units.data(), units.size() * sizeof(WCHAR));
        destination->Buffer[units.size()] = 0;
        destination->Length = static_cast<USHORT>(units.size() * sizeof(WCHAR));
        return STATUS_SUCCESS;
    }

    const std::string top_;
    std::optional<std::string> current_;  // empty: a subkey that does not exist
    PVOID context_;
};

}  // namespace

RegistryStore& Registry() {
    static RegistryStore store;
    return store;
}

std::vector<std::string> OpenKeyHandles() {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    std::map<uint64_t, std::string> ordered;
    for (const auto& entry : table.keys)
        ordered[entry.second.serial] = entry.second.path;
    std::vector<std::string> paths;
    for (auto& entry : ordered)
        paths.push_back(std::move(entry.second));
    return paths;
}

}  // namespace sim

// Creates one key level: the parent must exist already.
extern "C" NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    (void)DesiredAccess;
    (void)TitleIndex;
    (void)Class;
    (void)CreateOptions;
    static constexpr const char* kRoutine = "ZwCreateKey";
    sim::RequirePassive(kRoutine);
    sim::RequireOutsideCompletion(kRoutine);
    if (sim::ShouldFail(kRoutine)) return STATUS_INSUFFICIENT_RESOURCES;
    if (KeyHandle == nullptr || ObjectAttributes == nullptr || ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;

    std::string name;
    if (const PUNICODE_STRING objectName = ObjectAttributes->ObjectName;
        objectName != nullptr && objectName->Length != 0) {
        if (objectName->Length % sizeof(WCHAR) != 0 || objectName->Buffer == nullptr) return STATUS_OBJECT_NAME_INVALID;
        const auto utf8 = sim::ToUtf8(std::u16string_view(objectName->Buffer, objectName->Length / sizeof(WCHAR)));
        if (!utf8) return STATUS_OBJECT_NAME_INVALID;
        name = *utf8;
    }

    std::string path;
    if (ObjectAttributes->RootDirectory != nullptr) {
        const auto root = sim::HandlePath(ObjectAttributes->RootDirectory);
        if (!root) sim::BadHandle(kRoutine, ObjectAttributes->RootDirectory);
        if (!name.empty() && name[0] == '\\') return STATUS_OBJECT_NAME_INVALID;
        path = name.empty() ? *root : *root + "\\" + name;
    } else {
        path = name;
    }
    if (!sim::ValidKeyPath(path)) return STATUS_OBJECT_NAME_INVALID;

    sim::RegistryStore& registry = sim::Registry();
    const std::string parent = sim::ParentPath(path);
    if (!parent.empty() && !registry.KeyExists(parent)) return STATUS_OBJECT_NAME_NOT_FOUND;
    bool created = false;
    if (!registry.CreateKey(path, &created)) return STATUS_OBJECT_NAME_INVALID;

    sim::HandleTable& table = sim::Handles();
    uintptr_t handle;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        const uint64_t serial = table.next++;
        // Kernel handles have the top bit set, as on the platform.
        handle = static_cast<uintptr_t>(serial * 4);
        if ((ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0) handle |= 0xFFFFFFFF80000000ull;
        table.keys[handle] = sim::OpenKey{serial, path};
    }
    *KeyHandle = reinterpret_cast<HANDLE>(handle);
    if (Disposition != nullptr) *Disposition = created ? 1 /*REG_CREATED_NEW_KEY*/ : 2 /*REG_OPENED_EXISTING_KEY*/;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwClose(HANDLE Handle) {
    sim::RequirePassive("ZwClose");
    sim::HandleTable& table = sim::Handles();
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        if (table.keys.erase(reinterpret_cast<uintptr_t>(Handle)) == 1) return STATUS_SUCCESS;
    }
    sim::BadHandle("ZwClose", Handle);
}

extern "C" NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                           PVOID Context, PVOID Environment) {
    (void)Environment;
    static constexpr const char* kRoutine = "RtlQueryRegistryValues";
    sim::RequirePassive(kRoutine);
    sim::RequireOutsideCompletion(kRoutine);
    if (sim::ShouldFail(kRoutine)) return STATUS_INSUFFICIENT_RESOURCES;
    if (QueryTable == nullptr) return STATUS_INVALID_PARAMETER;
    std::string key;
    if (const NTSTATUS status = sim::ResolvePath(RelativeTo, Path, &key); !NT_SUCCESS(status)) return status;
    if (!sim::Registry().KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
    sim::Query query(key, Context);
    return query.Run(QueryTable);
}

// The key must exist: this routine writes values, it does not create keys.
extern "C" NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                          PVOID ValueData, ULONG ValueLength) {
    static constexpr const char* kRoutine = "RtlWriteRegistryValue";
    sim::RequirePassive(kRoutine);
    sim::RequireOutsideCompletion(kRoutine);
    if (sim::ShouldFail(kRoutine)) return STATUS_INSUFFICIENT_RESOURCES;
    std::string key;
    if (const NTSTATUS status = sim::ResolvePath(RelativeTo, Path, &key); !NT_SUCCESS(status)) return status;
    if (ValueData == nullptr && ValueLength != 0) return STATUS_INVALID_PARAMETER;
    std::string name;
    if (ValueName != nullptr) {
        const auto utf8 = sim::ToUtf8(std::u16string_view(ValueName, sim::WideLength(ValueName)));
        if (!utf8) return STATUS_OBJECT_NAME_INVALID;
        name = *utf8;
    }
    sim::RegistryStore& registry = sim::Registry();
    if (!registry.KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
    const auto* bytes = static_cast<const uint8_t*>(ValueData);
    if (!registry.SetValue(key, name, ValueType, std::vector<uint8_t>(bytes, bytes + ValueLength)))
        return registry.KeyExists(key) ? STATUS_OBJECT_NAME_INVALID : STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}
