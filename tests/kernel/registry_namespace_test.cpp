// The registry as drivers reach it (device keys, ZwQueryValueKey's size
// protocol, the device map) and the object namespace (collisions, \DosDevices
// being \??, case-insensitive names), plus the Rtl number formatting drivers
// use to build names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <kmodel/io.h>
#include <kmodel/pnp.h>
#include <kmodel/system.h>

#include "layer_driver.h"

namespace {

using layers::Stack;

UNICODE_STRING Us(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

// A PDO with a device node whose hardware key holds PortName.
struct Device {
    kmodel::System system;
    Stack stack;
    kmodel::DeviceNode* node;
    Device() : node(kmodel::ReportChildDevice(stack.Bottom(), u"TEST\\DEV_1\\0")) {
        kmodel::RegistrySetValue(kmodel::HardwareKeyPath(node), u"PortName", kmodel::RegSz(u"COM5"));
    }
};

TEST(Registry, FullInformationFollowsTheSizeProtocol) {
    Device d;
    HANDLE key = nullptr;
    // Kernel-mode callers are not held to the access they asked for.
    ASSERT_EQ(IoOpenDeviceRegistryKey(d.stack.Bottom(), PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
              STATUS_SUCCESS);
    UNICODE_STRING name = Us(u"PortName");
    const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
    const ULONG nameBytes = 8 * sizeof(WCHAR);
    const ULONG dataBytes = 5 * sizeof(WCHAR);  // "COM5" and its NUL

    ULONG needed = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_GE(needed, fixed + nameBytes + dataBytes);
    ULONG again = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, nullptr, fixed - 1, &again),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(again, needed);

    // Room for the fixed part only: it is filled, the rest is not.
    std::vector<UCHAR> buffer(needed + 16, 0xAB);
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, info, fixed, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, needed);
    EXPECT_EQ(info->Type, ULONG(REG_SZ));
    EXPECT_EQ(info->DataLength, dataBytes);
    EXPECT_EQ(info->NameLength, nameBytes);

    std::fill(buffer.begin(), buffer.end(), 0xAB);
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, info, needed, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, needed);
    EXPECT_EQ(info->Type, ULONG(REG_SZ));
    EXPECT_EQ(info->NameLength, nameBytes);
    EXPECT_EQ(info->DataLength, dataBytes);
    EXPECT_GE(info->DataOffset, fixed + nameBytes);
    EXPECT_EQ(info->DataOffset + info->DataLength, needed);
    EXPECT_EQ(std::u16string(info->Name, 8), u"PortName");
    EXPECT_EQ(std::memcmp(buffer.data() + info->DataOffset, u"COM5", dataBytes), 0);
    ZwClose(key);
}

TEST(Registry, PartialAndBasicInformationAndMissingValues) {
    Device d;
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(d.stack.Bottom(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    UNICODE_STRING name = Us(u"portname");  // value names ignore case
    UCHAR buffer[64];
    ULONG result = 0;
    const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, fixed, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, fixed + 10);
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_SUCCESS);
    auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(partial->DataLength, 10u);
    EXPECT_EQ(std::memcmp(partial->Data, u"COM5", 10), 0);

    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueBasicInformation, buffer, sizeof(buffer), &result), STATUS_SUCCESS);
    auto* basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
    EXPECT_EQ(basic->NameLength, 16u);
    EXPECT_EQ(std::u16string(basic->Name, 8), u"PortName");  // the name as stored

    UNICODE_STRING missing = Us(u"NoSuchValue");
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValueFullInformation, buffer, sizeof(buffer), &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, nullptr, 0, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);

    // A value the driver writes through its key lands in the hardware key.
    UNICODE_STRING flag = Us(u"Written");
    ULONG one = 1;
    EXPECT_EQ(ZwSetValueKey(key, &flag, 0, REG_DWORD, &one, sizeof(one)), STATUS_SUCCESS);
    kmodel::RegistryValue value;
    ASSERT_TRUE(kmodel::RegistryGetValue(kmodel::HardwareKeyPath(d.node), u"Written", &value));
    EXPECT_EQ(value.type, ULONG(REG_DWORD));
    EXPECT_EQ(value.data, kmodel::RegDword(1).data);
    ZwClose(key);
}

TEST(Registry, SerialCommEntriesAreWrittenAndDeletedInTheDeviceMap) {
    kmodel::System system;
    const std::u16string serialComm = std::u16string(kmodel::kDeviceMapPath) + u"\\SERIALCOMM";
    const char16_t com5[] = u"COM5";
    const char16_t com6[] = u"COM6";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Modem0", REG_SZ,
                                    const_cast<char16_t*>(com5), sizeof(com5)),
              STATUS_SUCCESS);
    kmodel::RegistryValue value;
    ASSERT_TRUE(kmodel::RegistryGetValue(serialComm, u"\\Device\\Modem0", &value));
    EXPECT_EQ(value.type, ULONG(REG_SZ));
    EXPECT_EQ(value.data, kmodel::RegSz(u"COM5").data);

    // Writing again replaces the value.
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Modem0", REG_SZ,
                                    const_cast<char16_t*>(com6), sizeof(com6)),
              STATUS_SUCCESS);
    EXPECT_EQ(kmodel::RegistryEnumValues(serialComm).size(), 1u);
    ASSERT_TRUE(kmodel::RegistryGetValue(serialComm, u"\\Device\\Modem0", &value));
    EXPECT_EQ(value.data, kmodel::RegSz(u"COM6").data);

    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Modem0"), STATUS_SUCCESS);
    EXPECT_FALSE(kmodel::RegistryGetValue(serialComm, u"\\Device\\Modem0", &value));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Modem0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

// RtlWriteRegistryValue creates a key that does not exist yet under an
// existing one, as Microsoft documents.
TEST(Registry, WriteCreatesAMissingKey) {
    kmodel::System system;
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NEWMAP", u"Value", REG_DWORD, &one, sizeof(one)),
              STATUS_SUCCESS);
    kmodel::RegistryValue value;
    EXPECT_TRUE(kmodel::RegistryGetValue(std::u16string(kmodel::kDeviceMapPath) + u"\\NEWMAP", u"Value", &value));
}

std::u16string Format(ULONG value, ULONG base, USHORT maximumBytes, NTSTATUS* status) {
    WCHAR buffer[40];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING s{0, maximumBytes, buffer};
    *status = RtlIntegerToUnicodeString(value, base, &s);
    return NT_SUCCESS(*status) ? std::u16string(s.Buffer, s.Length / sizeof(WCHAR)) : u"";
}

TEST(Rtl, IntegerToUnicodeStringBasesAndBufferSizes) {
    kmodel::System system;
    NTSTATUS status;
    EXPECT_EQ(Format(255, 16, 64, &status), u"FF");
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Format(255, 8, 64, &status), u"377");
    EXPECT_EQ(Format(255, 2, 64, &status), u"11111111");
    EXPECT_EQ(Format(255, 10, 64, &status), u"255");
    EXPECT_EQ(Format(255, 0, 64, &status), u"255");  // 0 means decimal
    EXPECT_EQ(Format(0, 10, 64, &status), u"0");
    EXPECT_EQ(Format(4294967295u, 10, 64, &status), u"4294967295");
    Format(255, 7, 64, &status);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    Format(12345, 10, 4, &status);  // room for two characters
    EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW);

    // The result is NUL-terminated when there is room.
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING s{0, sizeof(buffer), buffer};
    ASSERT_EQ(RtlIntegerToUnicodeString(42, 10, &s), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 4u);
    EXPECT_EQ(buffer[2], u'\0');
}

// The routine produces a NUL-terminated string: a buffer with room for the
// digits but not for the terminator is too small.
TEST(Rtl, IntegerToUnicodeStringNeedsRoomForTheTerminator) {
    kmodel::System system;
    NTSTATUS status;
    Format(255, 10, 3 * sizeof(WCHAR), &status);
    EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW);
}

// ---- the object namespace -------------------------------------------------------

layers::StackOptions Named(const char16_t* name) {
    layers::StackOptions options;
    options.name = name;
    return options;
}

TEST(Namespace, LinkAndDeviceNamesCollide) {
    kmodel::System system;
    Stack stack(Named(u"\\Device\\Ns0"));
    UNICODE_STRING link = Us(u"\\DosDevices\\NS1");
    UNICODE_STRING target = Us(u"\\Device\\Ns0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
    UNICODE_STRING sameLink = Us(u"\\??\\ns1");
    EXPECT_EQ(IoCreateSymbolicLink(&sameLink, &target), STATUS_OBJECT_NAME_COLLISION);
    UNICODE_STRING deviceName = Us(u"\\DEVICE\\NS0");
    EXPECT_EQ(IoCreateSymbolicLink(&deviceName, &target), STATUS_OBJECT_NAME_COLLISION);

    PDEVICE_OBJECT second = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(IoCreateDevice(stack.driver, sizeof(layers::Extension), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(kmodel::LookupDevice(u"\\Device\\Ns0"), stack.Bottom());  // the first keeps the name
    EXPECT_EQ(stack.driver->DeviceObject, stack.Bottom());
    EXPECT_EQ(stack.Bottom()->NextDevice, nullptr);  // the failed one was never listed
}

TEST(Namespace, DosDevicesIsTheSameDirectoryAsQuestionMarksAndNamesIgnoreCase) {
    kmodel::System system;
    Stack stack(Named(u"\\Device\\Ns0"));
    UNICODE_STRING link = Us(u"\\??\\NS2");
    UNICODE_STRING target = Us(u"\\Device\\Ns0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    std::u16string seen;
    ASSERT_TRUE(kmodel::SymbolicLinkTarget(u"\\DosDevices\\ns2", &seen));
    EXPECT_EQ(seen, u"\\Device\\Ns0");
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\DosDevices\\Ns2", &file), STATUS_SUCCESS);
    EXPECT_EQ(file->DeviceObject, stack.Bottom());
    kmodel::io::CloseHandle(file);

    std::vector<std::u16string> listed = kmodel::ListDirectory(u"\\??");
    EXPECT_EQ(listed.size(), 1u);

    UNICODE_STRING otherCase = Us(u"\\DOSDEVICES\\ns2");
    EXPECT_EQ(IoDeleteSymbolicLink(&otherCase), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&otherCase), STATUS_OBJECT_NAME_NOT_FOUND);
    UNICODE_STRING never = Us(u"\\DosDevices\\NEVER");
    EXPECT_EQ(IoDeleteSymbolicLink(&never), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kmodel::io::Open(u"\\??\\NS2", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(kmodel::ListDirectory(u"\\??").empty());
}

// Listing \DosDevices lists \??, the same directory.
TEST(Namespace, ListingDosDevicesListsTheLinks) {
    kmodel::System system;
    Stack stack(Named(u"\\Device\\Ns0"));
    UNICODE_STRING link = Us(u"\\??\\NS3");
    UNICODE_STRING target = Us(u"\\Device\\Ns0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::ListDirectory(u"\\DosDevices").size(), 1u);
    EXPECT_EQ(kmodel::ListDirectory(u"\\DosDevices").size(), kmodel::ListDirectory(u"\\??").size());
}

}  // namespace
