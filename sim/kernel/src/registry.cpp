// The registry: keys by path (case-insensitive), values in creation order,
// kernel handles, and the Zw/Rtl/Io routines that reach it.
#include <map>

#include "model.h"

namespace kmodel::detail {

namespace {

struct Key {
    std::u16string path;
    std::vector<std::pair<std::u16string, RegistryValue>> values;
};

struct KeyObject {
    uint64_t magic;
    std::u16string path;
    ACCESS_MASK access;
};

constexpr uint64_t kHandleMagic = 0x59454B4C45444F4DULL;

struct Registry {
    Mutex mutex;
    std::map<std::u16string, Key> keys;  // by lower-case path
    std::set<KeyObject*> handles;
};

Registry& Reg() {
    static Registry registry;
    return registry;
}

std::u16string Normalize(std::u16string path) {
    while (!path.empty() && path.back() == u'\\') {
        path.pop_back();
    }
    return path;
}

Key& CreateKeyLocked(const std::u16string& path) {
    std::u16string normal = Normalize(path);
    // Parents exist whenever a child does.
    for (size_t pos = normal.find(u'\\', 1); pos != std::u16string::npos; pos = normal.find(u'\\', pos + 1)) {
        std::u16string parent = normal.substr(0, pos);
        Reg().keys.try_emplace(ToLower(parent), Key{parent, {}});
    }
    return Reg().keys.try_emplace(ToLower(normal), Key{normal, {}}).first->second;
}

Key* FindKeyLocked(const std::u16string& path) {
    auto it = Reg().keys.find(ToLower(Normalize(path)));
    return it == Reg().keys.end() ? nullptr : &it->second;
}

auto FindValue(Key& key, const std::u16string& name) {
    std::u16string lower = ToLower(name);
    for (auto it = key.values.begin(); it != key.values.end(); ++it) {
        if (ToLower(it->first) == lower) {
            return it;
        }
    }
    return key.values.end();
}

void SetValueLocked(Key& key, const std::u16string& name, const RegistryValue& value) {
    auto it = FindValue(key, name);
    if (it != key.values.end()) {
        it->second = value;
    } else {
        key.values.emplace_back(name, value);
    }
}

HANDLE NewHandle(const std::u16string& path, ACCESS_MASK access) {
    auto* handle = new KeyObject{kHandleMagic, path, access};
    Reg().handles.insert(handle);
    return handle;
}

KeyObject* HandleOf(HANDLE h, const char* ddi) {
    auto* handle = static_cast<KeyObject*>(h);
    if (Reg().handles.count(handle) == 0) {
        BugCheck("INVALID_KERNEL_HANDLE", std::string(ddi) + " given handle " + Hex(h));
    }
    return handle;
}

std::u16string RelativeBase(ULONG relativeTo) {
    switch (relativeTo & 0xFFFF) {
    case RTL_REGISTRY_ABSOLUTE:
        return u"";
    case RTL_REGISTRY_SERVICES:
        return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    case RTL_REGISTRY_CONTROL:
        return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\";
    case RTL_REGISTRY_WINDOWS_NT:
        return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\";
    case RTL_REGISTRY_DEVICEMAP:
        return std::u16string(kDeviceMapPath) + u"\\";
    case RTL_REGISTRY_USER:
        return u"\\Registry\\User\\.Default\\";
    default:
        return u"?";
    }
}

}  // namespace

void ResetRegistry() {
    std::lock_guard<Mutex> guard(Reg().mutex);
    Reg().keys.clear();
    for (KeyObject* h : Reg().handles) {
        delete h;
    }
    Reg().handles.clear();
    // Created by Windows at boot.
    CreateKeyLocked(std::u16string(kDeviceMapPath) + u"\\SERIALCOMM");
    CreateKeyLocked(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services");
    CreateKeyLocked(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum");
}

HANDLE OpenKeyHandle(const std::u16string& path, ACCESS_MASK access, bool create) {
    std::lock_guard<Mutex> guard(Reg().mutex);
    if (create) {
        CreateKeyLocked(path);
    } else if (FindKeyLocked(path) == nullptr) {
        return nullptr;
    }
    return NewHandle(Normalize(path), access);
}

}  // namespace kmodel::detail

namespace kmodel {

using namespace detail;

void RegistrySetValue(const std::u16string& keyPath, const std::u16string& name, const RegistryValue& value) {
    std::lock_guard<Mutex> guard(Reg().mutex);
    SetValueLocked(CreateKeyLocked(keyPath), name, value);
}

bool RegistryGetValue(const std::u16string& keyPath, const std::u16string& name, RegistryValue* value) {
    std::lock_guard<Mutex> guard(Reg().mutex);
    Key* key = FindKeyLocked(keyPath);
    if (key == nullptr) {
        return false;
    }
    auto it = FindValue(*key, name);
    if (it == key->values.end()) {
        return false;
    }
    *value = it->second;
    return true;
}

std::vector<std::pair<std::u16string, RegistryValue>> RegistryEnumValues(const std::u16string& keyPath) {
    std::lock_guard<Mutex> guard(Reg().mutex);
    Key* key = FindKeyLocked(keyPath);
    return key == nullptr ? std::vector<std::pair<std::u16string, RegistryValue>>{} : key->values;
}

bool RegistryKeyExists(const std::u16string& keyPath) {
    std::lock_guard<Mutex> guard(Reg().mutex);
    return FindKeyLocked(keyPath) != nullptr;
}

void RegistryCreateKey(const std::u16string& keyPath) {
    std::lock_guard<Mutex> guard(Reg().mutex);
    CreateKeyLocked(keyPath);
}

RegistryValue RegSz(const std::u16string& text) {
    RegistryValue value;
    value.type = REG_SZ;
    value.data.resize((text.size() + 1) * sizeof(char16_t));
    std::memcpy(value.data.data(), text.c_str(), value.data.size());
    return value;
}

RegistryValue RegDword(ULONG v) {
    RegistryValue value;
    value.type = REG_DWORD;
    value.data.resize(sizeof(ULONG));
    std::memcpy(value.data.data(), &v, sizeof(ULONG));
    return value;
}

}  // namespace kmodel

using namespace kmodel;
using namespace kmodel::detail;

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    RequireIrqlExactly("ZwOpenKey", PASSIVE_LEVEL);
    HANDLE h = OpenKeyHandle(FromUnicodeString(*ObjectAttributes->ObjectName), DesiredAccess, false);
    *KeyHandle = h;
    return h != nullptr ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

// Kernel-mode callers are not held to the handle's access mask (see the
// notes on PreviousMode): a key opened for STANDARD_RIGHTS_READ may be queried.
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
    RequireIrqlExactly("ZwQueryValueKey", PASSIVE_LEVEL);
    std::lock_guard<Mutex> guard(Reg().mutex);
    KeyObject* handle = HandleOf(KeyHandle, "ZwQueryValueKey");
    Key* key = FindKeyLocked(handle->path);
    if (key == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto it = FindValue(*key, FromUnicodeString(*ValueName));
    if (it == key->values.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const std::u16string& name = it->first;
    const RegistryValue& value = it->second;
    ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    ULONG dataBytes = static_cast<ULONG>(value.data.size());
    ULONG fixed;
    ULONG needed;
    ULONG dataOffset = 0;
    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        needed = fixed + nameBytes;
        break;
    case KeyValueFullInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        dataOffset = (fixed + nameBytes + sizeof(ULONG) - 1) & ~ULONG(sizeof(ULONG) - 1);
        needed = dataOffset + dataBytes;
        break;
    case KeyValuePartialInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        needed = fixed + dataBytes;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    *ResultLength = needed;
    if (Length < fixed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* out = static_cast<UCHAR*>(KeyValueInformation);
    bool complete = Length >= needed;
    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation: {
        auto* info = static_cast<PKEY_VALUE_BASIC_INFORMATION>(KeyValueInformation);
        info->TitleIndex = 0;
        info->Type = value.type;
        info->NameLength = nameBytes;
        if (complete) {
            std::memcpy(info->Name, name.data(), nameBytes);
        }
        break;
    }
    case KeyValueFullInformation: {
        auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(KeyValueInformation);
        info->TitleIndex = 0;
        info->Type = value.type;
        info->DataOffset = dataOffset;
        info->DataLength = dataBytes;
        info->NameLength = nameBytes;
        if (complete) {
            std::memcpy(info->Name, name.data(), nameBytes);
            std::memcpy(out + dataOffset, value.data.data(), dataBytes);
        }
        break;
    }
    default: {
        auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
        info->TitleIndex = 0;
        info->Type = value.type;
        info->DataLength = dataBytes;
        if (complete) {
            std::memcpy(info->Data, value.data.data(), dataBytes);
        }
        break;
    }
    }
    return complete ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    RequireIrqlExactly("ZwSetValueKey", PASSIVE_LEVEL);
    std::lock_guard<Mutex> guard(Reg().mutex);
    KeyObject* handle = HandleOf(KeyHandle, "ZwSetValueKey");
    Key* key = FindKeyLocked(handle->path);
    if (key == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    RegistryValue value;
    value.type = Type;
    value.data.assign(static_cast<UCHAR*>(Data), static_cast<UCHAR*>(Data) + DataSize);
    SetValueLocked(*key, FromUnicodeString(*ValueName), value);
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
    RequireIrqlExactly("ZwClose", PASSIVE_LEVEL);
    std::lock_guard<Mutex> guard(Reg().mutex);
    KeyObject* handle = HandleOf(Handle, "ZwClose");
    Reg().handles.erase(handle);
    delete handle;
    return STATUS_SUCCESS;
}

// Creates the key path if it is missing, as documented.
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
    RequireIrqlExactly("RtlWriteRegistryValue", PASSIVE_LEVEL);
    std::lock_guard<Mutex> guard(Reg().mutex);
    Key* key = &CreateKeyLocked(RelativeBase(RelativeTo) + FromWide(Path));
    RegistryValue value;
    value.type = ValueType;
    value.data.assign(static_cast<UCHAR*>(ValueData), static_cast<UCHAR*>(ValueData) + ValueLength);
    SetValueLocked(*key, FromWide(ValueName), value);
    return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    RequireIrqlExactly("RtlDeleteRegistryValue", PASSIVE_LEVEL);
    std::lock_guard<Mutex> guard(Reg().mutex);
    Key* key = FindKeyLocked(RelativeBase(RelativeTo) + FromWide(Path));
    if (key == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto it = FindValue(*key, FromWide(ValueName));
    if (it == key->values.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    key->values.erase(it);
    return STATUS_SUCCESS;
}
