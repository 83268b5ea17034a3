// The USB host stack below the parent bus PDO, with the simulated modem on
// its three pipes. It validates every URB as a strict stack does, moves data
// between the driver and the modem, and completes transfers from the host
// controller (a model system thread at DISPATCH_LEVEL) or inline.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <wdm.h>
#include <usb.h>

#include <usbsim/bus.h>
#include <usbsim/modem.h>
#include <usbsim/urb_record.h>

namespace usbsim {

class HostStack;

// Everything the simulated modems share: one lock (they reach each other
// over their lines) and the exchange they dial through.
class UsbWorld {
public:
    UsbWorld();
    KSPIN_LOCK lock;
    Exchange exchange;
    std::vector<HostStack*> stacks;
};

// Faults a test can set on one pipe.
struct PipeFaults {
    int failNext = 0;                         // fail this many transfers...
    NTSTATUS failStatus = STATUS_UNSUCCESSFUL;  // ...with this status
    USBD_STATUS failUsbdStatus = USBD_STATUS_XACT_ERROR;
    int64_t delayMs = 0;         // complete transfers this much later
    bool hold = false;           // never complete until the pipe is aborted
    uint32_t maxInChunk = 0;     // IN transfers carry at most this many bytes (0: no limit)
    int zeroLengthNext = 0;      // this many IN transfers complete with no data
};

class HostStack : public UrbTarget {
public:
    HostStack(UsbWorld* world, const std::string& number);
    ~HostStack() override;

    NTSTATUS SubmitUrb(PIRP irp, PURB urb) override;

    PipeHandles pipes() const;
    // The handle a client uses for one of the three endpoints; 0 for others.
    USBD_PIPE_HANDLE PipeHandle(uint8_t endpoint) const;
    // Sets high bits in every pipe handle, as a 64-bit stack's pointers have.
    void set_handle_bits(ULONG_PTR bits) { handleBits_ = bits; }
    ModemCore& modem() { return modem_; }
    PipeFaults& faults(uint8_t endpoint);
    void set_inline_completion(bool on) { inline_ = on; }
    // Stalls the pipe: pending and later transfers fail until RESET_PIPE.
    void Stall(uint8_t endpoint);
    void AddObserver(UrbObserver* observer) { observers_.push_back(observer); }
    // The device is unplugged: every pending URB fails with the device-gone
    // status and the bus reports the child missing.
    void Unplug(ParentBus* bus, Child* child) { bus->Unplug(child); }
    void DeviceGone() override;
    // Runs the modem's clock and moves data after a change made from outside.
    void Poke();

    // Counts for summaries.
    uint64_t transfers() const { return transfers_; }

private:
    struct Pending {
        PIRP irp;
        PURB urb;
    };
    struct Delayed;
    struct Pipe {
        uint8_t endpoint;
        TransferType type;
        bool in;
        ULONG handle;
        std::deque<Pending> pending;
        std::vector<Delayed*> delayed;  // completed late by a fault plan
        PipeFaults faults;
        bool stalled = false;
    };
    struct Completion {
        PIRP irp;
        PURB urb;
        NTSTATUS status;
        int64_t delayMs;
    };

    Pipe* PipeOf(USBD_PIPE_HANDLE handle);
    NTSTATUS Validate(PURB urb, Pipe** pipe);
    void ControlTransfer(PIRP irp, PURB urb, std::vector<Completion>* out);
    void DataTransfer(Pipe* pipe, PIRP irp, PURB urb, std::vector<Completion>* out);
    void Abort(Pipe* pipe, NTSTATUS status, USBD_STATUS usbd, std::vector<Completion>* out);
    void PumpLocked(std::vector<Completion>* out);
    bool HasInData(const Pipe& pipe) const;
    void CompleteIn(Pipe& pipe, Pending& p, std::vector<Completion>* out);
    void Hold(Pipe* pipe, PIRP irp, PURB urb, std::vector<Completion>* out);
    static bool TakeBack(PIRP irp);
    static VOID NTAPI CancelPending(PDEVICE_OBJECT device, PIRP irp);
    void Finish(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd, std::vector<Completion>* out, int64_t delay = 0);
    void ArmClockLocked();
    void Deliver(std::vector<Completion>& completions, PIRP submitted);
    void Observe(PIRP irp, PURB urb, bool completion);
    int64_t NowMs() const;
    static VOID NTAPI ClockDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID NTAPI DelayedDpc(PKDPC dpc, PVOID context, PVOID, PVOID);

    UsbWorld* world_;
    ModemCore modem_;
    Pipe pipes_[3];
    bool present_ = true;
    bool inline_ = false;
    std::vector<UrbObserver*> observers_;
    KTIMER clock_;
    KDPC clockDpc_;
    uint64_t transfers_ = 0;
    ULONG_PTR handleBits_ = 0;
};

}  // namespace usbsim
