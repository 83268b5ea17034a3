// The PnP and power managers as a function driver over the toy bus sees
// them: requested power IRPs and their callbacks, recorded power states,
// system transitions, device interfaces, and surprise removal with files
// still open.
#include <gtest/gtest.h>

#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include <kmodel/io.h>
#include <kmodel/pnp.h>
#include <kmodel/system.h>

#include "toy_drivers.h"

namespace {

struct Event {
    UCHAR major;
    UCHAR minor;
    int type;   // power: POWER_STATE_TYPE
    int state;  // power: the state asked for
    bool operator==(const Event&) const = default;
};

void PrintTo(const Event& e, std::ostream* os) {
    *os << "{major " << int(e.major) << ", minor " << int(e.minor) << ", type " << e.type << ", state " << e.state
        << "}";
}

Event Pnp(UCHAR minor) {
    return {IRP_MJ_PNP, minor, 0, 0};
}
Event SystemPower(UCHAR minor, SYSTEM_POWER_STATE state) {
    return {IRP_MJ_POWER, minor, SystemPowerState, state};
}
Event File(UCHAR major) {
    return {major, 0, 0, 0};
}

// The function driver's device extension.
struct Fn {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    std::vector<Event>* log;
    bool refuseQueryPower;
    bool refuseQueryRemove;
    PIRP heldRead;
};

std::vector<Event>* g_nextLog = nullptr;
std::u16string g_nextName;

Fn* FnOf(PDEVICE_OBJECT device) {
    return static_cast<Fn*>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI Signal(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI FnFile(PDEVICE_OBJECT device, PIRP irp) {
    Fn* fn = FnOf(device);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    fn->log->push_back(File(major));
    if (major == IRP_MJ_READ) {
        IoMarkIrpPending(irp);
        fn->heldRead = irp;
        return STATUS_PENDING;
    }
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI FnPnp(PDEVICE_OBJECT device, PIRP irp) {
    Fn* fn = FnOf(device);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    fn->log->push_back(Pnp(minor));
    switch (minor) {
    case IRP_MN_START_DEVICE: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Signal, &event, TRUE, TRUE, TRUE);
        IoCallDriver(fn->lower, irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return Complete(irp, irp->IoStatus.Status);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (fn->refuseQueryRemove) {
            return Complete(irp, STATUS_DEVICE_BUSY);
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        PDEVICE_OBJECT lower = fn->lower;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    default:
        break;
    }
    if (minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(fn->lower, irp);
}

NTSTATUS NTAPI FnPower(PDEVICE_OBJECT device, PIRP irp) {
    Fn* fn = FnOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    fn->log->push_back({IRP_MJ_POWER, sp->MinorFunction, sp->Parameters.Power.Type,
                        static_cast<int>(sp->Parameters.Power.State.SystemState)});
    PoStartNextPowerIrp(irp);
    if (sp->MinorFunction == IRP_MN_QUERY_POWER && fn->refuseQueryPower) {
        return Complete(irp, STATUS_UNSUCCESSFUL);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(fn->lower, irp);
}

NTSTATUS NTAPI FnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, g_nextName.c_str());
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Fn), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Fn* fn = FnOf(fdo);
    fn->self = fdo;
    fn->log = g_nextLog;
    fn->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FnEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ}) {
        driver->MajorFunction[major] = FnFile;
    }
    driver->MajorFunction[IRP_MJ_PNP] = FnPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FnPower;
    driver->DriverExtension->AddDevice = FnAddDevice;
    return STATUS_SUCCESS;
}

struct Plugged {
    PDEVICE_OBJECT pdo = nullptr;
    kmodel::DeviceNode* node = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    std::u16string name;
    std::vector<Event> log;
    Fn* fn() const { return FnOf(fdo); }
};

// The toy bus and the recording function driver, with devices plugged in
// and started one by one.
struct World {
    kmodel::System system;
    PDRIVER_OBJECT bus = nullptr;
    PDRIVER_OBJECT fn = nullptr;
    std::deque<Plugged> devices;

    World() {
        toy::bus = toy::BusCounters{};
        kmodel::LoadDriver(u"toybus", toy::BusEntry, &bus);
        kmodel::LoadDriver(u"fn", FnEntry, &fn);
    }
    Plugged& Plug() {
        Plugged& p = devices.emplace_back();
        std::u16string index = kmodel::ToU16(std::to_string(devices.size()));
        p.name = u"\\Device\\PnpFn" + index;
        p.pdo = toy::CreatePdo(bus);
        p.node = kmodel::ReportChildDevice(p.pdo, u"TOYBUS\\DEV_" + index + u"\\0");
        g_nextLog = &p.log;
        g_nextName = p.name;
        kmodel::AddFunctionDriver(p.node, fn);
        p.fdo = p.pdo->AttachedDevice;
        EXPECT_EQ(kmodel::StartDevice(p.node), STATUS_SUCCESS);
        return p;
    }
};

TEST(Pnp, RefusedQueryRemoveIsCancelledAndTheDeviceStays) {
    World world;
    Plugged& d = world.Plug();
    d.log.clear();
    d.fn()->refuseQueryRemove = true;
    EXPECT_EQ(kmodel::RemoveDevice(d.node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(d.log, (std::vector<Event>{Pnp(IRP_MN_QUERY_REMOVE_DEVICE), Pnp(IRP_MN_CANCEL_REMOVE_DEVICE)}));
    EXPECT_FALSE(kmodel::NodeRemoved(d.node));
    d.fn()->refuseQueryRemove = false;
    EXPECT_EQ(kmodel::RemoveDevice(d.node), STATUS_SUCCESS);
    EXPECT_TRUE(kmodel::NodeRemoved(d.node));
}

TEST(Pnp, SurpriseRemovalNowAndRemoveOnlyAfterTheLastFileIsClosed) {
    World world;
    Plugged& d = world.Plug();
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(d.name, &file), STATUS_SUCCESS);
    char buffer[4];
    kmodel::io::Request read;
    ASSERT_EQ(kmodel::io::Read(file, buffer, sizeof(buffer), &read), STATUS_PENDING);
    d.log.clear();

    kmodel::ReportDeviceMissing(d.node);
    EXPECT_EQ(d.log, (std::vector<Event>{Pnp(IRP_MN_SURPRISE_REMOVAL)}));
    EXPECT_FALSE(kmodel::NodeRemoved(d.node));

    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(d.log.back(), File(IRP_MJ_CLEANUP));  // the held read still references the file
    EXPECT_FALSE(kmodel::NodeRemoved(d.node));

    PIRP held = d.fn()->heldRead;
    Complete(held, STATUS_DEVICE_REMOVED);  // the device goes with the REMOVE_DEVICE this leads to
    kmodel::WaitForQuiescence();
    EXPECT_EQ(kmodel::io::Wait(&read), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(d.log, (std::vector<Event>{Pnp(IRP_MN_SURPRISE_REMOVAL), File(IRP_MJ_CLEANUP), File(IRP_MJ_CLOSE),
                                         Pnp(IRP_MN_REMOVE_DEVICE)}));
    EXPECT_TRUE(kmodel::NodeRemoved(d.node));
}

TEST(Pnp, SurpriseRemovalWithNothingOpenRemovesAtOnce) {
    World world;
    Plugged& d = world.Plug();
    d.log.clear();
    kmodel::ReportDeviceMissing(d.node);
    EXPECT_EQ(d.log, (std::vector<Event>{Pnp(IRP_MN_SURPRISE_REMOVAL), Pnp(IRP_MN_REMOVE_DEVICE)}));
    EXPECT_TRUE(kmodel::NodeRemoved(d.node));
}

// {4D36E978-E325-11CE-BFC1-08002BE10318}, the ports class, and another one.
const GUID kPorts = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kOther = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST(Pnp, EnabledInterfaceIsAnOpenableLinkListedForItsClass) {
    World world;
    Plugged& d = world.Plug();
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(d.pdo, &kPorts, nullptr, &link), STATUS_SUCCESS);
    std::u16string name = kmodel::FromUnicodeString(link);
    EXPECT_TRUE(kmodel::EnabledInterfaces(kPorts).empty());  // registered, not yet enabled
    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(d.pdo, &kPorts, nullptr, &again), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::FromUnicodeString(again), name);  // one interface per device and class
    RtlFreeUnicodeString(&again);

    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(kmodel::EnabledInterfaces(kPorts), std::vector<std::u16string>{name});
    EXPECT_TRUE(kmodel::EnabledInterfaces(kOther).empty());

    d.log.clear();
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(name, &file), STATUS_SUCCESS);
    EXPECT_EQ(d.log, std::vector<Event>{File(IRP_MJ_CREATE)});  // the top of the PDO's stack got it
    kmodel::io::CloseHandle(file);

    ASSERT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(kmodel::EnabledInterfaces(kPorts).empty());
    EXPECT_EQ(kmodel::io::Open(name, &file), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&link);
}

// ---- power ------------------------------------------------------------------

struct PowerCallback {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    PVOID context = nullptr;
    NTSTATUS status = STATUS_PENDING;

    static VOID NTAPI Run(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                          PIO_STATUS_BLOCK io) {
        auto* self = static_cast<PowerCallback*>(context);
        self->calls++;
        self->device = device;
        self->minor = minor;
        self->state = state;
        self->context = context;
        self->status = io->Status;
    }
};

TEST(Power, RequestedIrpReachesTheTopAndItsCallbackGetsTheFinalStatus) {
    for (NTSTATUS busStatus : {STATUS_SUCCESS, STATUS_DEVICE_POWER_FAILURE}) {
        World world;
        Plugged& d = world.Plug();
        d.log.clear();
        toy::bus.failPower = busStatus;
        PowerCallback cb;
        POWER_STATE d3;
        d3.DeviceState = PowerDeviceD3;
        EXPECT_EQ(PoRequestPowerIrp(d.pdo, IRP_MN_SET_POWER, d3, PowerCallback::Run, &cb, nullptr), STATUS_PENDING);
        kmodel::WaitForQuiescence();
        EXPECT_EQ(d.log, (std::vector<Event>{{IRP_MJ_POWER, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3}}));
        EXPECT_EQ(toy::bus.power, 1);
        EXPECT_EQ(cb.calls, 1);
        EXPECT_EQ(cb.device, d.pdo);
        EXPECT_EQ(cb.minor, IRP_MN_SET_POWER);
        EXPECT_EQ(cb.state.DeviceState, PowerDeviceD3);
        EXPECT_EQ(cb.context, &cb);
        EXPECT_EQ(cb.status, busStatus);
    }
}

TEST(Power, SetPowerStateRecordsAndReturnsThePreviousState) {
    World world;
    Plugged& d = world.Plug();
    POWER_STATE s;
    s.DeviceState = PowerDeviceD0;
    PoSetPowerState(d.fdo, DevicePowerState, s);
    s.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoSetPowerState(d.fdo, DevicePowerState, s).DeviceState, PowerDeviceD0);
    EXPECT_EQ(kmodel::RecordedDevicePowerState(d.fdo), PowerDeviceD3);
    s.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoSetPowerState(d.fdo, DevicePowerState, s).DeviceState, PowerDeviceD3);
    EXPECT_EQ(kmodel::RecordedDevicePowerState(d.fdo), PowerDeviceD0);
}

TEST(Power, SleepIsQueriedThenSetAndWakingIsOnlySet) {
    World world;
    Plugged& d = world.Plug();
    d.log.clear();
    EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::CurrentSystemPowerState(), PowerSystemSleeping3);
    EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::CurrentSystemPowerState(), PowerSystemWorking);
    EXPECT_EQ(d.log, (std::vector<Event>{SystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3),
                                         SystemPower(IRP_MN_SET_POWER, PowerSystemSleeping3),
                                         SystemPower(IRP_MN_SET_POWER, PowerSystemWorking)}));
}

// Microsoft documents that a normal shutdown is queried like a sleep state.
TEST(Power, NormalShutdownIsQueriedFirst) {
    World world;
    Plugged& d = world.Plug();
    d.log.clear();
    kmodel::SetSystemPowerState(PowerSystemShutdown);
    EXPECT_EQ(d.log, (std::vector<Event>{SystemPower(IRP_MN_QUERY_POWER, PowerSystemShutdown),
                                         SystemPower(IRP_MN_SET_POWER, PowerSystemShutdown)}));
}

TEST(Power, RefusedQueryAbortsTheTransition) {
    World world;
    Plugged& refusing = world.Plug();
    Plugged& accepting = world.Plug();
    accepting.log.clear();
    refusing.log.clear();
    refusing.fn()->refuseQueryPower = true;
    EXPECT_FALSE(NT_SUCCESS(kmodel::SetSystemPowerState(PowerSystemSleeping3)));
    EXPECT_EQ(kmodel::CurrentSystemPowerState(), PowerSystemWorking);
    for (const Plugged* d : {&accepting, &refusing}) {
        for (const Event& e : d->log) {
            EXPECT_FALSE(e == SystemPower(IRP_MN_SET_POWER, PowerSystemSleeping3));
        }
    }
    EXPECT_EQ(refusing.log.front(), SystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3));
    // A stack that accepted the query hears that the system stays working.
    if (!accepting.log.empty()) {
        EXPECT_EQ(accepting.log.front(), SystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3));
        EXPECT_EQ(accepting.log.back(), SystemPower(IRP_MN_SET_POWER, PowerSystemWorking));
    }
}

}  // namespace
