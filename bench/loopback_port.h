// A port open on a simulated modem, driven through the I/O manager directly;
// and one whose modem is connected to a loopback line, so that what is
// written comes back through the receive engine.
#pragma once

#include <string>
#include <vector>

#include <kmodel/io.h>
#include <kmodel/system.h>
#include <usbsim/host_stack.h>
#include <usbsim/usb_device.h>

#include "qvusbbus.h"
#include "stddcls.h"

class ModemPort {
public:
    ModemPort() {
        kmodel::LoadDriver(u"qvsimdm", DriverEntry, &driver_);
        kmodel::LoadDriver(u"qvusbbus", BusDriverEntry, &busDriver_);
        usbsim::PluggedModem plugged =
            usbsim::PlugThroughBus(&hub_, u"USB\\VID_F1D0&PID_0A7C\\1", &stack_, busDriver_, driver_, u"COM5");
        device_ = plugged.device;
        child_ = plugged.child;
        kmodel::io::Open(u"\\??\\COM5", &file_);
    }
    // An orderly end, as on a real machine: close, pull the modem out, let
    // the removal finish, unload.
    ~ModemPort() {
        kmodel::io::CloseHandle(file_);
        hub_.Unplug(device_);
        kmodel::WaitForQuiescence();
        kmodel::UnloadDriver(driver_);
        kmodel::UnloadDriver(busDriver_);
    }

    uint64_t UsbTransfers() const { return stack_.transfers(); }

protected:
    kmodel::System system_;
    usbsim::UsbHub hub_;
    usbsim::UsbWorld usb_;
    usbsim::HostStack stack_{&usb_, "5551000"};
    usbsim::UsbDevice* device_ = nullptr;
    kmodel::DeviceNode* child_ = nullptr;  // the port's PDO, the bus driver's child
    PDRIVER_OBJECT driver_ = nullptr;
    PDRIVER_OBJECT busDriver_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

class LoopbackPort : public ModemPort {
public:
    LoopbackPort() {
        Write("ATE0\r");
        ReadUntil("OK\r\n");
        Write("ATDLOOP\r");
        ReadUntil("CONNECT 115200\r\n");
    }

    void Write(const std::string& data) {
        kmodel::io::Request request;
        if (kmodel::io::Write(file_, data.data(), static_cast<ULONG>(data.size()), &request) == STATUS_PENDING) {
            kmodel::io::Wait(&request);
        }
    }

    // Reads until `bytes` have arrived; returns how many reads it took.
    size_t ReadExactly(size_t bytes) {
        std::vector<char> buffer(4096);
        size_t got = 0;
        size_t reads = 0;
        while (got < bytes) {
            kmodel::io::Request request;
            NTSTATUS status = kmodel::io::Read(file_, buffer.data(), static_cast<ULONG>(buffer.size()), &request);
            if (status == STATUS_PENDING) {
                kmodel::io::Wait(&request);
            }
            got += request.IoStatus.Information;
            ++reads;
        }
        return reads;
    }

private:
    // Consumes the modem's reply up to and including `text`.
    void ReadUntil(const std::string& text) {
        std::string seen;
        std::vector<char> buffer(256);
        while (seen.size() < text.size() || seen.compare(seen.size() - text.size(), text.size(), text) != 0) {
            kmodel::io::Request request;
            NTSTATUS status = kmodel::io::Read(file_, buffer.data(), 1, &request);
            if (status == STATUS_PENDING) {
                kmodel::io::Wait(&request);
            }
            seen.append(buffer.data(), request.IoStatus.Information);
        }
    }
};
