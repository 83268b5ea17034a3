// Device interface sets over the kernel model's list of enabled interfaces.
// A set is a snapshot taken when it is made, as SetupAPI's is.
#include <win32/setupapi.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <kmodel/pnp.h>
#include <kmodel/system.h>

#include "objects.h"

using namespace win32sim::detail;

namespace {

struct InterfaceSet : Object {
    GUID guid{};
    std::vector<std::u16string> paths;  // "\\?\..." names, one per interface
};

char16_t Upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

std::u16string Uppered(std::u16string text) {
    for (char16_t& c : text) {
        c = Upper(c);
    }
    return text;
}

// The model names an interface "\??\<instance path, '\' as '#'>#{guid}[\ref]";
// applications open it as "\\?\...".
std::u16string DevicePathOf(const std::u16string& link) {
    const std::u16string prefix = u"\\??\\";
    std::u16string rest = link.compare(0, prefix.size(), prefix) == 0 ? link.substr(prefix.size()) : link;
    return u"\\\\?\\" + rest;
}

// An instance ID ("USB\VID_1&PID_2\1") keeps that device's interfaces, an
// enumerator name ("USB") those of every device it enumerates.
bool MatchesEnumerator(const std::u16string& link, const std::u16string& enumerator) {
    std::u16string wanted = Uppered(enumerator);
    for (char16_t& c : wanted) {
        if (c == u'\\') {
            c = u'#';
        }
    }
    std::u16string name = Uppered(link.substr(link.find(u'\\', 1) + 1));  // past "\??\"
    return name.compare(0, wanted.size() + 1, wanted + u"#") == 0;
}

HDEVINFO MakeSet(const GUID* classGuid, const std::u16string* enumerator, DWORD flags) {
    if ((flags & DIGCF_DEVICEINTERFACE) == 0 || (flags & DIGCF_ALLCLASSES) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);  // the model lists interfaces of one class only
        return INVALID_HANDLE_VALUE;
    }
    if (classGuid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<InterfaceSet>();
    set->guid = *classGuid;
    for (const std::u16string& link : kmodel::EnabledInterfaces(*classGuid)) {
        if (enumerator == nullptr || enumerator->empty() || MatchesEnumerator(link, *enumerator)) {
            set->paths.push_back(DevicePathOf(link));
        }
    }
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(std::move(set));
}

std::shared_ptr<InterfaceSet> LookupSet(HDEVINFO handle) {
    return std::dynamic_pointer_cast<InterfaceSet>(LookupObject(handle));
}

// Members are numbered from one in Reserved and DevInst, so a zeroed record
// names none.
bool MemberOf(const InterfaceSet& set, const SP_DEVICE_INTERFACE_DATA* data, size_t* index) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set.paths.size()) {
        return false;
    }
    *index = data->Reserved - 1;
    return true;
}

bool FillDeviceInfo(PSP_DEVINFO_DATA info, size_t index) {
    if (info == nullptr) {
        return true;
    }
    if (info->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return false;
    }
    info->ClassGuid = GUID{};
    info->DevInst = static_cast<DWORD>(index + 1);
    info->Reserved = index + 1;
    return true;
}

void Convert(const std::u16string& path, std::string* out) {
    *out = kmodel::ToUtf8(path);
}

void Convert(const std::u16string& path, std::u16string* out) {
    *out = path;
}

// The detail record: the fixed part, then the path with its NUL.
template <typename Char, typename Detail>
BOOL GetDetail(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data, Detail* detail, DWORD size, LPDWORD required,
               PSP_DEVINFO_DATA info) {
    std::shared_ptr<InterfaceSet> set = LookupSet(handle);
    if (!set) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    size_t index = 0;
    if (!MemberOf(*set, data, &index)) {
        return FailWithError(ERROR_INVALID_PARAMETER);
    }
    if ((detail == nullptr && size != 0) ||
        (detail != nullptr && (detail->cbSize != sizeof(Detail) || size < offsetof(Detail, DevicePath) + sizeof(Char)))) {
        return FailWithError(ERROR_INVALID_USER_BUFFER);
    }
    std::basic_string<Char> path;
    Convert(set->paths[index], &path);
    DWORD needed = static_cast<DWORD>(offsetof(Detail, DevicePath) + (path.size() + 1) * sizeof(Char));
    if (required != nullptr) {
        *required = needed;
    }
    if (detail == nullptr || size < needed) {
        return FailWithError(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!FillDeviceInfo(info, index)) {
        return FailWithError(ERROR_INVALID_USER_BUFFER);
    }
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(Char));
    return TRUE;
}

}  // namespace

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, LPCSTR Enumerator, HWND, DWORD Flags) {
    if (Enumerator == nullptr) {
        return MakeSet(ClassGuid, nullptr, Flags);
    }
    std::u16string enumerator = kmodel::ToU16(Enumerator);
    return MakeSet(ClassGuid, &enumerator, Flags);
}

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, LPCWSTR Enumerator, HWND, DWORD Flags) {
    if (Enumerator == nullptr) {
        return MakeSet(ClassGuid, nullptr, Flags);
    }
    std::u16string enumerator = Enumerator;
    return MakeSet(ClassGuid, &enumerator, Flags);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    std::shared_ptr<InterfaceSet> set = LookupSet(DeviceInfoSet);
    if (!set) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    if (InterfaceClassGuid == nullptr) {
        return FailWithError(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return FailWithError(ERROR_INVALID_USER_BUFFER);
    }
    // One interface per device here: a device's member is the one it names.
    std::vector<size_t> members;
    for (size_t i = 0; i < set->paths.size(); ++i) {
        bool ofDevice = DeviceInfoData == nullptr || DeviceInfoData->DevInst == i + 1;
        if (ofDevice && *InterfaceClassGuid == set->guid) {
            members.push_back(i);
        }
    }
    if (MemberIndex >= members.size()) {
        return FailWithError(ERROR_NO_MORE_ITEMS);
    }
    size_t index = members[MemberIndex];
    DeviceInterfaceData->InterfaceClassGuid = set->guid;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = index + 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
    return GetDetail<CHAR>(DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData,
                           DeviceInterfaceDetailDataSize, RequiredSize, DeviceInfoData);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
    return GetDetail<WCHAR>(DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData,
                            DeviceInterfaceDetailDataSize, RequiredSize, DeviceInfoData);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    if (!LookupSet(DeviceInfoSet)) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    RemoveHandle(DeviceInfoSet);
    return TRUE;
}
