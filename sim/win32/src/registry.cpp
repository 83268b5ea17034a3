// Reading the registry from the application side: keys opened here are
// paths into the kernel model's registry, held in the process's handle table.
#include <win32/winreg.h>

#include <cstring>
#include <memory>
#include <string>

#include <kmodel/system.h>

#include "objects.h"

using namespace win32sim::detail;

namespace {

struct KeyObject : Object {
    std::u16string path;
};

LSTATUS Status(DWORD error) {
    return static_cast<LSTATUS>(error);
}

// The object-namespace path of a predefined key or of a key opened here.
bool PathOf(HKEY key, std::u16string* path) {
    if (key == HKEY_LOCAL_MACHINE) {
        *path = u"\\Registry\\Machine";
    } else if (key == HKEY_USERS) {
        *path = u"\\Registry\\User";
    } else if (key == HKEY_CURRENT_USER) {
        *path = u"\\Registry\\User\\.Default";
    } else if (key == HKEY_CLASSES_ROOT) {
        *path = u"\\Registry\\Machine\\Software\\Classes";
    } else {
        auto object = std::dynamic_pointer_cast<KeyObject>(LookupObject(key));
        if (!object) {
            return false;
        }
        *path = object->path;
    }
    return true;
}

LSTATUS OpenKey(HKEY key, const std::u16string& subKey, PHKEY result) {
    if (result == nullptr) {
        return Status(ERROR_INVALID_PARAMETER);
    }
    std::u16string path;
    if (!PathOf(key, &path)) {
        return Status(ERROR_INVALID_HANDLE);
    }
    if (!subKey.empty() && subKey.front() == u'\\') {
        return Status(ERROR_BAD_PATHNAME);
    }
    if (!subKey.empty()) {
        path += u"\\" + subKey;
    }
    if (!kmodel::RegistryKeyExists(path)) {
        return Status(ERROR_FILE_NOT_FOUND);
    }
    auto object = std::make_shared<KeyObject>();
    object->path = path;
    *result = static_cast<HKEY>(InsertHandle(std::move(object)));
    return Status(ERROR_SUCCESS);
}

bool IsStringType(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// String data as the A calls see it: each UTF-16 unit narrowed, NULs kept.
std::vector<uint8_t> NarrowData(const kmodel::RegistryValue& value) {
    if (!IsStringType(value.type)) {
        return value.data;
    }
    std::u16string text(value.data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * sizeof(char16_t));
    std::string narrow = kmodel::ToUtf8(text);
    return std::vector<uint8_t>(narrow.begin(), narrow.end());
}

// The data half of RegQueryValueEx and RegEnumValue.
LSTATUS CopyData(ULONG type, const std::vector<uint8_t>& data, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) {
        return Status(ERROR_INVALID_PARAMETER);
    }
    if (lpType != nullptr) {
        *lpType = type;
    }
    if (lpcbData == nullptr) {
        return Status(ERROR_SUCCESS);
    }
    DWORD needed = static_cast<DWORD>(data.size());
    LSTATUS status = Status(ERROR_SUCCESS);
    if (lpData != nullptr) {
        if (*lpcbData < needed) {
            status = Status(ERROR_MORE_DATA);
        } else if (needed != 0) {
            std::memcpy(lpData, data.data(), needed);
        }
    }
    *lpcbData = needed;
    return status;
}

template <typename Char>
LSTATUS CopyName(const std::basic_string<Char>& name, Char* buffer, LPDWORD length) {
    if (buffer == nullptr || length == nullptr) {
        return Status(ERROR_INVALID_PARAMETER);
    }
    if (*length <= name.size()) {
        return Status(ERROR_MORE_DATA);
    }
    std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(Char));
    *length = static_cast<DWORD>(name.size());
    return Status(ERROR_SUCCESS);
}

bool FindValue(HKEY key, const std::u16string& name, kmodel::RegistryValue* value, LSTATUS* status) {
    std::u16string path;
    if (!PathOf(key, &path)) {
        *status = Status(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!kmodel::RegistryGetValue(path, name, value)) {
        *status = Status(ERROR_FILE_NOT_FOUND);
        return false;
    }
    return true;
}

bool ValueAt(HKEY key, DWORD index, std::pair<std::u16string, kmodel::RegistryValue>* entry, LSTATUS* status) {
    std::u16string path;
    if (!PathOf(key, &path)) {
        *status = Status(ERROR_INVALID_HANDLE);
        return false;
    }
    auto values = kmodel::RegistryEnumValues(path);
    if (index >= values.size()) {
        *status = Status(ERROR_NO_MORE_ITEMS);
        return false;
    }
    *entry = values[index];
    return true;
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    return OpenKey(hKey, lpSubKey != nullptr ? kmodel::ToU16(lpSubKey) : std::u16string(), phkResult);
}

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    return OpenKey(hKey, lpSubKey != nullptr ? std::u16string(lpSubKey) : std::u16string(), phkResult);
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    std::pair<std::u16string, kmodel::RegistryValue> entry;
    LSTATUS status = 0;
    if (!ValueAt(hKey, dwIndex, &entry, &status)) {
        return status;
    }
    status = CopyName(kmodel::ToUtf8(entry.first), lpValueName, lpcchValueName);
    if (status != Status(ERROR_SUCCESS)) {
        return status;
    }
    return CopyData(entry.second.type, NarrowData(entry.second), lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    std::pair<std::u16string, kmodel::RegistryValue> entry;
    LSTATUS status = 0;
    if (!ValueAt(hKey, dwIndex, &entry, &status)) {
        return status;
    }
    status = CopyName(entry.first, lpValueName, lpcchValueName);
    if (status != Status(ERROR_SUCCESS)) {
        return status;
    }
    return CopyData(entry.second.type, entry.second.data, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    kmodel::RegistryValue value;
    LSTATUS status = 0;
    if (!FindValue(hKey, lpValueName != nullptr ? kmodel::ToU16(lpValueName) : std::u16string(), &value, &status)) {
        return status;
    }
    return CopyData(value.type, NarrowData(value), lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    kmodel::RegistryValue value;
    LSTATUS status = 0;
    if (!FindValue(hKey, lpValueName != nullptr ? std::u16string(lpValueName) : std::u16string(), &value,
                   &status)) {
        return status;
    }
    return CopyData(value.type, value.data, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    std::u16string path;
    if (!PathOf(hKey, &path)) {
        return Status(ERROR_INVALID_HANDLE);
    }
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_USERS || hKey == HKEY_CURRENT_USER || hKey == HKEY_CLASSES_ROOT) {
        return Status(ERROR_SUCCESS);
    }
    RemoveHandle(hKey);
    return Status(ERROR_SUCCESS);
}
