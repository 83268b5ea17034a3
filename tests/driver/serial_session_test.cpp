// Finding the port as applications do, through the SERIALCOMM device map
// and through the modem's device interface, and one whole session over two
// modems driven through the comm API.
#include "serial_port_fixture.h"

#include <cstring>
#include <memory>

namespace qvtest {
namespace {

using SerialDiscovery = SerialPortTest;

struct MapEntry {
    std::u16string device;
    std::u16string port;
};

std::vector<MapEntry> ReadSerialComm() {
    std::vector<MapEntry> entries;
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key),
              static_cast<LSTATUS>(ERROR_SUCCESS));
    if (key == nullptr) {
        return entries;
    }
    for (DWORD index = 0;; ++index) {
        WCHAR name[128];
        DWORD nameLength = 128;
        BYTE data[128];
        DWORD dataSize = sizeof(data);
        DWORD type = 0;
        LSTATUS status = RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data, &dataSize);
        if (status == static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS)) {
            break;
        }
        EXPECT_EQ(status, static_cast<LSTATUS>(ERROR_SUCCESS));
        if (status != static_cast<LSTATUS>(ERROR_SUCCESS)) {
            break;
        }
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        entries.push_back({std::u16string(name, nameLength), std::u16string(reinterpret_cast<const char16_t*>(data))});
    }
    EXPECT_EQ(RegCloseKey(key), static_cast<LSTATUS>(ERROR_SUCCESS));
    return entries;
}

std::vector<std::u16string> ModemInterfacePaths() {
    std::vector<std::u16string> paths;
    HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_INTERFACE_USBMODEM, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    if (set == INVALID_HANDLE_VALUE) {
        return paths;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_INTERFACE_USBMODEM, index, &data)) {
            EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
            break;
        }
        DWORD required = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        std::unique_ptr<uint8_t[]> storage(new uint8_t[required]);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
        paths.emplace_back(detail->DevicePath);
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return paths;
}

HANDLE OpenByName(const std::u16string& name) {
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST_F(SerialDiscovery, TheSerialcommMapNamesEachPortAndTheNameOpensIt) {
    usbsim::Child* second = PlugAnotherModem(u"COM6", "5552000");
    std::vector<MapEntry> entries = ReadSerialComm();
    ASSERT_EQ(entries.size(), 2u);
    // Named by device ("\\Device\\QVSIMDM" and its number), in plug order.
    EXPECT_EQ(entries[0].device, kmodel::FromUnicodeString(pdx->DeviceName));
    EXPECT_EQ(entries[0].port, u"COM5");
    EXPECT_EQ(entries[1].device, kmodel::FromUnicodeString(Extension(second)->DeviceName));
    EXPECT_EQ(entries[1].port, u"COM6");
    EXPECT_EQ(entries[0].device.rfind(u"\\Device\\QVSIMDM", 0), 0u);

    for (const MapEntry& entry : entries) {
        HANDLE h = OpenByName(u"\\\\.\\" + entry.port);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        DCB dcb{};
        EXPECT_TRUE(GetCommState(h, &dcb));
        EXPECT_EQ(dcb.BaudRate, ULONG(DEFAULT_BAUD_RATE));
        kmodel::WaitForQuiescence();
        EXPECT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(Extension(second)->OpenCount, 0);
    kmodel::WaitForQuiescence();
}

TEST_F(SerialDiscovery, TheModemInterfaceGivesAPathThatOpensThePort) {
    std::vector<std::u16string> paths = ModemInterfacePaths();
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0].rfind(u"\\\\?\\", 0), 0u);

    port = OpenByName(paths[0]);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    kmodel::WaitForQuiescence();
    EXPECT_EQ(pdx->OpenCount, 1);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = CBR_57600;
    EXPECT_TRUE(SetCommState(port, &dcb));
    EXPECT_EQ(pdx->BaudRate, 57600u);
}

// The port takes one open at a time, whichever of its names is used. The
// interface's name leads to the bus's device object, which is not
// exclusive, so the I/O manager lets a second open through: the driver must
// refuse it itself rather than start the emulation again under the first
// handle.
TEST_F(SerialDiscovery, OneOpenAtATimeWhicheverNameIsUsed) {
    std::vector<std::u16string> paths = ModemInterfacePaths();
    ASSERT_EQ(paths.size(), 1u);
    port = OpenByName(paths[0]);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    kmodel::WaitForQuiescence();
    HANDLE again = OpenByName(u"\\\\.\\COM5");
    EXPECT_EQ(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(pdx->OpenCount, 1);
    if (again != INVALID_HANDLE_VALUE) {
        kmodel::WaitForQuiescence();
        CloseHandle(again);
    }
}

TEST_F(SerialDiscovery, AnUnpluggedModemIsListedNowhere) {
    Stack().Unplug(bus.get(), child);
    EXPECT_TRUE(ReadSerialComm().empty());
    EXPECT_TRUE(ModemInterfacePaths().empty());
    EXPECT_EQ(OpenByName(u"\\\\.\\COM5"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    deviceLives = false;
}

// ---- a whole session ---------------------------------------------------------------------------

using SerialSession = SerialPortTest;

// COM5 answers a call from COM6: set up with the comm API, command the
// modem, see the ring, answer, exchange data, and hang up by dropping DTR.
TEST_F(SerialSession, AnswerACallExchangeDataAndHangUp) {
    usbsim::Child* calling = PlugAnotherModem(u"COM6", "5552000");
    ASSERT_NE(calling, nullptr);
    OpenPort();
    ApplyCommSettings(port, "baud=115200 parity=N data=8 stop=1");
    EXPECT_TRUE(Stack(0).modem().dtr());
    ReadsReturnAtOnce(port);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));

    // The modem answers a command.
    PendingWait wait;
    StartWait(&wait);
    EXPECT_EQ(WriteText(port, "ATE0\r"), 5u);
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(Finish(&wait));
    EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_EQ(ReadText(port), "ATE0\r\r\nOK\r\n");

    // The other port dials.
    HANDLE peer = OpenByName(u"\\\\.\\COM6");
    ASSERT_NE(peer, INVALID_HANDLE_VALUE);
    ApplyCommSettings(peer, "COM6: 115200,n,8,1");
    ReadsReturnAtOnce(peer);
    EXPECT_EQ(WriteText(peer, "ATE0D5551000\r"), 13u);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(ReadText(peer), "ATE0D5551000\r");
    EXPECT_EQ(ReadText(port), "\r\nRING\r\n");

    // Answer: both ends connect, and the carrier shows in the modem status.
    EXPECT_EQ(WriteText(port, "ATA\r"), 4u);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(ReadText(port), "\r\nCONNECT 115200\r\n");
    EXPECT_EQ(ReadText(peer), "\r\nCONNECT 115200\r\n");
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_TRUE(status & MS_RLSD_ON);
    EXPECT_TRUE(status & MS_DSR_ON);

    // Data both ways.
    EXPECT_EQ(WriteText(peer, "hello from COM6"), 15u);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(ReadText(port), "hello from COM6");
    EXPECT_EQ(WriteText(port, "hello from COM5"), 15u);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(ReadText(peer), "hello from COM5");

    // Hang up by dropping DTR: the line is gone at both ends.
    ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
    kmodel::WaitForQuiescence();
    EXPECT_EQ(ReadText(port), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(ReadText(peer), "\r\nNO CARRIER\r\n");
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_FALSE(status & MS_RLSD_ON);
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_TRUE(stat.fRlsdHold);
    EXPECT_EQ(stat.cbInQue, 0u);

    // What the session moved, as the driver counted it.
    SERIALPERF_STATS stats{};
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof(stats)));
    EXPECT_EQ(stats.TransmittedCount, 5u + 4u + 15u);
    EXPECT_EQ(stats.ReceivedCount, 11u + 8u + 18u + 15u + 14u);

    kmodel::WaitForQuiescence();
    EXPECT_TRUE(CloseHandle(peer));
}

}  // namespace
}  // namespace qvtest
