// Two applications talk through two modems sharing a line, with the Win32
// comm API on top of the real driver: ATZ, dial, RING, answer, CONNECT, text
// both ways, the escape with its guard times, hang-up, close and removal.
#include <string>

#include <win32/win32sim.h>
#include <win32/windows.h>

#include "driver_fixture.h"

namespace qvtest {
namespace {

class ModemSessionTest : public DriverTest {
protected:
    static HANDLE OpenCom(const char16_t* name) {
        HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};  // reads take what is there and return
        EXPECT_TRUE(SetCommTimeouts(h, &timeouts));
        return h;
    }
    static void Send(HANDLE h, const std::string& text) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
        ASSERT_EQ(written, text.size());
        kmodel::WaitForQuiescence();
    }
    // What the port has received since the last call. A read that drains a
    // stalled buffer restarts the engine, whose transfer lands a moment later.
    static std::string Received(HANDLE h) {
        std::string all;
        char buffer[256];
        DWORD n = 0;
        do {
            kmodel::WaitForQuiescence();
            EXPECT_TRUE(ReadFile(h, buffer, sizeof(buffer), &n, nullptr));
            all.append(buffer, n);
        } while (n != 0);
        return all;
    }
    static bool Carrier(HANDLE h) {
        DWORD status = 0;
        EXPECT_TRUE(GetCommModemStatus(h, &status));
        return (status & MS_RLSD_ON) != 0;
    }
};

TEST_F(ModemSessionTest, DialAnswerTalkEscapeHangUpCloseAndRemove) {
    usbsim::Child* com5 = PlugModem(u"COM5", "5551000");
    usbsim::Child* com6 = PlugModem(u"COM6", "5552000");
    size_t handles = win32sim::OpenHandleCount();
    HANDLE caller = OpenCom(u"\\\\.\\COM5");
    HANDLE callee = OpenCom(u"\\\\.\\COM6");

    Send(caller, "ATZ\r");
    EXPECT_EQ(Received(caller), "ATZ\r\r\nOK\r\n");
    Send(caller, "ATD5552000\r");
    EXPECT_EQ(Received(caller), "ATD5552000\r");
    EXPECT_EQ(Received(callee), "\r\nRING\r\n");
    EXPECT_FALSE(Carrier(caller));

    Send(callee, "ATA\r");
    EXPECT_EQ(Received(callee), "ATA\r\r\nCONNECT 115200\r\n");
    EXPECT_EQ(Received(caller), "\r\nCONNECT 115200\r\n");
    EXPECT_TRUE(Carrier(caller));
    EXPECT_TRUE(Carrier(callee));

    Send(caller, "hello from COM5\r\n");
    EXPECT_EQ(Received(callee), "hello from COM5\r\n");
    std::string longer(6000, 'z');  // more than one write chunk and one receive buffer
    Send(callee, longer);
    EXPECT_EQ(Received(caller), longer);
    EXPECT_EQ(Received(callee), "");  // no echo while online

    // "+++" framed by a second of silence on each side: back to commands.
    kmodel::AdvanceClock(usbsim::kGuardTimeMs);
    Send(caller, "+++");
    EXPECT_EQ(Received(caller), "");
    kmodel::AdvanceClock(usbsim::kGuardTimeMs);
    EXPECT_EQ(Received(caller), "\r\nOK\r\n");
    EXPECT_EQ(Received(callee), "+++");

    Send(caller, "ATH\r");
    EXPECT_EQ(Received(caller), "ATH\r\r\nOK\r\n");
    EXPECT_EQ(Received(callee), "\r\nNO CARRIER\r\n");
    EXPECT_FALSE(Carrier(caller));
    EXPECT_FALSE(Carrier(callee));

    EXPECT_TRUE(CloseHandle(caller));
    EXPECT_TRUE(CloseHandle(callee));
    kmodel::WaitForQuiescence();
    EXPECT_EQ(win32sim::OpenHandleCount(), handles);
    EXPECT_EQ(Extension(com5)->PerfStats.TransmittedCount, 4u + 11u + 17u + 3u + 4u);
    EXPECT_EQ(Extension(com5)->PerfStats.ReceivedCount, 10u + 11u + 18u + 6000u + 6u + 10u);

    EXPECT_EQ(kmodel::RemoveDevice(com5->node), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::RemoveDevice(com6->node), STATUS_SUCCESS);
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(kmodel::PoolBlocksHeld(driver), 0u);
}

}  // namespace
}  // namespace qvtest
