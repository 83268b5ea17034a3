// What an application sees when the port is closed, removed, reopened or
// driven hard: every request ends, nothing received is lost or corrupted,
// and what reaches the wire is what the application asked for.
#include "serial_port_fixture.h"

#include <functional>
#include <mutex>

namespace qvtest {
namespace {

// The bytes sent on the bulk-out pipe, in the order they went out.
class WireLog : public usbsim::UrbObserver {
public:
    void OnUrb(const usbsim::UrbRecord& r) override {
        if (!r.completion && r.endpoint == usbsim::kBulkOutEndpoint &&
            r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            std::lock_guard<std::mutex> guard(mutex_);
            bytes_.append(r.data.begin(), r.data.end());
        }
    }
    std::string Bytes() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return bytes_;
    }

private:
    mutable std::mutex mutex_;
    std::string bytes_;
};

class SerialRobustness : public SerialPortTest {
protected:
    WireLog wire;

    // n bytes of a counter pattern, so that loss and reordering show.
    static std::string Pattern(size_t n, unsigned seed = 0) {
        std::string bytes(n, '\0');
        for (size_t i = 0; i < n; ++i) {
            bytes[i] = static_cast<char>((i + seed) % 251);
        }
        return bytes;
    }

    // A ReadFile that must pend.
    void StartRead(OVERLAPPED* ov) {
        *ov = OVERLAPPED{};
        ov->hEvent = ioEvent;
        ASSERT_FALSE(ReadFile(port, readBuffer_, sizeof(readBuffer_), nullptr, ov));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }

    // How a request that must have ended by now ended: its Win32 error
    // (ERROR_SUCCESS when it succeeded), with the bytes it moved.
    DWORD Outcome(OVERLAPPED* ov, DWORD* bytes = nullptr) {
        if (!HasOverlappedIoCompleted(ov)) {
            ADD_FAILURE() << "the request is still pending";
            return ERROR_IO_PENDING;
        }
        DWORD moved = 0xBAD;
        DWORD error = GetOverlappedResult(port, ov, &moved, FALSE) ? ERROR_SUCCESS : GetLastError();
        if (bytes != nullptr) {
            *bytes = moved;
        }
        return error;
    }

    // Reads on the port (reads return at once) until n bytes have come or
    // a read brings nothing.
    std::string ReadAll(size_t n) {
        std::string all;
        while (all.size() < n) {
            kmodel::WaitForQuiescence();
            std::string part = ReadText(port, 4096);
            if (part.empty()) {
                break;
            }
            all += part;
        }
        return all;
    }

private:
    char readBuffer_[16];
};

// A close while the removal is only queried sends nothing to the device, yet
// stops both readers: after the removal is cancelled the next open must not
// find the old transfers still in flight on the URBs it reuses.
TEST_F(SerialRobustness, CloseDuringAQueriedRemovalThenCancelLeavesTheReopenedPortWhole) {
    OpenPort();
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ClosePort();
    EXPECT_TRUE(Sent().empty());
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);

    OpenPort();
    ReadsReturnAtOnce(port);
    const std::string stream = Pattern(64 * 1024);
    ModemSends(stream);
    EXPECT_TRUE(ReadAll(stream.size()) == stream);
}

// Closing the handle is the application's last word: the wait and the read
// it left pending end as aborted, and the port can be opened again at once.
TEST_F(SerialRobustness, CloseWithAWaitAndAReadPendingEndsBothAndThePortReopensAtOnce) {
    OpenPort();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    PendingWait wait;
    StartWait(&wait);
    OVERLAPPED read;
    StartRead(&read);

    ClosePort();
    EXPECT_EQ(Outcome(&wait.ov), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Outcome(&read), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    port = CreateFileW(u"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
}

// A held read always ends: an unplug ends it, and so does its timeout after
// the receive engine stopped on a failed transfer.
struct HeldReadCase {
    const char* name;
    ULONG readTotalConstant;
    std::function<void(SerialRobustness&)> event;
    DWORD error;
};

TEST_F(SerialRobustness, AHeldReadEndsWhenTheDeviceGoesOrTheEngineStops) {
    const HeldReadCase cases[] = {
        {"stalled bulk-in, then the timeout", 500,
         [](SerialRobustness& t) {
             t.Stack().Stall(usbsim::kBulkInEndpoint);
             kmodel::WaitForQuiescence();
             kmodel::AdvanceClock(600);
         },
         ERROR_SUCCESS},  // a time-out is a success with the bytes so far
        {"unplug", 0,
         [](SerialRobustness& t) {
             t.Unplug(t.child);
             t.deviceLives = false;
         },
         ERROR_ACCESS_DENIED},
    };
    for (const HeldReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        OpenPort();
        COMMTIMEOUTS timeouts{0, 0, c.readTotalConstant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
        OVERLAPPED read;
        StartRead(&read);

        c.event(*this);
        kmodel::WaitForQuiescence();
        DWORD got = 0xBAD;
        EXPECT_EQ(Outcome(&read, &got), c.error);
        EXPECT_EQ(got, 0u);
        ClosePort();
        if (!deviceLives) {
            EXPECT_TRUE(kmodel::NodeRemoved(child->node));
            break;
        }
    }
}

// A stalled interrupt pipe marks the device as failing; the next open finds
// the mark, resets the pipe, and goes on with the modem's reports read again.
TEST_F(SerialRobustness, AnInterruptPipeStallThenCloseThenOpenSucceeds) {
    OpenPort();
    Stack().Stall(usbsim::kInterruptEndpoint);
    kmodel::WaitForQuiescence();
    ClosePort();

    OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ModemNotifies(usbsim::kUartTxCarrier | usbsim::kUartRxCarrier);
    DWORD status = 0;
    EXPECT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status & (MS_DSR_ON | MS_RLSD_ON), static_cast<DWORD>(MS_DSR_ON | MS_RLSD_ON));
}

// The modem hangs up when DTR drops (AT&D2). An application that applies
// its settings again during a call raises RTS and DTR: neither request may
// lower the other line.
TEST_F(SerialRobustness, SetCommStateDuringACallKeepsTheCall) {
    ASSERT_NE(PlugAnotherModem(u"COM6", "5552000"), nullptr);
    OpenPort();
    DCB dcb = ApplyCommSettings(port, "baud=115200 parity=N data=8 stop=1");
    ReadsReturnAtOnce(port);
    HANDLE peer = CreateFileW(u"\\\\.\\COM6", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(peer, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommState(peer, &dcb));
    ReadsReturnAtOnce(peer);
    WriteText(peer, "ATD5551000\r");
    kmodel::WaitForQuiescence();
    WriteText(port, "ATA\r");
    kmodel::WaitForQuiescence();
    ReadText(port);
    EXPECT_EQ(ReadText(peer), "ATD5551000\r\r\nCONNECT 115200\r\n");

    Forget();
    ASSERT_TRUE(SetCommState(port, &dcb));
    kmodel::WaitForQuiescence();
    EXPECT_EQ(Sent(), (Lines{"GET_LINE_CODING", "SET_CONTROL_LINE_STATE 0x0003", "SET_CONTROL_LINE_STATE 0x0003",
                             "SET_LINE_CODING 115200 0 0 8"}));
    EXPECT_EQ(ReadText(port), "");  // no NO CARRIER
    EXPECT_EQ(WriteText(peer, "still here"), 10u);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(ReadText(port), "still here");
    EXPECT_EQ(pdx->ModemLines & (MODEM_LINE_DTR | MODEM_LINE_RTS), MODEM_LINE_DTR | MODEM_LINE_RTS);
    EXPECT_TRUE(CloseHandle(peer));
}

// Writes reach the wire whole and in the order they were accepted, however
// many chunks each takes and however their chunks' completions interleave.
TEST_F(SerialRobustness, TwoLongOverlappedWritesReachTheWireAsTwoWholeBlocksInOrder) {
    Stack().AddObserver(&wire);
    OpenPort();
    Stack().faults(usbsim::kBulkOutEndpoint).delayMs = 10;  // both writes are accepted before a chunk completes
    const std::string first = Pattern(10000, 1);
    const std::string second = Pattern(10000, 2);
    OVERLAPPED a{};
    a.hEvent = ioEvent;
    OVERLAPPED b{};
    b.hEvent = event;
    ASSERT_FALSE(WriteFile(port, first.data(), 10000, nullptr, &a));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_FALSE(WriteFile(port, second.data(), 10000, nullptr, &b));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    for (int i = 0; i < 8; ++i) {
        kmodel::WaitForQuiescence();
        kmodel::AdvanceClock(10);
    }
    for (OVERLAPPED* ov : {&a, &b}) {
        DWORD written = 0;
        EXPECT_EQ(Outcome(ov, &written), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(written, 10000u);
    }
    EXPECT_TRUE(wire.Bytes() == first + second);
}

// An AT application purges what it has not read before each command, so
// that the next read is the command's own reply.
TEST_F(SerialRobustness, PurgeRxClearBeforeACommandLeavesOnlyTheFreshReply) {
    OpenPort();
    ReadsReturnAtOnce(port);
    WriteText(port, "AT\r");
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    WriteText(port, "ATI\r");
    kmodel::WaitForQuiescence();
    EXPECT_EQ(ReadText(port), "ATI\r\r\nQVSIM USB MODEM 1.0\r\n\r\nOK\r\n");
}

// PURGE_TXABORT ends the write on the wire and the one waiting for its turn,
// as aborted, each with the bytes it had sent.
TEST_F(SerialRobustness, PurgeTxAbortEndsTheWritesInProgress) {
    Stack().AddObserver(&wire);
    OpenPort();
    Stack().faults(usbsim::kBulkOutEndpoint).hold = true;  // the device takes nothing
    const std::string block = Pattern(10000);
    OVERLAPPED a{};
    a.hEvent = ioEvent;
    OVERLAPPED b{};
    b.hEvent = event;
    ASSERT_FALSE(WriteFile(port, block.data(), 10000, nullptr, &a));
    ASSERT_FALSE(WriteFile(port, block.data(), 100, nullptr, &b));
    kmodel::WaitForQuiescence();

    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
    kmodel::WaitForQuiescence();
    for (OVERLAPPED* ov : {&a, &b}) {
        DWORD written = 0xBAD;
        EXPECT_EQ(Outcome(ov, &written), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
        EXPECT_EQ(written, 0u);
    }
    EXPECT_EQ(wire.Bytes().size(), 4096u);  // the held chunk, as submitted
}

}  // namespace
}  // namespace qvtest
