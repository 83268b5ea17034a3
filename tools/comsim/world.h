// The simulated machine comsim runs on: the kernel model with the real-time
// clock, one USB modem per port (all on one telephone exchange), the bus
// driver on each and the port driver on the bus's child.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <kmodel/system.h>
#include <usbsim/capture.h>
#include <usbsim/host_stack.h>
#include <usbsim/usb_device.h>

#include "machine.h"
#include "options.h"
#include "trace.h"

namespace comsim {

struct Modem {
    std::string port;
    std::string number;  // what the other modems dial
    std::unique_ptr<usbsim::HostStack> stack;
    usbsim::PluggedModem plugged;
    std::unique_ptr<usbsim::UrbObserver> capture;  // its URBs, as from its bus address
};

class World : public Machine {
public:
    explicit World(const Options& options);
    ~World() override;

    bool Start(std::string* error) override;
    int Run(const std::function<int()>& application) override;
    bool Unplug(const std::string& port, std::string* error) override;
    bool Stop() override;

private:
    bool StartCapture(std::string* error);
    void Observe(Modem& modem, uint16_t address);
    std::string PortOf(PDEVICE_OBJECT device) const;
    uint64_t UsbTransfers() const;

    Options options_;
    kmodel::System system_;
    usbsim::UsbHub hub_;
    usbsim::UsbWorld usb_;
    std::unique_ptr<usbsim::UsbPcapWriter> pcap_;
    std::unique_ptr<Tracer> tracer_;
    std::vector<Modem> modems_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDRIVER_OBJECT busDriver_ = nullptr;
};

}  // namespace comsim
