// The host stack under the parent bus PDO: URB validation, transfers moved
// between the pipes and the modem, aborts, resets and the injected faults.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <kmodel/system.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbsim/host_stack.h>

namespace usbsim {
namespace {

class HostStackTest : public ::testing::Test {
protected:
    kmodel::System system;
    ParentBus bus;
    UsbWorld world;
    HostStack stack{&world, "5551000"};
    Child* child = nullptr;

    void SetUp() override { child = bus.AddChild(u"USB\\VID_1234&PID_5678\\1", u"COM5", &stack, stack.pipes()); }

    struct Sent {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        NTSTATUS returned = STATUS_SUCCESS;
        NTSTATUS Wait() {
            if (returned != STATUS_PENDING) {
                return returned;
            }
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            return iosb.Status;
        }
        bool Done() { return returned != STATUS_PENDING || KeReadStateEvent(&event) != 0; }
    };

    // Sends a URB to the PDO as a function driver would.
    void Send(PURB urb, Sent* sent) {
        KeInitializeEvent(&sent->event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, child->pdo, nullptr, 0, nullptr, 0,
                                                 TRUE, &sent->event, &sent->iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        sent->returned = IoCallDriver(child->pdo, irp);
    }

    NTSTATUS SendAndWait(PURB urb) {
        Sent sent;
        Send(urb, &sent);
        return sent.Wait();
    }

    void BuildTransfer(URB* urb, ULONG handle, bool in, void* buffer, ULONG length, ULONG extraFlags = 0) {
        std::memset(urb, 0, sizeof(URB));
        UsbBuildInterruptOrBulkTransferRequest(
            urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
            reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(handle)), buffer, nullptr, length,
            (in ? USBD_TRANSFER_DIRECTION_IN : 0) | extraFlags, nullptr);
    }

    void BuildPipeRequest(URB* urb, USHORT function, ULONG handle) {
        std::memset(urb, 0, sizeof(URB));
        urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb->UrbHeader.Function = function;
        urb->UrbPipeRequest.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(handle));
    }

    std::string Write(const std::string& text) {
        URB urb;
        BuildTransfer(&urb, stack.pipes().bulkOut, false, const_cast<char*>(text.data()),
                      static_cast<ULONG>(text.size()));
        EXPECT_EQ(SendAndWait(&urb), STATUS_SUCCESS);
        return text;
    }
};

TEST_F(HostStackTest, MalformedUrbsAreRefusedWithTheStackStatus) {
    char buffer[8];
    URB urb;
    BuildTransfer(&urb, stack.pipes().bulkIn, true, buffer, sizeof(buffer), USBD_SHORT_TRANSFER_OK);
    urb.UrbHeader.Function = 0x7777;
    EXPECT_EQ(SendAndWait(&urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);

    BuildTransfer(&urb, stack.pipes().bulkIn, true, buffer, sizeof(buffer));
    urb.UrbHeader.Length = 72;  // the 32-bit size, wrong here
    if (sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) != 72) {
        EXPECT_EQ(SendAndWait(&urb), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    }

    BuildTransfer(&urb, 0x1234, true, buffer, sizeof(buffer));
    EXPECT_EQ(SendAndWait(&urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    BuildTransfer(&urb, stack.pipes().bulkOut, true, buffer, sizeof(buffer));  // IN on an OUT pipe
    EXPECT_EQ(SendAndWait(&urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

    BuildTransfer(&urb, stack.pipes().bulkOut, false, nullptr, 4);  // a length and no buffer
    EXPECT_EQ(SendAndWait(&urb), STATUS_INVALID_PARAMETER);

    BuildPipeRequest(&urb, URB_FUNCTION_ABORT_PIPE, 0x99);
    EXPECT_EQ(SendAndWait(&urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    std::memset(&urb, 0, sizeof(urb));
    urb.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    EXPECT_EQ(SendAndWait(&urb), STATUS_INVALID_PARAMETER);
}

TEST_F(HostStackTest, BulkDataReachesTheModemAndRepliesCompletePendingReads) {
    char buffer[64] = {};
    URB read;
    BuildTransfer(&read, stack.pipes().bulkIn, true, buffer, sizeof(buffer), USBD_SHORT_TRANSFER_OK);
    Sent pending;
    Send(&read, &pending);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(pending.returned, STATUS_PENDING);
    EXPECT_FALSE(pending.Done());  // nothing to read yet

    Write("AT\r");
    EXPECT_EQ(pending.Wait(), STATUS_SUCCESS);
    std::string got(buffer, read.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(got, "AT\r\r\nOK\r\n");
}

TEST_F(HostStackTest, ShortTransferWithoutPermissionIsAnError) {
    Write("AT\r");
    char buffer[64];
    URB read;
    BuildTransfer(&read, stack.pipes().bulkIn, true, buffer, sizeof(buffer));  // no USBD_SHORT_TRANSFER_OK
    EXPECT_EQ(SendAndWait(&read), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
}

// GET_LINE_CODING asked for 8 bytes; the device answers its 7.
TEST_F(HostStackTest, AShortControlDataStageFailsWithoutPermission) {
    for (ULONG flags : {ULONG(0), ULONG(USBD_SHORT_TRANSFER_OK)}) {
        uint8_t coding[8] = {};
        URB urb;
        std::memset(&urb, 0, sizeof(URB));
        UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_IN | flags, 0xA1, kGetLineCoding, 0, 0, coding, nullptr,
                              sizeof(coding), nullptr);
        NTSTATUS status = SendAndWait(&urb);
        EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 7u);
        if (flags == 0) {
            EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
            EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(coding[6], 8);  // data bits
        }
    }
}

TEST_F(HostStackTest, AbortCompletesPendingTransfersCancelled) {
    char a[16];
    char b[16];
    URB first;
    URB second;
    BuildTransfer(&first, stack.pipes().interrupt, true, a, sizeof(a), USBD_SHORT_TRANSFER_OK);
    stack.modem().notifications.clear();
    Sent s1;
    Send(&first, &s1);
    BuildTransfer(&second, stack.pipes().interrupt, true, b, sizeof(b), USBD_SHORT_TRANSFER_OK);
    Sent s2;
    Send(&second, &s2);
    kmodel::WaitForQuiescence();
    ASSERT_FALSE(s1.Done());
    URB abort;
    BuildPipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, stack.pipes().interrupt);
    EXPECT_EQ(SendAndWait(&abort), STATUS_SUCCESS);
    EXPECT_EQ(s1.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(s2.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(first.UrbHeader.Status, USBD_STATUS_CANCELED);
}

// A reset is refused while the pipe has transfers outstanding, a delayed
// one included; the abort reaches the delayed one, and then the reset goes.
TEST_F(HostStackTest, ResetWaitsForAnIdlePipeAndAbortReachesDelayedTransfers) {
    stack.faults(kBulkOutEndpoint).delayMs = 500;
    char data[] = "x";
    URB write;
    BuildTransfer(&write, stack.pipes().bulkOut, false, data, 1);
    Sent delayed;
    Send(&write, &delayed);
    kmodel::WaitForQuiescence();
    ASSERT_FALSE(delayed.Done());
    URB reset;
    BuildPipeRequest(&reset, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, stack.pipes().bulkOut);
    EXPECT_EQ(SendAndWait(&reset), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_ERROR_BUSY);
    URB abort;
    BuildPipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, stack.pipes().bulkOut);
    EXPECT_EQ(SendAndWait(&abort), STATUS_SUCCESS);
    EXPECT_EQ(delayed.Wait(), STATUS_CANCELLED);
    kmodel::AdvanceClock(1000);  // the delay's timer is gone with it
    BuildPipeRequest(&reset, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, stack.pipes().bulkOut);
    EXPECT_EQ(SendAndWait(&reset), STATUS_SUCCESS);
}

TEST_F(HostStackTest, SerialStateNotificationsOnCarrierAndRing) {
    UsbWorld& w = world;
    HostStack other{&w, "5552000"};
    std::string text;
    auto typeOn = [](HostStack& s, const std::string& t) {
        s.modem().BulkOut(reinterpret_cast<const uint8_t*>(t.data()), t.size(), 0);
        s.Poke();
    };
    stack.modem().notifications.clear();
    typeOn(other, "ATD5551000\r");
    uint8_t note[16] = {};
    URB read;
    BuildTransfer(&read, stack.pipes().interrupt, true, note, sizeof(note), USBD_SHORT_TRANSFER_OK);
    ASSERT_EQ(SendAndWait(&read), STATUS_SUCCESS);
    EXPECT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
    EXPECT_EQ(note[0], 0xA1);
    EXPECT_EQ(note[1], 0x20);
    EXPECT_EQ(note[8], kUartTxCarrier | kUartRing);

    Write("ATA\r");
    BuildTransfer(&read, stack.pipes().interrupt, true, note, sizeof(note), USBD_SHORT_TRANSFER_OK);
    ASSERT_EQ(SendAndWait(&read), STATUS_SUCCESS);
    EXPECT_EQ(note[8], kUartTxCarrier | kUartRxCarrier);
    EXPECT_TRUE(other.modem().carrier());
}

TEST_F(HostStackTest, InjectedFailuresStallsAndResets) {
    PipeFaults& out = stack.faults(kBulkOutEndpoint);
    out.failNext = 2;
    out.failStatus = STATUS_DEVICE_DATA_ERROR;
    URB urb;
    char data[] = "AT\r";
    for (int i = 0; i < 2; ++i) {
        BuildTransfer(&urb, stack.pipes().bulkOut, false, data, 3);
        EXPECT_EQ(SendAndWait(&urb), STATUS_DEVICE_DATA_ERROR);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_XACT_ERROR);
    }
    BuildTransfer(&urb, stack.pipes().bulkOut, false, data, 3);
    EXPECT_EQ(SendAndWait(&urb), STATUS_SUCCESS);

    stack.Stall(kBulkOutEndpoint);
    BuildTransfer(&urb, stack.pipes().bulkOut, false, data, 3);
    EXPECT_EQ(SendAndWait(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    URB reset;
    BuildPipeRequest(&reset, URB_FUNCTION_RESET_PIPE, stack.pipes().bulkOut);
    EXPECT_EQ(SendAndWait(&reset), STATUS_SUCCESS);
    BuildTransfer(&urb, stack.pipes().bulkOut, false, data, 3);
    EXPECT_EQ(SendAndWait(&urb), STATUS_SUCCESS);
}

TEST_F(HostStackTest, DelayedHeldShortAndZeroLengthTransfers) {
    PipeFaults& in = stack.faults(kBulkInEndpoint);
    in.maxInChunk = 2;
    in.zeroLengthNext = 1;
    Write("AT\r");  // the reply is waiting in the modem
    char buffer[64];
    URB read;
    BuildTransfer(&read, stack.pipes().bulkIn, true, buffer, sizeof(buffer), USBD_SHORT_TRANSFER_OK);
    ASSERT_EQ(SendAndWait(&read), STATUS_SUCCESS);
    EXPECT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    BuildTransfer(&read, stack.pipes().bulkIn, true, buffer, sizeof(buffer), USBD_SHORT_TRANSFER_OK);
    ASSERT_EQ(SendAndWait(&read), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, read.UrbBulkOrInterruptTransfer.TransferBufferLength), "AT");

    in.delayMs = 500;
    BuildTransfer(&read, stack.pipes().bulkIn, true, buffer, sizeof(buffer), USBD_SHORT_TRANSFER_OK);
    Sent delayed;
    Send(&read, &delayed);
    kmodel::WaitForQuiescence();
    EXPECT_FALSE(delayed.Done());
    kmodel::AdvanceClock(499);
    EXPECT_FALSE(delayed.Done());
    kmodel::AdvanceClock(1);
    EXPECT_EQ(delayed.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, read.UrbBulkOrInterruptTransfer.TransferBufferLength), "\r\r");

    PipeFaults& out = stack.faults(kBulkOutEndpoint);
    out.hold = true;
    URB write;
    char data[] = "x";
    BuildTransfer(&write, stack.pipes().bulkOut, false, data, 1);
    Sent held;
    Send(&write, &held);
    kmodel::AdvanceClock(60000);
    EXPECT_FALSE(held.Done());
    URB abort;
    BuildPipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, stack.pipes().bulkOut);
    EXPECT_EQ(SendAndWait(&abort), STATUS_SUCCESS);
    EXPECT_EQ(held.Wait(), STATUS_CANCELLED);
}

TEST_F(HostStackTest, InlineCompletionReturnsTheFinalStatus) {
    stack.set_inline_completion(true);
    URB urb;
    char data[] = "AT\r";
    BuildTransfer(&urb, stack.pipes().bulkOut, false, data, 3);
    Sent sent;
    Send(&urb, &sent);
    EXPECT_EQ(sent.returned, STATUS_SUCCESS);
}

TEST_F(HostStackTest, UnplugFailsPendingAndNewTransfersWithDeviceGone) {
    char buffer[16];
    URB read;
    BuildTransfer(&read, stack.pipes().bulkIn, true, buffer, sizeof(buffer), USBD_SHORT_TRANSFER_OK);
    Sent pending;
    Send(&read, &pending);
    stack.Unplug(&bus, child);
    EXPECT_EQ(pending.Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_TRUE(kmodel::NodeRemoved(child->node));
}

}  // namespace
}  // namespace usbsim
