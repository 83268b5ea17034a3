// The serial comm API against a scripted serial driver: the exact device
// controls each call sends, the DCB and COMSTAT built from the driver's
// records and back, SetCommState's restore after a failure, WaitCommEvent
// overlapped and not, BuildCommDCB, and finding the port through the
// SERIALCOMM device map and through its device interface.
//
// The scripted driver records every device control and its input, answers
// GETs from the state the SETs left, and can be told to fail a request, to
// answer one with no data, or to complete one later from another processor.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <kmodel/pnp.h>
#include <kmodel/system.h>
#include <ntddser.h>

#include <win32/setupapi.h>
#include <win32/win32sim.h>
#include <win32/windows.h>

#include "toy_drivers.h"

namespace {

// GUID_DEVINTERFACE_COMPORT's value; the symbol itself belongs to the driver.
constexpr GUID kComPort = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
constexpr GUID kOtherClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr const char16_t* kDeviceName = u"\\Device\\ScriptedSerial0";
constexpr const char16_t* kInstancePath = u"TOYBUS\\SERIAL_1\\0";

// ---- the scripted serial driver ----------------------------------------------------------

struct Call {
    ULONG code;
    std::vector<uint8_t> input;
    ULONG outputLength;
};

struct Port {
    kmodel::Mutex mutex;
    std::vector<Call> calls;

    SERIAL_BAUD_RATE baud{9600};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_CHARS chars{0x1A, 0x3F, 0x7E, 0x0D, 0x11, 0x13};  // Eof, Error, Break, Event, Xon, Xoff
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512};
    SERIAL_TIMEOUTS timeouts{};
    SERIAL_QUEUE_SIZE queue{};
    SERIAL_STATUS status{};
    SERIAL_COMMPROP properties{};
    ULONG waitMask = 0;
    ULONG modemStatus = 0;
    ULONG purged = 0;
    UCHAR immediate = 0;
    bool dtr = false;
    bool rts = false;
    bool breakOn = false;
    bool xoff = false;
    int resets = 0;
    int creates = 0;

    std::map<ULONG, std::deque<NTSTATUS>> failures;  // the next requests of a code fail with these
    std::set<ULONG> answerEmpty;                     // succeed with no data
    std::set<ULONG> completeLater;                   // pend, completed from a system thread
    NTSTATUS readStatus = STATUS_SUCCESS;
    PIRP heldWait = nullptr;
};

Port* port = nullptr;

struct SerialExtension {
    PDEVICE_OBJECT lower;
    UNICODE_STRING interfaceLink;
};

SerialExtension* Ext(PDEVICE_OBJECT device) {
    return static_cast<SerialExtension*>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI CancelWait(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard<kmodel::Mutex> guard(port->mutex);
        if (port->heldWait == irp) {
            port->heldWait = nullptr;
        }
    }
    Complete(irp, STATUS_CANCELLED, 0);
}

// The held wait, if its cancel routine can still be taken back.
PIRP TakeHeldWaitLocked() {
    PIRP irp = port->heldWait;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) {
        return nullptr;  // none, or being cancelled: the cancel routine completes it
    }
    port->heldWait = nullptr;
    return irp;
}

void CompleteWait(PIRP irp, NTSTATUS status, ULONG events) {
    if (irp == nullptr) {
        return;
    }
    if (status == STATUS_SUCCESS) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, &events, sizeof(events));
        Complete(irp, status, sizeof(events));
    } else {
        Complete(irp, status, 0);
    }
}

NTSTATUS HoldWait(PIRP irp, std::unique_lock<kmodel::Mutex>& lock) {
    if (port->heldWait != nullptr) {
        lock.unlock();
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);  // one wait at a time
    }
    IoMarkIrpPending(irp);
    port->heldWait = irp;
    IoSetCancelRoutine(irp, CancelWait);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        port->heldWait = nullptr;
        lock.unlock();
        Complete(irp, STATUS_CANCELLED, 0);
    }
    return STATUS_PENDING;
}

template <typename T>
bool TakeInput(PIRP irp, ULONG inputLength, T* value) {
    if (inputLength < sizeof(T)) {
        return false;
    }
    std::memcpy(value, irp->AssociatedIrp.SystemBuffer, sizeof(T));
    return true;
}

struct Answer {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
};

template <typename T>
Answer Give(PIRP irp, ULONG outputLength, const T& value) {
    if (outputLength < sizeof(T)) {
        return {STATUS_BUFFER_TOO_SMALL, 0};
    }
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof(T));
    return {STATUS_SUCCESS, sizeof(T)};
}

template <typename T>
Answer Store(PIRP irp, ULONG inputLength, T* field) {
    return TakeInput(irp, inputLength, field) ? Answer{} : Answer{STATUS_BUFFER_TOO_SMALL, 0};
}

// Everything but WAIT_ON_MASK, under the port's lock. `wake` is a held wait
// that a new wait mask completes, as serial drivers do.
Answer Serve(PIRP irp, ULONG code, ULONG in, ULONG out, PIRP* wake) {
    Port& p = *port;
    switch (code) {
    case IOCTL_SERIAL_GET_BAUD_RATE: return Give(irp, out, p.baud);
    case IOCTL_SERIAL_GET_LINE_CONTROL: return Give(irp, out, p.line);
    case IOCTL_SERIAL_GET_CHARS: return Give(irp, out, p.chars);
    case IOCTL_SERIAL_GET_HANDFLOW: return Give(irp, out, p.handflow);
    case IOCTL_SERIAL_GET_TIMEOUTS: return Give(irp, out, p.timeouts);
    case IOCTL_SERIAL_GET_WAIT_MASK: return Give(irp, out, p.waitMask);
    case IOCTL_SERIAL_GET_MODEMSTATUS: return Give(irp, out, p.modemStatus);
    case IOCTL_SERIAL_GET_PROPERTIES: return Give(irp, out, p.properties);
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        Answer answer = Give(irp, out, p.status);
        p.status.Errors = 0;  // reported once
        return answer;
    }
    case IOCTL_SERIAL_SET_BAUD_RATE: return Store(irp, in, &p.baud);
    case IOCTL_SERIAL_SET_LINE_CONTROL: return Store(irp, in, &p.line);
    case IOCTL_SERIAL_SET_CHARS: return Store(irp, in, &p.chars);
    case IOCTL_SERIAL_SET_HANDFLOW: return Store(irp, in, &p.handflow);
    case IOCTL_SERIAL_SET_TIMEOUTS: return Store(irp, in, &p.timeouts);
    case IOCTL_SERIAL_SET_QUEUE_SIZE: return Store(irp, in, &p.queue);
    case IOCTL_SERIAL_PURGE: return Store(irp, in, &p.purged);
    case IOCTL_SERIAL_IMMEDIATE_CHAR: return Store(irp, in, &p.immediate);
    case IOCTL_SERIAL_SET_WAIT_MASK: {
        Answer answer = Store(irp, in, &p.waitMask);
        *wake = TakeHeldWaitLocked();
        return answer;
    }
    case IOCTL_SERIAL_SET_DTR: p.dtr = true; return {};
    case IOCTL_SERIAL_CLR_DTR: p.dtr = false; return {};
    case IOCTL_SERIAL_SET_RTS: p.rts = true; return {};
    case IOCTL_SERIAL_CLR_RTS: p.rts = false; return {};
    case IOCTL_SERIAL_SET_BREAK_ON: p.breakOn = true; return {};
    case IOCTL_SERIAL_SET_BREAK_OFF: p.breakOn = false; return {};
    case IOCTL_SERIAL_SET_XOFF: p.xoff = true; return {};
    case IOCTL_SERIAL_SET_XON: p.xoff = false; return {};
    case IOCTL_SERIAL_RESET_DEVICE: p.resets++; return {};
    default: return {STATUS_INVALID_PARAMETER, 0};
    }
}

NTSTATUS NTAPI SerialControl(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    std::unique_lock<kmodel::Mutex> lock(port->mutex);
    const auto* input = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    port->calls.push_back(Call{code, std::vector<uint8_t>(input, input + in), out});

    Answer answer;
    PIRP wake = nullptr;
    auto failure = port->failures.find(code);
    if (failure != port->failures.end() && !failure->second.empty()) {
        answer = {failure->second.front(), 0};
        failure->second.pop_front();
    } else if (code == IOCTL_SERIAL_WAIT_ON_MASK) {
        if (out < sizeof(ULONG)) {
            lock.unlock();
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        return HoldWait(irp, lock);
    } else {
        answer = Serve(irp, code, in, out, &wake);
        if (NT_SUCCESS(answer.status) && port->answerEmpty.count(code) != 0) {
            answer.information = 0;
        }
    }
    bool later = port->completeLater.count(code) != 0;
    lock.unlock();

    CompleteWait(wake, STATUS_SUCCESS, 0);
    if (later) {
        IoMarkIrpPending(irp);
        kmodel::QueueSystemWork([irp, answer] { Complete(irp, answer.status, answer.information); },
                                DISPATCH_LEVEL);
        return STATUS_PENDING;
    }
    return Complete(irp, answer.status, answer.information);
}

// Reads end at once with the scripted status and no data.
NTSTATUS NTAPI SerialRead(PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status;
    {
        std::lock_guard<kmodel::Mutex> guard(port->mutex);
        status = port->readStatus;
    }
    return Complete(irp, status, 0);
}

NTSTATUS NTAPI SerialCreate(PDEVICE_OBJECT, PIRP irp) {
    {
        std::lock_guard<kmodel::Mutex> guard(port->mutex);
        port->creates++;
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

// A wait still held when the application closes ends as cancelled.
NTSTATUS NTAPI SerialCleanup(PDEVICE_OBJECT, PIRP irp) {
    PIRP held;
    {
        std::lock_guard<kmodel::Mutex> guard(port->mutex);
        held = TakeHeldWaitLocked();
    }
    CompleteWait(held, STATUS_CANCELLED, 0);
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI SerialClose(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI SerialPnp(PDEVICE_OBJECT device, PIRP irp) {
    SerialExtension* ext = Ext(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
        IoCallDriver(ext->lower, irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        if (NT_SUCCESS(status)) {
            IoSetDeviceInterfaceState(&ext->interfaceLink, TRUE);
        }
        return Complete(irp, status, 0);
    }
    case IRP_MN_REMOVE_DEVICE: {
        IoSetDeviceInterfaceState(&ext->interfaceLink, FALSE);
        RtlFreeUnicodeString(&ext->interfaceLink);
        UNICODE_STRING dosName;
        RtlInitUnicodeString(&dosName, u"\\DosDevices\\COM5");
        IoDeleteSymbolicLink(&dosName);
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", kDeviceName);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(ext->lower, irp);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        return status;
    }
    default:
        if (sp->MinorFunction <= IRP_MN_CANCEL_STOP_DEVICE || sp->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->lower, irp);
    }
}

NTSTATUS NTAPI SerialPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device)->lower, irp);
}

// COM5, listed in the SERIALCOMM device map and under the ports interface.
NTSTATUS NTAPI SerialAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kDeviceName);
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(SerialExtension), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SerialExtension* ext = Ext(fdo);
    UNICODE_STRING dosName;
    RtlInitUnicodeString(&dosName, u"\\DosDevices\\COM5");
    status = IoCreateSymbolicLink(&dosName, &name);
    if (NT_SUCCESS(status)) {
        status = IoRegisterDeviceInterface(pdo, &kComPort, nullptr, &ext->interfaceLink);
    }
    if (!NT_SUCCESS(status)) {
        IoDeleteSymbolicLink(&dosName);
        IoDeleteDevice(fdo);
        return status;
    }
    WCHAR portName[] = u"COM5";
    RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", kDeviceName, REG_SZ, portName, sizeof(portName));
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SerialEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = SerialCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = SerialCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = SerialClose;
    driver->MajorFunction[IRP_MJ_READ] = SerialRead;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SerialControl;
    driver->MajorFunction[IRP_MJ_PNP] = SerialPnp;
    driver->MajorFunction[IRP_MJ_POWER] = SerialPower;
    driver->DriverExtension->AddDevice = SerialAddDevice;
    return STATUS_SUCCESS;
}

// ---- naming requests in assertions ----------------------------------------------------------

std::string NameOf(ULONG code) {
    static const std::map<ULONG, std::string> kNames = {
        {IOCTL_SERIAL_SET_BAUD_RATE, "SET_BAUD_RATE"},
        {IOCTL_SERIAL_SET_QUEUE_SIZE, "SET_QUEUE_SIZE"},
        {IOCTL_SERIAL_SET_LINE_CONTROL, "SET_LINE_CONTROL"},
        {IOCTL_SERIAL_SET_BREAK_ON, "SET_BREAK_ON"},
        {IOCTL_SERIAL_SET_BREAK_OFF, "SET_BREAK_OFF"},
        {IOCTL_SERIAL_IMMEDIATE_CHAR, "IMMEDIATE_CHAR"},
        {IOCTL_SERIAL_SET_TIMEOUTS, "SET_TIMEOUTS"},
        {IOCTL_SERIAL_GET_TIMEOUTS, "GET_TIMEOUTS"},
        {IOCTL_SERIAL_SET_DTR, "SET_DTR"},
        {IOCTL_SERIAL_CLR_DTR, "CLR_DTR"},
        {IOCTL_SERIAL_RESET_DEVICE, "RESET_DEVICE"},
        {IOCTL_SERIAL_SET_RTS, "SET_RTS"},
        {IOCTL_SERIAL_CLR_RTS, "CLR_RTS"},
        {IOCTL_SERIAL_SET_XOFF, "SET_XOFF"},
        {IOCTL_SERIAL_SET_XON, "SET_XON"},
        {IOCTL_SERIAL_GET_WAIT_MASK, "GET_WAIT_MASK"},
        {IOCTL_SERIAL_SET_WAIT_MASK, "SET_WAIT_MASK"},
        {IOCTL_SERIAL_WAIT_ON_MASK, "WAIT_ON_MASK"},
        {IOCTL_SERIAL_PURGE, "PURGE"},
        {IOCTL_SERIAL_GET_BAUD_RATE, "GET_BAUD_RATE"},
        {IOCTL_SERIAL_GET_LINE_CONTROL, "GET_LINE_CONTROL"},
        {IOCTL_SERIAL_GET_CHARS, "GET_CHARS"},
        {IOCTL_SERIAL_SET_CHARS, "SET_CHARS"},
        {IOCTL_SERIAL_GET_HANDFLOW, "GET_HANDFLOW"},
        {IOCTL_SERIAL_SET_HANDFLOW, "SET_HANDFLOW"},
        {IOCTL_SERIAL_GET_MODEMSTATUS, "GET_MODEMSTATUS"},
        {IOCTL_SERIAL_GET_COMMSTATUS, "GET_COMMSTATUS"},
        {IOCTL_SERIAL_GET_PROPERTIES, "GET_PROPERTIES"},
    };
    auto it = kNames.find(code);
    return it != kNames.end() ? it->second : "0x" + std::to_string(code);
}

using Names = std::vector<std::string>;

const Names kGetState = {"GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS", "GET_HANDFLOW"};

Names Join(std::initializer_list<Names> parts) {
    Names all;
    for (const Names& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

constexpr LSTATUS kRegOk = ERROR_SUCCESS;

// ---- the fixture ---------------------------------------------------------------------------

class CommApi : public ::testing::Test {
protected:
    void SetUp() override {
        handlesBefore_ = win32sim::OpenHandleCount();
        requestsBefore_ = win32sim::TrackedRequestCount();
        state_ = std::make_unique<Port>();
        port = state_.get();
        toy::bus = toy::BusCounters{};
        ASSERT_EQ(kmodel::LoadDriver(u"toybus", toy::BusEntry, &busDriver_), STATUS_SUCCESS);
        ASSERT_EQ(kmodel::LoadDriver(u"scriptedserial", SerialEntry, &serialDriver_), STATUS_SUCCESS);
        pdo_ = toy::CreatePdo(busDriver_);
        node_ = kmodel::ReportChildDevice(pdo_, kInstancePath);
        ASSERT_EQ(kmodel::AddFunctionDriver(node_, serialDriver_), STATUS_SUCCESS);
        ASSERT_EQ(kmodel::StartDevice(node_), STATUS_SUCCESS);
    }

    void TearDown() override {
        if (file != nullptr && file != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(file));
        }
        kmodel::WaitForQuiescence();
        EXPECT_EQ(win32sim::OpenHandleCount(), handlesBefore_);
        EXPECT_EQ(win32sim::TrackedRequestCount(), requestsBefore_);
        if (node_ != nullptr) {
            kmodel::RemoveDevice(node_);
        }
        if (pdo_ != nullptr) {
            IoDeleteDevice(pdo_);
        }
        if (serialDriver_ != nullptr) {
            kmodel::UnloadDriver(serialDriver_);
        }
        if (busDriver_ != nullptr) {
            kmodel::UnloadDriver(busDriver_);
        }
        EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);
        port = nullptr;
    }

    // Opens COM5 as the test's handle; the calls it took to open are forgotten.
    void OpenPort(DWORD flags = 0) {
        file = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
    }

    static Names Sent() {
        std::lock_guard<kmodel::Mutex> guard(port->mutex);
        Names names;
        for (const Call& call : port->calls) {
            names.push_back(NameOf(call.code));
        }
        return names;
    }

    static void Forget() {
        std::lock_guard<kmodel::Mutex> guard(port->mutex);
        port->calls.clear();
    }

    static Call CallAt(size_t index) {
        std::lock_guard<kmodel::Mutex> guard(port->mutex);
        return port->calls.at(index);
    }

    // The input of the index-th request, as the record it carries.
    template <typename T>
    static T InputAt(size_t index) {
        Call call = CallAt(index);
        EXPECT_EQ(call.input.size(), sizeof(T)) << NameOf(call.code);
        T value{};
        std::memcpy(&value, call.input.data(), std::min(call.input.size(), sizeof(T)));
        return value;
    }

    static void FailNext(ULONG code, NTSTATUS status) {
        std::lock_guard<kmodel::Mutex> guard(port->mutex);
        port->failures[code].push_back(status);
    }

    // Completes the held WAIT_ON_MASK with `events` from a system thread, as
    // hardware would, and lets everything it wakes run.
    static void FireEvents(ULONG events) {
        kmodel::QueueSystemWork(
            [events] {
                PIRP irp;
                {
                    std::lock_guard<kmodel::Mutex> guard(port->mutex);
                    irp = TakeHeldWaitLocked();
                }
                CompleteWait(irp, STATUS_SUCCESS, events);
            },
            DISPATCH_LEVEL);
        kmodel::WaitForQuiescence();
    }

    static bool WaitIsHeld() {
        std::lock_guard<kmodel::Mutex> guard(port->mutex);
        return port->heldWait != nullptr;
    }

    kmodel::System system;
    HANDLE file = nullptr;

private:
    std::unique_ptr<Port> state_;
    PDRIVER_OBJECT busDriver_ = nullptr;
    PDRIVER_OBJECT serialDriver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    kmodel::DeviceNode* node_ = nullptr;
    size_t handlesBefore_ = 0;
    size_t requestsBefore_ = 0;
};

// A DCB with every member set to something a test can recognise.
DCB SampleDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_57600;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 300;
    dcb.XoffLim = 400;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = 0x21;
    dcb.XoffChar = 0x22;
    dcb.ErrorChar = 0x23;
    dcb.EofChar = 0x24;
    dcb.EvtChar = 0x25;
    return dcb;
}

// ---- GetCommState ---------------------------------------------------------------------------

TEST_F(CommApi, GetCommStateReadsTheFourRecords) {
    OpenPort();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(file, &dcb));
    EXPECT_EQ(Sent(), kGetState);
    for (size_t i = 0; i < kGetState.size(); ++i) {
        EXPECT_TRUE(CallAt(i).input.empty());
    }
    EXPECT_EQ(CallAt(0).outputLength, sizeof(SERIAL_BAUD_RATE));
    EXPECT_EQ(CallAt(1).outputLength, sizeof(SERIAL_LINE_CONTROL));
    EXPECT_EQ(CallAt(2).outputLength, sizeof(SERIAL_CHARS));
    EXPECT_EQ(CallAt(3).outputLength, sizeof(SERIAL_HANDFLOW));
}

TEST_F(CommApi, GetCommStateBuildsTheDcbFromTheRecords) {
    port->baud.BaudRate = 19200;
    port->line = SERIAL_LINE_CONTROL{STOP_BITS_1_5, MARK_PARITY, 6};
    port->chars = SERIAL_CHARS{0x04, 0x3F, 0x7E, 0x0A, 0x51, 0x53};
    port->handflow.ControlHandShake =
        SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT;
    port->handflow.FlowReplace = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR |
                                 SERIAL_NULL_STRIPPING | SERIAL_TRANSMIT_TOGGLE | SERIAL_XOFF_CONTINUE;
    port->handflow.XonLimit = 100;
    port->handflow.XoffLimit = 200;
    OpenPort();
    DCB dcb;
    std::memset(&dcb, 0xA5, sizeof(dcb));
    ASSERT_TRUE(GetCommState(file, &dcb));

    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fDsrSensitivity, 1u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fErrorChar, 1u);
    EXPECT_EQ(dcb.fNull, 1u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
    EXPECT_EQ(dcb.fAbortOnError, 1u);
    EXPECT_EQ(dcb.XonLim, 100);
    EXPECT_EQ(dcb.XoffLim, 200);
    EXPECT_EQ(dcb.ByteSize, 6);
    EXPECT_EQ(dcb.Parity, MARKPARITY);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    EXPECT_EQ(dcb.XonChar, 0x51);
    EXPECT_EQ(dcb.XoffChar, 0x53);
    EXPECT_EQ(dcb.ErrorChar, 0x3F);
    EXPECT_EQ(dcb.EofChar, 0x04);
    EXPECT_EQ(dcb.EvtChar, 0x0A);
}

TEST_F(CommApi, GetCommStateWithNoHandshakeClearsEveryFlag) {
    port->handflow = SERIAL_HANDFLOW{0, 0, 0, 0};
    OpenPort();
    DCB dcb;
    std::memset(&dcb, 0xFF, sizeof(dcb));
    ASSERT_TRUE(GetCommState(file, &dcb));
    EXPECT_EQ(dcb.fOutxCtsFlow | dcb.fOutxDsrFlow | dcb.fDsrSensitivity | dcb.fTXContinueOnXoff | dcb.fOutX |
                  dcb.fInX | dcb.fErrorChar | dcb.fNull | dcb.fAbortOnError,
              0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(dcb.XonLim, 0);
}

struct LineCase {
    ULONG dtrBits;
    ULONG rtsBits;
    DWORD dtrControl;
    DWORD rtsControl;
    Names lines;  // what SetCommState sends between SET_BAUD_RATE and SET_LINE_CONTROL
};

const LineCase kLineCases[] = {
    {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, {"SET_RTS", "SET_DTR"}},
    {0, 0, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, {"CLR_RTS", "CLR_DTR"}},
    {SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, {}},
    {SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE, DTR_CONTROL_ENABLE, RTS_CONTROL_TOGGLE, {"SET_DTR"}},
    {0, SERIAL_RTS_HANDSHAKE, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, {"CLR_DTR"}},
    {SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE, {"SET_RTS"}},
};

TEST_F(CommApi, GetCommStateReadsTheLineControlsFromTheHandflow) {
    OpenPort();
    for (const LineCase& c : kLineCases) {
        port->handflow.ControlHandShake = c.dtrBits;
        port->handflow.FlowReplace = c.rtsBits;
        DCB dcb{};
        ASSERT_TRUE(GetCommState(file, &dcb));
        EXPECT_EQ(dcb.fDtrControl, c.dtrControl);
        EXPECT_EQ(dcb.fRtsControl, c.rtsControl);
    }
}

// ---- SetCommState ---------------------------------------------------------------------------

TEST_F(CommApi, SetCommStateReadsFirstThenSetsInWindowsOrder) {
    OpenPort();
    DCB dcb = SampleDcb();
    ASSERT_TRUE(SetCommState(file, &dcb));
    EXPECT_EQ(Sent(), Join({kGetState, {"SET_BAUD_RATE", "SET_RTS", "SET_DTR", "SET_LINE_CONTROL", "SET_CHARS",
                                        "SET_HANDFLOW"}}));
    EXPECT_EQ(InputAt<SERIAL_BAUD_RATE>(4).BaudRate, 57600u);
    EXPECT_TRUE(CallAt(5).input.empty());
    EXPECT_TRUE(CallAt(6).input.empty());
    auto line = InputAt<SERIAL_LINE_CONTROL>(7);
    EXPECT_EQ(line.WordLength, 7);
    EXPECT_EQ(line.Parity, EVEN_PARITY);
    EXPECT_EQ(line.StopBits, STOP_BITS_2);
    auto chars = InputAt<SERIAL_CHARS>(8);
    EXPECT_EQ(chars.XonChar, 0x21);
    EXPECT_EQ(chars.XoffChar, 0x22);
    EXPECT_EQ(chars.ErrorChar, 0x23);
    EXPECT_EQ(chars.EofChar, 0x24);
    EXPECT_EQ(chars.EventChar, 0x25);
    EXPECT_EQ(chars.BreakChar, 0x7E);  // the DCB has none: the device's own is kept
    auto handflow = InputAt<SERIAL_HANDFLOW>(9);
    EXPECT_EQ(handflow.ControlHandShake, SERIAL_DTR_CONTROL);
    EXPECT_EQ(handflow.FlowReplace, SERIAL_RTS_CONTROL);
    EXPECT_EQ(handflow.XonLimit, 300);
    EXPECT_EQ(handflow.XoffLimit, 400);
    EXPECT_TRUE(port->dtr);
    EXPECT_TRUE(port->rts);
}

TEST_F(CommApi, SetCommStateRaisesOrDropsOnlyTheLinesTheApplicationControls) {
    OpenPort();
    for (const LineCase& c : kLineCases) {
        Forget();
        DCB dcb = SampleDcb();
        dcb.fDtrControl = c.dtrControl;
        dcb.fRtsControl = c.rtsControl;
        ASSERT_TRUE(SetCommState(file, &dcb));
        EXPECT_EQ(Sent(), Join({kGetState, {"SET_BAUD_RATE"}, c.lines,
                                {"SET_LINE_CONTROL", "SET_CHARS", "SET_HANDFLOW"}}))
            << "DTR " << c.dtrControl << " RTS " << c.rtsControl;
        auto handflow = InputAt<SERIAL_HANDFLOW>(Sent().size() - 1);
        EXPECT_EQ(handflow.ControlHandShake & SERIAL_DTR_MASK, c.dtrBits);
        EXPECT_EQ(handflow.FlowReplace & SERIAL_RTS_MASK, c.rtsBits);
    }
}

TEST_F(CommApi, SetCommStateBuildsTheHandflowFromEveryDcbFlag) {
    OpenPort();
    DCB dcb = SampleDcb();
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutxDsrFlow = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = TRUE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.fErrorChar = TRUE;
    dcb.fNull = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fAbortOnError = TRUE;
    ASSERT_TRUE(SetCommState(file, &dcb));
    SERIAL_HANDFLOW handflow = port->handflow;
    EXPECT_EQ(handflow.ControlHandShake, SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE |
                                             SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT);
    EXPECT_EQ(handflow.FlowReplace, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE |
                                        SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING | SERIAL_XOFF_CONTINUE);

    // And back: GetCommState reads what SetCommState wrote.
    DCB read{};
    ASSERT_TRUE(GetCommState(file, &read));
    EXPECT_EQ(std::memcmp(&read, &dcb, sizeof(DCB)), 0);
}

TEST_F(CommApi, SetCommStateChecksTheDcbBeforeSendingAnything) {
    OpenPort();
    auto refused = [&](void (*change)(DCB*)) {
        DCB dcb = SampleDcb();
        change(&dcb);
        SetLastError(0);
        BOOL ok = SetCommState(file, &dcb);
        return !ok && GetLastError() == ERROR_INVALID_PARAMETER;
    };
    EXPECT_TRUE(refused([](DCB* d) { d->ByteSize = 4; }));
    EXPECT_TRUE(refused([](DCB* d) { d->ByteSize = 9; }));
    EXPECT_TRUE(refused([](DCB* d) { d->Parity = 5; }));
    EXPECT_TRUE(refused([](DCB* d) { d->StopBits = 3; }));
    EXPECT_TRUE(Sent().empty());

    DCB dcb = SampleDcb();
    dcb.DCBlength = 0;  // not looked at
    dcb.ByteSize = 5;
    dcb.Parity = SPACEPARITY;
    dcb.StopBits = ONESTOPBIT;
    EXPECT_TRUE(SetCommState(file, &dcb));
}

TEST_F(CommApi, SetCommStateRestoresThePreviousSettingsWhenASetFails) {
    OpenPort();
    SERIAL_BAUD_RATE baud = port->baud;
    SERIAL_LINE_CONTROL line = port->line;
    SERIAL_CHARS chars = port->chars;
    SERIAL_HANDFLOW handflow = port->handflow;
    FailNext(IOCTL_SERIAL_SET_LINE_CONTROL, STATUS_INVALID_PARAMETER);

    DCB dcb = SampleDcb();
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    EXPECT_FALSE(SetCommState(file, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    Names set = {"SET_BAUD_RATE", "CLR_RTS", "CLR_DTR", "SET_LINE_CONTROL"};
    Names restore = {"SET_BAUD_RATE", "SET_RTS", "SET_DTR", "SET_LINE_CONTROL", "SET_CHARS", "SET_HANDFLOW"};
    EXPECT_EQ(Sent(), Join({kGetState, set, restore}));

    EXPECT_EQ(InputAt<SERIAL_BAUD_RATE>(8).BaudRate, baud.BaudRate);
    EXPECT_EQ(std::memcmp(&CallAt(11).input[0], &line, sizeof(line)), 0);
    EXPECT_EQ(std::memcmp(&CallAt(12).input[0], &chars, sizeof(chars)), 0);
    EXPECT_EQ(std::memcmp(&CallAt(13).input[0], &handflow, sizeof(handflow)), 0);
    EXPECT_EQ(port->baud.BaudRate, baud.BaudRate);
    EXPECT_TRUE(port->dtr);
    EXPECT_TRUE(port->rts);
}

TEST_F(CommApi, ARestoreThatFailsToIsCarriedThroughAndTheFirstErrorReported) {
    OpenPort();
    // A driver with its own table of rates refuses the new one, and the
    // device then refuses the old one too.
    FailNext(IOCTL_SERIAL_SET_BAUD_RATE, STATUS_INVALID_PARAMETER);
    FailNext(IOCTL_SERIAL_SET_BAUD_RATE, STATUS_DEVICE_DATA_ERROR);
    DCB dcb = SampleDcb();
    dcb.BaudRate = 12345;
    EXPECT_FALSE(SetCommState(file, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Sent(), Join({kGetState, {"SET_BAUD_RATE"},
                            {"SET_BAUD_RATE", "SET_RTS", "SET_DTR", "SET_LINE_CONTROL", "SET_CHARS",
                             "SET_HANDFLOW"}}));
    EXPECT_EQ(InputAt<SERIAL_BAUD_RATE>(4).BaudRate, 12345u);
}

TEST_F(CommApi, AFailingReadStopsSetCommStateBeforeAnySet) {
    OpenPort();
    FailNext(IOCTL_SERIAL_GET_CHARS, STATUS_DEVICE_NOT_CONNECTED);
    DCB dcb = SampleDcb();
    EXPECT_FALSE(SetCommState(file, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Sent(), (Names{"GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS"}));

    Forget();
    FailNext(IOCTL_SERIAL_GET_LINE_CONTROL, STATUS_CANCELLED);
    EXPECT_FALSE(GetCommState(file, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Sent(), (Names{"GET_BAUD_RATE", "GET_LINE_CONTROL"}));
}

TEST_F(CommApi, ADcbFromBuildCommDcbIsAppliedAsTheStringSays) {
    OpenPort();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(file, &dcb));
    ASSERT_TRUE(BuildCommDCBA("baud=115200 parity=o data=7 stop=2 octs=on rts=hs", &dcb));
    ASSERT_TRUE(SetCommState(file, &dcb));
    EXPECT_EQ(port->baud.BaudRate, 115200u);
    EXPECT_EQ(port->line.Parity, ODD_PARITY);
    EXPECT_EQ(port->line.WordLength, 7);
    EXPECT_EQ(port->line.StopBits, STOP_BITS_2);
    EXPECT_EQ(port->handflow.ControlHandShake, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE);
    EXPECT_EQ(port->handflow.FlowReplace, SERIAL_RTS_HANDSHAKE);
}

// ---- answers that differ from the standard serial driver's ---------------------------------

TEST_F(CommApi, RecordsAnsweredWithNoDataReadAsZero) {
    OpenPort();
    port->answerEmpty = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_PROPERTIES, IOCTL_SERIAL_GET_MODEMSTATUS};
    DCB dcb{};
    ASSERT_TRUE(GetCommState(file, &dcb));
    EXPECT_EQ(dcb.BaudRate, 0u);
    EXPECT_EQ(dcb.ByteSize, 8);

    COMMPROP properties;
    std::memset(&properties, 0xAB, sizeof(properties));
    properties.dwProvSpec1 = 0;
    ASSERT_TRUE(GetCommProperties(file, &properties));
    COMMPROP zero{};
    EXPECT_EQ(std::memcmp(&properties, &zero, sizeof(COMMPROP)), 0);

    DWORD modem = 0xFFFFFFFF;
    ASSERT_TRUE(GetCommModemStatus(file, &modem));
    EXPECT_EQ(modem, 0u);
}

TEST_F(CommApi, AReadTimeOutReachesTheApplicationAsASemaphoreTimeOut) {
    OpenPort();
    port->readStatus = STATUS_IO_TIMEOUT;
    char buffer[4];
    DWORD read = 99;
    EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
    EXPECT_EQ(read, 0u);
}

TEST_F(CommApi, OnAnOverlappedHandleTheCommCallsWaitForRequestsThatPend) {
    OpenPort(FILE_FLAG_OVERLAPPED);
    port->completeLater = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_HANDFLOW, IOCTL_SERIAL_SET_BAUD_RATE};
    port->baud.BaudRate = 38400;
    DCB dcb{};
    ASSERT_TRUE(GetCommState(file, &dcb));
    EXPECT_EQ(dcb.BaudRate, 38400u);
    dcb.BaudRate = 4800;
    ASSERT_TRUE(SetCommState(file, &dcb));
    EXPECT_EQ(port->baud.BaudRate, 4800u);
}

TEST_F(CommApi, ABadHandleFailsWithoutARequest) {
    DCB dcb = SampleDcb();
    EXPECT_FALSE(GetCommState(INVALID_HANDLE_VALUE, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetCommState(INVALID_HANDLE_VALUE, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(PurgeComm(INVALID_HANDLE_VALUE, PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(Sent().empty());
}

// ---- time-outs and masks -----------------------------------------------------------------------

TEST_F(CommApi, CommTimeoutsTravelAsTheSerialTimeoutsRecord) {
    OpenPort();
    COMMTIMEOUTS timeouts{MAXDWORD, 1, 2, 3, 4};
    ASSERT_TRUE(SetCommTimeouts(file, &timeouts));
    auto sent = InputAt<SERIAL_TIMEOUTS>(0);
    EXPECT_EQ(sent.ReadIntervalTimeout, MAXULONG);
    EXPECT_EQ(sent.ReadTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(sent.ReadTotalTimeoutConstant, 2u);
    EXPECT_EQ(sent.WriteTotalTimeoutMultiplier, 3u);
    EXPECT_EQ(sent.WriteTotalTimeoutConstant, 4u);

    COMMTIMEOUTS read{};
    ASSERT_TRUE(GetCommTimeouts(file, &read));
    EXPECT_EQ(std::memcmp(&read, &timeouts, sizeof(read)), 0);
    EXPECT_EQ(Sent(), (Names{"SET_TIMEOUTS", "GET_TIMEOUTS"}));
}

TEST_F(CommApi, CommMaskIsSetAndReadBack) {
    OpenPort();
    ASSERT_TRUE(SetCommMask(file, EV_RXCHAR | EV_CTS | EV_RLSD));
    EXPECT_EQ(InputAt<ULONG>(0), static_cast<ULONG>(EV_RXCHAR | EV_CTS | EV_RLSD));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(file, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_CTS | EV_RLSD));
    EXPECT_EQ(Sent(), (Names{"SET_WAIT_MASK", "GET_WAIT_MASK"}));
}

// ---- WaitCommEvent ---------------------------------------------------------------------------

class WaitCommEventTest : public CommApi {
protected:
    void SetUp() override {
        CommApi::SetUp();
        OpenPort(FILE_FLAG_OVERLAPPED);
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ov.hEvent = event;
        ASSERT_TRUE(SetCommMask(file, EV_RXCHAR | EV_CTS));
        Forget();
    }

    void TearDown() override {
        EXPECT_TRUE(CloseHandle(event));
        CommApi::TearDown();
    }

    void StartWait() {
        ASSERT_FALSE(WaitCommEvent(file, &mask, &ov));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }

    HANDLE event = nullptr;
    OVERLAPPED ov{};
    DWORD mask = 0xDEADBEEF;
};

TEST_F(WaitCommEventTest, OverlappedItPendsAndTheMaskArrivesAtCompletion) {
    StartWait();
    EXPECT_EQ(Sent(), Names{"WAIT_ON_MASK"});
    EXPECT_TRUE(CallAt(0).input.empty());
    EXPECT_EQ(CallAt(0).outputLength, sizeof(DWORD));
    EXPECT_EQ(mask, 0xDEADBEEFu);  // not written before the request completes
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    FireEvents(EV_CTS);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_CTS));
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(file, &ov, &bytes, FALSE));
    EXPECT_EQ(bytes, sizeof(DWORD));
}

TEST_F(WaitCommEventTest, GetOverlappedResultCanWaitForTheEvent) {
    StartWait();
    DWORD bytes = 0;
    BOOL ok = FALSE;
    kmodel::ModelThread waiter([&] { ok = GetOverlappedResult(file, &ov, &bytes, TRUE); });
    kmodel::WaitForQuiescence();
    FireEvents(EV_RXCHAR);
    waiter.Join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
}

TEST_F(WaitCommEventTest, ANewMaskEndsTheWaitWithAnEmptyMask) {
    StartWait();
    ASSERT_TRUE(SetCommMask(file, EV_DSR));
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(file, &ov, &bytes, TRUE));
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(Sent(), (Names{"WAIT_ON_MASK", "SET_WAIT_MASK"}));
}

TEST_F(WaitCommEventTest, CancelIoAbortsTheWait) {
    StartWait();
    ASSERT_TRUE(CancelIo(file));
    DWORD bytes = 99;
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(mask, 0xDEADBEEFu);
}

TEST_F(WaitCommEventTest, ASecondWaitIsRefusedByTheDriver) {
    StartWait();
    DWORD second = 0;
    OVERLAPPED ov2{};
    EXPECT_FALSE(WaitCommEvent(file, &second, &ov2));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    FireEvents(EV_RXCHAR);
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(file, &ov, &bytes, FALSE));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
}

TEST_F(WaitCommEventTest, ClosingTheHandleEndsAPendingWait) {
    StartWait();
    ASSERT_TRUE(CloseHandle(file));
    file = nullptr;
    ASSERT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), STATUS_CANCELLED);
}

TEST_F(CommApi, WaitCommEventOnASynchronousHandleBlocksUntilAnEvent) {
    OpenPort();
    DWORD mask = 0;
    std::atomic<bool> returned{false};
    BOOL ok = FALSE;
    kmodel::ModelThread waiter([&] {
        ok = WaitCommEvent(file, &mask, nullptr);
        returned = true;
    });
    kmodel::WaitForQuiescence();
    EXPECT_FALSE(returned.load());
    EXPECT_TRUE(WaitIsHeld());

    FireEvents(EV_RXCHAR | EV_BREAK);
    waiter.Join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_BREAK));
    EXPECT_EQ(Sent(), Names{"WAIT_ON_MASK"});
}

// ---- lines, purging, status ---------------------------------------------------------------------

TEST_F(CommApi, EscapeCommFunctionSendsOneRequestPerFunction) {
    OpenPort();
    const std::pair<DWORD, const char*> kFunctions[] = {
        {SETXOFF, "SET_XOFF"},     {SETXON, "SET_XON"},         {SETRTS, "SET_RTS"},
        {CLRRTS, "CLR_RTS"},       {SETDTR, "SET_DTR"},         {CLRDTR, "CLR_DTR"},
        {RESETDEV, "RESET_DEVICE"}, {SETBREAK, "SET_BREAK_ON"}, {CLRBREAK, "SET_BREAK_OFF"},
    };
    for (const auto& [function, name] : kFunctions) {
        Forget();
        ASSERT_TRUE(EscapeCommFunction(file, function)) << name;
        EXPECT_EQ(Sent(), Names{name});
        EXPECT_TRUE(CallAt(0).input.empty());
    }
    EXPECT_EQ(port->resets, 1);

    Forget();
    EXPECT_FALSE(EscapeCommFunction(file, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(EscapeCommFunction(file, 10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(Sent().empty());
}

TEST_F(CommApi, EscapeCommFunctionMovesTheLines) {
    OpenPort();
    ASSERT_TRUE(EscapeCommFunction(file, CLRDTR));
    ASSERT_TRUE(EscapeCommFunction(file, SETRTS));
    ASSERT_TRUE(EscapeCommFunction(file, SETBREAK));
    ASSERT_TRUE(EscapeCommFunction(file, SETXOFF));
    EXPECT_FALSE(port->dtr);
    EXPECT_TRUE(port->rts);
    EXPECT_TRUE(port->breakOn);
    EXPECT_TRUE(port->xoff);
}

TEST_F(CommApi, SetAndClearCommBreakAreTheBreakRequests) {
    OpenPort();
    ASSERT_TRUE(SetCommBreak(file));
    EXPECT_TRUE(port->breakOn);
    ASSERT_TRUE(ClearCommBreak(file));
    EXPECT_FALSE(port->breakOn);
    EXPECT_EQ(Sent(), (Names{"SET_BREAK_ON", "SET_BREAK_OFF"}));
}

TEST_F(CommApi, PurgeCommPassesItsFlags) {
    OpenPort();
    ASSERT_TRUE(PurgeComm(file, PURGE_TXABORT | PURGE_RXCLEAR));
    EXPECT_EQ(Sent(), Names{"PURGE"});
    EXPECT_EQ(InputAt<ULONG>(0), static_cast<ULONG>(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXCLEAR));
    ASSERT_TRUE(PurgeComm(file, PURGE_RXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(InputAt<ULONG>(1), static_cast<ULONG>(SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR));

    FailNext(IOCTL_SERIAL_PURGE, STATUS_INVALID_PARAMETER);  // the driver judges the flags
    EXPECT_FALSE(PurgeComm(file, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(CommApi, ClearCommErrorTurnsTheStatusIntoErrorsAndComstat) {
    port->status.Errors = SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN |
                          SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_PARITY;
    port->status.HoldReasons = SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_FOR_DCD |
                               SERIAL_TX_WAITING_FOR_XON | SERIAL_TX_WAITING_XOFF_SENT;
    port->status.AmountInInQueue = 17;
    port->status.AmountInOutQueue = 5;
    port->status.EofReceived = TRUE;
    port->status.WaitForImmediate = TRUE;
    OpenPort();
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0xFF, sizeof(stat));
    ASSERT_TRUE(ClearCommError(file, &errors, &stat));
    EXPECT_EQ(Sent(), Names{"GET_COMMSTATUS"});
    EXPECT_EQ(CallAt(0).outputLength, sizeof(SERIAL_STATUS));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY));
    EXPECT_EQ(stat.fCtsHold, 1u);
    EXPECT_EQ(stat.fDsrHold, 1u);
    EXPECT_EQ(stat.fRlsdHold, 1u);
    EXPECT_EQ(stat.fXoffHold, 1u);
    EXPECT_EQ(stat.fXoffSent, 1u);
    EXPECT_EQ(stat.fEof, 1u);
    EXPECT_EQ(stat.fTxim, 1u);
    EXPECT_EQ(stat.fReserved, 0u);
    EXPECT_EQ(stat.cbInQue, 17u);
    EXPECT_EQ(stat.cbOutQue, 5u);

    // The driver reports errors once; either pointer may be NULL.
    ASSERT_TRUE(ClearCommError(file, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
    ASSERT_TRUE(ClearCommError(file, nullptr, nullptr));
}

TEST_F(CommApi, ClearCommErrorMapsEachErrorAndHoldReason) {
    OpenPort();
    const std::pair<ULONG, DWORD> kErrors[] = {
        {SERIAL_ERROR_BREAK, CE_BREAK},     {SERIAL_ERROR_FRAMING, CE_FRAME},
        {SERIAL_ERROR_OVERRUN, CE_OVERRUN}, {SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER},
        {SERIAL_ERROR_PARITY, CE_RXPARITY},
    };
    for (const auto& [serial, win32] : kErrors) {
        port->status = SERIAL_STATUS{};
        port->status.Errors = serial;
        DWORD errors = 0;
        ASSERT_TRUE(ClearCommError(file, &errors, nullptr));
        EXPECT_EQ(errors, win32) << serial;
    }
    port->status = SERIAL_STATUS{};
    port->status.HoldReasons = SERIAL_TX_WAITING_FOR_XON;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(file, nullptr, &stat));
    EXPECT_EQ(stat.fXoffHold, 1u);
    EXPECT_EQ(stat.fCtsHold | stat.fDsrHold | stat.fRlsdHold | stat.fXoffSent | stat.fEof | stat.fTxim, 0u);
}

TEST_F(CommApi, GetCommModemStatusReportsTheLines) {
    port->modemStatus = SERIAL_CTS_STATE | SERIAL_DCD_STATE;
    OpenPort();
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(file, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_RLSD_ON);
    port->modemStatus = SERIAL_DSR_STATE | SERIAL_RI_STATE;
    ASSERT_TRUE(GetCommModemStatus(file, &status));
    EXPECT_EQ(status, MS_DSR_ON | MS_RING_ON);
    EXPECT_EQ(Sent(), (Names{"GET_MODEMSTATUS", "GET_MODEMSTATUS"}));

    FailNext(IOCTL_SERIAL_GET_MODEMSTATUS, STATUS_DEVICE_REMOVED);
    EXPECT_FALSE(GetCommModemStatus(file, &status));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
}

TEST_F(CommApi, GetCommPropertiesPassesTheDriversRecord) {
    SERIAL_COMMPROP& p = port->properties;
    p.PacketLength = sizeof(SERIAL_COMMPROP);
    p.PacketVersion = 2;
    p.ServiceMask = SERIAL_SP_SERIALCOMM;
    p.MaxTxQueue = 4096;
    p.MaxRxQueue = 8192;
    p.MaxBaud = SERIAL_BAUD_115200;
    p.ProvSubType = SERIAL_SP_MODEM;
    p.ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_TOTALTIMEOUTS;
    p.SettableParams = SERIAL_SP_BAUD | SERIAL_SP_PARITY;
    p.SettableBaud = SERIAL_BAUD_9600 | SERIAL_BAUD_115200;
    p.SettableData = SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    p.SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_PARITY_NONE;
    p.CurrentTxQueue = 1024;
    p.CurrentRxQueue = 2048;
    OpenPort();
    COMMPROP properties{};
    ASSERT_TRUE(GetCommProperties(file, &properties));
    EXPECT_EQ(Sent(), Names{"GET_PROPERTIES"});
    EXPECT_EQ(CallAt(0).outputLength, sizeof(COMMPROP));
    EXPECT_EQ(properties.wPacketLength, sizeof(COMMPROP));
    EXPECT_EQ(properties.wPacketVersion, 2);
    EXPECT_EQ(properties.dwServiceMask, SP_SERIALCOMM);
    EXPECT_EQ(properties.dwMaxTxQueue, 4096u);
    EXPECT_EQ(properties.dwMaxRxQueue, 8192u);
    EXPECT_EQ(properties.dwMaxBaud, BAUD_115200);
    EXPECT_EQ(properties.dwProvSubType, PST_MODEM);
    EXPECT_EQ(properties.dwProvCapabilities, PCF_DTRDSR | PCF_RTSCTS | PCF_TOTALTIMEOUTS);
    EXPECT_EQ(properties.dwSettableParams, SP_BAUD | SP_PARITY);
    EXPECT_EQ(properties.dwSettableBaud, BAUD_9600 | BAUD_115200);
    EXPECT_EQ(properties.wSettableData, DATABITS_7 | DATABITS_8);
    EXPECT_EQ(properties.wSettableStopParity, STOPBITS_10 | PARITY_NONE);
    EXPECT_EQ(properties.dwCurrentTxQueue, 1024u);
    EXPECT_EQ(properties.dwCurrentRxQueue, 2048u);
}

TEST_F(CommApi, GetCommPropertiesOffersALargerBufferWhenTheCallerSaysSo) {
    OpenPort();
    std::vector<uint8_t> buffer(128, 0xCD);
    auto* properties = reinterpret_cast<COMMPROP*>(buffer.data());
    properties->wPacketLength = 128;
    properties->dwProvSpec1 = COMMPROP_INITIALIZED;
    ASSERT_TRUE(GetCommProperties(file, properties));
    EXPECT_EQ(CallAt(0).outputLength, 128u);
    EXPECT_EQ(buffer[127], 0);  // cleared before the request
}

TEST_F(CommApi, SetupCommAndTransmitCommChar) {
    OpenPort();
    ASSERT_TRUE(SetupComm(file, 4096, 1024));
    auto sizes = InputAt<SERIAL_QUEUE_SIZE>(0);
    EXPECT_EQ(sizes.InSize, 4096u);
    EXPECT_EQ(sizes.OutSize, 1024u);
    ASSERT_TRUE(TransmitCommChar(file, static_cast<char>(0xE9)));
    EXPECT_EQ(InputAt<UCHAR>(1), 0xE9);
    EXPECT_EQ(Sent(), (Names{"SET_QUEUE_SIZE", "IMMEDIATE_CHAR"}));
}

// ---- BuildCommDCB ------------------------------------------------------------------------------

// A DCB whose members a string does not name are recognisable afterwards.
DCB Untouched() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 1;
    dcb.ByteSize = 6;
    dcb.Parity = MARKPARITY;
    dcb.StopBits = ONE5STOPBITS;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutxDsrFlow = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 77;
    return dcb;
}

void ExpectNoFlowControl(const DCB& dcb) {
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
}

TEST(BuildCommDcb, TheNewFormSetsWhatItNamesAndTurnsFlowControlOff) {
    DCB dcb = Untouched();
    ASSERT_TRUE(BuildCommDCBA("baud=1200 parity=N data=8 stop=1", &dcb));
    EXPECT_EQ(dcb.BaudRate, 1200u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    ExpectNoFlowControl(dcb);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XonLim, 77);
}

TEST(BuildCommDcb, TheNewFormsKeywordsSetTheFlowControlMembers) {
    DCB dcb = Untouched();
    ASSERT_TRUE(BuildCommDCBA("COM3: BAUD=9600 parity=e data=7 stop=2 to=on xon=on odsr=on octs=on dtr=hs "
                              "rts=tg idsr=on",
                              &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
    EXPECT_EQ(dcb.fDsrSensitivity, 1u);

    ASSERT_TRUE(BuildCommDCBA("dtr=off rts=hs idsr=off", &dcb));
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fInX, 0u);  // flow control is off unless named again
    EXPECT_EQ(dcb.BaudRate, 9600u);

    ASSERT_TRUE(BuildCommDCBA("rts=off dtr=on parity=s", &dcb));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.Parity, SPACEPARITY);
}

TEST(BuildCommDcb, TheOldFormWithAndWithoutADevice) {
    DCB dcb = Untouched();
    ASSERT_TRUE(BuildCommDCBA("COM1: 9600,n,8,1", &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    ExpectNoFlowControl(dcb);

    dcb = Untouched();
    ASSERT_TRUE(BuildCommDCBA("19200,E,7,1.5", &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    ExpectNoFlowControl(dcb);

    dcb = Untouched();
    ASSERT_TRUE(BuildCommDCBA("com2 2400", &dcb));  // only the rate
    EXPECT_EQ(dcb.BaudRate, 2400u);
    EXPECT_EQ(dcb.ByteSize, 6);
    EXPECT_EQ(dcb.Parity, MARKPARITY);
}

TEST(BuildCommDcb, TheOldFormsLastFieldChoosesTheFlowControl) {
    DCB dcb = Untouched();
    ASSERT_TRUE(BuildCommDCBA("9600,n,8,1,x", &dcb));
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));

    ASSERT_TRUE(BuildCommDCBA("COM1:9600,n,8,1,P", &dcb));
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
}

TEST(BuildCommDcb, ModeAbbreviationsAndTheRuleFor110Baud) {
    DCB dcb = Untouched();
    ASSERT_TRUE(BuildCommDCBA("baud=96", &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    ASSERT_TRUE(BuildCommDCBA("19,n,8,1", &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);

    dcb = Untouched();
    ASSERT_TRUE(BuildCommDCBA("baud=110 data=8", &dcb));
    EXPECT_EQ(dcb.BaudRate, 110u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    dcb = Untouched();
    ASSERT_TRUE(BuildCommDCBA("11,n,8", &dcb));
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    ASSERT_TRUE(BuildCommDCBA("baud=110 stop=1", &dcb));
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);  // named stop bits win
}

TEST(BuildCommDcb, TheWideFormParsesTheSame) {
    DCB dcb = Untouched();
    ASSERT_TRUE(BuildCommDCBW(u"COM4: baud=57600 parity=o data=8 stop=1 xon=on", &dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.Parity, ODDPARITY);
    EXPECT_EQ(dcb.fInX, 1u);
    ASSERT_TRUE(BuildCommDCBW(u"4800,m,5,2", &dcb));
    EXPECT_EQ(dcb.BaudRate, 4800u);
    EXPECT_EQ(dcb.Parity, MARKPARITY);
    EXPECT_EQ(dcb.ByteSize, 5);
}

TEST(BuildCommDcb, AMalformedStringFailsAndLeavesTheDcbAlone) {
    const char* kBad[] = {
        "",
        "COM1:",
        "baud=",
        "baud=fast",
        "parity=x",
        "parity=none",
        "data=4",
        "data=9",
        "stop=3",
        "stop=1.0",
        "xon=maybe",
        "dtr=tg",
        "rts=yes",
        "speed=9600",
        "baud 9600",
        "9600,n,8,1 xon=on",
        "baud=9600,n,8,1",
        "9600,z",
        "9600,n,8,1,q",
        "9600,n,8,1,x,more",
        ",n,8,1",
        "COMX: 9600",
        "COM1X 9600",
        "LPT1: 9600,n,8,1",
    };
    for (const char* text : kBad) {
        DCB dcb = Untouched();
        DCB before = dcb;
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBA(text, &dcb)) << '"' << text << '"';
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << text;
        EXPECT_EQ(std::memcmp(&dcb, &before, sizeof(DCB)), 0) << text;
    }
}

// ---- finding the port: the SERIALCOMM device map ------------------------------------------------

TEST_F(CommApi, TheSerialcommMapNamesThePortWhichThenOpens) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key), kRegOk);
    WCHAR name[64];
    DWORD nameLength = 64;
    BYTE data[64];
    DWORD dataSize = sizeof(data);
    DWORD type = 0;
    ASSERT_EQ(RegEnumValueW(key, 0, name, &nameLength, nullptr, &type, data, &dataSize), kRegOk);
    EXPECT_EQ(std::u16string(name, nameLength), kDeviceName);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(dataSize, sizeof(u"COM5"));
    std::u16string portName(reinterpret_cast<const char16_t*>(data));
    EXPECT_EQ(portName, u"COM5");
    nameLength = 64;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &nameLength, nullptr, nullptr, nullptr, nullptr),
              static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(RegCloseKey(key), kRegOk);

    file = CreateFileW((u"\\\\.\\" + portName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(port->creates, 1);
}

TEST_F(CommApi, RegistryValuesCanBeSizedQueriedAndReadNarrow) {
    HKEY devicemap = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "hardware\\devicemap", 0, KEY_READ, &devicemap), kRegOk);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(devicemap, "SERIALCOMM", 0, KEY_READ, &key), kRegOk);

    DWORD size = 0;
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExW(key, kDeviceName, nullptr, &type, nullptr, &size), kRegOk);
    EXPECT_EQ(size, 10u);
    BYTE small[4];
    size = sizeof(small);
    EXPECT_EQ(RegQueryValueExW(key, kDeviceName, nullptr, nullptr, small, &size),
              static_cast<LSTATUS>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 10u);

    char text[16] = {};
    size = sizeof(text);
    ASSERT_EQ(RegQueryValueExA(key, "\\Device\\ScriptedSerial0", nullptr, &type, reinterpret_cast<LPBYTE>(text),
                               &size),
              kRegOk);
    EXPECT_EQ(size, 5u);  // "COM5" and its NUL
    EXPECT_STREQ(text, "COM5");

    char name[8];
    DWORD nameLength = sizeof(name);  // too short for the name
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr),
              static_cast<LSTATUS>(ERROR_MORE_DATA));
    char longName[64];
    nameLength = sizeof(longName);
    size = sizeof(text);
    ASSERT_EQ(RegEnumValueA(key, 0, longName, &nameLength, nullptr, &type, reinterpret_cast<LPBYTE>(text), &size),
              kRegOk);
    EXPECT_STREQ(longName, "\\Device\\ScriptedSerial0");
    EXPECT_EQ(nameLength, 23u);
    EXPECT_STREQ(text, "COM5");

    EXPECT_EQ(RegQueryValueExW(key, u"\\Device\\Missing", nullptr, nullptr, nullptr, nullptr),
              static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(RegCloseKey(key), kRegOk);
    EXPECT_EQ(RegCloseKey(devicemap), kRegOk);
    EXPECT_EQ(RegCloseKey(key), static_cast<LSTATUS>(ERROR_INVALID_HANDLE));
}

TEST_F(CommApi, AMissingKeyIsNotFound) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\NOSUCHMAP", 0, KEY_READ, &key),
              static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234)), u"X", 0, KEY_READ, &key),
              static_cast<LSTATUS>(ERROR_INVALID_HANDLE));
}

// ---- finding the port: the device interface ------------------------------------------------------

TEST_F(CommApi, TheComPortInterfaceGivesAPathThatOpensThePort) {
    HDEVINFO set = SetupDiGetClassDevsW(&kComPort, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kComPort, 0, &data));
    EXPECT_TRUE(data.InterfaceClassGuid == kComPort);
    EXPECT_EQ(data.Flags, SPINT_ACTIVE);
    SP_DEVICE_INTERFACE_DATA next{};
    next.cbSize = sizeof(next);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kComPort, 1, &next));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    const std::u16string expected = u"\\\\?\\TOYBUS#SERIAL_1#0#{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
    EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (expected.size() + 1) * 2);

    std::vector<uint8_t> buffer(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, &info));
    std::u16string path = detail->DevicePath;
    EXPECT_EQ(path, expected);
    EXPECT_NE(info.DevInst, 0u);
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(set));

    file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(port->creates, 1);
    DCB dcb{};
    EXPECT_TRUE(GetCommState(file, &dcb));  // the same device as COM5
    EXPECT_EQ(Sent(), kGetState);
}

TEST_F(CommApi, TheNarrowDetailAndItsBufferChecks) {
    HDEVINFO set = SetupDiGetClassDevsA(&kComPort, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = 3;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kComPort, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kComPort, 0, &data));

    std::vector<uint8_t> buffer(256);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = 1;  // not the record's size
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, 256, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, 16, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
    EXPECT_STREQ(detail->DevicePath, "\\\\?\\TOYBUS#SERIAL_1#0#{86E0D1E0-8089-11D0-9CE4-08003E301F73}");
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(CommApi, InterfaceSetsHoldOnlyTheirClassAndEnumerator) {
    auto count = [](const GUID& guid, const char16_t* enumerator) {
        HDEVINFO set = SetupDiGetClassDevsW(&guid, enumerator, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        DWORD n = 0;
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        while (SetupDiEnumDeviceInterfaces(set, nullptr, &guid, n, &data)) {
            ++n;
        }
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
        SetupDiDestroyDeviceInfoList(set);
        return n;
    };
    EXPECT_EQ(count(kComPort, nullptr), 1u);
    EXPECT_EQ(count(kOtherClass, nullptr), 0u);
    EXPECT_EQ(count(kComPort, u"TOYBUS"), 1u);
    EXPECT_EQ(count(kComPort, u"toybus\\serial_1\\0"), 1u);
    EXPECT_EQ(count(kComPort, u"USB"), 0u);
    EXPECT_EQ(count(kComPort, u"TOYBUS\\SERIAL_2\\0"), 0u);
}

TEST_F(CommApi, OnlyInterfaceSetsOfOneClassAreModelled) {
    EXPECT_EQ(SetupDiGetClassDevsW(&kComPort, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_ALLCLASSES),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_DEVICEINTERFACE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
