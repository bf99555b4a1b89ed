// The emulated registry: a tree of keys under \Registry, the key handles of ZwOpenKey, the key
// services with the kernel's buffer rules, and the control API of kemu/registry.h.
#include "emu/ddk/registry.h"
#include "emu/internal/core.h"
#include "emu/kemu/core.h"
#include "emu/kemu/registry.h"
#include "emu/config/internal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace kemu::registry {
namespace {

struct Value {
    std::u16string name;
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name; // as created
    // Ordered by the upper-cased name, compared as unsigned 16-bit units: the kernel's order.
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;
    std::vector<Value> values; // in the order they were first set
    int64_t lastWriteTime = 0;
    bool deleted = false;

    Value *FindValue(std::u16string_view valueName)
    {
        for (auto &v : values) {
            if (EqualNoCase(v.name, valueName)) return &v;
        }
        return nullptr;
    }
    std::shared_ptr<Key> FindSubkey(std::u16string_view subkeyName) const
    {
        auto it = subkeys.find(Upcased(subkeyName));
        return it == subkeys.end() ? nullptr : it->second;
    }
};

struct OpenHandle {
    std::shared_ptr<Key> key;
    ACCESS_MASK granted = 0;
};

// 100-ns units since 1601, as the kernel keeps its times.
int64_t SystemTimeNow()
{
    using namespace std::chrono;
    const int64_t kEpochDelta = 116444736000000000LL; // 1601-01-01 to 1970-01-01
    return kEpochDelta + duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
}

std::shared_ptr<Key> NewKey(std::u16string name)
{
    auto key = std::make_shared<Key>();
    key->name = std::move(name);
    key->lastWriteTime = SystemTimeNow();
    return key;
}

void MarkDeleted(Key &key)
{
    key.deleted = true;
    for (auto &entry : key.subkeys) MarkDeleted(*entry.second);
}

class Store {
public:
    Store() { Rebuild(); }

    std::mutex mutex;
    std::shared_ptr<Key> root;
    std::map<uintptr_t, OpenHandle> handles;
    // Handle values are never reused, so a stale handle is always caught.
    uintptr_t nextHandle = 0x1004;

    void Rebuild()
    {
        if (root) MarkDeleted(*root);
        root = NewKey(u"REGISTRY");
        AddSubkey(*root, u"MACHINE");
        AddSubkey(*root, u"USER");
    }

    static std::shared_ptr<Key> AddSubkey(Key &parent, std::u16string name)
    {
        auto key = NewKey(name);
        parent.subkeys.emplace(Upcased(name), key);
        parent.lastWriteTime = key->lastWriteTime;
        return key;
    }

    std::shared_ptr<Key> Find(const KeyPath &path) const
    {
        std::shared_ptr<Key> key = root;
        for (const auto &component : path) {
            key = key->FindSubkey(component);
            if (!key) return nullptr;
        }
        return key;
    }

    // Returns the key and whether it was created.
    std::pair<std::shared_ptr<Key>, bool> Create(const KeyPath &path)
    {
        std::shared_ptr<Key> key = root;
        bool created = false;
        for (const auto &component : path) {
            auto next = key->FindSubkey(component);
            if (!next) {
                next = AddSubkey(*key, component);
                created = true;
            }
            key = next;
        }
        return {key, created};
    }

    bool Delete(const KeyPath &path)
    {
        if (path.size() < 2) return false; // \Registry and its two roots stay
        KeyPath parentPath(path.begin(), path.end() - 1);
        auto parent = Find(parentPath);
        if (!parent) return false;
        auto it = parent->subkeys.find(Upcased(path.back()));
        if (it == parent->subkeys.end()) return false;
        MarkDeleted(*it->second);
        parent->subkeys.erase(it);
        parent->lastWriteTime = SystemTimeNow();
        return true;
    }

    void SetValue(Key &key, const std::u16string &name, uint32_t type, std::vector<uint8_t> data)
    {
        Value *value = key.FindValue(name);
        if (!value) {
            key.values.push_back(Value{name, type, {}});
            value = &key.values.back();
        }
        value->type = type;
        value->data = std::move(data);
        key.lastWriteTime = SystemTimeNow();
    }

    bool DeleteValue(Key &key, std::u16string_view name)
    {
        for (auto it = key.values.begin(); it != key.values.end(); ++it) {
            if (EqualNoCase(it->name, name)) {
                key.values.erase(it);
                key.lastWriteTime = SystemTimeNow();
                return true;
            }
        }
        return false;
    }
};

// Never destroyed: drivers and tests may still close handles while the process exits.
Store &TheStore()
{
    static Store *store = new Store;
    return *store;
}

std::string Hex(uintptr_t v)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

// Registry services are pageable kernel code: callable at PASSIVE_LEVEL only.
bool AtPassiveLevel(const char *service)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql == PASSIVE_LEVEL) return true;
    ReportViolation("registry access above PASSIVE_LEVEL",
                    std::string(service) + " called at IRQL " + std::to_string(irql));
    return false;
}

// A status for the refused call; which one matters little since the caller has broken a rule.
constexpr NTSTATUS kRefused = STATUS_UNSUCCESSFUL;

ACCESS_MASK MapGenericAccess(ACCESS_MASK desired)
{
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ) granted |= KEY_READ;
    if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE) granted |= KEY_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
    return granted;
}

// Splits a relative path at its backslashes. A trailing backslash is ignored; an empty component
// elsewhere makes the name invalid.
bool SplitPath(std::u16string_view path, KeyPath &out)
{
    out.clear();
    if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    if (path.empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        std::u16string_view component = path.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (component.empty()) return false;
        out.emplace_back(component);
        if (end == std::u16string_view::npos) return true;
        start = end + 1;
    }
}

// Looks up a handle for one of the key services; reports a handle that is not an open key handle.
OpenHandle *LookUpHandle(Store &store, HANDLE handle, const char *service)
{
    auto it = store.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it != store.handles.end()) return &it->second;
    ReportViolation("invalid handle", std::string(service) + "(" + Hex(reinterpret_cast<uintptr_t>(handle)) +
                                          "): not an open registry key handle");
    return nullptr;
}

// Writes a record made of a fixed part and a variable part with the kernel's rules: too small for
// the fixed part, nothing is written; room for the fixed part, it and what fits of the rest are.
NTSTATUS WriteRecord(const std::vector<uint8_t> &fixed, const std::vector<uint8_t> &rest, PVOID buffer,
                     ULONG length, PULONG resultLength)
{
    const size_t required = fixed.size() + rest.size();
    *resultLength = static_cast<ULONG>(required);
    if (length < fixed.size()) return STATUS_BUFFER_TOO_SMALL;
    auto *out = static_cast<uint8_t *>(buffer);
    std::memcpy(out, fixed.data(), fixed.size());
    const size_t room = length - fixed.size();
    const size_t copied = rest.size() < room ? rest.size() : room;
    if (copied) std::memcpy(out + fixed.size(), rest.data(), copied);
    return copied < rest.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

void Put32(std::vector<uint8_t> &v, uint32_t x)
{
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}
void Put64(std::vector<uint8_t> &v, int64_t x)
{
    Put32(v, uint32_t(uint64_t(x)));
    Put32(v, uint32_t(uint64_t(x) >> 32));
}
std::vector<uint8_t> NameBytes(const std::u16string &name)
{
    std::vector<uint8_t> v;
    v.reserve(name.size() * 2);
    for (char16_t c : name) {
        v.push_back(uint8_t(c));
        v.push_back(uint8_t(c >> 8));
    }
    return v;
}

bool CheckArguments(bool ok, const char *service, const char *what)
{
    if (!ok) ReportViolation("invalid registry call argument", std::string(service) + ": " + what);
    return ok;
}

} // namespace

void ApplyChanges(const std::vector<Change> &changes)
{
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    for (const auto &change : changes) {
        switch (change.kind) {
        case Change::Kind::CreateKey:
            store.Create(change.key);
            break;
        case Change::Kind::DeleteKey:
            store.Delete(change.key);
            break;
        case Change::Kind::SetValue:
            store.SetValue(*store.Create(change.key).first, change.valueName, change.type, change.data);
            break;
        case Change::Kind::DeleteValue:
            if (auto key = store.Find(change.key)) store.DeleteValue(*key, change.valueName);
            break;
        }
    }
}

} // namespace kemu::registry

using namespace kemu::registry;

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    if (!AtPassiveLevel("ZwOpenKey")) return kRefused;
    if (!CheckArguments(KeyHandle && ObjectAttributes, "ZwOpenKey", "null KeyHandle or ObjectAttributes")) {
        return STATUS_INVALID_PARAMETER;
    }
    *KeyHandle = nullptr;
    if (ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
    const UNICODE_STRING *name = ObjectAttributes->ObjectName;
    if (!CheckArguments(!name || name->Length == 0 || name->Buffer, "ZwOpenKey", "ObjectName without a buffer")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (name && (name->Length & 1)) return STATUS_OBJECT_NAME_INVALID;
    std::u16string_view path;
    if (name && name->Length) path = std::u16string_view(reinterpret_cast<const char16_t *>(name->Buffer), name->Length / 2);

    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    std::shared_ptr<Key> key;
    if (ObjectAttributes->RootDirectory) {
        OpenHandle *root = LookUpHandle(store, ObjectAttributes->RootDirectory, "ZwOpenKey");
        if (!root) return STATUS_INVALID_HANDLE;
        if (!path.empty() && path.front() == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        key = root->key;
    } else {
        if (path.empty()) return STATUS_OBJECT_NAME_INVALID;
        if (path.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        path.remove_prefix(1);
        // The object manager's part: only the \Registry object exists here.
        const size_t slash = path.find(u'\\');
        const std::u16string_view first = path.substr(0, slash);
        if (first.empty()) return STATUS_OBJECT_NAME_INVALID; // the root directory is no key
        if (!EqualNoCase(first, u"REGISTRY")) {
            return slash == std::u16string_view::npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        }
        path = slash == std::u16string_view::npos ? std::u16string_view() : path.substr(slash + 1);
        key = store.root;
    }
    if (key->deleted) return STATUS_KEY_DELETED;
    KeyPath components;
    if (!SplitPath(path, components)) return STATUS_OBJECT_NAME_INVALID;
    for (const auto &component : components) {
        key = key->FindSubkey(component);
        if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const uintptr_t handle = store.nextHandle;
    store.nextHandle += 4;
    store.handles.emplace(handle, OpenHandle{key, MapGenericAccess(DesiredAccess)});
    *KeyHandle = reinterpret_cast<HANDLE>(handle);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                         PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    if (!AtPassiveLevel("ZwEnumerateKey")) return kRefused;
    if (KeyInformationClass != KeyBasicInformation && KeyInformationClass != KeyNodeInformation &&
        KeyInformationClass != KeyFullInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!CheckArguments(ResultLength && (KeyInformation || Length == 0), "ZwEnumerateKey",
                        "null ResultLength, or null KeyInformation with a non-zero Length")) {
        return STATUS_INVALID_PARAMETER;
    }
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    OpenHandle *handle = LookUpHandle(store, KeyHandle, "ZwEnumerateKey");
    if (!handle) return STATUS_INVALID_HANDLE;
    // Stricter than the kernel, which skips this check for kernel-mode callers: a driver that
    // opens a key with too little access is caught here rather than on a stricter system.
    if (!(handle->granted & KEY_ENUMERATE_SUB_KEYS)) return STATUS_ACCESS_DENIED;
    const Key &parent = *handle->key;
    if (parent.deleted) return STATUS_KEY_DELETED;
    if (Index >= parent.subkeys.size()) return STATUS_NO_MORE_ENTRIES;
    const Key &key = *std::next(parent.subkeys.begin(), Index)->second;

    std::vector<uint8_t> fixed;
    std::vector<uint8_t> rest;
    const auto nameLength = static_cast<ULONG>(key.name.size() * 2);
    Put64(fixed, key.lastWriteTime);
    Put32(fixed, 0); // TitleIndex
    switch (KeyInformationClass) {
    case KeyBasicInformation:
        Put32(fixed, nameLength);
        rest = NameBytes(key.name);
        break;
    case KeyNodeInformation:
        Put32(fixed, 0xFFFFFFFFu); // ClassOffset: no class
        Put32(fixed, 0);           // ClassLength
        Put32(fixed, nameLength);
        rest = NameBytes(key.name);
        break;
    default: { // KeyFullInformation
        ULONG maxName = 0, maxValueName = 0, maxValueData = 0;
        for (const auto &entry : key.subkeys) maxName = std::max<ULONG>(maxName, ULONG(entry.second->name.size() * 2));
        for (const auto &value : key.values) {
            maxValueName = std::max<ULONG>(maxValueName, ULONG(value.name.size() * 2));
            maxValueData = std::max<ULONG>(maxValueData, ULONG(value.data.size()));
        }
        Put32(fixed, 0xFFFFFFFFu); // ClassOffset
        Put32(fixed, 0);           // ClassLength
        Put32(fixed, ULONG(key.subkeys.size()));
        Put32(fixed, maxName);
        Put32(fixed, 0); // MaxClassLen
        Put32(fixed, ULONG(key.values.size()));
        Put32(fixed, maxValueName);
        Put32(fixed, maxValueData);
        break;
    }
    }
    return WriteRecord(fixed, rest, KeyInformation, Length, ResultLength);
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    if (!AtPassiveLevel("ZwQueryValueKey")) return kRefused;
    if (KeyValueInformationClass != KeyValueBasicInformation && KeyValueInformationClass != KeyValueFullInformation &&
        KeyValueInformationClass != KeyValuePartialInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!CheckArguments(ResultLength && (KeyValueInformation || Length == 0), "ZwQueryValueKey",
                        "null ResultLength, or null KeyValueInformation with a non-zero Length") ||
        !CheckArguments(ValueName && (ValueName->Length == 0 || ValueName->Buffer), "ZwQueryValueKey",
                        "null ValueName, or one without a buffer")) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string_view name(reinterpret_cast<const char16_t *>(ValueName->Buffer), ValueName->Length / 2);
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    OpenHandle *handle = LookUpHandle(store, KeyHandle, "ZwQueryValueKey");
    if (!handle) return STATUS_INVALID_HANDLE;
    if (!(handle->granted & KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
    Key &key = *handle->key;
    if (key.deleted) return STATUS_KEY_DELETED;
    const Value *value = key.FindValue(name);
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;

    std::vector<uint8_t> fixed;
    std::vector<uint8_t> rest;
    const auto nameLength = static_cast<ULONG>(value->name.size() * 2);
    const auto dataLength = static_cast<ULONG>(value->data.size());
    Put32(fixed, 0); // TitleIndex
    Put32(fixed, value->type);
    switch (KeyValueInformationClass) {
    case KeyValuePartialInformation:
        Put32(fixed, dataLength);
        rest = value->data;
        break;
    case KeyValueBasicInformation:
        Put32(fixed, nameLength);
        rest = NameBytes(value->name);
        break;
    default: { // KeyValueFullInformation: name, padding to 4 bytes, data
        const ULONG dataOffset = (20 + nameLength + 3) & ~3u;
        Put32(fixed, dataOffset);
        Put32(fixed, dataLength);
        Put32(fixed, nameLength);
        rest = NameBytes(value->name);
        rest.resize(dataOffset - 20, 0);
        rest.insert(rest.end(), value->data.begin(), value->data.end());
        break;
    }
    }
    return WriteRecord(fixed, rest, KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    if (!AtPassiveLevel("ZwClose")) return kRefused;
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    auto it = store.handles.find(reinterpret_cast<uintptr_t>(Handle));
    if (it == store.handles.end()) {
        if (kemu::detail::CloseThreadHandle(Handle)) return STATUS_SUCCESS; // a system thread's
        kemu::ReportViolation("invalid handle", "ZwClose(" + Hex(reinterpret_cast<uintptr_t>(Handle)) +
                                              "): not an open handle");
        return STATUS_INVALID_HANDLE;
    }
    store.handles.erase(it);
    return STATUS_SUCCESS;
}

// ---- Control API ----

namespace kemu {
namespace {

std::u16string FromUtf8(const std::string &text, const char *what)
{
    std::u16string out;
    if (!Utf8ToUtf16(text, out)) throw std::invalid_argument(std::string(what) + " is not valid UTF-8: " + text);
    return out;
}

// "\Registry\Machine\X", "HKEY_LOCAL_MACHINE\X" or "HKEY_USERS\X" to components below \Registry.
KeyPath ParseControlPath(const std::string &path)
{
    const std::u16string wide = FromUtf8(path, "registry path");
    KeyPath components;
    std::u16string_view rest = wide;
    auto bad = [&path](const char *why) {
        return std::invalid_argument("bad registry path \"" + path + "\": " + why);
    };
    if (!rest.empty() && rest.front() == u'\\') {
        rest.remove_prefix(1);
        if (!SplitPath(rest, components)) throw bad("empty key name");
        if (components.empty() || !EqualNoCase(components.front(), u"REGISTRY")) throw bad("it must begin with \\Registry");
        components.erase(components.begin());
        if (!components.empty() && !EqualNoCase(components.front(), u"MACHINE") &&
            !EqualNoCase(components.front(), u"USER")) {
            throw bad("only \\Registry\\Machine and \\Registry\\User exist");
        }
    } else {
        if (!SplitPath(rest, components) || components.empty()) throw bad("empty key name");
        if (EqualNoCase(components.front(), u"HKEY_LOCAL_MACHINE")) {
            components.front() = u"MACHINE";
        } else if (EqualNoCase(components.front(), u"HKEY_USERS")) {
            components.front() = u"USER";
        } else {
            throw bad("it must begin with \\Registry\\Machine, \\Registry\\User, HKEY_LOCAL_MACHINE or HKEY_USERS");
        }
    }
    for (const auto &component : components) {
        if (component.size() > kMaxKeyNameChars) throw bad("a key name is longer than 255 characters");
    }
    return components;
}

std::u16string ValueNameFrom(const std::string &name)
{
    std::u16string wide = FromUtf8(name, "value name");
    if (wide.size() > kMaxValueNameChars) throw std::invalid_argument("value name longer than 16383 characters");
    return wide;
}

std::string FormatValue(const Value &value)
{
    std::string out = value.name.empty() ? "@" : "\"" + Utf16ToUtf8(value.name) + "\"";
    out += " = ";
    char hex[16];
    if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | value.data[size_t(i)];
        std::snprintf(hex, sizeof hex, "%08x", v);
        return out + "dword:" + hex;
    }
    if (value.type == REG_SZ && value.data.size() % 2 == 0) {
        std::u16string text;
        for (size_t i = 0; i + 1 < value.data.size(); i += 2) text.push_back(char16_t(value.data[i] | (value.data[i + 1] << 8)));
        if (!text.empty() && text.back() == u'\0') text.pop_back();
        return out + "\"" + Utf16ToUtf8(text) + "\"";
    }
    std::snprintf(hex, sizeof hex, "hex(%x):", value.type);
    out += hex;
    for (size_t i = 0; i < value.data.size(); ++i) {
        std::snprintf(hex, sizeof hex, i ? ",%02x" : "%02x", value.data[i]);
        out += hex;
    }
    return out;
}

void DumpKey(const Key &key, const std::string &path, std::string &out)
{
    out += path + "\n";
    for (const auto &value : key.values) out += "    " + FormatValue(value) + "\n";
    for (const auto &entry : key.subkeys) DumpKey(*entry.second, path + "\\" + Utf16ToUtf8(entry.second->name), out);
}

} // namespace

void ClearRegistry()
{
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    store.Rebuild();
}

void ResetRegistry()
{
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    store.Rebuild();
    store.handles.clear();
}

bool CreateRegistryKey(const std::string &path)
{
    const KeyPath components = ParseControlPath(path);
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    return store.Create(components).second;
}

bool DeleteRegistryKey(const std::string &path)
{
    const KeyPath components = ParseControlPath(path);
    if (components.size() < 2) throw std::invalid_argument("the registry root \"" + path + "\" cannot be deleted");
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    return store.Delete(components);
}

bool RegistryKeyExists(const std::string &path)
{
    const KeyPath components = ParseControlPath(path);
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    return store.Find(components) != nullptr;
}

std::vector<std::string> ListRegistrySubkeys(const std::string &path)
{
    const KeyPath components = ParseControlPath(path);
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    std::vector<std::string> names;
    if (auto key = store.Find(components)) {
        for (const auto &entry : key->subkeys) names.push_back(Utf16ToUtf8(entry.second->name));
    }
    return names;
}

void SetRegistryBinary(const std::string &path, const std::string &name, const std::vector<uint8_t> &bytes,
                       uint32_t type)
{
    const KeyPath components = ParseControlPath(path);
    const std::u16string valueName = ValueNameFrom(name);
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    store.SetValue(*store.Create(components).first, valueName, type, bytes);
}

void SetRegistryDword(const std::string &path, const std::string &name, uint32_t value)
{
    SetRegistryBinary(path, name, {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)},
                      kRegDword);
}

void SetRegistryString(const std::string &path, const std::string &name, const std::string &utf8)
{
    std::vector<uint8_t> data = NameBytes(FromUtf8(utf8, "string value"));
    data.push_back(0); // REG_SZ data carries its terminating NUL
    data.push_back(0);
    SetRegistryBinary(path, name, data, kRegSz);
}

bool DeleteRegistryValue(const std::string &path, const std::string &name)
{
    const KeyPath components = ParseControlPath(path);
    const std::u16string valueName = ValueNameFrom(name);
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    auto key = store.Find(components);
    return key && store.DeleteValue(*key, valueName);
}

std::optional<RegistryValue> GetRegistryValue(const std::string &path, const std::string &name)
{
    const KeyPath components = ParseControlPath(path);
    const std::u16string valueName = ValueNameFrom(name);
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    auto key = store.Find(components);
    const Value *value = key ? key->FindValue(valueName) : nullptr;
    if (!value) return std::nullopt;
    return RegistryValue{value->type, value->data};
}

std::string DumpRegistry(const std::string &path)
{
    const KeyPath components = ParseControlPath(path);
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    auto key = store.Find(components);
    if (!key) return path + " (no such key)\n";
    std::string fullPath = "\\" + Utf16ToUtf8(store.root->name);
    std::shared_ptr<Key> walk = store.root;
    for (const auto &component : components) {
        walk = walk->FindSubkey(component);
        fullPath += "\\" + Utf16ToUtf8(walk->name);
    }
    std::string out;
    DumpKey(*key, fullPath, out);
    return out;
}

size_t OpenRegistryHandles()
{
    Store &store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    return store.handles.size();
}

} // namespace kemu
