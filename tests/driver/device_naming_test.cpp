// Device creation and naming: numbered device names, the DOS name and the
// SERIALCOMM entry from PortName, the interface, and AddDevice failures
// leaving nothing behind.
#include "driver_fixture.h"

namespace qvtest {
namespace {

using NamingTest = DriverTest;

TEST_F(NamingTest, DevicesAreNumberedFromZeroAndNumbersAreNeverReused) {
    usbsim::Child* first = Plug(u"COM5");
    usbsim::Child* second = Plug(u"COM6");
    EXPECT_EQ(kmodel::LookupDevice(u"\\Device\\QVSIMDM0"), Fdo(first));
    EXPECT_EQ(kmodel::LookupDevice(u"\\Device\\QVSIMDM1"), Fdo(second));
    EXPECT_EQ(kmodel::FromUnicodeString(Extension(first)->DeviceName), u"\\Device\\QVSIMDM0");

    ASSERT_EQ(kmodel::RemoveDevice(first->node), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::LookupDevice(u"\\Device\\QVSIMDM0"), nullptr);
    usbsim::Child* third = Plug(u"COM5");
    EXPECT_EQ(kmodel::LookupDevice(u"\\Device\\QVSIMDM2"), Fdo(third));
}

TEST_F(NamingTest, PortNamePublishesDosNameSerialCommEntryAndInterface) {
    usbsim::Child* child = Plug(u"COM5");
    std::u16string target;
    ASSERT_TRUE(kmodel::SymbolicLinkTarget(u"\\DosDevices\\COM5", &target));
    EXPECT_EQ(target, u"\\Device\\QVSIMDM0");
    std::u16string data;
    ASSERT_TRUE(SerialCommHas(u"\\Device\\QVSIMDM0", &data));
    EXPECT_EQ(data, std::u16string(u"COM5") + u'\0');

    auto interfaces = kmodel::EnabledInterfaces(GUID_INTERFACE_USBMODEM);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0], kmodel::FromUnicodeString(Extension(child)->InterfaceName));

    PDEVICE_OBJECT fdo = Fdo(child);
    EXPECT_EQ(fdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(fdo->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    EXPECT_TRUE(fdo->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(fdo->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);
}

TEST_F(NamingTest, FreshDeviceStartsStoppedInD0WithCarrierAssumed) {
    NTSTATUS status;
    usbsim::Child* child = AddChild(u"COM5", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PDEVICE_EXTENSION pdx = Extension(child);
    EXPECT_EQ(pdx->State, Stopped);
    EXPECT_EQ(pdx->DevicePower, PowerDeviceD0);
    EXPECT_EQ(pdx->SystemPower, PowerSystemWorking);
    EXPECT_EQ(kmodel::RecordedDevicePowerState(Fdo(child)), PowerDeviceD0);
    EXPECT_FALSE(pdx->StatusSeen);
    EXPECT_TRUE(pdx->CarrierOn);
    EXPECT_EQ(pdx->RemoveLock.Usage, 1);
    EXPECT_EQ(pdx->PendingActionCount, 0);
    // Registered but not enabled until the device starts.
    EXPECT_TRUE(kmodel::EnabledInterfaces(GUID_INTERFACE_USBMODEM).empty());
}

TEST_F(NamingTest, MissingPortNameAddsNothing) {
    NTSTATUS status;
    usbsim::Child* child = AddChild(u"", &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(child->pdo->AttachedDevice, nullptr);
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(DriverPool(), 0u);
    EXPECT_EQ(kmodel::LookupDevice(u"\\Device\\QVSIMDM0"), nullptr);
    EXPECT_TRUE(kmodel::RegistryEnumValues(std::u16string(kmodel::kDeviceMapPath) + u"\\SERIALCOMM").empty());
}

TEST_F(NamingTest, TakenDosNameFailsAddDeviceAndLeavesTheOtherPortAlone) {
    usbsim::Child* first = Plug(u"COM5");
    NTSTATUS status;
    usbsim::Child* second = AddChild(u"COM5", &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second->pdo->AttachedDevice, nullptr);
    EXPECT_EQ(DriverDevices(), 1u);
    std::u16string target;
    ASSERT_TRUE(kmodel::SymbolicLinkTarget(u"\\DosDevices\\COM5", &target));
    EXPECT_EQ(target, u"\\Device\\QVSIMDM0");
    EXPECT_TRUE(SerialCommHas(u"\\Device\\QVSIMDM0"));
    EXPECT_FALSE(SerialCommHas(u"\\Device\\QVSIMDM1"));
    EXPECT_EQ(kmodel::LookupDevice(u"\\Device\\QVSIMDM1"), nullptr);
    ASSERT_EQ(kmodel::RemoveDevice(first->node), STATUS_SUCCESS);
    EXPECT_EQ(DriverPool(), 0u);
}

// A PortName too long for the driver's query buffer fails the query itself;
// an empty one gives no name to build from.
TEST_F(NamingTest, PortNameTooLongOrEmptyIsRefused) {
    NTSTATUS status;
    AddChild(std::u16string(80, u'X'), &status);  // 162 bytes with its NUL
    EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW);

    usbsim::Child* empty = bus->AddChild(u"USB\\VID_1234&PID_5678\\98", u"", &usb, kPipes);
    kmodel::RegistrySetValue(kmodel::HardwareKeyPath(empty->node), u"PortName", kmodel::RegSz(u""));
    EXPECT_EQ(kmodel::AddFunctionDriver(empty->node, driver), STATUS_OBJECT_NAME_INVALID);

    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(DriverPool(), 0u);
    EXPECT_TRUE(kmodel::RegistryEnumValues(std::u16string(kmodel::kDeviceMapPath) + u"\\SERIALCOMM").empty());
}

// Data without its own NUL still ends inside the zero-filled name buffer.
TEST_F(NamingTest, PortNameWithoutNulIsTakenAsItStands) {
    usbsim::Child* child = bus->AddChild(u"USB\\VID_1234&PID_5678\\99", u"", &usb, kPipes);
    kmodel::RegistryValue raw;
    raw.type = REG_SZ;
    for (char16_t c : std::u16string(u"COM7")) {
        raw.data.push_back(static_cast<uint8_t>(c));
        raw.data.push_back(0);
    }
    kmodel::RegistrySetValue(kmodel::HardwareKeyPath(child->node), u"PortName", raw);
    ASSERT_EQ(kmodel::AddFunctionDriver(child->node, driver), STATUS_SUCCESS);
    EXPECT_TRUE(LinkExists(u"\\DosDevices\\COM7"));
    std::u16string data;
    ASSERT_TRUE(SerialCommHas(kmodel::FromUnicodeString(Extension(child)->DeviceName), &data));
    EXPECT_EQ(data, std::u16string(u"COM7") + u'\0');
}

TEST_F(NamingTest, LongPortNameIsAccepted) {
    std::u16string name(60, u'P');
    usbsim::Child* child = Plug(name);
    EXPECT_TRUE(LinkExists(u"\\DosDevices\\" + name));
    ASSERT_EQ(kmodel::RemoveDevice(child->node), STATUS_SUCCESS);
}

// Each allocation of AddDevice failed in turn: the right status, and no
// device object, name, link, registry value or pool left behind.
TEST_F(NamingTest, LowResourcesSweepOverAddDevice) {
    int failures = 0;
    for (uint64_t k = 1; k < 64; ++k) {
        kmodel::FaultPlan plan;
        plan.driver = driver;
        plan.failNth = k;
        kmodel::SetFaultPlan(plan);
        NTSTATUS status;
        usbsim::Child* child = AddChild(u"COM5", &status);
        bool failed = kmodel::FailedAllocations() != 0;
        kmodel::ClearFaultPlan();
        if (!failed) {
            ASSERT_EQ(status, STATUS_SUCCESS);
            ASSERT_EQ(kmodel::StartDevice(child->node), STATUS_SUCCESS);
            ASSERT_EQ(kmodel::RemoveDevice(child->node), STATUS_SUCCESS);
            break;
        }
        ++failures;
        SCOPED_TRACE(k);
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(child->pdo->AttachedDevice, nullptr);
        EXPECT_EQ(DriverDevices(), 0u);
        EXPECT_EQ(DriverPool(), 0u);
        EXPECT_FALSE(LinkExists(u"\\DosDevices\\COM5"));
        EXPECT_TRUE(kmodel::RegistryEnumValues(std::u16string(kmodel::kDeviceMapPath) + u"\\SERIALCOMM").empty());
        EXPECT_TRUE(kmodel::EnabledInterfaces(GUID_INTERFACE_USBMODEM).empty());
    }
    // Name buffers, the device object, the registry query, the interface name.
    EXPECT_GE(failures, 8);
    EXPECT_EQ(DriverPool(), 0u);
}

}  // namespace
}  // namespace qvtest
