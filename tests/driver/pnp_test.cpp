// The Plug and Play state machine: every transition, what it publishes or
// takes down, capabilities, pass-through of unknown codes, and removal with
// and without an open handle.
#include "driver_fixture.h"

namespace qvtest {
namespace {

using PnpTest = DriverTest;

bool Published(DriverTest& t) {
    return t.LinkExists(u"\\DosDevices\\COM5") && t.SerialCommHas(u"\\Device\\QVSIMDM0");
}

bool InterfaceEnabled() {
    return !kmodel::EnabledInterfaces(GUID_INTERFACE_USBMODEM).empty();
}

TEST_F(PnpTest, StartCopiesPipeHandlesEnablesInterfaceAndWorks) {
    usbsim::Child* child = Plug(u"COM5");
    PDEVICE_EXTENSION pdx = Extension(child);
    EXPECT_EQ(pdx->State, Working);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(pdx->BulkInPipe), kPipes.bulkIn);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(pdx->BulkOutPipe), kPipes.bulkOut);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(pdx->InterruptPipe), kPipes.interrupt);
    EXPECT_TRUE(InterfaceEnabled());
    EXPECT_EQ(pdx->RemoveLock.Usage, 1);  // every PnP request gave its hold back
}

TEST_F(PnpTest, FailedStartLeavesStateAndIsCompletedWithTheBusStatus) {
    NTSTATUS status;
    usbsim::Child* child = AddChild(u"COM5", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    child->options.failStart = STATUS_DEVICE_NOT_READY;
    PDEVICE_EXTENSION pdx = Extension(child);
    ULONG_PTR information = 0;
    EXPECT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_START_DEVICE, &information), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(pdx->State, Stopped);
    EXPECT_FALSE(InterfaceEnabled());
    EXPECT_EQ(pdx->BulkInPipe, nullptr);
}

TEST_F(PnpTest, QueryStopStopAndRestartKeepTheNames) {
    usbsim::Child* child = Plug(u"COM5");
    PDEVICE_EXTENSION pdx = Extension(child);
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pdx->State, PendingStop);
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pdx->State, Working);

    ASSERT_EQ(kmodel::StopDevice(child->node), STATUS_SUCCESS);
    EXPECT_EQ(pdx->State, Stopped);
    EXPECT_TRUE(Published(*this));
    EXPECT_TRUE(InterfaceEnabled());  // a stop does not disable it; the registration stays

    ASSERT_EQ(kmodel::StartDevice(child->node), STATUS_SUCCESS);
    EXPECT_EQ(pdx->State, Working);
    EXPECT_TRUE(InterfaceEnabled());
}

TEST_F(PnpTest, QueryStopInStoppedAndCancelStopElsewhereOnlyPassDown) {
    NTSTATUS status;
    usbsim::Child* child = AddChild(u"COM5", &status);
    PDEVICE_EXTENSION pdx = Extension(child);
    size_t before = child->events.size();
    EXPECT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pdx->State, Stopped);
    EXPECT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pdx->State, Stopped);
    EXPECT_EQ(child->events.size(), before + 2);  // both reached the bus
}

// A stop without a query finds the device Working and takes the names and
// the interface registration down; a later start does not publish them
// again (nothing re-creates them while the device object lives), the port
// works but is not reachable by name until the device is added again.
TEST_F(PnpTest, UnqueriedStopTakesNamesDownAndRestartDoesNotRepublish) {
    usbsim::Child* child = Plug(u"COM5");
    PDEVICE_EXTENSION pdx = Extension(child);
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pdx->State, Stopped);
    EXPECT_FALSE(LinkExists(u"\\DosDevices\\COM5"));
    EXPECT_FALSE(SerialCommHas(u"\\Device\\QVSIMDM0"));
    EXPECT_FALSE(InterfaceEnabled());
    EXPECT_EQ(pdx->InterfaceName.Buffer, nullptr);

    ASSERT_EQ(kmodel::StartDevice(child->node), STATUS_SUCCESS);
    EXPECT_EQ(pdx->State, Working);
    EXPECT_FALSE(LinkExists(u"\\DosDevices\\COM5"));
    EXPECT_FALSE(InterfaceEnabled());

    ASSERT_EQ(kmodel::RemoveDevice(child->node), STATUS_SUCCESS);
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(DriverPool(), 0u);
}

TEST_F(PnpTest, CancelRemoveRestoresTheStateTheQueryFound) {
    NTSTATUS status;
    usbsim::Child* child = AddChild(u"COM5", &status);
    PDEVICE_EXTENSION pdx = Extension(child);
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pdx->State, PendingRemove);
    EXPECT_EQ(pdx->PrevState, Stopped);
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pdx->State, Stopped);

    ASSERT_EQ(kmodel::StartDevice(child->node), STATUS_SUCCESS);
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pdx->State, Working);
    // Cancel-remove outside PendingRemove only passes down.
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pdx->State, Working);
}

TEST_F(PnpTest, CapabilitiesAreAdjustedAndCopied) {
    usbsim::Child* child = Plug(u"COM5");
    child->options.deviceState[PowerSystemSleeping1] = PowerDeviceD2;
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(kmodel::QueryCapabilities(child->node, &caps), STATUS_SUCCESS);
    EXPECT_FALSE(caps.UniqueID);
    EXPECT_TRUE(caps.Removable);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD2);
    PDEVICE_EXTENSION pdx = Extension(child);
    EXPECT_EQ(std::memcmp(&pdx->DeviceCaps, &caps, sizeof(caps)), 0);

    // A failing bus changes nothing.
    child->options.failCapabilities = STATUS_UNSUCCESSFUL;
    child->options.deviceState[PowerSystemSleeping1] = PowerDeviceD3;
    EXPECT_EQ(kmodel::QueryCapabilities(child->node, &caps), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pdx->DeviceCaps.DeviceState[PowerSystemSleeping1], PowerDeviceD2);
}

TEST_F(PnpTest, CapabilitiesOfVersionZeroPassDownUntouched) {
    usbsim::Child* child = Plug(u"COM5");
    PDEVICE_EXTENSION pdx = Extension(child);
    DEVICE_CAPABILITIES before = pdx->DeviceCaps;
    // The bus answers, but the driver neither waits nor adjusts nor copies.
    PDEVICE_OBJECT top = kmodel::TopOfStack(child->node);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(0, top, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    sp->Parameters.DeviceCapabilities.Capabilities = &caps;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = IoCallDriver(top, irp);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(caps.UniqueID);      // as the bus said
    EXPECT_FALSE(caps.Removable);
    EXPECT_EQ(std::memcmp(&pdx->DeviceCaps, &before, sizeof(before)), 0);
}

TEST_F(PnpTest, MinorCodesFromLegacyBusInformationOnArePassedDown) {
    usbsim::Child* child = Plug(u"COM5");
    PDEVICE_EXTENSION pdx = Extension(child);
    for (UCHAR minor : {UCHAR(0x18), UCHAR(0x19), UCHAR(0xFF), UCHAR(0x07), UCHAR(0x13)}) {
        size_t before = child->events.size();
        EXPECT_EQ(kmodel::SendPnpRequest(child->node, minor), STATUS_NOT_SUPPORTED) << int(minor);
        ASSERT_EQ(child->events.size(), before + 1);
        EXPECT_EQ(child->events.back().minor, minor);
        EXPECT_EQ(pdx->RemoveLock.Usage, 1);
        EXPECT_EQ(pdx->State, Working);
    }
}

TEST_F(PnpTest, RemovalWithNoHandleCompletesAndTakesEverythingDown) {
    usbsim::Child* child = Plug(u"COM5");
    ASSERT_EQ(kmodel::RemoveDevice(child->node), STATUS_SUCCESS);
    EXPECT_EQ(child->pdo->AttachedDevice, nullptr);
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(DriverPool(), 0u);
    EXPECT_FALSE(LinkExists(u"\\DosDevices\\COM5"));
    EXPECT_FALSE(SerialCommHas(u"\\Device\\QVSIMDM0"));
    EXPECT_FALSE(InterfaceEnabled());
    kmodel::UnloadDriver(driver);
    driver = nullptr;
}

TEST_F(PnpTest, RemovalWithAnOpenHandleWaitsForItsClose) {
    usbsim::Child* child = Plug(u"COM5");
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
    PDEVICE_EXTENSION pdx = Extension(child);
    EXPECT_EQ(pdx->OpenCount, 1);
    EXPECT_EQ(pdx->RemoveLock.Usage, 2);

    NTSTATUS removal = STATUS_PENDING;
    kmodel::ModelThread pnp([&] { removal = kmodel::RemoveDevice(child->node); });
    kmodel::WaitForQuiescence();
    // The removal is blocked on the handle's hold; the device still exists.
    EXPECT_EQ(removal, STATUS_PENDING);
    EXPECT_EQ(DriverDevices(), 1u);
    EXPECT_EQ(pdx->State, Removed);
    EXPECT_FALSE(LinkExists(u"\\DosDevices\\COM5"));

    kmodel::io::CloseHandle(file);
    pnp.Join();
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(DriverPool(), 0u);
}

TEST_F(PnpTest, SurpriseRemovalTakesNamesDownAtOnceAndRemovalFollowsTheClose) {
    usbsim::Child* child = Plug(u"COM5");
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
    PDEVICE_EXTENSION pdx = Extension(child);
    bus->Unplug(child);
    EXPECT_EQ(pdx->State, SurpriseRemoved);
    EXPECT_FALSE(InterfaceEnabled());
    EXPECT_FALSE(LinkExists(u"\\DosDevices\\COM5"));
    EXPECT_FALSE(SerialCommHas(u"\\Device\\QVSIMDM0"));
    EXPECT_EQ(pdx->InterfaceName.Buffer, nullptr);
    EXPECT_FALSE(kmodel::NodeRemoved(child->node));

    // Requests on the open handle are refused from now on; cleanup is not.
    kmodel::io::Request request;
    EXPECT_EQ(kmodel::io::Simple(file, IRP_MJ_FLUSH_BUFFERS, &request), STATUS_DELETE_PENDING);
    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();
    EXPECT_TRUE(kmodel::NodeRemoved(child->node));
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(DriverPool(), 0u);
}

TEST_F(PnpTest, SurpriseRemovalOutsideWorkingLeavesNamesForTheRemoval) {
    NTSTATUS status;
    usbsim::Child* child = AddChild(u"COM5", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(Extension(child)->State, SurpriseRemoved);
    EXPECT_TRUE(LinkExists(u"\\DosDevices\\COM5"));
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    // Neither request found the device Working; the removal still takes the
    // names down, so no link or device-map entry outlives the device.
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(DriverPool(), 0u);
    EXPECT_FALSE(LinkExists(u"\\DosDevices\\COM5"));
    EXPECT_FALSE(SerialCommHas(u"\\Device\\QVSIMDM0"));
}

// The PnP paths allocate nothing of their own: with every pool and IRP
// allocation of the driver failing, the whole sequence still runs and leaves
// nothing behind.
TEST_F(PnpTest, PnpPathsRunWithPoolExhausted) {
    NTSTATUS status;
    usbsim::Child* child = AddChild(u"COM5", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    kmodel::FaultPlan plan;
    plan.driver = driver;
    plan.randomShare = 1.0;
    kmodel::SetFaultPlan(plan);
    const UCHAR sequence[] = {IRP_MN_START_DEVICE,        IRP_MN_QUERY_CAPABILITIES,   IRP_MN_QUERY_STOP_DEVICE,
                              IRP_MN_CANCEL_STOP_DEVICE,  IRP_MN_QUERY_STOP_DEVICE,    IRP_MN_STOP_DEVICE,
                              IRP_MN_START_DEVICE,        IRP_MN_QUERY_REMOVE_DEVICE,  IRP_MN_CANCEL_REMOVE_DEVICE,
                              IRP_MN_SURPRISE_REMOVAL,    IRP_MN_REMOVE_DEVICE};
    for (UCHAR minor : sequence) {
        if (minor == IRP_MN_QUERY_CAPABILITIES) {
            DEVICE_CAPABILITIES caps;
            EXPECT_EQ(kmodel::QueryCapabilities(child->node, &caps), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(kmodel::SendPnpRequest(child->node, minor), STATUS_SUCCESS) << int(minor);
        }
    }
    EXPECT_EQ(kmodel::CountedAllocations(), 0u);
    kmodel::ClearFaultPlan();
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(DriverPool(), 0u);
    EXPECT_FALSE(LinkExists(u"\\DosDevices\\COM5"));
}

}  // namespace
}  // namespace qvtest
