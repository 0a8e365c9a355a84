// The object namespace (device, driver and symbolic link names) and the
// reference counts that decide when an object's memory goes.
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/utf.h"

namespace sim {
namespace detail {
namespace {

struct NameEntry {
    std::u16string name;  // as created, in canonical form
    NameKind kind;
    void* object = nullptr;  // device or driver object
    std::u16string target;   // a link's target, as given
};

struct ObjectEntry {
    ObjectType type;
    LONG references;
    void (*destroy)(void*);
};

struct ObjectState {
    std::map<std::u16string, NameEntry> names;  // by folded name
    std::unordered_map<const void*, ObjectEntry> live;
    // Addresses of objects already destroyed, to tell a stale pointer from
    // one that never was an object.
    std::unordered_set<const void*> destroyed;
};

ObjectState& State() {
    static ObjectState* state = new ObjectState;
    return *state;
}

// The directories of the namespace; a name can only be made inside one.
constexpr std::u16string_view kDirectories[] = {
    u"\\Device",           u"\\??",          u"\\Driver", u"\\FileSystem", u"\\Callback", u"\\KernelObjects",
    u"\\BaseNamedObjects", u"\\ObjectTypes",
};

char16_t FoldChar(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

std::u16string Fold(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& c : folded)
        c = FoldChar(c);
    return folded;
}

bool StartsWithFolded(std::u16string_view text, std::u16string_view prefixUpper) {
    if (text.size() < prefixUpper.size()) return false;
    for (size_t i = 0; i < prefixUpper.size(); ++i)
        if (FoldChar(text[i]) != prefixUpper[i]) return false;
    return true;
}

bool IsDirectory(std::u16string_view name) {
    const std::u16string folded = Fold(name);
    if (folded == u"\\") return true;
    for (std::u16string_view dir : kDirectories)
        if (folded == Fold(dir)) return true;
    return false;
}

const char* KindName(NameKind kind) {
    switch (kind) {
    case NameKind::Device:
        return "device";
    case NameKind::Driver:
        return "driver";
    case NameKind::Link:
        return "symbolic link";
    }
    return "object";
}

}  // namespace

std::recursive_mutex& IoLock() {
    static std::recursive_mutex* lock = new std::recursive_mutex;
    return *lock;
}

std::u16string Widen(std::string_view text) {
    // UTF-8, as the registry reads it back; bytes that are not UTF-8 pass
    // through as Latin-1.
    if (auto wide = Utf8ToUtf16(text)) return *wide;
    std::u16string wide;
    wide.reserve(text.size());
    for (char c : text)
        wide.push_back(static_cast<unsigned char>(c));
    return wide;
}

std::string Narrow(std::u16string_view text) {
    if (auto narrow = Utf16ToUtf8(text)) return *narrow;
    std::string narrow;
    narrow.reserve(text.size());
    for (char16_t c : text)
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

std::u16string CanonicalName(std::u16string_view name) {
    static constexpr std::u16string_view kDosDevices = u"\\DOSDEVICES\\";
    static constexpr std::u16string_view kGlobal = u"\\GLOBAL??\\";
    static constexpr std::u16string_view kUserForm = u"\\\\.\\";
    for (std::u16string_view prefix : {kDosDevices, kGlobal, kUserForm}) {
        if (StartsWithFolded(name, prefix))
            return std::u16string(u"\\??\\") + std::u16string(name.substr(prefix.size()));
    }
    return std::u16string(name);
}

NTSTATUS CheckNewName(const std::u16string& name) {
    if (name.empty() || name[0] != u'\\' || name.back() == u'\\') return STATUS_OBJECT_NAME_INVALID;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == 0) return STATUS_OBJECT_NAME_INVALID;
        if (name[i] == u'\\' && i + 1 < name.size() && name[i + 1] == u'\\') return STATUS_OBJECT_NAME_INVALID;
    }
    const size_t slash = name.rfind(u'\\');
    const std::u16string parent = slash == 0 ? std::u16string(u"\\") : name.substr(0, slash);
    if (!IsDirectory(parent)) return STATUS_OBJECT_PATH_NOT_FOUND;
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    if (IsDirectory(name) || State().names.count(Fold(name)) != 0) return STATUS_OBJECT_NAME_COLLISION;
    return STATUS_SUCCESS;
}

NTSTATUS InsertName(const std::u16string& name, NameKind kind, void* object) {
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    const NTSTATUS status = CheckNewName(name);
    if (!NT_SUCCESS(status)) return status;
    NameEntry entry;
    entry.name = name;
    entry.kind = kind;
    entry.object = object;
    State().names.emplace(Fold(name), std::move(entry));
    return STATUS_SUCCESS;
}

void RemoveName(const std::u16string& name) {
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    State().names.erase(Fold(name));
}

PDEVICE_OBJECT ResolveDevice(const std::u16string& name, NTSTATUS* status) {
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    std::u16string current = CanonicalName(name);
    // Windows gives up on link chains this long, too.
    for (int hops = 0; hops < 32; ++hops) {
        const auto it = State().names.find(Fold(current));
        if (it == State().names.end()) {
            const size_t slash = current.rfind(u'\\');
            const bool inDirectory =
                slash != std::u16string::npos && IsDirectory(slash == 0 ? u"\\" : current.substr(0, slash));
            *status = inDirectory ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            return nullptr;
        }
        const NameEntry& entry = it->second;
        switch (entry.kind) {
        case NameKind::Device:
            *status = STATUS_SUCCESS;
            return static_cast<PDEVICE_OBJECT>(entry.object);
        case NameKind::Driver:
            *status = STATUS_OBJECT_TYPE_MISMATCH;
            return nullptr;
        case NameKind::Link:
            current = CanonicalName(entry.target);
            break;
        }
    }
    *status = STATUS_OBJECT_NAME_NOT_FOUND;
    return nullptr;
}

std::u16string FromUnicodeString(PCUNICODE_STRING string, const char* routine) {
    if (string == nullptr) BugCheck("InvalidUnicodeString", routine, nullptr, "the string pointer is NULL");
    if ((string->Length & 1) != 0 || string->Length > string->MaximumLength ||
        (string->Length != 0 && string->Buffer == nullptr)) {
        BugCheck("InvalidUnicodeString", routine, nullptr,
                 "malformed UNICODE_STRING: Length " + std::to_string(string->Length) + ", MaximumLength " +
                     std::to_string(string->MaximumLength) + ", Buffer " + Hex(string->Buffer));
    }
    return std::u16string(string->Buffer, string->Length / 2);
}

void ResetNamespace() {
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    State().names.clear();
}

// ---------------------------------------------------------------------------
// Lifetime

void ObInsert(void* object, ObjectType type, void (*destroy)(void*)) {
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    State().destroyed.erase(object);
    State().live[object] = ObjectEntry{type, 1, destroy};
}

void ObReference(void* object, const char* routine) {
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    const auto it = State().live.find(object);
    if (it == State().live.end())
        BugCheck("InvalidObjectReference", routine, nullptr,
                 Hex(object) + (State().destroyed.count(object) ? " was already freed" : " is not an object"));
    ++it->second.references;
}

LONG ObDereference(void* object, const char* routine) {
    void (*destroy)(void*) = nullptr;
    LONG left;
    {
        std::lock_guard<std::recursive_mutex> lock(IoLock());
        const auto it = State().live.find(object);
        if (it == State().live.end()) {
            if (State().destroyed.count(object) != 0)
                BugCheck("REFERENCE_BY_POINTER", routine, nullptr,
                         "object " + Hex(object) +
                             " has no reference left to drop: its count would go below zero (it was freed)");
            BugCheck("InvalidObjectReference", routine, nullptr, Hex(object) + " is not an object");
        }
        left = --it->second.references;
        if (left == 0) {
            destroy = it->second.destroy;
            State().live.erase(it);
            State().destroyed.insert(object);
        }
    }
    if (destroy != nullptr) destroy(object);
    return left;
}

bool ObIsLive(const void* object, ObjectType type) {
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    const auto it = State().live.find(object);
    return it != State().live.end() && it->second.type == type;
}

LONG ObReferences(const void* object) {
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    const auto it = State().live.find(object);
    return it == State().live.end() ? 0 : it->second.references;
}

void ResetObjects() {
    std::vector<std::pair<void*, void (*)(void*)>> doomed;
    {
        std::lock_guard<std::recursive_mutex> lock(IoLock());
        for (const auto& [object, entry] : State().live)
            doomed.emplace_back(const_cast<void*>(object), entry.destroy);
        State().live.clear();
        State().destroyed.clear();
    }
    for (const auto& [object, destroy] : doomed)
        if (destroy != nullptr) destroy(object);
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Lookups for tests

using detail::IoLock;

PDEVICE_OBJECT FindDevice(const std::u16string& name) {
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    const auto it = detail::State().names.find(detail::Fold(detail::CanonicalName(name)));
    if (it == detail::State().names.end() || it->second.kind != detail::NameKind::Device) return nullptr;
    return static_cast<PDEVICE_OBJECT>(it->second.object);
}

PDEVICE_OBJECT FindDevice(const std::string& name) { return FindDevice(detail::Widen(name)); }

std::optional<std::string> SymbolicLinkTarget(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    const auto it = detail::State().names.find(detail::Fold(detail::CanonicalName(detail::Widen(name))));
    if (it == detail::State().names.end() || it->second.kind != detail::NameKind::Link) return std::nullopt;
    return detail::Narrow(it->second.target);
}

std::vector<std::string> NamespaceListing() {
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    std::vector<std::string> lines;
    for (const auto& [folded, entry] : detail::State().names) {
        std::string line = detail::Narrow(entry.name) + " -> ";
        line += entry.kind == detail::NameKind::Link
                    ? detail::Narrow(entry.target)
                    : std::string(detail::KindName(entry.kind)) + " " + detail::Hex(entry.object);
        lines.push_back(std::move(line));
    }
    return lines;
}

LONG ObjectReferences(const void* object) { return detail::ObReferences(object); }

}  // namespace sim

using namespace sim;
using namespace sim::detail;

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    RequirePassive("IoCreateSymbolicLink");
    const std::u16string link = CanonicalName(FromUnicodeString(SymbolicLinkName, "IoCreateSymbolicLink"));
    const std::u16string target = FromUnicodeString(DeviceName, "IoCreateSymbolicLink");
    if (ShouldFail("IoCreateSymbolicLink")) return STATUS_INSUFFICIENT_RESOURCES;
    if (target.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    const NTSTATUS status = InsertName(link, NameKind::Link, nullptr);
    if (!NT_SUCCESS(status)) return status;
    State().names[Fold(link)].target = target;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    RequirePassive("IoDeleteSymbolicLink");
    const std::u16string link = CanonicalName(FromUnicodeString(SymbolicLinkName, "IoDeleteSymbolicLink"));
    std::lock_guard<std::recursive_mutex> lock(IoLock());
    const auto it = State().names.find(Fold(link));
    if (it == State().names.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (it->second.kind != NameKind::Link) return STATUS_OBJECT_TYPE_MISMATCH;
    State().names.erase(it);
    return STATUS_SUCCESS;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object) {
    RequireAtMostDispatch("ObfDereferenceObject");
    if (Object == nullptr) BugCheck("InvalidObjectReference", "ObfDereferenceObject", nullptr, "NULL object");
    return ObDereference(Object, "ObfDereferenceObject");
}
