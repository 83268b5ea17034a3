// The USB host stack and its host controller.
#include <usbsim/host_stack.h>

#include <algorithm>

#include <kmodel/system.h>

namespace usbsim {

namespace {

// Pipe handles are small numbers so that they fit the 32-bit slots of the
// parent's PDO extension on every target.
constexpr ULONG kHandleBase = 0x5A000000;
ULONG nextHandleBlock = 0;

USBD_PIPE_HANDLE AsHandle(ULONG_PTR value) {
    return reinterpret_cast<USBD_PIPE_HANDLE>(value);
}

// The NTSTATUS a stack returns alongside each USBD status.
NTSTATUS StatusFor(USBD_STATUS usbd) {
    switch (usbd) {
    case USBD_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
        return STATUS_INVALID_PARAMETER;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

// The host controller completes transfers from its DPCs, never from the
// submitter's stack and never from a thread that may be waiting for one;
// the interrupts behind them land on every processor in turn.
struct QueuedCompletion {
    KDPC dpc;
    PIRP irp;
};

VOID NTAPI CompletionDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* queued = static_cast<QueuedCompletion*>(context);
    IoCompleteRequest(queued->irp, IO_NO_INCREMENT);
    delete queued;
}

void QueueCompletion(PIRP irp) {
    auto* queued = new QueuedCompletion();
    queued->irp = irp;
    KeInitializeDpc(&queued->dpc, CompletionDpc, queued);
    KeSetTargetProcessorDpc(&queued->dpc, static_cast<CCHAR>(kmodel::NextHardwareProcessor()));
    KeInsertQueueDpc(&queued->dpc, nullptr, nullptr);
}

}  // namespace

// A transfer a fault plan delays stays on its pipe until its timer fires,
// so an abort still reaches it.
struct HostStack::Delayed {
    KTIMER timer;
    KDPC dpc;
    HostStack* stack;
    Pipe* pipe;
    PIRP irp;
    PURB urb;
};

VOID NTAPI HostStack::DelayedDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* delayed = static_cast<Delayed*>(context);
    HostStack* stack = delayed->stack;
    KIRQL irql;
    KeAcquireSpinLock(&stack->world_->lock, &irql);
    std::erase(delayed->pipe->delayed, delayed);
    stack->Observe(delayed->irp, delayed->urb, true);
    KeReleaseSpinLock(&stack->world_->lock, irql);
    IoCompleteRequest(delayed->irp, IO_NO_INCREMENT);
    delete delayed;
}

UsbWorld::UsbWorld() {
    KeInitializeSpinLock(&lock);
}

HostStack::HostStack(UsbWorld* world, const std::string& number) : world_(world), modem_(&world->exchange, number) {
    ULONG block = kHandleBase + (++nextHandleBlock << 8);
    pipes_[0] = Pipe{kBulkInEndpoint, TransferType::Bulk, true, block | kBulkInEndpoint, {}, {}, false};
    pipes_[1] = Pipe{kBulkOutEndpoint, TransferType::Bulk, false, block | kBulkOutEndpoint, {}, {}, false};
    pipes_[2] = Pipe{kInterruptEndpoint, TransferType::Interrupt, true, block | kInterruptEndpoint, {}, {}, false};
    KeInitializeTimer(&clock_);
    KeInitializeDpc(&clockDpc_, ClockDpc, this);
    world_->stacks.push_back(this);
}

HostStack::~HostStack() {
    KeCancelTimer(&clock_);
    KeRemoveQueueDpc(&clockDpc_);
    std::erase(world_->stacks, this);
}

PipeHandles HostStack::pipes() const {
    return PipeHandles{pipes_[0].handle, pipes_[1].handle, pipes_[2].handle};
}

PipeFaults& HostStack::faults(uint8_t endpoint) {
    for (Pipe& p : pipes_) {
        if (p.endpoint == endpoint) {
            return p.faults;
        }
    }
    return pipes_[0].faults;
}

int64_t HostStack::NowMs() const {
    return kmodel::Now() / 10000;
}

USBD_PIPE_HANDLE HostStack::PipeHandle(uint8_t endpoint) const {
    for (const Pipe& p : pipes_) {
        if (p.endpoint == endpoint) {
            return AsHandle(p.handle | handleBits_);
        }
    }
    return nullptr;
}

HostStack::Pipe* HostStack::PipeOf(USBD_PIPE_HANDLE handle) {
    for (Pipe& p : pipes_) {
        if (AsHandle(p.handle | handleBits_) == handle) {
            return &p;
        }
    }
    return nullptr;
}

// A strict stack's checks, in the order it makes them.
NTSTATUS HostStack::Validate(PURB urb, Pipe** pipe) {
    *pipe = nullptr;
    USHORT length = urb->UrbHeader.Length;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        const auto& t = urb->UrbBulkOrInterruptTransfer;
        if (length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        *pipe = PipeOf(t.PipeHandle);
        if (*pipe == nullptr) {
            return USBD_STATUS_INVALID_PIPE_HANDLE;
        }
        bool in = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        if (in != (*pipe)->in) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        if (t.TransferBufferLength != 0 && t.TransferBuffer == nullptr && t.TransferBufferMDL == nullptr) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_CLASS_INTERFACE: {
        const auto& c = urb->UrbControlVendorClassRequest;
        if (length != sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        if (c.TransferBufferLength != 0 && c.TransferBuffer == nullptr && c.TransferBufferMDL == nullptr) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        if (length != sizeof(struct _URB_PIPE_REQUEST)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        *pipe = PipeOf(urb->UrbPipeRequest.PipeHandle);
        return *pipe == nullptr ? USBD_STATUS_INVALID_PIPE_HANDLE : USBD_STATUS_SUCCESS;
    default:
        return USBD_STATUS_INVALID_URB_FUNCTION;
    }
}

NTSTATUS HostStack::SubmitUrb(PIRP irp, PURB urb) {
    std::vector<Completion> completions;
    KIRQL irql;
    KeAcquireSpinLock(&world_->lock, &irql);
    ++transfers_;
    Observe(irp, urb, false);
    Pipe* pipe;
    USBD_STATUS check = Validate(urb, &pipe);
    if (!present_) {
        check = USBD_STATUS_DEVICE_GONE;
    }
    if (check != USBD_STATUS_SUCCESS) {
        // Refused requests complete at once, in the caller's context.
        urb->UrbHeader.Status = check;
        Observe(irp, urb, true);
        KeReleaseSpinLock(&world_->lock, irql);
        irp->IoStatus.Status = StatusFor(check);
        irp->IoStatus.Information = 0;
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        DataTransfer(pipe, irp, urb, &completions);
        break;
    case URB_FUNCTION_CLASS_INTERFACE:
        ControlTransfer(irp, urb, &completions);
        break;
    case URB_FUNCTION_ABORT_PIPE:
        Abort(pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED, &completions);
        Finish(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS, &completions);
        break;
    default:  // the resets
        // Like the Windows stack, a reset is refused while transfers are
        // outstanding on the pipe: the client aborts them first.
        if (!pipe->pending.empty() || !pipe->delayed.empty()) {
            Finish(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY, &completions);
            break;
        }
        pipe->stalled = false;
        Finish(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS, &completions);
        break;
    }
    PumpLocked(&completions);
    ArmClockLocked();
    // Whatever is not completed inline is completed later: mark it now,
    // before another processor can complete it.
    bool submittedInline = false;
    NTSTATUS inlineStatus = STATUS_PENDING;
    for (const Completion& c : completions) {
        if (c.irp == irp && inline_ && c.delayMs == 0) {
            submittedInline = true;
            inlineStatus = c.status;
        }
    }
    if (!submittedInline) {
        IoMarkIrpPending(irp);
    }
    KeReleaseSpinLock(&world_->lock, irql);
    Deliver(completions, submittedInline ? irp : nullptr);
    return inlineStatus;
}

void HostStack::ControlTransfer(PIRP irp, PURB urb, std::vector<Completion>* out) {
    auto& c = urb->UrbControlVendorClassRequest;
    bool in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    auto* buffer = static_cast<uint8_t*>(c.TransferBuffer != nullptr ? c.TransferBuffer
                                                                     : (c.TransferBufferMDL != nullptr
                                                                            ? c.TransferBufferMDL->MappedSystemVa
                                                                            : nullptr));
    bool accepted;
    if (in) {
        std::vector<uint8_t> data;
        accepted = modem_.ControlIn(c.Request, c.Value, static_cast<uint16_t>(c.TransferBufferLength), &data);
        if (accepted) {
            std::copy(data.begin(), data.end(), buffer);
            bool shortTransfer = data.size() < c.TransferBufferLength;
            c.TransferBufferLength = static_cast<ULONG>(data.size());
            // A data stage shorter than asked for fails unless the request
            // allows it, as on UHCI and OHCI controllers.
            if (shortTransfer && !(c.TransferFlags & USBD_SHORT_TRANSFER_OK)) {
                Finish(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER, out);
                return;
            }
        }
    } else {
        std::vector<uint8_t> data(buffer, buffer + (buffer != nullptr ? c.TransferBufferLength : 0));
        accepted = modem_.ControlOut(c.Request, c.Value, data, NowMs());
    }
    if (!accepted) {
        c.TransferBufferLength = 0;
        Finish(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, out);
        return;
    }
    Finish(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS, out);
}

void HostStack::DataTransfer(Pipe* pipe, PIRP irp, PURB urb, std::vector<Completion>* out) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    PipeFaults& f = pipe->faults;
    if (pipe->stalled) {
        t.TransferBufferLength = 0;
        Finish(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, out);
        return;
    }
    if (f.failNext > 0) {
        --f.failNext;
        t.TransferBufferLength = 0;
        Finish(irp, urb, f.failStatus, f.failUsbdStatus, out);
        return;
    }
    if (f.hold || pipe->in) {
        Hold(pipe, irp, urb, out);  // completed by data, an abort or a cancel
        return;
    }
    auto* data = static_cast<uint8_t*>(t.TransferBuffer != nullptr ? t.TransferBuffer : t.TransferBufferMDL->MappedSystemVa);
    modem_.BulkOut(data, t.TransferBufferLength, NowMs());
    Finish(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS, out, f.delayMs);
}

// A pending transfer can be cancelled; whoever takes its cancel routine
// back (this stack or the cancel routine) completes it.
void HostStack::Hold(Pipe* pipe, PIRP irp, PURB urb, std::vector<Completion>* out) {
    irp->Tail.Overlay.DriverContext[0] = this;
    IoSetCancelRoutine(irp, CancelPending);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        Finish(irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED, out);
        return;
    }
    pipe->pending.push_back(Pending{irp, urb});
}

bool HostStack::TakeBack(PIRP irp) {
    return IoSetCancelRoutine(irp, nullptr) != nullptr;
}

VOID NTAPI HostStack::CancelPending(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* stack = static_cast<HostStack*>(irp->Tail.Overlay.DriverContext[0]);
    PURB urb = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&stack->world_->lock, &irql);
    for (Pipe& pipe : stack->pipes_) {
        for (auto it = pipe.pending.begin(); it != pipe.pending.end(); ++it) {
            if (it->irp == irp) {
                urb = it->urb;
                pipe.pending.erase(it);
                break;
            }
        }
    }
    if (urb == nullptr) {
        urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    }
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    stack->Observe(irp, urb, true);
    KeReleaseSpinLock(&stack->world_->lock, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

bool HostStack::HasInData(const Pipe& pipe) const {
    if (pipe.faults.zeroLengthNext > 0) {
        return true;
    }
    return pipe.type == TransferType::Interrupt ? !modem_.notifications.empty() : !modem_.bulkIn.empty();
}

void HostStack::CompleteIn(Pipe& pipe, Pending& p, std::vector<Completion>* out) {
    auto& t = p.urb->UrbBulkOrInterruptTransfer;
    PipeFaults& f = pipe.faults;
    auto* buffer = static_cast<uint8_t*>(t.TransferBuffer != nullptr ? t.TransferBuffer : t.TransferBufferMDL->MappedSystemVa);
    if (f.zeroLengthNext > 0) {
        --f.zeroLengthNext;
        t.TransferBufferLength = 0;
        Finish(p.irp, p.urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS, out, f.delayMs);
        return;
    }
    size_t n;
    if (pipe.type == TransferType::Interrupt) {
        const auto& note = modem_.notifications.front();
        n = std::min<size_t>(note.size(), t.TransferBufferLength);
        std::copy(note.begin(), note.begin() + n, buffer);
        modem_.notifications.pop_front();
    } else {
        n = std::min<size_t>(modem_.bulkIn.size(), t.TransferBufferLength);
        if (f.maxInChunk != 0) {
            n = std::min<size_t>(n, f.maxInChunk);
        }
        std::copy(modem_.bulkIn.begin(), modem_.bulkIn.begin() + n, buffer);
        modem_.bulkIn.erase(modem_.bulkIn.begin(), modem_.bulkIn.begin() + n);
    }
    bool shortTransfer = n < t.TransferBufferLength;
    t.TransferBufferLength = static_cast<ULONG>(n);
    if (shortTransfer && !(t.TransferFlags & USBD_SHORT_TRANSFER_OK)) {
        Finish(p.irp, p.urb, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER, out, f.delayMs);
    } else {
        Finish(p.irp, p.urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS, out, f.delayMs);
    }
}

// Moves waiting data into waiting IN transfers on every stack of the world:
// one modem's output may be another's input.
void HostStack::PumpLocked(std::vector<Completion>* out) {
    for (HostStack* stack : world_->stacks) {
        for (Pipe& pipe : stack->pipes_) {
            if (!pipe.in || pipe.faults.hold || pipe.stalled) {
                continue;
            }
            while (!pipe.pending.empty() && stack->HasInData(pipe)) {
                Pending p = pipe.pending.front();
                pipe.pending.pop_front();
                if (TakeBack(p.irp)) {
                    stack->CompleteIn(pipe, p, out);
                }
            }
        }
        if (stack != this) {
            stack->ArmClockLocked();
        }
    }
}

// An abort reaches every transfer of the endpoint, the delayed ones too, and
// hands each to completion. As Microsoft documents for ABORT_PIPE, the abort
// itself may complete before those completions have run: a client waits
// for its own transfers.
void HostStack::Abort(Pipe* pipe, NTSTATUS status, USBD_STATUS usbd, std::vector<Completion>* out) {
    for (auto it = pipe->delayed.begin(); it != pipe->delayed.end();) {
        Delayed* delayed = *it;
        if (!KeCancelTimer(&delayed->timer)) {
            ++it;  // already expiring: its DPC completes it
            continue;
        }
        it = pipe->delayed.erase(it);
        delayed->urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        Finish(delayed->irp, delayed->urb, status, usbd, out);
        delete delayed;
    }
    while (!pipe->pending.empty()) {
        Pending p = pipe->pending.front();
        pipe->pending.pop_front();
        if (!TakeBack(p.irp)) {
            continue;  // its cancel routine completes it
        }
        p.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        Finish(p.irp, p.urb, status, usbd, out);
    }
}

void HostStack::Finish(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd, std::vector<Completion>* out,
                       int64_t delay) {
    urb->UrbHeader.Status = usbd;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    if (delay == 0) {
        Observe(irp, urb, true);  // a delayed one is seen when it completes
    }
    out->push_back(Completion{irp, urb, status, delay});
}

void HostStack::Deliver(std::vector<Completion>& completions, PIRP submitted) {
    for (Completion& c : completions) {
        if (c.irp == submitted) {
            IoCompleteRequest(c.irp, IO_NO_INCREMENT);
        } else if (c.delayMs > 0) {
            // The timer is the pending work; tests reach it by advancing the clock.
            auto* delayed = new Delayed();
            delayed->stack = this;
            delayed->irp = c.irp;
            delayed->urb = c.urb;
            KeInitializeTimer(&delayed->timer);
            KeInitializeDpc(&delayed->dpc, DelayedDpc, delayed);
            LARGE_INTEGER due;
            due.QuadPart = -c.delayMs * 10000;
            KIRQL irql;
            KeAcquireSpinLock(&world_->lock, &irql);
            delayed->pipe = PipeOf(c.urb->UrbBulkOrInterruptTransfer.PipeHandle);
            delayed->pipe->delayed.push_back(delayed);
            KeSetTimer(&delayed->timer, due, &delayed->dpc);
            KeReleaseSpinLock(&world_->lock, irql);
        } else {
            QueueCompletion(c.irp);
        }
    }
}

void HostStack::ArmClockLocked() {
    int64_t next = modem_.NextDeadline();
    if (next < 0) {
        KeCancelTimer(&clock_);
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = -std::max<int64_t>(1, next - NowMs()) * 10000;
    KeSetTimer(&clock_, due, &clockDpc_);
}

VOID NTAPI HostStack::ClockDpc(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<HostStack*>(context)->Poke();
}

void HostStack::Poke() {
    std::vector<Completion> completions;
    KIRQL irql;
    KeAcquireSpinLock(&world_->lock, &irql);
    modem_.Tick(NowMs());
    PumpLocked(&completions);
    ArmClockLocked();
    KeReleaseSpinLock(&world_->lock, irql);
    Deliver(completions, nullptr);
}

void HostStack::Stall(uint8_t endpoint) {
    std::vector<Completion> completions;
    KIRQL irql;
    KeAcquireSpinLock(&world_->lock, &irql);
    for (Pipe& p : pipes_) {
        if (p.endpoint == endpoint) {
            p.stalled = true;
            Abort(&p, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, &completions);
        }
    }
    KeReleaseSpinLock(&world_->lock, irql);
    Deliver(completions, nullptr);
}

void HostStack::DeviceGone() {
    std::vector<Completion> completions;
    KIRQL irql;
    KeAcquireSpinLock(&world_->lock, &irql);
    present_ = false;
    for (Pipe& p : pipes_) {
        Abort(&p, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, &completions);
    }
    KeReleaseSpinLock(&world_->lock, irql);
    Deliver(completions, nullptr);
}

void HostStack::Observe(PIRP irp, PURB urb, bool completion) {
    if (observers_.empty()) {
        return;
    }
    UrbRecord r;
    r.irpId = reinterpret_cast<uint64_t>(irp);
    r.function = urb->UrbHeader.Function;
    r.completion = completion;
    r.usbdStatus = completion ? urb->UrbHeader.Status : 0;
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        const auto& t = urb->UrbBulkOrInterruptTransfer;
        Pipe* pipe = PipeOf(t.PipeHandle);
        r.endpoint = pipe != nullptr ? pipe->endpoint : 0;
        r.transfer = pipe != nullptr ? pipe->type : TransferType::Bulk;
        bool in = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        r.length = t.TransferBufferLength;
        const auto* data = static_cast<const uint8_t*>(t.TransferBuffer);
        if (data != nullptr && in == completion) {
            r.data.assign(data, data + t.TransferBufferLength);
        }
    } else if (urb->UrbHeader.Function == URB_FUNCTION_CLASS_INTERFACE) {
        const auto& c = urb->UrbControlVendorClassRequest;
        bool in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        r.endpoint = in ? 0x80 : 0x00;
        r.transfer = TransferType::Control;
        r.hasSetup = true;
        r.length = c.TransferBufferLength;
        uint16_t length = static_cast<uint16_t>(c.TransferBufferLength);
        uint8_t setup[8] = {static_cast<uint8_t>((in ? 0x80 : 0x00) | 0x21), c.Request,
                            static_cast<uint8_t>(c.Value), static_cast<uint8_t>(c.Value >> 8),
                            static_cast<uint8_t>(c.Index), static_cast<uint8_t>(c.Index >> 8),
                            static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
        std::copy(setup, setup + 8, r.setup);
        const auto* data = static_cast<const uint8_t*>(c.TransferBuffer);
        if (data != nullptr && in == completion) {
            r.data.assign(data, data + c.TransferBufferLength);
        }
    } else {
        Pipe* pipe = PipeOf(urb->UrbPipeRequest.PipeHandle);
        r.endpoint = pipe != nullptr ? pipe->endpoint : 0;
        r.transfer = pipe != nullptr ? pipe->type : TransferType::Control;
    }
    for (UrbObserver* o : observers_) {
        o->OnUrb(r);
    }
}

}  // namespace usbsim
