// Opening devices by their DOS names, and closing handles.
#include <string>

#include <kmodel/io.h>
#include <kmodel/system.h>

#include <win32/windows.h>

#include "objects.h"

using namespace win32sim::detail;

namespace {

const std::u16string kDosDevices = u"\\??\\";

bool StartsWith(const std::u16string& text, const std::u16string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

char16_t Upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

// COM1..COM9 and LPT1..LPT9, optionally with a colon: names Win32 resolves
// to devices wherever they appear.
bool IsReservedDeviceName(const std::u16string& name) {
    std::u16string bare = name;
    if (!bare.empty() && bare.back() == u':') {
        bare.pop_back();
    }
    if (bare.size() != 4 || bare[3] < u'1' || bare[3] > u'9') {
        return false;
    }
    std::u16string stem{Upper(bare[0]), Upper(bare[1]), Upper(bare[2])};
    return stem == u"COM" || stem == u"LPT";
}

// The object-namespace name a Win32 name stands for, or empty when it names
// a file system path.
std::u16string NtNameOf(const std::u16string& name) {
    for (const std::u16string& prefix : {std::u16string(u"\\\\.\\"), std::u16string(u"\\\\?\\")}) {
        if (StartsWith(name, prefix) && name.size() > prefix.size()) {
            return kDosDevices + name.substr(prefix.size());
        }
    }
    if (IsReservedDeviceName(name)) {
        std::u16string bare = name.back() == u':' ? name.substr(0, name.size() - 1) : name;
        return kDosDevices + bare;
    }
    return {};
}

bool IsValidDisposition(DWORD disposition) {
    return disposition >= CREATE_NEW && disposition <= TRUNCATE_EXISTING;
}

HANDLE OpenDevice(const std::u16string& name, DWORD disposition, DWORD flags) {
    if (!IsValidDisposition(disposition)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string ntName = NtNameOf(name);
    if (ntName.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // the model has no file system
        return INVALID_HANDLE_VALUE;
    }
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = kmodel::io::Open(ntName, &file);
    if (!NT_SUCCESS(status)) {
        FailWith(status);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(NewFileObject(file, (flags & FILE_FLAG_OVERLAPPED) != 0));
}

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return OpenDevice(kmodel::ToU16(lpFileName), dwCreationDisposition, dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return OpenDevice(lpFileName, dwCreationDisposition, dwFlagsAndAttributes);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    std::shared_ptr<Object> object = RemoveHandle(hObject);
    if (!object) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    if (auto file = std::dynamic_pointer_cast<FileObject>(object)) {
        CloseFileObject(*file);
    }
    return TRUE;
}
