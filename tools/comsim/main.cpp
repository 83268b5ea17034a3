// comsim: the driver at work on a simulated machine.
//
// With no arguments it plays a short session between two ports, COM5 and
// COM6, whose modems share a telephone line, and prints what each side sees
// and a summary. With --interactive PORT it is a small terminal on PORT.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

#include <win32/windows.h>

#include "port.h"
#include "world.h"

namespace comsim {
namespace {

const int kAnswerMs = 5000;

void Heading(const char* text) {
    std::printf("\n== %s\n", text);
    std::fflush(stdout);
}

void Pause(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void ListPorts() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        std::printf("  (no SERIALCOMM key)\n");
        return;
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof(name);
        BYTE data[256];
        DWORD dataLength = sizeof(data);
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS) {
            break;
        }
        std::printf("  %-22s %s\n", name, reinterpret_cast<char*>(data));
    }
    RegCloseKey(key);
}

bool WaitForCarrier(Port& port) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerMs);
    DWORD status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!port.ModemStatus(&status)) {
            return false;
        }
        if (status & MS_RLSD_ON) {
            std::printf("  %-4s carrier detected (modem status 0x%02lx)\n", port.name().c_str(),
                        static_cast<unsigned long>(status));
            return true;
        }
        Pause(20);
    }
    std::printf("  %-4s no carrier (modem status 0x%02lx)\n", port.name().c_str(), static_cast<unsigned long>(status));
    return false;
}

// The session; every step must succeed.
bool PlaySession(Port& com5, Port& com6) {
    Heading("Opening COM5 and COM6 (115200 8N1)");
    if (!com5.Open() || !com6.Open()) {
        return false;
    }
    Heading("Resetting both modems");
    if (!com5.Send("ATZ\r") || !com5.Expect("OK", kAnswerMs) || !com6.Send("ATZ\r") || !com6.Expect("OK", kAnswerMs)) {
        return false;
    }
    Heading("COM5 dials the modem of COM6");
    if (!com5.Send("ATD5552000\r")) {
        return false;
    }
    DWORD events = 0;
    if (!com6.WaitEvent(EV_RXCHAR, &events) || !com6.Expect("RING", kAnswerMs)) {
        return false;
    }
    std::printf("  COM6 woke for serial event 0x%04lx\n", static_cast<unsigned long>(events));
    Heading("COM6 answers");
    if (!com6.Send("ATA\r") || !com6.Expect("CONNECT", kAnswerMs) || !com5.Expect("CONNECT", kAnswerMs)) {
        return false;
    }
    if (!WaitForCarrier(com5) || !WaitForCarrier(com6)) {
        return false;
    }
    Heading("Text both ways");
    if (!com5.Send("Hello COM6, this is COM5.\r\n") || !com6.Expect("this is COM5.\r\n", kAnswerMs) ||
        !com6.Send("Hello COM5, COM6 here. Loud and clear.\r\n") || !com5.Expect("Loud and clear.\r\n", kAnswerMs)) {
        return false;
    }
    Heading("COM5 escapes to command mode (+++ with a guard time) and hangs up");
    Pause(1200);
    if (!com5.Send("+++")) {
        return false;
    }
    if (!com5.Expect("OK", kAnswerMs) || !com6.Expect("+++", kAnswerMs)) {
        return false;
    }
    if (!com5.Send("ATH\r") || !com5.Expect("OK", kAnswerMs) || !com6.Expect("NO CARRIER", kAnswerMs)) {
        return false;
    }
    Heading("Closing both ports");
    com5.Close();
    com6.Close();
    return true;
}

int RunSession() {
    std::printf("comsim: a USB modem driver presented as COM ports, on a simulated machine\n");
    World world;
    std::string error;
    if (!world.Start(&error)) {
        std::printf("FAILED: %s\n", error.c_str());
        return 1;
    }
    Heading("Serial ports in HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    ListPorts();

    Port com5("COM5");
    Port com6("COM6");
    bool ok = PlaySession(com5, com6);
    if (!ok) {
        std::printf("\nFAILED: %s\n", !com5.lastError().empty() ? com5.lastError().c_str() : com6.lastError().c_str());
    }
    com5.Close();
    com6.Close();

    Heading("Unplugging both modems");
    uint64_t transfers = world.UsbTransfers();
    size_t poolLeft = world.Stop();

    Heading("Summary");
    for (const Port* port : {&com5, &com6}) {
        std::printf("  %s: %llu bytes written, %llu bytes read (modem replies and echo included)\n",
                    port->name().c_str(), static_cast<unsigned long long>(port->bytesSent()),
                    static_cast<unsigned long long>(port->bytesReceived()));
    }
    std::printf("  application requests: %llu\n", static_cast<unsigned long long>(com5.requests() + com6.requests()));
    std::printf("  USB transfers: %llu\n", static_cast<unsigned long long>(transfers));
    std::printf("  driver pool left after removal: %zu bytes\n", poolLeft);
    if (poolLeft != 0) {
        ok = false;
    }
    std::printf("\n%s\n", ok ? "session completed" : "session FAILED");
    return ok ? 0 : 1;
}

int RunTerminal(const std::string& portName) {
    World world;
    std::string error;
    if (!world.Start(&error)) {
        std::printf("FAILED: %s\n", error.c_str());
        return 1;
    }
    Port port(portName);
    port.set_quiet(true);
    if (!port.Open()) {
        std::printf("FAILED: %s\n", port.lastError().c_str());
        world.Stop();
        return 1;
    }
    std::printf("comsim terminal on %s. The modems are COM5 (5551000) and COM6 (5552000);\n"
                "try AT, ATI, ATDLOOP (a loopback line), ATD5552000, +++ then ATH. Type 'exit' to quit.\n",
                portName.c_str());
    std::atomic<bool> running{true};
    std::thread reader([&] {
        while (running) {
            std::string text = port.ReadAvailable();
            if (!text.empty()) {
                std::fwrite(text.data(), 1, text.size(), stdout);
                std::fflush(stdout);
            }
        }
    });
    std::string line;
    while (std::getline(std::cin, line) && line != "exit") {
        port.Send(line == "+++" ? line : line + "\r");
    }
    running = false;
    reader.join();
    port.Close();
    size_t poolLeft = world.Stop();
    return poolLeft == 0 ? 0 : 1;
}

}  // namespace
}  // namespace comsim

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--interactive") == 0) {
        return comsim::RunTerminal(argv[2]);
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: comsim [--interactive COMn]\n");
        return 2;
    }
    return comsim::RunSession();
}
