// Request routing: cleanup, internal device controls, the deferral to
// PASSIVE_LEVEL, the I/O manager's default for majors the driver does not
// install, and opening and closing the port.
#include "driver_fixture.h"

namespace qvtest {
namespace {

using RoutingTest = DriverTest;

// Sends a request of any major function straight to the device object and
// waits for it, as a kernel-mode sender would.
NTSTATUS SendRequest(PDEVICE_OBJECT device, UCHAR major, ULONG code, ULONG_PTR* information = nullptr,
                     KIRQL irql = PASSIVE_LEVEL, NTSTATUS* returned = nullptr) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Information = 0xBAD;
    ULONG out = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, nullptr, 0, &out, sizeof(out), FALSE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    KIRQL old;
    KeRaiseIrql(irql, &old);
    NTSTATUS status = IoCallDriver(device, irp);
    KeLowerIrql(old);
    if (returned != nullptr) {
        *returned = status;
    }
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (information != nullptr) {
        *information = iosb.Information;
    }
    return status;
}

TEST_F(RoutingTest, CleanupAlwaysSucceedsWithNoInformation) {
    usbsim::Child* child = Plug(u"COM5");
    PDEVICE_EXTENSION pdx = Extension(child);
    for (LONG state : {LONG(Working), LONG(PendingRemove), LONG(SurpriseRemoved), LONG(Removed)}) {
        pdx->State = state;
        ULONG_PTR information;
        EXPECT_EQ(SendRequest(Fdo(child), IRP_MJ_CLEANUP, 0, &information), STATUS_SUCCESS) << state;
        EXPECT_EQ(information, 0u);
    }
    pdx->State = Working;
}

TEST_F(RoutingTest, MajorsTheDriverDoesNotInstallAreInvalidDeviceRequests) {
    usbsim::Child* child = Plug(u"COM5");
    for (UCHAR major : {UCHAR(IRP_MJ_QUERY_INFORMATION), UCHAR(IRP_MJ_SET_INFORMATION),
                        UCHAR(IRP_MJ_SYSTEM_CONTROL)}) {
        EXPECT_EQ(SendRequest(Fdo(child), major, 0), STATUS_INVALID_DEVICE_REQUEST) << int(major);
    }
}

TEST_F(RoutingTest, InternalControlsPassDownUntilRemovalBegins) {
    usbsim::Child* child = Plug(u"COM5");
    PDEVICE_EXTENSION pdx = Extension(child);
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    urb.UrbPipeRequest.PipeHandle = pdx->BulkInPipe;

    auto sendUrb = [&] {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Fdo(child), nullptr, 0, nullptr, 0,
                                                 TRUE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
        return IoCallDriver(Fdo(child), irp);
    };
    EXPECT_EQ(sendUrb(), STATUS_SUCCESS);
    ASSERT_EQ(usb.seen.size(), 1u);
    EXPECT_EQ(pdx->RemoveLock.Usage, 1);

    // Hold the removal open with a handle, then try again.
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
    kmodel::ModelThread pnp([&] { kmodel::RemoveDevice(child->node); });
    kmodel::WaitForQuiescence();
    size_t seen = usb.seen.size();
    EXPECT_EQ(sendUrb(), STATUS_DELETE_PENDING);
    EXPECT_EQ(usb.seen.size(), seen);
    kmodel::io::CloseHandle(file);
    pnp.Join();
}

TEST_F(RoutingTest, SerialControlAtDispatchLevelIsDeferredToAWorker) {
    usbsim::Child* child = Plug(u"COM5");
    size_t pool = DriverPool();
    NTSTATUS returned;
    NTSTATUS final = SendRequest(Fdo(child), IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_BAUD_RATE, nullptr,
                                 DISPATCH_LEVEL, &returned);
    EXPECT_EQ(returned, STATUS_PENDING);
    // The worker ran the passive routine, which completed the request.
    EXPECT_NE(final, STATUS_PENDING);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(DriverPool(), pool);  // the work-item record was freed
}

TEST_F(RoutingTest, DeferralWithoutPoolFailsTheRequest) {
    usbsim::Child* child = Plug(u"COM5");
    kmodel::FaultPlan plan;
    plan.driver = driver;
    plan.failNth = 1;
    kmodel::SetFaultPlan(plan);
    NTSTATUS returned;
    NTSTATUS final = SendRequest(Fdo(child), IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_BAUD_RATE, nullptr,
                                 DISPATCH_LEVEL, &returned);
    kmodel::ClearFaultPlan();
    EXPECT_EQ(returned, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(final, STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(RoutingTest, PassiveSerialControlAfterRemovalBeganIsRefused) {
    usbsim::Child* child = Plug(u"COM5");
    Extension(child)->RemoveLock.Removing = TRUE;
    NTSTATUS returned;
    EXPECT_EQ(SendRequest(Fdo(child), IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, PASSIVE_LEVEL,
                          &returned),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(returned, STATUS_DELETE_PENDING);  // completed at once, not deferred
    Extension(child)->RemoveLock.Removing = FALSE;
}

TEST_F(RoutingTest, OpenResetsThePipesAndCloseDropsLinesAndAbortsThem) {
    usbsim::Child* child = Plug(u"COM5");
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
    ASSERT_EQ(usb.Count(URB_FUNCTION_RESET_PIPE), 3u);
    const USBD_PIPE_HANDLE order[] = {Extension(child)->BulkInPipe, Extension(child)->BulkOutPipe,
                                      Extension(child)->InterruptPipe};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(usb.seen[i].function, URB_FUNCTION_RESET_PIPE);
        EXPECT_EQ(usb.seen[i].pipe, order[i]);
    }
    PFILE_OBJECT second;
    EXPECT_EQ(kmodel::io::Open(u"\\??\\COM5", &second), STATUS_ACCESS_DENIED);

    usb.seen.clear();
    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();
    ASSERT_EQ(usb.seen.size(), 4u);
    EXPECT_EQ(usb.seen[0].function, URB_FUNCTION_CLASS_INTERFACE);
    EXPECT_EQ(usb.seen[0].request, 0x22);  // SET_CONTROL_LINE_STATE
    EXPECT_EQ(usb.seen[0].requestType, 0x21);
    EXPECT_EQ(usb.seen[0].value, 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(usb.seen[i + 1].function, URB_FUNCTION_ABORT_PIPE);
        EXPECT_EQ(usb.seen[i + 1].pipe, order[i]);
    }
    EXPECT_EQ(Extension(child)->OpenCount, 0);
    EXPECT_EQ(Extension(child)->RemoveLock.Usage, 1);
    EXPECT_TRUE(Extension(child)->Closing);
}

TEST_F(RoutingTest, FailedPipeResetsDoNotFailTheOpen) {
    usbsim::Child* child = Plug(u"COM5");
    usb.status = STATUS_UNSUCCESSFUL;
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
    EXPECT_EQ(usb.Count(URB_FUNCTION_RESET_PIPE), 3u);
    EXPECT_EQ(Extension(child)->OpenCount, 1);
    kmodel::io::CloseHandle(file);
}

TEST_F(RoutingTest, OpenIsRefusedWhileTheStatusPipeKeepsFailingOrTheDeviceGoesAway) {
    usbsim::Child* child = Plug(u"COM5");
    PDEVICE_EXTENSION pdx = Extension(child);
    // Marked failing, and the recovery (an interrupt-pipe reset) fails too.
    pdx->DeviceErrorCode = DEVICE_ERROR_STATUS_PIPE_FAILED;
    usb.status = STATUS_UNSUCCESSFUL;
    PFILE_OBJECT file;
    EXPECT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pdx->OpenCount, 0);
    EXPECT_EQ(pdx->RemoveLock.Usage, 1);
    ASSERT_EQ(usb.seen.size(), 1u);
    EXPECT_EQ(usb.seen[0].function, URB_FUNCTION_RESET_PIPE);
    EXPECT_EQ(usb.seen[0].pipe, reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(kPipes.interrupt)));
    EXPECT_EQ(pdx->DeviceErrorCode, DEVICE_ERROR_STATUS_PIPE_FAILED);
    usb.status = STATUS_SUCCESS;
    pdx->DeviceErrorCode = 0;

    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_DELETE_PENDING);
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);

    // Stopped and PendingStop are not refused.
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
    kmodel::io::CloseHandle(file);
}

TEST_F(RoutingTest, CloseInARefusedStateKeepsTheBookkeepingButSendsNothing) {
    usbsim::Child* child = Plug(u"COM5");
    PDEVICE_EXTENSION pdx = Extension(child);
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    usb.seen.clear();
    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();
    EXPECT_TRUE(usb.seen.empty());
    EXPECT_EQ(pdx->OpenCount, 0);
    EXPECT_EQ(pdx->RemoveLock.Usage, 1);
    EXPECT_TRUE(pdx->Closing);
}

}  // namespace
}  // namespace qvtest
